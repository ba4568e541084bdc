"""Outbox soak: reports of 0 B to 2 MiB, random bytes, added while `deliver` runs through
faultproxy.py (soak.py's server and proxy), with kill -9 of deliver, restarts of the stand-in server
and a new fault at random moments; then `deliver --now` until the outbox is empty. With --dedup
every report added must be stored exactly once, byte-exact; without, at least once; none lost,
none given up on.
  PYTHONPATH=tests /usr/bin/python3 bench/outbox_soak.py --reports 300 --seed 1 [--dedup]"""
import argparse
import collections
import hashlib
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

import soak
from faultproxy import KINDS, Fault
from support import OUTBOX, clean_env, make_certs

DRAINS = 20  # rounds of deliver --now at the end


def outbox(box, *args, **kw):
    return subprocess.run([OUTBOX, args[0], "--outbox", str(box), *args[1:]], capture_output=True,
                          env=clean_env(), timeout=120, **kw)


def stored(spool):
    """SHA-256 of each report the server stored, counted; the spool emptied."""
    counts = collections.Counter()
    for p in spool.iterdir():
        if p.is_file():
            counts[hashlib.sha256(p.read_bytes()).hexdigest()] += 1
            p.unlink()
    return counts


class Chaos:
    """deliver in a loop, and at random moments: kill -9 of deliver, a server restart or a new fault."""

    def __init__(self, rig, box, rng):
        self.rig, self.box, self.rng, self.proc = rig, box, rng, None
        self.stop, self.counts, self.lock = threading.Event(), collections.Counter(), threading.Lock()
        self.threads = [threading.Thread(target=f, daemon=True) for f in (self._deliver, self._strike)]
        for t in self.threads:
            t.start()

    def end(self):
        self.stop.set()
        for t in self.threads:
            t.join(120)
        self.rig.proxy.fault = None

    def _deliver(self):
        while not self.stop.is_set():
            with self.lock:
                self.proc = subprocess.Popen([OUTBOX, "deliver", "--outbox", str(self.box), "--ca-path",
                                              self.rig.ca_dir, "--timeout", "20"], env=clean_env(),
                                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.counts["delivers"] += 1
            self.proc.wait(120)
            self.stop.wait(self.rng.uniform(0, 0.2))

    def _strike(self):
        while not self.stop.wait(self.rng.uniform(0.05, 0.5)):
            what = self.rng.choice(("kill", "restart", "fault", "fault"))
            self.counts[what] += 1
            if what == "kill":
                with self.lock:
                    if self.proc and self.proc.poll() is None:
                        self.proc.send_signal(signal.SIGKILL)
            elif what == "restart":
                self.rig.server.stop()
                self.rig.server.start()
            else:
                direction = self.rng.choice(("up", "down"))
                self.rig.proxy.fault = None if self.rng.random() < 0.3 else Fault(
                    self.rng.choice(KINDS), direction, self.rng.randrange(512 << 10 if direction == "up" else 4 << 10),
                    self.rng.uniform(0.05, 1.0))


def run(rig, workdir, seed, reports, largest=2 << 20):
    """Counts of a soak on rig (a soak.Soak): added, stored, duplicates, lost, corrupt, failed-area, left."""
    rng, box = random.Random(seed), pathlib.Path(workdir, "outbox")
    stored(rig.server.spool)
    rig.proxy.log.clear()
    added = collections.Counter()
    chaos = Chaos(rig, box, random.Random(f"{seed}:chaos"))
    try:
        for i in range(reports):
            # 0 B once; the rest long enough never to repeat by chance.
            report = rng.randbytes(0 if i == 0 else rng.choice((rng.randint(17, 4096), rng.randint(4097, largest))))
            p = outbox(box, "add", input=report)
            assert p.returncode == 0, p.stderr
            added[hashlib.sha256(report).hexdigest()] += 1
            time.sleep(rng.uniform(0, 0.1))
    finally:
        chaos.end()
    for _ in range(DRAINS):
        if not [n for n in os.listdir(box / "queue") if not n.endswith(".state")]:
            break
        outbox(box, "deliver", "--now", "--ca-path", rig.ca_dir)
    got = stored(rig.server.spool)
    return {"added": sum(added.values()), "stored": len(got), "duplicates": sum(got.values()) - len(got),
            "lost": len(set(added) - set(got)), "corrupt": len(set(got) - set(added)),
            "failed-area": len(os.listdir(box / "failed")), "left": len(os.listdir(box / "queue")),
            "connections": len(rig.proxy.log), "faults fired": sum(r["fired"] for r in rig.proxy.log), **chaos.counts}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reports", type=int, default=300)
    ap.add_argument("--seed", type=int, default=random.randrange(1 << 32))
    ap.add_argument("--dedup", action="store_true", help="server with --dedup: exactly once")
    a = ap.parse_args()
    start = time.monotonic()
    with tempfile.TemporaryDirectory() as work:
        ca_dir, *cert_key = make_certs(work)
        rig = soak.Soak(ca_dir, cert_key, work, dedup=a.dedup)
        try:
            c = run(rig, work, a.seed, a.reports)
        finally:
            rig.close()
    print(f"outbox soak: seed {a.seed}, {'with' if a.dedup else 'without'} --dedup, "
          f"{time.monotonic() - start:.0f} s: " + ", ".join(f"{k} {v}" for k, v in c.items()))
    bad = c["lost"] or c["corrupt"] or c["failed-area"] or c["left"] or (a.dedup and c["duplicates"])
    print("outbox soak: " + ("FAILED" if bad else "every report stored " + ("exactly once" if a.dedup else
                                                                              "at least once")))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
