"""Memory, descriptor and import costs of pluvo, each measured in a fresh interpreter.

build/venv/bin/python bench/memory.py [--scale 0.05] [--workloads NAME ...]
"""

import json
import os
import sys

MIB = 1 << 20
READERS = 2000
# What an open reader may cost: its 8 KiB first buffer and object, and at most 16 KiB more.
OPEN_READER_LIMIT = 26 * 1024
IMPORT_RUNS = 7
IMPORT_TARGET_MS = 5.0


def _status_bytes(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def _open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def child_pass(path, reader_type, events):
    """RSS over one full pass; the baseline is taken with NumPy and pluvo imported."""
    import numpy  # noqa: F401
    import pluvo

    baseline = _status_bytes("VmRSS")
    early_mark = max(1, events // 100)
    early = largest = count = 0
    for event in pluvo.EventReader(path, reader_type):
        count += 1
        largest = max(largest, event["data"].nbytes)
        if count == early_mark:
            early = _status_bytes("VmRSS")
    event = None
    return {
        "events": count,
        "baseline": baseline,
        "early": early,
        "final": _status_bytes("VmRSS"),
        "peak": _status_bytes("VmHWM"),
        "largest_event": largest,
    }


def child_descriptors(files):
    """Creates and drops readers one at a time, every other one after its first event."""
    import gc

    import pluvo

    before = _open_descriptors()
    for index in range(READERS):
        path, reader_type = files[index % len(files)]
        reader = pluvo.EventReader(path, reader_type)
        if index % 2:
            next(reader)
        reader = None
    dropped = _open_descriptors()
    gc.collect()
    return {"before": before, "after": dropped, "after_gc": _open_descriptors()}


def child_open_readers(files):
    """RSS of READERS readers held open at once, half of them after their first event."""
    import resource

    import numpy  # noqa: F401
    import pluvo

    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    path, reader_type = files[0]
    next(pluvo.EventReader(path, reader_type))  # NumPy and the caches, before the baseline
    baseline = _status_bytes("VmRSS")
    readers = []
    for index in range(READERS):
        readers.append(pluvo.EventReader(*files[index % len(files)]))
        if index % 2:
            next(readers[-1])
    return {"readers": len(readers), "growth": _status_bytes("VmRSS") - baseline}


def child_import():
    import time

    start = time.perf_counter()
    import pluvo  # noqa: F401

    seconds = time.perf_counter() - start
    return {"seconds": seconds, "numpy_imported": "numpy" in sys.modules}


def _in_child(kind, *args):
    import subprocess

    command = [sys.executable, os.path.abspath(__file__), "--child", kind, json.dumps(args)]
    return json.loads(subprocess.run(command, stdout=subprocess.PIPE, check=True, text=True).stdout)


def report(files):
    """Measures and prints; `files` are make_files.BenchFile entries."""
    print("\nmemory with pluvo, each pass in a fresh interpreter (MiB; baseline: NumPy and pluvo")
    print("imported; limit of the peak above it: largest event + 2 MiB; growth: RSS after")
    print("the full pass minus RSS after the first 1% of events, must stay under 1 MiB)")
    print(
        "%-11s %9s %8s %10s %9s %8s %8s  %s"
        % ("workload", "baseline", "peak", "peak-base", "largest", "limit", "growth", "ok")
    )
    result = {"passes": {}}
    for bench_file in files:
        row = _in_child("pass", bench_file.path, bench_file.reader_type, bench_file.events)
        above = row["peak"] - row["baseline"]
        limit = row["largest_event"] + 2 * MIB
        growth = row["final"] - row["early"]
        row.update(peak_above_baseline=above, limit=limit, growth=growth)
        row["ok"] = above <= limit and growth < MIB and row["events"] == bench_file.events
        result["passes"][bench_file.name] = row
        print(
            "%-11s %9.1f %8.1f %10.2f %9.3f %8.1f %8.2f  %s"
            % (
                bench_file.name,
                row["baseline"] / MIB,
                row["peak"] / MIB,
                above / MIB,
                row["largest_event"] / MIB,
                limit / MIB,
                growth / MIB,
                "yes" if row["ok"] else "NO",
            )
        )

    fds = _in_child("descriptors", [(f.path, f.reader_type) for f in files])
    fds["ok"] = fds["after_gc"] <= fds["before"]
    result["descriptors"] = fds
    print(
        "\nopen descriptors: %d before, %d after creating and dropping %d readers, %d after"
        " gc.collect(): %s"
        % (fds["before"], fds["after"], READERS, fds["after_gc"], "ok" if fds["ok"] else "LEAK")
    )

    held = _in_child("open_readers", [(f.path, f.reader_type) for f in files])
    per_reader = held["growth"] / held["readers"]
    held["ok"] = per_reader <= OPEN_READER_LIMIT
    result["open_readers"] = held
    print(
        "%d readers open at once, half after their first event: %.1f KiB each (limit %d KiB): %s"
        % (held["readers"], per_reader / 1024, OPEN_READER_LIMIT // 1024, held["ok"])
    )

    runs = [_in_child("import") for _ in range(IMPORT_RUNS)]
    best_ms = min(run["seconds"] for run in runs) * 1e3
    numpy_imported = any(run["numpy_imported"] for run in runs)
    result["import"] = {
        "best_ms": best_ms,
        "runs_ms": [run["seconds"] * 1e3 for run in runs],
        "numpy_imported": numpy_imported,
        "ok": best_ms < IMPORT_TARGET_MS and not numpy_imported,
    }
    print(
        "import pluvo: best %.2f ms of %d fresh interpreters (target < %.0f ms); "
        "imports numpy: %s" % (best_ms, IMPORT_RUNS, IMPORT_TARGET_MS, numpy_imported)
    )
    return result


CHILDREN = {
    "pass": child_pass,
    "descriptors": child_descriptors,
    "open_readers": child_open_readers,
    "import": child_import,
}


def main():
    if sys.argv[1:2] == ["--child"]:
        print(json.dumps(CHILDREN[sys.argv[2]](*json.loads(sys.argv[3]))))
        return
    import argparse

    import make_files

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    make_files.add_arguments(parser)
    args = parser.parse_args()
    report(make_files.ensure_all(args))


if __name__ == "__main__":
    main()
