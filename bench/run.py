"""Times pluvo against hand-written and bulk NumPy readers and the raw I/O limit.

build/venv/bin/python bench/run.py [--scale 0.05] [--workloads NAME ...] [--repeat N]
                                   [--json FILE] [--memory] [--threads] [--before MODULE_FILE]
                                   [--cold] [--collect]
"""

import argparse
import gc
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

RATIOS = ("struct_reader", "bulk_numpy", "raw_read", "raw_read_8k")
BATCH_RATIOS = ("bulk_columns", "raw_read", "raw_scatter", "pluvo", "pluvo_batches_before")
INDEX_RATIOS = ("pluvo_batches", "pluvo_index_before")
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


DROP_CACHES = "/proc/sys/vm/drop_caches"


def drop_page_cache():
    """Writes back dirty pages, then evicts the clean ones, so the next pass reads from the disk."""
    os.sync()
    with open(DROP_CACHES, "w") as control:
        control.write("3\n")


def check_cold_allowed():
    if os.geteuid() != 0:
        sys.exit(
            "--cold drops the page cache before every pass: run as root (it writes %s)"
            % DROP_CACHES
        )
    try:
        drop_page_cache()
    except OSError as error:
        sys.exit("--cold cannot drop the page cache here: %s" % error)


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
        result = contenders.RAW_READERS[name](bench_file.path, bench_file.reader_type)
        expected = bench_file.size
    elif name in contenders.INDEX_READERS:
        result = len(contenders.INDEX_READERS[name](bench_file.path, bench_file.reader_type))
        expected = bench_file.events
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


def time_workload(bench_file, repeat, cold=False, collect=False):
    """Every contender once a round, in a new order each round (seeded): a reader that follows
    another meets the memory that one left, warm or fresh, so none may always follow the same.
    Cold: the page cache is dropped before every pass, outside its time. Collect: a full
    collection before every pass, outside its time, so that none pays for the garbage of the
    one before."""
    names = [
        *contenders.EVENT_READERS,
        *contenders.BATCH_READERS,
        *contenders.INDEX_READERS,
        *contenders.RAW_READERS,
    ]
    names = [name for name in names if contenders.applies(name, bench_file.reader_type)]
    seconds = {name: [] for name in names}
    order = random.Random(len(names))
    for _ in range(repeat):
        for name in order.sample(names, len(names)):
            if cold:
                drop_page_cache()
            if collect:
                gc.collect()
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
    if "pluvo_index" in results:
        for other in INDEX_RATIOS:
            if other in results:
                ratios["pluvo_index/" + other] = (
                    results["pluvo_index"]["gb_per_s"] / results[other]["gb_per_s"]
                )
    return {"contenders": results, "ratios": ratios}


def raw_copy_rate(result, repeat, cache):
    """The raw_read rate of one workload's passes, the limit the readers are measured against."""
    return {
        "gb_per_s": result["contenders"]["raw_read"]["gb_per_s"],
        "contender": "raw_read",
        "passes": repeat,
        "cache": cache,
    }


def describe_rate(rate):
    line = "raw copy rate: %.3f GB/s (raw_read, best of %d, %s)" % (
        rate["gb_per_s"],
        rate["passes"],
        rate["cache"],
    )
    if "workload" in rate:
        line += ", of %s, the fastest of the workloads" % rate["workload"]
    return line


def print_table(bench_file, result, repeat, cache):
    print(
        "\n%s: %s, %d events, %.1f MB; best of %d, %s, GB/s from the best"
        " (for pluvo_index: the file's bytes over its time)"
        % (
            bench_file.name,
            bench_file.reader_type,
            bench_file.events,
            bench_file.size / 1e6,
            repeat,
            cache,
        )
    )
    print(describe_rate(result["raw_copy_rate"]))
    print("%-20s %9s %9s %13s %8s" % ("contender", "best s", "median s", "events/s", "GB/s"))
    for name, row in result["contenders"].items():
        print(
            "%-20s %9.4f %9.4f %13.0f %8.3f"
            % (name, row["best"], row["median"], row["events_per_s"], row["gb_per_s"])
        )
    print("  ".join("%s %.2fx" % item for item in result["ratios"].items()))


def time_threads(bench_file, repeat):
    """Seconds of pluvo summarise over four names of one file, in one thread and in two,
    taking turns."""
    from pluvo_tools import summarise

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
        "\npluvo summarise over 4 files of %s, best of %d: one thread %.3f s, two threads %.3f s:"
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
        "--threads", action="store_true", help="also time pluvo summarise in 1 and 2 threads"
    )
    parser.add_argument(
        "--cold",
        action="store_true",
        help="drop the page cache before every timed pass of the tables (root only), so each reads"
        " the disk; --threads and --memory stay warm",
    )
    parser.add_argument(
        "--collect",
        action="store_true",
        help="a full garbage collection before every timed pass of the tables: on PyPy, where"
        " arrays are freed by the collector, the passes then start alike and builds compare",
    )
    parser.add_argument(
        "--before",
        metavar="MODULE_FILE",
        help="also time this build of the module (pluvo*.so of an earlier version, say)",
    )
    args = parser.parse_args()
    if args.cold:
        check_cold_allowed()
    cache = "cold" if args.cold else "warm"
    if args.before:
        contenders.add_before(args.before)

    report = {
        "machine": machine(),
        "scale": args.scale,
        "repeat": args.repeat,
        "cache": cache,
        "workloads": {},
    }
    for key, value in report["machine"].items():
        print("%-6s %s" % (key, value))
    if args.collect:
        report["collect"] = True
        print("gc     a full collection before every timed pass")
    print(
        "cache  %s"
        % (
            "cold: page cache dropped before every timed pass"
            if args.cold
            else "warm: files in the page cache"
        )
    )
    files = make_files.ensure_all(args)
    for bench_file in files:
        check_agreement(bench_file, args.check_events)
        check_batches(bench_file)
        contenders.raw_read(bench_file.path)  # into the page cache
    print("all readers agree with pluvo on the first %d events of each file" % args.check_events)
    for bench_file in files:
        result = time_workload(bench_file, args.repeat, args.cold, args.collect)
        result.update(path=bench_file.path, events=bench_file.events, bytes=bench_file.size)
        result["raw_copy_rate"] = raw_copy_rate(result, args.repeat, cache)
        report["workloads"][bench_file.name] = result
        print_table(bench_file, result, args.repeat, cache)
    best = max(
        report["workloads"], key=lambda n: report["workloads"][n]["raw_copy_rate"]["gb_per_s"]
    )
    report["raw_copy_rate"] = dict(report["workloads"][best]["raw_copy_rate"], workload=best)
    print("\n" + describe_rate(report["raw_copy_rate"]))
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
