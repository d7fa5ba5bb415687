"""Writes WD1 and WD2 waveform files byte for byte: for tests, simulations and pipelines.

Each ``*_record`` function returns the bytes of one record; a file is those records one after
another, with no header, trailer or padding. All values are little-endian.

WD1 record: six int32 header fields (event_size, board_id, pattern, board_channel,
event_counter, timestamp) followed by uint16 samples; event_size counts the whole record,
header included.

WD2 record: event_counter (uint32), timestamp (uint64), samples (uint32, per channel),
sampling_period (uint64), then, in the multi-channel layout only, channels (int32); then
channels x samples float32 values, channel after channel.
"""

import os
import struct
from typing import BinaryIO, Iterable, Optional, Sequence, Union

WD1_HEADER_SIZE = 24
WD2_SINGLE_CHANNEL_HEADER_SIZE = 24
WD2_MULTI_CHANNEL_HEADER_SIZE = 28


def wd1_record(
    samples: Iterable[int],
    *,
    board_id: int = 0,
    pattern: int = 0,
    board_channel: int = 0,
    event_counter: int = 0,
    timestamp: int = 0,
    event_size: Optional[int] = None,
) -> bytes:
    """One WD1 record of unsigned 16-bit samples.

    event_size defaults to the size that matches the samples; pass another value to write a
    record whose size field lies (to test how a reader copes with it). Header fields must fit
    in a signed 32-bit integer.
    """
    values = list(samples)
    body = struct.pack(f"<{len(values)}H", *values)
    if event_size is None:
        event_size = WD1_HEADER_SIZE + len(body)
    header = struct.pack(
        "<6i", event_size, board_id, pattern, board_channel, event_counter, timestamp
    )
    return header + body


def wd2_record(
    samples: Iterable[float],
    *,
    event_counter: int,
    timestamp: int = 0,
    samples_per_channel: Optional[int] = None,
    sampling_period: int = 0,
    channels: Optional[int] = None,
) -> bytes:
    """One WD2 record of 32-bit float samples, all channels' samples one after another.

    channels=None writes the single-channel layout (24-byte header, no channels field); an
    integer writes the multi-channel layout (28-byte header ending in that count).
    samples_per_channel defaults to the number of samples divided by the channel count; pass
    another value to write a header that disagrees with its samples.
    """
    values = list(samples)
    if samples_per_channel is None:
        samples_per_channel = len(values) // (channels or 1)
    header = struct.pack("<IQIQ", event_counter, timestamp, samples_per_channel, sampling_period)
    if channels is not None:
        header += struct.pack("<i", channels)
    return header + struct.pack(f"<{len(values)}f", *values)


def wd2_multi_channel_record(
    channel_samples: Sequence[Sequence[float]],
    *,
    event_counter: int,
    timestamp: int = 0,
    sampling_period: int = 0,
) -> bytes:
    """One multi-channel WD2 record from one equally long sample sequence per channel."""
    lengths = {len(channel) for channel in channel_samples}
    if len(lengths) > 1:
        raise ValueError(f"channels differ in length: {sorted(lengths)}")
    return wd2_record(
        [value for channel in channel_samples for value in channel],
        event_counter=event_counter,
        timestamp=timestamp,
        samples_per_channel=lengths.pop() if lengths else 0,
        sampling_period=sampling_period,
        channels=len(channel_samples),
    )


def write_records(out: BinaryIO, records: Iterable[bytes]) -> None:
    """Appends the records to an open binary stream, in order."""
    for record in records:
        out.write(record)


def write_file(path: Union[str, "os.PathLike[str]"], records: Iterable[bytes]) -> int:
    """Writes (or replaces) a file holding the records; returns its size in bytes."""
    with open(path, "wb") as out:
        write_records(out, records)
        return out.tell()
