"""What the suite, the bench and quickstart.sh share: the binaries and port under test (from
the environment), throwaway certificates, the stand-in server, one run of the tool, raw TLS clients.
  /usr/bin/python3 tests/support.py certs DIR   makes DIR/ca/ (hashed), DIR/cert.pem, DIR/cert.key"""
import contextlib
import ctypes
import http.client
import os
import pathlib
import re
import socket
import ssl
import subprocess
import sys
import threading
import time

import trustme

STAGE = pathlib.Path(__file__).resolve().parent.parent / "build" / "test" / "stage" / "bin"
TOOL = os.environ.get("TOVRIN_REPORT", str(STAGE / "tovrin-report"))
SERVER = os.environ.get("TOVRIN_REPORT_SERVER", str(STAGE / "tovrin-report-server"))
OUTBOX = os.environ.get("TOVRIN_REPORT_OUTBOX", str(STAGE / "tovrin-report-outbox"))  # runs the tool beside it
CACHE = STAGE.parent.parent / "CMakeCache.txt"  # by hand after ./test.sh: the port build/test was made for
BUILT = re.findall(r"^TOVRIN_REPORT_HOST:\w+=.*:(\d+)$", CACHE.read_text() if CACHE.exists() else "", re.M)
PORT = int(os.environ.get("TOVRIN_TEST_PORT") or (BUILT or [18443])[0])
SANITIZED = bool(os.environ.get("TOVRIN_SANITIZE"))
HOSTS = ("localhost", "127.0.0.1", "::1")


def write_leaf(leaf, d, name):
    leaf.cert_chain_pems[0].write_to_path(f"{d}/{name}.pem")
    leaf.private_key_pem.write_to_path(f"{d}/{name}.key")
    os.chmod(f"{d}/{name}.key", 0o600)
    return f"{d}/{name}.pem", f"{d}/{name}.key"


def make_certs(d, cn="tovrin-test-ca", ca=None):
    """A CA named cn hashed into d/ca/ (as ca.pem) and a cert for localhost it signed, d/cert.pem with
    key d/cert.key: (CA dir, cert, key)."""
    ca = ca or trustme.CA(organization_name=cn)
    os.makedirs(f"{d}/ca")
    ca.cert_pem.write_to_path(f"{d}/ca/ca.pem")
    subprocess.run(["openssl", "rehash", f"{d}/ca"], check=True)  # the tool looks the CA up by hash
    return (f"{d}/ca", *write_leaf(ca.issue_cert(*HOSTS), d, "cert"))


def versions():
    """libcurl and its TLS library as the tool loads them, the nginx the server runs, the port."""
    curl = ctypes.CDLL("libcurl.so.4")
    curl.curl_version.restype = ctypes.c_char_p
    nginx = subprocess.run("PATH=$PATH:/usr/sbin nginx -v", shell=True, capture_output=True, text=True).stderr.split()
    return f"{' '.join(curl.curl_version().decode().split()[:2])}, {nginx[-1]}, port {PORT}"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def clean_env(**overrides):
    """os.environ without what could route the request elsewhere or widen the trusted CAs."""
    return {**{k: v for k, v in os.environ.items()
               if "proxy" not in k.lower() and not k.upper().startswith(("SSL_CERT", "CURL_"))}, **overrides}


def wait_until(pred, timeout):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def accepts(port):
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
        return True
    return False


def read_chunked(f, piece=1 << 16):
    """The data of a chunked body from file object f, through its last chunk and trailers, in pieces
    of at most `piece` bytes; EOFError if the stream ends first."""
    def line():
        if not (text := f.readline(65537)):
            raise EOFError("chunked body cut short")
        return text
    while size := int(line().split(b";")[0], 16):
        while size:
            if not (data := f.read(min(size, piece))):
                raise EOFError("chunked body cut short")
            size -= len(data)
            yield data
        line()
    while line() not in (b"\r\n", b"\n"):
        pass


def run_tool(args=(), stdin=b"", env=None, preexec=None, under=()):
    """One run of TOOL (under a wrapper command) in a clean environment plus env, stdin bytes through a
    pipe or a descriptor:
    (returncode, stdout, stderr, peaks). peaks holds VmHWM and VmPeak in KiB, polled from /proc
    (ru_maxrss would count the forking Python's)."""
    proc = subprocess.Popen([*under, TOOL, *args], env=clean_env(**(env or {})), preexec_fn=preexec,
                            stdin=subprocess.PIPE if isinstance(stdin, bytes) else stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    peaks = {"VmHWM": 0, "VmPeak": 0}

    def poll():  # both are high-water marks, so the last reading before exit is the peak
        while proc.returncode is None:
            with contextlib.suppress(OSError, KeyError), open(f"/proc/{proc.pid}/status") as f:
                fields = dict(line.split(":", 1) for line in f)
                peaks.update({k: int(fields[k].split()[0]) for k in peaks})
            time.sleep(0.01)

    poller = threading.Thread(target=poll, daemon=True)
    poller.start()
    try:
        out, err = proc.communicate(stdin if isinstance(stdin, bytes) else None)
    finally:
        proc.kill()  # left running only when the test's time-out struck
        poller.join(5)
    return proc.returncode, out, err, peaks


def show(out, err):
    return f"\nstdout: {out!r}\nstderr: {err!r}"


class Server:
    """One tovrin-report-server process; its log is next to the spool. Those still running when the
    run ends are killed (conftest.py)."""
    running = set()

    def __init__(self, cert_key, spool, *flags, listen=f"localhost:{PORT}", binary=SERVER, env=None):
        self.cert_key, self.spool, self.flags, self.listen = cert_key, pathlib.Path(spool), flags, listen
        self.binary, self.env = binary, {**os.environ, **(env or {})}
        self.log = self.spool.with_name(self.spool.name + ".log")

    def start(self):
        mark = self.log.stat().st_size if self.log.exists() else 0
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen([self.binary, "--cert", self.cert_key[0], "--key", self.cert_key[1],
                                          "--listen", self.listen, "--spool", str(self.spool), *self.flags],
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=self.env)
        Server.running.add(self.proc)
        if not wait_until(lambda: self.proc.poll() is not None or b"listening on" in self.log.read_bytes()[mark:],
                          30 if SANITIZED else 10) or self.proc.returncode is not None:
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError(f"server did not start: {self.log.read_bytes()!r}")

    def stop(self):
        self.proc.terminate()
        assert self.proc.wait(60) == 0, self.log.read_bytes()

    def take(self, keep=False):
        """Every report in the spool, bodies still being received too, removed unless keep:
        {name: content}."""
        files = {str(p.relative_to(self.spool)): p.read_bytes() for p in self.spool.glob("**/*") if p.is_file()}
        for name in files if not keep else ():
            (self.spool / name).unlink()
        return files

    def temporaries(self):
        """Bodies nginx is receiving, in the spool's hidden incoming folder."""
        return [p.name for p in self.spool.glob(".incoming/*")]


def tls(certs, port=PORT):
    ctx = ssl.create_default_context(cafile=certs.ca_pem)
    return ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=30), server_hostname="localhost")


def exchange(conn, data, leave=False):
    """Sends data, then leaves or reads the reply: (status, body), or (None, b"") if none came."""
    with conn, contextlib.suppress(OSError, http.client.HTTPException):
        conn.sendall(data)
        if not leave:
            reply = http.client.HTTPResponse(conn)
            reply.begin()
            return reply.status, reply.read()
    return None, b""


def head(*lines, method="PUT", target="/report/", version="HTTP/1.1"):
    return "\r\n".join([f"{method} {target} {version}", *lines, "", ""]).encode()


if __name__ == "__main__" and sys.argv[1:2] == ["certs"] and len(sys.argv) == 3:
    make_certs(sys.argv[2])
elif __name__ == "__main__":
    sys.exit(__doc__)
