"""Fault-injection soak: the tool delivers reports through faultproxy.py to the stand-in server
while one fault per run cuts, resets, stalls or drops the TLS stream. Exit 0 must mean the report
stored once, byte-exact; exit 1 nothing or, the reply lost, one whole copy ("in doubt"); anything
else, a hang or a signal is a violation.
  PYTHONPATH=tests /usr/bin/python3 bench/soak.py --runs 300 --seed 1 [--dedup]   (--first 17 --runs 1 replays run 17)"""
import argparse
import collections
import pathlib
import random
import subprocess
import sys
import tempfile
import time
import types

from faultproxy import KINDS, Fault, FaultProxy
from support import PORT, TOOL, Server, clean_env, free_port, make_certs, wait_until

BOUND = 10  # the proxy ends every connection by then
TOOL_TIMEOUT = 30  # so a tool still running is hung
SIZES = ((0, 0), (1, 1), (2, 4096), (4097, 256 << 10), (256 << 10, 4 << 20))
TRICKY = (b"0\r\n\r\n", b"\r\n", b"OK", bytes(range(256)))  # chunk syntax and "OK" inside the body


def draw(seed, i):
    """Run i's report and fault, all but the fault's offset, which needs byte counts."""
    rng = random.Random(f"{seed}:{i}")
    size = rng.randint(*rng.choice(SIZES))
    tricky = b"".join(rng.choice(TRICKY) for _ in range(64))
    report = (tricky * (size // len(tricky) + 1))[:size] if rng.random() < 0.25 else rng.randbytes(size)
    p = types.SimpleNamespace(report=report, kind=rng.choice(("none",) + KINDS), direction=rng.choice(("up", "down")),
                              tail=rng.random() < 1 / 3, where=rng.random(), back=rng.randint(1, 256),
                              hold=rng.uniform(0.05, 1.0))
    # A third of the faults land in the last bytes: around the final chunk and the reply.
    p.name = f"{size}B-" + ("no-fault" if p.kind == "none" else
                            f"{p.kind}-{p.direction}-{'tail' if p.tail else 'anywhere'}")
    return p


class Soak:
    """The stand-in server on a free port, the proxy on the tool's port."""

    def __init__(self, ca_dir, cert_key, workdir, dedup=False):
        self.ca_dir, self.counts, self.dedup = ca_dir, collections.Counter(), dedup
        self.report_file, upstream = pathlib.Path(workdir, "report"), free_port()
        self.server = Server(cert_key, pathlib.Path(workdir, "spool"), *(["--dedup"] if dedup else []),
                             listen=f"127.0.0.1:{upstream}")
        self.server.start()
        try:
            self.proxy = FaultProxy(PORT, upstream, bound=BOUND)
        except OSError:
            self.server.proc.kill()  # its nginx with it
            raise

    def close(self):
        self.proxy.close()
        self.server.stop()

    def take(self):
        return self.server.take()

    def deliver(self, report, fault, keep=False):
        """One run of the tool: returncode (None: hung), stdout, stderr, what the spool holds (taken
        unless keep), the connection's record."""
        self.proxy.fault = fault
        self.proxy.log.clear()
        self.report_file.write_bytes(report)
        with open(self.report_file, "rb") as stdin:
            try:
                p = subprocess.run([TOOL, "--ca-path", self.ca_dir], stdin=stdin, capture_output=True,
                                   env=clean_env(), timeout=TOOL_TIMEOUT)
                rc, out, err = p.returncode, p.stdout, p.stderr
            except subprocess.TimeoutExpired as e:
                rc, out, err = None, e.stdout or b"", e.stderr or b""
        self.proxy.wait_idle(BOUND + 5)
        # The server may still be winding up its side of a cut connection.
        wait_until(lambda: not self.server.temporaries(), 10)
        stored = self.server.take(keep)
        return rc, out, err, stored, (self.proxy.log or [{"fired": False, "ended": "no connection"}])[-1]

    def run(self, seed, i):
        """Run i of a seeded soak: (outcome, detail)."""
        plan = draw(seed, i)
        # The same report, fault-free, measures each direction's byte count.
        rc, out, err, stored, rec = self.deliver(plan.report, None)
        fault = None
        if plan.kind != "none" and rc == 0 and list(stored.values()) == [plan.report]:
            total = rec[plan.direction]
            offset = total - min(plan.back, total) if plan.tail else int(plan.where * (total + 1))
            fault = Fault(plan.kind, plan.direction, offset, plan.hold)
            rc, out, err, stored, rec = self.deliver(plan.report, fault, keep=self.dedup)
            if self.dedup:  # the caller's retry: exactly one copy whatever the first try left
                self.counts["retried"] += rc != 0
                retry = self.deliver(plan.report, None) if rc != 0 else (0, b"", b"", self.take(), None)
                if retry[0] != 0 or list(retry[3].values()) != [plan.report]:
                    return "violation", f"{plan.name}: {fault}: retry rc={retry[0]} stored={list(retry[3])}"
        fired = fault is not None and rec["fired"]
        self.counts["fault " + (fault.kind if fired else "none")] += 1
        copies, names = list(stored.values()).count(plan.report), list(stored)
        detail = f"{plan.name}: {fault} {rec} rc={rc} stored={names} stdout={out!r} stderr={err[-500:]!r}"
        told = out.endswith(b"\n")
        if self.server.proc.poll() is not None or rc is None or any(n.startswith(".incoming/") for n in names):
            return "violation", detail
        if rc == 0 and copies == len(names) == 1 and not out:
            return "success", detail
        if rc == 1 and fired and told and not names:
            return "clean failure", detail
        if rc == 1 and fired and told and copies == len(names) == 1:
            return "in doubt", detail
        return "violation", detail


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=300)
    ap.add_argument("--seed", type=int, default=random.randrange(1 << 32))
    ap.add_argument("--first", type=int, default=0, help="index of the first run (to replay one)")
    ap.add_argument("--verbose", action="store_true", help="print every run")
    ap.add_argument("--dedup", action="store_true", help="server with --dedup; a failed run is retried once")
    a = ap.parse_args()
    print(f"soak: seed {a.seed}, runs {a.first}..{a.first + a.runs - 1}", flush=True)
    start = time.monotonic()
    with tempfile.TemporaryDirectory() as work:
        ca_dir, *cert_key = make_certs(work)
        soak = Soak(ca_dir, cert_key, work, dedup=a.dedup)
        try:
            for i in range(a.first, a.first + a.runs):
                outcome, detail = soak.run(a.seed, i)
                soak.counts[outcome] += 1
                if a.verbose or outcome in ("violation", "in doubt"):
                    print(f"run {i}: {outcome}: {detail}", flush=True)
        finally:
            soak.close()
    c = soak.counts
    print(f"soak: seed {a.seed}: {a.runs} runs in {time.monotonic() - start:.0f} s; faults fired: "
          + ", ".join(f"{k} {c['fault ' + k]}" for k in ("none",) + KINDS))
    print(f"soak: successes {c['success']}, clean failures {c['clean failure']}, in doubt {c['in doubt']}, "
          f"violations {c['violation']}" + (f", retried {c['retried']}, each stored once" if a.dedup else ""))
    return 1 if c["violation"] else 0


if __name__ == "__main__":
    sys.exit(main())
