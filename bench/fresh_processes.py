"""Times pluvo's events and batches of two builds, every few passes in an interpreter of their own.

build/venv/bin/python bench/fresh_processes.py --before MODULE_FILE [--scale 0.05]
                      [--workloads NAME ...] [--rounds N] [--passes N] [--json FILE]

run.py times both builds in one process. On PyPy that makes them share one collector: the arrays
one build drops are collected while the other runs, and which build's passes meet the major
collections depends on the order. Here each round starts a new interpreter per build (in a new
order each round, seeded; bench/timed_passes.py), which warms up with one pass and then times
--passes passes.
"""

import argparse
import json
import os
import random
import subprocess
import sys

import pluvo

import contenders
import make_files
from batch_sizes import raw_pass, summarise
from run import describe_rate, machine

KINDS = ("events", "batches")
TIMED_PASSES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "timed_passes.py")


def in_child(module_file, bench_file, kind, passes):
    arguments = [module_file, bench_file.path, bench_file.reader_type, kind]
    arguments += [str(contenders.BATCH_EVENTS), str(passes)]
    output = subprocess.run(
        [sys.executable, TIMED_PASSES, *arguments], check=True, stdout=subprocess.PIPE, text=True
    ).stdout
    return json.loads(output)


def time_builds(bench_file, builds, rounds, passes):
    seconds = {(build, kind): [] for build in builds for kind in KINDS}
    order = random.Random(len(builds))
    for _ in range(rounds):
        for build, kind in order.sample(list(seconds), len(seconds)):
            seconds[build, kind] += in_child(builds[build], bench_file, kind, passes)
    return {"%s %s" % key: summarise(bench_file, runs) for key, runs in seconds.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    make_files.add_arguments(parser)
    parser.add_argument("--before", metavar="MODULE_FILE", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--passes", type=int, default=3, help="timed passes per process")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()

    builds = {"now": pluvo.__file__, "before": args.before}
    report = {"machine": machine(), "builds": builds, "workloads": {}}
    for key, value in report["machine"].items():
        print("%-6s %s" % (key, value))
    print("before %s" % args.before)
    print("cache  warm: files in the page cache")
    files = make_files.ensure_all(args)
    for bench_file in files:
        contenders.raw_read(bench_file.path)  # into the page cache
    for bench_file in files:
        results = time_builds(bench_file, builds, args.rounds, args.passes)
        raw = min(raw_pass(bench_file) for _ in range(args.rounds))
        rate = {"gb_per_s": bench_file.size / raw / 1e9, "passes": args.rounds, "cache": "warm"}
        report["workloads"][bench_file.name] = {
            "results": results,
            "raw_copy_rate": rate,
            "bytes": bench_file.size,
        }
        print(
            "\n%s: %s, %d events, %.1f MB; %d rounds of a process per build and kind, "
            "%d timed passes each"
            % (
                bench_file.name,
                bench_file.reader_type,
                bench_file.events,
                bench_file.size / 1e6,
                args.rounds,
                args.passes,
            )
        )
        print(describe_rate(rate))
        print("%-16s %9s %9s %8s" % ("pass", "best s", "median s", "GB/s"))
        for name, row in results.items():
            print("%-16s %9.4f %9.4f %8.3f" % (name, row["best"], row["median"], row["gb_per_s"]))
        for kind in KINDS:
            now, before = results["now " + kind], results["before " + kind]
            print(
                "%s now/before: %.2fx by best, %.2fx by median"
                % (kind, before["best"] / now["best"], before["median"] / now["median"])
            )
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=2)


if __name__ == "__main__":
    main()
