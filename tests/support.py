"""What the suite, the soak and lint.sh share: the binaries and port under test (from the
environment), throwaway certificates made with the openssl CLI, and small waiting helpers."""
import contextlib
import os
import pathlib
import socket
import subprocess
import time

STAGE = pathlib.Path(__file__).resolve().parent.parent / "build" / "test" / "stage" / "bin"
TOOL = os.environ.get("TOVRIN_REPORT", str(STAGE / "tovrin-report"))
SERVER = os.environ.get("TOVRIN_REPORT_SERVER", str(STAGE / "tovrin-report-server"))
PORT = int(os.environ.get("TOVRIN_TEST_PORT", "18443"))
KEY = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
SAN = "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"


def openssl(d, *commands):
    for cmd in commands:
        subprocess.run(["openssl", *cmd.split()], cwd=d, check=True, capture_output=True)


def leaf(d, name, san=SAN, days=2, signer="-CA ca/ca.pem -CAkey ca.key -CAcreateserial"):
    """A cert for localhost, d/name.pem with key d/name.key, signed by d's CA: (cert, key)."""
    openssl(d, f"req {KEY} -subj /CN=localhost -addext {san} -keyout {name}.key -out {name}.csr",
            f"x509 -req -in {name}.csr {signer} -days {days} -copy_extensions copyall -out {name}.pem")
    return f"{d}/{name}.pem", f"{d}/{name}.key"


def make_certs(d, cn="tovrin-test-ca"):
    """A CA hashed into d/ca/ (cert ca/ca.pem, key ca.key) and leaf cert, key: (CA dir, cert, key)."""
    os.makedirs(f"{d}/ca")
    openssl(d, f"req -x509 {KEY} -days 2 -subj /CN={cn} -keyout ca.key -out ca/ca.pem", "rehash ca")
    return (f"{d}/ca", *leaf(d, "cert"))


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
        text = f.readline(65537)
        if not text:
            raise EOFError("chunked body cut short")
        return text
    while size := int(line().split(b";")[0], 16):
        while size:
            data = f.read(min(size, piece))
            if not data:
                raise EOFError("chunked body cut short")
            size -= len(data)
            yield data
        line()
    while line() not in (b"\r\n", b"\n"):
        pass
