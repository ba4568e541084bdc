"""The stand-in server under load, against malformed requests and against slow clients: every
report stored once and byte-exact, nothing else stored, no delivery held up."""
import random
import socket
import subprocess
import time

import pytest

import support
from conftest import PORT, TOOL, Server, put_head, run_tool, show, tls
from hostile import Hostile

TOOLS, REPORT_BYTES = 64, 1 << 20


@pytest.fixture(scope="module")
def server(certs, tmp_path_factory):
    srv = Server(certs, tmp_path_factory.mktemp("load") / "spool")
    srv.start("--max-bytes", str(2 << 20))
    yield srv
    srv.stop()


def test_concurrent_reports_each_stored_once(server, tmp_path):
    rng, procs = random.Random(0), []
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


def head(*lines, version="HTTP/1.1", target="/report/"):
    return "\r\n".join([f"PUT {target} {version}", *lines, "", ""]).encode()


CHUNKED = "Transfer-Encoding: chunked"
HOST = "Host: localhost"
HELLO = b"5\r\nhello\r\n0\r\n\r\n"
# What must be refused: a row is (request, status); None means no reply is due (the client left).
# The framing rows would store a body other than the one sent if taken leniently.
MALFORMED = {
    # Framing of the body
    "two-different-content-lengths": (head(HOST, "Content-Length: 5", "Content-Length: 6") + b"hello!", 400),
    "content-length-and-chunked": (head(HOST, "Content-Length: 5", CHUNKED) + HELLO, 400),
    "http-1.0-with-chunked": (head(HOST, CHUNKED, version="HTTP/1.0") + HELLO, 400),
    "content-length-negative": (head(HOST, "Content-Length: -5") + b"hello", 400),
    "content-length-not-a-number": (head(HOST, "Content-Length: 5e0") + b"hello", 400),
    "transfer-coding-not-chunked": (head(HOST, "Transfer-Encoding: gzip") + b"hello", 501),
    "chunked-not-last-coding": (head(HOST, "Transfer-Encoding: chunked, gzip") + HELLO, 501),
    "chunk-size-not-hex": (head(HOST, CHUNKED) + b"zz\r\nhello\r\n0\r\n\r\n", 400),
    "chunk-size-overflowing": (head(HOST, CHUNKED) + b"1" + b"0" * 40 + b"\r\nhello\r\n", 400),
    "chunk-longer-than-its-size": (head(HOST, CHUNKED) + b"2\r\nhello\r\n0\r\n\r\n", 400),
    "junk-after-chunk-data": (head(HOST, CHUNKED) + b"5\r\nhelloXX\r\n0\r\n\r\n", 400),
    "chunked-cut-after-data-cr": (head(HOST, CHUNKED) + b"5\r\nhello\r", None),
    "chunked-cut-mid-chunk": (head(HOST, CHUNKED) + b"a\r\nhello", None),
    "chunked-cut-before-last-chunk": (head(HOST, CHUNKED) + b"5\r\nhello\r\n", None),
    "content-length-cut-short": (head(HOST, "Content-Length: 10") + b"hello", None),
    # Header syntax
    "whitespace-before-colon": (head(HOST, "Transfer-Encoding : chunked") + HELLO, 400),
    "header-line-without-colon": (head(HOST, CHUNKED, "no colon") + HELLO, 400),
    "folded-header-line": (head(HOST, CHUNKED, "X-A: a", " folded") + HELLO, 400),
    "missing-host": (head(CHUNKED) + HELLO, 400),
    "two-hosts": (head(HOST, "Host: other", CHUNKED) + HELLO, 400),
    "nul-in-header": (head(HOST, CHUNKED, "X-A: a\0b") + HELLO, 400),
    "header-of-1-MiB": (head(HOST, CHUNKED, "X-Long: " + "a" * (1 << 20)) + HELLO, 400),
    "garbage-request-line": (b"\x00\xff\xfe nonsense\r\n\r\n", 400),
    # Targets other than exactly /report/
    "dot-segments": (head(HOST, CHUNKED, target="/report/../report/") + HELLO, 404),
    "double-slash": (head(HOST, CHUNKED, target="/report//") + HELLO, 404),
    "no-trailing-slash": (head(HOST, CHUNKED, target="/report") + HELLO, 404),
    "below-report": (head(HOST, CHUNKED, target="/report/x") + HELLO, 404),
    "query-string": (head(HOST, CHUNKED, target="/report/?a") + HELLO, 404),
    "encoded-slash": (head(HOST, CHUNKED, target="/report%2F") + HELLO, 404),
}


def exchange(conn, data, leave):
    """Sends data, then leaves or reads until the server closes: (status or None, body)."""
    conn.settimeout(30)
    reply = b""
    try:
        conn.sendall(data)
        while not leave and len(reply) < 1 << 20 and (got := conn.recv(65536)):
            reply += got
    except OSError:
        pass  # cut off by the server: an answer too
    finally:
        conn.close()
    status, _, body = reply.partition(b"\r\n\r\n")
    return (int(status.split()[1]) if status.startswith(b"HTTP/1.1 ") else None), body


@pytest.mark.parametrize("request_,status", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_request_is_refused_and_stores_nothing(server, request_, status):
    got, body = exchange(tls(server.certs), request_, leave=status is None)
    support.wait_until(lambda: not server.temporaries(), 10)  # nginx may still be winding up
    assert (got, body.startswith(b"OK")) == (status, False), body[:300]
    assert server.take() == {}


def test_plain_http_on_the_tls_port_is_refused(server):
    with socket.create_connection(("127.0.0.1", PORT), timeout=30) as sock:
        sock.sendall(put_head() + HELLO)
        reply = sock.recv(65536)
    assert reply.startswith(b"HTTP/1.1 400 ") and server.take() == {}, reply[:300]


def test_slow_clients_do_not_hold_up_deliveries(server):
    """300 slow clients from 127.0.0.2-9; the benchmark runs the full figure of a thousand."""
    hostile = Hostile(PORT, 300)
    try:
        assert support.wait_until(lambda: sum(hostile.opened.values()) >= 300, 30), hostile.opened
        reports, took = [random.Random(i).randbytes(1 << 20) for i in range(5)], []
        for report in reports:
            start = time.monotonic()
            rc, out, err, _ = run_tool(["--ca-path", server.certs.ca_dir], stdin=report, timeout=30)
            took.append(time.monotonic() - start)
            assert (rc, out) == (0, b""), show(out, err)
    finally:
        hostile.stop()
    print(f"deliveries under 300 slow clients: {', '.join(f'{t:.2f}' for t in took)} s")
    assert sorted(server.take().values()) == sorted(reports)
