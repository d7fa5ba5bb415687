"""Writes the benchmark files into build/bench-data with fixed seeds, only when missing."""

import argparse
import os
from typing import NamedTuple, Optional

import numpy as np

import layouts

DATA_DIR = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "bench-data"
)
CHUNK_BYTES = 32 << 20


class Workload(NamedTuple):
    reader_type: str
    samples: int
    channels: Optional[int]  # None: WD1, or the WD2 single-channel layout
    events: int
    seed: int

    def dtype(self):
        if self.reader_type == "WD1":
            return layouts.wd1_dtype(self.samples)
        return layouts.wd2_dtype(self.samples, self.channels or 1, self.channels is not None)


WORKLOADS = {
    "wd1_small": Workload("WD1", 1024, None, 100_000, 1),
    "wd1_large": Workload("WD1", 262_144, None, 400, 2),
    "wd2_multi": Workload("WD2", 1024, 4, 20_000, 3),
    "wd2_single": Workload("WD2", 1024, None, 50_000, 4),
}


class BenchFile(NamedTuple):
    name: str
    path: str
    reader_type: str
    events: int
    size: int


def _fill(records, first, workload, rng):
    index = np.arange(first, first + len(records), dtype=np.int64)
    if workload.reader_type == "WD1":
        records["event_size"] = records.dtype.itemsize
        records["board_id"] = 1
        records["board_channel"] = index % 8
        records["event_counter"] = index
        records["timestamp"] = index * 1000 % 2**31
        records["data"] = rng.integers(0, 1 << 14, records["data"].shape, dtype=np.uint16)
        return
    records["event_counter"] = index + 1
    records["timestamp"] = index * 1_000_000
    records["samples"] = workload.samples
    records["sampling_period"] = 200
    records["data"] = rng.standard_normal(records["data"].shape, dtype=np.float32)
    if workload.channels is None:
        # Read as a channel count, 0.0 keeps the layout probe from taking it for multi-channel.
        records["data"][:, 0] = 0.0
    else:
        records["channels"] = workload.channels


def ensure(name, scale=1.0):
    """The file of workload `name` at `scale`, written unless already there at its full size."""
    workload = WORKLOADS[name]
    events = max(2, round(workload.events * scale))  # the WD2 probe needs two records
    dtype = workload.dtype()
    path = os.path.join(DATA_DIR, "%s-%d.%s" % (name, events, workload.reader_type.lower()))
    size = events * dtype.itemsize
    if not (os.path.exists(path) and os.path.getsize(path) == size):
        os.makedirs(DATA_DIR, exist_ok=True)
        rng = np.random.default_rng(workload.seed)
        per_chunk = max(1, CHUNK_BYTES // dtype.itemsize)
        with open(path + ".tmp", "wb") as out:
            for first in range(0, events, per_chunk):
                records = np.zeros(min(per_chunk, events - first), dtype)
                _fill(records, first, workload, rng)
                records.tofile(out)
        os.replace(path + ".tmp", path)
    return BenchFile(name, path, workload.reader_type, events, size)


def add_arguments(parser):
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the event counts")
    parser.add_argument(
        "--workloads",
        nargs="+",
        choices=list(WORKLOADS),
        default=list(WORKLOADS),
        metavar="NAME",
        help="some of: %s (default: all)" % ", ".join(WORKLOADS),
    )


def ensure_all(args):
    return [ensure(name, args.scale) for name in args.workloads]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    add_arguments(parser)
    for bench_file in ensure_all(parser.parse_args()):
        print(bench_file.path)


if __name__ == "__main__":
    main()
