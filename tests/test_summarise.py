"""pluvo summarise: one thread, a thread pool, a local Dask cluster and a running scheduler give the
same summary of a directory of files; a file that cannot be read is named and the others summed;
progress shows on a terminal only."""

import argparse
import dataclasses
import fcntl
import json
import os
import pty
import select
import struct
import subprocess
import sys
import termios

import pytest

from pluvo_tools import summarise

SPLIT_BYTES = 1000  # about ten records of the run below
COMMAND = [sys.executable, "-m", "pluvo_tools.cli", "summarise"]


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


def run(argv):
    """The command's exit status, run in this process."""
    parser = argparse.ArgumentParser()
    summarise.add_arguments(parser)
    return summarise.run(parser.parse_args([str(argument) for argument in argv]))


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


@pytest.mark.few_rows
@pytest.mark.parametrize("partition_bytes", [summarise.PARTITION_BYTES, SPLIT_BYTES])
def test_dask_clusters_give_the_summary_of_one_thread(run_dir, local_cluster, partition_bytes):
    paths = summarise.files_of([str(run_dir)])
    alone = summarise.summarise(paths, None)
    assert alone.events == 350
    assert summarise.summarise_with_dask(paths, None, 2, partition_bytes) == alone
    on_scheduler = summarise.summarise_with_scheduler(
        paths, None, local_cluster.scheduler_address, partition_bytes
    )
    assert on_scheduler == alone
    # the cluster is left running, its workers too
    assert len(local_cluster.scheduler_info["workers"]) == 2


@pytest.mark.few_rows
def test_scheduler_from_the_command_line(run_dir, local_cluster, capsys):
    assert run([run_dir, "--scheduler", local_cluster.scheduler_address, "--json"]) == 0
    alone = summarise.summarise(summarise.files_of([str(run_dir)]), None)
    assert json.loads(capsys.readouterr().out) == dataclasses.asdict(alone)


@pytest.mark.parametrize("how", [[], ["--threads", "2"], ["--partition-bytes", "300"]])
def test_files_that_fail_are_named_and_the_others_summed(run_dir, writer, capsys, how):
    (run_dir / "broken.wd2").write_bytes(b"\x01\x02")
    (run_dir / "corrupt.wd1").write_bytes(writer.wd1_record([1, 2], event_size=0))
    missing, notes = run_dir / "missing.wd1", run_dir / "notes.txt"
    assert run([run_dir, missing, notes, "--json", *how]) == 1
    shown = capsys.readouterr()
    summary = json.loads(shown.out)
    assert summary["events"] == 350
    failures = [
        f"{run_dir / 'broken.wd2'}: failed to fill whole buffer",
        f"{run_dir / 'corrupt.wd1'}: capacity overflow",
        f"{missing}: No such file or directory (os error 2)",
        f"{notes}: cannot tell the format from the extension '.txt': pass --type",
    ]
    assert summary["failures"] == failures
    assert shown.err.splitlines() == [f"pluvo summarise: {failure}" for failure in failures]


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["--threads", "0"],
        ["--partition-bytes", "0"],
        ["--threads", "2", "--dask", "2"],
        ["--dask", "2", "--scheduler", "127.0.0.1:8786"],
        ["--type", "wd1"],
    ],
)
def test_wrong_usage_exits_2(run_dir, argv):
    paths = [] if argv == [] else [run_dir]
    with pytest.raises(SystemExit) as exited:
        run([*paths, *argv])
    assert exited.value.code == 2


def test_nothing_but_the_results_without_a_terminal(run_dir):
    result = subprocess.run(
        [*COMMAND, str(run_dir), "--threads", "2"],
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
        [*COMMAND, str(run_dir)], stdout=subprocess.PIPE, stderr=secondary, text=True
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
