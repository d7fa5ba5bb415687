"""`pluvo info` and `pluvo plot`: the numbers to check in WD1/WD2 files before an analysis.

    pluvo info FILE... [--type WD1|WD2] [--baseline-samples N]
    pluvo plot FILE... -o PNG [--type WD1|WD2] [--baseline-samples N]

The format comes from --type, or else from the extension (.wd1 or .wd2). For each file, info
prints the event count, the channels, the samples per waveform, the event counters and any gaps
in them, the timestamp span and the event rate (in the digitizer's ticks), baseline mean and RMS
per channel (from the first samples of each waveform), whether the file ends in a cut-short
record, and what the file's index finds: its whole records and the bytes after them.

The files are streamed: only running sums, a fixed-size amplitude histogram per channel and the
first few waveforms are kept, so memory stays flat on files of any size. A file of 100 MB or
more shows its progress on a terminal (with tqdm installed: pip install "pluvo[progress]").

plot writes a PNG with the first waveforms and a histogram of pulse amplitudes (maximum minus
baseline, per channel, so positive pulses) of each file. It needs matplotlib
(pip install "pluvo[plot]"); without it, plot stops with a message and exit status 2 before
any file is read. Exit status 1 means a file could not be opened or read.
"""

from __future__ import annotations

import argparse
import math
import os
import struct
import sys
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Callable, Iterator, Sequence, TypeVar

import numpy as np
import numpy.typing as npt
import pluvo

from pluvo_tools.arguments import add_type_argument, at_least_one
from pluvo_tools.files import ReaderType, reader_type_of
from pluvo_tools.progress import Progress

if TYPE_CHECKING:
    from pluvo import WD1Event, WD2Event

KEPT_EVENTS = 4  # waveforms drawn per file
HISTOGRAM_BINS = 64
PROGRESS_FROM_BYTES = 100_000_000  # a file this large shows its progress on a terminal

E = TypeVar("E")


class GrowingHistogram:
    """A fixed number of equal bins whose range doubles whenever a value falls outside it: it
    takes any number of values, of any scale, in constant memory."""

    def __init__(self, bins: int = HISTOGRAM_BINS) -> None:
        self.counts = np.zeros(bins, dtype=np.int64)
        self.low = 0.0
        self.width = 0.0  # no range until the first value

    def add(self, value: float) -> None:
        if not math.isfinite(value):
            return
        bins = len(self.counts)
        if self.width == 0.0:
            self.low = value
            self.width = max(abs(value), 1.0) * 1e-6
        while True:
            index = math.floor((value - self.low) / self.width)
            if 0 <= index < bins:
                self.counts[index] += 1
                return
            merged = self.counts.reshape(-1, 2).sum(axis=1)
            self.counts = np.zeros(bins, dtype=np.int64)
            if index < 0:
                self.counts[bins // 2 :] = merged
                self.low -= bins * self.width
            else:
                self.counts[: bins // 2] = merged
            self.width *= 2

    def used(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """Counts and bin edges, without the empty bins on either side."""
        filled = np.flatnonzero(self.counts)
        if len(filled) == 0:
            return self.counts[:0], np.array([self.low])
        first, last = int(filled[0]), int(filled[-1]) + 1
        edges = self.low + self.width * np.arange(first, last + 1, dtype=np.float64)
        return self.counts[first:last], edges


@dataclass
class Channel:
    """Running baseline sums (shifted by the first waveform's baseline, for precision) and the
    amplitude histogram of one channel."""

    waveforms: int = 0
    baseline_samples: int = 0
    shift: float = 0.0
    total: float = 0.0
    sum_of_squares: float = 0.0
    amplitudes: GrowingHistogram = field(default_factory=GrowingHistogram)

    def add(self, waveform: npt.NDArray[np.generic], baseline_length: int) -> None:
        baseline = waveform[:baseline_length].astype(np.float64)
        if len(baseline) == 0:
            return
        if self.waveforms == 0:
            self.shift = float(baseline.mean())
        self.waveforms += 1
        self.baseline_samples += len(baseline)
        shifted = baseline - self.shift
        self.total += float(shifted.sum())
        self.sum_of_squares += float((shifted * shifted).sum())
        self.amplitudes.add(float(waveform.max()) - float(baseline.mean()))

    def baseline(self) -> tuple[float, float]:
        """Mean and RMS (spread around that mean) of all baseline samples."""
        mean = self.total / self.baseline_samples
        variance = max(self.sum_of_squares / self.baseline_samples - mean * mean, 0.0)
        return self.shift + mean, math.sqrt(variance)


@dataclass
class Span:
    """The smallest and the largest value seen."""

    low: int | None = None
    high: int | None = None

    def add(self, value: int) -> None:
        self.low = value if self.low is None else min(self.low, value)
        self.high = value if self.high is None else max(self.high, value)

    def __str__(self) -> str:
        if self.low is None:
            return "none"
        return str(self.low) if self.low == self.high else f"{self.low} to {self.high}"


@dataclass
class Summary:
    path: str
    reader_type: ReaderType
    events: int = 0
    header_size: int = 0
    waveform_lengths: Span = field(default_factory=Span)
    channel_counts: Span = field(default_factory=Span)
    sampling_periods: Span = field(default_factory=Span)
    channels: dict[str, Channel] = field(default_factory=dict)
    first_counter: int = 0
    last_counter: int = 0
    missing_counters: int = 0
    counter_gaps: int = 0
    counter_steps_back: int = 0
    first_timestamp: int = 0
    last_timestamp: int = 0
    timestamp_span: int = 0
    timestamp_steps_back: int = 0
    consumed_bytes: int = 0
    file_size: int = 0
    faults: int = 0
    first_fault: str = ""
    read_error: str | None = None
    indexed_events: int = 0
    index_tail: int = 0
    index_error: str | None = None
    kept: list[tuple[str, npt.NDArray[np.generic]]] = field(default_factory=list)

    def add_event(self, counter: int, timestamp: int) -> None:
        if self.events == 0:
            self.first_counter, self.first_timestamp = counter, timestamp
        else:
            # Counters wrap around at 2**32 (signed WD1 counters included).
            step = (counter - self.last_counter) % 2**32
            if 1 < step < 2**31:
                self.missing_counters += step - 1
                self.counter_gaps += 1
            elif step != 1:
                self.counter_steps_back += 1
            if timestamp >= self.last_timestamp:
                self.timestamp_span += timestamp - self.last_timestamp
            else:
                self.timestamp_steps_back += 1
        self.events += 1
        self.last_counter, self.last_timestamp = counter, timestamp

    def add_waveform(
        self, label: str, waveform: npt.NDArray[np.generic], baseline_length: int
    ) -> None:
        self.waveform_lengths.add(len(waveform))
        self.channels.setdefault(label, Channel()).add(waveform, baseline_length)
        if self.events <= KEPT_EVENTS:
            self.kept.append((f"event {self.last_counter} {label}", waveform))

    def failure(self) -> str | None:
        """Why the file could not be read whole, if it could not."""
        return self.read_error if self.read_error is not None else self.index_error


def is_record_fault(exc: BaseException) -> bool:
    """Whether the reader raised its internal fault (a size field out of range, for one): a
    BaseException whose class cannot be imported, so it is told by its module."""
    return type(exc).__module__ == "pyo3_runtime"


def wd2_header_size(path: str) -> int:
    """The header size of the layout the reader settled on (see how the README says it is
    recognised): 28 for multi-channel, 24 for single-channel."""
    size = os.path.getsize(path)
    with open(path, "rb") as file:
        counter, _, samples, period, channels = struct.unpack("<IQIQi", file.read(28))
        block = (channels % 2**32) * samples * 4 % 2**32
        if block < 2**31:
            file.seek(28 + block)
            second = file.read(28)
            if len(second) == 28:
                counter2, _, samples2, period2, channels2 = struct.unpack("<IQIQi", second)
                consecutive = counter2 == (counter + 1) % 2**32
                agree = (samples2, period2, channels2) == (samples, period, channels)
                return 28 if consecutive and agree else 24
        single = samples * 4 % 2**32
        file.seek(24 + single)
        after = file.read(24)
    if single < 2**31 and (
        size == 24 + single
        or (len(after) == 24 and struct.unpack("<IQ", after[12:]) == (samples, period))
    ):
        return 24
    return 28 if block < 2**31 and size == 28 + block else 24


def events_of(reader: Iterator[E], summary: Summary) -> Iterator[E]:
    """The reader's events; records the reader cannot read (internal faults, such as a size
    field out of range) are counted and skipped, as the reader can go on after them."""
    while True:
        try:
            yield next(reader)
        except StopIteration:
            return
        except BaseException as exc:
            if not is_record_fault(exc):
                raise
            if not summary.faults:
                summary.first_fault = str(exc)
            summary.faults += 1
            summary.consumed_bytes += summary.header_size  # only the header was consumed


def stream(
    summary: Summary,
    reader: Iterator[E],
    add: Callable[[Summary, E, int], None],
    baseline_length: int,
) -> None:
    size = os.path.getsize(summary.path)
    name = os.path.basename(summary.path)
    with Progress(size, "B", name, scale=True, shown=size >= PROGRESS_FROM_BYTES) as progress:
        reported = 0
        try:
            for event in events_of(reader, summary):
                add(summary, event, baseline_length)
                if summary.events % 1024 == 0:
                    progress.update(summary.consumed_bytes - reported)
                    reported = summary.consumed_bytes
        except OSError as exc:
            # The reader reports a read failure once and then stays finished.
            summary.read_error = str(exc)


def add_index(summary: Summary, reader: pluvo.EventReader[WD1Event | WD2Event]) -> None:
    try:
        index = reader.index()
    except BaseException as exc:
        if not (isinstance(exc, OSError) or is_record_fault(exc)):
            raise
        summary.index_error = str(exc)
        return
    summary.indexed_events = len(index)
    summary.index_tail = index.tail


def summarize(path: str, reader_type: ReaderType, baseline_length: int) -> Summary:
    """Indexes the file, then streams it once; a file that cannot be opened raises."""
    summary = Summary(path, reader_type)
    if reader_type == "WD1":
        with pluvo.EventReader(path, "WD1") as wd1:
            summary.header_size = 24
            add_index(summary, wd1)
            stream(summary, wd1, add_wd1, baseline_length)
    else:
        with pluvo.EventReader(path, "WD2") as wd2:
            summary.header_size = wd2_header_size(path)
            add_index(summary, wd2)
            stream(summary, wd2, add_wd2, baseline_length)
    summary.file_size = os.path.getsize(path)
    return summary


def add_wd1(summary: Summary, event: WD1Event, baseline_length: int) -> None:
    data = event["data"]
    summary.add_event(event["event_counter"], event["timestamp"])
    label = f"board {event['board_id']} ch {event['board_channel']}"
    summary.add_waveform(label, data, baseline_length)
    summary.consumed_bytes += summary.header_size + data.nbytes


def add_wd2(summary: Summary, event: WD2Event, baseline_length: int) -> None:
    data = event["data"]
    summary.add_event(event["event_counter"], event["timestamp"])
    summary.sampling_periods.add(event["sampling_period"])
    samples = event["samples"]
    # The samples are all channels' waveforms one after another.
    channels = len(data) // samples if samples else 0
    summary.channel_counts.add(channels)
    for channel in range(channels):
        waveform = data[channel * samples : (channel + 1) * samples]
        summary.add_waveform(f"ch {channel}", waveform, baseline_length)
    summary.consumed_bytes += summary.header_size + data.nbytes


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def report(summary: Summary, baseline_length: int) -> list[str]:
    lines = [f"{summary.path} ({summary.reader_type})"]

    def line(key: str, value: str) -> None:
        lines.append(f"  {key:<20}{value}")

    line("events", str(summary.events))
    if summary.reader_type == "WD2":
        layout = "multi" if summary.header_size == 28 else "single"
        line("layout", f"{layout}-channel ({summary.header_size}-byte headers)")
        line("channels", f"{summary.channel_counts} per event")
    else:
        line("channels", f"{len(summary.channels)}, one per record")
    if summary.events:
        line("samples", f"{summary.waveform_lengths} per waveform")
        if summary.sampling_periods.low is not None:
            line("sampling period", f"{summary.sampling_periods} (digitizer units)")
        counters = f"{summary.first_counter} to {summary.last_counter}, "
        if summary.missing_counters:
            gaps = plural(summary.counter_gaps, "gap")
            counters += f"{summary.missing_counters} missing in {gaps}"
        else:
            counters += "none missing"
        if summary.counter_steps_back:
            counters += f", {summary.counter_steps_back} out of order (repeated or going back)"
        line("event counters", counters)
        timestamps = f"{summary.first_timestamp} to {summary.last_timestamp} ticks"
        if summary.timestamp_span and summary.events > 1:
            rate = (summary.events - 1) / summary.timestamp_span
            timestamps += f", {rate:.3g} events per tick (one per {1 / rate:.6g} ticks)"
        if summary.timestamp_steps_back:
            timestamps += (
                f"; went back {plural(summary.timestamp_steps_back, 'time')}"
                " (wrap-around or reset), left out of the rate"
            )
        line("timestamps", timestamps)
        line("baseline", f"mean and RMS of the first {baseline_length} samples of each waveform")
        for label, channel in sorted(summary.channels.items()):
            if channel.baseline_samples:
                mean, rms = channel.baseline()
                line(f"  {label}", f"{mean:.6g} +- {rms:.4g} ({channel.waveforms} waveforms)")
    if summary.faults:
        line("unreadable records", f"{summary.faults} ({summary.first_fault})")
    if summary.index_error is not None:
        line("index", f"could not be read: {summary.index_error}")
    else:
        records = plural(summary.indexed_events, "whole record")
        line("index", f"{records}, then a tail of {plural(summary.index_tail, 'byte')}")
    if summary.read_error is not None:
        line("read failed", f"{summary.read_error}; the numbers above stop there")
    else:
        trailing = summary.file_size - summary.consumed_bytes
        if trailing > 0:
            line(
                "end of file",
                f"cut short: the last {trailing} of {summary.file_size} bytes are an"
                " incomplete record, which the reader skips",
            )
        else:
            line("end of file", f"clean: {summary.file_size} bytes, all in complete records")
    return lines


def plot(summaries: Sequence[Summary], out: str) -> None:
    # Imported here: the summary works without matplotlib.
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    figure = Figure(figsize=(12, 3.4 * len(summaries)), layout="constrained")
    axes = figure.subplots(len(summaries), 2, squeeze=False)
    for row, summary in zip(axes, summaries):
        waveforms, amplitudes = row
        name = os.path.basename(summary.path)
        for label, waveform in summary.kept:
            waveforms.plot(waveform, linewidth=0.8, label=label)
        waveforms.set(title=f"{name}: first waveforms", xlabel="sample", ylabel="value")
        for label, channel in sorted(summary.channels.items()):
            counts, edges = channel.amplitudes.used()
            if len(counts):
                amplitudes.stairs(counts, edges, label=label)
        amplitudes.set(
            title=f"{name}: pulse amplitudes", xlabel="maximum minus baseline", ylabel="waveforms"
        )
        for axis in row:
            if axis.has_data():
                axis.legend(fontsize="x-small")
    figure.savefig(out, dpi=80)


def add_file_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE")
    add_type_argument(parser)
    parser.add_argument(
        "--baseline-samples",
        type=at_least_one,
        default=32,
        metavar="N",
        help="samples at the start of each waveform taken as baseline (default 32)",
    )


def add_info_arguments(parser: argparse.ArgumentParser) -> None:
    add_file_arguments(parser)


def add_plot_arguments(parser: argparse.ArgumentParser) -> None:
    add_file_arguments(parser)
    parser.add_argument("-o", "--output", required=True, metavar="PNG", help="the figure to write")


def summaries(args: argparse.Namespace, command: str, failed: list[str]) -> Iterator[Summary]:
    """The summary of each file in turn. A file that could not be read whole is named on
    standard error and added to failed; its summary, if it has one, still comes."""
    for path in args.files:
        try:
            summary = summarize(path, reader_type_of(path, args.type), args.baseline_samples)
        except BaseException as exc:
            if not (isinstance(exc, (OSError, ValueError)) or is_record_fault(exc)):
                raise
            print(f"pluvo {command}: {path}: {exc}", file=sys.stderr)
            failed.append(path)
            continue
        failure = summary.failure()
        if failure is not None:
            print(f"pluvo {command}: {path}: {failure}", file=sys.stderr)
            failed.append(path)
        yield summary


def run_info(args: argparse.Namespace) -> int:
    failed: list[str] = []
    for summary in summaries(args, "info", failed):
        print("\n".join(report(summary, args.baseline_samples)))
    return 1 if failed else 0


def run_plot(args: argparse.Namespace) -> int:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print('pluvo plot: needs matplotlib: pip install "pluvo[plot]"', file=sys.stderr)
        return 2
    failed: list[str] = []
    drawn = list(summaries(args, "plot", failed))
    if drawn:
        plot(drawn, args.output)
        print(f"plot written to {args.output}")
    return 1 if failed else 0
