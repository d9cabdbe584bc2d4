"""A TCP relay on a loopback port in front of a database server, standing in for the network and
the server's life: it counts the connections that reach it, and it relays ("forward"), refuses
new connections ("refuse": nothing listens), accepts and closes them at once ("close"), or
accepts and never answers ("silent": a partition, a host that died).  Switching away from
"forward" drops the connections it relays ("refuse", "close") or stops moving their bytes
("silent": both ends wait, as across a partition); back to "forward", held connections move
again.

    relay = DbRelay(target_port)    # relay.port is what the board connects to
    relay.set_mode("close")
    relay.accepted                  # connections accepted so far
"""
import selectors
import socket
import threading

MODES = ("forward", "refuse", "close", "silent")


class DbRelay:
    def __init__(self, target_port, host="127.0.0.1"):
        self.host = host
        self.target_port = target_port
        self.accepted = 0
        self._mode = "forward"
        self._lock = threading.Lock()
        self._pairs = {}  # socket -> its peer (both directions)
        self._sel = selectors.DefaultSelector()
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._sel.register(self._wake_r, selectors.EVENT_READ, "wake")
        self._commands = []
        self._stop = False
        self._listener = None
        self.port = 0
        self._listen()
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    # ---- commands (run on the relay thread; each returns once in effect) ----
    def set_mode(self, mode):
        assert mode in MODES, mode
        self._command(lambda: self._switch(mode))

    def close(self):
        self._command(self._shut)
        self._thread.join(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _command(self, fn):
        done = threading.Event()
        with self._lock:
            self._commands.append((fn, done))
        self._wake_w.send(b"x")
        if not done.wait(10):
            raise AssertionError("relay did not answer")

    # ---- the relay thread ----
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
        if mode in ("refuse", "close"):
            for s in list(self._pairs):
                self._drop(s)
        if mode == "refuse" and self._listener:
            self._sel.unregister(self._listener)
            self._listener.close()
            self._listener = None
        elif mode != "refuse" and not self._listener:
            self._listen()
        # Held connections move their bytes again (or not) from now on.
        events = 0 if mode == "silent" else selectors.EVENT_READ
        for s in self._pairs:
            self._watch(s, events)

    def _watch(self, s, events):
        try:
            key = self._sel.get_key(s)
        except KeyError:
            key = None
        if events and not key:
            self._sel.register(s, events, "relay")
        elif not events and key:
            self._sel.unregister(s)

    def _drop(self, s):
        if s not in self._pairs:
            return  # dropped with its peer
        peer = self._pairs.pop(s)
        for x in (s, peer):
            if x is not None:
                self._pairs.pop(x, None)
                self._watch(x, 0)
                x.close()

    def _shut(self):
        self._stop = True
        for s in list(self._pairs):
            self._drop(s)
        if self._listener:
            self._sel.unregister(self._listener)
            self._listener.close()
            self._listener = None

    def _accept(self):
        try:
            c, _ = self._listener.accept()
        except OSError:
            return
        self.accepted += 1
        if self._mode == "close":
            c.close()
            return
        if self._mode == "silent":
            # Held without a server behind it; it ends when its client gives up.
            c.setblocking(False)
            self._pairs[c] = None
            return
        try:
            srv = socket.create_connection((self.host, self.target_port), timeout=5)
        except OSError:
            c.close()
            return
        for x in (c, srv):
            x.setblocking(False)
            x.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._pairs[c] = srv
        self._pairs[srv] = c
        self._watch(c, selectors.EVENT_READ)
        self._watch(srv, selectors.EVENT_READ)

    def _relay(self, s):
        peer = self._pairs.get(s)
        try:
            data = s.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data or peer is None:
            self._drop(s)
            return
        try:
            peer.setblocking(True)
            peer.sendall(data)
            peer.setblocking(False)
        except OSError:
            self._drop(s)

    def _loop(self):
        while not self._stop:
            for key, _ in self._sel.select(1.0):
                if key.data == "wake":
                    try:
                        while self._wake_r.recv(4096):
                            pass
                    except BlockingIOError:
                        pass
                    with self._lock:
                        commands, self._commands = self._commands, []
                    for fn, done in commands:
                        fn()
                        done.set()
                    break  # the sockets may have changed
                if key.data == "accept":
                    self._accept()
                elif key.fileobj in self._pairs:
                    self._relay(key.fileobj)
        self._sel.close()
        self._wake_r.close()
        self._wake_w.close()
