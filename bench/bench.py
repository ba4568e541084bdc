"""Benchmark harness for tovrin-report, run by bench/run: the order of the measurements.

The tool (A) beside curl --cacert (B) and curl --capath (C) on one nginx sink, the machine's
limits before and after, then (if built) the stand-in server as the sink, and deliveries while
slow clients hold it. How a figure is taken: measure.py; the sinks: sinks.py; the slow clients:
slow_clients.py; the table and chart: report.py.
"""
import argparse
import os
import subprocess
import time

import measure
import report
import slow_clients
import support
from measure import GIB, KIB, MIB
from sinks import Nginx, Server, sends_whole_body, stop


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def wait_for_quiet(limit):
    """Waits up to limit seconds for the 1-minute load to fall below 1: (seconds waited, quiet)."""
    start = time.monotonic()
    while float(load()) >= 1 and time.monotonic() - start < limit:
        time.sleep(5)
    return time.monotonic() - start, float(load()) < 1


def main():
    ap = argparse.ArgumentParser()
    # --server: skipped if absent; --work: on tmpfs; --command and --started: for the record.
    for flag in ("--tool", "--server", "--work", "--results", "--chart-data", "--command"):
        ap.add_argument(flag, required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--started", type=float, required=True)
    ap.add_argument("--latency-rounds", type=int, default=100)
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--quiet-wait", type=int, default=300)
    a = ap.parse_args()
    print(f"waiting up to {a.quiet_wait} s for the 1-minute load ({load()}) to fall below 1...", flush=True)
    a.waited, a.quiet = wait_for_quiet(a.quiet_wait)
    work, loads = a.work, [load()]
    ca_dir, cert, key = support.make_certs(os.path.join(work, "certs"), cn="tovrin-bench-ca")
    ca_pem = os.path.join(ca_dir, "ca.pem")
    cmds, ok = measure.clients(a.tool, ca_pem, ca_dir, f"https://localhost:{a.port}/report/")
    sizes = {"1k": KIB, "1m": MIB, "10m": 10 * MIB, "100m": 100 * MIB, "1g": GIB}
    reports = {name: os.path.join(work, f"report-{name}") for name in sizes}
    for name, size in sizes.items():
        measure.make_report(reports[name], size)
    for c in "ABC":
        assert sends_whole_body(cmds[c], measure.ENV, a.port, cert, key, reports["1m"]), \
            f"{measure.NAMES[c]} returned before sending the last chunk"

    # A limit is what the machine can do: the best of its runs, here and after the clients,
    # the least disturbed by whatever else the machine runs.
    aes = measure.openssl_speed()
    tcp = max(measure.tcp_copy() for _ in range(3))
    rounds = measure.Rounds(work, cmds, ok)
    nginx = Nginx(work, a.port, cert, key)
    try:
        nginx.probe(a.port, ca_pem)
        with open(reports["1k"], "rb") as stdin:
            verbose = subprocess.run(["curl", "-v", *cmds["B"][1:]], stdin=stdin, capture_output=True,
                                     env=measure.ENV).stderr
        assert b"SSL connection using TLSv1.3 / TLS_AES_256_GCM_SHA384" in verbose, verbose
        assert b"< HTTP/1.1 100 Continue" in verbose, verbose
        nginx.next_entry()
        rounds.run("nginx", "warm-up", reports["1m"], False, "ABC", 2, nginx=nginx)
        rounds.run("nginx", "1k", reports["1k"], False, "ABC", a.latency_rounds, nginx=nginx)
        for name in ("1m", "10m", "100m", "1g"):
            rounds.run("nginx", name, reports[name], False, "ABC", a.rounds, nginx=nginx)
        for name in ("100m", "1g"):
            rounds.run("nginx", name + "-pipe", reports[name], True, "ABC", a.rounds, nginx=nginx)
        print("callgrind, one run per client (slow under TLS)...", flush=True)
        instructions = {c: measure.callgrind(cmds[c], reports["1k"], work, c, ok[c]) for c in "ABC"}
    finally:
        stop(nginx.proc)
    print("limits...", flush=True)
    aes = max(aes, measure.openssl_speed())
    tcp = max(tcp, *(measure.tcp_copy() for _ in range(3)))

    # The stand-in server against the nginx sink and an nginx that stores the body as the server's
    # does, tool only: they alternate in blocks, so load from other work falls on all alike.
    loads.append(load())
    built, slow = os.path.exists(a.server), None
    if built:
        def paired(case, report_file, pipe, total, block):
            for _ in range(0, total, block):
                for sink in ("nginx-paired", "nginx-store", "server"):
                    s = Server(a.server, work, a.port, cert, key) if sink == "server" else \
                        Nginx(work, a.port, cert, key, store=sink == "nginx-store")
                    try:
                        rounds.run(sink, case, report_file, pipe, "A", block,
                                   **{"server" if sink == "server" else "nginx": s})
                    finally:
                        rounds.sink_cpu[(sink, case)] = rounds.sink_cpu.get((sink, case), 0) + stop(s.proc)
        paired("warm-up", reports["1m"], False, 2, 1)
        paired("1k", reports["1k"], False, a.latency_rounds, 10)
        paired("1g", reports["1g"], False, a.rounds, 3)
        paired("1g-pipe", reports["1g"], True, a.rounds, 3)
        print("slow clients...", flush=True)
        slow = slow_clients.measure(a.tool, a.server, work, a.port, ca_dir, cert, key)
        print(f"server's warnings and errors: {len(slow['problems'])}", *slow["problems"][:10], sep="\n  ")
    loads.append(load())
    if rounds.failures:
        raise SystemExit(f"failed runs (not counted, table not written): {rounds.failures}")
    text, verdicts = report.table(rounds.samples, instructions, aes, tcp, built, slow, rounds.sink_cpu)
    report.results(a, rounds.samples, text, verdicts, rounds.lag, loads, slow)
    report.chart_data(rounds.samples, sizes, a.chart_data)


if __name__ == "__main__":
    main()
