"""Writes WD1 and WD2 waveform files, byte for byte, for tests and pipelines.

WD1 record: six little-endian int32 header fields (event_size, board_id, pattern,
board_channel, event_counter, timestamp) followed by uint16 samples; event_size counts
the whole record, header included.

WD2 record: event_counter (u32), timestamp (u64), samples (u32), sampling_period (u64),
then, in the multi-channel layout only, channels (i32); then channels x samples float32.
"""

import struct
from typing import BinaryIO, Iterable, Optional


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
    """One WD1 record; event_size defaults to the size that matches the samples."""
    values = list(samples)
    body = struct.pack(f"<{len(values)}H", *values)
    if event_size is None:
        event_size = 24 + len(body)
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
    """One WD2 record; channels=None writes the single-channel layout (no channels field)."""
    values = list(samples)
    if samples_per_channel is None:
        samples_per_channel = len(values) // (channels or 1)
    header = struct.pack("<IQIQ", event_counter, timestamp, samples_per_channel, sampling_period)
    if channels is not None:
        header += struct.pack("<i", channels)
    return header + struct.pack(f"<{len(values)}f", *values)


def write_records(out: BinaryIO, records: Iterable[bytes]) -> None:
    for record in records:
        out.write(record)
