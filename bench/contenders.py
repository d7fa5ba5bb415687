"""The readers timed against pluvo. Event readers yield the same dicts as pluvo.EventReader;
raw readers only move the bytes, as the I/O limit; index readers read the record headers only."""

import mmap
import os
import struct
import sys

import numpy as np
import pluvo

import layouts
from module_files import load_module

CHUNK_BYTES = 1 << 20
BATCH_EVENTS = 4096
BATCH_BYTES = 2 << 20  # as pluvo batches by default


def consume(events):
    """Counts the events and their samples, so no reader can skip work."""
    count = samples = 0
    for event in events:
        count += 1
        samples += len(event["data"])
    return count, samples


def pluvo_reader(path, reader_type):
    return pluvo.EventReader(path, reader_type)


def wd2_channels(f):
    """The channel count of a multi-channel file, None for a single-channel one; probes as pluvo
    does (two headers read as multi-channel), then rewinds."""
    size = layouts.WD2_MULTI_HEADER_SIZE
    first = struct.unpack(layouts.WD2_MULTI_HEADER, f.read(size))
    f.seek(first[4] * first[2] * 4 % 2**32, os.SEEK_CUR)
    head = f.read(size)
    f.seek(0)
    if len(head) < size:
        raise OSError("too short to probe the WD2 layout")
    second = struct.unpack(layouts.WD2_MULTI_HEADER, head)
    consecutive = second[0] == (first[0] + 1) % 2**32 and second[2:] == first[2:]
    return second[4] if consecutive else None


# The hand-written loops bind what they call per record to locals, as a careful user would.
def _wd1_struct(f):
    read, unpack, frombuffer = f.read, struct.Struct(layouts.WD1_HEADER).unpack, np.frombuffer
    header_size = layouts.WD1_HEADER_SIZE
    while True:
        head = read(header_size)
        if len(head) < header_size:
            return
        size, board_id, pattern, board_channel, counter, timestamp = unpack(head)
        length = max(size - header_size, 0) // 2 * 2
        block = read(length)
        if len(block) < length:
            return
        yield {
            "event_size": size,
            "board_id": board_id,
            "pattern": pattern,
            "board_channel": board_channel,
            "event_counter": counter,
            "timestamp": timestamp,
            "data": frombuffer(block, np.uint16),
        }


def _wd2_struct(f):
    channels = wd2_channels(f)
    if channels is None:
        header, header_size = layouts.WD2_SINGLE_HEADER, layouts.WD2_SINGLE_HEADER_SIZE
    else:
        header, header_size = layouts.WD2_MULTI_HEADER, layouts.WD2_MULTI_HEADER_SIZE
    read, unpack, frombuffer = f.read, struct.Struct(header).unpack, np.frombuffer
    while True:
        head = read(header_size)
        if len(head) < header_size:
            return
        fields = unpack(head)
        length = 4 * (channels or 1) * fields[2]
        block = read(length)
        if len(block) < length:
            return
        yield {
            "event_counter": fields[0],
            "timestamp": fields[1],
            "samples": fields[2],
            "sampling_period": fields[3],
            "channels": fields[4] if channels is not None else 1,
            "data": frombuffer(block, np.float32),
        }


def struct_reader(path, reader_type):
    with open(path, "rb") as f:
        yield from (_wd1_struct if reader_type == "WD1" else _wd2_struct)(f)


def _fixed_layout(f, reader_type):
    """The record dtype of the first record, the header field that fixes the record size and its
    value; every record must share them."""
    if reader_type == "WD1":
        size = struct.unpack(layouts.WD1_HEADER, f.read(layouts.WD1_HEADER_SIZE))[0]
        f.seek(0)
        return layouts.wd1_dtype(max(size - layouts.WD1_HEADER_SIZE, 0) // 2), "event_size", size
    channels = wd2_channels(f)
    samples = struct.unpack(layouts.WD2_SINGLE_HEADER, f.read(layouts.WD2_SINGLE_HEADER_SIZE))[2]
    f.seek(0)
    return layouts.wd2_dtype(samples, channels or 1, channels is not None), "samples", samples


def _wd1_rows(columns, data):
    for a, b, c, d, e, t, x in zip(*columns, data):
        yield {
            "event_size": a,
            "board_id": b,
            "pattern": c,
            "board_channel": d,
            "event_counter": e,
            "timestamp": t,
            "data": x,
        }


def _wd2_multi_rows(columns, data):
    for e, t, s, p, c, x in zip(*columns, data):
        yield {
            "event_counter": e,
            "timestamp": t,
            "samples": s,
            "sampling_period": p,
            "channels": c,
            "data": x,
        }


def _wd2_single_rows(columns, data):
    for e, t, s, p, x in zip(*columns, data):
        yield {
            "event_counter": e,
            "timestamp": t,
            "samples": s,
            "sampling_period": p,
            "channels": 1,
            "data": x,
        }


def bulk_numpy(path, reader_type):
    """What a careful user writes: about 1 MiB of records per numpy.fromfile, the header columns
    turned into lists once, and each event a dict literal."""
    with open(path, "rb") as f:
        dtype, size_field, size = _fixed_layout(f, reader_type)
        names = [name for name in dtype.names if name != "data"]
        if reader_type == "WD1":
            rows = _wd1_rows
        else:
            rows = _wd2_multi_rows if "channels" in names else _wd2_single_rows
        count = max(1, CHUNK_BYTES // dtype.itemsize)
        while True:
            records = np.fromfile(f, dtype, count)
            if not len(records):
                return
            if (records[size_field] != size).any():
                raise ValueError("bulk_numpy needs records of one size")
            yield from rows([records[name].tolist() for name in names], records["data"])


def pluvo_batches(path, reader_type):
    return pluvo.EventReader(path, reader_type).batches(max_events=BATCH_EVENTS)


def pluvo_index(path, reader_type):
    return pluvo.EventReader(path, reader_type).index()


def bulk_columns(path, reader_type):
    """What pluvo's batches give, the NumPy way: per batch, numpy.fromfile of as many records as
    the same two limits allow, then each field made a contiguous array of its own."""
    with open(path, "rb") as f:
        dtype, _, _ = _fixed_layout(f, reader_type)
        names = [name for name in dtype.names if name != "data"]
        single_channel = reader_type == "WD2" and "channels" not in names
        count = max(1, min(BATCH_EVENTS, BATCH_BYTES // dtype["data"].itemsize))
        while True:
            records = np.fromfile(f, dtype, count)
            if not len(records):
                return
            batch = {name: np.ascontiguousarray(records[name]) for name in names}
            if single_channel:
                batch["channels"] = np.ones(len(records), np.int32)
            batch["data"] = np.ascontiguousarray(records["data"])
            yield batch


def raw_read(path, _reader_type=None):
    buffer = bytearray(CHUNK_BYTES)
    total = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            n = f.readinto(buffer)
            if not n:
                return total
            total += n


def raw_read_8k(path, _reader_type=None):
    fd = os.open(path, os.O_RDONLY)
    total = 0
    try:
        while True:
            n = len(os.read(fd, 8192))
            if not n:
                return total
            total += n
    finally:
        os.close(fd)


# Buffers one os.readv() takes at most (the system's IOV_MAX).
_MAX_PARTS = 1024


def raw_scatter(path, reader_type):
    """The kernel's part of a read that puts every block in its row with one copy, as batches read
    rows of 8 KiB and more, and nothing else: per os.readv, up to 1 MiB of records, each header
    into a scratch area and each block into its row of a reused array of a batch's size.
    raw_read moves a page per copy; this moves two parts per record."""
    with open(path, "rb", buffering=0) as f:
        dtype, _, _ = _fixed_layout(f, reader_type)
        block = dtype["data"].itemsize
        header = dtype.itemsize - block
        rows = max(1, min(BATCH_EVENTS, BATCH_BYTES // block))
        per_call = max(1, min(_MAX_PARTS // 2, CHUNK_BYTES // dtype.itemsize, rows))
        storage = memoryview(np.empty(rows * block, np.uint8))
        headers = memoryview(bytearray(header * per_call))
        calls = []
        for first in range(0, rows, per_call):
            parts = []
            for i, row in enumerate(range(first, min(rows, first + per_call))):
                parts += [
                    headers[i * header : (i + 1) * header],
                    storage[row * block : (row + 1) * block],
                ]
            calls.append(parts)
        total = 0
        fd = f.fileno()
        while True:
            for parts in calls:
                n = os.readv(fd, parts)
                if not n:
                    return total
                total += n


_IN_MEMORY = {}


def floor_events(path, reader_type):
    """Not a reader: WD1 events built in C from the file's bytes, loaded into memory beforehand (on
    the first call), the plain way. What remains of pluvo's time above it is I/O and overhead.
    The bytes lie outside the interpreter's heap: as a bytes object they made PyPy's collector
    run a tenth as often for every other reader after them."""
    import floor

    if path not in _IN_MEMORY:
        with open(path, "rb") as f:
            data = mmap.mmap(-1, max(1, os.fstat(f.fileno()).st_size))
            f.readinto(data)
            _IN_MEMORY[path] = (floor.module(), data)
    built, data = _IN_MEMORY[path]
    return built.FloorEvents(data)


def applies(name, reader_type):
    if name == "raw_scatter":
        return hasattr(os, "readv")  # PyPy 3.9 has none
    return name != "floor" or reader_type == "WD1"


def add_before(path):
    """Adds "pluvo_before", "pluvo_batches_before" and "pluvo_index_before": another build of the
    module (an earlier version, say), loaded from its file beside the current one, so both are
    timed in one run."""
    module = load_module("pluvo", path)
    # Loading an extension module puts it in sys.modules: the current build stays "pluvo".
    sys.modules["pluvo"] = pluvo
    EVENT_READERS["pluvo_before"] = module.EventReader
    BATCH_READERS["pluvo_batches_before"] = lambda path, reader_type: module.EventReader(
        path, reader_type
    ).batches(max_events=BATCH_EVENTS)
    if hasattr(module.EventReader, "index"):  # builds older than index() have none to time
        INDEX_READERS["pluvo_index_before"] = lambda path, reader_type: module.EventReader(
            path, reader_type
        ).index()


EVENT_READERS = {
    "pluvo": pluvo_reader,
    "struct_reader": struct_reader,
    "bulk_numpy": bulk_numpy,
    "floor": floor_events,
}
BATCH_READERS = {"pluvo_batches": pluvo_batches, "bulk_columns": bulk_columns}
RAW_READERS = {"raw_read": raw_read, "raw_read_8k": raw_read_8k, "raw_scatter": raw_scatter}
INDEX_READERS = {"pluvo_index": pluvo_index}
