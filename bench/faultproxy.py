"""Loopback TCP relay injecting one fault per connection into the raw TLS stream, before byte
`offset` of one direction ("up": tool to server, "down": back): close; reset (RST); stall (forward
nothing for `hold` s, then close); drop (discard the rest of that direction, close after `hold` s).
Every connection ends within `bound` seconds."""
import collections
import contextlib
import select
import socket
import struct
import threading
import time

KINDS = ("close", "reset", "stall", "drop")


Fault = collections.namedtuple("Fault", "kind direction offset hold")


class FaultProxy:
    def __init__(self, listen_port, target_port, bound=10.0):
        self.target, self.bound = ("127.0.0.1", target_port), bound
        self.fault = None  # taken by each new connection
        self.log = []  # per connection: fired, bytes "up" and "down", how it "ended", "seconds"
        self._active, self._cond, self._stop = 0, threading.Condition(), threading.Event()
        self._listener = socket.create_server(("127.0.0.1", listen_port))
        self._listener.settimeout(0.2)
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def close(self):
        self._stop.set()
        self._thread.join()
        self._listener.close()
        self.wait_idle(self.bound + 1)

    def wait_idle(self, timeout):
        with self._cond:
            return self._cond.wait_for(lambda: self._active == 0, timeout)

    def _accept(self):
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            with self._cond:
                self._active += 1
            threading.Thread(target=self._serve, args=(client, self.fault), daemon=True).start()

    def _serve(self, client, fault):
        rec = {"fired": False, "up": 0, "down": 0, "ended": "eof", "seconds": time.monotonic()}
        try:
            with client, socket.create_connection(self.target, timeout=self.bound) as upstream:
                self._relay(client, upstream, fault, rec)
        except OSError as e:
            rec["ended"] = repr(e)
        finally:
            rec["seconds"] = round(time.monotonic() - rec["seconds"], 3)
            with self._cond:
                self.log.append(rec)
                self._active -= 1
                self._cond.notify_all()

    def _relay(self, client, upstream, fault, rec):
        peer, name = {client: upstream, upstream: client}, {client: "up", upstream: "down"}
        readable, dropping = [client, upstream], None
        deadline = time.monotonic() + self.bound
        for s in readable:
            s.settimeout(self.bound)
        while (readable or dropping) and not self._stop.is_set():
            if time.monotonic() > deadline:
                rec["ended"] = "bound"
                return
            for s in select.select(readable, [], [], 0.1)[0]:
                d, data = name[s], s.recv(65536)
                if not data:
                    readable.remove(s)
                    if d != dropping:
                        with contextlib.suppress(OSError):
                            peer[s].shutdown(socket.SHUT_WR)
                    continue
                if d == dropping:
                    continue
                if fault and not rec["fired"] and fault.direction == d and rec[d] + len(data) > fault.offset:
                    data = data[:fault.offset - rec[d]]
                    peer[s].sendall(data)
                    rec[d] += len(data)
                    rec["fired"], rec["ended"] = True, fault.kind
                    if fault.kind == "drop":
                        dropping, deadline = d, min(deadline, time.monotonic() + fault.hold)
                        continue
                    if fault.kind == "stall":
                        self._stop.wait(fault.hold)
                    if fault.kind == "reset":
                        for t in (client, upstream):
                            t.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    return
                peer[s].sendall(data)
                rec[d] += len(data)
