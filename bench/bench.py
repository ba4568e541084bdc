"""Benchmark harness for tovrin-report, run by bench/run (stdlib only).

Puts the tool (A) beside curl --cacert (B) and curl --capath (C) on one
nginx sink, interleaving A B C run by run; measures the machine's limits
(AES-256-GCM on one core, plain TCP over loopback); then, if it was built,
the stand-in server as the sink. Writes the table to RESULTS.md and the
chart's data for gnuplot.
"""
import argparse
import os
import platform
import re
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import threading
import time

KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30
NAMES = {"A": "tovrin-report", "B": "curl --cacert", "C": "curl --capath"}
# Clients run without the caller's CA overrides, as on a stock system.
CLIENT_ENV = {k: v for k, v in os.environ.items()
              if k not in ("CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR", "CURL_HOME")}


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, **kw).stdout.decode()


def make_certs(work):
    """A CA in hashed-directory form and a server certificate for localhost."""
    ca_dir = os.path.join(work, "ca")
    os.mkdir(ca_dir)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    p = lambda name: os.path.join(work, name)
    sh(["openssl", "req", "-x509", *ec, "-keyout", p("ca.key"), "-out", p("ca.pem"),
        "-days", "2", "-subj", "/CN=tovrin bench CA"])
    sh(["openssl", "req", *ec, "-keyout", p("server.key"), "-out", p("server.csr"),
        "-subj", "/CN=localhost"])
    with open(p("server.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    sh(["openssl", "x509", "-req", "-in", p("server.csr"), "-CA", p("ca.pem"),
        "-CAkey", p("ca.key"), "-CAcreateserial", "-out", p("server.pem"), "-days", "2",
        "-extfile", p("server.ext")])
    sh(["cp", p("ca.pem"), ca_dir])
    sh(["openssl", "rehash", ca_dir])
    return p("ca.pem"), ca_dir, p("server.pem"), p("server.key")


def make_report(path, size):
    with open("/dev/urandom", "rb") as src, open(path, "wb") as dst:
        left = size
        while left:
            block = src.read(min(left, 4 * MIB))
            dst.write(block)
            left -= len(block)


def wait_port(port, proc, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit(f"sink exited early with status {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"nothing listens on port {port} after {seconds} s")


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


NGINX_CONF = """daemon off;
worker_processes 1;
pid {w}/nginx.pid;
error_log {w}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
  client_body_temp_path {w}/nginx-body;
  proxy_temp_path {w}/nginx-proxy;
  fastcgi_temp_path {w}/nginx-fastcgi;
  uwsgi_temp_path {w}/nginx-uwsgi;
  scgi_temp_path {w}/nginx-scgi;
  # Written when the request ends: for a discarded body, after its last chunk.
  log_format bench '$msec $status';
  server {{
    listen 127.0.0.1:{port} ssl;
    server_name localhost;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    # nginx 1.22 leaves TLS 1.3 out by default.
    ssl_protocols TLSv1.2 TLSv1.3;
    access_log {w}/nginx-access.log bench;
    location = /report/ {{ client_max_body_size 0; return 200 "OK\\n"; }}
  }}
}}
"""


class Nginx:
    def __init__(self, work, port, cert, key):
        self.log = os.path.join(work, "nginx-access.log")
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(w=work, port=port, cert=cert, key=key))
        self.proc = subprocess.Popen(["nginx", "-p", work, "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(port, self.proc)
        self.lines = 0

    def next_entry(self, seconds=10):
        """The access-log line of the request just made: (end time, status)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with open(self.log) as f:
                lines = f.read().splitlines()
            if len(lines) > self.lines:
                self.lines += 1
                msec, status = lines[self.lines - 1].split()
                return float(msec), status
            time.sleep(0.001)
        return None, None


def probe_nginx(nginx, port, ca_pem):
    """nginx answers 100-continue, reads a chunked body to its last chunk and
    only then ends the request, leaving the connection ready for the next."""
    ctx = ssl.create_default_context(cafile=ca_pem)
    sock = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=10),
                           server_hostname="localhost")
    head = (b"PUT /report/ HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n"
            b"Expect: 100-continue\r\n\r\n")
    sock.sendall(head)
    assert (sock.version(), sock.cipher()[0]) == ("TLSv1.3", "TLS_AES_256_GCM_SHA384"), \
        sock.cipher()
    reply = sock.recv(4096)
    assert reply.startswith(b"HTTP/1.1 100 Continue\r\n"), reply
    chunk = b"%x\r\n" % (64 * KIB) + os.urandom(64 * KIB) + b"\r\n"
    for _ in range(64):
        sock.sendall(chunk)
    time.sleep(0.5)
    with open(nginx.log) as f:
        early = len(f.read().splitlines()) - nginx.lines
    assert early == 0, "nginx ended the request before the last chunk"
    sent = time.time()
    sock.sendall(b"0\r\n\r\n")
    end, status = nginx.next_entry()
    assert status == "200" and end >= sent - 0.002, (end, status, sent)
    sock.sendall(head.replace(b"Expect: 100-continue\r\n", b"") + b"2\r\nok\r\n0\r\n\r\n")
    data = b""
    while data.count(b"OK\n") < 2:
        more = sock.recv(4096)
        assert more, data
        data += more
    sock.close()
    assert nginx.next_entry()[1] == "200"


class RecordingSink(threading.Thread):
    """A TLS sink that answers 200 "OK" right after 100 Continue, as nginx does,
    then reads the chunked body; a client that stops sending when the early
    reply arrives leaves the body without its last chunk."""

    def __init__(self, port, cert, key):
        super().__init__(daemon=True)
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(cert, key)
        self.listener = socket.create_server(("127.0.0.1", port))
        self.listener.settimeout(30)
        self.body_bytes, self.last_chunk = 0, False

    def run(self):
        conn, _ = self.listener.accept()
        with self.ctx.wrap_socket(conn, server_side=True) as tls:
            tls.settimeout(30)
            f = tls.makefile("rb")
            while f.readline() not in (b"\r\n", b""):
                pass
            tls.sendall(b"HTTP/1.1 100 Continue\r\n\r\n"
                        b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nOK\n")
            while True:
                line = f.readline()
                if not line:
                    return
                size = int(line.split(b";")[0], 16)
                f.read(size + 2)
                self.body_bytes += size
                if size == 0:
                    self.last_chunk = True
                    return


def probe_client(cmd, port, cert, key, report, size):
    sink = RecordingSink(port, cert, key)
    sink.start()
    with open(report, "rb") as stdin:
        subprocess.run(cmd, stdin=stdin, capture_output=True, timeout=60, env=CLIENT_ENV)
    sink.join(30)
    sink.listener.close()
    return sink.last_chunk and sink.body_bytes == size


class Runner:
    def __init__(self, work):
        self.work = work

    def run(self, cmd, report, pipe, ok, rss):
        """One timed run: (seconds, (peak RSS in KiB, CPU seconds) or None,
        reply judged OK, wall-clock end). The RSS comes from GNU time, not from wait4 here: a
        child spawned from this process reports this process's peak as its own
        if that is the larger, since exec keeps the old image's peak."""
        rss_file = os.path.join(self.work, "client.rss")
        if rss:
            cmd = ["/usr/bin/time", "-f", "%M %U %S", "-o", rss_file, *cmd]
        out = open(os.path.join(self.work, "client.out"), "w+b")
        err = open(os.path.join(self.work, "client.err"), "w+b")
        start = time.perf_counter()
        wall = time.time()
        if pipe:
            cat = subprocess.Popen(["cat", report], stdout=subprocess.PIPE)
            stdin = cat.stdout
        else:
            stdin = open(report, "rb")
        proc = subprocess.Popen(cmd, stdin=stdin, stdout=out, stderr=err, env=CLIENT_ENV)
        stdin.close()
        _, status = os.waitpid(proc.pid, 0)
        seconds = time.perf_counter() - start
        end = wall + seconds
        proc.returncode = os.waitstatus_to_exitcode(status)
        if pipe:
            cat.wait()
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
        out.close()
        err.close()
        good = proc.returncode == 0 and ok(stdout)
        if not good:
            print(f"FAILED {cmd}: status {proc.returncode}, stdout {stdout[:300]!r}, "
                  f"stderr {stderr[:300]!r}", file=sys.stderr)
        usage = None
        if rss:
            with open(rss_file) as f:
                peak, user, system = f.read().split()[-3:]
            usage = int(peak), float(user) + float(system)
        return seconds, usage, good, end


def median_range(xs):
    return statistics.median(xs), min(xs), max(xs)


def openssl_speed():
    out = sh(["openssl", "speed", "-evp", "aes-256-gcm", "-bytes", str(16 * KIB),
              "-seconds", "3"])
    kbytes = re.search(r"^AES-256-GCM\s+([\d.]+)k\s*$", out, re.M | re.I).group(1)
    return float(kbytes) * 1000 / 1e6


def tcp_copy(total=GIB, block=64 * KIB):
    """Plain TCP over loopback: one process sends `total` bytes in `block`-sized
    writes, this one reads them; MB/s from connect to end of stream."""
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    pid = os.fork()
    if pid == 0:
        try:
            data = memoryview(os.urandom(block))
            with socket.create_connection(("127.0.0.1", port)) as s:
                for _ in range(total // block):
                    s.sendall(data)
        finally:
            os._exit(0)
    conn, _ = listener.accept()
    start = time.perf_counter()
    buf = bytearray(block)
    got = 0
    while True:
        n = conn.recv_into(buf)
        if not n:
            break
        got += n
    seconds = time.perf_counter() - start
    conn.close()
    listener.close()
    os.waitpid(pid, 0)
    assert got == total, got
    return total / seconds / 1e6


def callgrind(cmd, report, work, tag, ok):
    out = os.path.join(work, f"callgrind.{tag}")
    with open(report, "rb") as stdin:
        r = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *cmd],
                           stdin=stdin, capture_output=True, timeout=600, env=CLIENT_ENV)
    collected = re.search(rb"Collected : (\d+)", r.stderr)
    if r.returncode != 0 or not ok(r.stdout) or not collected:
        print(f"callgrind run of {tag} failed: {r.stderr[-500:]!r}", file=sys.stderr)
        return None
    return int(collected.group(1))


def remove_files(top):
    for parent, _, files in os.walk(top):
        for name in files:
            os.unlink(os.path.join(parent, name))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--server", required=True, help="stand-in server binary; skipped if absent")
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--work", required=True, help="scratch directory on tmpfs")
    ap.add_argument("--results", required=True)
    ap.add_argument("--chart-data", required=True)
    ap.add_argument("--command", required=True, help="the command line, for the record")
    ap.add_argument("--started", type=float, required=True, help="epoch the whole run began")
    ap.add_argument("--latency-rounds", type=int, default=100)
    ap.add_argument("--rounds", type=int, default=15)
    a = ap.parse_args()
    work = a.work
    url = f"https://localhost:{a.port}/report/"

    load_before = open("/proc/loadavg").read().split()[0]
    ca_pem, ca_dir, cert, key = make_certs(work)
    cmds = {
        "A": lambda u: [a.tool, "--ca-path", ca_dir],
        "B": lambda u: ["curl", "-sS", "-T", "-", "--cacert", ca_pem, u],
        "C": lambda u: ["curl", "-sS", "-T", "-", "--capath", ca_dir, u],
    }
    ok = {"A": lambda out: out == b"", "B": lambda out: out.startswith(b"OK"),
          "C": lambda out: out.startswith(b"OK")}

    sizes = {"1k": KIB, "1m": MIB, "10m": 10 * MIB, "100m": 100 * MIB, "1g": GIB}
    reports = {}
    for name, size in sizes.items():
        reports[name] = os.path.join(work, f"report-{name}")
        make_report(reports[name], size)

    for c in "ABC":
        assert probe_client(cmds[c](url), a.port, cert, key, reports["1m"], MIB), \
            f"{NAMES[c]} returned before sending the last chunk"

    runner = Runner(work)
    samples = {}  # (sink, case, client) -> list of (seconds, rss_kib)
    lag = []      # sink's end of request minus client's exit, seconds
    failures = []

    def measure(sink, case, report, size, pipe, clients, rounds, nginx=None):
        for _ in range(rounds):
            for c in clients:
                if sink == "server":
                    remove_files(os.path.join(work, "spool"))
                seconds, usage, good, end = runner.run(cmds[c](url), report, pipe, ok[c],
                                                     size >= MIB)
                if nginx:
                    sink_end, status = nginx.next_entry()
                    good = good and status == "200"
                    if sink_end is not None:
                        lag.append(sink_end - end)
                if not good:
                    failures.append((sink, case, c))
                    continue
                samples.setdefault((sink, case, c), []).append((seconds, usage, size))

    # A limit is what the machine can do: the best of its runs, here and after
    # the clients, the least disturbed by whatever else the machine runs.
    aes = openssl_speed()
    tcp = max(tcp_copy() for _ in range(3))

    nginx = Nginx(work, a.port, cert, key)
    try:
        probe_nginx(nginx, a.port, ca_pem)
        with open(reports["1k"], "rb") as stdin:
            verbose = subprocess.run(["curl", "-v", *cmds["B"](url)[1:]], stdin=stdin,
                                     capture_output=True, env=CLIENT_ENV).stderr
        assert b"SSL connection using TLSv1.3 / TLS_AES_256_GCM_SHA384" in verbose, verbose
        assert b"< HTTP/1.1 100 Continue" in verbose, verbose
        nginx.next_entry()
        measure("nginx", "warm-up", reports["1m"], MIB, False, "ABC", 2, nginx)
        measure("nginx", "1k", reports["1k"], KIB, False, "ABC", a.latency_rounds, nginx)
        for name in ("1m", "10m", "100m", "1g"):
            measure("nginx", name, reports[name], sizes[name], False, "ABC", a.rounds, nginx)
        for name in ("100m", "1g"):
            measure("nginx", name + "-pipe", reports[name], sizes[name], True, "ABC", a.rounds,
                    nginx)
        print("callgrind, one run per client (slow under TLS)...", flush=True)
        instructions = {c: callgrind(cmds[c](url), reports["1k"], work, c, ok[c]) for c in "ABC"}
    finally:
        stop(nginx.proc)

    print("limits...", flush=True)
    aes = max(aes, openssl_speed())
    tcp = max(tcp, *(tcp_copy() for _ in range(3)))

    server = os.path.exists(a.server)
    if server:
        spool = os.path.join(work, "spool")
        os.mkdir(spool)
        proc = subprocess.Popen([a.server, "--cert", cert, "--key", key,
                                 "--listen", f"127.0.0.1:{a.port}", "--spool", spool,
                                 "--max-bytes", str(2 * GIB)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(work, "server.pid"), "w") as f:
            f.write(str(proc.pid))
        try:
            wait_port(a.port, proc)
            measure("server", "warm-up", reports["1m"], MIB, False, "A", 2)
            measure("server", "1k", reports["1k"], KIB, False, "A", a.latency_rounds)
            measure("server", "1g", reports["1g"], GIB, False, "A", a.rounds)
            measure("server", "1g-pipe", reports["1g"], GIB, True, "A", a.rounds)
        finally:
            stop(proc)
            os.unlink(os.path.join(work, "server.pid"))

    if failures:
        sys.exit(f"failed runs (not counted, table not written): {failures}")

    load = (load_before, open("/proc/loadavg").read().split()[0])
    report(a, samples, instructions, aes, tcp, server, lag, load)

    with open(a.chart_data, "w") as f:
        f.write("# size_bytes " + " ".join(f"{c}_file {c}_pipe" for c in "ABC") + "\n")
        for name in ("1k", "1m", "10m", "100m", "1g"):
            row = [str(sizes[name])]
            for c in "ABC":
                for case in (name, name + "-pipe"):
                    s = samples.get(("nginx", case, c))
                    row.append(f"{mbps(s)[0]:.1f}" if s else "NaN")
            f.write(" ".join(row) + "\n")


def mbps(s):
    return median_range([size / sec / 1e6 for sec, _, size in s])


def millis(s):
    return median_range([sec * 1e3 for sec, _, _ in s])


def rss_mib(s):
    return median_range([usage[0] / 1024 for _, usage, _ in s])


def cpu_seconds(s):
    return median_range([usage[1] for _, usage, _ in s])


def fmt(mr, digits):
    m, lo, hi = mr
    return f"**{m:.{digits}f}** ({lo:.{digits}f}–{hi:.{digits}f})"


def report(a, samples, instructions, aes, tcp, server, lag, load):
    rows = []
    verdicts = []

    def get(sink, case, c):
        return samples[(sink, case, c)]

    def row(figure, values, digits, ratios, limits="", target="", met=None):
        if met is not None:
            verdicts.append((figure, met))
        rows.append([figure, *[fmt(v, digits) if v else "–" for v in values], *ratios, limits,
                     target, "" if met is None else ("yes" if met else "**no**")])

    def ratio(x, y):
        return f"{x / y:.2f}x"

    lat = {c: millis(get("nginx", "1k", c)) for c in "ABC"}
    row("1 KiB report, wall time (ms)", [lat[c] for c in "ABC"], 2,
        [ratio(lat["A"][0], lat["B"][0]), ratio(lat["A"][0], lat["C"][0])], "",
        "A ≤ 1.0x B and ≤ 0.4x C",
        lat["A"][0] <= lat["B"][0] and lat["A"][0] <= 0.4 * lat["C"][0])
    ins = instructions
    if all(ins.values()):
        rows.append(["1 KiB report, instructions (callgrind, 1 run; millions)",
                     *[f"**{ins[c] / 1e6:.2f}**" for c in "ABC"],
                     ratio(ins["A"], ins["B"]), ratio(ins["A"], ins["C"]), "", "A ≤ 0.98x B",
                     "yes" if ins["A"] <= 0.98 * ins["B"] else "**no**"])
        verdicts.append(("instructions", ins["A"] <= 0.98 * ins["B"]))
    for case, label in (("1m", "1 MiB"), ("10m", "10 MiB"), ("100m", "100 MiB, file"),
                        ("100m-pipe", "100 MiB, pipe"), ("1g", "1 GiB, file"),
                        ("1g-pipe", "1 GiB, pipe")):
        t = {c: mbps(get("nginx", case, c)) for c in "ABC"}
        big = case.startswith(("100m", "1g"))
        row(f"{label}, throughput (MB/s)", [t[c] for c in "ABC"], 0,
            [ratio(t["A"][0], t["B"][0]), ratio(t["A"][0], t["C"][0])],
            f"{t['A'][0] / aes:.0%} AES, {t['A'][0] / tcp:.0%} TCP",
            "A ≥ 1.0x B" if big else "", t["A"][0] >= t["B"][0] if big else None)
    rss = {(n, c): rss_mib(get("nginx", n, c)) for n in ("1m", "1g") for c in "ABC"}
    for n, label in (("1m", "1 MiB"), ("1g", "1 GiB")):
        row(f"peak RSS, {label} report (MiB)", [rss[(n, c)] for c in "ABC"], 2,
            [ratio(rss[(n, "A")][0], rss[(n, "B")][0]), ratio(rss[(n, "A")][0], rss[(n, "C")][0])],
            "", "A ≤ B" if n == "1g" else "",
            rss[(n, "A")][0] <= rss[(n, "B")][0] if n == "1g" else None)
    cpu = {c: cpu_seconds(get("nginx", "1g", c)) for c in "ABC"}
    row("1 GiB, file, client CPU time (user + system, s)", [cpu[c] for c in "ABC"], 2,
        [ratio(cpu["A"][0], cpu["B"][0]), ratio(cpu["A"][0], cpu["C"][0])])
    growth = {c: rss[("1g", c)][0] - rss[("1m", c)][0] for c in "ABC"}
    rows.append(["peak RSS growth, 1 GiB − 1 MiB (MiB)", *[f"{growth[c]:+.2f}" for c in "ABC"],
                 "", "", "", "A ≤ 1 MiB", "yes" if growth["A"] <= 1 else "**no**"])
    verdicts.append(("RSS flat", growth["A"] <= 1))
    rows.append(["limit: AES-256-GCM, 16 KiB blocks, 1 core (MB/s)", f"**{aes:.0f}**", "", "",
                 "", "", "", "", ""])
    rows.append(["limit: plain TCP loopback copy, 1 GiB in 64 KiB blocks (MB/s)", f"**{tcp:.0f}**",
                 "", "", "", "", "", "", ""])
    if server:
        slat = millis(get("server", "1k", "A"))
        row("stand-in server sink: 1 KiB report, wall time (ms)", [slat, None, None], 2,
            ["", ""], f"{slat[0] / lat['A'][0]:.2f}x nginx sink")
        for case, label in (("1g", "file"), ("1g-pipe", "pipe")):
            st = mbps(get("server", case, "A"))
            ng = mbps(get("nginx", case, "A"))[0]
            row(f"stand-in server sink (fsync): 1 GiB, {label}, throughput (MB/s)",
                [st, None, None], 0, ["", ""],
                f"{st[0] / ng:.0%} of nginx sink, {st[0] / aes:.0%} AES, {st[0] / tcp:.0%} TCP",
                "≥ 0.5x nginx sink", st[0] >= 0.5 * ng)

    head = ["Figure", "A: tovrin-report", "B: curl --cacert", "C: curl --capath", "A / B",
            "A / C", "A against limits", "Target", "Met"]
    table = "\n".join("| " + " | ".join(r) + " |" for r in
                      [head, ["---"] * len(head), *rows])

    model = re.search(r"^Model name:\s*(.+)$", sh(["lscpu"]), re.M).group(1)
    versions = {
        "curl": sh(["curl", "--version"]).splitlines()[0],
        "nginx": subprocess.run(["nginx", "-v"], capture_output=True).stderr.decode().strip(),
        "openssl": sh(["openssl", "version"]).strip(),
    }
    elapsed = time.time() - a.started
    n_lat = len(get("nginx", "1k", "A"))
    n_big = len(get("nginx", "1g", "A"))
    max_lag = max(lag) * 1e3 if lag else float("nan")
    met = sum(1 for _, m in verdicts if m)
    text = f"""# tovrin-report benchmark

Produced by `{a.command}` (as root, Debian 12, from the repository's top
directory); the whole run, packages checked, build, table and chart, took
{elapsed:.0f} s.

- Date: {time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
- Machine: {model}, {os.cpu_count()} cores, Linux {platform.release()}; load
  average (1 min) {load[0]} before the measurements and {load[1]} after them
- {versions["curl"]}; {versions["openssl"]}; {versions["nginx"]}

{table}

Targets met: {met} of {len(verdicts)}.

How to read it: **median** (min–max) over {n_lat} rounds for 1 KiB and
{n_big} rounds for each larger case, the three clients interleaved run by run
(A B C A B C ...). MB/s is 10^6 bytes per second of wall time from starting the
client (and `cat` for the pipe cases) to the client's exit. Reports are random
bytes on tmpfs. A load average above about 1 means other work shared the two
cores during the run; the min–max spread shows how much it moved the figures.
A failed run (non-zero exit, a reply not starting with "OK",
or nginx not logging a 200) is not counted; this run had none.

- A: `tovrin-report --ca-path DIR` (Release build, `-DTOVRIN_REPORT_HOST=localhost:{a.port}`).
- B: `curl -sS -T - --cacert CA.pem URL`, the same trust work as A.
- C: `curl -sS -T - --capath DIR URL`, which also loads the system CA bundle.
- The clients run with `CURL_CA_BUNDLE`, `SSL_CERT_FILE`, `SSL_CERT_DIR` and
  `CURL_HOME` removed from their environment.
- Sink: nginx, one worker, TLS 1.3 (TLS_AES_256_GCM_SHA384, checked), ECDSA
  P-256 certificate from a CA made for the run, HTTP/1.1, `return 200
  "OK\\n"` with `client_max_body_size 0`. Checked at the start of each run with a raw
  client: it answers `100 Continue`, ends the request (access-log line) only
  after the last chunk, and parses a second request on the same connection,
  so the chunked body is read through to its end. Each of A, B and C
  returns only after sending the last chunk although nginx replies early:
  checked once each against a recording sink that replies early as nginx
  does, which must receive the whole body and its last chunk. The largest
  gap between a client's exit and nginx's end of that request was
  {max_lag:.0f} ms (log times have millisecond resolution; data still in the
  socket buffers).
- Peak RSS and CPU time: GNU time's `%M` and `%U + %S` of the client
  process; the runs of 1 MiB and more go through `/usr/bin/time`, which adds
  the same small start-up cost to every client, the 1 KiB runs do not.
- Instructions: `valgrind --tool=callgrind`, one run per client on the 1 KiB
  report; one run each, as callgrind makes a TLS handshake take seconds and
  the count barely varies (repeated runs here differed by under 0.01%).
- Limits, each the best of its runs before and after the clients' cases:
  `openssl speed -evp aes-256-gcm -bytes 16384 -seconds 3` (one process, one
  core; 2 runs) and plain TCP, a Python stdlib program, one process writing
  1 GiB over 127.0.0.1 in 64 KiB `sendall` calls and another reading with
  `recv_into` (6 runs).
"""
    if server:
        text += """- Stand-in server sink: `tovrin-report-server` with its spool on tmpfs;
  it replies after fsync and rename, so the time covers the stored report.
  Stored reports are deleted between rounds.
"""
    else:
        text += """- Stand-in server sink: skipped, `tovrin-report-server` was not built.
"""
    text += "\n![throughput by report size](throughput.png)\n"
    with open(a.results, "w") as f:
        f.write(text)
    print(table)
    print(f"\nTargets met: {met} of {len(verdicts)}: " +
          ", ".join(f"{n}: {'yes' if m else 'NO'}" for n, m in verdicts))


if __name__ == "__main__":
    main()
