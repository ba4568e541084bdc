"""The stand-in server, started for real, driven by the tool and by raw TLS clients: every report
stored once and byte-exact, nothing else stored, no delivery held up by slow clients."""
import concurrent.futures
import os
import pathlib
import random
import re
import socket
import subprocess

import pytest

import support
from hostile import Hostile
from support import PORT, SERVER, exchange, head, run_tool, show, tls

INVALID, LIMIT = b"Invalid response from server: ", 4 << 20  # conftest's server has --max-bytes LIMIT
CHUNKED, HOST, HELLO = "Transfer-Encoding: chunked", "Host: localhost", b"5\r\nhello\r\n0\r\n\r\n"


def test_reports_are_stored_byte_exact_and_named_while_slow_clients_hang_on(server, certs):
    """64 deliveries at once, one empty, one of exactly the size limit, among 300 slow clients from
    127.0.0.2-9 (the benchmark runs the full figure of a thousand)."""
    bodies = [b"", b"x" * LIMIT] + [i.to_bytes(4, "big") + random.Random(i).randbytes(1 << 20) for i in range(62)]
    hostile = Hostile(PORT, 300)
    try:
        assert support.wait_until(lambda: sum(hostile.opened.values()) >= 300, 30), hostile.opened
        with concurrent.futures.ThreadPoolExecutor(len(bodies)) as pool:
            results = list(pool.map(lambda b: run_tool(["--ca-path", certs.ca_dir], stdin=b), bodies))
    finally:
        hostile.stop()
    for rc, out, err, _ in results:
        assert (rc, out) == (0, b""), show(out, err)
    assert sorted(server.take().values()) == sorted(bodies)
    status, reply = exchange(tls(certs), head(HOST, CHUNKED) + HELLO)
    assert status == 200 and reply.startswith(b"OK ") and reply.endswith(b"\n"), reply
    assert server.take() == {reply[3:-1].decode(): b"hello"}


def test_report_over_the_limit_is_refused_while_sent(server, certs):
    rc, out, err, _ = run_tool(["--ca-path", certs.ca_dir], stdin=bytes(2 * LIMIT))
    assert (rc, out, server.take()) == (1, INVALID + b"Report too large: the limit is %d bytes\n" % LIMIT, {}), err


# What our configuration must refuse; None: no reply is due (the client left mid-body). Malformed
# framing and header syntax are nginx's parser's to refuse, before any of this.
@pytest.mark.parametrize("request_, status", [
    pytest.param(head(HOST, method="GET"), 405, id="get-405"),
    pytest.param(head(HOST), 411, id="no-length-411"),
    pytest.param(head(HOST, f"Content-Length: {LIMIT + 1}", "Expect: 100-continue"), 413, id="declared-over-limit-413"),
    pytest.param(head(HOST, CHUNKED) + b"%x\r\n" % (LIMIT + 1) + bytes(LIMIT + 1) + b"\r\n0\r\n\r\n", 413,
                 id="chunked-one-over-limit-413"),
    pytest.param(head(HOST, CHUNKED, "Content-Encoding: gzip") + HELLO, 415, id="content-encoding-415"),
    pytest.param(head(HOST, CHUNKED, target="/report/../report/") + HELLO, 404, id="dot-segments"),
    pytest.param(head(HOST, CHUNKED, target="/report//") + HELLO, 404, id="double-slash"),
    pytest.param(head(HOST, CHUNKED, target="/report") + HELLO, 404, id="no-trailing-slash"),
    pytest.param(head(HOST, CHUNKED, target="/report/x") + HELLO, 404, id="below-report"),
    pytest.param(head(HOST, CHUNKED, target="/report/?a") + HELLO, 404, id="query-string"),
    pytest.param(head(HOST, f"Content-Length: {LIMIT + 1}", target="/other"), 404, id="wrong-target-404-before-size"),
    pytest.param(head(HOST, f"Content-Length: {LIMIT + 1}", target="/report//"), 404, id="near-target-404-before-size"),
    pytest.param(head(HOST, CHUNKED, target="/report%2F") + HELLO, 404, id="encoded-slash"),
    pytest.param(head(HOST, CHUNKED) + b"493e0\r\n" + bytes(300000) + b"\r", None, id="chunked-cut-after-data-cr"),
    pytest.param(head(HOST, CHUNKED) + b"100000\r\n" + bytes(300000), None, id="chunked-cut-mid-chunk"),
    pytest.param(head(HOST, "Content-Length: 1000000") + bytes(300000), None, id="content-length-cut-short"),
])
def test_refused_request_stores_nothing(server, certs, request_, status):
    conn = tls(certs)
    if status is None:  # the body has begun to land in the spool, then the client leaves
        conn.sendall(request_)
        assert support.wait_until(server.temporaries, 20), "no temporary file"
    got, body = exchange(conn, request_ if status else b"", leave=status is None)
    assert support.wait_until(lambda: not server.temporaries(), 20), "the temporary file stayed"
    assert (got, body.startswith(b"OK")) == (status, False), body[:300]
    assert server.take() == {}


@pytest.mark.parametrize("args, message", [
    pytest.param("--help", b"", id="help-exits-0"),
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
        values = dict(CERT=certs.good[0], KEY=certs.good[1], OTHER_KEY=certs.wrong_host[1], TMP=str(tmp_path),
                      BUSY=str(busy.getsockname()[1]))
        # A row's own options override these; a missing value must come last.
        argv = ["--listen", f"127.0.0.1:{support.free_port()}", "--spool", str(tmp_path / "spool"),
                *re.sub(r"\b[A-Z_]+\b", lambda m: values.get(m[0], m[0]), args).split()]
        env = dict(a.split("=", 1) for a in argv if "=" in a)  # NAME=value: the environment
        done = subprocess.run([SERVER, *(a for a in argv if "=" not in a)], env={**os.environ, **env},
                              capture_output=True)
    if not message:
        assert done.returncode == 0 and done.stdout.startswith(b"Usage: "), show(done.stdout, done.stderr)
    else:
        msg = show(done.stdout, done.stderr)
        assert done.returncode == 2 and done.stderr.count(b"\n") == 1 and message in done.stderr, msg


def test_sigterm_lets_uploads_finish_and_removes_abandoned_ones(server, certs):
    body = random.Random(0).randbytes(1 << 20)
    finishing, abandoned = tls(certs), tls(certs)
    for conn in (finishing, abandoned):
        conn.sendall(head(HOST, CHUNKED) + b"%x\r\n" % len(body) + body[:300000])
    assert support.wait_until(lambda: len(server.temporaries()) == 2, 20), "no temporary files"
    server.proc.terminate()
    abandoned.close()
    status, reply = exchange(finishing, body[300000:] + b"\r\n0\r\n\r\n")
    assert server.proc.wait(60) == 0, server.log.read_bytes()
    assert (status, list(server.take().values())) == (200, [body]), reply
    server.start()


def test_what_a_crash_leaves_is_cleared_at_the_next_start(server, certs):
    runtime = next(filter(None, map(os.environ.get, ("RUNTIME_DIRECTORY", "XDG_RUNTIME_DIR", "TMPDIR"))), "/tmp")
    foreign, link = (pathlib.Path(runtime, f"tovrin-report-server-{n}") for n in ("999999999.x", "999999998"))
    foreign.mkdir()
    os.chown(foreign, 65534, 65534)  # nobody's, left untouched as the symlink is
    link.symlink_to(foreign)
    conn = tls(certs)
    conn.sendall(head(HOST, CHUNKED) + b"100000\r\n" + bytes(300000))
    assert support.wait_until(server.temporaries, 20), "no temporary file"
    crashed = server.proc.pid
    server.proc.kill()
    server.proc.wait()
    conn.close()
    assert support.wait_until(lambda: not support.accepts(PORT), 10), "its nginx outlived it"
    server.start()
    assert [p.name for p in server.spool.iterdir()] == [f".incoming-{server.proc.pid}"]
    assert not list(pathlib.Path(runtime).glob(f"tovrin-report-server-{crashed}.*"))
    assert foreign.is_dir() and link.is_symlink(), "another user's folder or a link removed"
    link.unlink(), foreign.rmdir()


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
        status, _ = exchange(tls(certs), head(HOST, "Content-Length: 268435457"))  # over the default limit
    finally:
        for proc in filter(None, (site, commit)):
            proc.terminate()
            proc.wait(60)
        server.start()
    assert (rc, out, status) == (0, b"", 413), show(out, err)
    assert [p.read_bytes() for p in spool.iterdir() if p.is_file()] == [b"through the site"]
