#!/usr/bin/env python3
"""Writes docs/performance.md, and bench/performance.svg that it shows, from the benchmark's
results.

Input: one line per measurement, "MiB<TAB>measure<TAB>value" (seconds, or kB for the peak
memory), as bench/run.sh writes them. Usage: report.py RESULTS OUTPUT_MD [emulated]
With "emulated" the figures were measured in the emulated guest: the report says so at its top,
and its chart goes beside it instead of bench/performance.svg.
"""
import os
import platform
import statistics
import subprocess
import sys
from collections import defaultdict

TRANSFER = [
    ("program_transfer", "program (through the operator)"),
    ("loop_bare", "(a) bare WinINet loop, no window"),
    ("loop_message", "(b) floor: loop + one synchronous SendMessageW per block"),
    ("loop_design", "(d) the design's floor: (b) + the cancel test + the program's dialog, "
                    "shown, updated per block"),
    ("curl", "(c) curl"),
]
VERIFY = [
    ("program_verify", "program: end of the request to the end of its process"),
    ("both_floor", "floor: CryptoAPI SHA-1 and SHA-256 in one pass, 1 MiB blocks + SendMessageW + "
                   "20 ms per block"),
    ("both_bare", "CryptoAPI SHA-1 and SHA-256 in one pass, 1 MiB blocks"),
    ("sha1_floor", "CryptoAPI SHA-1, 1 MiB blocks + SendMessageW + 20 ms per block"),
    ("sha1_bare", "CryptoAPI SHA-1, 1 MiB blocks"),
    ("sha1sum", "sha1sum"),
]
COSTS = [
    ("cancel_test", "cancel test: WaitForSingleObject(event, 0)", "every block"),
    ("message", "synchronous SendMessageW to an empty handler on another thread", "every block"),
    ("count_text", "count text into the count label (repaints at once)", "every block"),
    ("total_test", "length of the total label's text (three-dot test)", "every block"),
    ("bar_move", "PBM_SETPOS with a new position (repaints at once)", "when the position moves"),
    ("bar_same", "PBM_SETPOS with the same position", "when it does not"),
    ("count_idle", "the dialog thread's next idle wait after a count repaint", "every block"),
    ("bar_idle", "the same after a bar repaint", "when the position moves"),
    ("quiet_idle", "the same after a call that paints nothing", "-"),
    ("count_text_off", "count text with the label's redraw off (the call without its paint)",
     "-"),
    ("bar_move_off", "new bar position with the bar's redraw off", "-"),
]
BLOCK = 8192
BAR_POSITIONS = 5000


def load(path):
    values = defaultdict(list)
    with open(path) as f:
        for line in f:
            mib, measure, value = line.rstrip("\n").split("\t")
            values[(int(mib), measure)].append(float(value))
    return values


def table_head(o, first, sizes):
    o.append("| %s | " % first + " | ".join("%d MiB" % m for m in sizes) + " |")
    o.append("|---|" + "---|" * len(sizes))


def measure_section(o, title, text, values, sizes, measures):
    """A heading, its explanation and a table of the measures' medians with their spread."""
    o.append("## " + title)
    o.append("")
    o.append(text)
    o.append("")
    table_head(o, "measure", sizes)
    for key, label in measures:
        o.append("| %s | %s |" % (label, " | ".join(cell(values, (m, key)) for m in sizes)))
    o.append("")


def blocks(mib):
    return mib * 1048576 / BLOCK


def median(values, key):
    v = values.get(key)
    return statistics.median(v) if v else None


def cell(values, key, unit="s"):
    v = values.get(key)
    if not v:
        return "-"
    if unit == "kB":
        return "%.1f MiB (%.1f-%.1f)" % (statistics.median(v) / 1024, min(v) / 1024, max(v) / 1024)
    return "%.3f (%.3f-%.3f)" % (statistics.median(v), min(v), max(v))


def ratio(values, a, b):
    x, y = median(values, a), median(values, b)
    if x is None or not y:
        return None
    return x / y


def fmt_ratio(r, target=None):
    if r is None:
        return "-"
    text = "%.2f" % r
    if target is not None:
        text += " (target <= %.2f: %s)" % (target, "met" if r <= target else "NOT met")
    return text


def per_call(o, values, sizes):
    """The per-call costs and what they add up to per block, against (d) and (b)."""
    cost = {key: median(values, (0, "cost_" + key)) for key, _, _ in COSTS}
    if any(v is None for v in cost.values()):
        return
    o.append("## Per call")
    o.append("")
    o.append("bench/display_costs.exe, on the program's own dialog (its module, its manifest, "
             "shown): the mean of each call over 2000 calls, median of %d runs, in "
             "microseconds." % len(values[(0, "cost_message")]))
    o.append("")
    o.append("| call | us | in the program's loop |")
    o.append("|---|---|---|")
    for key, label, when in COSTS:
        o.append("| %s | %.1f | %s |" % (label, cost[key], when))
    o.append("")
    o.append("What the design adds to the floor (b) per block, from these costs: the cancel "
             "test, the count text, the three-dot test, and the bar's repaint for the share of "
             "blocks that move it (5000 positions over the package's blocks); the idle waits run "
             "on the dialog thread between messages and delay the next message only when the "
             "worker is quicker. \"Without painting\" is what the same calls would cost if the "
             "controls painted nothing, which no display that updates at once can reach.")
    o.append("")
    table_head(o, "per block", sizes)
    added, bare_calls, measured, floors = [], [], [], []
    for m in sizes:
        share = min(1.0, BAR_POSITIONS / blocks(m))
        added.append(cost["cancel_test"] + cost["count_text"] + cost["total_test"] +
                     share * cost["bar_move"] + (1 - share) * cost["bar_same"])
        bare_calls.append(cost["cancel_test"] + cost["count_text_off"] + cost["total_test"] +
                          share * cost["bar_move_off"] + (1 - share) * cost["bar_same"])
        d, b = median(values, (m, "loop_design")), median(values, (m, "loop_message"))
        measured.append(None if d is None or b is None else (d - b) * 1e6 / blocks(m))
        floors.append(None if b is None else b * 1e6 / blocks(m))

    def line(label, numbers, fmt="%.0f us"):
        o.append("| %s | %s |" % (label, " | ".join(
            "-" if n is None else fmt % n for n in numbers)))

    line("the design's calls, from the costs above", added)
    line("what the repaints add to the dialog thread's idle waits, besides", [
        cost["count_idle"] - cost["quiet_idle"] +
        min(1.0, BAR_POSITIONS / blocks(m)) * (cost["bar_idle"] - cost["quiet_idle"])
        for m in sizes])
    line("measured: (d) - (b)", measured)
    line("the same calls without painting", bare_calls)
    line("(b) + the calls without painting, relative to (b)", [
        None if f is None else (f + c) / f for f, c in zip(floors, bare_calls)], "%.2f")
    o.append("")


def svg_chart(values, sizes, path):
    """Transfer medians per size, as bars relative to the floor (b)."""
    rows = []
    for mib in sizes:
        floor = median(values, (mib, "loop_message"))
        for key, _ in TRANSFER:
            m = median(values, (mib, key))
            if m is not None and floor:
                rows.append(("%d MiB %s" % (mib, key), m / floor))
    if not rows:
        return
    width, bar_h, left = 720, 18, 230
    top = max(r for _, r in rows)
    scale = (width - left - 60) / top
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif"'
           ' font-size="12">' % (width, 30 + len(rows) * (bar_h + 4))]
    out.append('<text x="4" y="14">transfer time relative to the floor (b), median</text>')
    for i, (label, r) in enumerate(rows):
        y = 24 + i * (bar_h + 4)
        color = "#c0504d" if "program" in label else "#4f81bd"
        out.append('<text x="4" y="%d">%s</text>' % (y + 13, label))
        out.append('<rect x="%d" y="%d" width="%.1f" height="%d" fill="%s"/>'
                   % (left, y, r * scale, bar_h, color))
        out.append('<text x="%.1f" y="%d">%.2f</text>' % (left + r * scale + 4, y + 13, r))
    x1 = left + scale
    out.append('<line x1="%.1f" y1="20" x2="%.1f" y2="%d" stroke="black" stroke-dasharray="3"/>'
               % (x1, x1, 24 + len(rows) * (bar_h + 4)))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main(results_path, output_path, emulated=False):
    values = load(results_path)
    sizes = sorted({mib for mib, _ in values if mib > 0})
    runs = ", ".join("%d MiB: %d" % (m, len(values[(m, "program_transfer")])) for m in sizes)
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    cores = os.cpu_count()
    here = os.path.dirname(os.path.abspath(__file__))
    chart_dir = os.path.dirname(os.path.abspath(output_path)) if emulated else here
    svg_path = os.path.join(chart_dir, "performance.svg")
    svg_chart(values, sizes, svg_path)
    svg_name = os.path.relpath(svg_path, os.path.dirname(os.path.abspath(output_path)))

    o = []
    o.append("# Performance")
    o.append("")
    if emulated:
        o.append("**Measured under emulation**: Wine ran in the emulated guest (QEMU, software "
                 "emulation), where every figure is several times what a machine that runs Wine "
                 "itself measures; not comparable with docs/performance.md.")
        o.append("")
    o.append("Written by `make bench` (bench/run.sh, bench/report.py); do not edit by hand, run it "
             "again. Measured on %s, %s, %d cores, Xvfb, nginx on 127.0.0.1:80, runs per "
             "size %s; each figure the median with the lowest and highest run in brackets, in seconds."
             % (platform.node() or "this machine", wine, cores, runs))
    o.append("")
    o.append("![transfer relative to the floor](%s)" % svg_name)
    o.append("")
    measure_section(o, "Transfer",
                    "nginx's `$request_time` for each client's request, so every client is timed "
                    "the same way: from reading the request to handing the last byte to the "
                    "socket. The socket buffers hold a few MiB, so for 16 MiB the figure ends "
                    "noticeably before the client has read the body; at 256 MiB and more that "
                    "tail is small. The five transfers of a run follow each other in an order "
                    "that rotates from run to run, with the disk synced before each.",
                    values, sizes, TRANSFER)
    measure_section(o, "Verification",
                    "The program's figure runs from the end of its request (nginx's `$msec`) to "
                    "the end of its process: the rest of the body in the socket buffers, the "
                    "hash, the launch of the package (here a recording handler registered for "
                    ".msi files) and the end of the process. It is therefore an upper bound of "
                    "the verification alone.",
                    values, sizes, VERIFY)
    o.append("## Memory")
    o.append("")
    o.append("Peak resident memory (VmHWM) of the program's Wine process, sampled every 0.1 s.")
    o.append("")
    table_head(o, "package", sizes)
    o.append("| peak memory | %s |" % " | ".join(cell(values, (m, "program_peak_kib"), "kB")
                                               for m in sizes))
    o.append("")
    o.append("## Ratios against the targets")
    o.append("")
    table_head(o, "ratio", sizes)

    def row(label, a, b, target=None, min_mib=0):
        o.append("| %s | %s |" % (label, " | ".join(
            fmt_ratio(ratio(values, (m, a), (m, b)), target if m >= min_mib else None)
            for m in sizes)))

    row("transfer: program / floor (b)", "program_transfer", "loop_message", 1.15, 256)
    row("transfer: program / bare loop (a)", "program_transfer", "loop_bare")
    row("transfer: program / curl (c)", "program_transfer", "curl")
    row("transfer: program / the design's floor (d)", "program_transfer", "loop_design")
    row("transfer: the design's floor (d) / floor (b)", "loop_design", "loop_message")
    row("transfer: floor (b) / bare loop (a)", "loop_message", "loop_bare")
    row("verification: program / its floor (both digests)", "program_verify", "both_floor", 1.10)
    row("verification: program / sha1sum", "program_verify", "sha1sum")
    o.append("")
    peaks = [(m, median(values, (m, "program_peak_kib"))) for m in sizes]
    peaks = [(m, p) for m, p in peaks if p]
    if len(peaks) >= 2:
        growth = (peaks[-1][1] - peaks[0][1]) / 1024
        o.append("Memory: the peak changes by %+.2f MiB from %d MiB to %d MiB (target: less than "
                 "4 MiB from 16 MiB to 1 GiB: %s%s)." % (
                     growth, peaks[0][0], peaks[-1][0], "met" if growth < 4 else "NOT met",
                     "" if peaks[-1][0] >= 1024 else "; 1 GiB not measured in this run, "
                     "it is among the default sizes"))
        o.append("")
    o.append("## Per block")
    o.append("")
    o.append("WinINet hands out at most %d bytes per InternetQueryDataAvailable, so a package of "
             "N MiB is about 128 N blocks. Median time per block:" % BLOCK)
    o.append("")
    table_head(o, "measure", sizes)
    for key, label in TRANSFER:
        cells = []
        for m in sizes:
            v = median(values, (m, key))
            cells.append("-" if v is None else "%.0f us" % (v * 1e6 / blocks(m)))
        o.append("| %s | %s |" % (label, " | ".join(cells)))
    o.append("")
    per_call(o, values, sizes)
    with open(os.path.join(here, "performance-notes.md")) as f:
        o.append(f.read().rstrip("\n"))
    with open(output_path, "w") as f:
        f.write("\n".join(o) + "\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3:] == ["emulated"])
