#!/usr/bin/env python3
"""Turns the JSON output of the benchmark binaries into bench/REPORT.md and
the gnuplot data for one chart per family.

    bench_report.py <json dir> <report.md> <chart dir> <machine text file>

Each benchmark name reads BM_<Case>_<Implementation>[/args]. A benchmark is
"ours" when its implementation is the library's (see OURS); every other one
is a peer and is compared with the library's benchmarks of the same case
and arguments, or, when the case has none (the peer does the same work
under its own name), with the nearest library benchmark registered before
it with the same arguments. The figure is the median real time of the
repetitions (the p99 lateness counter for lateness benchmarks); the spread
is (max - min) / median.
"""
import json
import os
import re
import statistics
import sys

OURS = re.compile(r"(Zar|ZAR|CCm|_CM\b|Ours|CalcCRC16|xbase64|ProcessModule|SendEvent|Policy"
                  r"|^BM_DutyCycleGauge|^BM_RateCounter_|^BM_Stopwatch_)")
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
LATENESS = "p99_us"


def split_name(name):
    base, _, args = name.partition("/")
    return base, args


def case_key(base):
    text = base[3:] if base.startswith("BM_") else base
    text = text.replace("StdChrono_", "").replace("Gauge", "")
    return text.split("_")[0]


def load_family(path):
    with open(path) as handle:
        data = json.load(handle)
    order, runs = [], {}
    for bench in data.get("benchmarks", []):
        if bench.get("run_type") != "iteration" or bench.get("error_occurred"):
            continue
        name = bench.get("run_name", bench["name"])
        if name not in runs:
            order.append(name)
            runs[name] = []
        if LATENESS in bench:
            # A lateness benchmark's time is its fixed duration; its figure
            # is the 99th percentile of how late each firing came.
            runs[name].append(bench[LATENESS] * 1e3)
            continue
        key = "real_time" if "/real_time" in name else "cpu_time"
        runs[name].append(bench[key] * UNIT_NS[bench.get("time_unit", "ns")])
    return order, runs


def pairs_of(order):
    ours = [n for n in order if OURS.search(split_name(n)[0])]
    result = []
    for index, peer in enumerate(order):
        if peer in ours:
            continue
        base, args = split_name(peer)
        same_case = [o for o in ours if split_name(o)[1] == args and case_key(split_name(o)[0]) == case_key(base)]
        if not same_case:
            before = [o for o in order[:index] if o in ours and split_name(o)[1] == args]
            same_case = before[-1:]
        result.extend((o, peer) for o in same_case)
    return result


def fmt_ns(value):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if value >= scale:
            return "%.3g %s" % (value / scale, unit)
    return "%.3g ns" % value


def spread(samples):
    median = statistics.median(samples)
    return 0.0 if median == 0 else (max(samples) - min(samples)) / median * 100.0


def main():
    json_dir, report_path, chart_dir, machine_path = sys.argv[1:5]
    with open(machine_path) as handle:
        machine = handle.read().strip()
    families = sorted(f[:-5] for f in os.listdir(json_dir) if f.endswith(".json"))
    lines = ["# Benchmark report", "",
             "Written by `./scripts/bench.sh --report`: every benchmark beside its peer library in the same",
             "binary, 5 repetitions each. The figure is the median CPU time per iteration (real time for",
             "benchmarks named `.../real_time`, whose work crosses threads; the 99th percentile of the",
             "lateness of each firing for the timer-lateness benchmarks), the spread (max - min) / median",
             "of the 5. Ratio = ours / peer: below 1 the library is faster.", "",
             "## Machine and conditions", "", "```", machine, "```", ""]
    loads = re.findall(r"load avg:\s+([0-9.]+)", machine)
    cpus = re.search(r"([0-9]+) logical processors", machine)
    if loads and cpus and max(float(x) for x in loads) > int(cpus.group(1)):
        lines += ["The machine was shared and loaded during the run (one-minute load average up to %s on %s"
                  % (max(loads, key=float), cpus.group(1)),
                  "processors): other processes competed for the processors, so real times include waiting",
                  "for them and the spreads are wide; CPU times are affected much less. Compare ratios, and",
                  "re-run on a quiet machine before reading absolute figures.", ""]
    for family in families:
        order, runs = load_family(os.path.join(json_dir, family + ".json"))
        pairs = pairs_of(order)
        lines += ["## %s" % family, ""]
        if not pairs:
            lines += ["No peer in this family.", ""]
            continue
        lines += ["![%s](report/%s.svg)" % (family, family), "",
                  "| ours | median (spread) | peer | median (spread) | ratio |", "|---|---|---|---|---|"]
        chart_rows = []
        for ours, peer in pairs:
            mo, mp = statistics.median(runs[ours]), statistics.median(runs[peer])
            ratio = mo / mp if mp else float("nan")
            lines.append("| `%s` | %s (%.0f%%) | `%s` | %s (%.0f%%) | %.2f |" % (
                ours, fmt_ns(mo), spread(runs[ours]), peer, fmt_ns(mp), spread(runs[peer]), ratio))
            peer_base, peer_args = split_name(peer)
            peer_impl = "_".join(peer_base.split("_")[2:]) or peer_base
            label = "%s vs %s" % (ours[3:] if ours.startswith("BM_") else ours,
                                  peer_impl + ("/" + peer_args if peer_args else ""))
            chart_rows.append((label.replace('"', "'"), ratio))
        lines.append("")
        with open(os.path.join(chart_dir, family + ".dat"), "w") as data:
            for label, ratio in chart_rows:
                data.write('"%s" %.6f\n' % (label, ratio))
    with open(report_path, "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
