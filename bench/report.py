"""The published figures: the table and notes of RESULTS.md, and the chart's data for gnuplot."""
import os
import platform
import re
import statistics
import subprocess
import time

from measure import NAMES

CASES = (("1m", "1 MiB"), ("10m", "10 MiB"), ("100m", "100 MiB, file"), ("100m-pipe", "100 MiB, pipe"),
         ("1g", "1 GiB, file"), ("1g-pipe", "1 GiB, pipe"))


def median_range(xs):
    return statistics.median(xs), min(xs), max(xs)


def mbps(s):
    return median_range([size / sec / 1e6 for sec, _, size in s])


def millis(s):
    return median_range([sec * 1e3 for sec, _, _ in s])


def fmt(mr, digits):
    return "**{:.{d}f}** ({:.{d}f}–{:.{d}f})".format(*mr, d=digits)


def ratio(x, y):
    return f"{x / y:.2f}x"


def table(samples, instructions, aes, tcp, server, slow, sink_cpu):
    """The rows as Markdown, and (figure, met) for each figure with a target."""
    rows, verdicts = [], []

    def row(figure, cells, ratios=("", ""), limits="", target="", met=None):
        if met is not None:
            verdicts.append((figure, met))
        rows.append([figure, *cells, *ratios, limits, target, "" if met is None else "yes" if met else "**no**"])

    def abc(measure, case, digits):
        """Each client's figure on the nginx sink, formatted, and A's ratios to B and C."""
        v = {c: measure(samples[("nginx", case, c)]) for c in "ABC"}
        return v, [fmt(v[c], digits) for c in "ABC"], (ratio(v["A"][0], v["B"][0]), ratio(v["A"][0], v["C"][0]))

    lat, cells, ratios = abc(millis, "1k", 2)
    row("1 KiB report, wall time (ms)", cells, ratios, target="A ≤ 1.0x B and ≤ 0.4x C",
        met=lat["A"][0] <= lat["B"][0] and lat["A"][0] <= 0.4 * lat["C"][0])
    if all(instructions.values()):
        ins = instructions
        row("1 KiB report, instructions (callgrind, 1 run; millions)", [f"**{ins[c] / 1e6:.2f}**" for c in "ABC"],
            (ratio(ins["A"], ins["B"]), ratio(ins["A"], ins["C"])), target="A ≤ 0.95x B",
            met=ins["A"] <= 0.95 * ins["B"])
    for case, label in CASES:
        t, cells, ratios = abc(mbps, case, 0)
        big = case.startswith(("100m", "1g"))
        row(f"{label}, throughput (MB/s)", cells, ratios, f"{t['A'][0] / aes:.0%} AES, {t['A'][0] / tcp:.0%} TCP",
            "A ≥ 1.0x B" if big else "", t["A"][0] >= t["B"][0] if big else None)
    rss = {}
    for case, label in (("1m", "1 MiB"), ("1g", "1 GiB")):
        rss[case], cells, ratios = abc(lambda s: median_range([u[0] / 1024 for _, u, _ in s]), case, 2)
        row(f"peak RSS, {label} report (MiB)", cells, ratios, target="A ≤ B" if case == "1g" else "",
            met=rss[case]["A"][0] <= rss[case]["B"][0] if case == "1g" else None)
    _, cells, ratios = abc(lambda s: median_range([u[1] for _, u, _ in s]), "1g", 2)
    row("1 GiB, file, client CPU time (user + system, s)", cells, ratios)
    growth = {c: rss["1g"][c][0] - rss["1m"][c][0] for c in "ABC"}
    row("peak RSS growth, 1 GiB − 1 MiB (MiB)", [f"{growth[c]:+.2f}" for c in "ABC"], target="A ≤ 1 MiB",
        met=growth["A"] <= 1)
    row("limit: AES-256-GCM, 16 KiB blocks, 1 core (MB/s)", [f"**{aes:.0f}**", "", ""])
    row("limit: plain TCP loopback copy, 1 GiB in 64 KiB blocks (MB/s)", [f"**{tcp:.0f}**", "", ""])
    if server:
        def against(case, measure, digits, target):
            """The server's figure and its ratio to the sink its target names, then to the other one."""
            st = measure(samples[("server", case, "A")])
            sinks = {"nginx-paired": "nginx sink", "nginx-store": "nginx storing"}
            figures = {k: measure(samples[(k, case, "A")])[0] for k in sorted(sinks, key=lambda k: k != target)}
            text = "; reference: ".join(f"{st[0] / v:.2f}x {sinks[k]} ({v:.{digits}f})" for k, v in figures.items())
            return st[0] / figures[target], [fmt(st, digits), "–", "–"], text
        ratio_, cells, limits = against("1k", millis, 2, "nginx-paired")
        row("stand-in server sink: 1 KiB report, wall time (ms)", cells, limits=limits,
            target="≤ 1.1x nginx sink", met=ratio_ <= 1.1)
        # The server stores every byte: its target is an nginx that stores the body too; the
        # discarding sink stays as a reference.
        for case, label in (("1g", "file"), ("1g-pipe", "pipe")):
            ratio_, cells, limits = against(case, mbps, 0, "nginx-store")
            row(f"stand-in server sink: 1 GiB, {label}, throughput (MB/s)", cells, limits=limits,
                target="≥ 0.8x nginx storing", met=ratio_ >= 0.8)
        per_gib = {k: sink_cpu[(k, "1g")] / len(samples[(k, "1g", "A")]) for k in ("server", "nginx-paired", "nginx-store")}
        row("stand-in server sink: its CPU time per 1 GiB report (user + system, s)",
            [f"**{per_gib['server']:.2f}**", "–", "–"],
            limits=f"nginx sink {per_gib['nginx-paired']:.2f}, nginx storing {per_gib['nginx-store']:.2f}")
    if slow:
        opened = ", ".join(f"{k} {slow['opened'].get(k, 0)}" for k in ("idle", "head", "body"))
        row("stand-in server, 1,000 slow clients held: 1 MiB delivery, wall time (s)",
            [fmt(median_range(slow["seconds"]), 3), "–", "–"],
            limits=f"{slow['stored_whole']} of {len(slow['seconds'])} stored whole; connections opened: {opened}",
            target="each exits 0 in ≤ 2 s, stored whole", met=slow["met"])
    head = ["Figure", *(f"{c}: {NAMES[c]}" for c in "ABC"), "A / B", "A / C", "A against limits", "Target", "Met"]
    return "\n".join("| " + " | ".join(r) + " |" for r in [head, ["---"] * len(head), *rows]), verdicts


def chart_data(samples, sizes, path):
    with open(path, "w") as f:
        f.write("# size_bytes " + " ".join(f"{c}_file {c}_pipe" for c in "ABC") + "\n")
        for name, size in sizes.items():
            cells = [samples.get(("nginx", case, c)) for c in "ABC" for case in (name, name + "-pipe")]
            f.write(" ".join([str(size), *(f"{mbps(s)[0]:.1f}" if s else "NaN" for s in cells)]) + "\n")


def version(cmd):
    r = subprocess.run(cmd, capture_output=True, text=True)
    return (r.stdout or r.stderr).splitlines()[0].strip()


def results(a, samples, table_text, verdicts, lag, load, slow):
    """RESULTS.md: the run's circumstances, the table and what this run alone can say; how each
    figure is taken is told once, in README.md."""
    model = re.search(r"^Model name:\s*(.+)$", subprocess.run(["lscpu"], capture_output=True, text=True).stdout,
                      re.M).group(1)
    met = sum(1 for _, m in verdicts if m)
    slow_note = "" if not slow else (
        f" While the slow clients were held, {min(slow['held'])}-{max(slow['held'])} of their connections were"
        f" established at each delivery; the server logged {len(slow['problems'])} nginx warnings or errors.")
    text = f"""# tovrin-report benchmark

Produced by `{a.command}` (as root, Debian 12, from the repository's top directory); the whole
run, packages checked, build, table and chart, took {time.time() - a.started:.0f} s.

- Date: {time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
- Machine: {model}, {os.cpu_count()} cores, Linux {platform.release()}; load average (1 min)
  {load[0]} before the measurements, {load[1]} before the stand-in server's and {load[2]} after them;
  {f"quiet (below 1) after waiting {a.waited:.0f} s" if a.quiet else
   f"**not quiet**: still at 1 or more after waiting {a.waited:.0f} s, so wall times carry other work"}
- {version(["curl", "--version"])}; {version(["openssl", "version"])}; {version(["nginx", "-v"])}

{table_text}

Targets met: {met} of {len(verdicts)}.

**Median** (min–max) over {len(samples[("nginx", "1k", "A")])} rounds for 1 KiB and
{len(samples[("nginx", "1g", "A")])} rounds for each larger case; failed runs: none. How each figure is taken:
[README.md](README.md#how-each-figure-is-taken). The largest gap between a client's exit and
the nginx sink's end of that request was {max(lag) * 1e3 if lag else float("nan"):.0f} ms.{slow_note}

![throughput by report size](throughput.png)
"""
    with open(a.results, "w") as f:
        f.write(text)
    print(table_text)
    print(f"\nTargets met: {met} of {len(verdicts)}: " + ", ".join(f"{n}: {'yes' if m else 'NO'}" for n, m in verdicts))
