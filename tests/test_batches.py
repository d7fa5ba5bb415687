"""EventReader.batches(): the batches' columns, put end to end, are exactly the events next()
gives, with the same exceptions at the same places, whatever the limits."""

import itertools
import os
import pathlib
import textwrap
import threading

import numpy as np
import pluvo
import pytest
from fault_helpers import (
    SANITIZED,
    SHIM_CONTROL,
    preloading,
    read_shim_fixture,  # noqa: F401 - provides the read_shim fixture
    require,
    run_script,
)
from helpers import SETTLED
from record_walk import wd1_outcomes
from test_truncation import FILES as PREFIX_FILES

DATA = pathlib.Path(__file__).resolve().parent / "data"
COLUMN_TYPES = {
    "WD1": dict.fromkeys(
        ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"],
        np.int32,
    ),
    "WD2": {
        "event_counter": np.uint32,
        "timestamp": np.uint64,
        "samples": np.uint32,
        "sampling_period": np.uint64,
        "channels": np.int32,
    },
}
SAMPLE_TYPES = {"WD1": np.uint16, "WD2": np.float32}


def raised(exc):
    return ["raised", type(exc).__module__, type(exc).__name__, list(exc.args)]


def by_events(path, kind, calls=None):
    """What next() gives until it has ended twice in a row: events and exceptions."""
    reader = pluvo.EventReader(path, kind)
    return reader, drain(lambda: [next(reader)], calls)


def by_batches(path, kind, calls=None, **limits):
    reader = pluvo.EventReader(path, kind)
    batches = reader.batches(**limits)
    return reader, drain(lambda: rows_of(next(batches), kind, limits), calls)


def drain(step, calls):
    """Outcomes of step() (a list of events each) until two ends in a row, or `calls` steps."""
    outcomes, ends = [], 0
    for _ in range(calls) if calls else itertools.count():
        try:
            events = step()
        except StopIteration:
            ends += 1
            outcomes.append(["end"])
            if ends == 2 and not calls:
                return outcomes
            continue
        except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
            outcomes.append(raised(exc))
        else:
            outcomes.extend(["event", *flat(event)] for event in events)
        ends = 0
    return outcomes


def flat(event):
    return [(key, value.tobytes() if key == "data" else value) for key, value in event.items()]


def rows_of(batch, kind, limits):
    """A batch checked for its form, then split into one dict per event."""
    keys = list(COLUMN_TYPES[kind]) + ["data"]
    assert list(batch) == keys
    rows = len(batch["data"])
    assert 1 <= rows <= limits.get("max_events", 65536)
    for key, dtype in COLUMN_TYPES[kind].items():
        column = batch[key]
        assert type(column) is np.ndarray and column.dtype == dtype and column.shape == (rows,)
    data = batch["data"]
    assert data.dtype == SAMPLE_TYPES[kind] and data.ndim == 2
    assert data.flags.c_contiguous and data.flags.writeable
    row_bytes = data.shape[1] * data.itemsize
    if rows > 1:
        assert rows * row_bytes <= limits.get("max_bytes", 2 << 20)
    for array in batch.values():
        assert type(array.base).__name__ == "PySliceContainer"  # memory of its own
    return [
        {**{key: batch[key][i].item() for key in keys[:-1]}, "data": data[i]} for i in range(rows)
    ]


LIMITS = [
    {},
    {"max_events": 1},
    {"max_events": 3},
    {"max_events": 7, "max_bytes": 20},
    {"max_bytes": 1},
    {"max_events": 2**70, "max_bytes": 2**70},
]


def assert_same_reading(path, kind, calls=None):
    _, expected = by_events(path, kind, calls)
    for limits in LIMITS:
        _, got = by_batches(path, kind, calls, **limits)
        events_expected = [o for o in expected if o[0] != "end"]
        assert [o for o in got if o[0] != "end"] == events_expected, limits


@pytest.mark.parametrize(
    ("name", "kind"),
    [("sample.wd1", "WD1"), ("sample_multi.wd2", "WD2"), ("sample_single.wd2", "WD2")],
)
def test_bundled_samples(name, kind):
    assert_same_reading(str(DATA / name), kind)


@pytest.mark.parametrize("name", PREFIX_FILES)
def test_every_truncation_length(tmp_path, writer, name):
    whole = b"".join(PREFIX_FILES[name](writer))
    kind = name[:3]
    path = tmp_path / "events.bin"
    for length in range(len(whole) + 1):
        path.write_bytes(whole[:length])
        try:
            pluvo.EventReader(str(path), kind)
        except BaseException:  # noqa: B036 - the probe's refusals belong to other tests
            continue
        assert_same_reading(str(path), kind)


def ragged_and_corrupt_files(writer):
    """Records of changing lengths, impossible sizes in the middle, records without samples."""
    wd1 = writer.wd1_record
    wd2 = writer.wd2_record
    return {
        "wd1-lengths": (
            "WD1",
            [wd1([n] * (n % 3 + 1), event_counter=n) for n in range(20)]
            + [wd1([], event_counter=9)],
        ),
        "wd1-corrupt-size": (
            "WD1",
            [wd1([1, 2], event_counter=n) for n in range(5)]
            + [wd1([], event_size=0)]
            + [wd1([3, 4], event_counter=n) for n in range(5, 9)]
            + [wd1([5, 6], event_size=-7)],
        ),
        "wd1-no-samples": ("WD1", [wd1([], event_counter=n) for n in range(10)]),
        "wd2-multi-corrupt": (
            "WD2",
            [wd2([n] * 4, event_counter=n, channels=2) for n in range(6)]
            + [wd2([], event_counter=6, samples_per_channel=2**28, channels=2)]
            + [wd2([n] * 4, event_counter=n, channels=2) for n in range(7, 12)],
        ),
        "wd2-single-lengths": (
            "WD2",
            # the first two agree, as the layout probe needs
            [wd2([0.5] + [n] * (2 if n < 2 else n % 3 + 1), event_counter=n) for n in range(12)],
        ),
    }


RAGGED_AND_CORRUPT = [
    "wd1-lengths",
    "wd1-corrupt-size",
    "wd1-no-samples",
    "wd2-multi-corrupt",
    "wd2-single-lengths",
]


@pytest.mark.parametrize("case", RAGGED_AND_CORRUPT)
def test_ragged_and_corrupt_files(write_file, writer, case):
    kind, records = ragged_and_corrupt_files(writer)[case]
    path = write_file(records)
    assert_same_reading(path, kind, calls=60)


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_long_files_whose_record_lengths_change(write_file, writer, kind):
    # Far more than the first read-ahead: rows are then read straight from the file, many at a
    # time, and what comes after a change of length is read again.
    def record(n):
        length = 3 + (n // 37) % 4
        if kind == "WD1":
            size = 0 if n == 900 else None  # an impossible size among them
            return writer.wd1_record([n % 65536] * length, event_counter=n, event_size=size)
        return writer.wd2_record([n] * 2 * length, event_counter=n, channels=2)

    path = write_file([record(n) for n in range(1, 3000)])
    assert_same_reading(path, kind)


def test_a_trickling_fifo(tmp_path, writer):
    records = b"".join(writer.wd1_record([n] * (1 + n % 3), event_counter=n) for n in range(400))
    expected = (
        [
            (e["event_counter"], e["data"].tolist())
            for e in pluvo.EventReader(str(tmp_path / "copy.wd1"), "WD1")
        ]
        if (tmp_path / "copy.wd1").write_bytes(records)
        else []
    )
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)

    def write():
        fd = os.open(fifo, os.O_WRONLY)
        for start in range(0, len(records), 997):  # pieces that cut records anywhere
            os.write(fd, records[start : start + 997])
        os.close(fd)

    threading.Thread(target=write).start()
    got = []
    for batch in pluvo.EventReader(str(fifo), "WD1").batches(max_events=500):
        got += [(c, row.tolist()) for c, row in zip(batch["event_counter"].tolist(), batch["data"])]
    assert got == expected


FIFO_UNDER_A_LIMIT = SETTLED + textwrap.dedent(
    """
    import json, sys
    import numpy, pluvo

    # Room for what the stream holds, many times over; far from what max_events would take.
    limit_address_space(64 << 20)
    columns, samples = {}, []
    for batch in pluvo.EventReader(sys.argv[1], "WD1").batches(max_events=10**10):
        for key, column in batch.items():
            if key == "data":
                samples.append(column.astype("<u2").tobytes().hex())
            else:
                columns.setdefault(key, []).extend(column.tolist())
    print(json.dumps([columns, "".join(samples)]))
    """
)


# A FIFO has no size to cap a batch's storage with: it grows with the rows that arrive.
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads /proc/self/status")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory exceeds any such limit")
@pytest.mark.parametrize(("count", "samples"), [(1, 0), (20000, 0), (20000, 4)])
def test_fifo_batches_hold_what_arrived(tmp_path, writer, count, samples):
    records = [
        writer.wd1_record(range(n, n + samples), event_counter=n, timestamp=-n)
        for n in range(count)
    ]
    data = b"".join(records)
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    feeder = threading.Thread(target=lambda: fifo.write_bytes(data))
    feeder.start()
    try:
        columns, got = run_script(FIFO_UNDER_A_LIMIT, fifo, tmp_path=tmp_path)
    finally:
        while feeder.is_alive():  # the child never opened the FIFO
            os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
            feeder.join(0.1)
    walked = wd1_outcomes(data)
    keys = COLUMN_TYPES["WD1"]
    assert columns == {key: [fields[i] for _, fields, _ in walked] for i, key in enumerate(keys)}
    assert bytes.fromhex(got) == b"".join(block for _, _, block in walked)


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_growing_file_is_read_on(tmp_path, writer, kind):
    def record(n):
        if kind == "WD1":
            return writer.wd1_record([n, n + 1], event_counter=n)
        return writer.wd2_record([n, n + 0.5, n, n], event_counter=n, channels=2)

    path = tmp_path / "growing.bin"
    path.write_bytes(b"".join(record(n) for n in range(3)))
    reader = pluvo.EventReader(str(path), kind)
    batches = reader.batches(max_events=100)
    assert list(next(batches)["event_counter"]) == [0, 1, 2]
    with pytest.raises(StopIteration):
        next(batches)
    with open(path, "ab") as out:
        out.write(b"".join(record(n) for n in range(3, 5)) + record(5)[:10])
    assert list(next(batches)["event_counter"]) == [3, 4]  # the cut record is dropped
    assert list(reader.batches()) == []


def test_batches_and_events_share_the_position(write_file, writer):
    path = write_file([writer.wd1_record([n], event_counter=n) for n in range(10)])
    reader = pluvo.EventReader(path, "WD1")
    assert next(reader)["event_counter"] == 0
    assert list(next(reader.batches(3))["event_counter"]) == [1, 2, 3]
    assert next(reader)["event_counter"] == 4
    batches = reader.batches(2)
    assert list(next(batches)["event_counter"]) == [5, 6]
    assert next(reader)["event_counter"] == 7
    assert [list(b["event_counter"]) for b in batches] == [[8, 9]]


def test_a_record_longer_than_max_bytes_makes_a_batch_of_one(write_file, writer):
    path = write_file([writer.wd1_record(range(100), event_counter=n) for n in range(4)])
    batches = pluvo.EventReader(path, "WD1").batches(max_bytes=150)
    assert [len(b["data"]) for b in batches] == [1, 1, 1, 1]
    batches = pluvo.EventReader(path, "WD1").batches(max_bytes=450)
    assert [len(b["data"]) for b in batches] == [2, 2]


def test_batches_own_their_memory(write_file, writer):
    path = write_file([writer.wd1_record([n] * 8, event_counter=n) for n in range(6)])
    first, second = pluvo.EventReader(path, "WD1").batches(max_events=3)
    for a, b in itertools.product(first.values(), second.values()):
        assert not np.shares_memory(a, b)
    first["data"][:] = 0  # writeable, and nobody else sees it
    assert second["data"][0, 0] == 3


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ((0,), ValueError, "max_events must be at least 1"),
        ((1, -(2**70)), ValueError, "max_bytes must be at least 1"),
        ((1.5,), TypeError, "argument 'max_events': 'float' object cannot be cast as 'int'"),
        (
            (1, "2"),
            TypeError,
            "argument 'max_bytes': 'str' object cannot be cast as 'int'",
        ),
        (
            (1, 2, 3),
            TypeError,
            "EventReader.batches() takes from 0 to 2 positional arguments but 3 were given",
        ),
    ],
)
def test_wrong_limits(write_file, arguments, error, message):
    reader = pluvo.EventReader(write_file([]), "WD1")
    with pytest.raises(error) as info:
        reader.batches(*arguments)
    assert type(info.value) is error and info.value.args == (message,)


def test_limits_by_keyword(write_file, writer):
    path = write_file([writer.wd1_record([n], event_counter=n) for n in range(5)])
    reader = pluvo.EventReader(path, "WD1")
    assert len(next(reader.batches(max_bytes=2 * 2, max_events=3))["data"]) == 2
    with pytest.raises(TypeError) as info:
        reader.batches(2, max_events=3)
    assert info.value.args == (
        "EventReader.batches() got multiple values for argument 'max_events'",
    )
    with pytest.raises(TypeError) as info:
        reader.batches(events=3)
    assert info.value.args == ("EventReader.batches() got an unexpected keyword argument 'events'",)


def test_batches_type_cannot_be_made_from_python(write_file):
    batches = pluvo.EventReader(write_file([]), "WD1").batches()
    assert iter(batches) is batches
    with pytest.raises(TypeError):
        type(batches)()


def test_threads_sharing_a_reader_take_turns(write_file, writer):
    path = write_file([writer.wd1_record([n % 65536] * 16, event_counter=n) for n in range(20000)])
    reader = pluvo.EventReader(path, "WD1")
    taken, failures = [], []

    def read():
        try:
            for batch in reader.batches(max_events=97):
                taken.extend(batch["event_counter"].tolist())
            for event in reader:
                taken.append(event["event_counter"])
        except BaseException as exc:  # noqa: B036
            failures.append(repr(exc))

    threads = [threading.Thread(target=read) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert failures == []
    assert sorted(taken) == list(range(20000))


def test_a_waiting_batch_lets_other_threads_run(tmp_path, writer):
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    records = [writer.wd1_record([n] * 4, event_counter=n) for n in range(4)]
    go_on, counter = threading.Event(), [0]

    def write():
        fd = os.open(fifo, os.O_WRONLY)
        os.write(fd, b"".join(records[:2]))
        go_on.wait()
        os.write(fd, b"".join(records[2:]))
        os.close(fd)

    def count():
        while not go_on.is_set():
            counter[0] += 1

    threading.Thread(target=write).start()
    reader = pluvo.EventReader(str(fifo), "WD1")
    threading.Thread(target=count).start()
    threading.Timer(0.3, go_on.set).start()
    # the batch waits for the third record while the counter runs
    assert [list(b["event_counter"]) for b in reader.batches(max_events=4)] == [[0, 1, 2, 3]]
    assert counter[0] > 1000


FAILING_READS = textwrap.dedent(
    """
    import errno, json, sys
    import numpy, pluvo

    path, kind, max_events = sys.argv[1], sys.argv[2], int(sys.argv[3])


    def outcomes(step):
        got = []
        while got[-2:] != [["end"], ["end"]]:
            try:
                got.extend(["event", n] for n in step())
            except StopIteration:
                got.append(["end"])
            except BaseException as exc:
                got.append([type(exc).__name__, str(exc)])
        return got


    fail_reads(path, errno.EIO, from_offset=20000, count=1)
    reader = pluvo.EventReader(path, kind)
    by_events = outcomes(lambda: [next(reader)["event_counter"]])
    fail_reads(path, errno.EIO, from_offset=20000, count=1)
    batches = pluvo.EventReader(path, kind).batches(max_events)
    by_batches = outcomes(lambda: next(batches)["event_counter"].tolist())
    print(json.dumps({"events": by_events, "batches": by_batches}))
    """
)


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_a_failed_read_is_raised_after_the_batch_before_it(tmp_path, writer, read_shim, kind):
    if kind == "WD1":
        records = [writer.wd1_record([n] * 50, event_counter=n) for n in range(2000)]
    else:
        records = [writer.wd2_record([n] * 50, event_counter=n, channels=2) for n in range(1000)]
    (tmp_path / "events.bin").write_bytes(b"".join(records))
    result = run_script(
        SHIM_CONTROL + FAILING_READS,
        "events.bin",
        kind,
        1000,
        tmp_path=tmp_path,
        env=preloading(require(read_shim)),
    )
    for outcomes in result.values():
        # Every record before the failing read, in order; the failure once; then the end. Where
        # the read fails depends on how much each read asks for, so the count may differ.
        delivered = next(i for i, o in enumerate(outcomes) if o[0] != "event")
        assert delivered >= 20000 // len(records[0])
        assert outcomes == [["event", n] for n in range(delivered)] + [
            ["OSError", "Input/output error (os error 5)"],
            ["end"],
            ["end"],
        ]
