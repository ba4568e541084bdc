"""The stand-in server under load and against hostile clients: every report
stored once, byte-exact, nothing else stored, nothing written outside the spool."""
import os
import random
import select
import socket
import ssl
import subprocess
import time

import pytest

from conftest import PORT, SANITIZED, TOOL, Server, put_head, run_tool, show, tls
from support import wait_until

TOOLS, REPORT_BYTES, ROUNDS = 64, 1 << 20, 3
# Release builds peak near 14 MiB; holding the 64 bodies in memory would pass 64 MiB.
PEAK_RSS_KIB = (512 if SANITIZED else 64) << 10
READ_TIMEOUT = 30  # the server's, fixed in its source


@pytest.fixture(scope="module")
def server(certs, tmp_path_factory):
    srv = Server(certs, tmp_path_factory.mktemp("load") / "spool")
    srv.start("--max-bytes", str(2 << 20))
    # Idle until the last test, by which the server's read time-out must have cut them off.
    srv.idle = [(time.monotonic(), socket.create_connection(("127.0.0.1", PORT))), (time.monotonic(), tls(certs))]
    yield srv
    for _, sock in srv.idle:
        sock.close()
    srv.stop()  # it lets open connections finish


@pytest.mark.parametrize("rnd", range(ROUNDS), ids=[f"round-{r}-64-tools-at-once" for r in range(ROUNDS)])
def test_concurrent_reports_each_stored_once(server, tmp_path, rnd):
    rng, procs = random.Random(rnd), []
    reports = [i.to_bytes(4, "big") + rng.randbytes(REPORT_BYTES - 4) for i in range(TOOLS)]
    for i, report in enumerate(reports):
        (tmp_path / str(i)).write_bytes(report)
        with open(tmp_path / str(i), "rb") as stdin:
            procs.append(subprocess.Popen([TOOL, "--ca-path", server.certs.ca_dir], stdin=stdin,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    deadline = time.monotonic() + 300
    for p in procs:
        out, err = p.communicate(timeout=max(1, deadline - time.monotonic()))
        assert (p.returncode, out) == (0, b""), show(out, err)
    stored = sorted(server.take().values())
    assert stored == sorted(reports), f"{len(stored)} stored for {TOOLS} sent, or not byte-exact"
    with open(f"/proc/{server.proc.pid}/status") as f:
        peak = int(next(line.split()[1] for line in f if line.startswith("VmHWM")))
    print(f"server peak RSS (VmHWM) after round {rnd}: {peak} KiB")  # shown with pytest -s
    assert peak < PEAK_RSS_KIB, f"server peak RSS {peak} KiB"


def endless_chunks(sock):
    sock.sendall(put_head())
    for _ in range(1024):  # 64 MiB at most; the server answers or cuts off well before
        if select.select([sock], [], [], 0)[0]:
            return
        sock.sendall(b"10000\r\n" + bytes(1 << 16) + b"\r\n")


def put(target="/report/", *headers, body=b"5\r\nhello\r\n0\r\n\r\n"):
    return put_head(target, ("Transfer-Encoding: chunked", *headers)) + body


# cpp-httplib 0.11 skips a header line without a colon, and takes a chunk not
# followed by CRLF for the end of the body: the server stores and says OK.
LENIENT = pytest.mark.xfail(strict=True, reason="cpp-httplib 0.11 accepts it; the server does not see it")
HOSTILE = {
    "garbage-request-line": (True, b"\x00\xff\xfe nonsense\r\n\r\n"),
    "request-line-without-version": (True, b"PUT /report/\r\n\r\n"),
    "header-line-without-colon": pytest.param(True, put("/report/", "no colon"), marks=LENIENT),
    "header-of-1-MiB": (True, put("/report/", "X-Long: " + "a" * (1 << 20))),
    "chunk-size-not-hex": (True, put(body=b"zz\r\nhello\r\n0\r\n\r\n")),
    "chunk-size-overflowing": (True, put(body=b"1" + b"0" * 40 + b"\r\nhello\r\n")),
    "chunk-longer-than-its-size": pytest.param(True, put(body=b"2\r\nhello\r\n0\r\n\r\n"), marks=LENIENT),
    "never-ending-chunked-body": (True, endless_chunks),
    "dot-dot-path": (True, put("/report/../x")),
    "double-slash-path": (True, put("/report//")),
    "query-string": (True, put("/report/?a")),
    "encoded-slash": (True, put("/report%2F")),
    "absolute-url-elsewhere": (True, put("https://localhost/x/../report/")),
    "plain-http-on-tls-port": (False, put()),
}


@pytest.mark.parametrize("use_tls,request_", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_client_stores_nothing(server, use_tls, request_):
    root = server.spool.parent
    before = sorted(os.listdir(root))
    sock = tls(server.certs) if use_tls else socket.create_connection(("127.0.0.1", PORT), timeout=10)
    sock.settimeout(READ_TIMEOUT + 10)
    reply = b""
    try:
        request_(sock) if callable(request_) else sock.sendall(request_)
        while len(reply) < 1 << 20 and (data := sock.recv(65536)):
            reply += data
    except TimeoutError:
        reply = b"HTTP/1.1 2?? neither answered nor cut off"
    except OSError:
        pass  # cut off by the server: an answer too
    finally:
        sock.close()
    wait_until(lambda: not server.temporaries(), 10)  # it may still be winding up a cut connection
    stored = server.take()
    status, _, body = reply.partition(b"\r\n\r\n")
    assert not status.startswith(b"HTTP/1.1 2") and not body.startswith(b"OK"), reply[:300]
    assert stored == {} and sorted(os.listdir(root)) == before
    assert server.proc.poll() is None, server.log.read_bytes()[-2000:]


def test_idle_clients_cut_off_and_server_still_delivers(server):
    for opened, sock in server.idle:
        sock.settimeout(max(1, opened + READ_TIMEOUT + 10 - time.monotonic()))
        try:
            got = sock.recv(1)
        except TimeoutError:
            got = b"(still open)"
        except (ConnectionResetError, ssl.SSLError):
            got = b""  # cut off without a TLS close_notify
        assert got == b"", f"an idle client was not cut off: {got!r}"
    rc, out, err, _ = run_tool(["--ca-path", server.certs.ca_dir], stdin=b"after the storm\n")
    assert (rc, out) == (0, b""), show(out, err)
    assert list(server.take().values()) == [b"after the storm\n"]
