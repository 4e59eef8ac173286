#!/usr/bin/env python3
"""Writes docs/server-performance.md from the results of bench/server-load.sh.

Input: the bench's work folder: machine.tsv (name<TAB>value), results.tsv (measure<TAB>
connections<TAB>nginx worker CPU seconds) and raw/MEASURE.txt (wrk's output with --latency).
Usage: server_report.py WORK_DIR OUTPUT_MD
"""
import os
import re
import sys

# A selection that takes longer than this at the 99th percentile does not count as held.
P99_LIMIT_MS = 10.0
GOAL_PER_SECOND = 20000
SECONDS_PER_DAY = 86400
SELECTOR_MODES = [
    ("http-keepalive", "HTTP, keep-alive"),
    ("http-close", "HTTP, new connection per selection"),
    ("https-keepalive", "HTTPS (RSA 2048), keep-alive"),
    ("https-close", "HTTPS (RSA 2048), new connection and full handshake per selection"),
    ("ecdsa-close", "HTTPS (ECDSA P-256), new connection and full handshake per selection"),
]
UNITS_MS = {"us": 0.001, "ms": 1.0, "s": 1000.0}
UNITS_BYTES = {"B": 1, "KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30}


class Run:
    """One wrk run with nginx's CPU time during it."""

    def __init__(self, measure, connections, cpu_seconds, text):
        self.measure = measure
        self.connections = connections
        self.cpu_seconds = cpu_seconds
        self.per_second = float(re.search(r"Requests/sec:\s+([0-9.]+)", text).group(1))
        amount, unit = re.search(r"Transfer/sec:\s+([0-9.]+)([KMG]?B)", text).groups()
        self.bytes_per_second = float(amount) * UNITS_BYTES[unit]
        requests, amount, unit = re.search(r"(\d+) requests in ([0-9.]+)(ms|s|m),",
                                           text).groups()
        self.requests = int(requests)
        self.seconds = float(amount) * {"ms": 0.001, "s": 1.0, "m": 60.0}[unit]
        self.latency = {}
        for percent, value, unit in re.findall(r"^\s+(50|75|90|99)%\s+([0-9.]+)(us|ms|s)\s*$",
                                               text, re.M):
            self.latency[int(percent)] = float(value) * UNITS_MS[unit]
        errors = 0
        socket = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)",
                           text)
        if socket:
            # With "Connection: close" every closed connection may count as a read error; the
            # refused and timed-out ones are the real failures.
            errors += int(socket.group(1)) + int(socket.group(4))
        bad = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
        if bad:
            errors += int(bad.group(1))
        self.errors = errors

    def cpu_share(self):
        return self.cpu_seconds / self.seconds

    def cpu_per_request_us(self):
        return self.cpu_seconds / self.requests * 1e6 if self.requests else float("nan")

    def held(self):
        return self.errors == 0 and self.latency.get(99, float("inf")) < P99_LIMIT_MS


def load(work):
    machine = {}
    with open(os.path.join(work, "machine.tsv")) as f:
        for line in f:
            name, value = line.rstrip("\n").split("\t", 1)
            machine[name] = value
    runs = {}
    with open(os.path.join(work, "results.tsv")) as f:
        for line in f:
            measure, connections, cpu = line.rstrip("\n").split("\t")
            with open(os.path.join(work, "raw", measure + ".txt")) as raw:
                runs[measure] = Run(measure, int(connections), float(cpu), raw.read())
    return machine, runs


def per_day(rate):
    return "%s" % format(int(rate * SECONDS_PER_DAY), ",")


def capacity(runs, mode):
    """The best rate that held (p99 under the limit, no errors) and the rate that nginx's CPU
    time per selection allows on a whole core."""
    held = [r for r in runs if r.held()]
    best = max(held, key=lambda r: r.per_second) if held else None
    busiest = max(runs, key=lambda r: r.per_second)
    return best, 1e6 / busiest.cpu_per_request_us()


def write(machine, runs, output):
    o = []
    o.append("# Capacity of the maker's side")
    o.append("")
    o.append("Written by `make bench-server` (bench/server-load.sh, bench/server_report.py); do "
             "not edit by hand, run it again.")
    o.append("")
    o.append("## Machine and method")
    o.append("")
    o.append("- %s, %s cores, %s; %s; %s; wrk %s." % (
        machine["cpu"], machine["cores"], machine["kernel"], "nginx " + machine["nginx"],
        machine["openssl"], machine["wrk"]))
    o.append("- Load average (1, 5, 15 min) before the bench: %s; after it: %s. The machine is "
             "shared with other work; the bench ran when nothing else heavy did."
             % (machine["load_before"], machine.get("load_after", "?")))
    o.append("- nginx: the configurations that `server/generate_site.py --standalone` writes, "
             "one worker process, pinned to CPU 0, access log on (one line per request, as "
             "generated). wrk: one thread pinned to CPU 1. Everything on loopback addresses, so "
             "no network delay is included: the figures are what the server's core can do.")
    o.append("- The selector (`--redirect-to`) is asked `GET /` with the program's four request "
             "headers (Kestrune, 2, 7, 64) and answers 302 with the package's address. Each "
             "measure runs %s s. \"New connection per selection\" is how the program asks: one "
             "request per connection (wrk sends `Connection: close`), over HTTPS with a full "
             "handshake each time (wrk resumes no session)." % machine["duration"])
    o.append("- Latency is wrk's: from sending the request to the end of the response. For a new "
             "connection it does not include the TCP and TLS handshakes themselves, but it does "
             "include the time the request waits while the single nginx worker serves other "
             "connections' handshakes. nginx CPU is its worker's user + system time during the "
             "measure, as a share of one core and per selection.")
    o.append("")
    o.append("## Selector")
    o.append("")
    o.append("| protocol and connections | connections | selections/s | p50 ms | p99 ms | "
             "nginx CPU (share of its core) | nginx CPU per selection (µs) | errors |")
    o.append("|---|---|---|---|---|---|---|---|")
    summary = []
    for key, label in SELECTOR_MODES:
        mode_runs = sorted((r for m, r in runs.items() if m.startswith("selector-" + key + "-")),
                           key=lambda r: r.connections)
        if not mode_runs:
            continue
        for r in mode_runs:
            o.append("| %s | %d | %s | %.2f | %.2f | %.0f %% | %.1f | %d |" % (
                label, r.connections, format(int(r.per_second), ","), r.latency.get(50, 0),
                r.latency.get(99, 0), 100 * r.cpu_share(), r.cpu_per_request_us(), r.errors))
        summary.append((key, label, mode_runs) + capacity(mode_runs, key))
    o.append("")
    o.append("## What one core holds")
    o.append("")
    o.append("Held: the highest rate measured with p99 under %.0f ms and no errors. CPU-bound: "
             "one core's second divided by nginx's CPU time per selection at the highest load, "
             "the rate nginx reaches when the client is not the limit (it is higher than the "
             "measured rate where nginx did not use its whole core, because wrk on its own "
             "core was then the limit)." % P99_LIMIT_MS)
    o.append("")
    o.append("| protocol and connections | held selections/s | at connections | p99 ms | "
             "held selections/day | CPU-bound selections/s | CPU-bound selections/day |")
    o.append("|---|---|---|---|---|---|---|")
    for key, label, mode_runs, best, bound in summary:
        if best:
            o.append("| %s | %s | %d | %.2f | %s | %s | %s |" % (
                label, format(int(best.per_second), ","), best.connections,
                best.latency[99], per_day(best.per_second), format(int(bound), ","),
                per_day(bound)))
        else:
            o.append("| %s | none held | - | - | - | %s | %s |" % (
                label, format(int(bound), ","), per_day(bound)))
    o.append("")
    by_key = {key: (best, bound) for key, label, mode_runs, best, bound in summary}
    o.append("Goal: at least %s selections a second on one core over HTTP." %
             format(GOAL_PER_SECOND, ","))
    for key in ("http-keepalive", "http-close"):
        if key not in by_key:
            continue
        best, bound = by_key[key]
        rate = best.per_second if best else 0
        o.append("- %s: %s held (%s)." % (
            dict(SELECTOR_MODES)[key], format(int(rate), ","),
            "met" if rate >= GOAL_PER_SECOND else "not met"))
    o.append("")
    o.append("## Origin")
    o.append("")
    o.append("One package of %s MiB (`--origin`, sendfile), plain HTTP, keep-alive." %
             machine["package_mib"])
    o.append("")
    o.append("| connections | packages/s | MiB/s | Gbit/s | p50 ms | p99 ms | nginx CPU (share "
             "of its core) | errors |")
    o.append("|---|---|---|---|---|---|---|---|")
    for m in sorted(m for m in runs if m.startswith("origin-")):
        r = runs[m]
        o.append("| %d | %.1f | %.0f | %.1f | %.1f | %.1f | %.0f %% | %d |" % (
            r.connections, r.per_second, r.bytes_per_second / (1 << 20),
            r.bytes_per_second * 8 / 1e9, r.latency.get(50, 0), r.latency.get(99, 0),
            100 * r.cpu_share(), r.errors))
    o.append("")
    o.append("## What it means for a maker")
    o.append("")
    program = by_key.get("https-close")
    if program:
        best, bound = program
        held = best.per_second if best else 0
        o.append("- The program's own case is HTTPS with a new connection per selection. One "
                 "selector core held %s selections a second at p99 under %.0f ms, that is %s a "
                 "day; with a peak ten times the day's average it still serves %s installs a "
                 "day. The cost is the TLS handshake (nginx's CPU per selection above), not the "
                 "selection." % (format(int(held), ","), P99_LIMIT_MS, per_day(held),
                                 per_day(held / 10)))
    ecdsa = by_key.get("ecdsa-close")
    if ecdsa and program:
        o.append("- An ECDSA certificate makes the handshake cheaper (%s selections/s CPU-bound "
                 "against %s with RSA 2048), but Windows XP cannot use one: a selector that "
                 "serves XP over TLS needs an RSA certificate." % (
                     format(int(ecdsa[1]), ","), format(int(program[1]), ",")))
    if "http-keepalive" in by_key:
        o.append("- Over plain HTTP the selection itself is cheap: the figures with keep-alive "
                 "show what the selection costs without connection set-up.")
    o.append("- The selector's answer is a few hundred bytes, so its bandwidth does not matter; "
             "the packages' bytes come from the CDN. The origin sees only the CDN's cache misses "
             "(a package is immutable, so about one per package and CDN location), and one core "
             "of it fills links far faster than those misses need.")
    o.append("- Everything here is one nginx worker on one core. nginx scales with "
             "`worker_processes` over the machine's cores; a second selector machine behind the "
             "DNS name or a load balancer adds the same again.")
    o.append("")
    with open(output, "w") as f:
        f.write("\n".join(o))


def main():
    machine, runs = load(sys.argv[1])
    write(machine, runs, sys.argv[2])
    print("Wrote %s" % sys.argv[2])


if __name__ == "__main__":
    main()
