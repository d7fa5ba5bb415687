"""Which exception, with which message, each failure of pluvo raises."""

import fcntl
import os
import re
import shutil
import struct
import sys
import textwrap
import threading

import pytest
from helpers import SETTLED, open_descriptors, run_python
from pluvo import EventReader

CAPACITY = "capacity overflow"
SHORT = "failed to fill whole buffer"
NUL = "file name contained an unexpected NUL byte"
WD1_HEADER = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")


def os_message(number):
    return f"{os.strerror(number)} (os error {number})"


def unknown_type(reader_type):
    return f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'"


def assert_single_message(exc, exc_type, message):
    assert type(exc) is exc_type
    assert exc.args == (message,)
    assert str(exc) == message


def assert_os_error(exc, exc_type, message):
    assert_single_message(exc, exc_type, message)
    # The error number lives only inside the message.
    assert exc.errno is None
    assert exc.strerror is None
    assert exc.filename is None
    assert exc.filename2 is None


def raised_by(call):
    """The exception call() raises; BaseException so that PanicException is caught too."""
    try:
        call()
    except BaseException as exc:  # noqa: B902
        return exc
    pytest.fail("no exception raised")


def bad_wd1_header(event_size, **fields):
    return struct.pack(
        "<6i",
        event_size,
        fields.get("board_id", 0),
        fields.get("pattern", 0),
        fields.get("board_channel", 0),
        fields.get("event_counter", 0),
        fields.get("timestamp", 0),
    )


@pytest.fixture
def panic_class(write_file, writer):
    path = write_file([bad_wd1_header(0)], name="panic.wd1")
    return type(raised_by(lambda: next(EventReader(path, "WD1"))))


# --- failures to open the file ---------------------------------------------------------------


def missing_file(tmp_path):
    return tmp_path / "absent.wd1"


def missing_directory(tmp_path):
    return tmp_path / "absent" / "events.wd1"


def file_as_directory(tmp_path):
    (tmp_path / "plain").write_bytes(b"")
    return tmp_path / "plain" / "events.wd1"


def symlink_loop(tmp_path):
    (tmp_path / "a").symlink_to(tmp_path / "b")
    (tmp_path / "b").symlink_to(tmp_path / "a")
    return tmp_path / "a"


def long_name(tmp_path):
    return tmp_path / ("x" * 300)


@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "wd1", ""])
@pytest.mark.parametrize(
    ("make_path", "exc_type", "number"),
    [
        (missing_file, FileNotFoundError, 2),
        (missing_directory, FileNotFoundError, 2),
        (file_as_directory, NotADirectoryError, 20),
        (symlink_loop, OSError, 40),
        (long_name, OSError, 36),
    ],
    ids=["missing", "missing-dir", "not-a-dir", "loop", "long-name"],
)
def test_open_failure(tmp_path, make_path, exc_type, number, reader_type):
    path = str(make_path(tmp_path))
    exc = raised_by(lambda: EventReader(path, reader_type))
    assert_os_error(exc, exc_type, os_message(number))


@pytest.mark.skipif(os.geteuid() == 0, reason="root passes every permission check")
@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "wd1"])
def test_open_without_permission(tmp_path, reader_type):
    locked = tmp_path / "locked"
    locked.mkdir()
    (locked / "events.wd1").write_bytes(b"")
    locked.chmod(0)
    try:
        exc = raised_by(lambda: EventReader(str(locked / "events.wd1"), reader_type))
    finally:
        locked.chmod(0o700)
    assert_os_error(exc, PermissionError, os_message(13))


@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "wd1"])
@pytest.mark.parametrize("name", ["a\0b", "\0", "{existing}\0", "{existing}\0tail"])
def test_path_with_nul_byte(write_file, name, reader_type):
    path = name.format(existing=write_file([b""]))
    exc = raised_by(lambda: EventReader(path, reader_type))
    assert_os_error(exc, OSError, NUL)


# --- reader types ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "reader_type",
    [
        "wd1",
        "wd2",
        "Wd1",
        "WD3",
        "WD1 ",
        " WD1",
        "WD",
        "WD12",
        "",
        "WD1\0",
        "'",
        'it\'s "quoted"',
        "line\nbreak",
        "tab\there\\",
        "WDé",
        "ＷＤ１",
    ],
)
def test_unknown_reader_type(write_file, reader_type):
    path = write_file([b""])
    before = open_descriptors()
    exc = raised_by(lambda: EventReader(path, reader_type))
    assert_single_message(exc, ValueError, unknown_type(reader_type))
    # The file is closed before raising.
    assert open_descriptors() == before


def test_unknown_reader_type_on_a_directory(tmp_path):
    # A directory opens; the type check comes after the open.
    exc = raised_by(lambda: EventReader(str(tmp_path), "WD3"))
    assert_single_message(exc, ValueError, unknown_type("WD3"))


# --- the WD2 layout probe --------------------------------------------------------------------


def wd2_multi(writer, counter, **kw):
    return writer.wd2_record(
        [0.5, 1.5, 2.5, 3.5], event_counter=counter, sampling_period=16, channels=2, **kw
    )


def subnormal(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


@pytest.mark.parametrize(
    "make_records",
    [
        lambda w: [],
        lambda w: [b"\x01"],
        lambda w: [bytes(27)],
        lambda w: [wd2_multi(w, 7)[:40]],
        lambda w: [wd2_multi(w, 7), wd2_multi(w, 8)[:27]],
        lambda w: [wd2_multi(w, 7), b"\x00"],
    ],
    ids=["empty", "one-byte", "27-bytes", "first-block-cut", "second-header-cut", "one-byte-more"],
)
def test_wd2_probe_short_file(write_file, writer, make_records):
    path = write_file(make_records(writer))
    before = open_descriptors()
    exc = raised_by(lambda: EventReader(path, "WD2"))
    assert_os_error(exc, OSError, SHORT)
    assert open_descriptors() == before


def single(writer, counters, first, samples=4, period=8):
    return [
        writer.wd2_record(
            [first] + [float(k) for k in range(1, samples)], event_counter=c, sampling_period=period
        )
        for c in counters
    ]


@pytest.mark.parametrize(
    ("make_records", "channels", "counters"),
    [
        # first samples that, read as a channel count, make blocks of 2^31 bytes or more
        (lambda w: single(w, [1, 2], 0.1), 1, [1, 2]),
        (lambda w: single(w, [1, 2], 1.0, samples=3), 1, [1, 2]),
        # a subnormal first sample, read as two channels: the second header would be past the end
        (lambda w: single(w, [1, 2], subnormal(2), samples=3), 1, [1, 2]),
        (lambda w: single(w, [1, 5], 0.1), 1, [1, 5]),  # a lost event: counters are not compared
        (lambda w: single(w, [3], 0.1), 1, [3]),
        (lambda w: single(w, [3], 0.0, samples=1), 1, [3]),  # 28 bytes: one sample, not a header
        (lambda w: [wd2_multi(w, 7)], 2, [7]),
    ],
    ids=[
        "first-sample-0.1",
        "first-sample-1.0",
        "subnormal-first-sample",
        "lost-event",
        "one-single-channel-record",
        "28-bytes",
        "one-multi-channel-record",
    ],
)
def test_wd2_probe_opens_what_the_multi_channel_reading_cannot(
    write_file, writer, make_records, channels, counters
):
    records = make_records(writer)
    events = list(EventReader(write_file(records), "WD2"))
    assert [event["event_counter"] for event in events] == counters
    assert [event["channels"] for event in events] == [channels] * len(counters)
    header = 28 if channels > 1 else 24
    assert [event["data"].tobytes() for event in events] == [r[header:] for r in records]


def test_wd2_probe_on_directory(tmp_path):
    # Not mapped by kind: plain OSError, not IsADirectoryError.
    exc = raised_by(lambda: EventReader(str(tmp_path), "WD2"))
    assert_os_error(exc, OSError, os_message(21))


def test_wd2_probe_block_just_below_limit_on_short_file(write_file, writer):
    # 2**31 - 4 bytes is a legal block size; the file ends inside it.
    header = writer.wd2_record([], event_counter=0, samples_per_channel=2**29 - 1, channels=1)
    path = write_file([header, bytes(64)])
    exc = raised_by(lambda: EventReader(path, "WD2"))
    assert_os_error(exc, OSError, SHORT)


# --- read failures during iteration ----------------------------------------------------------


def test_directory_as_wd1_raises_on_first_next(tmp_path):
    reader = EventReader(str(tmp_path), "WD1")
    exc = raised_by(lambda: next(reader))
    assert_os_error(exc, IsADirectoryError, os_message(21))
    # The reader stays finished after a read failure.
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    assert list(reader) == []


# --- internal faults -------------------------------------------------------------------------


@pytest.mark.parametrize("event_size", [22, 21, 1, 0, -1, -24, -(2**31) + 24])
def test_negative_sample_block(write_file, writer, panic_class, event_size):
    path = write_file(
        [
            bad_wd1_header(event_size, board_id=9),
            writer.wd1_record(
                [10, 20], board_id=1, pattern=2, board_channel=3, event_counter=4, timestamp=5
            ),
        ]
    )
    reader = EventReader(path, "WD1")
    exc = raised_by(lambda: next(reader))
    assert_single_message(exc, panic_class, CAPACITY)
    # The bad header stays consumed: the next record starts right after its 24 bytes.
    event = next(reader)
    assert [event[key] for key in WD1_HEADER] == [28, 1, 2, 3, 4, 5]
    assert event["data"].tolist() == [10, 20]
    with pytest.raises(StopIteration):
        next(reader)


def test_faults_between_records(write_file, writer, panic_class):
    path = write_file(
        [
            writer.wd1_record([1], event_counter=1),
            bad_wd1_header(0),
            bad_wd1_header(-1),
            writer.wd1_record([2], event_counter=2),
            bad_wd1_header(22),
        ]
    )
    reader = EventReader(path, "WD1")
    outcomes = []
    for _ in range(6):
        try:
            outcomes.append(next(reader)["event_counter"])
        except StopIteration:
            outcomes.append("end")
        except panic_class as exc:
            outcomes.append(str(exc))
    assert outcomes == [1, CAPACITY, CAPACITY, 2, CAPACITY, "end"]


def test_panic_exception_class(panic_class):
    assert panic_class.__module__ == "pyo3_runtime"
    assert panic_class.__name__ == "PanicException"
    assert panic_class.__qualname__ == "PanicException"
    assert panic_class.__bases__ == (BaseException,)
    assert not issubclass(panic_class, Exception)


def test_panic_exception_doc(panic_class):
    doc = panic_class.__doc__
    assert doc.startswith("\n")
    assert doc.endswith("\n")
    paragraphs = doc.strip("\n").split("\n\n")
    assert len(paragraphs) == 2
    assert "panic" in paragraphs[0].lower()
    assert "SystemExit" in paragraphs[1]
    assert "BaseException" in paragraphs[1]


def test_panic_not_caught_as_exception(write_file, panic_class):
    reader = EventReader(write_file([bad_wd1_header(0)]), "WD1")
    caught_by = None
    try:
        try:
            next(reader)
        except Exception:
            caught_by = "Exception"
    except BaseException as exc:  # noqa: B902
        caught_by = type(exc)
    assert caught_by is panic_class


def test_same_class_every_fault(write_file, writer, panic_class):
    wd1 = write_file([bad_wd1_header(0)], name="a.wd1")
    wd2 = write_file(
        [writer.wd2_record([], event_counter=0, samples_per_channel=2**29, channels=1)],
        name="b.wd2",
    )
    faults = [
        raised_by(lambda: next(EventReader(wd1, "WD1"))),
        raised_by(lambda: next(EventReader(wd1, "WD1"))),
        raised_by(lambda: EventReader(wd2, "WD2")),
    ]
    assert all(type(exc) is panic_class for exc in faults)


def test_fault_report_on_stderr(write_file, capfd):
    reader = EventReader(write_file([bad_wd1_header(0)]), "WD1")
    capfd.readouterr()
    raised_by(lambda: next(reader))
    lines = capfd.readouterr().err.splitlines()
    # A first line names the thread and the place; the message follows on its own line.
    assert CAPACITY in lines[1:]


# channels x samples x 4 at 2**31 and beyond 2**32, where 32 bits would keep a small block.
@pytest.mark.parametrize(
    ("samples", "channels"),
    [
        (2**29, 1),
        (1, 2**29),
        (2**28, 2),
        (2**29 + 1, 1),
        (3, 2**28),
        (2**30, 1),
        (2**30 + 2, 1),
        (2**16, 2**16),
        (2**32 - 1, 2**31 - 1),
        (2**31 + 1, -1),
    ],
)
def test_wd2_probe_block_too_large(write_file, writer, panic_class, samples, channels):
    header = writer.wd2_record([], event_counter=0, samples_per_channel=samples, channels=channels)
    path = write_file([header, bytes(64)])
    before = open_descriptors()
    exc = raised_by(lambda: EventReader(path, "WD2"))
    assert_single_message(exc, panic_class, CAPACITY)
    assert open_descriptors() == before


# Blocks of 2**31 bytes and beyond 2**32 (kept modulo 2**32: none, 8 or 16 bytes), in either
# layout: only the header is consumed, and the record after it comes next.
@pytest.mark.parametrize("channels", [2, None], ids=["multi", "single"])
@pytest.mark.parametrize("block", [2**31, 2**32, 2**32 + 8, 2**33 + 16, 2**34 - 8])
def test_wd2_block_too_large_during_iteration(write_file, writer, panic_class, channels, block):
    def record(counter, values=(0.5, 1.5, 2.5, 3.5), **fields):
        return writer.wd2_record(
            values, event_counter=counter, sampling_period=16, channels=channels, **fields
        )

    samples = block // 4 // (channels or 1)
    huge = record(9, [], samples_per_channel=samples)
    reader = EventReader(write_file([record(7), record(8), huge, record(10)]), "WD2")
    assert [next(reader)["event_counter"] for _ in range(2)] == [7, 8]
    exc = raised_by(lambda: next(reader))
    assert_single_message(exc, panic_class, CAPACITY)
    event = next(reader)
    assert event["event_counter"] == 10
    assert event["data"].tolist() == [0.5, 1.5, 2.5, 3.5]
    with pytest.raises(StopIteration):
        next(reader)


# --- re-entrant use --------------------------------------------------------------------------

REENTER = """
    import json, sys
    import pluvo

    seen = []

    class Reenter:
        # Runs while the first next() builds its first array, which imports NumPy.
        def find_spec(self, name, path=None, target=None):
            if name == "numpy" and not seen:
                for call in (lambda: next(reader), lambda: iter(reader)):
                    try:
                        call()
                        seen.append("no exception")
                    except BaseException as exc:
                        seen.append([type(exc) is RuntimeError, list(exc.args)])
            return None

    reader = pluvo.EventReader(sys.argv[1], "WD1")
    sys.meta_path.insert(0, Reenter())
    counters = [event["event_counter"] for event in reader]
    print(json.dumps({"seen": seen, "counters": counters}))
"""


def test_reentrant_use_is_refused(write_file, writer, tmp_path):
    path = write_file([writer.wd1_record([1], event_counter=c) for c in (1, 2)])
    result = run_python(REENTER, path, tmp_path=tmp_path)
    if not result["seen"]:
        pytest.skip("NumPy was not imported during the first next()")
    assert result["seen"] == [[True, ["Already borrowed"]], [True, ["Already mutably borrowed"]]]
    # The refused calls left the borrow alone: the outer iteration goes on normally.
    assert result["counters"] == [1, 2]


# --- out of memory ---------------------------------------------------------------------------

OUT_OF_MEMORY = SETTLED + textwrap.dedent(
    """
    import json, sys
    import numpy
    import pluvo

    path, reader_type, how = sys.argv[1], sys.argv[2], sys.argv[3]
    reader = pluvo.EventReader(path, reader_type)
    steps = reader if how == "events" else reader.batches(max_events=4)

    def counters(item):
        return item["event_counter"] if how == "events" else item["event_counter"].tolist()

    outcomes = [counters(next(steps))]  # NumPy imported before the limit

    # Far less room than the block needs; plenty for everything else.
    limit_address_space(256 << 20)

    for _ in range(4):
        try:
            outcomes.append(counters(next(steps)))
        except StopIteration:
            outcomes.append("end")
        except BaseException as exc:
            outcomes.append([type(exc).__module__, type(exc).__name__, list(map(str, exc.args))])
    print(json.dumps(outcomes))
    """
)

BLOCK = 600_000_000


def huge_file(path, writer, kind, whole):
    """Records 0 and 1, record 2 of BLOCK bytes of samples (sparse on disk), and record 3; or a
    file that ends inside record 2."""
    if kind == "WD1":
        small = [writer.wd1_record([1, 2], event_counter=c) for c in (0, 1, 3)]
        big = writer.wd1_record([], event_counter=2, event_size=24 + BLOCK)
    else:
        small = [writer.wd2_record([1.0, 2.0], event_counter=c, channels=2) for c in (0, 1, 3)]
        big = writer.wd2_record([], event_counter=2, samples_per_channel=BLOCK // 8, channels=2)
    with open(path, "wb") as out:
        out.write(small[0] + small[1] + big)
        out.truncate(out.tell() + (BLOCK if whole else BLOCK // 2))
        out.seek(0, os.SEEK_END)
        if whole:
            out.write(small[2])


F_SETPIPE_SZ = 1031  # Linux's; the fcntl module names it from Python 3.10 on


def feed(fifo, source):
    """Copies the file into the FIFO until the reader goes away."""
    try:
        with open(fifo, "wb") as out, open(source, "rb") as data:
            # fewer switches between the two than through the default 64 KiB
            fcntl.fcntl(out, F_SETPIPE_SZ, 1 << 20)
            shutil.copyfileobj(data, out, 1 << 20)
    except BrokenPipeError:
        pass


def assert_memory_error(outcome):
    module, name, args = outcome
    assert (module, name, len(args)) == ("builtins", "MemoryError", 1)
    assert re.fullmatch(r"memory allocation of [1-9][0-9]* bytes failed", args[0])


# A valid record too large for memory: MemoryError, the record passed over whole (seeked past in a
# file, read and dropped from a pipe), then the record after it; or the end, where the data ends
# inside it. Batches raise it at the request where next() would.
@pytest.mark.skipif(sys.maxsize < 2**32, reason="needs a 64-bit address space")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.parametrize("how", ["events", "batches"])
@pytest.mark.parametrize(
    ("kind", "source"), [("WD1", "file"), ("WD2", "file"), ("WD1", "fifo"), ("WD1", "cut")]
)
def test_out_of_memory_passes_over_the_record(tmp_path, writer, kind, source, how):
    huge_file(tmp_path / "huge", writer, kind, whole=source != "cut")
    path, feeder = tmp_path / "huge", None
    if source == "fifo":
        path = tmp_path / "fifo"
        os.mkfifo(path)
        feeder = threading.Thread(target=feed, args=(path, tmp_path / "huge"))
        feeder.start()
    try:
        outcomes = run_python(
            OUT_OF_MEMORY, path, kind, how, tmp_path=tmp_path, env={"OPENBLAS_NUM_THREADS": "1"}
        )
    finally:
        # a child that never opened the FIFO leaves the feeder waiting for a reader
        while feeder is not None and feeder.is_alive():
            os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
            feeder.join(0.1)
    after = ["end", "end"] if source == "cut" else [3, "end"]
    if how == "events":
        assert outcomes[:2] == [0, 1]
        assert outcomes[3:] == after
    else:
        assert outcomes[:1] == [[0, 1]]
        assert outcomes[2:] == [[n] if n != "end" else n for n in after] + ["end"]
    assert_memory_error(outcomes[2 if how == "events" else 1])
