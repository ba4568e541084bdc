"""A TLS/HTTP/1.1 server on loopback whose every answer is scripted. script(**fields) before each
case sets DEFAULTS overridden by fields; mode is "normal", "close_without_reply" (read the body,
close), "cut_reply" (Content-Length 100, send "OK", close), "close_mid_upload" (reset after
cut_after body bytes), "answer_early" (reply, then read the body) or "refuse" (not listening).
settle() waits for the connections; then accepted, alpns and requests hold what was seen."""
import hashlib
import select
import socket
import ssl
import struct
import threading
import time


class Request:
    def __init__(self, method, target, headers, alpn):
        self.method, self.target, self.headers, self.alpn = method, target, headers, alpn
        self.length, self.complete, self.after, self.hash = 0, False, None, hashlib.sha256()

    def header(self, name):
        return [v for n, v in self.headers if n == name]

    def add(self, data):
        self.length += len(data)
        self.hash.update(data)


class ScriptedServer:
    DEFAULTS = dict(cert_key=None, alpn=None, status=200, body=(b"OK",), pause=0.02, mode="normal", cut_after=0)

    def __init__(self, port, cert_key):
        self.port, self.default_cert_key, self.listeners, self.threads = port, cert_key, [], []
        self.script()

    def stop(self):
        self._close_listeners()
        self.settle()

    def script(self, **fields):
        assert set(fields) <= set(self.DEFAULTS), fields
        self.settle()
        s = {**self.DEFAULTS, **fields}
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(*(s["cert_key"] or self.default_cert_key))
        if s["alpn"]:
            ctx.set_alpn_protocols(s["alpn"])
        self.current, self.ctx = s, ctx
        self.accepted, self.alpns, self.requests = [], [], []
        if s["mode"] == "refuse":
            self._close_listeners()
        elif not self.listeners:
            self._listen()

    def settle(self, timeout=15):
        deadline = time.monotonic() + timeout
        for t in self.threads:
            t.join(max(0, deadline - time.monotonic()))
        self.threads = [t for t in self.threads if t.is_alive()]

    def _listen(self):
        for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
            try:
                self.listeners.append(socket.create_server((host, self.port), family=family, backlog=16))
            except OSError:
                if family == socket.AF_INET:
                    raise
                # no ::1 on this machine
        self.stopping = threading.Event()
        self.accepter = threading.Thread(target=self._accept, args=(self.listeners, self.stopping), daemon=True)
        self.accepter.start()

    def _close_listeners(self):
        if self.listeners:
            self.stopping.set()
            self.accepter.join(5)
            for sock in self.listeners:
                sock.close()
            self.listeners = []

    def _accept(self, listeners, stopping):
        while not stopping.is_set():
            for sock in select.select(listeners, [], [], 0.1)[0]:
                raw, _ = sock.accept()
                self.accepted.append(raw.getpeername())
                t = threading.Thread(target=self._serve, args=(raw, self.current, self.ctx), daemon=True)
                self.threads.append(t)
                t.start()

    def _serve(self, raw, s, ctx):
        raw.settimeout(10)
        try:
            with ctx.wrap_socket(raw, server_side=True) as conn, conn.makefile("rb") as f:
                self.alpns.append(conn.selected_alpn_protocol())
                self._exchange(conn, f, s)
        except (OSError, ValueError):
            pass  # the client refused our certificate or went away; what it sent is recorded
        finally:
            raw.close()

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
        if req.header("transfer-encoding") == ["chunked"]:
            self._read_chunks(f, req, s["cut_after"] if s["mode"] == "close_mid_upload" else 1 << 62)
        if s["mode"] == "close_mid_upload":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # close resets
        elif s["mode"] == "cut_reply":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nOK")
        elif s["mode"] == "normal":
            self._reply(conn, s)
            # Whatever the client sends after the reply would be a leak into the connection.
            try:
                req.after = f.read1(4096)
            except ssl.SSLError as e:
                req.after = f"TLS error: {e}"

    def _read_chunks(self, f, req, limit):
        while size := int(f.readline(1024).split(b";")[0], 16):
            while size:
                data = f.read(min(size, 65536, limit - req.length))
                if not data:
                    return
                size -= len(data)
                req.add(data)
                if req.length >= limit:
                    return
            f.readline(1024)
        while f.readline(65537) not in (b"\r\n", b"\n", b""):
            pass
        req.complete = True

    def _reply(self, conn, s):
        conn.sendall(f"HTTP/1.1 {s['status']} Scripted\r\nContent-Length: {sum(map(len, s['body']))}\r\n\r\n".encode())
        for piece in s["body"]:
            conn.sendall(piece)
            time.sleep(s["pause"])
