"""The stand-in server, started for real, driven by the tool and by raw TLS clients."""
import concurrent.futures
import os
import pathlib
import random
import signal
import socket
import ssl
import subprocess
import time

import pytest

from conftest import PORT, SANITIZED, SERVER, run_tool, show

INVALID = b"Invalid response from server: "
START_TIMEOUT = 30 if SANITIZED else 10


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """One tovrin-report-server process; stderr goes to a log file."""

    def __init__(self, certs, spool, listen=f"localhost:{PORT}"):
        self.certs, self.spool, self.listen = certs, pathlib.Path(spool), listen
        self.proc = None

    def start(self, *extra):
        self.log = self.spool.with_name(self.spool.name + ".log")
        cert, key = self.certs.good
        mark = self.log.stat().st_size if self.log.exists() else 0
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen(
                [SERVER, "--cert", cert, "--key", key, "--listen", self.listen,
                 "--spool", str(self.spool), *extra], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + START_TIMEOUT
        while b"listening on" not in self.log.read_bytes()[mark:]:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.proc.kill()
                pytest.fail(f"server did not start: {self.log.read_bytes()!r}")
            time.sleep(0.02)

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        rc = self.proc.wait(60)
        assert rc == 0, f"server exit {rc}: {self.log.read_bytes()!r}"

    def reports(self):
        return {p.name: p.read_bytes() for p in self.spool.iterdir() if not p.name.startswith(".")}

    def temporaries(self):
        return [p.name for p in self.spool.iterdir() if p.name.startswith(".tmp-")]


@pytest.fixture(scope="module")
def server(certs, tmp_path_factory):
    srv = Server(certs, tmp_path_factory.mktemp("server") / "spool")
    srv.start()
    yield srv
    srv.stop()


def new_reports(server, before):
    return {k: v for k, v in server.reports().items() if k not in before}


def tls(certs, port=PORT):
    ctx = ssl.create_default_context(cafile=certs.ca_pem)
    return ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=30),
                           server_hostname="localhost")


def exchange(conn, data=b""):
    """Sends data, reads the reply until the server closes; returns (status, body)."""
    conn.sendall(data)
    reply = b""
    while chunk := conn.recv(65536):
        reply += chunk
    conn.close()
    head, _, body = reply.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


def put_head(target="/report/", headers=("Transfer-Encoding: chunked",), method="PUT"):
    return (f"{method} {target} HTTP/1.1\r\nHost: localhost\r\n" + "".join(h + "\r\n" for h in headers)
            + "\r\n").encode()


def wait_for(condition, what, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)


@pytest.mark.parametrize("body", [
    pytest.param(b"", id="empty"),
    pytest.param(b"build 42 passed\n", id="text"),
    pytest.param(bytes(range(256)) * 16, id="all-byte-values"),
    pytest.param(random.Random(1).randbytes(3 << 20), id="3MiB-binary"),
])
def test_delivered_report_is_stored_byte_exact(server, certs, body):
    before = server.reports()
    rc, out, err, _ = run_tool(["--ca-path", certs.ca_dir], stdin=body)
    assert (rc, out) == (0, b""), show(out, err)
    assert list(new_reports(server, before).values()) == [body]
    assert server.temporaries() == []


def test_reply_names_the_stored_report(server, certs):
    before = server.reports()
    status, reply = exchange(tls(certs), put_head() + b"5\r\nhello\r\n0\r\n\r\n")
    assert status == 200 and reply.startswith(b"OK ") and reply.endswith(b"\n"), reply
    assert new_reports(server, before) == {reply[3:-1].decode(): b"hello"}


def test_concurrent_deliveries_are_each_stored_once(server, certs):
    bodies = [random.Random(i).randbytes(1 << 20) for i in range(32)]
    before = server.reports()
    with concurrent.futures.ThreadPoolExecutor(len(bodies)) as pool:
        results = list(pool.map(lambda b: run_tool(["--ca-path", certs.ca_dir], stdin=b, timeout=180),
                                bodies))
    for rc, out, err, _ in results:
        assert (rc, out) == (0, b""), show(out, err)
    assert sorted(new_reports(server, before).values()) == sorted(bodies)


@pytest.mark.parametrize("request_bytes, status", [
    pytest.param(put_head(method="GET", headers=()), 405, id="get-on-report-405"),
    pytest.param(put_head(method="POST", headers=("Content-Length: 1",)) + b"x", 405, id="post-on-report-405"),
    pytest.param(put_head("/report") + b"0\r\n\r\n", 404, id="no-trailing-slash-404"),
    pytest.param(put_head("/report/x") + b"0\r\n\r\n", 404, id="below-report-404"),
    pytest.param(put_head("/report/../x") + b"0\r\n\r\n", 404, id="dot-dot-404"),
    pytest.param(put_head("/report//") + b"0\r\n\r\n", 404, id="double-slash-404"),
    pytest.param(put_head("/report/?a") + b"0\r\n\r\n", 404, id="query-404"),
    pytest.param(put_head("/report%2F") + b"0\r\n\r\n", 404, id="encoded-slash-404"),
    pytest.param(put_head(headers=()), 411, id="no-length-411"),
    pytest.param(put_head(headers=("Content-Length: 268435457", "Expect: 100-continue")), 413,
                 id="declared-length-over-limit-413"),
    pytest.param(put_head(headers=("Transfer-Encoding: chunked", "Content-Encoding: gzip")) + b"0\r\n\r\n",
                 415, id="content-encoding-415"),
])
def test_refused_request_stores_nothing(server, certs, request_bytes, status):
    before = server.reports()
    got, body = exchange(tls(certs), request_bytes)
    assert (got, body[:2] != b"OK") == (status, True), body
    assert new_reports(server, before) == {}
    assert server.temporaries() == []


@pytest.mark.parametrize("limit, size, stored", [
    pytest.param(4096, 4096, True, id="exactly-the-limit-stored"),
    pytest.param(4096, 4097, False, id="one-over-refused-413"),
    pytest.param(4096, 1 << 20, False, id="far-over-refused-413"),
])
def test_size_limit_on_chunked_upload(server, certs, limit, size, stored):
    body = random.Random(size).randbytes(size)
    server.stop()
    server.start("--max-bytes", str(limit))
    try:
        before = server.reports()
        rc, out, err, _ = run_tool(["--ca-path", certs.ca_dir], stdin=body)
        reports = new_reports(server, before)
    finally:
        server.stop()
        server.start()
    if stored:
        assert (rc, out, list(reports.values())) == (0, b"", [body]), show(out, err)
    else:
        assert (rc, out) == (1, INVALID + b"Report too large: the limit is 4096 bytes\n"), show(out, err)
        assert reports == {} and server.temporaries() == []


@pytest.mark.parametrize("head, partial", [
    pytest.param(put_head(), b"100000\r\n" + b"x" * 5000, id="chunked-cut-mid-chunk"),
    pytest.param(put_head(headers=("Content-Length: 1000000",)), b"x" * 5000, id="length-cut-short"),
])
def test_cut_off_upload_leaves_nothing(server, certs, head, partial):
    before = server.reports()
    conn = tls(certs)
    conn.sendall(head + partial)
    wait_for(server.temporaries, "the temporary file")
    conn.close()
    wait_for(lambda: not server.temporaries(), "the temporary file to go")
    assert new_reports(server, before) == {}


def test_help_exits_0():
    done = subprocess.run([SERVER, "--help"], capture_output=True, timeout=20)
    assert done.returncode == 0 and done.stdout.startswith(b"Usage: "), show(done.stdout, done.stderr)


@pytest.mark.parametrize("args, message", [
    pytest.param(lambda c, t, busy: ["--cert", c.good[0], "--key", c.good[1], "--bogus", "1"], b"unknown option",
                 id="unknown-flag"),
    pytest.param(lambda c, t, busy: ["--key", c.good[1]], b"--cert", id="missing-cert"),
    pytest.param(lambda c, t, busy: ["--cert", c.good[0], "--key"], b"needs a value", id="missing-value"),
    pytest.param(lambda c, t, busy: ["--cert", c.good[0], "--key", c.good[1], "--max-bytes", "12x"], b"--max-bytes",
                 id="bad-number"),
    pytest.param(lambda c, t, busy: ["--cert", str(t / "missing.pem"), "--key", c.good[1]], b"cannot read certificate",
                 id="unreadable-cert"),
    pytest.param(lambda c, t, busy: ["--cert", c.good[0], "--key", c.other_ca[1]], b"bad key", id="key-not-the-certs"),
    pytest.param(lambda c, t, busy: ["--cert", c.good[0], "--key", c.good[1], "--listen", f"127.0.0.1:{busy}"],
                 b"Address already in use", id="port-in-use"),
    pytest.param(lambda c, t, busy: ["--cert", c.good[0], "--key", c.good[1], "--spool", str(t / "file" / "spool")],
                 b"cannot create spool", id="spool-not-creatable"),
])
def test_bad_start_exits_2_with_one_line(certs, tmp_path, args, message):
    (tmp_path / "file").write_bytes(b"")
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        # A row's own options override these; a missing value must come last.
        argv = ["--listen", f"127.0.0.1:{free_port()}", "--spool", str(tmp_path / "spool"),
                *args(certs, tmp_path, busy.getsockname()[1])]
        done = subprocess.run([SERVER, *argv], capture_output=True, timeout=20)
    msg = show(done.stdout, done.stderr)
    assert done.returncode == 2 and done.stderr.count(b"\n") == 1 and message in done.stderr, msg


@pytest.mark.parametrize("sig, finish", [
    pytest.param(signal.SIGTERM, True, id="sigterm-lets-upload-finish"),
    pytest.param(signal.SIGTERM, False, id="sigterm-abandoned-upload-removed"),
    pytest.param(signal.SIGINT, False, id="sigint-abandoned-upload-removed"),
])
def test_signal_during_upload_stops_cleanly(certs, tmp_path, sig, finish):
    port = free_port()
    srv = Server(certs, tmp_path / "spool", listen=f"127.0.0.1:{port}")
    srv.start()
    conn = tls(certs, port)
    conn.sendall(put_head() + b"5\r\nhel")
    wait_for(srv.temporaries, "the temporary file")
    srv.proc.send_signal(sig)
    if finish:
        status, reply = exchange(conn, b"lo\r\n0\r\n\r\n")
        assert (status, list(srv.reports().values())) == (200, [b"hello"]), reply
    else:
        conn.close()
    assert srv.proc.wait(60) == 0, srv.log.read_bytes()
    assert srv.temporaries() == [] and (finish or srv.reports() == {})
