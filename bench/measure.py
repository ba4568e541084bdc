"""How each figure is taken: timed runs of the clients (wall time, peak RSS, CPU time), the
instruction count under callgrind, and the machine's limits (AES-256-GCM on one core, plain TCP
over loopback)."""
import os
import re
import socket
import subprocess
import sys
import time

import support

KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30
NAMES = {"A": "tovrin-report", "B": "curl --cacert", "C": "curl --capath"}
# Clients run without the caller's CA overrides or proxies, as on a stock system.
ENV = support.clean_env()


def clients(tool, ca_pem, ca_dir, url):
    """Each client's command and its test of a good reply on stdout."""
    cmds = {"A": [tool, "--ca-path", ca_dir], "B": ["curl", "-sS", "-T", "-", "--cacert", ca_pem, url],
            "C": ["curl", "-sS", "-T", "-", "--capath", ca_dir, url]}
    ok = {"A": lambda out: out == b"", "B": lambda out: out.startswith(b"OK"),
          "C": lambda out: out.startswith(b"OK")}
    return cmds, ok


def make_report(path, size):
    with open(path, "wb") as f:
        for at in range(0, size, 4 * MIB):
            f.write(os.urandom(min(size - at, 4 * MIB)))


def run_once(cmd, report, pipe, ok, usage, work):
    """One timed run: (seconds, (peak RSS KiB, CPU s) or None, good, wall-clock end). The RSS comes
    from GNU time, not wait4 here: a child of this process reports this process's peak as its own
    if that is the larger, since exec keeps the old image's peak."""
    usage_file, spent = os.path.join(work, "client.usage"), None
    if usage:
        cmd = ["/usr/bin/time", "-f", "%M %U %S", "-o", usage_file, *cmd]
    with open(os.path.join(work, "client.out"), "w+b") as out:
        start, wall = time.perf_counter(), time.time()
        cat = subprocess.Popen(["cat", report], stdout=subprocess.PIPE) if pipe else None
        stdin = cat.stdout if pipe else open(report, "rb")
        proc = subprocess.Popen(cmd, stdin=stdin, stdout=out, stderr=out, env=ENV)
        stdin.close()
        status = proc.wait()
        seconds = time.perf_counter() - start
        cat and cat.wait()
        out.seek(0)
        output = out.read()
    good = status == 0 and ok(output)
    if not good:
        print(f"FAILED {cmd}: status {status}, output {output[:600]!r}", file=sys.stderr)
    if usage:
        with open(usage_file) as f:
            peak, user, system = f.read().split()[-3:]
        spent = int(peak), float(user) + float(system)
    return seconds, spent, good, wall + seconds


class Rounds:
    """Runs the clients in turn (A B C A B C ...) and keeps (seconds, usage, size) per
    (sink, case, client); a failed run is kept out of the figures and listed."""

    def __init__(self, work, cmds, ok):
        self.work, self.cmds, self.ok = work, cmds, ok
        self.samples, self.failures, self.lag = {}, [], []  # lag: sink's end minus client's exit
        self.sink_cpu = {}  # (sink, case): CPU seconds of the sink over its rounds

    def run(self, sink, case, report, pipe, clients, rounds, nginx=None, server=None):
        size = os.path.getsize(report)
        for _ in range(rounds):
            for c in clients:
                if server:
                    server.clear()
                seconds, usage, good, end = run_once(self.cmds[c], report, pipe, self.ok[c], size >= MIB,
                                                     self.work)
                if nginx:
                    sink_end, status = nginx.next_entry()
                    good = good and status == "200"
                    if sink_end is not None:
                        self.lag.append(sink_end - end)
                if server:
                    good = good and len(server.reports()) == 1 and \
                        os.path.getsize(os.path.join(server.spool, server.reports()[0])) == size
                if good:
                    self.samples.setdefault((sink, case, c), []).append((seconds, usage, size))
                else:
                    self.failures.append((sink, case, c))


def openssl_speed():
    out = subprocess.run(["openssl", "speed", "-evp", "aes-256-gcm", "-bytes", str(16 * KIB), "-seconds", "3"],
                         check=True, capture_output=True, text=True).stdout
    return float(re.search(r"^AES-256-GCM\s+([\d.]+)k\s*$", out, re.M | re.I).group(1)) * 1000 / 1e6


def tcp_copy(total=GIB, block=64 * KIB):
    """Plain TCP over loopback: a child sends `total` bytes in `block`-sized writes, this process
    reads them; MB/s from connect to end of stream."""
    listener = socket.create_server(("127.0.0.1", 0))
    pid = os.fork()
    if pid == 0:
        try:
            data = memoryview(os.urandom(block))
            with socket.create_connection(listener.getsockname()) as s:
                for _ in range(total // block):
                    s.sendall(data)
        finally:
            os._exit(0)
    conn, _ = listener.accept()
    start, buf, got = time.perf_counter(), bytearray(block), 0
    while n := conn.recv_into(buf):
        got += n
    seconds = time.perf_counter() - start
    conn.close(), listener.close(), os.waitpid(pid, 0)
    assert got == total, got
    return total / seconds / 1e6


def callgrind(cmd, report, work, tag, ok):
    """Instructions of one run under callgrind, or None if the run failed."""
    out = os.path.join(work, f"callgrind.{tag}")
    with open(report, "rb") as stdin:
        r = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *cmd],
                           stdin=stdin, capture_output=True, timeout=600, env=ENV)
    collected = re.search(rb"Collected : (\d+)", r.stderr)
    if r.returncode != 0 or not ok(r.stdout) or not collected:
        print(f"callgrind run of {tag} failed: {r.stderr[-500:]!r}", file=sys.stderr)
        return None
    return int(collected.group(1))
