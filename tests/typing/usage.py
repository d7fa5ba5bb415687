"""Typed use of pluvo: checked with mypy --strict against the installed stubs, and run as a
script from the repository's root on the bundled sample files."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Iterator

import numpy as np
import pluvo

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type

if TYPE_CHECKING:
    from pluvo import WD1Batch, WD1Event, WD2Batch, WD2Event

WD1_FILE = "tests/data/sample.wd1"
WD2_FILE = "tests/data/sample_multi.wd2"


def wd1_peaks(path: str) -> list[int]:
    reader = pluvo.EventReader(path, "WD1")
    assert_type(reader, "pluvo.EventReader[WD1Event]")
    assert_type(iter(reader), "pluvo.EventReader[WD1Event]")
    first = next(reader)
    assert_type(first, "WD1Event")
    assert_type(first["board_channel"], int)
    assert_type(first["data"], "np.ndarray[tuple[int], np.dtype[np.uint16]]")
    return [int(first["data"].max())] + [int(event["data"].max()) for event in reader]


def wd2_channels(path: str) -> list[np.ndarray[tuple[int, int], np.dtype[np.float32]]]:
    result = []
    for event in pluvo.EventReader(path=path, reader_type="WD2"):
        assert_type(event, "WD2Event")
        assert_type(event["data"], "np.ndarray[tuple[int], np.dtype[np.float32]]")
        result.append(event["data"].reshape(event["channels"], event["samples"]))
    return result


def counters(path: str, reader_type: str) -> list[int]:
    # A reader type known only at run time gives either kind of event.
    events: Iterator[WD1Event | WD2Event] = pluvo.EventReader(path, reader_type)
    return [event["event_counter"] for event in events]


def board_channels(events: Iterator[WD1Event | WD2Event]) -> list[int]:
    return [event["board_channel"] for event in events if "board_channel" in event]


def wd1_amplitudes(path: str) -> np.ndarray[tuple[int], np.dtype[np.uint16]]:
    batches = pluvo.EventReader(path, "WD1").batches(max_events=50)
    batch: WD1Batch = next(batches)
    assert_type(batch, "WD1Batch")
    assert_type(batch["board_channel"], "np.ndarray[tuple[int], np.dtype[np.int32]]")
    assert_type(batch["data"], "np.ndarray[tuple[int, int], np.dtype[np.uint16]]")
    return np.concatenate([batch["data"].max(axis=1)] + [b["data"].max(axis=1) for b in batches])


def wd2_timestamps(path: str) -> list[int]:
    timestamps: list[int] = []
    batches: Iterator[WD2Batch] = pluvo.EventReader(path, "WD2").batches(max_bytes=1 << 20)
    for batch in batches:
        assert_type(batch, "WD2Batch")
        assert_type(batch["timestamp"], "np.ndarray[tuple[int], np.dtype[np.uint64]]")
        timestamps += batch["timestamp"].tolist()
    return timestamps


def middle_counters(path: str) -> list[int]:
    with pluvo.EventReader(path, "WD1") as reader:
        assert_type(reader, "pluvo.EventReader[WD1Event]")
        index = reader.index()
        start: int = reader.seek(index.offsets[len(index) // 2])
        batches = reader.batches(stop=index.offsets[len(index) // 2 + 3])
        counters = [int(c) for batch in batches for c in batch["event_counter"]]
        assert reader.tell() > start
        return counters


def rejected(path: str) -> None:
    """Never called: each line is an error the stubs must report."""
    pluvo.EventReader(1, "WD1")  # type: ignore[call-overload]
    pluvo.EventReader(path)  # type: ignore[call-overload]
    pluvo.EventReader(path, "WD1", 0)  # type: ignore[call-overload]
    pluvo.EventReader(path, "WD1").seek("0")  # type: ignore[arg-type]
    pluvo.EventReader(path, "WD1").batches(stop=1.5)  # type: ignore[call-overload]
    next(pluvo.EventReader(path, "WD1"))["samples"]  # type: ignore[typeddict-item]
    next(pluvo.EventReader(path, "WD2"))["board_id"]  # type: ignore[typeddict-item]
    wd2: Iterator[WD2Event] = pluvo.EventReader(path, "WD1")  # type: ignore[assignment]
    del wd2
    pluvo.EventReader(path, "WD1").batches("10")  # type: ignore[call-overload]
    next(pluvo.EventReader(path, "WD1").batches())["samples"]  # type: ignore[typeddict-item]

    class Sub(pluvo.EventReader["WD1Event"]):  # type: ignore[misc]
        pass


def main() -> None:
    peaks = wd1_peaks(WD1_FILE)
    assert len(peaks) == 200 and min(peaks) > 2000, peaks
    channels = wd2_channels(WD2_FILE)
    assert [block.shape for block in channels] == [(2, 256)] * 200
    assert channels[0].dtype == np.float32
    assert counters(WD2_FILE, "WD2") == list(range(1, 201))
    assert board_channels(pluvo.EventReader(WD1_FILE, "WD1")) == [n % 4 for n in range(200)]
    assert board_channels(pluvo.EventReader(WD2_FILE, "WD2")) == []
    assert len(wd1_amplitudes(WD1_FILE)) == 200
    assert wd2_timestamps(WD2_FILE) == [1_000_000 + n * 40_000 for n in range(200)]
    assert middle_counters(WD1_FILE) == [100, 101, 102]
    print("typed usage ok")


if __name__ == "__main__":
    main()
