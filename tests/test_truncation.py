"""Every prefix of a valid file: what the layouts, walked over the same bytes, say it holds."""

import numpy as np
import pytest
from pluvo import EventReader
from record_walk import wd1_outcomes, wd2_outcomes, wd2_probe

SHORT = "failed to fill whole buffer"
WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"]
WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels"]


def wd1_file(writer):
    return [
        writer.wd1_record([1, 2, 3], board_id=7, event_counter=0, timestamp=-5),
        writer.wd1_record([], event_counter=1),  # no samples
        # an odd size: its last counted byte is the first byte of the next header
        writer.wd1_record([9, 8], event_size=24 + 5, event_counter=2),
        writer.wd1_record(list(range(40, 60)), pattern=3, event_counter=3),
        writer.wd1_record([65535], event_counter=4),
    ]


def wd2_multi_file(writer):
    return [
        writer.wd2_record([n + k / 2 for k in range(6)], event_counter=n, channels=3, timestamp=n)
        for n in range(5)
    ]


def wd2_single_file(writer):
    # realistic first samples: read as a channel count, 0.1 makes an impossible block
    return [
        writer.wd2_record([0.1, n, -n, 0.5], event_counter=n, sampling_period=4) for n in range(5)
    ]


def wd2_overrun_file(writer):
    # a first sample whose bit pattern is 3, read as a channel count: the multi-channel reading
    # takes a block of 3 x 5 x 4 bytes after the first 28, then 28 more, past the first record
    subnormal3 = 3 * 2.0**-149
    return [writer.wd2_record([subnormal3, 1.0, 2.0, 3.0, n], event_counter=n) for n in range(5)]


FILES = {
    "WD1": wd1_file,
    "WD2-multi": wd2_multi_file,
    "WD2-single": wd2_single_file,
    "WD2-probe-overrun": wd2_overrun_file,
}


def walk(data, kind, layout=None):
    """The records the layout finds in data, and the bytes they take up; None where the WD2
    probe refuses the file."""
    if kind == "WD1":
        outcomes, header, keys, dtype = wd1_outcomes(data), 24, WD1_KEYS, "<u2"
    else:
        layout = layout or wd2_probe(data)
        if layout in ("fails", "faults"):
            return None
        outcomes, header, keys, dtype = wd2_outcomes(data, *layout), layout[0], WD2_KEYS, "<f4"
    events = [
        {**dict(zip(keys, outcome[1])), "data": np.frombuffer(outcome[2], dtype).tolist()}
        if outcome[0] == "record"
        else "fault"
        for outcome in outcomes
    ]
    consumed = [header + (len(outcome[2]) if outcome[0] == "record" else 0) for outcome in outcomes]
    return events, sum(consumed)


def read_all(reader):
    """The events, and "fault" for each block that cannot be read, up to the end."""
    events = []
    while True:
        try:
            event = next(reader)
        except StopIteration:
            return events
        except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
            assert exc.args == ("capacity overflow",)
            events.append("fault")
        else:
            events.append({k: v.tolist() if k == "data" else v for k, v in event.items()})


@pytest.mark.parametrize("name", FILES)
def test_every_truncation_length(tmp_path, writer, name):
    whole = b"".join(FILES[name](writer))
    kind = name[:3]
    path = tmp_path / "events.bin"
    opened = 0
    for length in range(len(whole) + 1):
        prefix = whole[:length]
        path.write_bytes(prefix)
        expected = walk(prefix, kind)
        if expected is None:
            with pytest.raises(BaseException) as raised:
                EventReader(str(path), kind)
            if wd2_probe(prefix) == "faults":
                assert raised.value.args == ("capacity overflow",), length
            else:
                assert type(raised.value) is OSError, length
                assert raised.value.args == (SHORT,), length
            continue
        opened += 1
        events, consumed = expected
        reader = EventReader(str(path), kind)
        assert read_all(reader) == events, length
        for _ in range(2):
            with pytest.raises(StopIteration):
                next(reader)
        if consumed == length:
            # cut at a record boundary: what is appended later reads on from there, in the
            # layout the prefix was given
            with open(path, "ab") as out:
                out.write(whole[length:])
            layout = None if kind == "WD1" else wd2_probe(prefix)
            rest, _ = walk(whole, kind, layout)
            assert read_all(reader) == rest[len(events) :], length
    assert opened > len(whole) // 2
