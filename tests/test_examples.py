"""The examples: bundled sample files, the quick-look summary and plot, and the file writer."""

import os
import pathlib
import re
import struct
import subprocess
import sys

import numpy as np
import pluvo
import pytest
import quicklook
from make_samples import FILES

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
DATA = EXAMPLES / "data"


def run_script(name, *args, block=()):
    """Runs an example as a script from the repository's root, with the modules in `block`
    made impossible to import."""
    code = (
        "import runpy, sys\n"
        f"sys.modules.update(dict.fromkeys({list(block)!r}))\n"
        f"sys.argv = [{name!r}, *sys.argv[1:]]\n"
        f"runpy.run_path({name!r}, run_name='__main__')\n"
    )
    return subprocess.run(
        [sys.executable, "-c", code, *map(str, args)],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=300,
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


def summarise(capsys, *args):
    assert quicklook.main([*map(str, args)]) == 0
    return parse(capsys.readouterr().out)


# --- bundled sample files --------------------------------------------------------------------


def test_samples_regenerate_bit_for_bit(tmp_path):
    result = run_script("examples/make_samples.py", tmp_path)
    assert result.returncode == 0, result.stderr
    for name in FILES:
        assert (tmp_path / name).read_bytes() == (DATA / name).read_bytes(), name
    assert sum((DATA / name).stat().st_size for name in FILES) < 1 << 20


@pytest.fixture(scope="module")
def bundled():
    """The summary of the bundled files, as printed by the script run without arguments."""
    result = run_script("examples/quicklook.py")
    assert result.returncode == 0, result.stderr
    return parse(result.stdout)


WD1_SAMPLE = {
    "type": "WD1",
    "events": "200",
    "channels": "4, one per record",
    "samples": "512 per waveform",
    "event counters": "0 to 199, none missing",
    "timestamps": "0 to 24875000 ticks, 8e-06 events per tick (one per 125000 ticks)",
    "end of file": "clean: 209600 bytes, all in complete records",
}
WD2_SAMPLE = {
    "type": "WD2",
    "events": "200",
    "samples": "256 per waveform",
    "sampling period": "200 (digitizer units)",
    "event counters": "1 to 200, none missing",
    "timestamps": "1000000 to 8960000 ticks, 2.5e-05 events per tick (one per 40000 ticks)",
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
def test_bundled_summary(bundled, name, expected):
    summary = bundled[f"examples/data/{name}"]
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
def test_bundled_baselines(bundled, name, labels, mean, rms, waveforms):
    summary = bundled[f"examples/data/{name}"]
    for label in labels:
        found = re.fullmatch(r"(\S+) \+- (\S+) \((\d+) waveforms\)", summary[label])
        assert found, summary[label]
        assert float(found.group(1)) == pytest.approx(mean, abs=rms / 10)
        assert float(found.group(2)) == pytest.approx(rms, rel=0.1)
        assert int(found.group(3)) == waveforms


# --- quick look on files written here --------------------------------------------------------


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
    ("name", "make_records"),
    [
        ("cut.wd1", lambda w: wd1_records(w, range(4))),
        ("cut_multi.wd2", lambda w: wd2_records(w, range(4), channels=2)),
        ("cut_single.wd2", lambda w: wd2_records(w, range(4), channels=None)),
    ],
)
def test_cut_short_record(capsys, write_file, writer, name, make_records, kept):
    records = make_records(writer)
    path = write_file(records[:3] + [records[3][:kept]], name=name)
    size = sum(map(len, records[:3])) + kept
    (summary,) = summarise(capsys, path).values()
    assert summary["events"] == "3"
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
    (summary,) = summarise(capsys, path).values()
    assert summary["event counters"] == counters
    assert summary["timestamps"] == timestamps


def test_unreadable_record_is_counted(capsys, write_file, writer):
    records = wd1_records(writer, range(3))
    corrupt = struct.pack("<6i", 0, 0, 0, 0, 9, 0)  # size 0: a negative sample block
    path = write_file(records[:2] + [corrupt] + records[2:], name="corrupt.wd1")
    (summary,) = summarise(capsys, path).values()
    assert summary["events"] == "3"
    assert summary["unreadable records"] == "1 (capacity overflow)"
    # The reader consumed the corrupt header: nothing is left over.
    assert (
        summary["end of file"] == f"clean: {os.path.getsize(path)} bytes, all in complete records"
    )


@pytest.mark.parametrize(
    ("name", "content", "args", "message"),
    [
        ("absent.wd1", None, [], "No such file or directory (os error 2)"),
        ("events.dat", b"", [], "cannot tell the format from the extension '.dat': pass --type"),
        ("short.wd2", b"\0" * 30, [], "failed to fill whole buffer"),
        ("short.dat", b"\0" * 30, ["--type", "WD2"], "failed to fill whole buffer"),
    ],
)
def test_unusable_file(capsys, tmp_path, name, content, args, message):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    good = DATA / "sample_single.wd2"
    assert quicklook.main([str(path), str(good), *args]) == 1
    captured = capsys.readouterr()
    assert captured.err == f"quicklook: {path}: {message}\n"
    # The other files are still summarised.
    assert parse(captured.out)[str(good)]["events"] == "200"


# --- the plot --------------------------------------------------------------------------------


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, chunk = struct.unpack(">I4s", data[8:16])
    assert (length, chunk) == (13, b"IHDR")
    return struct.unpack(">II", data[16:24])


def test_plot(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "quicklook.png"
    result = run_script("examples/quicklook.py", "--plot", out)
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith(f"plot written to {out}\n")
    width, height = png_size(out)
    assert width > 0 and height > 0


def test_plot_without_matplotlib(tmp_path):
    out = tmp_path / "quicklook.png"
    result = run_script("examples/quicklook.py", "--plot", out, block=["matplotlib"])
    assert result.returncode == 2
    assert "--plot needs matplotlib" in result.stderr
    # Refused before any file is read.
    assert result.stdout == ""
    assert not out.exists()


# --- the writer ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("channels", "header_size"),
    [(None, 24), (2, 28), (3, 28)],
    ids=["single", "two-channels", "three-channels"],
)
def test_written_wd2_reads_back(tmp_path, writer, channels, header_size):
    waveforms = [[0.375, 0.5 + c, 0.25, -0.125] for c in range(channels or 1)]
    records = [
        writer.wd2_multi_channel_record(waveforms, event_counter=n, sampling_period=8)
        if channels
        else writer.wd2_record(waveforms[0], event_counter=n, sampling_period=8)
        for n in (1, 2, 3)
    ]
    path = tmp_path / "events.wd2"
    size = writer.write_file(path, records)
    assert size == path.stat().st_size == 3 * (header_size + 4 * 4 * (channels or 1))
    events = list(pluvo.EventReader(str(path), "WD2"))
    assert [event["event_counter"] for event in events] == [1, 2, 3]
    for event in events:
        assert (event["channels"], event["samples"]) == (channels or 1, 4)
        assert event["data"].reshape(-1, 4).tolist() == waveforms


def test_channels_of_unequal_length(writer):
    with pytest.raises(ValueError, match=r"channels differ in length: \[2, 3\]"):
        writer.wd2_multi_channel_record([[0.0, 1.0], [0.0, 1.0, 2.0]], event_counter=1)


def test_written_wd1_reads_back(tmp_path, writer):
    path = tmp_path / "events.wd1"
    samples = np.arange(0, 65536, 4096, dtype=np.uint16)
    writer.write_file(path, [writer.wd1_record(samples.tolist(), board_id=-1, pattern=7)])
    (event,) = pluvo.EventReader(str(path), "WD1")
    assert (event["event_size"], event["board_id"], event["pattern"]) == (24 + 32, -1, 7)
    assert np.array_equal(event["data"], samples)
