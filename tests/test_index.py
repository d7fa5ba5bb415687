"""EventReader.index(): the offsets, lengths and tail of a file's whole records, as a walk of its
bytes finds them, without moving the reader; and the byte ranges that split it between workers."""

import os
import pathlib
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
from record_walk import record_index
from test_batches import RAGGED_AND_CORRUPT, by_events, ragged_and_corrupt_files
from test_truncation import FILES as PREFIX_FILES

DATA = pathlib.Path(__file__).resolve().parent / "data"


def assert_index_is_the_walk(path, kind):
    data = pathlib.Path(path).read_bytes()
    try:
        reader = pluvo.EventReader(path, kind)
    except BaseException:  # noqa: B036 - the layout probe's refusals belong to other tests
        return
    expected = record_index(data, kind)
    if expected == ("fault",):
        with pytest.raises(BaseException, match="^capacity overflow$") as raised:
            reader.index()
        assert type(raised.value).__name__ == "PanicException"
        return
    offsets, lengths, tail = expected
    index = reader.index()
    assert len(index) == len(lengths)
    assert index.offsets.dtype == np.uint64 and index.offsets.tolist() == offsets
    assert index.lengths.dtype == np.int64 and index.lengths.tolist() == lengths
    assert (index.file_size, index.tail) == (len(data), tail)
    assert repr(index) == f"<EventIndex: {len(lengths)} events, tail {tail} bytes>"
    # whole records are the events a reader yields
    _, outcomes = by_events(path, kind)
    events = [o for o in outcomes if o[0] == "event"]
    assert [len(dict(e[1:])["data"]) // (2 if kind == "WD1" else 4) for e in events] == lengths


@pytest.mark.parametrize(
    ("name", "kind"),
    [("sample.wd1", "WD1"), ("sample_multi.wd2", "WD2"), ("sample_single.wd2", "WD2")],
)
def test_bundled_samples(name, kind):
    assert_index_is_the_walk(str(DATA / name), kind)


@pytest.mark.parametrize("name", PREFIX_FILES)
def test_every_truncation_length(tmp_path, writer, name):
    whole = b"".join(PREFIX_FILES[name](writer))
    path = tmp_path / "events.bin"
    for length in range(len(whole) + 1):
        path.write_bytes(whole[:length])
        assert_index_is_the_walk(str(path), name[:3])


@pytest.mark.parametrize("case", RAGGED_AND_CORRUPT)
def test_ragged_and_corrupt_files(write_file, writer, case):
    kind, records = ragged_and_corrupt_files(writer)[case]
    assert_index_is_the_walk(write_file(records), kind)


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
@pytest.mark.parametrize("samples", [lambda n: 3 + (n // 37) % 4, lambda n: 70000 * (n % 3)])
def test_long_files_whose_record_lengths_change(write_file, writer, kind, samples):
    # Small records come through the walk's read-ahead, blocks larger than it are passed over.
    def record(n):
        if kind == "WD1":
            return writer.wd1_record([n % 65536] * samples(n), event_counter=n)
        return writer.wd2_record([n] * 2 * samples(n), event_counter=n, channels=2)

    path = write_file([record(n) for n in range(1, 1500 if samples(1) < 10 else 60)])
    assert_index_is_the_walk(path, kind)


def offsets_of(index):
    return [int(offset) for offset in index.offsets]


@pytest.mark.parametrize("max_bytes", [1, 20, 100, 1000, 10**6, 2**70])
def test_partitions_cover_the_records_greedily(write_file, writer, max_bytes):
    path = write_file([writer.wd1_record([n] * (n % 40), event_counter=n) for n in range(300)])
    index = pluvo.EventReader(path, "WD1").index()
    offsets = offsets_of(index)
    parts = index.partitions(max_bytes)
    assert all(type(start) is int and type(stop) is int for start, stop in parts)
    # consecutive, from the first record to the end of the last, at record boundaries
    assert [start for start, _ in parts] + [parts[-1][1]] == sorted(
        {start for start, _ in parts} | {offsets[-1]}
    )
    assert parts[0][0] == offsets[0] and parts[-1][1] == offsets[-1]
    assert all(a[1] == b[0] for a, b in zip(parts, parts[1:]))
    assert {offset for part in parts for offset in part} <= set(offsets)
    for start, stop in parts:
        first = offsets.index(start)
        after = offsets.index(stop)
        # as many records as fit, one at least; the next one would not have fitted
        assert stop - start <= max_bytes or after == first + 1
        if after < len(offsets) - 1:
            assert offsets[after + 1] - start > max_bytes


def test_an_empty_file_has_no_partitions(write_file):
    index = pluvo.EventReader(write_file([]), "WD1").index()
    assert (len(index), index.offsets.tolist(), index.partitions(1)) == (0, [0], [])


@pytest.mark.parametrize(
    ("argument", "error", "message"),
    [
        (0, ValueError, "max_bytes must be at least 1"),
        (-(2**70), ValueError, "max_bytes must be at least 1"),
        (1.0, TypeError, "argument 'max_bytes': 'float' object cannot be cast as 'int'"),
        ("1", TypeError, "argument 'max_bytes': 'str' object cannot be cast as 'int'"),
    ],
)
def test_wrong_partition_sizes(write_file, writer, argument, error, message):
    index = pluvo.EventReader(write_file([writer.wd1_record([1])]), "WD1").index()
    with pytest.raises(error) as raised:
        index.partitions(argument)
    assert str(raised.value) == message


def test_the_index_is_read_only_and_not_made_from_python(write_file, writer):
    index = pluvo.EventReader(write_file([writer.wd1_record([1])]), "WD1").index()
    for array in (index.offsets, index.lengths):
        assert not array.flags.writeable
        with pytest.raises(ValueError):
            array[0] = 5
    with pytest.raises(AttributeError):
        index.tail = 0
    # the interpreter's own text: PyPy leaves out the module
    with pytest.raises(TypeError, match="^cannot create '(builtins.)?EventIndex' instances$"):
        type(index)()
    assert "EventIndex" not in dir(pluvo)


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
@pytest.mark.parametrize("read_first", [0, 1, 7, 40])
def test_indexing_leaves_the_reader_where_it_was(write_file, writer, kind, read_first):
    if kind == "WD1":
        records = [writer.wd1_record([n] * (n % 5), event_counter=n) for n in range(40)]
    else:
        records = [writer.wd2_record([n] * 4, event_counter=n, channels=2) for n in range(40)]
    path = write_file(records)
    reader = pluvo.EventReader(path, kind)
    before = [next(reader)["event_counter"] for _ in range(read_first)]
    assert len(reader.index()) == 40
    assert before + [event["event_counter"] for event in reader] == list(range(40))
    assert len(reader.index()) == 40  # a finished reader is indexed too


def test_a_fifo_cannot_be_indexed(tmp_path, writer):
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    feeding = threading.Thread(target=fifo.write_bytes, args=(writer.wd1_record([1, 2]),))
    feeding.start()
    reader = pluvo.EventReader(str(fifo), "WD1")
    with pytest.raises(OSError) as raised:
        reader.index()
    assert type(raised.value) is OSError
    assert str(raised.value) == "Illegal seek (os error 29)"
    assert next(reader)["data"].tolist() == [1, 2]
    feeding.join()


def test_threads_take_turns_with_the_index(write_file, writer):
    path = write_file([writer.wd1_record([n] * 30, event_counter=n) for n in range(20000)])
    reader = pluvo.EventReader(path, "WD1")
    counters = []
    reading = threading.Thread(
        target=lambda: counters.extend(
            c for batch in reader.batches(max_events=64) for c in batch["event_counter"].tolist()
        )
    )
    reading.start()
    sizes = [len(reader.index()) for _ in range(5)]
    reading.join()
    assert sizes == [20000] * 5 and counters == list(range(20000))


FAILING_INDEX = textwrap.dedent(
    """
    import errno, json, sys
    import pluvo

    path = sys.argv[1]
    reader = pluvo.EventReader(path, "WD1")
    fail_reads(path, errno.EIO, from_offset=int(sys.argv[2]), count=1)
    try:
        reader.index()
        outcome = "indexed"
    except OSError as exc:
        outcome = [type(exc).__name__, str(exc)]
    print(json.dumps([outcome, len(reader.index()), sum(1 for _ in reader)]))
    """
)


# from the start, and in the walk's second read-ahead
@pytest.mark.parametrize("from_offset", [0, 300000])
def test_a_failed_read_is_raised_as_next_raises_it(tmp_path, writer, read_shim, from_offset):
    (tmp_path / "events.bin").write_bytes(
        b"".join(writer.wd1_record([n] * 50, event_counter=n) for n in range(5000))
    )
    result = run_script(
        SHIM_CONTROL + FAILING_INDEX,
        "events.bin",
        from_offset,
        tmp_path=tmp_path,
        env=preloading(require(read_shim)),
    )
    # the reader itself never read, so it reads the file whole afterwards
    assert result == [["OSError", "Input/output error (os error 5)"], 5000, 5000]
