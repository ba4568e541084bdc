"""Slow hostile clients for the stand-in server, each from a loopback address other than 127.0.0.1:
idle TCP connections, TLS then a request head dripped a byte at a time, TLS then a chunked body
dripped. A client the server drops opens again, until stop()."""
import collections
import contextlib
import select
import socket
import ssl
import threading

KINDS = ("idle", "head", "body")
HEAD = b"PUT /report/ HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n"


class Hostile:
    def __init__(self, port, count, drip=2.0):
        self.port, self.drip, self.opened = port, drip, collections.Counter()
        self._stop, self._lock = threading.Event(), threading.Lock()
        self._ctx = ssl.create_default_context()
        self._ctx.check_hostname, self._ctx.verify_mode = False, ssl.CERT_NONE
        threading.stack_size(256 << 10)  # a thousand of them
        try:
            self._threads = [threading.Thread(target=self._client, args=(KINDS[i % 3], f"127.0.0.{2 + i % 8}"),
                                              daemon=True) for i in range(count)]
        finally:
            threading.stack_size(0)
        for t in self._threads:
            t.start()

    def stop(self):
        self._stop.set()
        for t in self._threads:
            t.join(40)

    def _client(self, kind, source):
        while not self._stop.is_set():
            with contextlib.suppress(OSError):
                with socket.create_connection(("127.0.0.1", self.port), 30, (source, 0)) as raw:
                    with self._lock:
                        self.opened[kind] += 1
                    if kind == "idle":
                        self._hold(raw)
                    else:
                        with self._ctx.wrap_socket(raw) as tls:
                            self._drip(tls, HEAD if kind == "head" else HEAD + b"ffffff\r\n", kind == "body")
            self._stop.wait(0.1)

    def _hold(self, sock):
        while not self._stop.wait(0.5):
            if select.select([sock], [], [], 0)[0] and not sock.recv(1):
                return  # dropped by the server

    def _drip(self, sock, head, whole_head):
        if whole_head:
            sock.sendall(head)
        for i in range(1 << 20):
            if self._stop.wait(self.drip):
                return
            sock.sendall(b"x" if whole_head else head[i % len(head):][:1])
