#!/usr/bin/env python3
"""A loopback HTTP server for unit tests of outbound HTTP.

Prints "PORT <n>" first, then one JSON line per request received:
  {"method", "path", "headers": [[name, value], ...], "body_hex"}
The line is written before the answer is sent.  Ends when standard input closes.

Answers by path:
  /status/N            status N, body "status N"
  /bytes/N             N bytes "x" with Content-Length
  /stream/N            N bytes "x" without Content-Length (closed-delimited)
  /truncated           Content-Length 1000, then 10 bytes and the connection closed
  /hang                reads the request and never answers
  /trickle[/...]       status 200 and Content-Length 1000, then one byte every 0.2 s (at most
                       300) until the client goes away: too fast for a low-speed limit
  /redirect?to=URL     302 to URL
  anything else        200 "ok"
"""
import binascii
import http.server
import json
import os
import select
import socketserver
import sys
import threading
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _record(self, body):
        line = json.dumps({"method": self.command, "path": self.path,
                           "headers": [[k, v] for k, v in self.headers.items()],
                           "body_hex": binascii.hexlify(body).decode()})
        with LOCK:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()

    def _answer(self, status, body, length=True, headers=()):
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        self.close_connection = True

    def _handle(self):
        n = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(n) if n else b""
        self._record(body)
        url = urllib.parse.urlsplit(self.path)
        parts = url.path.strip("/").split("/")
        if parts[0] == "status":
            code = int(parts[1])
            self._answer(code, ("status %d" % code).encode())
        elif parts[0] == "bytes":
            self._answer(200, b"x" * int(parts[1]))
        elif parts[0] == "stream":
            self._answer(200, b"x" * int(parts[1]), length=False)
        elif parts[0] == "truncated":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"x" * 10)
            self.wfile.flush()
            self.close_connection = True
        elif parts[0] == "hang":
            # Holds the connection open without a byte until the client gives up.
            while self.connection.recv(1024):
                pass
            self.close_connection = True
        elif parts[0] == "trickle":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            try:
                for _ in range(300):
                    self.wfile.write(b"x")
                    self.wfile.flush()
                    # The pace of the trickle; a client that closes ends it at once.
                    readable, _, _ = select.select([self.connection], [], [], 0.2)
                    if readable and not self.connection.recv(1024):
                        break
            except OSError:
                pass
            self.close_connection = True
        elif parts[0] == "redirect":
            to = urllib.parse.parse_qs(url.query)["to"][0]
            self._answer(302, b"", headers=[("Location", to)])
        else:
            self._answer(200, b"ok")

    do_GET = _handle
    do_POST = _handle


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def watch_stdin():
    while sys.stdin.buffer.read(1):
        pass
    os._exit(0)


LOCK = threading.Lock()

if __name__ == "__main__":
    srv = Server(("127.0.0.1", 0), Handler)
    sys.stdout.write("PORT %d\n" % srv.server_address[1])
    sys.stdout.flush()
    threading.Thread(target=watch_stdin, daemon=True).start()
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    while True:
        time.sleep(3600)
