"""A small TLS/HTTP/1.1 server on loopback whose every answer is scripted.

server = ScriptedServer(port, cert_and_key); server.start()
server.script(**fields)   before each case: resets the script to its defaults
                          plus fields, and forgets what was recorded
    cert_key  (cert, key) paths to present
    alpn      protocols to offer, e.g. ["h2", "http/1.1"]; None offers none
    status, headers       reply status; reply headers as (name, value) pairs,
                          Content-Length of the body when None
    body      reply body as a list of pieces, sent with `pause` s between them
    mode      "normal", "close_without_reply" (read the body, close),
              "cut_reply" (Content-Length 100, send "OK", close),
              "close_mid_upload" (reset the connection after `cut_after` body
              bytes), "answer_early" (reply first, then drain the body),
              "refuse" (not listening at all)
server.settle()           waits for the connections to finish, then records:
    server.accepted       one entry per connection accepted
    server.alpns          ALPN protocol selected, per completed handshake
    server.requests       Request records (see Request)
server.stop()
"""
import hashlib
import socket
import ssl
import struct
import threading
import time

BODY_KEPT = 4 << 20  # larger bodies are recorded as length and sha256 only


class Request:
    def __init__(self, method, target, headers, alpn):
        self.method, self.target, self.headers, self.alpn = method, target, headers, alpn
        self.length, self.complete, self.after = 0, False, None
        self._hash, self._body = hashlib.sha256(), bytearray()

    def header(self, name):
        return [v for n, v in self.headers if n == name]

    def add(self, data):
        self.length += len(data)
        self._hash.update(data)
        if len(self._body) + len(data) <= BODY_KEPT:
            self._body += data

    @property
    def body(self):
        return bytes(self._body) if self.length <= BODY_KEPT else None

    @property
    def sha256(self):
        return self._hash.hexdigest()


class _Reset(Exception):
    pass


class ScriptedServer:
    DEFAULTS = dict(cert_key=None, alpn=None, status=200, headers=None, body=(b"OK",),
                    pause=0.02, mode="normal", cut_after=0)

    def __init__(self, port, cert_key):
        self.port, self.default_cert_key = port, cert_key
        self.listeners, self.threads, self.started = [], [], False
        self.script()

    def start(self):
        self.started = True
        self._listen()

    def stop(self):
        self._close_listeners()
        self.settle()

    def script(self, **fields):
        unknown = set(fields) - set(self.DEFAULTS)
        assert not unknown, f"unknown script fields {unknown}"
        self.settle()
        s = {**self.DEFAULTS, **fields}
        s["cert_key"] = s["cert_key"] or self.default_cert_key
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(*s["cert_key"])
        if s["alpn"]:
            ctx.set_alpn_protocols(s["alpn"])
        self.current, self.ctx = s, ctx
        self.accepted, self.alpns, self.requests = [], [], []
        if s["mode"] == "refuse":
            self._close_listeners()
        elif self.started and not self.listeners:
            self._listen()

    def settle(self, timeout=15):
        deadline = time.monotonic() + timeout
        for t in self.threads:
            t.join(max(0, deadline - time.monotonic()))
        self.threads = [t for t in self.threads if t.is_alive()]

    def _listen(self):
        self.stopping = threading.Event()
        for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
            try:
                sock = socket.socket(family, socket.SOCK_STREAM)
            except OSError:
                continue
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                if family == socket.AF_INET6:
                    sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                sock.bind((host, self.port))
            except OSError:
                sock.close()
                if family == socket.AF_INET:
                    raise
                continue  # no ::1 on this machine
            sock.listen(16)
            sock.settimeout(0.1)
            t = threading.Thread(target=self._accept, args=(sock, self.stopping), daemon=True)
            t.start()
            self.listeners.append((sock, t))

    def _close_listeners(self):
        if self.listeners:
            self.stopping.set()
            for sock, t in self.listeners:
                t.join(5)
                sock.close()
            self.listeners = []

    def _accept(self, sock, stopping):
        while not stopping.is_set():
            try:
                raw, _ = sock.accept()
            except (TimeoutError, socket.timeout):
                continue
            self.accepted.append(raw.getpeername())
            t = threading.Thread(target=self._serve, args=(raw, self.current, self.ctx), daemon=True)
            self.threads.append(t)
            t.start()

    def _serve(self, raw, s, ctx):
        raw.settimeout(10)
        try:
            conn = ctx.wrap_socket(raw, server_side=True)
        except (OSError, ValueError):
            raw.close()
            return  # the client refused our certificate
        f = conn.makefile("rb")
        try:
            self.alpns.append(conn.selected_alpn_protocol())
            self._exchange(conn, f, s)
        except _Reset:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except (OSError, ValueError):
            pass  # the client went away; what it sent is recorded
        finally:
            f.close()
            conn.close()

    def _exchange(self, conn, f, s):
        line = f.readline(65537)
        if not line:
            return
        method, target = (line.decode("latin-1").split(" ") + ["", ""])[:2]
        headers = []
        while (h := f.readline(65537)) not in (b"\r\n", b"\n", b""):
            name, _, value = h.decode("latin-1").partition(":")
            headers.append((name.strip().lower(), value.strip()))
        req = Request(method, target, headers, conn.selected_alpn_protocol())
        self.requests.append(req)
        if s["mode"] == "answer_early":
            self._reply(conn, s)
        elif "100-continue" in [v.lower() for v in req.header("expect")]:
            conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        limit = s["cut_after"] if s["mode"] == "close_mid_upload" else None
        self._read_body(f, req, limit)
        if s["mode"] == "close_mid_upload":
            raise _Reset
        if s["mode"] == "close_without_reply":
            return
        if s["mode"] == "cut_reply":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nOK")
            return
        if s["mode"] != "answer_early":
            self._reply(conn, s)
        # Whatever the client sends after the reply would be a leak into the connection.
        try:
            req.after = f.read1(4096)
        except ssl.SSLError as e:
            req.after = f"TLS error: {e}"

    def _read_body(self, f, req, limit):
        chunked = any("chunked" in v.lower() for v in req.header("transfer-encoding"))
        if not chunked:
            left = int((req.header("content-length") or ["0"])[0])
            while left and (data := f.read1(min(left, 65536))):
                left -= len(data)
                req.add(data)
            req.complete = left == 0
            return
        while True:
            size = int(f.readline(1024).split(b";")[0], 16)
            if size == 0:
                while f.readline(65537) not in (b"\r\n", b"\n", b""):
                    pass
                req.complete = True
                return
            while size:
                step = size if limit is None else min(size, limit - req.length)
                data = f.read(min(step, 65536))
                if not data:
                    return
                size -= len(data)
                req.add(data)
                if limit is not None and req.length >= limit:
                    return
            f.readline(1024)

    def _reply(self, conn, s):
        pieces = list(s["body"])
        headers = s["headers"]
        if headers is None:
            headers = [("Content-Length", str(sum(map(len, pieces))))]
        head = f"HTTP/1.1 {s['status']} Scripted\r\n" + "".join(f"{n}: {v}\r\n" for n, v in headers)
        conn.sendall(head.encode("latin-1") + b"\r\n")
        for piece in pieces:
            conn.sendall(piece)
            if s["pause"]:
                time.sleep(s["pause"])
