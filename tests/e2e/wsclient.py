"""A minimal WebSocket client on the python3 standard library (RFC 6455: masking, framing).

    ws = WSClient.connect(host, port, path="/ws", headers={"X-API-Key": key})
    ws.send_json({"type": "pong"})
    msg = ws.recv_json(type_="welcome")      # skips other messages, answers pings
    ws.close()
"""
import base64
import hashlib
import json
import os
import select
import socket
import ssl as _ssl
import struct
import time

GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

OP_CONT, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0, 1, 2, 8, 9, 10


def accept_key(key):
    return base64.b64encode(hashlib.sha1((key + GUID).encode()).digest()).decode()


def encode_frame(opcode, payload, fin=True, mask=True):
    if isinstance(payload, str):
        payload = payload.encode()
    head = bytes([(0x80 if fin else 0) | (opcode & 0x0F)])
    mbit = 0x80 if mask else 0
    n = len(payload)
    if n < 126:
        head += bytes([mbit | n])
    elif n <= 0xFFFF:
        head += bytes([mbit | 126]) + struct.pack(">H", n)
    else:
        head += bytes([mbit | 127]) + struct.pack(">Q", n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    body = bytes(b ^ key[i & 3] for i, b in enumerate(payload)) if n < 4096 else _xor(payload, key)
    return head + key + body


def _xor(data, key):
    # Whole-buffer XOR for large payloads.
    k = int.from_bytes((key * ((len(data) + 3) // 4))[:len(data)], "big")
    return (int.from_bytes(data, "big") ^ k).to_bytes(len(data), "big")


class HandshakeError(Exception):
    def __init__(self, status, head, body=b""):
        super().__init__("handshake failed: %s" % status)
        self.status = status
        self.head = head
        self.body = body


class WSClient:
    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()
        self.pos = 0
        self.closed = False
        self.close_code = None
        self.close_reason = None
        self.answer_pings = True
        self.pings = 0
        self.last_text = None

    @classmethod
    def connect(cls, host, port, path="/", headers=None, timeout=10, tls=False, rcvbuf=None, key=None):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            return cls._handshake(s, host, port, path, headers, timeout, tls, rcvbuf, key)
        except BaseException:
            s.close()  # a failed handshake leaves no socket behind
            raise

    @classmethod
    def _handshake(cls, s, host, port, path, headers, timeout, tls, rcvbuf, key):
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(timeout)
        s.connect((host, port))
        if tls:
            ctx = _ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = _ssl.CERT_NONE
            s = ctx.wrap_socket(s)
        key = key or base64.b64encode(os.urandom(16)).decode()
        lines = ["GET %s HTTP/1.1" % path, "Host: %s:%d" % (host, port), "Upgrade: websocket",
                 "Connection: Upgrade", "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
        for k, v in (headers or {}).items():
            lines.append("%s: %s" % (k, v))
        s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                raise HandshakeError(None, data)
            data += chunk
        head, rest = data.split(b"\r\n\r\n", 1)
        status_line = head.split(b"\r\n", 1)[0].decode("latin-1")
        status = int(status_line.split()[1])
        if status != 101:
            # Read the rest of the error answer.
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    rest += chunk
            except OSError:
                pass
            s.close()
            raise HandshakeError(status, head, rest)
        hdrs = {}
        for line in head.split(b"\r\n")[1:]:
            if b":" in line:
                k, v = line.split(b":", 1)
                hdrs[k.strip().lower().decode()] = v.strip().decode()
        if hdrs.get("sec-websocket-accept") != accept_key(key):
            raise HandshakeError(status, head)
        c = cls(s)
        c.buf = bytearray(rest)
        return c

    # ---- sending ----
    def send_frame(self, opcode, payload=b"", fin=True):
        self.sock.sendall(encode_frame(opcode, payload, fin))

    def send_text(self, text):
        self.send_frame(OP_TEXT, text)

    def send_json(self, obj):
        self.send_text(json.dumps(obj, separators=(",", ":")))

    def ping(self, payload=b""):
        self.send_frame(OP_PING, payload)

    def close(self, code=1000, reason=""):
        try:
            if not self.closed:
                self.send_frame(OP_CLOSE, struct.pack(">H", code) + reason.encode())
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass
        self.closed = True

    # ---- receiving ----
    def _fill(self, deadline):
        left = deadline - time.time()
        if left <= 0:
            raise TimeoutError("no data")
        if not (hasattr(self.sock, "pending") and self.sock.pending()):
            p = select.poll()
            p.register(self.sock.fileno(), select.POLLIN)
            if not p.poll(int(left * 1000) + 1):
                raise TimeoutError("no data")
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise ConnectionError("connection closed")
        if self.pos:
            del self.buf[:self.pos]
            self.pos = 0
        self.buf += chunk

    def recv_frame(self, timeout=10):
        """Returns (fin, opcode, payload); raises TimeoutError or ConnectionError."""
        deadline = time.time() + timeout
        while True:
            b, o = self.buf, self.pos
            avail = len(b) - o
            if avail >= 2:
                n = b[o + 1] & 0x7F
                pos = 2
                if n == 126 and avail >= 4:
                    n = struct.unpack(">H", b[o + 2:o + 4])[0]
                    pos = 4
                elif n == 127 and avail >= 10:
                    n = struct.unpack(">Q", b[o + 2:o + 10])[0]
                    pos = 10
                elif n >= 126:
                    n = None
                if n is not None:
                    masked = b[o + 1] & 0x80
                    if masked:
                        pos += 4
                    if avail >= pos + n:
                        payload = bytes(b[o + pos:o + pos + n])
                        if masked and payload:
                            payload = _xor(payload, bytes(b[o + pos - 4:o + pos]))
                        first = b[o]
                        self.pos = o + pos + n
                        return bool(first & 0x80), first & 0x0F, payload
            self._fill(deadline)

    def recv_message(self, timeout=10):
        """Next text or binary message (reassembled); answers pings; None after a close."""
        deadline = time.time() + timeout
        parts = []
        while True:
            fin, op, payload = self.recv_frame(max(0.001, deadline - time.time()))
            if op == OP_PING:
                self.pings += 1
                if self.answer_pings:
                    self.send_frame(OP_PONG, payload)
                continue
            if op == OP_PONG:
                continue
            if op == OP_CLOSE:
                self.closed = True
                self.close_code = struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None
                self.close_reason = payload[2:].decode("utf-8", "replace")
                return None
            parts.append(payload)
            if fin:
                return b"".join(parts)

    def recv_json(self, type_=None, timeout=10):
        """Next JSON message (of the given type when type_ is set)."""
        deadline = time.time() + timeout
        while True:
            m = self.recv_message(max(0.001, deadline - time.time()))
            if m is None:
                return None
            self.last_text = m.decode("utf-8")
            obj = json.loads(self.last_text)
            if type_ is None or obj.get("type") == type_:
                return obj

    def wait_close(self, timeout=10):
        """Reads until a close frame or the end of the stream; returns (code, reason)."""
        deadline = time.time() + timeout
        try:
            while not self.closed:
                if self.recv_message(max(0.001, deadline - time.time())) is None:
                    break
        except ConnectionError:
            self.closed = True
        return self.close_code, self.close_reason
