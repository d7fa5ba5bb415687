"""Event dictionaries: key order, value types, header values, sample contents and iteration."""

import pathlib
import random
import struct
import sys

import numpy as np
import pluvo
import pytest

DATA = pathlib.Path(__file__).resolve().parent / "data"

WD1_KEYS = [
    "event_size",
    "board_id",
    "pattern",
    "board_channel",
    "event_counter",
    "timestamp",
    "data",
]
WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels", "data"]


def signed32(bits):
    return struct.unpack("<i", struct.pack("<I", bits))[0]


def wd1_raw(samples=(), **fields):
    """A WD1 record whose header fields are written as unsigned 32-bit bit patterns."""
    body = struct.pack(f"<{len(samples)}H", *samples)
    values = dict.fromkeys(WD1_KEYS[1:-1], 0)
    values["event_size"] = 24 + len(body)
    values.update(fields)
    return struct.pack("<6I", *(values[key] for key in WD1_KEYS[:-1])) + body


def wd1_events(path):
    return list(pluvo.EventReader(path, "WD1"))


def wd2_events(path):
    return list(pluvo.EventReader(path, "WD2"))


def multi_records(writer, count, channels=2, samples=3, first_counter=1, **fields):
    """Consecutive multi-channel records whose sample values differ from record to record."""
    records = []
    for n in range(count):
        values = [float(n * 100 + k) for k in range(channels * samples)]
        records.append(
            writer.wd2_record(
                values,
                event_counter=(first_counter + n) % 2**32,
                samples_per_channel=samples,
                channels=channels,
                **fields,
            )
        )
    return records


def single_records(writer, count, samples=3, first_counter=1, **fields):
    """Single-channel records; the first sample is 0.0 so the probe reads no block."""
    records = []
    for n in range(count):
        values = [0.0] + [float(n * 100 + k) for k in range(1, samples)]
        records.append(
            writer.wd2_record(
                values,
                event_counter=(first_counter + n) % 2**32,
                samples_per_channel=samples,
                **fields,
            )
        )
    return records


# --- key order and value types ---------------------------------------------------------------


def test_wd1_key_order_and_types(write_file, writer):
    path = write_file([writer.wd1_record([1, 2], board_id=3), writer.wd1_record([], timestamp=9)])
    events = wd1_events(path)
    assert len(events) == 2
    for event in events:
        assert type(event) is dict
        assert list(event) == WD1_KEYS
        for key in WD1_KEYS[:-1]:
            assert type(event[key]) is int, key


@pytest.mark.parametrize("layout", ["multi", "single"])
def test_wd2_key_order_and_types(write_file, writer, layout):
    records = multi_records(writer, 3) if layout == "multi" else single_records(writer, 3)
    events = wd2_events(write_file(records))
    assert len(events) == 3
    for event in events:
        assert type(event) is dict
        assert list(event) == WD2_KEYS
        for key in WD2_KEYS[:-1]:
            assert type(event[key]) is int, key


def test_each_event_is_a_new_dict(write_file, writer):
    path = write_file([writer.wd1_record([1]), writer.wd1_record([2])])
    first, second = wd1_events(path)
    assert first is not second
    first["extra"] = 1  # callers may change what they got
    del first["board_id"]
    first.clear()
    assert "extra" not in second
    assert list(second) == WD1_KEYS
    (again, _) = wd1_events(path)
    assert list(again) == WD1_KEYS and again["data"].tolist() == [1]


@pytest.mark.skipif(sys.implementation.name == "pypy", reason="PyPy sizes no dict")
@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_events_are_dicts_as_compact_as_python_makes_them(write_file, writer, kind):
    # A dict with only str keys has a smaller table that looks them up faster; a dict sized by
    # the C API without that knowledge has the general one, and user code indexing events slows.
    record = (
        writer.wd1_record([1, 2])
        if kind == "WD1"
        else writer.wd2_record([1.0, 2.0], event_counter=1)
    )
    (event,) = pluvo.EventReader(write_file([record]), kind)
    assert sys.getsizeof(event) <= sys.getsizeof(dict(event.items()))


# --- header values ---------------------------------------------------------------------------


@pytest.mark.parametrize("field", WD1_KEYS[1:-1])
@pytest.mark.parametrize(
    "bits", [0, 1, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xDEADBEEF, 0xFFFFFFFE, 0xFFFFFFFF]
)
def test_wd1_header_fields_are_signed(write_file, field, bits):
    path = write_file([wd1_raw([7, 8], **{field: bits}), wd1_raw([9], **{field: 5})])
    first, second = wd1_events(path)
    assert first[field] == signed32(bits)
    assert (first[field] < 0) == bool(bits & 0x80000000)
    assert second[field] == 5
    assert np.array_equal(first["data"], [7, 8])
    assert np.array_equal(second["data"], [9])


def test_wd1_header_values_in_field_order(write_file):
    record = wd1_raw([0x1234, 0xABCD], board_id=1, board_channel=3, event_counter=7, timestamp=1000)
    path = write_file([record])
    (event,) = wd1_events(path)
    assert [event[key] for key in WD1_KEYS[:-1]] == [28, 1, 0, 3, 7, 1000]
    assert event["data"].tolist() == [4660, 43981]


def wd1_changing_records(rng, count):
    """WD1 records whose header values each stay, change or come back from record to record, with
    the values an event must give for each."""
    bits = {}
    records, expected = [], []
    for n in range(count):
        for key in WD1_KEYS[1:-1]:
            if key not in bits or rng.random() < 0.3:
                bits[key] = rng.choice([0, 1, 5, 0x80000000, 0xFFFFFFFF])
        samples = [n] * rng.choice([0, 1, 2])
        records.append(wd1_raw(samples, **bits))
        values = {key: signed32(value) for key, value in bits.items()}
        expected.append({"event_size": 24 + 2 * len(samples), **values})
    return records, expected


def wd2_changing_records(writer, rng, count):
    """As wd1_changing_records, multi-channel WD2 records with consecutive counters; the first two
    agree, as the layout probe needs, and every block holds the channels of the first, the count
    probed."""
    fields = {}
    choices = {
        "timestamp": [0, 1, 2**63, 2**64 - 1],
        "samples": [0, 1, 2],
        "sampling_period": [0, 200, 2**40],
        "channels": [2, 3],
    }
    records, expected = [], []
    for n in range(count):
        for key, values in choices.items():
            if key not in fields or (n > 1 and rng.random() < 0.3):
                fields[key] = rng.choice(values)
        probed = expected[0]["channels"] if expected else fields["channels"]
        records.append(
            writer.wd2_record(
                [float(n)] * (probed * fields["samples"]),
                event_counter=n + 1,
                timestamp=fields["timestamp"],
                samples_per_channel=fields["samples"],
                sampling_period=fields["sampling_period"],
                channels=fields["channels"],
            )
        )
        expected.append({"event_counter": n + 1, **fields})
    return records, expected


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
@pytest.mark.parametrize("seed", range(3))
def test_header_values_that_repeat_change_and_come_back(write_file, writer, kind, seed):
    # Each event gives its own record's values and all its keys, whatever the events before it
    # held and however the caller changed them.
    rng = random.Random(seed)
    if kind == "WD1":
        records, expected = wd1_changing_records(rng, 300)
        keys = WD1_KEYS
    else:
        records, expected = wd2_changing_records(writer, rng, 300)
        keys = WD2_KEYS
    got = []
    for n, event in enumerate(pluvo.EventReader(write_file(records), kind)):
        assert list(event) == keys
        got.append({key: event[key] for key in keys[:-1]})
        if n % 3 == 0:
            event.clear()
        elif n % 3 == 1:
            del event[keys[n % (len(keys) - 1)]]
        else:
            event[keys[n % (len(keys) - 1)]] = None
    assert got == expected


@pytest.mark.parametrize(
    "first_counter", [0, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF], ids=hex
)
def test_wd2_counter_is_unsigned(write_file, writer, first_counter):
    # 0xFFFFFFFF followed by 0 still counts as consecutive for the layout probe
    events = wd2_events(write_file(multi_records(writer, 3, first_counter=first_counter)))
    assert [e["event_counter"] for e in events] == [(first_counter + n) % 2**32 for n in range(3)]
    assert all(e["channels"] == 2 for e in events)


@pytest.mark.parametrize("counter", [0x80000000, 0xFFFFFFFF], ids=hex)
def test_wd2_single_channel_counter_is_unsigned(write_file, writer, counter):
    events = wd2_events(write_file(single_records(writer, 2, first_counter=counter)))
    assert events[0]["event_counter"] == counter
    assert events[0]["channels"] == 1


@pytest.mark.parametrize("field", ["timestamp", "sampling_period"])
@pytest.mark.parametrize("value", [0, 2**32, 2**63 - 1, 2**63, 2**64 - 1], ids=hex)
@pytest.mark.parametrize("layout", ["multi", "single"])
def test_wd2_64_bit_fields_are_unsigned(write_file, writer, field, value, layout):
    make = multi_records if layout == "multi" else single_records
    events = wd2_events(write_file(make(writer, 3, **{field: value})))
    assert len(events) == 3
    assert all(e[field] == value for e in events)


@pytest.mark.parametrize("samples", [0, 4, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF], ids=hex)
def test_wd2_samples_is_unsigned(write_file, writer, samples):
    # a channel count of 0 makes every sample block empty, whatever the sample count
    records = [
        writer.wd2_record([], event_counter=n, samples_per_channel=samples, channels=0)
        for n in range(3)
    ]
    events = wd2_events(write_file(records))
    assert [e["samples"] for e in events] == [samples] * 3
    assert [e["channels"] for e in events] == [0] * 3
    assert all(e["data"].shape == (0,) for e in events)


@pytest.mark.parametrize("channels", [-1, -2, -(2**31)])
def test_wd2_negative_channels_in_every_record(write_file, writer, channels):
    records = [
        writer.wd2_record([], event_counter=n, samples_per_channel=0, channels=channels)
        for n in range(3)
    ]
    events = wd2_events(write_file(records))
    assert [e["channels"] for e in events] == [channels] * 3
    assert all(e["data"].shape == (0,) for e in events)


@pytest.mark.parametrize("own_channels", [-1, -(2**31), 0, 1, 5, 2**31 - 1])
def test_wd2_later_record_reports_its_own_channels(write_file, writer, own_channels):
    # the block size follows the probed count; the record's own field is only reported
    records = multi_records(writer, 4, channels=2, samples=3)
    values = [0.5 * k for k in range(6)]
    records[2] = writer.wd2_record(
        values, event_counter=3, samples_per_channel=3, channels=own_channels
    )
    events = wd2_events(write_file(records))
    assert [e["channels"] for e in events] == [2, 2, own_channels, 2]
    assert np.array_equal(events[2]["data"], np.array(values, dtype=np.float32))
    assert events[3]["event_counter"] == 4
    assert np.array_equal(events[3]["data"], np.arange(300, 306, dtype=np.float32))


# --- sample contents -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "samples",
    [[], [0], [1, 2, 3], [0, 1, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF], list(range(0, 65536, 7))],
    ids=["empty", "one", "three", "extremes", "large"],
)
def test_wd1_data_equals_written(write_file, writer, samples):
    path = write_file([writer.wd1_record(samples, event_counter=1), writer.wd1_record([42])])
    first, second = wd1_events(path)
    assert first["event_size"] == 24 + 2 * len(samples)
    assert first["data"].shape == (len(samples),)
    assert np.array_equal(first["data"], np.array(samples, dtype=np.uint16))
    assert second["data"].tolist() == [42]


def test_wd1_block_starting_at_buffer_boundary(write_file, writer):
    # the first record ends 24 bytes before 8192, so the second block starts at offset 8192
    first = [k % 65536 for k in range((8192 - 48) // 2)]
    second = [(k * 31) % 65536 for k in range(5000)]
    path = write_file([writer.wd1_record(first), writer.wd1_record(second), writer.wd1_record([5])])
    events = wd1_events(path)
    assert [len(e["data"]) for e in events] == [len(first), len(second), 1]
    assert np.array_equal(events[0]["data"], first)
    assert np.array_equal(events[1]["data"], second)
    assert events[2]["data"].tolist() == [5]


@pytest.mark.parametrize("event_size", [23, 24, 25])
def test_wd1_sizes_without_samples(write_file, writer, event_size):
    # a size of 25 counts one byte that is read as the start of the next header
    path = write_file(
        [writer.wd1_record([], event_size=event_size, board_id=4), writer.wd1_record([6, 7])]
    )
    first, second = wd1_events(path)
    assert first["event_size"] == event_size
    assert first["board_id"] == 4
    assert first["data"].shape == (0,)
    assert second["event_size"] == 28
    assert second["data"].tolist() == [6, 7]


@pytest.mark.parametrize("pairs", [1, 2, 5, 100])
def test_wd1_odd_event_size_rounds_down(write_file, writer, pairs):
    # the odd size's last counted byte is the first byte of the next header
    samples = list(range(1, pairs + 1))
    odd = writer.wd1_record(samples, event_size=24 + 2 * pairs + 1, event_counter=1)
    path = write_file([odd, writer.wd1_record([9, 8, 7], event_counter=2)])
    first, second = wd1_events(path)
    assert first["event_size"] == 24 + 2 * pairs + 1
    assert first["data"].tolist() == samples
    assert second["event_counter"] == 2
    assert second["data"].tolist() == [9, 8, 7]


@pytest.mark.parametrize("channels,samples", [(2, 1), (2, 256), (3, 5), (4, 2048)])
def test_wd2_multi_channel_data(write_file, writer, channels, samples):
    records = multi_records(writer, 3, channels=channels, samples=samples, sampling_period=16)
    events = wd2_events(write_file(records))
    assert len(events) == 3
    for n, event in enumerate(events):
        assert event["event_counter"] == n + 1
        assert event["samples"] == samples
        assert event["sampling_period"] == 16
        assert event["channels"] == channels
        # all channels in file order, not reshaped
        expected = np.array([n * 100 + k for k in range(channels * samples)], dtype=np.float32)
        assert event["data"].shape == (channels * samples,)
        assert np.array_equal(event["data"], expected)


def test_wd2_two_record_multi_channel_file(write_file, writer):
    records = [
        writer.wd2_record(
            [1.0, 2.0, 3.0, 4.0], event_counter=7, timestamp=1000, sampling_period=16, channels=2
        ),
        writer.wd2_record(
            [5.0, 6.0, 7.0, 8.0], event_counter=8, timestamp=2000, sampling_period=16, channels=2
        ),
    ]
    events = wd2_events(write_file(records))
    assert [[e[key] for key in WD2_KEYS[:-1]] for e in events] == [
        [7, 1000, 2, 16, 2],
        [8, 2000, 2, 16, 2],
    ]
    assert events[0]["data"].tolist() == [1.0, 2.0, 3.0, 4.0]
    assert events[1]["data"].tolist() == [5.0, 6.0, 7.0, 8.0]


@pytest.mark.parametrize(
    "channels,samples,values",
    [(1, 4, 4), (0, 4, 0), (0, 0x80000000, 0), (-1, 0, 0), (-(2**31), 0, 0)],
)
def test_wd2_consecutive_records_use_header_with_channels(
    write_file, writer, channels, samples, values
):
    # records that pass the probe's comparisons are read with the 28-byte header and their count
    records = [
        writer.wd2_record(
            [float(n * 10 + k) for k in range(values)],
            event_counter=n + 1,
            samples_per_channel=samples,
            sampling_period=8,
            channels=channels,
        )
        for n in range(4)
    ]
    events = wd2_events(write_file(records))
    assert [e["event_counter"] for e in events] == [1, 2, 3, 4]
    for n, event in enumerate(events):
        assert event["samples"] == samples
        assert event["channels"] == channels
        assert event["sampling_period"] == 8
        assert event["data"].tolist() == [float(n * 10 + k) for k in range(values)]


def test_wd2_single_channel_first_sample_zero(write_file, writer):
    records = [
        writer.wd2_record([0.0, 1.0, 2.0], event_counter=c, sampling_period=8) for c in (1, 2)
    ]
    path = write_file(records)
    assert [len(r) for r in records] == [36, 36]
    events = wd2_events(path)
    headers = [[e[key] for key in WD2_KEYS[:-1]] for e in events]
    assert headers == [[1, 0, 3, 8, 1], [2, 0, 3, 8, 1]]
    for event in events:
        assert event["data"].dtype == np.float32
        assert event["data"].tolist() == [0.0, 1.0, 2.0]


@pytest.mark.parametrize("first,samples", [(0.0, 2), (0.0, 100), (0.5, 256), (1.5, 1024)])
def test_wd2_single_channel_data(write_file, writer, first, samples):
    # a first sample of 0.0 keeps the probe's first block empty; 0.5 and 1.5, taken for a channel
    # count, make blocks of 2**39 bytes and more, which no 32-bit arithmetic may wrap to nothing
    rows = [[first] + [float(n * 1000 + k) for k in range(1, samples)] for n in range(5)]
    records = [
        writer.wd2_record(row, event_counter=n + 10, timestamp=n, sampling_period=3)
        for n, row in enumerate(rows)
    ]
    events = wd2_events(write_file(records))
    assert len(events) == 5
    for n, event in enumerate(events):
        assert event["event_counter"] == n + 10
        assert event["timestamp"] == n
        assert event["samples"] == samples
        assert event["channels"] == 1
        assert np.array_equal(event["data"], np.array(rows[n], dtype=np.float32))


def test_wd2_samples_keep_their_bit_patterns(write_file, writer):
    patterns = [
        0x7FC00001,  # quiet NaN with a payload
        0x7F800001,  # signalling NaN
        0xFFC12345,
        0x80000000,  # negative zero
        0x7F800000,
        0xFF800000,
        0x00000001,  # smallest subnormal
        0x807FFFFF,
        0x3F800000,
        0xFFFFFFFF,
    ]
    body = struct.pack(f"<{len(patterns)}I", *patterns)
    records = [
        writer.wd2_record([], event_counter=n, samples_per_channel=5, channels=2) + body
        for n in range(3)
    ]
    for event in wd2_events(write_file(records)):
        assert event["data"].view(np.uint32).tolist() == patterns


def test_wd2_little_endian_samples(write_file, writer):
    raw = bytes([0x01, 0x00, 0xC0, 0x7F, 0x00, 0x00, 0x80, 0x3F])
    records = [
        writer.wd2_record([], event_counter=n, samples_per_channel=1, channels=2) + raw
        for n in range(2)
    ]
    for event in wd2_events(write_file(records)):
        assert event["data"].view(np.uint32).tolist() == [0x7FC00001, 0x3F800000]
        assert event["data"][1] == 1.0


# --- the end of the data ---------------------------------------------------------------------


def test_empty_wd1_file_yields_nothing(write_file):
    reader = pluvo.EventReader(write_file([]), "WD1")
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    assert list(reader) == []


@pytest.mark.parametrize("size", [1, 5, 23])
def test_wd1_file_shorter_than_a_header(write_file, size):
    reader = pluvo.EventReader(write_file([b"\x01" * size]), "WD1")
    assert list(reader) == []
    assert list(reader) == []


@pytest.mark.parametrize("kept", [1, 4, 20, 23, 24, 25, 26, 31])
def test_wd1_cut_short_last_record(write_file, writer, kept):
    records = [writer.wd1_record([n, n + 1, n + 2, n + 3], event_counter=n) for n in range(4)]
    assert len(records[-1]) == 32
    reader = pluvo.EventReader(write_file(records[:-1] + [records[-1][:kept]]), "WD1")
    events = list(reader)  # ends without an exception
    assert [e["event_counter"] for e in events] == [0, 1, 2]
    assert [e["data"].tolist() for e in events] == [[n, n + 1, n + 2, n + 3] for n in range(3)]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(reader)


@pytest.mark.parametrize("kept", [1, 4, 12, 24, 27, 28, 29, 40, 51])
def test_wd2_multi_channel_cut_short_last_record(write_file, writer, kept):
    records = multi_records(writer, 4, channels=2, samples=3)
    assert len(records[-1]) == 52
    reader = pluvo.EventReader(write_file(records[:-1] + [records[-1][:kept]]), "WD2")
    events = list(reader)
    assert [e["event_counter"] for e in events] == [1, 2, 3]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(reader)


@pytest.mark.parametrize("kept", [1, 8, 23, 24, 25, 30, 35])
def test_wd2_single_channel_cut_short_last_record(write_file, writer, kept):
    records = single_records(writer, 4, samples=3)
    assert len(records[-1]) == 36
    reader = pluvo.EventReader(write_file(records[:-1] + [records[-1][:kept]]), "WD2")
    events = list(reader)
    assert [e["event_counter"] for e in events] == [1, 2, 3]
    assert all(e["channels"] == 1 for e in events)
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(reader)


# --- the iteration protocol ------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_iter_returns_the_reader(write_file, writer, kind):
    records = [writer.wd1_record([1])] if kind == "WD1" else multi_records(writer, 2)
    reader = pluvo.EventReader(write_file(records), kind)
    assert iter(reader) is reader
    assert iter(iter(reader)) is reader
    assert reader.__iter__() is reader


def test_two_loops_share_one_position(write_file, writer):
    path = write_file([writer.wd1_record([n], event_counter=n) for n in range(7)])
    reader = pluvo.EventReader(path, "WD1")
    seen = []
    for event in reader:
        seen.append(event["event_counter"])
        if len(seen) == 2:
            break
    for event in reader:
        seen.append(event["event_counter"])
        if len(seen) == 4:
            break
    seen.append(next(reader)["event_counter"])
    seen.extend(event["event_counter"] for event in reader)
    assert seen == list(range(7))


def test_zip_of_one_reader_with_itself_alternates(write_file, writer):
    path = write_file(multi_records(writer, 6))
    reader = pluvo.EventReader(path, "WD2")
    pairs = [(a["event_counter"], b["event_counter"]) for a, b in zip(reader, reader)]
    assert pairs == [(1, 2), (3, 4), (5, 6)]


def test_separate_readers_of_one_file_are_independent(write_file, writer):
    path = write_file([writer.wd1_record([n], event_counter=n) for n in range(4)])
    first = pluvo.EventReader(path, "WD1")
    second = pluvo.EventReader(path, "WD1")
    assert next(first)["event_counter"] == 0
    assert next(first)["event_counter"] == 1
    assert [e["event_counter"] for e in second] == [0, 1, 2, 3]
    assert [e["event_counter"] for e in first] == [2, 3]


@pytest.mark.parametrize("kind", ["WD1", "WD2-multi", "WD2-single"])
def test_grown_file_is_read_on_after_the_end(write_file, writer, kind):
    if kind == "WD1":
        records = [writer.wd1_record([n, n], event_counter=n) for n in range(6)]
    elif kind == "WD2-multi":
        records = multi_records(writer, 6, first_counter=0)
    else:
        records = single_records(writer, 6, first_counter=0)
    path = write_file(records[:3])
    reader = pluvo.EventReader(path, kind[:3])
    assert [e["event_counter"] for e in reader] == [0, 1, 2]
    with pytest.raises(StopIteration):
        next(reader)
    with open(path, "ab") as out:
        writer.write_records(out, records[3:5])
    assert next(reader)["event_counter"] == 3
    assert next(reader)["event_counter"] == 4
    with pytest.raises(StopIteration):
        next(reader)
    with open(path, "ab") as out:
        out.write(records[5])
    assert [e["event_counter"] for e in reader] == [5]


def test_empty_wd1_file_that_grows(write_file, writer):
    path = write_file([])
    reader = pluvo.EventReader(path, "WD1")
    assert list(reader) == []
    with open(path, "ab") as out:
        out.write(writer.wd1_record([3, 4], event_counter=9))
    (event,) = list(reader)
    assert event["event_counter"] == 9
    assert event["data"].tolist() == [3, 4]


# --- the bundled sample files ----------------------------------------------------------------


def test_sample_wd1():
    events = wd1_events(str(DATA / "sample.wd1"))
    assert len(events) == 200
    raw = (DATA / "sample.wd1").read_bytes()
    for n, event in enumerate(events):
        assert event["event_size"] == 24 + 2 * 512
        assert event["board_id"] == 1
        assert event["pattern"] == 0
        assert event["board_channel"] == n % 4
        assert event["event_counter"] == n
        assert event["timestamp"] == (n * 125_000) % 2**31
        assert event["data"].shape == (512,)
        assert event["data"].dtype == np.uint16
    start = 199 * 1048 + 24
    assert event["data"].tolist() == list(struct.unpack("<512H", raw[start : start + 1024]))


def test_sample_multi_wd2():
    events = wd2_events(str(DATA / "sample_multi.wd2"))
    assert len(events) == 200
    for n, event in enumerate(events):
        assert event["event_counter"] == n + 1
        assert event["timestamp"] == 1_000_000 + n * 40_000
        assert event["samples"] == 256
        assert event["sampling_period"] == 200
        assert event["channels"] == 2
        assert event["data"].shape == (512,)
        assert event["data"].dtype == np.float32


def test_sample_single_wd2():
    events = wd2_events(str(DATA / "sample_single.wd2"))
    assert len(events) == 200
    raw = (DATA / "sample_single.wd2").read_bytes()
    for n, event in enumerate(events):
        assert event["event_counter"] == n + 1
        assert event["timestamp"] == 1_000_000 + n * 40_000
        assert event["samples"] == 256
        assert event["sampling_period"] == 200
        assert event["channels"] == 1
        assert event["data"].shape == (256,)
        assert event["data"].dtype == np.float32
        start = n * (24 + 1024) + 24
        assert event["data"].astype("<f4").tobytes() == raw[start : start + 1024]
