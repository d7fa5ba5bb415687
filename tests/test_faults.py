"""Faults from outside: signals, failing reads, pipes, files that change or vanish while open,
descriptor and address-space limits."""

import errno
import json
import os
import textwrap

import pytest
from fault_helpers import (
    OUTCOMES,
    SANITIZED,
    SHIM_CONTROL,
    os_error_text,
    preloading,
    read_shim_fixture,  # noqa: F401 - provides the read_shim fixture
    require,
    run_script,
)
from helpers import SETTLED, open_descriptors
from pluvo import EventReader

BUFFER = 8192  # bytes the reader reads ahead at first
SHORT = "failed to fill whole buffer"


def records_of(writer, kind, count, samples=8):
    """count records of the kind and the outcome each gives: ["event", counter, samples]."""
    records, expected = [], []
    for n in range(count):
        if kind == "WD1":
            values = [(n * 31 + k) % 65536 for k in range(samples)]
            records.append(writer.wd1_record(values, event_counter=n))
        elif kind == "WD2-multi":
            values = [n + k / 4 for k in range(samples)]
            records.append(writer.wd2_record(values, event_counter=n, channels=2))
        else:  # single-channel; a first sample of 0.0 keeps the probe's first block empty
            values = [0.0] + [n + k / 4 for k in range(1, samples)]
            records.append(writer.wd2_record(values, event_counter=n))
        expected.append(["event", n, values])
    return records, expected


def outcome(call):
    try:
        event = call()
    except StopIteration:
        return ["end"]
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        return [type(exc).__module__, type(exc).__name__, [str(a) for a in exc.args]]
    return ["event", event["event_counter"], event["data"].tolist()]


def os_error(name, number):
    return ["builtins", name, [os_error_text(number)]]


# --- signals during blocking reads -------------------------------------------------------------

SIGNALS = textwrap.dedent(
    """
    import json, os, signal, subprocess, sys
    import numpy, pluvo

    fifo, source, chunk, pause = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    # Late and slow, so the reader blocks in open() and in read() while the timer fires.
    WRITER = '''
    import os, sys, time
    fifo, source, chunk, pause = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    data = open(source, "rb").read()
    time.sleep(0.05)
    fd = os.open(fifo, os.O_WRONLY)
    for start in range(0, len(data), chunk):
        os.write(fd, data[start : start + chunk])
        time.sleep(pause)
    os.close(fd)
    '''
    writer = subprocess.Popen([sys.executable, "-c", WRITER, *sys.argv[1:5]])
    handled = []
    signal.signal(signal.SIGALRM, lambda *_: handled.append(1))
    signal.siginterrupt(signal.SIGALRM, True)  # read() returns EINTR instead of restarting
    signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    try:
        events = [[e["event_counter"], e["data"].tolist()] for e in pluvo.EventReader(fifo, "WD1")]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    writer.wait(timeout=60)
    interrupted = None
    if "FAIL_READ_SHIM" in os.environ:
        interrupted = shim_counter("interrupted")
    print(json.dumps({
        "events": events,
        "handled": len(handled),
        "interrupted": interrupted,
        "writer": writer.returncode,
    }))
    """
)


@pytest.mark.parametrize(
    ("samples", "count", "chunk", "pause"),
    [(8, 300, 13, 0.0005), (5000, 12, 4096, 0.002)],
    ids=["small-records", "blocks-past-the-buffer"],
)
def test_signals_during_blocking_reads(
    tmp_path,
    writer,
    read_shim,
    samples,
    count,
    chunk,
    pause,
):
    records, expected = records_of(writer, "WD1", count, samples)
    source = tmp_path / "source.wd1"
    source.write_bytes(b"".join(records))
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    code, env = SIGNALS, None
    if read_shim is not None:  # counts the reads that came back interrupted
        code, env = SHIM_CONTROL + SIGNALS, preloading(read_shim)
    result = run_script(code, fifo, source, chunk, pause, tmp_path=tmp_path, env=env)
    assert result["writer"] == 0
    assert [["event", *event] for event in result["events"]] == expected
    # the handlers ran, after the calls that the signals interrupted
    assert result["handled"] > 0
    if result["interrupted"] is not None:
        assert result["interrupted"] > 0


READ_FAULTS_BODY = textwrap.dedent(
    """
    import json, os, sys
    import numpy, pluvo

    results = {}
    for case in json.loads(sys.argv[1]):
        fail_reads(
            case["path"],
            case["number"],
            from_offset=case["offset"],
            count=case["count"],
            every=case["every"],
        )
        descriptors = open_descriptors()
        reader = None
        try:
            reader = pluvo.EventReader(case["path"], case["kind"][:3])
            opened = None
        except BaseException as exc:
            opened = [type(exc).__module__, type(exc).__name__, [str(a) for a in exc.args]]
        result = {"opened": opened}
        result["outcomes"] = [] if reader is None else outcomes(reader, case["steps"])
        del reader
        result["descriptors"] = open_descriptors() - descriptors
        result["injected"] = shim_counter("injected")
        results[case["path"]] = result
    print(json.dumps(results))
    """
)
READ_FAULTS = SHIM_CONTROL + OUTCOMES + SETTLED + READ_FAULTS_BODY

KINDS = ["WD1", "WD2-multi", "WD2-single"]
INTERRUPTED = [(kind, samples) for kind in KINDS for samples in (8, 3000)]
RAISED_ONCE = [
    ("WD1", errno.EIO, "OSError"),
    ("WD2-multi", errno.EIO, "OSError"),
    ("WD2-single", errno.EIO, "OSError"),
    ("WD1", errno.ETIMEDOUT, "TimeoutError"),
    ("WD1", errno.ECONNRESET, "ConnectionResetError"),
    ("WD1", errno.EAGAIN, "BlockingIOError"),
    ("WD1", errno.ENOMEM, "MemoryError"),
    ("WD1", errno.ESTALE, "OSError"),
]
IN_PROBE = [
    (kind, number)
    for kind in ("WD2-multi", "WD2-single")
    for number in (errno.EIO, errno.ETIMEDOUT, errno.ECONNRESET, errno.EISDIR)
]


def read_fault_cases():
    """name -> the file's records (kind, count, samples) and the failures injected into it."""
    cases = {}
    for kind, samples in INTERRUPTED:
        # the first read of the file and every other one after it come back with EINTR
        cases[f"interrupted-{kind}-{samples}"] = dict(
            kind=kind, records=60, samples=samples, number=errno.EINTR, offset=0, count=-1, every=2
        )
    for kind, number, _ in RAISED_ONCE:
        # one failure at the second refill; the file reads fine again afterwards
        cases[f"once-{kind}-{number}"] = dict(
            kind=kind, records=1000, samples=8, number=number, offset=BUFFER, count=1, every=1
        )
    for kind, number in IN_PROBE:
        cases[f"probe-{kind}-{number}"] = dict(
            kind=kind, records=4, samples=8, number=number, offset=0, count=1, every=1
        )
    return cases


@pytest.fixture(scope="module")
def read_faults(tmp_path_factory, read_shim):
    """Every case's outcomes, from one interpreter with the shim preloaded."""
    from pluvo_tools import write as wavewriter

    directory = tmp_path_factory.mktemp("read-faults")
    arguments = []
    for name, case in read_fault_cases().items():
        records, _ = records_of(wavewriter, case["kind"], case["records"], case["samples"])
        (directory / name).write_bytes(b"".join(records))
        arguments.append({**case, "path": name, "steps": case["records"] + 2})
    return run_script(
        READ_FAULTS,
        json.dumps(arguments),
        tmp_path=directory,
        env=preloading(require(read_shim)),
    )


@pytest.mark.parametrize(("kind", "samples"), INTERRUPTED)
def test_interrupted_reads_are_retried(read_faults, writer, kind, samples):
    _, expected = records_of(writer, kind, 60, samples)
    result = read_faults[f"interrupted-{kind}-{samples}"]
    assert result["opened"] is None
    assert result["outcomes"] == expected + [["end"]] * 2
    assert result["injected"] > 0
    assert result["descriptors"] == 0


@pytest.mark.parametrize(("kind", "number", "name"), RAISED_ONCE)
def test_read_error_is_raised_once(read_faults, writer, kind, number, name):
    records, expected = records_of(writer, kind, 1000)
    result = read_faults[f"once-{kind}-{number}"]
    assert result["opened"] is None
    # What was read ahead before the failure is delivered first: at least the first refill.
    delivered = next(i for i, got in enumerate(result["outcomes"]) if got[0] != "event")
    assert delivered >= BUFFER // len(records[0])
    # raised once, then the reader stays finished although the file would read again
    assert result["outcomes"] == (
        expected[:delivered] + [os_error(name, number)] + [["end"]] * (1001 - delivered)
    )
    assert result["injected"] == 1
    assert result["descriptors"] == 0


@pytest.mark.parametrize(("kind", "number"), IN_PROBE)
def test_read_error_in_the_probe_is_plain_oserror(read_faults, kind, number):
    result = read_faults[f"probe-{kind}-{number}"]
    assert result["opened"] == os_error("OSError", number)
    assert result["descriptors"] == 0


# --- pipes -------------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["WD2-multi", "WD2-single"])
def test_wd2_on_a_fifo_cannot_rewind(tmp_path, writer, kind):
    records, _ = records_of(writer, kind, 20)
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    # Opened read-write first, the pipe has a writer, so the reader's open does not block.
    held = os.open(fifo, os.O_RDWR)
    try:
        os.write(held, b"".join(records))
        before = open_descriptors()
        # The probe reads, then cannot seek back: plain OSError, and the pipe is closed again.
        assert outcome(lambda: EventReader(str(fifo), "WD2")) == os_error("OSError", errno.ESPIPE)
        assert open_descriptors() == before
    finally:
        os.close(held)


def test_wd1_on_a_fifo_reads_to_the_writers_end(tmp_path, writer):
    records, expected = records_of(writer, "WD1", 20)
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    held = os.open(fifo, os.O_RDWR)
    try:
        os.write(held, b"".join(records[:12]))
        reader = EventReader(str(fifo), "WD1")
        assert [outcome(lambda: next(reader)) for _ in range(12)] == expected[:12]
        os.write(held, b"".join(records[12:]))
    finally:
        os.close(held)  # the last writer goes: the pipe ends after what it holds
    assert [outcome(lambda: next(reader)) for _ in range(10)] == expected[12:] + [["end"]] * 2


# --- files that change while open ----------------------------------------------------------------


def appended(path, data):
    with open(path, "ab") as out:
        out.write(data)


def until_end(reader):
    """Outcomes of next() up to and including the first end."""
    seen = [outcome(lambda: next(reader))]
    while seen[-1][0] == "event":
        seen.append(outcome(lambda: next(reader)))
    return seen


# The split record: a size field of 40, samples 0x11, 0x22, 0x33, 0x44, 5, 6, 7, 8.
SPLIT = dict(board_id=1, pattern=24, board_channel=3, event_counter=1, timestamp=9)
SPLIT_SAMPLES = [0x11, 0x22, 0x33, 0x44, 5, 6, 7, 8]


@pytest.mark.parametrize(
    ("kind", "split", "after_second_half"),
    [
        # the first 8 bytes are consumed and lost; the next 24 read as a header of size 24 and
        # of counter 0x00220011, the first two samples
        ("WD1", 8, [["event", 0x00220011, []], ["end"]]),
        # 20 bytes in the header, then 20 bytes too few for one: both halves are lost
        ("WD1", 20, [["end"]]),
        # the header whole, the samples cut: the rest is too short for a header and is lost
        ("WD1", 30, [["end"]]),
        ("WD2-multi", 40, [["end"]]),
        ("WD2-single", 30, [["end"]]),
    ],
)
def test_record_appended_in_two_halves(tmp_path, writer, kind, split, after_second_half):
    # Bytes that a cut-short record consumed are never read again: a writer must append whole
    # records for the reader to see them.
    if kind == "WD1":
        first = writer.wd1_record([4, 4], event_counter=0)
        halves = writer.wd1_record(SPLIT_SAMPLES, **SPLIT)
        last = writer.wd1_record([7, 7, 7], event_counter=2)
        start, expected_last = [first], ["event", 2, [7, 7, 7]]
    else:
        records, expected = records_of(writer, kind, 4)
        start, halves, last, expected_last = records[:2], records[2], records[3], expected[3]
    path = tmp_path / "events.bin"
    path.write_bytes(b"".join(start))
    reader = EventReader(str(path), kind[:3])
    assert [o[0] for o in until_end(reader)] == ["event"] * len(start) + ["end"]
    appended(path, halves[:split])
    assert until_end(reader) == [["end"]]
    appended(path, halves[split:])
    assert until_end(reader) == after_second_half
    appended(path, last)
    assert until_end(reader) == [expected_last, ["end"]]


@pytest.mark.parametrize("kind", KINDS)
def test_deleted_file_is_read_to_its_end(tmp_path, writer, kind):
    records, expected = records_of(writer, kind, 500)
    path = tmp_path / "events.bin"
    path.write_bytes(b"".join(records))
    before = open_descriptors()
    reader = EventReader(str(path), kind[:3])
    assert outcome(lambda: next(reader)) == expected[0]
    path.unlink()
    path.write_bytes(b"\xff" * 100)  # a new file under the old name is not the one being read
    assert until_end(reader) == expected[1:] + [["end"]]
    reader = None
    assert open_descriptors() == before  # the deleted file's descriptor is gone too


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("length", [0, 100, 20000])
def test_file_truncated_while_open(tmp_path, writer, kind, length):
    records, expected = records_of(writer, kind, 1000)
    path = tmp_path / "events.bin"
    path.write_bytes(b"".join(records))
    reader = EventReader(str(path), kind[:3])
    assert [outcome(lambda: next(reader)) for _ in range(3)] == expected[:3]
    os.truncate(path, length)
    # What was read ahead is still delivered; after it, what the file still holds.
    rest = until_end(reader)
    kept = 3 + len(rest) - 1
    assert kept >= max(length, BUFFER) // len(records[0])
    assert rest == expected[3:kept] + [["end"]]
    assert outcome(lambda: next(reader)) == ["end"]


# --- limits --------------------------------------------------------------------------------------

DESCRIPTORS_BODY = textwrap.dedent(
    """
    import json, os, resource, sys
    import numpy, pluvo

    wd1, wd2 = sys.argv[1:3]
    outcome(lambda: next(pluvo.EventReader(wd1, "WD1")))  # NumPy found before the limit bites
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (open_descriptors() + 8, hard))


    def raised(call):
        try:
            call()
        except BaseException as exc:
            return [type(exc).__module__, type(exc).__name__, [str(a) for a in exc.args]]

    readers, failed = [], None
    while failed is None and len(readers) < 100:
        failed = raised(lambda: readers.append(pluvo.EventReader(wd1, "WD1")))
    result = {"opened": len(readers), "wd1": failed}
    result["wd2"] = raised(lambda: pluvo.EventReader(wd2, "WD2"))
    result["wd3"] = raised(lambda: pluvo.EventReader(wd2, "WD3"))
    readers.pop()
    open_descriptors()  # one descriptor free again, once PyPy has collected the reader
    result["again"] = outcomes(pluvo.EventReader(wd2, "WD2"), 3)
    print(json.dumps(result))
    """
)
DESCRIPTORS = OUTCOMES + SETTLED + DESCRIPTORS_BODY


def test_descriptor_exhaustion(tmp_path, writer):
    wd1, _ = records_of(writer, "WD1", 2)
    wd2, expected = records_of(writer, "WD2-multi", 2)
    (tmp_path / "a.wd1").write_bytes(b"".join(wd1))
    (tmp_path / "b.wd2").write_bytes(b"".join(wd2))
    result = run_script(DESCRIPTORS, tmp_path / "a.wd1", tmp_path / "b.wd2", tmp_path=tmp_path)
    assert 0 < result["opened"] < 100
    # EMFILE has no OSError subclass of its own
    too_many = os_error("OSError", errno.EMFILE)
    assert [result["wd1"], result["wd2"], result["wd3"]] == [too_many] * 3
    assert result["again"] == expected + [["end"]]


ADDRESS_SPACE_BODY = textwrap.dedent(
    """
    import json, sys
    import numpy, pluvo

    outcome(lambda: next(pluvo.EventReader(sys.argv[1], "WD1")))  # NumPy found first

    # Room for what the files hold, far from enough for what their size fields claim.
    limit_address_space(96 << 20)
    result = {}
    for path, kind, steps in zip(sys.argv[1::3], sys.argv[2::3], sys.argv[3::3]):
        try:
            reader = pluvo.EventReader(path, kind)
        except BaseException as exc:
            result[path] = [type(exc).__module__, type(exc).__name__, [str(a) for a in exc.args]]
        else:
            result[path] = outcomes(reader, int(steps))
            del reader
    print(json.dumps(result))
    """
)
ADDRESS_SPACE = OUTCOMES + SETTLED + ADDRESS_SPACE_BODY


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads /proc/self/status")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory exceeds any such limit")
def test_corrupt_sizes_under_an_address_space_limit(tmp_path, writer):
    # Size fields claiming just under 2 GiB in files of a few bytes to 8 MiB: the storage grows
    # only as bytes arrive, so each ends like any cut-short record, with no MemoryError.
    wd1, wd1_expected = records_of(writer, "WD1", 2)
    multi, multi_expected = records_of(writer, "WD2-multi", 2)
    single, single_expected = records_of(writer, "WD2-single", 2)
    claim = writer.wd1_record([], event_size=2**31 - 1)
    files = {
        "short.wd1": (wd1 + [claim, bytes(100)], "WD1", [*wd1_expected, ["end"], ["end"]]),
        "long.wd1": ([claim, bytes(8 << 20)], "WD1", [["end"], ["end"]]),
        "multi.wd2": (
            multi
            + [writer.wd2_record([], event_counter=2, samples_per_channel=2**28 - 1, channels=2)]
            + [bytes(100)],
            "WD2",
            [*multi_expected, ["end"], ["end"]],
        ),
        "single.wd2": (
            single + [writer.wd2_record([], event_counter=2, samples_per_channel=2**29 - 1)],
            "WD2",
            [*single_expected, ["end"]],
        ),
        # the probe discards the first block through a small scratch area
        "probe.wd2": (
            [writer.wd2_record([], event_counter=0, samples_per_channel=2**29 - 1, channels=1)]
            + [bytes(4 << 20)],
            "WD2",
            ["builtins", "OSError", [SHORT]],
        ),
    }
    arguments = []
    for name, (parts, kind, expected) in files.items():
        (tmp_path / name).write_bytes(b"".join(parts))
        arguments += [name, kind, len(expected)]
    assert run_script(ADDRESS_SPACE, *arguments, tmp_path=tmp_path) == {
        name: expected for name, (_, _, expected) in files.items()
    }
