"""Resident memory and open descriptors stay flat over many events, readers and failures."""

import gc
import os

import pluvo
import pytest
from conftest import PYPY
from fault_helpers import SANITIZED
from helpers import open_descriptors, run_python, settled

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
EVENTS = 300_000
MiB = 1024 * 1024
# Under AddressSanitizer resident memory includes the quarantine of freed blocks.
needs_plain_allocator = pytest.mark.skipif(SANITIZED, reason="resident memory under the sanitizer")


def resident_pages():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1])


def resident_bytes():
    return settled(resident_pages) * PAGE_SIZE


@pytest.fixture(scope="module")
def big_files(tmp_path_factory):
    from pluvo_tools import write as wavewriter

    directory = tmp_path_factory.mktemp("leaks")
    wd1 = wavewriter.wd1_record(range(1000, 1008), board_id=2, event_counter=5)
    # the probe needs two consecutive counters; later counters are carried, not checked
    wd2 = [
        wavewriter.wd2_record([0.25 * k for k in range(8)], event_counter=n, channels=2)
        for n in range(3)
    ]
    paths = {"WD1": directory / "many.wd1", "WD2": directory / "many.wd2"}
    paths["WD1"].write_bytes(wd1 * EVENTS)
    paths["WD2"].write_bytes(wd2[0] + wd2[1] + wd2[2] * (EVENTS - 2))
    return {kind: str(path) for kind, path in paths.items()}


def read_all(path, kind):
    count = samples = 0
    for event in pluvo.EventReader(path, kind):
        count += 1
        samples += len(event["data"])
    return count, samples


@needs_plain_allocator
@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_iterating_many_events_keeps_memory_flat(big_files, kind):
    path = big_files[kind]
    assert read_all(path, kind) == (EVENTS, 8 * EVENTS)  # warm-up: caches, allocator pools
    descriptors = open_descriptors()
    resident = resident_bytes()
    for _ in range(2):
        assert read_all(path, kind) == (EVENTS, 8 * EVENTS)
    # a leak of even a few bytes per event would add several MiB over 600,000 events
    assert resident_bytes() - resident < 4 * MiB
    assert open_descriptors() == descriptors


@needs_plain_allocator
@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_kept_arrays_are_released_when_dropped(big_files, kind):
    reader = pluvo.EventReader(big_files[kind], kind)
    arrays = [next(reader)["data"] for _ in range(1000)]
    del arrays
    resident = resident_bytes()
    for _ in range(20):
        arrays = [next(reader)["data"] for _ in range(5000)]
        del arrays
        gc.collect()  # PyPy frees dropped arrays, and their samples, only when it collects
    assert resident_bytes() - resident < 2 * MiB


@pytest.mark.skipif(not PYPY, reason="CPython frees each array when its last reference goes")
def test_arrays_dropped_by_a_loop_that_allocates_nothing_else_are_freed(
    tmp_path, write_file, writer
):
    # PyPy frees them only when it collects, and this loop gives it no other reason to; arrays
    # that held memory unknown to it would grow the process by the 192 MiB read
    samples = 32 * MiB // 2
    path = write_file([writer.wd1_record(range(1024))] * (samples // 1024), "many.wd1")
    growth = run_python(
        """
        import resource, sys
        import numpy, pluvo
        def peak():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        for batch in pluvo.EventReader(sys.argv[1], "WD1").batches(max_bytes=2**20):
            pass
        before = peak()
        for _ in range(6):
            for batch in pluvo.EventReader(sys.argv[1], "WD1").batches(max_bytes=2**20):
                pass
        print(peak() - before)
        """,
        path,
        tmp_path=tmp_path,
    )
    assert growth < 64 * MiB


@pytest.fixture
def small_files(write_file, writer):
    wd1 = [writer.wd1_record([n] * 16, event_counter=n) for n in range(4)]
    wd2 = [writer.wd2_record([1.0] * 16, event_counter=n, channels=2) for n in range(4)]
    return {"WD1": write_file(wd1, "small.wd1"), "WD2": write_file(wd2, "small.wd2")}


def churn_readers(path, kind, count):
    for _ in range(count):
        reader = pluvo.EventReader(path, kind)
        next(reader)
        del reader


@needs_plain_allocator
@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_readers_release_their_files(small_files, kind):
    path = small_files[kind]
    churn_readers(path, kind, 200)
    descriptors = open_descriptors()
    resident = resident_bytes()
    churn_readers(path, kind, 2000)
    assert open_descriptors() == descriptors
    # each reader owns an 8 KiB buffer: 2,000 kept ones would add about 16 MiB
    assert resident_bytes() - resident < 2 * MiB


def test_unfinished_readers_release_their_files(small_files):
    descriptors = open_descriptors()
    readers = [pluvo.EventReader(small_files[kind], kind) for kind in ("WD1", "WD2") * 100]
    assert open_descriptors() == descriptors + 200
    del readers
    gc.collect()
    assert open_descriptors() == descriptors


def test_exhausted_readers_release_their_files(small_files):
    descriptors = open_descriptors()
    for _ in range(500):
        for kind, path in small_files.items():
            reader = pluvo.EventReader(path, kind)
            assert sum(1 for _ in reader) == 4
            assert next(reader, None) is None
    del reader
    assert open_descriptors() == descriptors


def failure_cases(tmp_path, write_file, writer):
    """name -> (expected exception, callable that fails)."""
    existing = write_file([writer.wd1_record([1, 2])], "one.wd1")
    missing = str(tmp_path / "missing.wd1")
    short = write_file([b"\0" * 40], "short.wd2")
    bad_size = write_file([writer.wd1_record([], event_size=22)], "bad.wd1")
    EventReader = pluvo.EventReader

    def next_of_bad_record():
        next(EventReader(bad_size, "WD1"))

    return {
        "missing-file": (FileNotFoundError, lambda: EventReader(missing, "WD1")),
        "missing-file-bad-type": (FileNotFoundError, lambda: EventReader(missing, "WD9")),
        "bad-reader-type": (ValueError, lambda: EventReader(existing, "wd1")),
        "empty-reader-type": (ValueError, lambda: EventReader(existing, "")),
        "path-not-text": (TypeError, lambda: EventReader(1, "WD1")),
        "type-not-text": (TypeError, lambda: EventReader(existing, b"WD1")),
        "missing-argument": (TypeError, lambda: EventReader(existing)),
        "too-many": (TypeError, lambda: EventReader(existing, "WD1", "WD2")),
        "unexpected-keyword": (TypeError, lambda: EventReader(existing, "WD1", mode="r")),
        "multiple-values": (TypeError, lambda: EventReader(existing, "WD1", path=existing)),
        "nul-in-path": (OSError, lambda: EventReader(existing + "\0", "WD1")),
        "wd2-probe-short-file": (OSError, lambda: EventReader(short, "WD2")),
        "wd2-probe-directory": (OSError, lambda: EventReader(str(tmp_path), "WD2")),
        "capacity-overflow": ("PanicException", next_of_bad_record),
    }


FAILURES = [
    "missing-file",
    "missing-file-bad-type",
    "bad-reader-type",
    "empty-reader-type",
    "path-not-text",
    "type-not-text",
    "missing-argument",
    "too-many",
    "unexpected-keyword",
    "multiple-values",
    "nul-in-path",
    "wd2-probe-short-file",
    "wd2-probe-directory",
    "capacity-overflow",
]


def fail_repeatedly(expected, call, count):
    """expected is an exception type, or the name of one that the module does not export."""
    for _ in range(count):
        try:
            call()
        except BaseException as error:  # noqa: B036 - the internal fault is not an Exception
            if isinstance(expected, str):
                assert type(error).__name__ == expected, repr(error)
            else:
                assert isinstance(error, expected), repr(error)
        else:
            raise AssertionError("the call did not fail")


@needs_plain_allocator
@pytest.mark.parametrize("name", FAILURES)
def test_failures_release_everything(tmp_path, write_file, writer, name):
    expected, call = failure_cases(tmp_path, write_file, writer)[name]
    fail_repeatedly(expected, call, 500)
    descriptors = open_descriptors()
    resident = resident_bytes()
    fail_repeatedly(expected, call, 5000)
    assert open_descriptors() == descriptors
    # a kept 8 KiB buffer, exception or message per failure would add well over 1 MiB
    assert resident_bytes() - resident < 1 * MiB
