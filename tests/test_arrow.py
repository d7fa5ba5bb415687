"""Batches as an Arrow C stream: what a consumer reads equals iterating the batches, bit for bit
and failure for failure, without a copy, from any thread. A consumer through ctypes reads the
stream's structs as the published layout gives them, where no Arrow library installs; pyarrow,
polars and DuckDB read it where they do."""

import ctypes
import gc
import os
import struct
import threading

import numpy as np
import pluvo
import pytest

NO_PYARROW = "pyarrow has no wheel for this interpreter or machine"


# ---- a consumer of the published structs ----


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowArrayStream._fields_ = [
    (
        "get_schema",
        ctypes.CFUNCTYPE(
            ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema)
        ),
    ),
    (
        "get_next",
        ctypes.CFUNCTYPE(
            ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray)
        ),
    ),
    ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))),
    ("private_data", ctypes.c_void_p),
]

FORMATS = {b"i": np.int32, b"I": np.uint32, b"L": np.uint64, b"S": np.uint16, b"f": np.float32}


def stream_of(capsule):
    """The ArrowArrayStream in the capsule, taken over: the capsule is left released."""
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    inside = ArrowArrayStream.from_address(get_pointer(capsule, b"arrow_array_stream"))
    stream = ArrowArrayStream()
    ctypes.memmove(ctypes.byref(stream), ctypes.byref(inside), ctypes.sizeof(stream))
    inside.release = type(inside.release)()
    return stream


def schema_tree(schema):
    children = [schema_tree(schema.children[i].contents) for i in range(schema.n_children)]
    return (schema.format.decode(), schema.name.decode(), schema.flags, children)


def read_schema(stream):
    schema = ArrowSchema()
    assert stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)) == 0
    tree = schema_tree(schema)
    schema.release(ctypes.byref(schema))
    assert not schema.release
    return tree


def values(array, dtype, extra=0):
    assert array.null_count == 0 and array.offset == 0 and not array.buffers[0]
    size = (array.length + extra) * np.dtype(dtype).itemsize
    return np.frombuffer(ctypes.string_at(array.buffers[1], size), dtype=dtype)


def read_batch(stream, names, formats):
    """The next record batch as a dict of NumPy copies; None at the end; the error's text."""
    array = ArrowArray()
    status = stream.get_next(ctypes.byref(stream), ctypes.byref(array))
    if status != 0:
        return stream.get_last_error(ctypes.byref(stream)).decode()
    if not array.release:
        return None
    assert array.n_children == len(names)
    batch = {}
    for i, (name, format) in enumerate(zip(names, formats)):
        child = array.children[i].contents
        assert child.length == array.length
        if name != "data":
            batch[name] = values(child, FORMATS[format.encode()])
            continue
        offsets = values(child, np.int64, extra=1)
        items = child.children[0].contents
        rows = values(items, FORMATS[formats[-1].encode()])
        width = int(offsets[1]) if array.length else 0
        assert (offsets == np.arange(array.length + 1) * width).all()
        batch[name] = rows.reshape(array.length, width)
    array.release(ctypes.byref(array))
    return batch


# ---- files ----


def nan_payloads(count):
    """Float bits that a conversion through double or a copy by value could change."""
    words = [0x7FC00001, 0xFFC12345, 0x7F800001, 0x00000001, 0x80000000, 0x3F800000]
    return struct.pack(f"<{count}I", *(words[i % len(words)] for i in range(count)))


def wd2_raw(writer, counter, sample_bytes, channels=None, period=7):
    per_channel = len(sample_bytes) // 4 // (channels or 1)
    header = writer.wd2_record(
        [],
        event_counter=counter,
        timestamp=2**40 + counter,
        sampling_period=period,
        samples_per_channel=per_channel,
        channels=channels,
    )
    return header + sample_bytes


def case_file(name, write_file, writer):
    """(path, reader type) of a file of each kind a consumer meets."""
    if name in ("wd1", "wd1-cut-short", "wd1-bad-size"):
        lengths = [8, 8, 8, 5, 5, 12, 12, 12, 0, 3]
        records = [
            writer.wd1_record(
                [(n * 977 + i * 31) % 65536 for i in range(length)],
                board_id=-n,
                pattern=2**31 - 1 - n,
                board_channel=n % 4,
                event_counter=n,
                timestamp=-(2**31) + n,
            )
            for n, length in enumerate(lengths)
        ]
        if name == "wd1-cut-short":
            records[-1] = records[-1][:-3]
        if name == "wd1-bad-size":
            records[6] = writer.wd1_record([], event_size=22, event_counter=6)
        return write_file(records, name + ".wd1"), "WD1"
    if name == "wd2-multi":
        records = [wd2_raw(writer, n, nan_payloads(2 * 6), channels=2) for n in range(9)]
        return write_file(records, "multi.wd2"), "WD2"
    lengths = [4, 4, 6, 6, 6, 1, 4]
    records = [wd2_raw(writer, n, nan_payloads(length)) for n, length in enumerate(lengths)]
    return write_file(records, "single.wd2"), "WD2"


CASES = ["wd1", "wd1-cut-short", "wd1-bad-size", "wd2-multi", "wd2-single"]
LIMITS = [{}, {"max_events": 1}, {"max_events": 3}, {"max_bytes": 10}, {"stop": 200}]


def outcome_of(call):
    try:
        return call()
    except BaseException as error:  # noqa: B036 - the internal fault is not an Exception
        return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


def iterated(reader, limits):
    """What iterating the batches gives, failures as their text, until it ends."""
    batches, outcomes = reader.batches(**limits), []
    while True:
        outcome = outcome_of(lambda: next(batches))
        if outcome == "StopIteration":
            return outcomes
        outcomes.append(outcome)
        if isinstance(outcome, str):
            batches = reader.batches(**limits)  # as a consumer starts a new stream


def bits(array):
    return array.view(np.uint32) if array.dtype == np.float32 else array


def assert_same_batch(got, expected):
    assert list(got) == list(expected)
    for key in expected:
        assert got[key].dtype == expected[key].dtype, key
        assert np.array_equal(bits(got[key]), bits(expected[key])), key


def assert_same_outcomes(got, expected):
    assert len(got) == len(expected)
    for one, other in zip(got, expected):
        if isinstance(other, str):
            assert one == other
        else:
            assert_same_batch(one, other)


# ---- the ctypes consumer, where CPython's C API can be called ----


def streamed(reader, limits, read=read_batch):
    """What reading the batches' streams gives, a new stream after each error, until one ends."""
    outcomes = []
    while True:
        stream = stream_of(reader.batches(**limits).__arrow_c_stream__())
        tree = read_schema(stream)
        names = [child[1] for child in tree[3]]
        formats = [child[0] for child in tree[3][:-1]] + [tree[3][-1][3][0][0]]
        while True:
            outcome = read(stream, names, formats)
            if outcome is None:
                stream.release(ctypes.byref(stream))
                return outcomes
            outcomes.append(outcome)
            if isinstance(outcome, str):
                break
        stream.release(ctypes.byref(stream))


@pytest.mark.requires_pythonapi
@pytest.mark.parametrize("limits", LIMITS, ids=str)
@pytest.mark.parametrize("case", CASES)
def test_stream_reads_as_iterating(write_file, writer, case, limits):
    path, kind = case_file(case, write_file, writer)
    by_stream, by_iteration = pluvo.EventReader(path, kind), pluvo.EventReader(path, kind)
    assert_same_outcomes(streamed(by_stream, limits), iterated(by_iteration, limits))
    assert by_stream.tell() == by_iteration.tell()
    by_stream.seek(0)
    assert next(by_stream)["event_counter"] == 0


@pytest.mark.requires_pythonapi
@pytest.mark.parametrize("case", ["wd1", "wd2-multi", "wd2-single"])
def test_schema_is_the_events_keys(write_file, writer, case):
    path, kind = case_file(case, write_file, writer)
    reader = pluvo.EventReader(path, kind)
    stream = stream_of(reader.batches().__arrow_c_stream__())
    tree = read_schema(stream)
    stream.release(ctypes.byref(stream))
    event = next(reader)
    widths = {np.dtype(dtype): format.decode() for format, dtype in FORMATS.items()}
    sample = widths[event["data"].dtype]
    header = {"WD1": ["i"] * 6, "WD2": ["I", "L", "I", "L", "i"]}[kind]
    assert tree == (
        "+s",
        "",
        0,
        [(format, key, 0, []) for format, key in zip(header, list(event)[:-1])]
        + [("+L", "data", 0, [(sample, "item", 0, [])])],
    )


@pytest.mark.requires_pythonapi
def test_get_next_without_the_interpreter_lock_in_threads_of_its_own(write_file, writer):
    path, kind = case_file("wd1", write_file, writer)
    reader = pluvo.EventReader(path, kind)
    # ctypes releases the interpreter lock around every call through a CFUNCTYPE pointer
    stream = stream_of(reader.batches(max_events=1).__arrow_c_stream__())
    tree = read_schema(stream)
    names, formats = [c[1] for c in tree[3]], [c[0] for c in tree[3][:-1]] + ["S"]
    got = []
    workers = [
        threading.Thread(target=lambda: got.append(read_batch(stream, names, formats)))
        for _ in range(12)
    ]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(timeout=60)
    stream.release(ctypes.byref(stream))
    counters = sorted(int(b["event_counter"][0]) for b in got if b is not None)
    assert counters == list(range(10))


@pytest.mark.requires_pythonapi
def test_stream_outlives_its_capsule_reader_and_batches(write_file, writer):
    path, kind = case_file("wd2-multi", write_file, writer)
    reader = pluvo.EventReader(path, kind)
    stream = stream_of(reader.batches().__arrow_c_stream__())
    del reader
    gc.collect()
    tree = read_schema(stream)
    array = ArrowArray()
    assert stream.get_next(ctypes.byref(stream), ctypes.byref(array)) == 0
    stream.release(ctypes.byref(stream))
    # a consumer may move a child out and release the parent first
    data = ArrowArray()
    ctypes.memmove(ctypes.byref(data), array.children[5], ctypes.sizeof(data))
    array.children[5].contents.release = type(data.release)()
    array.release(ctypes.byref(array))
    gc.collect()
    assert tree[3][5][1] == "data"
    rows = values(data.children[0].contents, np.uint32)
    assert rows.tobytes() == nan_payloads(12) * 9
    data.release(ctypes.byref(data))


@pytest.mark.requires_pythonapi
def test_reader_closed_under_an_open_stream(write_file, writer):
    path, kind = case_file("wd1", write_file, writer)
    reader = pluvo.EventReader(path, kind)
    stream = stream_of(reader.batches().__arrow_c_stream__())
    reader.close()
    array = ArrowArray()
    assert stream.get_next(ctypes.byref(stream), ctypes.byref(array)) != 0
    assert not array.release
    error = stream.get_last_error(ctypes.byref(stream))
    assert error == b"ValueError: I/O operation on closed file."
    stream.release(ctypes.byref(stream))


@pytest.mark.parametrize("given", [1, "schema", object()])
def test_requested_schema_must_be_a_schema_capsule(write_file, writer, given):
    path, kind = case_file("wd1", write_file, writer)
    with pytest.raises(TypeError, match='PyCapsule named "arrow_schema"'):
        pluvo.EventReader(path, kind).batches().__arrow_c_stream__(given)


def test_a_fifo_held_by_another_thread(tmp_path, writer):
    """A stream read while another thread waits in the reader for a writer: both go on."""
    pa = pytest.importorskip("pyarrow", reason=NO_PYARROW)
    records = [writer.wd1_record(range(4), event_counter=n) for n in range(200)]
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    reader_ready = threading.Event()
    got = {}

    def open_and_iterate():
        reader = pluvo.EventReader(str(fifo), "WD1")
        got["reader"] = reader
        reader_ready.set()
        got["iterated"] = [int(c) for b in reader.batches(max_events=7) for c in b["event_counter"]]

    def feed():
        with open(fifo, "wb") as out:
            for record in records:
                out.write(record)
                out.flush()

    iterating = threading.Thread(target=open_and_iterate)
    feeding = threading.Thread(target=feed)
    iterating.start()
    feeding.start()
    assert reader_ready.wait(60)
    stream = pa.RecordBatchReader.from_stream(got["reader"].batches(max_events=5))
    streamed_counters = []
    for batch in stream:
        streamed_counters += batch.column("event_counter").to_pylist()
    feeding.join(60)
    iterating.join(60)
    assert not iterating.is_alive()
    assert sorted(streamed_counters + got["iterated"]) == list(range(200))


# ---- Arrow tools ----


@pytest.fixture
def pa():
    return pytest.importorskip("pyarrow", reason=NO_PYARROW)


@pytest.mark.parametrize("case", CASES)
def test_pyarrow_reads_the_batches_without_a_copy(pa, write_file, writer, case):
    path, kind = case_file(case, write_file, writer)
    by_stream, by_iteration = pluvo.EventReader(path, kind), pluvo.EventReader(path, kind)
    expected = iterated(by_iteration, {"max_events": 3})
    allocated = pa.total_allocated_bytes()
    stream = pa.RecordBatchReader.from_stream(by_stream.batches(max_events=3))
    got = []
    while True:
        try:
            batch = stream.read_next_batch()
        except StopIteration:
            break
        except Exception as error:  # pyarrow raises an OSError of its own with our text
            got.append(str(error))
            stream = pa.RecordBatchReader.from_stream(by_stream.batches(max_events=3))
            continue
        columns = {name: batch.column(name) for name in batch.schema.names}
        data = columns["data"]
        # the buffers are the batch's own: pyarrow allocated none of them
        assert pa.total_allocated_bytes() == allocated
        width = len(data[0]) if len(data) else 0
        got.append(
            {
                **{name: column.to_numpy() for name, column in columns.items() if name != "data"},
                "data": data.values.to_numpy().reshape(len(data), width),
            }
        )
    assert len(got) == len(expected)
    for one, other in zip(got, expected):
        if isinstance(other, str):
            assert other in one
        else:
            assert_same_batch(one, other)
    assert by_stream.tell() == by_iteration.tell()


def test_pyarrow_requested_schema(pa, write_file, writer):
    path, kind = case_file("wd2-single", write_file, writer)
    reader = pluvo.EventReader(path, kind)
    schema = pa.RecordBatchReader.from_stream(reader.batches()).schema
    assert (
        pa.RecordBatchReader.from_stream(reader.batches(), schema=schema).read_all().num_rows == 7
    )
    differences = {
        "timestamp": (pa.int64(), False, 'field "timestamp" has format "l", the stream\'s "L"'),
        "samples": (pa.uint32(), True, 'field "samples" is nullable, the stream\'s is not'),
        "data": (
            pa.large_list(pa.field("item", pa.float64(), nullable=False)),
            False,
            'field "data.item" has format "g", the stream\'s "f"',
        ),
    }
    for name, (type_, nullable, message) in differences.items():
        changed = schema.set(schema.get_field_index(name), pa.field(name, type_, nullable))
        with pytest.raises(NotImplementedError) as raised:
            pa.RecordBatchReader.from_stream(reader.batches(), schema=changed)
        assert str(raised.value) == "the requested schema differs from the stream's: " + message
    with pytest.raises(NotImplementedError, match="the top-level struct has 5 children"):
        pa.RecordBatchReader.from_stream(reader.batches(), schema=schema.remove(1))


def test_polars_and_duckdb_read_the_batches(pa, write_file, writer):
    path, kind = case_file("wd2-multi", write_file, writer)
    expected = list(pluvo.EventReader(path, kind).batches(max_events=4))
    data = np.concatenate([batch["data"] for batch in expected])
    try:
        import polars
    except ImportError:
        polars = None
    # polars takes objects with the interface from the release that also gives it, 1.0 on
    if polars is not None and hasattr(polars.DataFrame, "__arrow_c_stream__"):
        frame = polars.DataFrame(pluvo.EventReader(path, kind).batches(max_events=4))
        assert frame.columns == list(expected[0])
        timestamps = np.concatenate([batch["timestamp"] for batch in expected])
        assert (frame["timestamp"].to_numpy() == timestamps).all()
        assert frame["data"].explode().to_numpy().view(np.uint32).tobytes() == data.tobytes()
    duckdb = pytest.importorskip("duckdb", reason="DuckDB has no wheel here")
    if tuple(int(part) for part in duckdb.__version__.split(".")[:2]) < (1, 1):
        pytest.skip("DuckDB scans objects with __arrow_c_stream__ from 1.1 on")
    batches = pluvo.EventReader(path, kind).batches(max_events=4)  # noqa: F841 - read by name
    rows = duckdb.sql("select event_counter, len(data) from batches order by 1").fetchall()
    assert rows == [(n, 12) for n in range(9)]
