"""The stand-in server, started for real, driven by the tool and by raw TLS clients."""
import concurrent.futures
import os
import random
import re
import socket
import subprocess

import pytest

import support
from conftest import PORT, SERVER, Server, put_head, run_tool, show, tls

INVALID = b"Invalid response from server: "


@pytest.fixture(scope="module")
def server(certs, tmp_path_factory):
    srv = Server(certs, tmp_path_factory.mktemp("server") / "spool")
    srv.start()
    yield srv
    srv.stop()


def exchange(conn, data=b""):
    """Sends data, reads the reply until the server closes; returns (status, body)."""
    conn.sendall(data)
    reply = b""
    while chunk := conn.recv(65536):
        reply += chunk
    conn.close()
    head, _, body = reply.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


@pytest.mark.parametrize("body", [
    pytest.param(b"", id="empty"),
    pytest.param(random.Random(1).randbytes(3 << 20), id="3MiB-of-random-bytes"),
])
def test_delivered_report_is_stored_byte_exact(server, certs, body):
    rc, out, err, _ = run_tool(["--ca-path", certs.ca_dir], stdin=body)
    assert (rc, out) == (0, b""), show(out, err)
    assert list(server.take().values()) == [body]


def test_reply_names_the_stored_report(server, certs):
    status, reply = exchange(tls(certs), put_head() + b"5\r\nhello\r\n0\r\n\r\n")
    assert status == 200 and reply.startswith(b"OK ") and reply.endswith(b"\n"), reply
    assert server.take() == {reply[3:-1].decode(): b"hello"}


def test_concurrent_deliveries_are_each_stored_once(server, certs):
    bodies = [random.Random(i).randbytes(1 << 20) for i in range(32)]
    with concurrent.futures.ThreadPoolExecutor(len(bodies)) as pool:
        results = list(pool.map(lambda b: run_tool(["--ca-path", certs.ca_dir], stdin=b, timeout=180),
                                bodies))
    for rc, out, err, _ in results:
        assert (rc, out) == (0, b""), show(out, err)
    assert sorted(server.take().values()) == sorted(bodies)


# Path tricks are among the hostile clients of test_load.py.
@pytest.mark.parametrize("request_bytes, status", [
    pytest.param(put_head(method="GET", headers=()), 405, id="get-on-report-405"),
    pytest.param(put_head("/report/x") + b"0\r\n\r\n", 404, id="below-report-404"),
    pytest.param(put_head(headers=()), 411, id="no-length-411"),
    pytest.param(put_head(headers=("Content-Length: 268435457", "Expect: 100-continue")), 413,
                 id="declared-length-over-limit-413"),
    pytest.param(put_head(headers=("Transfer-Encoding: chunked", "Content-Encoding: gzip")) + b"0\r\n\r\n",
                 415, id="content-encoding-415"),
])
def test_refused_request_stores_nothing(server, certs, request_bytes, status):
    got, body = exchange(tls(certs), request_bytes)
    assert (got, body[:2] != b"OK") == (status, True), body
    assert server.take() == {}


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
        rc, out, err, _ = run_tool(["--ca-path", certs.ca_dir], stdin=body)
        reports = server.take()
    finally:
        server.stop()
        server.start()
    if stored:
        assert (rc, out, list(reports.values())) == (0, b"", [body]), show(out, err)
    else:
        assert (rc, out) == (1, INVALID + b"Report too large: the limit is 4096 bytes\n"), show(out, err)
        assert reports == {}


@pytest.mark.parametrize("head, partial", [
    pytest.param(put_head(), b"1000000\r\n" + b"x" * 300000, id="chunked-cut-mid-chunk"),
    pytest.param(put_head(headers=("Content-Length: 16777216",)), b"x" * 300000, id="length-cut-short"),
])
def test_cut_off_upload_leaves_nothing(server, certs, head, partial):
    conn = tls(certs)
    conn.sendall(head + partial)
    assert support.wait_until(server.temporaries, 20), "no temporary file"
    conn.close()
    assert support.wait_until(lambda: not server.temporaries(), 20), "the temporary file stayed"
    assert server.take() == {}


def test_help_exits_0():
    done = subprocess.run([SERVER, "--help"], capture_output=True, timeout=20)
    assert done.returncode == 0 and done.stdout.startswith(b"Usage: "), show(done.stdout, done.stderr)


@pytest.mark.parametrize("args, message", [
    pytest.param("--cert CERT --key KEY --bogus 1", b"unknown option", id="unknown-flag"),
    pytest.param("--key KEY", b"--cert", id="missing-cert"),
    pytest.param("--cert CERT --key", b"needs a value", id="missing-value"),
    pytest.param("--cert CERT --key KEY --max-bytes 12x", b"--max-bytes", id="bad-number"),
    pytest.param("--cert TMP/missing.pem --key KEY", b"cannot read certificate", id="unreadable-cert"),
    pytest.param("--cert CERT --key OTHER_KEY", b"bad key", id="key-not-the-certs"),
    pytest.param("--cert CERT --key KEY --listen 127.0.0.1:BUSY", b"Address already in use", id="port-in-use"),
    pytest.param("--cert CERT --key KEY --spool TMP/file/spool", b"cannot create spool", id="spool-not-creatable"),
    pytest.param("TMPDIR=TMP/file --cert CERT --key KEY", b"cannot make a runtime directory", id="no-runtime-dir"),
])
def test_bad_start_exits_2_with_one_line(certs, tmp_path, args, message):
    (tmp_path / "file").write_bytes(b"")
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        values = dict(CERT=certs.good[0], KEY=certs.good[1], OTHER_KEY=certs.other_ca[1], TMP=str(tmp_path),
                      BUSY=str(busy.getsockname()[1]))
        # A row's own options override these; a missing value must come last.
        argv = ["--listen", f"127.0.0.1:{support.free_port()}", "--spool", str(tmp_path / "spool"),
                *re.sub(r"\b[A-Z_]+\b", lambda m: values.get(m[0], m[0]), args).split()]
        env = dict(a.split("=", 1) for a in argv if "=" in a)  # NAME=value: the environment
        done = subprocess.run([SERVER, *(a for a in argv if "=" not in a)], env={**os.environ, **env},
                              capture_output=True, timeout=20)
    msg = show(done.stdout, done.stderr)
    assert done.returncode == 2 and done.stderr.count(b"\n") == 1 and message in done.stderr, msg


@pytest.mark.parametrize("finish", [
    pytest.param(True, id="sigterm-lets-upload-finish"),
    pytest.param(False, id="sigterm-abandoned-upload-removed"),
])
def test_sigterm_during_upload_stops_cleanly(certs, tmp_path, finish):
    port = support.free_port()
    srv = Server(certs, tmp_path / "spool", listen=f"127.0.0.1:{port}")
    srv.start()
    conn = tls(certs, port)
    body = random.Random(0).randbytes(1 << 20)
    conn.sendall(put_head() + b"%x\r\n" % len(body) + body[:300000])
    assert support.wait_until(srv.temporaries, 20), "no temporary file"
    srv.proc.terminate()
    if finish:
        status, reply = exchange(conn, body[300000:] + b"\r\n0\r\n\r\n")
        assert (status, list(srv.take().values())) == (200, [body]), reply
    else:
        conn.close()
    assert srv.proc.wait(60) == 0, srv.log.read_bytes()
    assert srv.take() == {}


# Its workers run as the commit step does, as they must: root in CI.
SITE = """daemon off; pid nginx.pid; error_log stderr warn; events {{}} user root;
http {{ access_log off; client_body_temp_path body; proxy_temp_path proxy; fastcgi_temp_path fastcgi;
  uwsgi_temp_path uwsgi; scgi_temp_path scgi;
  server {{ listen 127.0.0.1:{port} ssl; ssl_certificate {cert}; ssl_certificate_key {key};
    include {snippet};
    location / {{ return 200 "the site's own page"; }} }} }}
"""


def test_snippet_puts_the_commit_step_behind_a_sites_nginx(server, certs, tmp_path):
    snippet, spool = tmp_path / "report.conf", tmp_path / "spool"
    server.stop()  # the site takes its port
    commit = subprocess.Popen([SERVER, "--snippet", str(snippet), "--spool", str(spool)], stderr=subprocess.PIPE)
    site = None
    try:
        assert support.wait_until(snippet.exists, 10), commit.stderr.read1()
        (tmp_path / "nginx.conf").write_text(SITE.format(port=PORT, cert=certs.good[0], key=certs.good[1],
                                                         snippet=snippet))
        site = subprocess.Popen(["/usr/sbin/nginx", "-p", f"{tmp_path}/", "-c", "nginx.conf", "-e", "stderr"])
        assert support.wait_until(lambda: support.accepts(PORT), 10)
        rc, out, err, _ = run_tool(["--ca-path", certs.ca_dir], stdin=b"through the site")
        status, _ = exchange(tls(certs), put_head(method="POST", headers=("Connection: close",)))
    finally:
        for proc in filter(None, (site, commit)):
            proc.terminate()
            proc.wait(60)
        server.start()
    assert (rc, out, status) == (0, b"", 405), show(out, err)
    assert [p.read_bytes() for p in spool.iterdir() if p.is_file()] == [b"through the site"]
