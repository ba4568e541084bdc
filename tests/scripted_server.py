"""A TLS/HTTP/1.1 server on loopback whose every answer is scripted. script(**fields) before each
case sets DEFAULTS overridden by fields; mode is "normal", "close_without_reply" (read the body,
close), "cut_reply" (Content-Length 100, send "OK", close), "close_mid_upload" (reset after
cut_after body bytes) or "answer_early" (reply, then read the body). settle() waits for the
connections; then requests holds what each one sent."""
import contextlib
import hashlib
import http.client
import select
import socket
import ssl
import struct
import threading
import time
import types

import support


class ScriptedServer:
    DEFAULTS = dict(cert_key=None, alpn=None, status=200, body=(b"OK",), pause=0.02, mode="normal", cut_after=1 << 62)

    def __init__(self, port, cert_key):
        self.default_cert_key, self.busy, self.running = cert_key, threading.Lock(), True
        self.listeners = [socket.create_server(("127.0.0.1", port))]
        with contextlib.suppress(OSError):  # no ::1 on this machine
            self.listeners.append(socket.create_server(("::1", port), family=socket.AF_INET6))
        self.script()
        self.accepter = threading.Thread(target=self._accept, daemon=True)
        self.accepter.start()

    def script(self, **fields):
        self.settle()
        s = self.current = {**self.DEFAULTS, **fields}
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(*(s["cert_key"] or self.default_cert_key))
        if s["alpn"]:
            self.ctx.set_alpn_protocols(s["alpn"])
        self.requests = []

    def settle(self):
        if self.busy.acquire(timeout=15):  # the connection being served, one at a time
            self.busy.release()

    def stop(self):
        self.running = False
        self.accepter.join(5)
        for sock in self.listeners:
            sock.close()

    def _accept(self):
        while self.running:
            for sock in select.select(self.listeners, [], [], 0.1)[0]:
                raw, _ = sock.accept()
                with self.busy:
                    self._serve(raw, self.current, self.ctx)

    def _serve(self, raw, s, ctx):
        raw.settimeout(10)
        # A client that refused our certificate or went away: what it sent is recorded.
        with contextlib.suppress(OSError, ValueError, EOFError, http.client.HTTPException), raw, \
                ctx.wrap_socket(raw, server_side=True) as conn, conn.makefile("rb") as f:
            if not (line := f.readline(65537).decode("latin-1")):
                return
            method, target, _ = (line.split(" ", 2) + ["", ""])[:3]
            req = types.SimpleNamespace(method=method, target=target, headers=http.client.parse_headers(f),
                                        alpn=conn.selected_alpn_protocol(), length=0, complete=False, after=None,
                                        hash=hashlib.sha256())
            self.requests.append(req)
            if s["mode"] == "answer_early":
                self._reply(conn, s)
            elif req.headers.get("expect", "").lower() == "100-continue":
                conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
            if req.headers.get_all("transfer-encoding") == ["chunked"]:
                for data in support.read_chunked(f):
                    req.length += len(data)
                    req.hash.update(data)
                    if req.length >= s["cut_after"]:
                        break
                else:
                    req.complete = True
            if s["mode"] == "close_mid_upload":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # close resets
            elif s["mode"] == "cut_reply":
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nOK")
            elif s["mode"] == "normal":
                self._reply(conn, s)
                try:  # whatever the client sends after the reply would be a leak into the connection
                    req.after = f.read1(4096)
                except ssl.SSLError as e:
                    req.after = f"TLS error: {e}"

    def _reply(self, conn, s):
        conn.sendall(f"HTTP/1.1 {s['status']} Scripted\r\nContent-Length: {sum(map(len, s['body']))}\r\n\r\n".encode())
        for piece in s["body"]:
            conn.sendall(piece)
            time.sleep(s["pause"])
