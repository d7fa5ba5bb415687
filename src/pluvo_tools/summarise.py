"""Summarises many acquisition files at once with pluvo's batches: events and bytes, a histogram
of pulse amplitudes per channel, and the gaps in the event counters.

A PATH is a file, or a directory whose .wd1 and .wd2 files are all taken. The format comes from
--type, or else from each file's extension. Four ways to run:

- one thread (the default);
- --threads N: a pool of N threads, one part each at a time. They overlap because pluvo reads
  batches with the interpreter lock released, and NumPy releases it for its loops;
- --dask N: Dask on a local cluster of N worker processes (pip install "pluvo[dask]");
- --scheduler ADDRESS: the Dask cluster whose scheduler listens at ADDRESS, as a lab spreads a
  run of thousands of files over many machines. Its workers need pluvo installed. The cluster
  is left running. Tasks get (path, start, stop), never readers.

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
summary is written otherwise. Exit status 1: a file could not be read (the others are summed;
standard error names it).
"""

from __future__ import annotations

import argparse
import functools
import importlib
import json
import logging
import os
import sys
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Sequence, TypeVar

import numpy as np
import numpy.typing as npt
import pluvo

from pluvo_tools.arguments import add_type_argument, at_least_one
from pluvo_tools.files import ReaderType, files_of, reader_type_of
from pluvo_tools.progress import Progress
from pluvo_tools.quicklook import is_record_fault

if TYPE_CHECKING:
    from pluvo import WD1Batch, WD2Batch

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
    """Records of one file from byte `start` to the record boundary `stop` (None: its end), in
    the format given (None: the one its extension names)."""

    path: str
    given: ReaderType | None
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


def add_batches(
    part: PartSummary, path: str, batches: Iterator[B], add: Callable[[Summary, B], None]
) -> None:
    summary = part.summary
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            return
        except BaseException as exc:  # noqa: B036 - PanicException: a corrupt record
            if not is_record_fault(exc):
                raise
            summary.failures.append(f"{path}: {exc}")
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
        if reader_type_of(part.path, part.given) == "WD1":
            with pluvo.EventReader(part.path, "WD1") as wd1:
                wd1.seek(part.start)
                wd1_batches = wd1.batches(max_events=max_events, stop=part.stop)
                add_batches(result, part.path, wd1_batches, add_wd1)
        else:
            with pluvo.EventReader(part.path, "WD2") as wd2:
                wd2.seek(part.start)
                wd2_batches = wd2.batches(max_events=max_events, stop=part.stop)
                add_batches(result, part.path, wd2_batches, add_wd2)
    except (OSError, ValueError) as exc:  # ValueError: a format that cannot be told
        result.summary.failures.append(f"{part.path}: {exc}")
    return result


def size_of(path: str) -> int:
    """0 for a file that cannot be found: reading it reports why."""
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def parts_of(path: str, given: ReaderType | None, partition_bytes: int) -> list[Part]:
    """The file whole, or split by its index. A file whose index cannot be made is read whole,
    which reports what is wrong with it."""
    if size_of(path) <= partition_bytes:
        return [Part(path, given)]
    try:
        with pluvo.EventReader(path, reader_type_of(path, given)) as reader:
            ranges = reader.index().partitions(partition_bytes)
    except BaseException as exc:  # noqa: B036 - PanicException: a corrupt record
        if not isinstance(exc, (OSError, ValueError)) and not is_record_fault(exc):
            raise
        return [Part(path, given)]
    return [Part(path, given, start, stop) for start, stop in ranges] or [Part(path, given)]


def file_summary(path: str, parts: Sequence[PartSummary]) -> Summary:
    """A file's parts, in order, put together, with the counter steps between them."""
    summary = Summary(files=1, bytes=size_of(path))
    previous: int | None = None
    for part in parts:
        summary = merge(summary, part.summary)
        if previous is not None and part.first_counter is not None:
            add_counter_steps(summary, np.array([previous, part.first_counter], dtype=np.int64))
        if part.last_counter is not None:
            previous = part.last_counter
    return summary


def parts_by_file(
    paths: Sequence[str], given: ReaderType | None, partition_bytes: int
) -> dict[str, list[Part]]:
    return {path: parts_of(path, given, partition_bytes) for path in paths}


def part_bytes(part: Part) -> int:
    stop = size_of(part.path) if part.stop is None else part.stop
    return max(stop - part.start, 0)


def summarise(
    paths: Sequence[str],
    given: ReaderType | None,
    threads: int = 1,
    partition_bytes: int = PARTITION_BYTES,
) -> Summary:
    """With threads > 1, a pool of that many threads takes the parts one at a time each."""
    files = parts_by_file(paths, given, partition_bytes)
    with Progress(sum(map(size_of, paths)), "B", "files", scale=True) as progress:
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


def summarise_on(
    client: Any, paths: Sequence[str], given: ReaderType | None, partition_bytes: int
) -> Summary:
    """Each part one task on the cluster of a distributed.Client; workers import this module."""
    # Typed as Any: Dask's own annotations are partial.
    delayed: Any = importlib.import_module("dask").delayed
    files = [
        delayed(file_summary)(path, [delayed(summarise_part)(part) for part in parts])
        for path, parts in parts_by_file(paths, given, partition_bytes).items()
    ]
    future = client.compute(delayed(merge_all)(files))
    if sys.stderr.isatty():
        importlib.import_module("distributed").progress(future)
    result: Summary = future.result()
    return result


def summarise_with_dask(
    paths: Sequence[str],
    given: ReaderType | None,
    workers: int,
    partition_bytes: int = PARTITION_BYTES,
) -> Summary:
    """A local cluster of `workers` processes, loopback only, for as long as the summary takes."""
    distributed: Any = importlib.import_module("distributed")
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
        return summarise_on(client, paths, given, partition_bytes)


def summarise_with_scheduler(
    paths: Sequence[str],
    given: ReaderType | None,
    address: str,
    partition_bytes: int = PARTITION_BYTES,
) -> Summary:
    """The cluster of a running scheduler; only the client is closed, the cluster stays."""
    distributed: Any = importlib.import_module("distributed")
    with distributed.Client(address) as client:
        return summarise_on(client, paths, given, partition_bytes)


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
    return "\n".join(lines)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("paths", nargs="+", metavar="PATH", help="a file or a directory of them")
    add_type_argument(parser)
    how = parser.add_mutually_exclusive_group()
    how.add_argument(
        "--threads", type=at_least_one, default=1, metavar="N", help="threads (default 1)"
    )
    how.add_argument(
        "--dask", type=at_least_one, metavar="N", help="a local Dask cluster of N processes"
    )
    how.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler's address")
    parser.add_argument(
        "--partition-bytes",
        type=at_least_one,
        default=PARTITION_BYTES,
        metavar="B",
        help="split files larger than this (default 64 MiB)",
    )
    parser.add_argument("--json", action="store_true", help="the summary as JSON")


def run(args: argparse.Namespace) -> int:
    paths = files_of(args.paths)
    if args.dask is not None or args.scheduler is not None:
        try:
            importlib.import_module("distributed")
        except ImportError:
            print(
                'pluvo summarise: Dask is not installed: pip install "pluvo[dask]"', file=sys.stderr
            )
            return 2
    if args.dask is not None:
        summary = summarise_with_dask(paths, args.type, args.dask, args.partition_bytes)
    elif args.scheduler is not None:
        try:
            summary = summarise_with_scheduler(
                paths, args.type, args.scheduler, args.partition_bytes
            )
        except OSError as exc:  # no scheduler there; a timeout is an OSError too
            print(f"pluvo summarise: {args.scheduler}: {exc}", file=sys.stderr)
            return 1
    else:
        summary = summarise(paths, args.type, args.threads, args.partition_bytes)
    print(json.dumps(asdict(summary)) if args.json else report(summary))
    for failure in summary.failures:
        print(f"pluvo summarise: {failure}", file=sys.stderr)
    return 1 if summary.failures else 0
