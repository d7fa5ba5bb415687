"""Times a full pluvo batches pass per workload for several max_bytes, interleaved, beside raw_read.

build/venv/bin/python bench/batch_sizes.py [--scale 0.05] [--workloads NAME ...] [--repeat N]
                                          [--mib 0.5 1 2 16] [--max-events N] [--json FILE]
"""

import argparse
import json
import random
import statistics
import sys
import time

import pluvo

import contenders
import make_files
from run import describe_rate, machine


def batches_pass(bench_file, max_events, max_bytes):
    start = time.perf_counter()
    reader = pluvo.EventReader(bench_file.path, bench_file.reader_type)
    batches = reader.batches(max_events=max_events, max_bytes=max_bytes)
    rows = sum(len(batch["data"]) for batch in batches)
    seconds = time.perf_counter() - start
    if rows != bench_file.events:
        sys.exit("%s: %d rows, expected %d" % (bench_file.name, rows, bench_file.events))
    return seconds


def raw_pass(bench_file):
    start = time.perf_counter()
    size = contenders.raw_read(bench_file.path)
    seconds = time.perf_counter() - start
    if size != bench_file.size:
        sys.exit("%s: raw_read read %d bytes of %d" % (bench_file.name, size, bench_file.size))
    return seconds


def summarise(bench_file, runs):
    """The seconds of a contender's passes, their best and median, and GB/s from the best."""
    return {
        "seconds": runs,
        "best": min(runs),
        "median": statistics.median(runs),
        "gb_per_s": bench_file.size / min(runs) / 1e9,
    }


def time_sizes(bench_file, mib, max_events, repeat):
    """Every size and raw_read once a round, in a new order each round (seeded), so no size always
    follows the same one."""
    passes = {
        "max_bytes=%g MiB" % m: (lambda m=m: batches_pass(bench_file, max_events, round(m * 2**20)))
        for m in mib
    }
    passes["raw_read"] = lambda: raw_pass(bench_file)
    seconds = {name: [] for name in passes}
    order = random.Random(len(passes))
    for _ in range(repeat):
        for name in order.sample(list(passes), len(passes)):
            seconds[name].append(passes[name]())
    return {name: summarise(bench_file, runs) for name, runs in seconds.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    make_files.add_arguments(parser)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument(
        "--mib", type=float, nargs="+", default=[1, 2, 4, 16], help="max_bytes, MiB"
    )
    parser.add_argument("--max-events", type=int, default=4096)
    parser.add_argument("--json", metavar="FILE", help="also write the results here")
    args = parser.parse_args()

    report = {"machine": machine(), "scale": args.scale, "repeat": args.repeat, "workloads": {}}
    for key, value in report["machine"].items():
        print("%-6s %s" % (key, value))
    print("cache  warm: files in the page cache")
    files = make_files.ensure_all(args)
    for bench_file in files:
        contenders.raw_read(bench_file.path)  # into the page cache
    for bench_file in files:
        results = time_sizes(bench_file, args.mib, args.max_events, args.repeat)
        raw = results["raw_read"]
        rate = {"gb_per_s": raw["gb_per_s"], "passes": args.repeat, "cache": "warm"}
        sizes = {name: row for name, row in results.items() if name != "raw_read"}
        best = min(sizes, key=lambda name: sizes[name]["best"])
        report["workloads"][bench_file.name] = {
            "results": results,
            "raw_copy_rate": rate,
            "best": best,
            "events": bench_file.events,
            "bytes": bench_file.size,
        }
        print(
            "\n%s: %s, %d events, %.1f MB; batches(max_events=%d), best of %d, warm"
            % (
                bench_file.name,
                bench_file.reader_type,
                bench_file.events,
                bench_file.size / 1e6,
                args.max_events,
                args.repeat,
            )
        )
        print(describe_rate(rate))
        print("%-20s %9s %9s %8s %12s" % ("pass", "best s", "median s", "GB/s", "vs fastest"))
        for name, row in results.items():
            print(
                "%-20s %9.4f %9.4f %8.3f %11.2fx"
                % (
                    name,
                    row["best"],
                    row["median"],
                    row["gb_per_s"],
                    sizes[best]["best"] / row["best"],
                )
            )
        print("fastest: %s" % best)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=2)


if __name__ == "__main__":
    main()
