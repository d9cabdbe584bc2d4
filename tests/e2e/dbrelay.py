"""A TCP relay on a loopback port in front of a database server, standing in for the server's
life: it counts the connections that reach it, and it relays ("forward"), refuses new
connections ("refuse": nothing listens, a stopped server), accepts and closes them at once
("close": a server going away), or stops answering ("hold": the connections it relays and the
new ones it accepts stay open and hear nothing, a network partition).  Leaving "forward" drops
the connections it relays (in "hold", once it is left).  In "hold", cut() closes the connections
held so far, as the board's TCP does when it gives up on a partition (new ones are held again).

    with RelayProcess(target_port) as relay:   # relay.port is what the board connects to
        relay.set_mode("close")
        relay.accepted                          # connections accepted so far

The relay runs in a process of its own (python3 dbrelay.py), so that a test's own threads
(clients looping requests) never hold it up on a busy machine: a connection that waits for the
relay is a database that answers late.  The child takes one command a line on its standard
input and answers each with one line.
"""
import os
import selectors
import socket
import subprocess
import sys

MODES = ("forward", "refuse", "close", "hold")


class DbRelay:
    """The relay itself, served by serve() on the child's main thread."""

    def __init__(self, target_port, host="127.0.0.1"):
        self.host = host
        self.target_port = target_port
        self.accepted = 0
        self._mode = "forward"
        self._pairs = {}  # socket -> its peer (both directions)
        self._held = []  # sockets that hear nothing while in "hold"
        self._sel = selectors.DefaultSelector()
        self._listener = None
        self.port = 0
        self._listen()

    def serve(self, commands):
        """Relays until commands (a pipe, one command a line) ends; each answered on stdout.  The
        parent waits for an answer before it sends the next, so a line never waits in a buffer."""
        self._sel.register(commands, selectors.EVENT_READ, "command")
        while True:
            for key, _ in self._sel.select():
                if key.data == "command":
                    words = os.read(commands.fileno(), 4096).decode().split()
                    if not words:
                        return
                    if words[0] == "mode":
                        self._switch(words[1])
                        print("ok", flush=True)
                    elif words[0] == "cut":
                        self._switch(self._mode)
                        print("ok", flush=True)
                    else:
                        print(self.accepted, flush=True)
                    break  # the sockets may have changed
                if key.data == "accept":
                    self._accept()
                elif key.fileobj in self._pairs:
                    self._relay(key.fileobj)

    def _listen(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((self.host, self.port))
        s.listen(128)
        s.setblocking(False)
        self.port = s.getsockname()[1]
        self._listener = s
        self._sel.register(s, selectors.EVENT_READ, "accept")

    def _switch(self, mode):
        self._mode = mode
        for s in self._held:
            s.close()
        self._held = []
        if mode == "hold":
            for s in list(self._pairs):
                self._sel.unregister(s)
                self._held.append(s)
            self._pairs = {}
        elif mode != "forward":
            for s in list(self._pairs):
                self._drop(s)
        if mode == "refuse" and self._listener:
            self._sel.unregister(self._listener)
            self._listener.close()
            self._listener = None
        elif mode != "refuse" and not self._listener:
            self._listen()

    def _drop(self, s):
        if s not in self._pairs:
            return  # dropped with its peer
        for x in (s, self._pairs.pop(s)):
            self._pairs.pop(x, None)
            self._sel.unregister(x)
            x.close()

    def _accept(self):
        try:
            c, _ = self._listener.accept()
        except OSError:
            return
        self.accepted += 1
        if self._mode == "close":
            c.close()
            return
        if self._mode == "hold":
            self._held.append(c)
            return
        try:
            srv = socket.create_connection((self.host, self.target_port), timeout=5)
        except OSError:
            c.close()
            return
        self._pairs[c] = srv
        self._pairs[srv] = c
        for x in (c, srv):
            x.setblocking(False)
            x.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._sel.register(x, selectors.EVENT_READ, "relay")

    def _relay(self, s):
        peer = self._pairs[s]
        try:
            data = s.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            self._drop(s)
            return
        try:
            peer.setblocking(True)
            peer.sendall(data)
            peer.setblocking(False)
        except OSError:
            self._drop(s)


class RelayProcess:
    """The test's side of the relay: starts the child and sends it commands."""

    def __init__(self, target_port, host="127.0.0.1"):
        self._proc = subprocess.Popen([sys.executable, __file__, str(target_port), host],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self._ask(None))

    def _ask(self, command):
        if command is not None:
            self._proc.stdin.write(command + "\n")
            self._proc.stdin.flush()
        answer = self._proc.stdout.readline()
        if not answer:
            raise AssertionError("the relay process ended")
        return answer.strip()

    def set_mode(self, mode):
        assert mode in MODES, mode
        self._ask("mode " + mode)

    def cut(self):
        self._ask("cut")

    @property
    def accepted(self):
        return int(self._ask("accepted"))

    def close(self):
        if self._proc.poll() is None:
            self._proc.stdin.close()
            try:
                self._proc.wait(10)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
        self._proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


if __name__ == "__main__":
    relay = DbRelay(int(sys.argv[1]), *sys.argv[2:3])
    print(relay.port, flush=True)
    relay.serve(sys.stdin)
