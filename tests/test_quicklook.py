"""pluvo info and pluvo plot: the quick-look summary and figure of the sample files and of files
written here, and how they report files they cannot read."""

import os
import pathlib
import re
import struct
import subprocess
import sys

import pytest
from record_walk import record_index

from pluvo_tools.cli import main

DATA = pathlib.Path(__file__).resolve().parent / "data"
SAMPLES = [str(DATA / name) for name in ("sample.wd1", "sample_multi.wd2", "sample_single.wd2")]


def run_command(*args, block=()):
    """`pluvo ARGS` in a fresh interpreter, where the modules in `block` cannot be imported."""
    code = (
        "import sys\n"
        f"sys.modules.update(dict.fromkeys({list(block)!r}))\n"
        "from pluvo_tools.cli import main\n"
        "sys.exit(main(sys.argv[1:]))\n"
    )
    return subprocess.run(
        [sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True, timeout=300
    )


def parse(output):
    """{file: {key: value}} from the summary lines; the key is the indented text before a run
    of two or more spaces."""
    summaries = {}
    for line in output.splitlines():
        heading = re.fullmatch(r"(\S.*) \((WD[12])\)", line)
        if heading:
            current = summaries[heading.group(1)] = {"type": heading.group(2)}
            continue
        entry = re.fullmatch(r" {2,}(\S.*?) {2,}(\S.*)", line)
        if entry:
            current[entry.group(1)] = entry.group(2)
    return summaries


def pluvo(capsys, *args):
    """`pluvo ARGS` in this process: exit status, parsed summaries and standard error."""
    status = main([*map(str, args)])
    captured = capsys.readouterr()
    return status, parse(captured.out), captured.err


def info(capsys, *args):
    status, summaries, err = pluvo(capsys, "info", *args)
    assert (status, err) == (0, "")
    return summaries


def index_line(path, kind):
    """What the index line must say, from a walk of the file's bytes."""
    walked = record_index(pathlib.Path(path).read_bytes(), kind)
    if walked == ("fault",):
        return "could not be read: capacity overflow"
    _, lengths, tail = walked
    records = "1 whole record" if len(lengths) == 1 else f"{len(lengths)} whole records"
    return f"{records}, then a tail of {tail} byte{'' if tail == 1 else 's'}"


# --- the sample files ------------------------------------------------------------------------


@pytest.fixture(scope="module")
def samples_summary():
    result = run_command("info", *SAMPLES)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return parse(result.stdout)


WD1_SAMPLE = {
    "type": "WD1",
    "events": "200",
    "channels": "4, one per record",
    "samples": "512 per waveform",
    "event counters": "0 to 199, none missing",
    "timestamps": "0 to 24875000 ticks, 8e-06 events per tick (one per 125000 ticks)",
    "index": "200 whole records, then a tail of 0 bytes",
    "end of file": "clean: 209600 bytes, all in complete records",
}
WD2_SAMPLE = {
    "type": "WD2",
    "events": "200",
    "samples": "256 per waveform",
    "sampling period": "200 (digitizer units)",
    "event counters": "1 to 200, none missing",
    "timestamps": "1000000 to 8960000 ticks, 2.5e-05 events per tick (one per 40000 ticks)",
    "index": "200 whole records, then a tail of 0 bytes",
}


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("sample.wd1", WD1_SAMPLE),
        (
            "sample_multi.wd2",
            {
                **WD2_SAMPLE,
                "layout": "multi-channel (28-byte headers)",
                "channels": "2 per event",
                "end of file": "clean: 415200 bytes, all in complete records",
            },
        ),
        (
            "sample_single.wd2",
            {
                **WD2_SAMPLE,
                "layout": "single-channel (24-byte headers)",
                "channels": "1 per event",
                "end of file": "clean: 209600 bytes, all in complete records",
            },
        ),
    ],
)
def test_samples_summary(samples_summary, name, expected):
    summary = samples_summary[str(DATA / name)]
    assert {key: summary.get(key) for key in expected} == expected


@pytest.mark.parametrize(
    ("name", "labels", "mean", "rms", "waveforms"),
    [
        # The generator's baselines and noise: 2000 +- 4 ADC counts; 0 +- 2 mV.
        ("sample.wd1", [f"board 1 ch {c}" for c in range(4)], 2000, 4.0, 50),
        ("sample_multi.wd2", ["ch 0", "ch 1"], 0.0, 0.002, 200),
        ("sample_single.wd2", ["ch 0"], 0.0, 0.002, 200),
    ],
)
def test_samples_baselines(samples_summary, name, labels, mean, rms, waveforms):
    summary = samples_summary[str(DATA / name)]
    for label in labels:
        found = re.fullmatch(r"(\S+) \+- (\S+) \((\d+) waveforms\)", summary[label])
        assert found, summary[label]
        assert float(found.group(1)) == pytest.approx(mean, abs=rms / 10)
        assert float(found.group(2)) == pytest.approx(rms, rel=0.1)
        assert int(found.group(3)) == waveforms


# --- files written here ----------------------------------------------------------------------


def wd1_records(writer, counters, timestamps=None):
    timestamps = timestamps or [100 * n for n in range(len(counters))]
    return [
        writer.wd1_record([2000] * 40 + [2600, 2300], event_counter=c, timestamp=t)
        for c, t in zip(counters, timestamps)
    ]


def wd2_records(writer, counters, channels, timestamps=None):
    timestamps = timestamps or [100 * n for n in range(len(counters))]
    return [
        writer.wd2_record(
            [0.0] * 40 * (channels or 1), event_counter=c, timestamp=t, channels=channels
        )
        for c, t in zip(counters, timestamps)
    ]


@pytest.mark.parametrize("kept", [0, 1, 23, 30])
@pytest.mark.parametrize(
    ("name", "kind", "make_records"),
    [
        ("cut.wd1", "WD1", lambda w: wd1_records(w, range(4))),
        ("cut_multi.wd2", "WD2", lambda w: wd2_records(w, range(4), channels=2)),
        ("cut_single.wd2", "WD2", lambda w: wd2_records(w, range(4), channels=None)),
    ],
)
def test_cut_short_record(capsys, write_file, writer, name, kind, make_records, kept):
    records = make_records(writer)
    path = write_file(records[:3] + [records[3][:kept]], name=name)
    size = sum(map(len, records[:3])) + kept
    (summary,) = info(capsys, path).values()
    assert summary["events"] == "3"
    assert summary["index"] == index_line(path, kind)
    if kept:
        assert summary["end of file"] == (
            f"cut short: the last {kept} of {size} bytes are an incomplete record,"
            " which the reader skips"
        )
    else:
        assert summary["end of file"] == f"clean: {size} bytes, all in complete records"


@pytest.mark.parametrize(
    ("name", "records", "counters", "timestamps"),
    [
        (
            "gaps.wd1",
            lambda w: wd1_records(w, [0, 1, 2, 5, 6, 9]),
            "0 to 9, 4 missing in 2 gaps",
            "0 to 500 ticks, 0.01 events per tick (one per 100 ticks)",
        ),
        (
            "disorder.wd1",
            lambda w: wd1_records(w, [5, 6, 6, 7, 3], [0, 10, 20, 5, 45]),
            "5 to 3, none missing, 2 out of order (repeated or going back)",
            "0 to 45 ticks, 0.0667 events per tick (one per 15 ticks);"
            " went back 1 time (wrap-around or reset), left out of the rate",
        ),
        # Counters wrap around at 2**32, also where WD1 shows them signed.
        (
            "wrap.wd1",
            lambda w: wd1_records(w, [2**31 - 1, -(2**31), -(2**31) + 2]),
            "2147483647 to -2147483646, 1 missing in 1 gap",
            "0 to 200 ticks, 0.01 events per tick (one per 100 ticks)",
        ),
        (
            "wrap.wd2",
            lambda w: wd2_records(w, [2**32 - 2, 2**32 - 1, 0, 1], 2, [2**64 - 5, 0, 3, 8]),
            "4294967294 to 1, none missing",
            "18446744073709551611 to 8 ticks, 0.375 events per tick (one per 2.66667 ticks);"
            " went back 1 time (wrap-around or reset), left out of the rate",
        ),
    ],
)
def test_counters_and_timestamps(capsys, write_file, writer, name, records, counters, timestamps):
    path = write_file(records(writer), name=name)
    (summary,) = info(capsys, path).values()
    assert summary["event counters"] == counters
    assert summary["timestamps"] == timestamps


def test_corrupt_record(capsys, write_file, writer):
    records = wd1_records(writer, range(3))
    corrupt = struct.pack("<6i", 0, 0, 0, 0, 9, 0)  # size 0: a negative sample block
    path = write_file(records[:2] + [corrupt] + records[2:], name="corrupt.wd1")
    status, summaries, err = pluvo(capsys, "info", path)
    # The events go on after the corrupt record; the index stops at it, so the file is one that
    # could not be read.
    assert (status, err) == (1, f"pluvo info: {path}: capacity overflow\n")
    summary = summaries[path]
    assert summary["events"] == "3"
    assert summary["unreadable records"] == "1 (capacity overflow)"
    assert summary["index"] == index_line(path, "WD1")
    # The reader consumed the corrupt header: nothing is left over.
    size = os.path.getsize(path)
    assert summary["end of file"] == f"clean: {size} bytes, all in complete records"


A_DIRECTORY = object()
PROBE_FAULT = struct.pack("<IQIQi", 1, 0, 2**30, 0, 4) + bytes(8)  # a block of 2**34 bytes


@pytest.mark.parametrize("command", ["info", "plot"])
@pytest.mark.parametrize(
    ("name", "content", "args", "message", "summarised"),
    [
        ("absent.wd1", None, [], "No such file or directory (os error 2)", False),
        ("folder.wd1", A_DIRECTORY, [], "Is a directory (os error 21)", True),
        (
            "events.dat",
            b"",
            [],
            "cannot tell the format from the extension '.dat': pass --type",
            False,
        ),
        ("short.wd2", b"\0" * 30, [], "failed to fill whole buffer", False),
        ("short.dat", b"\0" * 30, ["--type", "WD2"], "failed to fill whole buffer", False),
        ("probe.wd2", PROBE_FAULT, [], "capacity overflow", False),
    ],
)
def test_unusable_file(capsys, tmp_path, command, name, content, args, message, summarised):
    if command == "plot":
        pytest.importorskip("matplotlib")
    path = tmp_path / name
    if content is A_DIRECTORY:
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    good = DATA / "sample_single.wd2"
    output = ["-o", tmp_path / "quicklook.png"] if command == "plot" else []
    status, summaries, err = pluvo(capsys, command, path, good, *args, *output)
    assert status == 1
    assert err == f"pluvo {command}: {path}: {message}\n"
    if command == "info":
        # The file after it is still summarised.
        assert summaries[str(good)]["events"] == "200"
        assert (str(path) in summaries) == summarised
    else:
        assert (tmp_path / "quicklook.png").exists()


# --- the plot --------------------------------------------------------------------------------


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, chunk = struct.unpack(">I4s", data[8:16])
    assert (length, chunk) == (13, b"IHDR")
    return struct.unpack(">II", data[16:24])


def test_plot(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "quicklook.png"
    assert main(["plot", *SAMPLES, "-o", str(out)]) == 0
    assert capsys.readouterr().out == f"plot written to {out}\n"
    width, height = png_size(out)
    # One row of two panels per file.
    assert width > height / len(SAMPLES) > 0


def test_plot_without_matplotlib(tmp_path):
    out = tmp_path / "quicklook.png"
    result = run_command("plot", "absent.wd1", "-o", out, block=["matplotlib"])
    assert result.returncode == 2
    # Refused before any file is read: the absent one is not named.
    assert result.stderr == 'pluvo plot: needs matplotlib: pip install "pluvo[plot]"\n'
    assert result.stdout == ""
    assert not out.exists()


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["info"], "the following arguments are required: FILE"),
        (["plot", "a.wd1"], "the following arguments are required: -o/--output"),
        (["info", "a.wd1", "--baseline-samples", "0"], "must be at least 1, not 0"),
        (["info", "a.wd1", "--type", "wd1"], "invalid choice: 'wd1'"),
    ],
)
def test_wrong_usage(capsys, args, message):
    with pytest.raises(SystemExit) as exited:
        main(args)
    assert exited.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith(f"usage: pluvo {args[0]} ") and message in err
