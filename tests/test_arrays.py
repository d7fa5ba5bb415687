"""The "data" arrays: type, layout, flags, their base container and the buffer's lifetime."""

import gc
import platform
import weakref

import numpy as np
import pluvo
import pytest
from helpers import settled

FORMATS = {
    "WD1": (np.uint16, 2),
    "WD2": (np.float32, 4),
}


def container_of(array):
    """Follows NumPy's base chain to the first object that is not an array."""
    base = array.base
    while isinstance(base, np.ndarray):
        base = base.base
    return base


@pytest.fixture
def make_file(write_file, writer):
    """make_file(kind, rows, name) writes one record per row of samples and returns the path."""

    def make(kind, rows, name="events.bin"):
        if kind == "WD1":
            records = [writer.wd1_record(row, event_counter=n) for n, row in enumerate(rows)]
        else:
            # two channels, so the samples say nothing about the layout
            records = [
                writer.wd2_record(row, event_counter=n, channels=2) for n, row in enumerate(rows)
            ]
        return write_file(records, name)

    return make


def rows_for(count=3, length=8, offset=0):
    """Distinct, exactly representable sample values per event."""
    return [[(offset + n * 1000 + k) % 65536 for k in range(length)] for n in range(count)]


def first_array(make_file, kind, rows=None):
    rows = rows or rows_for()
    return next(pluvo.EventReader(make_file(kind, rows), kind))["data"]


@pytest.mark.parametrize("kind", FORMATS)
def test_array_type_and_layout(make_file, kind):
    dtype, itemsize = FORMATS[kind]
    rows = rows_for(length=10)
    for row, event in zip(rows, pluvo.EventReader(make_file(kind, rows), kind)):
        array = event["data"]
        assert type(array) is np.ndarray
        assert array.ndim == 1
        assert array.shape == (10,)
        assert array.dtype == np.dtype(dtype)
        assert array.dtype.isnative
        assert array.itemsize == itemsize
        assert array.strides == (itemsize,)
        assert array.flags.writeable
        assert not array.flags.owndata
        assert array.flags.c_contiguous
        assert array.flags.aligned
        assert array.tolist() == row


@pytest.mark.parametrize("kind", FORMATS)
def test_base_is_a_slice_container(make_file, kind):
    array = first_array(make_file, kind)
    container_type = type(array.base)
    assert not isinstance(array.base, np.ndarray)
    assert container_type.__name__ == "PySliceContainer"
    assert container_type.__module__ == "builtins"
    assert container_type.__bases__ == (object,)
    assert not hasattr(pluvo, "PySliceContainer")


def test_both_formats_share_one_container_type(make_file):
    wd1 = first_array(make_file, "WD1")
    wd2 = next(pluvo.EventReader(make_file("WD2", rows_for(), "other.bin"), "WD2"))["data"]
    assert type(wd1.base) is type(wd2.base)


@pytest.mark.parametrize("args", [(), (1,), (b"",)], ids=["no-args", "int", "bytes"])
def test_container_type_cannot_be_called(make_file, args):
    container_type = type(first_array(make_file, "WD1").base)
    with pytest.raises(TypeError):
        container_type(*args)


@pytest.mark.requires_disallow_instantiation
def test_container_type_has_no_constructor(make_file):
    container_type = type(first_array(make_file, "WD1").base)
    assert "__new__" not in vars(container_type)


@pytest.mark.requires_cpython_type_flags
def test_container_type_cannot_be_subclassed(make_file):
    container_type = type(first_array(make_file, "WD2").base)
    with pytest.raises(TypeError):
        type("Sub", (container_type,), {})


@pytest.mark.requires_cpython_type_flags
def test_container_has_no_dict_or_weak_references(make_file):
    container = first_array(make_file, "WD1").base
    with pytest.raises(AttributeError):
        container.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(container)
    assert not gc.is_tracked(container)


@pytest.mark.parametrize(
    "kind,event_size",
    [("WD1", 24), ("WD1", 23), ("WD1", 25), ("WD2", None)],
    ids=["wd1-24", "wd1-23", "wd1-25", "wd2-zero-samples"],
)
def test_empty_buffer(write_file, writer, kind, event_size):
    dtype, itemsize = FORMATS[kind]
    if kind == "WD1":
        records = [writer.wd1_record([], event_size=event_size)] * 2
    else:
        records = [
            writer.wd2_record([], event_counter=n, samples_per_channel=0, channels=2)
            for n in range(3)
        ]
    events = list(pluvo.EventReader(write_file(records), kind))
    assert len(events) == len(records)
    for event in events:
        array = event["data"]
        assert type(array) is np.ndarray
        assert array.shape == (0,)
        assert array.dtype == np.dtype(dtype)
        assert array.strides == (itemsize,)
        assert array.flags.writeable
        assert not array.flags.owndata
        assert type(array.base).__name__ == "PySliceContainer"
        address = array.__array_interface__["data"][0]
        assert address != 0
        assert address % itemsize == 0


@pytest.mark.parametrize("kind", FORMATS)
def test_array_outlives_reader_and_dict(make_file, kind):
    rows = rows_for(count=4, length=64)
    reader = pluvo.EventReader(make_file(kind, rows), kind)
    events = [next(reader), next(reader)]
    arrays = [event["data"] for event in events]
    del events, reader
    gc.collect()
    # new buffers of the same size would reuse freed storage and show other values
    other = list(pluvo.EventReader(make_file(kind, rows_for(4, 64, 7), "other.bin"), kind))
    assert arrays[0].tolist() == rows[0]
    assert arrays[1].tolist() == rows[1]
    assert type(arrays[0].base).__name__ == "PySliceContainer"
    assert other[0]["data"].tolist() == rows_for(4, 64, 7)[0]


@pytest.mark.parametrize("kind", FORMATS)
def test_writes_are_seen_through_views(make_file, kind):
    array = first_array(make_file, kind)
    view = array[2:6]
    view[0] = 4321
    assert array[2] == 4321
    array[5] = 1234
    assert view[3] == 1234
    array[:] = 7
    assert view.tolist() == [7, 7, 7, 7]
    assert np.shares_memory(array, view)


def test_writes_seen_through_reinterpreting_view(make_file):
    array = first_array(make_file, "WD1")
    raw = array.view(np.uint8)
    raw[0:2] = [0x34, 0x12]
    assert array[0] == np.frombuffer(bytes([0x34, 0x12]), dtype=np.uint16)[0]


@pytest.mark.parametrize("kind", FORMATS)
def test_slice_keeps_buffer_alive(make_file, kind):
    rows = rows_for(count=3, length=128)
    reader = pluvo.EventReader(make_file(kind, rows), kind)
    array = next(reader)["data"]
    piece = array[10:20]
    reversed_view = array[::-1]
    del array, reader
    gc.collect()
    _ = list(pluvo.EventReader(make_file(kind, rows_for(3, 128, 5), "other.bin"), kind))
    assert piece.tolist() == rows[0][10:20]
    assert reversed_view.tolist() == rows[0][::-1]
    assert type(container_of(piece)).__name__ == "PySliceContainer"
    piece[0] = 99
    assert reversed_view[-11] == 99


@pytest.mark.parametrize("kind", FORMATS)
def test_arrays_of_different_events_never_share_memory(make_file, kind):
    rows = rows_for(count=20, length=16)
    arrays = [event["data"] for event in pluvo.EventReader(make_file(kind, rows), kind)]
    assert len(arrays) == 20
    for i, first in enumerate(arrays):
        for second in arrays[i + 1 :]:
            assert not np.shares_memory(first, second)
            assert first.base is not second.base
    arrays[0][:] = 0
    assert arrays[1].tolist() == rows[1]


@pytest.mark.skipif(
    platform.python_implementation() != "CPython", reason="allocation tracing is CPython's"
)
@pytest.mark.parametrize("kind", FORMATS)
def test_sample_buffers_are_traced_while_arrays_live(make_file, kind):
    import tracemalloc  # PyPy has no such module

    block = 6 * FORMATS[kind][1]
    path = make_file(kind, [[n] * 6 for n in range(3)])
    domain = tracemalloc.DomainFilter(True, 0x706C7576)

    def traced():
        snapshot = tracemalloc.take_snapshot().filter_traces([domain])
        return [trace.size for trace in snapshot.traces]

    tracemalloc.start()
    try:
        events = list(pluvo.EventReader(path, kind))
        assert traced() == [block] * 3
        del events[0]
        assert traced() == [block] * 2
        del events
        assert settled(traced) == []
    finally:
        tracemalloc.stop()
