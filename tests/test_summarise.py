"""examples/summarise.py: one thread, a thread pool and a Dask cluster give the same summary of a
directory of files; progress shows on a terminal only."""

import fcntl
import json
import os
import pathlib
import pty
import select
import struct
import subprocess
import sys
import termios
import textwrap

import pytest
from helpers import run_python

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import summarise  # noqa: E402

SPLIT_BYTES = 1000  # about ten records of the run below


@pytest.fixture
def run_dir(tmp_path, writer):
    """Four files: 200 WD1 events with 5 and 2 lost inside them, 150 WD2 events with 3 lost."""
    wd1 = []
    for n in [k for k in range(207) if k not in (10, 11, 12, 50, 99, 150, 151)]:
        pulse = [2000] * 32 + [2000 + 40 * (n % 50)] * 8
        wd1.append(writer.wd1_record(pulse, board_channel=n % 3, event_counter=n))
    wd2 = []
    for n in [k for k in range(153) if k not in (5, 6, 7)]:
        waveforms = [[0.01] * 32 + [0.02 * (n % 40) + c] * 4 for c in range(2)]
        wd2.append(writer.wd2_multi_channel_record(waveforms, event_counter=n, sampling_period=8))
    (tmp_path / "a.wd1").write_bytes(b"".join(wd1[:120]))
    (tmp_path / "b.wd1").write_bytes(b"".join(wd1[120:]))
    (tmp_path / "c.wd2").write_bytes(b"".join(wd2[:100]))
    (tmp_path / "d.wd2").write_bytes(b"".join(wd2[100:]))
    (tmp_path / "notes.txt").write_text("not an acquisition file")
    return tmp_path


def test_threads_give_the_summary_of_one_thread(run_dir):
    paths = summarise.files_of([str(run_dir)])
    assert [os.path.basename(p) for p in paths] == ["a.wd1", "b.wd1", "c.wd2", "d.wd2"]
    one = summarise.summarise(paths, None)
    assert one.files == 4 and one.events == 350 and one.failures == []
    # the gaps inside each file; the files are separate runs
    assert (one.lost_events, one.counter_resets) == (5 + 2 + 3 + 0, 0)
    assert sum(one.histograms["WD1 ch 0"]) + sum(one.histograms["WD1 ch 1"]) > 0
    assert sum(one.histograms["WD2 ch 1"]) == 150
    assert summarise.summarise(paths, None, threads=3) == one


@pytest.mark.parametrize("threads", [1, 3])
def test_files_split_by_their_index_give_the_summary_of_whole_files(run_dir, threads):
    paths = summarise.files_of([str(run_dir)])
    parts = summarise.parts_by_file(paths, None, SPLIT_BYTES)
    # every file in several parts, whose boundaries fall between the counter gaps and on them
    assert all(len(of_file) > 3 for of_file in parts.values())
    whole = summarise.summarise(paths, None)
    assert summarise.summarise(paths, None, threads, partition_bytes=SPLIT_BYTES) == whole


DASK = textwrap.dedent(
    """
    import dataclasses, json, sys
    sys.path.insert(0, sys.argv[1])
    import summarise

    paths = summarise.files_of([sys.argv[2]])
    alone = summarise.summarise(paths, None)
    cluster = summarise.summarise_with_dask(paths, None, 2)
    split = summarise.summarise_with_dask(paths, None, 2, partition_bytes=int(sys.argv[3]))
    print(json.dumps([dataclasses.asdict(s) for s in (alone, cluster, split)]))
    """
)


def test_dask_cluster_gives_the_summary_of_one_thread(run_dir):
    pytest.importorskip("distributed")
    alone, cluster, split = run_python(DASK, EXAMPLES, run_dir, SPLIT_BYTES, tmp_path=run_dir)
    assert cluster == alone
    assert split == alone
    assert alone["events"] == 350


def test_a_file_that_fails_is_reported_and_the_others_summed(run_dir, writer):
    (run_dir / "broken.wd2").write_bytes(b"\x01\x02")
    (run_dir / "corrupt.wd1").write_bytes(writer.wd1_record([1, 2], event_size=0))
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "summarise.py"), str(run_dir), "--json"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 1
    summary = json.loads(result.stdout)
    assert summary["events"] == 350
    assert summary["failures"] == [
        f"{run_dir / 'broken.wd2'}: failed to fill whole buffer",
        "capacity overflow",
    ]


def test_nothing_but_the_results_without_a_terminal(run_dir):
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "summarise.py"), str(run_dir), "--threads", "2"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0
    assert result.stderr == ""
    assert result.stdout.startswith("4 files, ")


def test_progress_on_a_terminal(run_dir):
    pytest.importorskip("tqdm")
    primary, secondary = pty.openpty()
    # a terminal of no width gets no bar
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    child = subprocess.Popen(
        [sys.executable, str(EXAMPLES / "summarise.py"), str(run_dir)],
        stdout=subprocess.PIPE,
        stderr=secondary,
        text=True,
    )
    os.close(secondary)
    shown = b""
    try:
        # Read as it comes: what the terminal still holds when the child exits is lost.
        while select.select([primary], [], [], 60)[0]:
            try:
                chunk = os.read(primary, 4096)
            except OSError:  # the child has closed the terminal
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(primary)
    output, _ = child.communicate(timeout=60)
    assert child.returncode == 0
    assert output.startswith("4 files, ")
    assert b"files" in shown and b"%" in shown
