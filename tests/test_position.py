"""EventReader.tell(), seek(), batches(stop=), close() and `with`: positions are the offsets a walk
of the bytes finds, and reading from any record boundary gives exactly that slice of one pass."""

import contextlib
import os
import pathlib
import random
import textwrap
import threading

import numpy as np
import pluvo
import pytest
from fault_helpers import (
    SHIM_CONTROL,
    preloading,
    read_shim_fixture,  # noqa: F401 - provides the read_shim fixture
    require,
    run_script,
)
from helpers import open_descriptors
from record_walk import wd1_outcomes, wd2_outcomes, wd2_probe
from test_batches import by_events, drain, flat, ragged_and_corrupt_files, rows_of
from test_truncation import FILES as PREFIX_FILES

DATA = pathlib.Path(__file__).resolve().parent / "data"
BUNDLED = [("sample.wd1", "WD1"), ("sample_multi.wd2", "WD2"), ("sample_single.wd2", "WD2")]


def walk(data, kind):
    """Each record or corrupt size of one pass with the offset it starts at and the offset after
    it; None where the layout probe refuses the file."""
    if kind == "WD1":
        header, outcomes = 24, wd1_outcomes(data)
    else:
        layout = wd2_probe(data)
        if isinstance(layout, str):
            return None
        header, outcomes = layout[0], wd2_outcomes(data, *layout)
    steps, offset = [], 0
    for outcome in outcomes:
        end = offset + header + (len(outcome[2]) if outcome[0] == "record" else 0)
        steps.append((outcome[0], offset, end))
        offset = end
    return steps


def long_file(writer, kind, count=400):
    def record(n):
        samples = 3 + (n // 37) % 4
        if kind == "WD1":
            return writer.wd1_record([n % 65536] * samples, event_counter=n)
        return writer.wd2_record([float(n)] * 2 * samples, event_counter=n, channels=2)

    return [record(n) for n in range(count)]


def every_file(writer):
    """(name, kind, bytes) of the files the batch tests read."""
    for name, kind in BUNDLED:
        yield name, kind, (DATA / name).read_bytes()
    for name, make in PREFIX_FILES.items():
        whole = b"".join(make(writer))
        for length in range(0, len(whole) + 1, 7):
            yield "%s[:%d]" % (name, length), name[:3], whole[:length]
    for case, (kind, records) in ragged_and_corrupt_files(writer).items():
        yield case, kind, b"".join(records)
    for kind in ("WD1", "WD2"):
        yield "long-" + kind, kind, b"".join(long_file(writer, kind))


@pytest.fixture
def files(tmp_path, writer):
    def generate():
        for number, (name, kind, data) in enumerate(every_file(writer)):
            path = tmp_path / ("%d.bin" % number)
            path.write_bytes(data)
            steps = walk(data, kind)
            if steps is not None:
                yield name, kind, str(path), data, steps

    return generate()


def test_tell_is_the_offset_after_each_record(files):
    for name, kind, path, data, steps in files:
        reader = pluvo.EventReader(path, kind)
        assert reader.tell() == 0, name  # the layout probe's reading does not count
        for _, _, end in steps:
            try:
                next(reader)
            except StopIteration:
                pytest.fail("%s: ended before offset %d" % (name, end))
            except BaseException:  # noqa: B036 - a corrupt size keeps its header consumed
                pass
            assert reader.tell() == end, name
        with pytest.raises(StopIteration):
            next(reader)
        assert reader.tell() == len(data), name  # where the data ended, a cut-short record too


def test_seek_to_any_record_gives_the_rest_of_one_pass(files):
    choose = random.Random(5)
    for name, kind, path, _, steps in files:
        _, expected = by_events(path, kind)
        expected = [o for o in expected if o[0] != "end"]
        reader = pluvo.EventReader(path, kind)
        for k in sorted(choose.sample(range(len(steps)), min(len(steps), 4)), reverse=True):
            assert reader.seek(steps[k][1]) == steps[k][1]
            got = [o for o in drain(lambda: [next(reader)], None) if o[0] != "end"]
            assert got == expected[k:], (name, k)


def test_batches_up_to_stop_give_the_slice_and_next_goes_on(files):
    choose = random.Random(7)
    for name, kind, path, _, steps in files:
        records = [i for i, step in enumerate(steps) if step[0] == "record"]
        if len(records) != len(steps) or not steps:
            continue  # a corrupt size raises inside the slice: the batch tests cover it
        _, expected = by_events(path, kind)
        events = [o[1:] for o in expected if o[0] == "event"]
        reader = pluvo.EventReader(path, kind)
        for _ in range(3):
            boundaries = [step[1] for step in steps] + [steps[-1][2]]
            k, m = sorted(choose.choices(range(len(boundaries)), k=2))
            stop = boundaries[m]
            for limits in ({}, {"max_events": 3}, {"max_bytes": 1}):
                reader.seek(np.uint64(boundaries[k]))
                got = [
                    flat(row)
                    for batch in reader.batches(**limits, stop=np.int64(stop))
                    for row in rows_of(batch, kind, limits)
                ]
                assert got == events[k:m], (name, k, m, limits)
                assert reader.tell() == stop
                if m < len(steps):
                    assert flat(next(reader)) == events[m]


@pytest.mark.parametrize(("name", "kind"), BUNDLED)
@pytest.mark.parametrize("max_bytes", [1, 3000, 2**20])
def test_partitions_read_apart_are_one_pass(name, kind, max_bytes):
    path = str(DATA / name)
    _, expected = by_events(path, kind)
    reader = pluvo.EventReader(path, kind)
    got = []
    for start, stop in reversed(reader.index().partitions(max_bytes)):
        reader.seek(start)
        part = [flat(row) for b in reader.batches(stop=stop) for row in rows_of(b, kind, {})]
        got = part + got
    assert got == [o[1:] for o in expected if o[0] == "event"]


def test_a_stop_before_the_position_gives_nothing(write_file, writer):
    reader = pluvo.EventReader(write_file(long_file(writer, "WD1", 10)), "WD1")
    next(reader)
    assert list(reader.batches(stop=0)) == []
    assert next(reader)["event_counter"] == 1


def test_seek_clears_the_end_and_a_deferred_failure(write_file, writer):
    records = long_file(writer, "WD1", 6)
    records[3] = writer.wd1_record([], event_size=0, event_counter=3)  # a corrupt size
    reader = pluvo.EventReader(write_file(records), "WD1")
    assert len(next(reader.batches())["data"]) == 3  # the failure is deferred
    reader.seek(0)  # and dropped
    assert [next(reader)["event_counter"] for _ in range(3)] == [0, 1, 2]
    with pytest.raises(BaseException, match="^capacity overflow$"):
        next(reader)
    assert [e["event_counter"] for e in reader] == [4, 5]
    reader.seek(0)  # a finished reader reads again
    assert next(reader)["event_counter"] == 0


CAST = "argument '%s': '%s' object cannot be cast as 'int'"
TOO_MANY = "EventReader.%s() takes %s positional argument%s but %d were given"


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda r: r.seek(-1), ValueError, "negative seek position -1"),
        (lambda r: r.seek(-(2**70)), ValueError, "negative seek position -%d" % 2**70),
        (lambda r: r.seek(np.int8(-3)), ValueError, "negative seek position -3"),
        (lambda r: r.seek(1.0), TypeError, CAST % ("offset", "float")),
        (lambda r: r.seek(None), TypeError, CAST % ("offset", "NoneType")),
        (lambda r: r.seek(offset="0"), TypeError, CAST % ("offset", "str")),
        (
            lambda r: r.seek(),
            TypeError,
            "EventReader.seek() missing 1 required positional argument: 'offset'",
        ),
        (lambda r: r.seek(1, 2), TypeError, TOO_MANY % ("seek", "1", "", 2)),
        (lambda r: r.batches(stop=-1), ValueError, "stop must be at least 0"),
        (lambda r: r.batches(stop=1.5), TypeError, CAST % ("stop", "float")),
        (lambda r: r.batches(stop="1"), TypeError, CAST % ("stop", "str")),
        (lambda r: r.batches(1, 2, 3), TypeError, TOO_MANY % ("batches", "from 0 to 2", "s", 3)),
        (
            lambda r: r.batches(max_events=np.float64(2)),
            TypeError,
            CAST % ("max_events", "float64"),
        ),
    ],
)
def test_wrong_arguments(write_file, writer, call, error, message):
    reader = pluvo.EventReader(write_file(long_file(writer, "WD1", 3)), "WD1")
    with pytest.raises(error) as raised:
        call(reader)
    assert type(raised.value) is error and str(raised.value) == message
    assert next(reader)["event_counter"] == 0


def test_integers_of_numpy_and_bool_are_ints(write_file, writer):
    path = write_file(long_file(writer, "WD1", 20))
    reader = pluvo.EventReader(path, "WD1")
    index = reader.index()
    assert reader.seek(index.offsets[5]) == int(index.offsets[5])
    assert type(reader.seek(np.int32(0))) is int and reader.seek(True) == 1
    reader.seek(0)
    sizes = [len(b["data"]) for b in reader.batches(np.int16(4), np.uint64(10**6), stop=None)]
    assert sizes == [4] * 5
    assert index.partitions(np.int64(10**9)) == [(0, int(index.offsets[-1]))]


def test_a_fifo_cannot_seek(tmp_path, writer):
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    feeding = threading.Thread(target=fifo.write_bytes, args=(writer.wd1_record([1, 2]),))
    feeding.start()
    reader = pluvo.EventReader(str(fifo), "WD1")
    with pytest.raises(OSError) as raised:
        reader.seek(0)
    assert type(raised.value) is OSError and str(raised.value) == "Illegal seek (os error 29)"
    assert next(reader)["data"].tolist() == [1, 2] and reader.tell() == 28
    feeding.join()


SEEK_AND_READ = textwrap.dedent(
    """
    import json, sys
    import pluvo

    reader = pluvo.EventReader(sys.argv[1], "WD1")
    offsets = reader.index().offsets
    next(reader)  # NumPy's table is in hand
    fail_reads(sys.argv[1], 0, count=0)  # counts only
    reader.seek(offsets[150000])
    event = next(reader)
    print(json.dumps([event["event_counter"], shim_counter("seeks"), shim_counter("calls")]))
    """
)


def test_seek_and_next_make_one_seek_and_one_read(tmp_path, writer, read_shim):
    records = np.zeros(200000, dtype=[("header", "<i4", 6), ("data", "<u2", 500)])
    records["header"][:, 0] = 24 + 1000  # event_size
    records["header"][:, 4] = np.arange(200000)  # event_counter
    (tmp_path / "large.wd1").write_bytes(records.tobytes())  # 200 MB
    result = run_script(
        SHIM_CONTROL + SEEK_AND_READ,
        "large.wd1",
        tmp_path=tmp_path,
        env=preloading(require(read_shim)),
    )
    assert result == [150000, 1, 1]


def test_seek_waits_for_a_read_in_progress(write_file, writer):
    path = write_file([writer.wd1_record([n] * 30, event_counter=n) for n in range(20000)])
    reader = pluvo.EventReader(path, "WD1")
    counters = []
    reading = threading.Thread(
        target=lambda: counters.extend(
            c for batch in reader.batches(max_events=64) for c in batch["event_counter"].tolist()
        )
    )
    reading.start()
    for _ in range(20):
        position = reader.tell()
        assert position % 84 == 0
        assert reader.seek(position) == position  # never inside a batch being read
    reading.join()
    assert counters == list(range(20000))


CLOSED = "I/O operation on closed file."


@pytest.mark.parametrize(
    "call",
    [
        lambda r: next(r),
        lambda r: next(r.batches()),
        lambda r: r.tell(),
        lambda r: r.seek(0),
        lambda r: r.index(),
        lambda r: iter(r),
        lambda r: r.__enter__(),
    ],
)
def test_a_closed_reader_refuses_every_request(write_file, writer, call):
    reader = pluvo.EventReader(write_file(long_file(writer, "WD1", 3)), "WD1")
    batches = reader.batches()
    reader.close()
    reader.close()  # again, nothing happens
    with pytest.raises(ValueError) as raised:
        call(reader)
    assert type(raised.value) is ValueError and str(raised.value) == CLOSED
    with pytest.raises(ValueError, match="closed file"):
        next(batches)  # made before the close


def test_close_releases_the_file_at_once_and_arrays_stay(write_file, writer):
    path = write_file(long_file(writer, "WD1", 5))
    before = open_descriptors()
    reader = pluvo.EventReader(path, "WD1")
    event, batch = next(reader), next(reader.batches())
    reader.close()
    assert open_descriptors() == before
    assert event["data"].tolist() == [0, 0, 0] and batch["event_counter"].tolist() == [1, 2, 3, 4]


@pytest.mark.parametrize("failing", [False, True])
def test_with_closes_on_leaving(write_file, writer, failing):
    path = write_file(long_file(writer, "WD1", 5))
    before = open_descriptors()
    with pytest.raises(KeyError) if failing else contextlib.nullcontext():
        with pluvo.EventReader(path, "WD1") as reader:
            assert isinstance(reader, pluvo.EventReader) and next(reader)["event_counter"] == 0
            if failing:
                raise KeyError("inside")
    assert open_descriptors() == before
    with pytest.raises(ValueError, match="closed file"):
        reader.tell()


def test_close_waits_for_a_read_in_progress(write_file, writer):
    path = write_file([writer.wd1_record([n] * 30, event_counter=n) for n in range(50000)])
    reader = pluvo.EventReader(path, "WD1")
    outcome = []

    def read():
        counters = []
        try:
            for batch in reader.batches(max_events=64):
                counters.extend(batch["event_counter"].tolist())
        except ValueError as exc:
            outcome.append(str(exc))
        outcome.append(counters)

    reading = threading.Thread(target=read)
    reading.start()
    while reader_is_fresh(reader):
        pass
    reader.close()
    reading.join()
    *error, counters = outcome
    assert error in ([], [CLOSED])
    assert counters == list(range(len(counters)))  # whole batches up to the close


def reader_is_fresh(reader):
    try:
        return reader.tell() == 0
    except ValueError:
        return False
