"""Every prefix of a valid file: exactly the records that are whole in it, then the end."""

import pytest
from pluvo import EventReader

SHORT = "failed to fill whole buffer"


def wd1_file(writer):
    records = [
        writer.wd1_record([1, 2, 3], board_id=7, event_counter=0, timestamp=-5),
        writer.wd1_record([], event_counter=1),  # no samples
        # an odd size: its last counted byte is the first byte of the next header
        writer.wd1_record([9, 8], event_size=24 + 5, event_counter=2),
        writer.wd1_record(list(range(40, 60)), pattern=3, event_counter=3),
        writer.wd1_record([65535], event_counter=4),
    ]
    # the probe-free WD1 reader opens every prefix, the empty one included
    return records, 0


def wd2_multi_file(writer):
    records = [
        writer.wd2_record([n + k / 2 for k in range(6)], event_counter=n, channels=3, timestamp=n)
        for n in range(5)
    ]
    return records, len(records[0]) + 28  # the first record and the next header


def wd2_single_file(writer):
    records = [
        writer.wd2_record([0.0, n, -n, 0.5], event_counter=n, sampling_period=4) for n in range(5)
    ]
    # its first sample 0.0, read as a channel count, makes the probe's first block empty
    return records, 28 + 28


def wd2_overrun_file(writer):
    # a first sample whose bit pattern is 3, read as a channel count: the probe reads a block of
    # 3 x 5 x 4 bytes after the first 28, then 28 more, past the first record (44 bytes)
    subnormal3 = 3 * 2.0**-149
    records = [writer.wd2_record([subnormal3, 1.0, 2.0, 3.0, n], event_counter=n) for n in range(5)]
    return records, 28 + 60 + 28


FILES = {
    "WD1": wd1_file,
    "WD2-multi": wd2_multi_file,
    "WD2-single": wd2_single_file,
    "WD2-probe-overrun": wd2_overrun_file,
}


def event_of(event):
    return {key: value.tolist() if key == "data" else value for key, value in event.items()}


@pytest.mark.parametrize("name", FILES)
def test_every_truncation_length(tmp_path, writer, name):
    records, probe_needs = FILES[name](writer)
    whole = b"".join(records)
    kind = name[:3]
    path = tmp_path / "events.bin"
    path.write_bytes(whole)
    full = [event_of(event) for event in EventReader(str(path), kind)]
    assert len(full) == len(records)
    ends = [sum(map(len, records[: n + 1])) for n in range(len(records))]
    for length in range(len(whole) + 1):
        path.write_bytes(whole[:length])
        if length < probe_needs:
            with pytest.raises(OSError) as raised:
                EventReader(str(path), kind)
            assert type(raised.value) is OSError, length
            assert raised.value.args == (SHORT,), length
            continue
        reader = EventReader(str(path), kind)
        complete = sum(end <= length for end in ends)
        assert [event_of(event) for event in reader] == full[:complete], length
        for _ in range(2):
            with pytest.raises(StopIteration):
                next(reader)
        if length in ends:
            # cut at a record boundary: what is appended later reads on from there
            with open(path, "ab") as out:
                out.write(whole[length:])
            assert [event_of(event) for event in reader] == full[complete:], length
