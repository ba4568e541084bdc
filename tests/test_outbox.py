"""tovrin-report-outbox as its callers use it: the installed program, the tool beside it and the
stand-in server over real TLS; the queue on disk looked at after each run."""
import contextlib
import os
import shutil
import socket
import subprocess
import time

import pytest

from support import OUTBOX, PORT, TOOL, clean_env, show

A, B, BIG = b"first report\n" * 10, b"second report\n" * 10, os.urandom(5 << 20)  # BIG: over the server's 4 MiB
STRANGER = 65534  # nobody
ODD = "00000000000000000001-1"  # named as a report, older than any


def run(box, command, *args, stdin=b"", **kw):
    io = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    p = subprocess.run([OUTBOX, command, "--outbox", str(box), *args], capture_output=True, env=clean_env(),
                       timeout=120, **io, **kw)
    return p.returncode, p.stdout, p.stderr


def add(box, *reports):
    for report in reports:
        assert run(box, "add", stdin=report)[0] == 0
    return sorted(reports_in(box))


def left(box):
    """What queue/ and tmp/ hold, in an outbox that may not exist yet."""
    return [sorted(os.listdir(box / d)) if (box / d).exists() else [] for d in ("queue", "tmp")]


def reports_in(box, folder="queue"):
    return {p.name: p.read_bytes() for p in (box / folder).iterdir() if not p.name.endswith(".state")}


def state(box, name, folder="queue"):
    return dict(line.split(" ", 1) for line in (box / folder / f"{name}.state").read_text().splitlines())


def exe(pid):
    with contextlib.suppress(OSError):
        return os.readlink(f"/proc/{pid}/exe")


@contextlib.contextmanager
def down(server):
    server.stop()
    try:
        yield
    finally:
        server.start()


# Exit 1 and one line, nothing queued and no temporary left, the reports held before untouched.
@pytest.mark.parametrize("stdin, disk, limit, held, message", [
    pytest.param("closed", None, None, b"", b"standard input is closed", id="closed-stdin"),
    pytest.param("folder", None, None, b"", b"cannot read the report: Is a directory", id="read-error"),
    pytest.param(b"x" * (256 << 10), "64k", None, b"", b"No space left on device", id="full-disk"),
    pytest.param(b"x" * 2000, None, 3000, b"y" * 1500, b"over its limit of 3000 bytes (1500 held)",
                 id="over-limit-counting-what-is-held"),
])
def test_add_that_fails_queues_nothing(tmp_path, request, stdin, disk, limit, held, message):
    box = tmp_path / "outbox"
    if disk:
        if os.geteuid() != 0:
            pytest.skip("mounting a small tmpfs needs root")
        small = tmp_path / "small"
        small.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={disk}", "small", small], check=True)
        request.addfinalizer(lambda: subprocess.run(["umount", "-l", small], check=True))
        box = small / "outbox"
    if held:
        add(box, held)
    before = left(box)
    if limit:
        (box / "max-bytes").write_text(f"{limit}\n")
    kw = {"closed": {"stdin": subprocess.DEVNULL, "preexec_fn": lambda: os.close(0)},
          "folder": {"stdin": os.open(tmp_path, os.O_RDONLY)}}.get(stdin, {"stdin": stdin})
    rc, out, err = run(box, "add", **kw)
    assert (rc, out, err.count(b"\n")) == (1, b"", 1) and message in err and b"nothing queued" in err, show(out, err)
    assert left(box) == before and before[1] == []


# Two reports, A then B, one deliver: which stay, which are given up on, which are stored; A's state.
@pytest.mark.parametrize("up, first, args, left, failed, stored, message, health", [
    pytest.param(False, A, [], "AB", "", "", "Failed to connect", 0, id="server-down-ends-the-round-both-wait"),
    pytest.param(True, BIG, [], "A", "", "B", "Invalid response from server: Report too large", 0,
                 id="rejected-stays-and-the-next-goes"),
    pytest.param(True, A, [], "", "", "AB", None, 0, id="accepted-removed-and-stored"),
    pytest.param(False, A, ["--give-up", "0"], "B", "A", "", "Failed to connect", 2,
                 id="past-its-bound-moves-to-failed"),
])
def test_deliver_decides_by_the_tools_outcome(server, certs, tmp_path, up, first, args, left, failed, stored,
                                              message, health):
    box = tmp_path / "outbox"
    names, content = dict(zip("AB", add(box, first, B))), {"A": first, "B": B}
    with contextlib.nullcontext() if up else down(server):
        rc, out, err = run(box, "deliver", "--ca-path", certs.ca_dir, *args)
    assert rc == 0, show(out, err)
    assert reports_in(box) == {names[k]: content[k] for k in left}
    assert reports_in(box, "failed") == {names[k]: content[k] for k in failed}
    assert sorted(server.take().values()) == sorted(content[k] for k in stored)
    if message:
        a = state(box, names["A"], "failed" if failed else "queue")
        assert a["attempts"] == "1" and a["message"].startswith(message), a
    assert run(box, "status")[0] == health


def test_back_off_is_kept_and_grows(server, certs, tmp_path):
    box = tmp_path / "outbox"
    name, = add(box, A)
    seen = []
    with down(server):
        for now in ([], [], ["--now"]):
            run(box, "deliver", "--ca-path", certs.ca_dir, *now)
            seen.append(state(box, name))
    waits = [int(s["next"]) - int(s["last"]) for s in seen]
    assert seen[1] == seen[0] and 15 <= waits[0] <= 30, seen  # the second deliver came too soon
    assert seen[2]["attempts"] == "2" and 30 <= waits[2] <= 60, seen
    time.sleep(1.1)
    rc, out, err = run(box, "status", "--max-wait", "0")
    assert rc == 1 and b"waiting: 1," in out and b"unhealthy: the oldest report has waited" in out, show(out, err)


# Each is skipped with one line and left as it is; the report behind it is delivered.
@pytest.mark.parametrize("make, why", [
    pytest.param(lambda e, secret: os.symlink(secret, e), b"a symbolic link", id="symlink-to-a-secret"),
    pytest.param(lambda e, secret: os.link(secret, e), b"a file with other links", id="hard-link-to-a-secret"),
    pytest.param(lambda e, secret: os.mkdir(e), b"a folder", id="folder"),
    pytest.param(lambda e, secret: os.mkfifo(e), b"not a regular file", id="fifo-never-waited-on"),
    pytest.param(lambda e, secret: (shutil.copy(secret, e), os.chown(e, STRANGER, STRANGER)),
                 f"owned by user {STRANGER}, not of the outbox's group".encode(), id="a-strangers-file"),
])
def test_deliver_reads_nothing_but_reports(server, certs, tmp_path, make, why):
    if os.geteuid() != 0 and b"owned" in why:
        pytest.skip("giving a file away needs root")
    box, secret = tmp_path / "outbox", tmp_path / "secret"
    secret.write_bytes(b"not a report\n")
    add(box, A)
    make(box / "queue" / ODD, secret)
    rc, out, err = run(box, "deliver", "--ca-path", certs.ca_dir)
    assert (rc, err) == (0, b"tovrin-report-outbox: skipped queue/" + ODD.encode() + b": " + why + b"\n"), show(out, err)
    assert list(server.take().values()) == [A] and os.path.lexists(box / "queue" / ODD)


def test_hung_tool_is_killed_and_a_second_deliver_leaves_at_once(server, certs, tmp_path):
    box = tmp_path / "outbox"
    name, = add(box, A)
    with down(server), socket.create_server(("127.0.0.1", PORT)) as silent:
        first = subprocess.Popen([OUTBOX, "deliver", "--outbox", box, "--ca-path", certs.ca_dir, "--timeout", "2"],
                                 env=clean_env(), stderr=subprocess.PIPE)
        silent.settimeout(10)
        held, _ = silent.accept()  # the tool waits for a TLS handshake that never comes
        rc, out, err = run(box, "deliver", "--ca-path", certs.ca_dir)
        assert (rc, err) == (0, f"tovrin-report-outbox: another deliver is working on {box}: leaving it to that "
                                "one\n".encode()), show(out, err)
        first.communicate(timeout=30)
        held.close()
    assert (first.returncode, state(box, name)["message"]) == (0, "no outcome within 2 s: the tool was killed")
    assert os.path.realpath(TOOL) not in map(exe, filter(str.isdigit, os.listdir("/proc")))  # killed, not left
