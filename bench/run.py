"""Times pluvo against hand-written and bulk NumPy readers and the raw I/O limit.

build/venv/bin/python bench/run.py [--scale 0.05] [--workloads NAME ...] [--repeat N]
                                   [--json FILE] [--memory] [--threads] [--before MODULE_FILE]
"""

import argparse
import json
import os
import platform
import random
import statistics
import sys
import time
from itertools import islice

import numpy as np
import pluvo

import contenders
import layouts
import make_files
import memory

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
)

RATIOS = ("struct_reader", "bulk_numpy", "raw_read", "raw_read_8k")
BATCH_RATIOS = ("bulk_columns", "raw_read", "pluvo", "pluvo_batches_before")
SAMPLE_DTYPES = {"WD1": np.uint16, "WD2": np.float32}


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": "%s %s" % (platform.python_implementation(), platform.python_version()),
        "numpy": np.__version__,
        "pluvo": pluvo.__file__,
    }


def mismatch(expected, got, sample_dtype):
    """What differs between two events, or None."""
    if list(got) != list(expected):
        return "keys %s, pluvo has %s" % (list(got), list(expected))
    for key, value in expected.items():
        other = got[key]
        if key == "data":
            if not (isinstance(other, np.ndarray) and other.dtype == value.dtype == sample_dtype):
                found = getattr(other, "dtype", type(other).__name__)
                return "data is %s, pluvo's is %s, expected %s" % (found, value.dtype, sample_dtype)
            if other.shape != value.shape or other.tobytes() != value.tobytes():
                return "data differs"
        elif type(other) is not int or type(value) is not int or other != value:
            return "%s is %r, pluvo has %r" % (key, other, value)
    return None


def check_agreement(bench_file, prefix):
    """Compares the first `prefix` events of every event reader with pluvo's (pluvo's own against
    the expected types too); exits on a difference."""
    read = contenders.EVENT_READERS
    expected = list(islice(read["pluvo"](bench_file.path, bench_file.reader_type), prefix))
    for name, reader in read.items():
        if not contenders.applies(name, bench_file.reader_type):
            continue
        got = list(islice(reader(bench_file.path, bench_file.reader_type), prefix))
        if len(got) != len(expected):
            sys.exit(
                "%s: %s gave %d events, pluvo %d" % (bench_file.name, name, len(got), len(expected))
            )
        for index, (a, b) in enumerate(zip(expected, got)):
            problem = mismatch(a, b, SAMPLE_DTYPES[bench_file.reader_type])
            if problem:
                sys.exit("%s: %s, event %d: %s" % (bench_file.name, name, index, problem))


def check_batches(bench_file):
    """The first batch of every batch reader against pluvo's events: keys, column types and values,
    rows of samples; exits on a difference."""
    reader_type = bench_file.reader_type
    for name, read in contenders.BATCH_READERS.items():
        batch = next(iter(read(bench_file.path, reader_type)))
        rows = len(batch["data"])
        events = list(islice(contenders.pluvo_reader(bench_file.path, reader_type), rows))
        if list(batch) != list(events[0]):
            sys.exit("%s: %s has keys %s" % (bench_file.name, name, list(batch)))
        for key, column in batch.items():
            if key == "data":
                same = column.dtype == SAMPLE_DTYPES[reader_type] and all(
                    column[i].tobytes() == e["data"].tobytes() for i, e in enumerate(events)
                )
            else:
                same = column.dtype == layouts.COLUMN_DTYPES[reader_type][
                    key
                ] and column.tolist() == [e[key] for e in events]
            if not same:
                sys.exit("%s: %s, column %s differs from the events" % (bench_file.name, name, key))


def run_once(name, bench_file):
    """Seconds of one full pass; checks that the whole file was consumed."""
    start = time.perf_counter()
    if name in contenders.RAW_READERS:
        result = contenders.RAW_READERS[name](bench_file.path)
        expected = bench_file.size
    elif name in contenders.BATCH_READERS:
        batches = contenders.BATCH_READERS[name](bench_file.path, bench_file.reader_type)
        result = sum(len(batch["data"]) for batch in batches)
        expected = bench_file.events
    else:
        events = contenders.EVENT_READERS[name](bench_file.path, bench_file.reader_type)
        result = contenders.consume(events)[0]
        expected = bench_file.events
    seconds = time.perf_counter() - start
    if result != expected:
        sys.exit("%s: %s read %d, expected %d" % (bench_file.name, name, result, expected))
    return seconds


def time_workload(bench_file, repeat):
    """Every contender once a round, in a new order each round (seeded): a reader that follows
    another meets the memory that one left, warm or fresh, so none may always follow the same."""
    names = [*contenders.EVENT_READERS, *contenders.BATCH_READERS, *contenders.RAW_READERS]
    names = [name for name in names if contenders.applies(name, bench_file.reader_type)]
    seconds = {name: [] for name in names}
    order = random.Random(len(names))
    for _ in range(repeat):
        for name in order.sample(names, len(names)):
            seconds[name].append(run_once(name, bench_file))
    results = {}
    for name, runs in seconds.items():
        best = min(runs)
        results[name] = {
            "seconds": runs,
            "best": best,
            "median": statistics.median(runs),
            "events_per_s": bench_file.events / best,
            "gb_per_s": bench_file.size / best / 1e9,
        }
    ratios = {
        "pluvo/" + other: results["pluvo"]["gb_per_s"] / results[other]["gb_per_s"]
        for other in RATIOS + ("pluvo_before", "floor")
        if other in results
    }
    for other in BATCH_RATIOS:
        if other not in results:
            continue
        ratios["pluvo_batches/" + other] = (
            results["pluvo_batches"]["gb_per_s"] / results[other]["gb_per_s"]
        )
    return {"contenders": results, "ratios": ratios}


def print_table(bench_file, result, repeat):
    print(
        "\n%s: %s, %d events, %.1f MB; best of %d, GB/s from the best"
        % (
            bench_file.name,
            bench_file.reader_type,
            bench_file.events,
            bench_file.size / 1e6,
            repeat,
        )
    )
    print("%-20s %9s %9s %13s %8s" % ("contender", "best s", "median s", "events/s", "GB/s"))
    for name, row in result["contenders"].items():
        print(
            "%-20s %9.4f %9.4f %13.0f %8.3f"
            % (name, row["best"], row["median"], row["events_per_s"], row["gb_per_s"])
        )
    print("  ".join("%s %.2fx" % item for item in result["ratios"].items()))


def time_threads(bench_file, repeat):
    """Seconds of examples/summarise.py over four names of one file, in one thread and in two,
    taking turns."""
    import summarise

    directory = os.path.join(os.path.dirname(bench_file.path), "threads")
    os.makedirs(directory, exist_ok=True)
    paths = []
    for n in range(4):
        stem, extension = os.path.splitext(os.path.basename(bench_file.path))
        path = os.path.join(directory, "%s-%d%s" % (stem, n, extension))
        if not os.path.exists(path):
            os.link(bench_file.path, path)  # the same bytes, no more disk
        paths.append(path)
    seconds = {1: [], 2: []}
    for _ in range(repeat):
        for threads in (1, 2):
            start = time.perf_counter()
            summarise.summarise(paths, bench_file.reader_type, threads)
            seconds[threads].append(time.perf_counter() - start)
    result = {threads: min(runs) for threads, runs in seconds.items()}
    print(
        "\nsummarise.py over 4 files of %s, best of %d: one thread %.3f s, two threads %.3f s:"
        " %.2fx" % (bench_file.name, repeat, result[1], result[2], result[1] / result[2])
    )
    return {"seconds": seconds, "speedup": result[1] / result[2]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    make_files.add_arguments(parser)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--check-events", type=int, default=300, help="events compared per file")
    parser.add_argument("--json", metavar="FILE", help="also write the results here")
    parser.add_argument("--memory", action="store_true", help="also measure memory and import")
    parser.add_argument(
        "--threads", action="store_true", help="also time examples/summarise.py in 1 and 2 threads"
    )
    parser.add_argument(
        "--before",
        metavar="MODULE_FILE",
        help="also time this build of the module (pluvo*.so of an earlier version, say)",
    )
    args = parser.parse_args()
    if args.before:
        contenders.add_before(args.before)

    report = {"machine": machine(), "scale": args.scale, "repeat": args.repeat, "workloads": {}}
    for key, value in report["machine"].items():
        print("%-6s %s" % (key, value))
    files = make_files.ensure_all(args)
    for bench_file in files:
        check_agreement(bench_file, args.check_events)
        check_batches(bench_file)
        contenders.raw_read(bench_file.path)  # into the page cache
    print("all readers agree with pluvo on the first %d events of each file" % args.check_events)
    for bench_file in files:
        result = time_workload(bench_file, args.repeat)
        result.update(path=bench_file.path, events=bench_file.events, bytes=bench_file.size)
        report["workloads"][bench_file.name] = result
        print_table(bench_file, result, args.repeat)
    if args.threads:
        wd1 = [f for f in files if f.reader_type == "WD1"]
        report["threads"] = time_threads(wd1[0] if wd1 else files[0], args.repeat)
    if args.memory:
        report["memory"] = memory.report(files)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=2)


if __name__ == "__main__":
    main()
