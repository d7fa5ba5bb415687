"""Times `pluvo convert` to Parquet against what a user writes by hand with NumPy and pyarrow:
bulk_columns' arrays per batch, each made a pyarrow RecordBatch and written as one row group.
Both contenders run interleaved in one process, best of --repeat, files in the page cache.

build/venv/bin/python bench/convert.py [--scale 0.05] [--repeat N]
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
from pluvo_tools import convert

import contenders
import make_files
from run import machine

WORKLOADS = ("wd1_small", "wd2_multi")


def by_pluvo(path, reader_type, out):
    parser = argparse.ArgumentParser()
    convert.add_arguments(parser)
    args = parser.parse_args([path, out, "--type", reader_type, "--max-events", "4096"])
    assert convert.run(args) == 0


def by_numpy(path, reader_type, out):
    writer = None
    for columns in contenders.bulk_columns(path, reader_type):
        data = columns.pop("data")
        rows, width = data.shape
        samples = pa.array(data.reshape(-1))
        offsets = pa.array(np.arange(rows + 1, dtype=np.int64) * width)
        arrays = [pa.array(column) for column in columns.values()]
        arrays.append(pa.LargeListArray.from_arrays(offsets, samples))
        batch = pa.RecordBatch.from_arrays(arrays, names=[*columns, "data"])
        if writer is None:
            writer = pq.ParquetWriter(out, batch.schema)
        writer.write_batch(batch, row_group_size=rows)
    writer.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(machine(), "pyarrow", pa.__version__)
    raw = {}
    print("| workload | MB | pluvo convert s | numpy+pyarrow s | ratio |")
    print("|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "out.parquet")
        for name in WORKLOADS:
            bench_file = make_files.ensure(name, args.scale)
            times = {by_pluvo: [], by_numpy: []}
            raw[name] = []
            for _ in range(args.repeat):
                start = time.perf_counter()
                contenders.raw_read(bench_file.path)
                raw[name].append(time.perf_counter() - start)
                for contender, spent in times.items():
                    start = time.perf_counter()
                    contender(bench_file.path, bench_file.reader_type, out)
                    spent.append(time.perf_counter() - start)
            ours, theirs = min(times[by_pluvo]), min(times[by_numpy])
            print(
                "| %s | %.0f | %.3f | %.3f | %.2f |"
                % (name, bench_file.size / 1e6, ours, theirs, theirs / ours)
            )
    rates = [
        "%s %.1f GB/s" % (n, make_files.ensure(n, args.scale).size / min(t) / 1e9)
        for n, t in raw.items()
    ]
    print("raw copy rate (raw_read, best of %d): %s" % (args.repeat, ", ".join(rates)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
