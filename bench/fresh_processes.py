"""Times pluvo's events and batches of two builds, every few passes in an interpreter of their own.

build/venv/bin/python bench/fresh_processes.py --before MODULE_FILE [--scale 0.05]
                      [--workloads NAME ...] [--rounds N] [--passes N] [--json FILE]

run.py times both builds in one process. On PyPy that makes them share one collector: the arrays
one build drops are collected while the other runs, and which build's passes meet the major
collections depends on the order. Here each round starts a new interpreter per build (in a new
order each round, seeded), which warms up with one pass and then times --passes passes.
"""

import argparse
import importlib.util
import json
import random
import statistics
import subprocess
import sys
import time

KINDS = ("events", "batches")


def load_module(path):
    spec = importlib.util.spec_from_file_location("pluvo", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def child(module_file, path, reader_type, kind, max_events, passes):
    """Prints the seconds of each timed pass, as JSON. Loads only the build it times."""
    module = load_module(module_file)

    def one_pass():
        start = time.perf_counter()
        reader = module.EventReader(path, reader_type)
        if kind == "batches":
            for _ in reader.batches(max_events=max_events):
                pass
        else:
            for _ in reader:
                pass
        return time.perf_counter() - start

    one_pass()  # the JIT's warm-up and the first touch of the storage
    print(json.dumps([one_pass() for _ in range(passes)]))


def in_child(module_file, bench_file, kind, passes):
    import contenders

    arguments = [module_file, bench_file.path, bench_file.reader_type, kind]
    arguments += [str(contenders.BATCH_EVENTS), str(passes)]
    output = subprocess.run(
        [sys.executable, __file__, "--child", *arguments],
        check=True,
        stdout=subprocess.PIPE,
        text=True,
    ).stdout
    return json.loads(output)


def time_builds(bench_file, builds, rounds, passes):
    seconds = {(build, kind): [] for build in builds for kind in KINDS}
    order = random.Random(len(builds))
    for _ in range(rounds):
        for build, kind in order.sample(list(seconds), len(seconds)):
            seconds[build, kind] += in_child(builds[build], bench_file, kind, passes)
    return {
        "%s %s" % key: {
            "seconds": runs,
            "best": min(runs),
            "median": statistics.median(runs),
            "gb_per_s": bench_file.size / min(runs) / 1e9,
        }
        for key, runs in seconds.items()
    }


def main():
    if sys.argv[1:2] == ["--child"]:
        module_file, path, reader_type, kind, max_events, passes = sys.argv[2:]
        child(module_file, path, reader_type, kind, int(max_events), int(passes))
        return
    # Only here: a child loads no build but the one it times.
    import pluvo

    import contenders
    import make_files
    from batch_sizes import raw_pass
    from run import describe_rate, machine

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
