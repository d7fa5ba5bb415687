"""How often the reader goes to the file: the read-ahead grows over a sequential pass, and a
record larger than what is buffered costs one system call, which also reads ahead."""

import textwrap

import pytest
from fault_helpers import SHIM_CONTROL, preloading, read_shim_fixture, require, run_script  # noqa: F401

KIB = 1024
MAX_READ_AHEAD = 256 * KIB
GROWTH_STEPS = 6  # 8 KiB doubled up to 256 KiB

COUNT_READS = SHIM_CONTROL + textwrap.dedent(
    """
    import json, sys
    import numpy, pluvo

    path, kind = sys.argv[1], sys.argv[2]
    fail_reads(path, 0, count=0)  # counts the reads of the file, injects nothing
    events = sum(1 for _ in pluvo.EventReader(path, kind))
    print(json.dumps({"events": events, "reads": shim_counter("calls")}))
    """
)


def wd1_records(writer, count, samples):
    return [writer.wd1_record([n % 65536] * samples, event_counter=n) for n in range(count)]


def wd2_records(writer, count, samples, channels):
    return [
        writer.wd2_record([float(n)] * samples * channels, event_counter=n, channels=channels)
        for n in range(count)
    ]


@pytest.mark.parametrize(
    ("kind", "make", "large"),
    [
        ("WD1", lambda w: wd1_records(w, 5000, 1024), False),
        ("WD2", lambda w: wd2_records(w, 600, 1024, 4), False),
        ("WD1", lambda w: wd1_records(w, 40, 150 * KIB), True),
        ("WD2", lambda w: wd2_records(w, 30, 40 * KIB, 2), True),
    ],
    ids=["wd1-2KiB", "wd2-16KiB", "wd1-300KiB", "wd2-320KiB"],
)
def test_reads_per_pass(tmp_path, writer, read_shim, kind, make, large):
    records = make(writer)
    path = tmp_path / "events.bin"
    path.write_bytes(b"".join(records))
    size = path.stat().st_size
    result = run_script(
        COUNT_READS, path, kind, tmp_path=tmp_path, env=preloading(require(read_shim))
    )
    assert result["events"] == len(records)
    # the WD2 probe reads the first record once more before the pass, in 64 KiB pieces
    probe = 0 if kind == "WD1" else len(records[0]) // (64 * KIB) + 2
    if large:
        # one read per record: its samples and the next header together; the end of the file
        # takes a few more
        assert result["reads"] <= len(records) + probe + 4
    else:
        assert result["reads"] <= size // MAX_READ_AHEAD + GROWTH_STEPS + probe + 4
