#!/usr/bin/env python3
"""Writes docs/server-performance.md from the results of bench/server-load.sh.

Input: the bench's work folder: machine.tsv (name<TAB>value), results.tsv (measure<TAB>run<TAB>
connections<TAB>nginx worker CPU seconds<TAB>wrk CPU seconds) and raw/MEASURE-RUN.txt (wrk's
output with --latency). Each measure is reported by its median run (by selections per second),
with the lowest and highest rate of its runs.
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
    ("deferred-close", "HTTP, new connection per selection, `listen ... deferred`"),
    ("https-keepalive", "HTTPS (RSA 2048), keep-alive"),
    ("https-resumed", "HTTPS (RSA 2048), new connection per selection, session resumed"),
    ("https-close", "HTTPS (RSA 2048), new connection and full handshake per selection"),
    ("ecdsa-close", "HTTPS (ECDSA P-256), new connection and full handshake per selection"),
]
UNITS_MS = {"us": 0.001, "ms": 1.0, "s": 1000.0}
UNITS_BYTES = {"B": 1, "KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30}


class Run:
    """One wrk run with nginx's CPU time during it."""

    def __init__(self, measure, connections, cpu_seconds, wrk_cpu_seconds, text):
        self.measure = measure
        self.connections = connections
        self.cpu_seconds = cpu_seconds
        self.wrk_cpu_seconds = wrk_cpu_seconds
        self.low = self.high = None  # the range of the measure's runs, set by load()
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

    def wrk_cpu_share(self):
        return self.wrk_cpu_seconds / self.seconds

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
    all_runs = {}
    with open(os.path.join(work, "results.tsv")) as f:
        for line in f:
            measure, run, connections, cpu, wrk_cpu = line.rstrip("\n").split("\t")
            with open(os.path.join(work, "raw", "%s-%s.txt" % (measure, run))) as raw:
                all_runs.setdefault(measure, []).append(
                    Run(measure, int(connections), float(cpu), float(wrk_cpu), raw.read()))
    runs = {}
    for measure, measured in all_runs.items():
        measured.sort(key=lambda r: r.per_second)
        median = measured[(len(measured) - 1) // 2]
        median.low, median.high = measured[0].per_second, measured[-1].per_second
        runs[measure] = median
    return machine, runs


def spread(r):
    return "%s (%s-%s)" % (format(int(r.per_second), ","), format(int(r.low), ","),
                           format(int(r.high), ","))


def runs_cost(runs, prefix):
    """nginx's CPU µs per selection at the highest load of the measures named prefix*."""
    measured = [r for m, r in runs.items() if m.startswith(prefix)]
    return max(measured, key=lambda r: r.per_second).cpu_per_request_us()


def verdict_reason(best):
    if best is None:
        return "no load held p99 under %.0f ms" % P99_LIMIT_MS
    if best.wrk_cpu_share() > 0.9 and best.cpu_share() < 0.9:
        return "wrk used its core (%.0f %%) while nginx did not (%.0f %%): the client was the " \
               "limit" % (100 * best.wrk_cpu_share(), 100 * best.cpu_share())
    return "nginx used %.0f %% of its core" % (100 * best.cpu_share())


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
             "measure runs %s s, %s times (every measure once per run); each figure is the "
             "median run. \"New connection per selection\" is how the program asks: one "
             "request per connection (wrk sends `Connection: close`). wrk resumes TLS sessions "
             "whenever the server lets it, so the full-handshake measures run against a "
             "selector whose session cache is turned off: every connection then costs a full "
             "handshake, as a client's first contact does; the resumed measures show a client "
             "that asked shortly before. wrk negotiates TLS 1.2 with ECDHE-RSA-AES256-GCM-SHA384 "
             "(measured in nginx's log of a trial run)." % (machine["duration"], machine["runs"]))
    o.append("- Latency is wrk's: from sending the request to the end of the response. For a new "
             "connection it does not include the TCP and TLS handshakes themselves, but it does "
             "include the time the request waits while the single nginx worker serves other "
             "connections' handshakes. nginx CPU is its worker's user + system time during the "
             "measure, as a share of one core and per selection.")
    o.append("")
    o.append("## Selector")
    o.append("")
    o.append("| protocol and connections | connections | selections/s (lowest-highest run) | "
             "p50 ms | p99 ms | nginx CPU (share of its core) | wrk CPU | nginx CPU per "
             "selection (µs) | errors |")
    o.append("|---|---|---|---|---|---|---|---|---|")
    summary = []
    for key, label in SELECTOR_MODES:
        mode_runs = sorted((r for m, r in runs.items() if m.startswith("selector-" + key + "-")),
                           key=lambda r: r.connections)
        if not mode_runs:
            continue
        for r in mode_runs:
            o.append("| %s | %d | %s | %.2f | %.2f | %.0f %% | %.0f %% | %.1f | %d |" % (
                label, r.connections, spread(r), r.latency.get(50, 0), r.latency.get(99, 0),
                100 * r.cpu_share(), 100 * r.wrk_cpu_share(), r.cpu_per_request_us(),
                r.errors))
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
        o.append("- %s: %s held, %s: %s; CPU-bound %s." % (
            dict(SELECTOR_MODES)[key], format(int(rate), ","),
            "met" if rate >= GOAL_PER_SECOND else "not met", verdict_reason(best),
            format(int(bound), ",")))
    o.append("")
    o.append("## Origin")
    o.append("")
    o.append("One package of %s MiB (`--origin`, sendfile), plain HTTP, keep-alive." %
             machine["package_mib"])
    o.append("")
    o.append("| connections | packages/s (lowest-highest run) | MiB/s | Gbit/s | p50 ms | p99 ms "
             "| nginx CPU (share of its core) | wrk CPU | errors |")
    o.append("|---|---|---|---|---|---|---|---|---|")
    for m in sorted(m for m in runs if m.startswith("origin-")):
        r = runs[m]
        o.append("| %d | %.1f (%.1f-%.1f) | %.0f | %.1f | %.1f | %.1f | %.0f %% | %.0f %% | %d |" % (
            r.connections, r.per_second, r.low, r.high, r.bytes_per_second / (1 << 20),
            r.bytes_per_second * 8 / 1e9, r.latency.get(50, 0), r.latency.get(99, 0),
            100 * r.cpu_share(), 100 * r.wrk_cpu_share(), r.errors))
    o.append("")
    o.append("## What it means for a maker")
    o.append("")
    program = by_key.get("https-close")
    if program:
        best, bound = program
        held = best.per_second if best else 0
        o.append("- The program's own case is HTTPS with a new connection per selection, and a "
                 "full handshake on a client's first contact. One selector core held %s such "
                 "selections a second at p99 under %.0f ms, %s a day; at a peak of ten times the "
                 "day's average that is still %s installs a day. Nearly all of nginx's %.0f µs "
                 "per selection is the TLS handshake, not the selection: over plain HTTP with a "
                 "new connection it is %.0f µs, with keep-alive %.0f µs." % (
                     format(int(held), ","), P99_LIMIT_MS, per_day(held), per_day(held / 10),
                     runs_cost(runs, "selector-https-close-"),
                     runs_cost(runs, "selector-http-close-"),
                     runs_cost(runs, "selector-http-keepalive-")))
    if "deferred-close" in by_key:
        o.append("- A deferred accept (`listen ... deferred`, Linux's TCP_DEFER_ACCEPT: nginx "
                 "wakes only once the request has arrived) lowers nginx's cost of a new HTTP "
                 "connection from %.0f µs to %.0f µs. The generator leaves it out: only one "
                 "server block of an address and port may set socket options, and the including "
                 "nginx.conf may already have one; add it by hand where the selector is the "
                 "only server of its port." % (
                     runs_cost(runs, "selector-http-close-"),
                     runs_cost(runs, "selector-deferred-close-")))
    resumed = by_key.get("https-resumed")
    if resumed and program:
        o.append("- A resumed session costs %.0f µs against %.0f µs for a full handshake: the "
                 "session cache that the generated configuration keeps (10 MiB, one hour) pays "
                 "for itself when a user runs the program again within the hour." % (
                     runs_cost(runs, "selector-https-resumed-"),
                     runs_cost(runs, "selector-https-close-")))
    ecdsa = by_key.get("ecdsa-close")
    if ecdsa and program:
        o.append("- An ECDSA certificate makes the full handshake cheaper (%s selections/s "
                 "CPU-bound against %s with RSA 2048), but Windows XP cannot use one: a selector "
                 "that serves XP over TLS needs an RSA certificate." % (
                     format(int(ecdsa[1]), ","), format(int(program[1]), ",")))
    origin = [r for m, r in runs.items() if m.startswith("origin-")]
    if origin:
        fastest = max(origin, key=lambda r: r.bytes_per_second)
        o.append("- One origin core sent %.1f Gbit/s of one package (loopback, sendfile). The "
                 "origin sees only the CDN's cache misses: a package is immutable, so about one "
                 "fetch per package and CDN location." % (fastest.bytes_per_second * 8 / 1e9))
    o.append("- The selector's answer is about two hundred bytes, so its bandwidth does not "
             "matter; the packages' bytes come from the CDN.")
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
