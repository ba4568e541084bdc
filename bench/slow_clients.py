"""Deliveries while slow clients hold the server: 1,000 hostile connections from 127.0.0.2-9
(idle TCP, TLS then a dripping request head, TLS then a dripping chunked body, each opened again
when the server drops it), and meanwhile ten 1 MiB reports sent by the tool from 127.0.0.1.
Each must exit 0 within 2 s and be stored whole. Run by bench.py, or alone:

  PYTHONPATH=tests python3 bench/slow_clients.py --tool T --server S --port P --work DIR
"""
import argparse
import hashlib
import os
import resource
import statistics
import subprocess
import time

import hostile
import support
from sinks import Server, stop

HOSTILE, DELIVERIES, SIZE, LIMIT = 1000, 10, 1 << 20, 2.0


def held(port):
    """Established connections to the port from the hostile addresses, as the kernel counts them."""
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return sum(1 for r in rows if r[3] == "01" and r[2].endswith(f":{port:04X}")
               and r[1].split(":")[0] != "0100007F")


def measure(tool, server_binary, work, port, ca_dir, cert, key):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4 * HOSTILE)), hard))
    server = Server(server_binary, work, port, cert, key)
    server.clear()
    attack, sent, results = None, {}, []
    try:
        attack = hostile.Hostile(port, HOSTILE)
        started = time.monotonic()
        support.wait_until(lambda: sum(attack.opened.values()) >= HOSTILE, 60)
        # Past the 10 s head time-out, so dropped clients are opening again meanwhile.
        time.sleep(max(0.0, 12 - (time.monotonic() - started)))
        for i in range(DELIVERIES):
            report = os.path.join(work, f"slow-{i}")
            with open(report, "wb") as f:
                f.write(os.urandom(SIZE))
            sent[hashlib.sha256(open(report, "rb").read()).hexdigest()] = i
            holding = held(port)
            with open(report, "rb") as stdin:
                t = time.perf_counter()
                try:
                    status = subprocess.run([tool, "--ca-path", ca_dir], stdin=stdin, capture_output=True,
                                            timeout=30, env=support.clean_env()).returncode
                except subprocess.TimeoutExpired:
                    status = "timeout"
                results.append((time.perf_counter() - t, status, holding))
            time.sleep(0.5)
    finally:
        if attack:
            attack.stop()
        opened = dict(attack.opened) if attack else {}
        stop(server.proc)
    stored = {}
    for name in server.reports():
        with open(os.path.join(server.spool, name), "rb") as f:
            stored[hashlib.sha256(f.read()).hexdigest()] = name
    seconds = [s for s, _, _ in results]
    return dict(
        seconds=seconds, statuses=[st for _, st, _ in results], held=[h for _, _, h in results],
        opened=opened, stored_whole=sum(1 for h in sent if h in stored), stored=len(stored),
        max=max(seconds), median=statistics.median(seconds), problems=server.problems(),
        met=len(results) == DELIVERIES and all(s <= LIMIT and st == 0 for s, st, _ in results)
        and set(stored) == set(sent))


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    for flag in ("--tool", "--server", "--work"):
        ap.add_argument(flag, required=True)
    ap.add_argument("--port", type=int, required=True)
    a = ap.parse_args()
    r = measure(a.tool, a.server, a.work, a.port, *support.make_certs(os.path.join(a.work, "certs")))
    print(f"per delivery (s): {' '.join(f'{s:.3f}' for s in r['seconds'])}; exit statuses {r['statuses']}; "
          f"stored whole {r['stored_whole']} of {DELIVERIES}; held {r['held']}; opened {r['opened']}",
          *r["problems"][:5], sep="\n")
    raise SystemExit(0 if r["met"] else 1)
