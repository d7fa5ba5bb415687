"""Summarises many acquisition files at once with pluvo's batches: events and bytes, a histogram
of pulse amplitudes per channel, and the gaps in the event counters.

    python3 examples/summarise.py PATH... [--type WD1|WD2] [--threads N | --dask N]
                                  [--partition-bytes B] [--json]

A PATH is a file, or a directory whose .wd1 and .wd2 files are all taken. The format comes from
--type, or else from each file's extension. Three ways to run:

- one thread (the default);
- --threads N: a pool of N threads, one part each at a time. They overlap because pluvo reads
  batches with the interpreter lock released, and NumPy releases it for its loops;
- --dask N: Dask on a local cluster of N worker processes (pip install "pluvo[dask]"), as a lab
  spreads a run of thousands of files over a cluster. Tasks get (path, start, stop), never
  readers.

A file larger than --partition-bytes (default 64 MiB) is split into parts at record boundaries
by its index, read from its headers alone, so that one large file keeps every worker busy. Each
part is read with seek(start) and batches(stop=stop); the counter steps between parts are added
when a file's parts are put together, so the summary equals one thread's.

The amplitude of a pulse is its maximum minus its baseline (the mean of its first 32 samples),
per channel: WD1 channels are the board channels, WD2 ones the blocks of a record's samples.
Histograms have 64 bins from 0 to 16384 ADC counts (WD1) or to 2.0 (WD2, volts); amplitudes
outside fall into the first or last bin. Counters that step by more than one count the events in
between as lost; a step back (or no step) counts as a reset.

On a terminal, progress shows files and bytes done (tqdm, or Dask's bar); nothing but the
summary is written otherwise. Exit status 1: a file could not be read (the others are summed).
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import pathlib
import sys
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Literal, Sequence, TypeVar

import numpy as np
import numpy.typing as npt
import pluvo

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from progress import Progress  # noqa: E402

if TYPE_CHECKING:
    from pluvo import WD1Batch, WD2Batch

ReaderType = Literal["WD1", "WD2"]
BINS = 64
FULL_SCALE = {"WD1": 16384.0, "WD2": 2.0}
BASELINE_SAMPLES = 32
COUNTER_MODULUS = 2**32
PARTITION_BYTES = 64 * 2**20
B = TypeVar("B", "WD1Batch", "WD2Batch")


@dataclass
class Summary:
    files: int = 0
    bytes: int = 0
    events: int = 0
    lost_events: int = 0
    counter_resets: int = 0
    histograms: dict[str, list[int]] = field(default_factory=dict)  # "WD1 ch 3" -> counts
    failures: list[str] = field(default_factory=list)


def merge(first: Summary, second: Summary) -> Summary:
    histograms = dict(first.histograms)
    for channel, counts in second.histograms.items():
        mine = histograms.get(channel, [0] * BINS)
        histograms[channel] = [a + b for a, b in zip(mine, counts)]
    return Summary(
        files=first.files + second.files,
        bytes=first.bytes + second.bytes,
        events=first.events + second.events,
        lost_events=first.lost_events + second.lost_events,
        counter_resets=first.counter_resets + second.counter_resets,
        histograms=dict(sorted(histograms.items())),
        failures=first.failures + second.failures,
    )


def merge_all(summaries: Iterable[Summary]) -> Summary:
    return functools.reduce(merge, summaries, Summary())


def amplitudes(data: npt.NDArray[np.generic], samples: int) -> npt.NDArray[np.float64]:
    """Events x channels: maximum minus baseline of each channel's block of samples."""
    rows = data.shape[0]
    channels = data.shape[1] // samples if samples else 0
    blocks = data[:, : channels * samples].reshape(rows, channels, samples)
    peaks = blocks.max(axis=2).astype(np.float64)
    baselines = blocks[:, :, :BASELINE_SAMPLES].astype(np.float64).mean(axis=2)
    result: npt.NDArray[np.float64] = peaks - baselines
    return result


def add_histogram(summary: Summary, name: str, values: npt.NDArray[np.float64], top: float) -> None:
    counts = np.bincount(
        np.clip((values * (BINS / top)).astype(np.intp), 0, BINS - 1), minlength=BINS
    )
    mine = summary.histograms.setdefault(name, [0] * BINS)
    summary.histograms[name] = [a + int(b) for a, b in zip(mine, counts)]


def add_wd1(summary: Summary, batch: WD1Batch) -> None:
    data = batch["data"]
    peaks = amplitudes(data, data.shape[1])[:, 0]
    for channel in np.unique(batch["board_channel"]):
        add_histogram(
            summary,
            f"WD1 ch {channel}",
            peaks[batch["board_channel"] == channel],
            FULL_SCALE["WD1"],
        )


def add_wd2(summary: Summary, batch: WD2Batch) -> None:
    peaks = amplitudes(batch["data"], int(batch["samples"][0]))
    for channel in range(peaks.shape[1]):
        add_histogram(summary, f"WD2 ch {channel}", peaks[:, channel], FULL_SCALE["WD2"])


@dataclass(frozen=True)
class Part:
    """Records of one file from byte `start` to the record boundary `stop` (None: its end)."""

    path: str
    reader_type: ReaderType
    start: int = 0
    stop: int | None = None


@dataclass
class PartSummary:
    summary: Summary
    first_counter: int | None = None  # to count the steps between consecutive parts
    last_counter: int | None = None


def add_counter_steps(summary: Summary, counters: npt.NDArray[np.int64]) -> None:
    steps = np.diff(counters) % COUNTER_MODULUS
    forward = (steps > 1) & (steps < COUNTER_MODULUS // 2)
    summary.lost_events += int((steps[forward] - 1).sum())
    summary.counter_resets += int(((steps == 0) | (steps >= COUNTER_MODULUS // 2)).sum())


def add_batches(part: PartSummary, batches: Iterator[B], add: Callable[[Summary, B], None]) -> None:
    summary = part.summary
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            return
        except BaseException as exc:  # noqa: B036 - PanicException: a corrupt record
            if type(exc).__module__ != "pyo3_runtime":
                raise
            summary.failures.append(str(exc))
            continue
        add(summary, batch)
        counters: npt.NDArray[np.int64] = batch["event_counter"].astype(np.int64)
        summary.events += len(counters)
        if part.last_counter is not None:
            counters = np.concatenate([[part.last_counter], counters])
        else:
            part.first_counter = int(counters[0])
        add_counter_steps(summary, counters)
        part.last_counter = int(counters[-1])


def summarise_part(part: Part, max_events: int = 4096) -> PartSummary:
    """One part's summary; a file that cannot be read is reported among the failures."""
    result = PartSummary(Summary())
    try:
        if part.reader_type == "WD1":
            with pluvo.EventReader(part.path, "WD1") as wd1:
                wd1.seek(part.start)
                add_batches(result, wd1.batches(max_events=max_events, stop=part.stop), add_wd1)
        else:
            with pluvo.EventReader(part.path, "WD2") as wd2:
                wd2.seek(part.start)
                add_batches(result, wd2.batches(max_events=max_events, stop=part.stop), add_wd2)
    except OSError as exc:
        result.summary.failures.append(f"{part.path}: {exc}")
    return result


def parts_of(path: str, reader_type: ReaderType, partition_bytes: int) -> list[Part]:
    """The file whole, or split by its index. A file whose index cannot be made is read whole,
    which reports what is wrong with it."""
    if os.path.getsize(path) <= partition_bytes:
        return [Part(path, reader_type)]
    try:
        with pluvo.EventReader(path, reader_type) as reader:
            ranges = reader.index().partitions(partition_bytes)
    except BaseException as exc:  # noqa: B036 - PanicException: a corrupt record
        if not isinstance(exc, OSError) and type(exc).__module__ != "pyo3_runtime":
            raise
        return [Part(path, reader_type)]
    return [Part(path, reader_type, start, stop) for start, stop in ranges] or [
        Part(path, reader_type)
    ]


def file_summary(path: str, parts: Sequence[PartSummary]) -> Summary:
    """A file's parts, in order, put together, with the counter steps between them."""
    summary = Summary(files=1, bytes=os.path.getsize(path))
    previous: int | None = None
    for part in parts:
        summary = merge(summary, part.summary)
        if previous is not None and part.first_counter is not None:
            add_counter_steps(summary, np.array([previous, part.first_counter], dtype=np.int64))
        if part.last_counter is not None:
            previous = part.last_counter
    return summary


def reader_type_of(path: str, given: ReaderType | None) -> ReaderType:
    if given is not None:
        return given
    return "WD2" if path.lower().endswith(".wd2") else "WD1"


def files_of(paths: Sequence[str]) -> list[str]:
    found: list[str] = []
    for path in paths:
        if os.path.isdir(path):
            found += sorted(
                os.path.join(path, name)
                for name in os.listdir(path)
                if name.lower().endswith((".wd1", ".wd2"))
            )
        else:
            found.append(path)
    return found


def parts_by_file(
    paths: Sequence[str], given: ReaderType | None, partition_bytes: int
) -> dict[str, list[Part]]:
    return {p: parts_of(p, reader_type_of(p, given), partition_bytes) for p in paths}


def part_bytes(part: Part) -> int:
    stop = os.path.getsize(part.path) if part.stop is None else part.stop
    return max(stop - part.start, 0)


def summarise(
    paths: Sequence[str],
    given: ReaderType | None,
    threads: int = 1,
    partition_bytes: int = PARTITION_BYTES,
) -> Summary:
    """With threads > 1, a pool of that many threads takes the parts one at a time each."""
    files = parts_by_file(paths, given, partition_bytes)
    with Progress(sum(map(os.path.getsize, paths)), "B", "files", scale=True) as progress:
        with ThreadPoolExecutor(max_workers=threads) as pool:
            futures = {
                path: [pool.submit(summarise_part, part) for part in parts]
                for path, parts in files.items()
            }
            sizes = {
                future: part_bytes(part)
                for path, parts in files.items()
                for future, part in zip(futures[path], parts)
            }
            for done, future in enumerate(as_completed(sizes), 1):
                progress.describe(f"{done}/{len(sizes)} parts of {len(files)} files")
                progress.update(sizes[future])
    return merge_all(
        file_summary(path, [f.result() for f in of_file]) for path, of_file in futures.items()
    )


def summarise_with_dask(
    paths: Sequence[str],
    given: ReaderType | None,
    workers: int,
    partition_bytes: int = PARTITION_BYTES,
) -> Summary:
    """A local cluster of `workers` processes, loopback only; each part is one task."""
    import importlib
    import logging

    # Typed as Any: Dask's own annotations are partial.
    cloudpickle: Any = importlib.import_module("cloudpickle")
    delayed: Any = importlib.import_module("dask").delayed
    distributed: Any = importlib.import_module("dask.distributed")
    if __name__ != "__main__":
        # The workers need not find this file: its functions travel with the tasks.
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with (
        distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            silence_logs=logging.ERROR,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        files = [
            delayed(file_summary)(path, [delayed(summarise_part)(part) for part in parts])
            for path, parts in parts_by_file(paths, given, partition_bytes).items()
        ]
        future = client.compute(delayed(merge_all)(files))
        if sys.stderr.isatty():
            distributed.progress(future)
        result: Summary = future.result()
    return result


def report(summary: Summary) -> str:
    lines = [
        f"{summary.files} files, {summary.bytes} bytes, {summary.events} events",
        f"counters: {summary.lost_events} events lost, {summary.counter_resets} resets",
    ]
    for name, counts in summary.histograms.items():
        fmt, _, channel = name.split(" ", 2)
        width = FULL_SCALE[fmt] / BINS
        peak = int(np.argmax(counts))
        lines.append(
            f"{name}: {sum(counts)} pulses, most between {peak * width:g} and"
            f" {(peak + 1) * width:g}"
        )
    lines += [f"failed: {failure}" for failure in summary.failures]
    return "\n".join(lines)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+", metavar="PATH")
    parser.add_argument("--type", choices=("WD1", "WD2"), help="default: from each extension")
    how = parser.add_mutually_exclusive_group()
    how.add_argument("--threads", type=int, default=1, metavar="N", help="threads (default 1)")
    how.add_argument("--dask", type=int, metavar="N", help="Dask worker processes")
    parser.add_argument(
        "--partition-bytes",
        type=int,
        default=PARTITION_BYTES,
        metavar="B",
        help="split files larger than this (default 64 MiB)",
    )
    parser.add_argument("--json", action="store_true", help="the summary as JSON")
    args = parser.parse_args(argv)
    paths = files_of(args.paths)
    partition_bytes = max(1, args.partition_bytes)
    if args.dask is not None:
        summary = summarise_with_dask(paths, args.type, args.dask, partition_bytes)
    else:
        summary = summarise(paths, args.type, max(1, args.threads), partition_bytes)
    print(json.dumps(asdict(summary)) if args.json else report(summary))
    return 1 if summary.failures else 0


if __name__ == "__main__":
    sys.exit(main())
