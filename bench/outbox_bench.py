"""Outbox benchmark, after ./test.sh has built build/test (or with TOVRIN_REPORT, TOVRIN_REPORT_SERVER
and TOVRIN_REPORT_OUTBOX set), as root, in a network of its own:
  PYTHONPATH=tests unshare --net sh -c 'ip link set lo up && exec /usr/bin/python3 bench/outbox_bench.py'
- add of a 1 KiB report, median of 100, against `cat > file && sync` of the same bytes;
- draining 1,000 queued 1 KiB reports with one deliver, against 1,000 sequential tool runs of the same
  reports from a shell loop (target: at most 1.2x), alternated, median of 3 each;
- peak RSS (VmHWM) of add and of deliver for a 1 GiB report against a 1 KiB one (target: within 1 MiB).
Everything on the disk under build/; the stand-in server on the tool's port. Prints the table and
writes bench/OUTBOX.md."""
import datetime
import os
import pathlib
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from support import OUTBOX, TOOL, Server, clean_env, make_certs

HERE = pathlib.Path(__file__).resolve().parent
KIB, GIB = 1024, 1 << 30


def timed(argv, stdin=None, cpu=None):
    """Wall seconds of one run; its CPU seconds, with its children's, appended to cpu."""
    before, start = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
    subprocess.run(argv, stdin=stdin, check=True, env=clean_env(), stdout=subprocess.DEVNULL)
    wall, after = time.perf_counter() - start, resource.getrusage(resource.RUSAGE_CHILDREN)
    if cpu is not None:
        cpu.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    return wall


def add_vs_cat(work, report):
    """Median seconds of add and of `cat > file && sync`, alternated."""
    src = work / "report-1k"
    src.write_bytes(report)
    adds, cats = [], []
    for i in range(100):
        with open(src, "rb") as f:
            adds.append(timed([OUTBOX, "add", "--outbox", work / "add-box"], stdin=f))
        with open(src, "rb") as f:
            cats.append(timed(["sh", "-c", 'cat > "$1" && sync', "sh", work / f"cat-{i}"], stdin=f))
    shutil.rmtree(work / "add-box")
    return statistics.median(adds), statistics.median(cats)


def drain_vs_loop(work, server, ca, reports, rounds=3):
    """Median wall and CPU seconds of one deliver of the queued reports and of a shell loop of tool runs."""
    folder = work / "reports"
    folder.mkdir()
    for i, report in enumerate(reports):
        (folder / f"{i:04}").write_bytes(report)
    drains, loops, drain_cpu, loop_cpu = [], [], [], []
    for _ in range(rounds):
        box = work / "drain-box"
        for path in sorted(folder.iterdir()):
            with open(path, "rb") as f:
                subprocess.run([OUTBOX, "add", "--outbox", box], stdin=f, check=True)
        drains.append(timed([OUTBOX, "deliver", "--outbox", box, "--ca-path", ca], cpu=drain_cpu))
        assert not os.listdir(box / "queue") and len(server.take()) == len(reports)
        shutil.rmtree(box)
        loops.append(timed(["sh", "-c", 'for f in "$0"/*; do "$1" --ca-path "$2" < "$f" || exit 1; done',
                            folder, TOOL, ca], cpu=loop_cpu))
        assert len(server.take()) == len(reports)
    return [statistics.median(x) for x in (drains, loops, drain_cpu, loop_cpu)]


def peak_kib(argv, feed=None):
    """The VmHWM of the process, polled until it ends; feed(stdin) writes its input."""
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE if feed else subprocess.DEVNULL, env=clean_env(),
                            stdout=subprocess.DEVNULL)
    peak = [0]

    def poll():
        while proc.poll() is None:
            try:
                with open(f"/proc/{proc.pid}/status") as f:
                    for line in f:
                        if line.startswith("VmHWM"):
                            peak[0] = max(peak[0], int(line.split()[1]))
            except (OSError, ValueError):
                pass
            time.sleep(0.001)

    poller = threading.Thread(target=poll)
    poller.start()
    if feed:
        feed(proc.stdin)
        time.sleep(0.2)  # it waits for the end of its input: read its peak first
        proc.stdin.close()
    assert proc.wait(600) == 0
    poller.join()
    return peak[0]


def rss(work, server, ca):
    """Peak RSS in KiB of add and deliver, for 1 KiB and 1 GiB: {(command, size): KiB}."""
    block, out = os.urandom(1 << 20), {}
    for size in (KIB, GIB):
        box = work / f"rss-{size}"
        box.mkdir()
        (box / "max-bytes").write_text(str(2 * GIB))

        def feed(pipe, size=size):
            for _ in range(max(size >> 20, 1)):
                pipe.write(block[:size])
            pipe.flush()
        out["add", size] = peak_kib([OUTBOX, "add", "--outbox", box], feed)
        out["deliver", size] = peak_kib([OUTBOX, "deliver", "--outbox", box, "--ca-path", ca])
        assert not os.listdir(box / "queue") and [len(v) for v in server.take().values()] == [size]
        shutil.rmtree(box)
    return out


def main():
    start, load = datetime.datetime.now(datetime.timezone.utc), os.getloadavg()[0]
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    (HERE.parent / "build").mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory(dir=HERE.parent / "build", prefix="outbox-bench.") as w:
        work = pathlib.Path(w)
        ca, *cert_key = make_certs(work)
        server = Server(cert_key, work / "spool", "--max-bytes", str(2 * GIB))
        server.start()
        try:
            reports = [os.urandom(KIB) for _ in range(1000)]
            add, cat = add_vs_cat(work, reports[0])
            drain, loop, drain_cpu, loop_cpu = drain_vs_loop(work, server, ca, reports)
            peaks = rss(work, server, ca)
        finally:
            server.stop()
    rows = [
        ("add, 1 KiB, median of 100", f"{add * 1000:.2f} ms", f"`cat > file && sync`: {cat * 1000:.2f} ms",
         f"{add / cat:.2f}x", "-"),
        ("drain 1,000 queued 1 KiB reports, median of 3", f"{drain:.2f} s",
         f"1,000 tool runs: {loop:.2f} s", f"{drain / loop:.2f}x", "yes" if drain <= 1.2 * loop else "no"),
        ("the same, CPU of deliver and its tools", f"{drain_cpu:.2f} s", f"the shell and its tools: {loop_cpu:.2f} s",
         f"{drain_cpu / loop_cpu:.2f}x", "-"),
    ]
    for command in ("add", "deliver"):
        small, big = peaks[command, KIB], peaks[command, GIB]
        rows.append((f"peak RSS of {command}, 1 GiB", f"{big} KiB", f"1 KiB: {small} KiB", f"{big - small:+} KiB",
                     "yes" if big - small <= 1024 else "no"))
    table = "| figure | outbox | against | ratio | target met |\n|---|---|---|---|---|\n" + "".join(
        f"| {' | '.join(row)} |\n" for row in rows)
    print(table)
    (HERE / "OUTBOX.md").write_text(
        f"# Outbox benchmark\n\n{start:%Y-%m-%d %H:%M} UTC, {cpu}, {os.cpu_count()} cores, "
        f"{platform.system()} {platform.release()}; 1-minute load {load:.2f} at the start, "
        f"{os.getloadavg()[0]:.2f} at the end.\n\n"
        "```\nPYTHONPATH=tests unshare --net sh -c 'ip link set lo up && exec /usr/bin/python3 "
        "bench/outbox_bench.py'\n```\n\n" + table + "\nSee bench/outbox_bench.py for how each figure is taken.\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
