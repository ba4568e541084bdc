"""The stand-in server, started for real, driven by the tool and by raw TLS clients: every report
stored once and byte-exact, nothing else stored, no delivery held up by slow clients."""
import concurrent.futures
import contextlib
import fcntl
import os
import pathlib
import random
import re
import signal
import socket
import shutil
import subprocess
import tempfile
import time

import pytest

import support
from hostile import Hostile
from support import PORT, SERVER, exchange, head, run_tool, show, tls

INVALID, LIMIT = b"Invalid response from server: ", 4 << 20  # conftest's server has --max-bytes LIMIT
CHUNKED, HOST, HELLO = "Transfer-Encoding: chunked", "Host: localhost", b"5\r\nhello\r\n0\r\n\r\n"
RUNTIME = "/run" if os.geteuid() == 0 else next(filter(None, map(os.environ.get, ("RUNTIME_DIRECTORY", "XDG_RUNTIME_DIR",
                                                                                  "TMPDIR"))), "/tmp")
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c"]
REACH = "import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])"
# 64 connections to the port, half of them sending a byte a second, for 30 s at most.
HOLD = """import socket, sys, time
held = [socket.create_connection(("127.0.0.1", int(sys.argv[1]))) for _ in range(64)]
print("ready", flush=True)
for _ in range(30):
    for c in held[:32]:
        c.send(b"\\x16")
    time.sleep(1)
"""
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="acting as another user needs root")


def read_all(paths, read):
    """read(p) for each of paths that is still there: processes and descriptors come and go."""
    found = []
    for p in paths:
        with contextlib.suppress(OSError):
            found.append(read(p))
    return found


def links(pid):
    return read_all(pathlib.Path(f"/proc/{pid}/fd").iterdir(), os.readlink)


def nginx_group(server):
    """The server's nginx master, then every process of its group."""
    master = int(pathlib.Path(f"/proc/{server.proc.pid}/task/{server.proc.pid}/children").read_text().split()[0])
    stats = read_all(pathlib.Path("/proc").glob("[0-9]*/stat"), pathlib.Path.read_text)
    rows = [(int(s.split()[0]), int(s.rsplit(")", 1)[1].split()[2])) for s in stats]  # pid, process group
    return [master, *(pid for pid, group in rows if group == master and pid != master)]


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
    status, reply = exchange(tls(certs), head(HOST, CHUNKED, target="http://other.example/report/") + HELLO)
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
    pytest.param(head(HOST, CHUNKED, "Content-Encoding: identity", "Content-Encoding: gzip") + HELLO, 415,
                 id="second-content-encoding-415"),
    pytest.param(head(HOST, CHUNKED, target="/report/../report/") + HELLO, 404, id="dot-segments"),
    pytest.param(head(HOST, CHUNKED, target="/report//") + HELLO, 404, id="double-slash"),
    pytest.param(head(HOST, CHUNKED, target="/report") + HELLO, 404, id="no-trailing-slash"),
    pytest.param(head(HOST, CHUNKED, target="/report/x") + HELLO, 404, id="below-report"),
    pytest.param(head(HOST, CHUNKED, target="/report/?a") + HELLO, 404, id="query-string"),
    pytest.param(head(HOST, f"Content-Length: {LIMIT + 1}", target="/other"), 404, id="wrong-target-404-before-size"),
    pytest.param(head(HOST, f"Content-Length: {LIMIT + 1}", target="/report//"), 404, id="near-target-404-before-size"),
    pytest.param(head(HOST, CHUNKED, target="/report%2F") + HELLO, 404, id="encoded-slash"),
    pytest.param(head(HOST, CHUNKED, target="https://localhost/report/x") + HELLO, 404, id="absolute-below-report"),
    pytest.param(head(HOST, f"Content-Length: {LIMIT + 1}", target="http://other.example/report/?a"), 404,
                 id="absolute-with-query-404-before-size"),
    pytest.param(head(HOST, CHUNKED) + b"493e0\r\n" + bytes(300000) + b"\r", None, id="chunked-cut-after-data-cr"),
    pytest.param(head(HOST, CHUNKED) + b"100000\r\n" + bytes(300000), None, id="chunked-cut-mid-chunk"),
    pytest.param(head(HOST, "Content-Length: 1000000") + bytes(300000), None, id="content-length-cut-short"),
])
def test_refused_request_stores_nothing_and_is_logged(server, certs, request_, status):
    conn, logged = tls(certs), len(server.log.read_bytes())
    if status is None:  # the body has begun to land in the spool, then the client leaves
        conn.sendall(request_)
        assert support.wait_until(server.temporaries, 20), "no temporary file"
    got, body = exchange(conn, request_ if status else b"", leave=status is None)
    assert support.wait_until(lambda: not server.temporaries(), 20), "the temporary file stayed"
    assert (got, body.startswith(b"OK")) == (status, False), body[:300]
    assert server.take() == {}
    line = rb"\n\S+ 127.0.0.1:\d+ \S+ \S+ %d - -\n" % (status or 400)
    assert support.wait_until(lambda: re.search(line, server.log.read_bytes()[logged - 1:]), 5), "no log line"


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
    pytest.param("--cert CERT --key KEY --spool TMP/locked", b"another tovrin-report-server serves", id="spool-in-use"),
    # Whoever could rename the spool or a folder above it could turn where the server writes.
    pytest.param("--cert CERT --key KEY --spool TMP/theirs", b"theirs is nobody's, not root's", id="spool-of-another-user",
                 marks=as_root),
    pytest.param("--cert CERT --key KEY --spool TMP/theirs/spool", b"theirs is nobody's, not root's",
                 id="folder-above-of-another-user", marks=as_root),
    pytest.param("--cert CERT --key KEY --spool TMP/open/spool", b"open: other users can write", id="folder-above-open"),
    pytest.param("--cert CERT --key KEY --spool TMP/sticky", b"sticky: other users can write", id="spool-open-sticky"),
    pytest.param("--snippet TMP/report.conf", b"not as root", id="snippet-as-root", marks=as_root),
])
def test_bad_start_exits_2_with_one_line(certs, tmp_path, args, message):
    (tmp_path / "file").write_bytes(b"")
    for name, mode in (("theirs", 0o700), ("open", 0o777), ("sticky", 0o1777), ("locked", 0o700)):
        (tmp_path / name).mkdir(), os.chmod(tmp_path / name, mode)
    if os.geteuid() == 0:
        os.chown(tmp_path / "theirs", 65534, 65534)
    fcntl.flock(locked := os.open(tmp_path / "locked", os.O_RDONLY), fcntl.LOCK_EX)  # as a server on it does
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
    os.close(locked)
    if not message:
        assert done.returncode == 0 and done.stdout.startswith(b"Usage: "), show(done.stdout, done.stderr)
    else:
        msg = show(done.stdout, done.stderr)
        assert done.returncode == 2 and done.stderr.count(b"\n") == 1 and message in done.stderr, msg


@as_root
def test_localhost_in_any_case_is_loopback_without_etc_hosts(certs, tmp_path):
    hide = 'mount --bind /dev/null /etc/hosts && exec "$@"'  # as on a minimal root, which has none
    with subprocess.Popen(["unshare", "--mount", "sh", "-c", hide, "sh", SERVER, "--cert", certs.good[0], "--key",
                           certs.good[1], "--listen", f"LocalHost:{support.free_port()}", "--spool", str(tmp_path)],
                          stderr=subprocess.PIPE) as proc:
        line = proc.stderr.readline()
        proc.terminate()
    assert b"listening on https://" in line and b"127.0.0.1" in line, line


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
    foreign, link = (pathlib.Path(RUNTIME, f"tovrin-report-server-{n}") for n in ("999999999.x", "999999998"))
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
    assert [p.name for p in server.spool.iterdir()] == [".incoming"] and not server.temporaries()
    assert not list(pathlib.Path(RUNTIME).glob(f"tovrin-report-server-{crashed}.*"))
    assert foreign.is_dir() and link.is_symlink(), "another user's folder or a link removed"
    link.unlink(), foreign.rmdir()


# What the server cannot go on without ends it within 2 s, exit 1, nothing left on the port, for its
# service to start it again; the body that was being received goes then.
@pytest.mark.parametrize("lost", ["nginx-master", "spool-removed", "spool-replaced", "runtime-folder-removed"])
def test_a_lost_part_ends_the_server_at_once(server, certs, lost):
    conn = tls(certs)
    conn.sendall(head(HOST, CHUNKED) + b"100000\r\n" + bytes(300000))
    assert support.wait_until(server.temporaries, 20), "no temporary file"
    if lost == "nginx-master":
        os.kill(nginx_group(server)[0], signal.SIGKILL)
    elif lost == "runtime-folder-removed":
        shutil.rmtree(next(pathlib.Path(RUNTIME).glob(f"tovrin-report-server-{server.proc.pid}.*")))
    else:
        shutil.rmtree(server.spool)
        if lost == "spool-replaced":
            server.spool.mkdir()
    assert server.proc.wait(2) == 1 and not support.accepts(PORT), server.log.read_bytes()[-300:]
    assert server.log.read_bytes().endswith(b": stopping\n")
    conn.close()
    server.start()
    assert not server.temporaries(), "a dead worker's body stayed"


@as_root
def test_a_local_user_reaches_only_the_listen_port_and_holds_up_no_delivery(server, certs):
    group = nginx_group(server)
    fds = {link for pid in [server.proc.pid, *group] for link in links(pid)}
    rows = [line.split() for name in ("tcp", "tcp6", "unix") for line in
            pathlib.Path(f"/proc/net/{name}").read_text().splitlines()[1:]]
    ports = {int(r[1].rsplit(":", 1)[1], 16) for r in rows if r[3] == "0A" and f"socket:[{r[9]}]" in fds}
    abstract = [r for r in rows if r[-1].startswith("@") and f"socket:[{r[6]}]" in fds]
    assert ports == {PORT} and not abstract, (ports, abstract)
    uids = [int(pathlib.Path(f"/proc/{pid}/status").read_text().split("\nUid:")[1].split()[0]) for pid in group[1:]]
    assert 0 not in uids, "nginx's workers run as root"
    sockets = list(pathlib.Path(RUNTIME).glob(f"tovrin-report-server-{server.proc.pid}.*/commit.sock"))
    reach = subprocess.run([*NOBODY, REACH, *map(str, sockets)], capture_output=True)
    assert len(sockets) == 1 and b"PermissionError" in reach.stderr, reach.stderr
    holder = subprocess.Popen([*NOBODY, HOLD, str(PORT)], stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"ready\n"
        rc, out, err, _ = run_tool(["--ca-path", certs.ca_dir], stdin=bytes(1 << 20), under=("timeout", "2"))
    finally:
        holder.kill(), holder.wait()
    assert (rc, out) == (0, b""), show(out, err)
    server.take()


def test_an_unread_log_holds_up_no_delivery(server, certs, tmp_path):
    server.stop()
    unread = subprocess.Popen([SERVER, "--cert", certs.good[0], "--key", certs.good[1], "--listen",
                               f"localhost:{PORT}", "--spool", str(tmp_path)], stderr=subprocess.PIPE)
    try:
        assert b"listening on" in unread.stderr.readline()
        for _ in range(5000):  # plain HTTP to the TLS port: nginx's 400, and a line in its log
            with socket.create_connection(("127.0.0.1", PORT), timeout=5) as plain:
                plain.sendall(b"GET / HTTP/1.0\r\n\r\n"), plain.recv(100)
        rc, out, err, _ = run_tool(["--ca-path", certs.ca_dir], stdin=bytes(1 << 20), under=("timeout", "2"))
        os.set_blocking(unread.stderr.fileno(), False)
        unread.stderr.read(), exchange(tls(certs), head(HOST, method="GET"))
        assert support.wait_until(lambda: b"log lines dropped" in (unread.stderr.read() or b""), 10)
    finally:
        unread.terminate(), unread.wait(60)
        server.start()
    assert (rc, out) == (0, b""), show(out, err)


# Started with standard descriptors closed: they are opened on /dev/null, so that no spool, lock or socket
# of the server's becomes its standard error.
@pytest.mark.parametrize("closed", [(2,), (0, 1, 2)], ids=["stderr", "all-three"])
def test_a_server_started_with_descriptors_closed_stores_reports(server, certs, closed):
    server.stop()
    argv = [SERVER, "--cert", certs.good[0], "--key", certs.good[1], "--listen", f"localhost:{PORT}", "--spool",
            str(server.spool)]
    started = subprocess.Popen(argv, preexec_fn=lambda: [os.close(fd) for fd in closed])
    try:
        assert support.wait_until(lambda: support.accepts(PORT), 10)
        rc, out, err, _ = run_tool(["--ca-path", certs.ca_dir], stdin=b"closed descriptors")
        standard = [os.readlink(f"/proc/{started.pid}/fd/{fd}") for fd in closed]
    finally:
        started.terminate(), started.wait(60)
        server.start()
    assert (rc, out, list(server.take().values())) == (0, b"", [b"closed descriptors"]), show(out, err)
    assert standard == ["/dev/null"] * len(closed), standard


# The first flush of the spool folder fails, after the same report came in again and was answered: the
# report stays, and a name of the commit's own is taken back.
@pytest.mark.parametrize("flags", [["--dedup"], []], ids=["dedup-name-kept", "own-name-taken-back"])
def test_a_failed_folder_flush_answers_500_and_takes_back_only_its_own_name(server, certs, tmp_path, flags):
    shim = tmp_path / "failflush.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", shim, pathlib.Path(__file__).with_name("failflush.c"), "-ldl"],
                   check=True)
    server.stop()
    failing = support.Server(certs.good, tmp_path / "spool", *flags,
                             env={"LD_PRELOAD": str(shim),
                                  "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"})
    failing.start()
    try:
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            first = pool.submit(run_tool, ["--ca-path", certs.ca_dir], stdin=b"flushed twice")
            time.sleep(0.3)  # the first commit waits on its failing flush
            second = run_tool(["--ca-path", certs.ca_dir], stdin=b"flushed twice")
            first = first.result()
    finally:
        failing.stop()
        server.start()
    outcomes = sorted((rc, out[:len(INVALID) + 12]) for rc, out, _, _ in (first, second))  # whichever flushed first
    assert outcomes == [(0, b""), (1, INVALID + b"Cannot store")], show(first[1], second[1])
    assert list(failing.take().values()) == [b"flushed twice"]


# The site's workers and the commit step run as one user: www-data, as Debian's nginx's workers do.
SITE = """daemon off; pid nginx.pid; error_log stderr warn; events {{}} user www-data;
http {{ access_log off; client_body_temp_path body; proxy_temp_path proxy; fastcgi_temp_path fastcgi;
  uwsgi_temp_path uwsgi; scgi_temp_path scgi;
  server {{ listen 127.0.0.1:{port} ssl; ssl_certificate {cert}; ssl_certificate_key {key};
    include {snippet};
    location / {{ return 200 "the site's own page"; }} }} }}
"""


@as_root
def test_snippet_puts_the_commit_step_behind_a_sites_nginx_that_never_reloads(server, certs, tmp_path):
    site = pathlib.Path(tempfile.mkdtemp())  # where www-data can reach
    snippet, spool = site / "conf/report.conf", site / "spool"
    for folder in (site / "conf", spool):
        folder.mkdir(), shutil.chown(folder, "www-data", "www-data")
    site.chmod(0o711)
    server.stop()  # the site takes its port
    argv = ["setpriv", "--reuid=www-data", "--regid=www-data", "--clear-groups", SERVER, "--snippet", str(snippet),
            "--spool", str(spool)]
    procs, texts, results = [], [], []
    try:
        for body in (b"through the site", b"after a restart"):  # the site's nginx is not reloaded
            if procs:
                procs[-1].terminate(), procs[-1].wait(60)
            procs.append(subprocess.Popen(argv, stderr=subprocess.PIPE))
            assert b"commit step ready" in procs[-1].stderr.readline()
            texts.append(snippet.read_text())
            if len(procs) == 1:
                (tmp_path / "nginx.conf").write_text(SITE.format(port=PORT, cert=certs.good[0], key=certs.good[1],
                                                                 snippet=snippet))
                procs.insert(0, subprocess.Popen(["/usr/sbin/nginx", "-p", f"{tmp_path}/", "-c", "nginx.conf",
                                                  "-e", "stderr"]))
                assert support.wait_until(lambda: support.accepts(PORT), 10)
            results.append(run_tool(["--ca-path", certs.ca_dir], stdin=body)[:3])
        status, _ = exchange(tls(certs), head(HOST, "Content-Length: 268435457"))  # over the default limit
        reach = subprocess.run([*NOBODY, REACH, str(spool / ".commit.sock")], capture_output=True)
        # A site worker killed mid-body: the body goes within seconds.
        conn = tls(certs)
        conn.sendall(head(HOST, CHUNKED) + b"100000\r\n" + bytes(300000))
        assert support.wait_until(lambda: list(spool.glob(".incoming/*")), 20), "no temporary file"
        workers = pathlib.Path(f"/proc/{procs[0].pid}/task/{procs[0].pid}/children").read_text().split()
        os.kill(next(int(pid) for pid in workers if any("/.incoming/" in link for link in links(pid))), signal.SIGKILL)
        orphan_gone = support.wait_until(lambda: not list(spool.glob(".incoming/*")), 5)
        conn.close()
        stored = sorted(p.read_bytes() for p in spool.iterdir() if p.is_file())
    finally:
        for proc in procs:
            proc.terminate(), proc.wait(60)
        shutil.rmtree(site)
        server.start()
    assert results == [(0, b"", b"")] * 2 and status == 413, results
    assert texts[0] == texts[1] and "token" not in texts[0].lower()
    assert b"PermissionError" in reach.stderr and orphan_gone, reach.stderr
    assert stored == [b"after a restart", b"through the site"]
