"""pluvo_tools.dask: the files' events as a Dask dataframe and array hold what a walk of their bytes
finds, split as their indexes split them, and nothing but headers is read until they are
computed."""

import numpy as np
import pluvo
import pytest
from record_walk import record_index, wd1_outcomes, wd2_outcomes, wd2_probe

pytest.importorskip("dask.dataframe", reason="Dask is not installed here (PyPy has none)")
pd = pytest.importorskip("pandas")

from pluvo_tools import dask as collections  # noqa: E402
from pluvo_tools.write import wd1_record, wd2_multi_channel_record, wd2_record  # noqa: E402

PARTITION_BYTES = 200  # a handful of records each
WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"]
HEADERS = {
    "WD1": dict.fromkeys(WD1_KEYS, "int32"),
    "WD2": dict(
        event_counter="uint32",
        timestamp="uint64",
        samples="uint32",
        sampling_period="uint64",
        channels="int32",
    ),
}
SAMPLES = {"WD1": np.uint16, "WD2": np.float32}


def wd1_run(first, count, length=16):
    return [
        wd1_record(
            [(n * 7 + k) % 4096 for k in range(length)],
            board_id=n % 4 - 2,
            pattern=n * 3,
            board_channel=n % 3,
            event_counter=n,
            timestamp=-n * 1000,
        )
        for n in range(first, first + count)
    ]


def wd2_multi_run(first, count):
    return [
        wd2_multi_channel_record(
            [[n + k / 8 + c for k in range(8)] for c in range(2)],
            event_counter=(2**32 - 3 + n) % 2**32,  # across the counter's wrap
            timestamp=2**63 + n,
            sampling_period=2**40,
        )
        for n in range(first, first + count)
    ]


def wd2_single_run(first, count):
    # as many samples as a record of two channels of eight
    return [
        wd2_record([n - k / 4 for k in range(16)], event_counter=n, timestamp=n, sampling_period=8)
        for n in range(first, first + count)
    ]


@pytest.fixture(params=["WD1", "WD2"])
def run(request, tmp_path):
    """(reader type, paths): several files, the first split into more than two partitions."""
    files = {
        "WD1": {
            "long.wd1": wd1_run(0, 23),
            "empty.wd1": [],
            "cut.wd1": wd1_run(100, 5) + [wd1_run(105, 1)[0][:30]],  # ends cut short
            "one.wd1": wd1_run(200, 1),
        },
        "WD2": {
            "multi.wd2": wd2_multi_run(0, 17),
            "single.wd2": wd2_single_run(50, 6),
            "again.wd2": wd2_multi_run(20, 3),
        },
    }[request.param]
    for name, records in files.items():
        (tmp_path / name).write_bytes(b"".join(records))
    return request.param, [str(tmp_path / name) for name in files]


def walked(path, kind):
    """Each whole record's header values and samples, from the file's bytes."""
    data = open(path, "rb").read()
    if kind == "WD1":
        outcomes = wd1_outcomes(data)
    else:
        header, channels = wd2_probe(data)
        outcomes = wd2_outcomes(data, header, channels)
    return [(fields, np.frombuffer(block, SAMPLES[kind])) for _, fields, block in outcomes]


def expected_frame(paths, kind):
    rows = [
        [*fields, path, number]
        for path in paths
        for number, (fields, _) in enumerate(walked(path, kind))
    ]
    frame = pd.DataFrame(rows, columns=[*HEADERS[kind], "file", "event"])
    return frame.astype({**HEADERS[kind], "file": "string[pyarrow]", "event": "int64"})


def expected_waveforms(paths, kind):
    return np.array([samples for path in paths for _, samples in walked(path, kind)])


def index_partitions(paths, kind):
    """The events of each partition of each file's index, file after file."""
    counts = []
    for path in paths:
        with pluvo.EventReader(path, kind) as reader:
            index = reader.index()
        starts, _, _ = record_index(open(path, "rb").read(), kind)
        counts.append(
            [
                sum(start <= offset < stop for offset in starts[:-1])
                for start, stop in index.partitions(PARTITION_BYTES)
            ]
        )
    return counts


def test_dataframe_holds_the_headers_of_every_event(run):
    kind, paths = run
    frame = collections.dataframe(paths, kind, PARTITION_BYTES)
    expected = expected_frame(paths, kind)
    assert list(frame.columns) == list(expected.columns)
    assert dict(frame.dtypes) == dict(expected.dtypes)
    of_files = index_partitions(paths, kind)
    assert len(of_files[0]) > 2
    # a file without events adds no partition
    partitions = [events for of_file in of_files for events in of_file]
    assert frame.npartitions == len(partitions) and not frame.known_divisions
    computed = frame.compute(scheduler="sync")
    assert dict(computed.dtypes) == dict(expected.dtypes)
    pd.testing.assert_frame_equal(computed.reset_index(drop=True), expected)
    assert frame.map_partitions(len).compute(scheduler="sync").tolist() == partitions


def test_waveforms_hold_the_samples_of_every_event(run):
    kind, paths = run
    rows = collections.waveforms(paths, kind, PARTITION_BYTES)
    expected = expected_waveforms(paths, kind)
    assert rows.dtype == SAMPLES[kind] and rows.shape == expected.shape == (len(expected), 16)
    partitions = [events for of_file in index_partitions(paths, kind) for events in of_file]
    assert rows.chunks == (tuple(partitions), (16,))
    computed = rows.compute(scheduler="sync")
    assert computed.dtype == SAMPLES[kind]
    np.testing.assert_array_equal(computed, expected)


def test_nothing_but_headers_is_read_before_computing(run):
    """Timestamps and samples are overwritten after the collections are built: they must show."""
    kind, paths = run
    frame = collections.dataframe(paths, kind, PARTITION_BYTES)
    rows = collections.waveforms(paths, kind, PARTITION_BYTES)
    # WD1: int32 timestamp at byte 20; WD2: uint64 at byte 4
    timestamp = slice(20, 24) if kind == "WD1" else slice(4, 12)
    for path in paths:
        data = bytearray(open(path, "rb").read())
        header = 24 if kind == "WD1" else wd2_probe(bytes(data))[0]
        offsets, lengths, _ = record_index(bytes(data), kind)
        for offset, length in zip(offsets, lengths):
            size = length * np.dtype(SAMPLES[kind]).itemsize
            data[offset + header : offset + header + size] = bytes(size)
            field = slice(offset + timestamp.start, offset + timestamp.stop)
            data[field] = b"\x11" * (timestamp.stop - timestamp.start)
        open(path, "wb").write(data)
    assert not rows.compute(scheduler="sync").any()
    computed = frame.compute(scheduler="sync").reset_index(drop=True)
    assert set(computed["timestamp"]) == ({0x11111111} if kind == "WD1" else {0x1111111111111111})
    pd.testing.assert_frame_equal(computed, expected_frame(paths, kind))


def test_a_file_changed_since_building_is_refused(run):
    kind, paths = run
    rows = collections.waveforms(paths, kind, PARTITION_BYTES)
    data = open(paths[0], "rb").read()
    open(paths[0], "wb").write(data[: len(data) // 2])
    with pytest.raises(ValueError, match=f"^{paths[0]}: .* events from byte .* its index had"):
        rows.compute(scheduler="sync")


def test_files_without_events_give_empty_collections(tmp_path):
    path = tmp_path / "empty.wd1"
    path.write_bytes(wd1_run(0, 1)[0][:20])
    frame = collections.dataframe([str(path)], "WD1")
    assert list(frame.columns) == [*HEADERS["WD1"], "file", "event"]
    assert len(frame.compute(scheduler="sync")) == 0
    rows = collections.waveforms([str(path)], "WD1")
    assert rows.shape == (0, 0) and rows.dtype == np.uint16


@pytest.mark.parametrize(
    ("records", "culprit", "found"),
    [
        ({"a.wd1": wd1_run(0, 4), "b.wd1": wd1_run(4, 3) + wd1_run(7, 1, length=9)}, "b.wd1", 9),
        ({"a.wd1": wd1_run(0, 4), "b.wd1": [], "c.wd1": wd1_run(4, 2, length=20)}, "c.wd1", 20),
        ({"a.wd1": wd1_run(0, 1, length=12) + wd1_run(1, 2)}, "a.wd1", 16),
    ],
    ids=["inside a file", "across files", "after the first event"],
)
def test_waveforms_refuse_events_of_differing_lengths(tmp_path, records, culprit, found):
    for name, of_file in records.items():
        (tmp_path / name).write_bytes(b"".join(of_file))
    first = len(walked(str(tmp_path / "a.wd1"), "WD1")[0][1])
    with pytest.raises(ValueError) as raised:
        collections.waveforms([str(tmp_path / name) for name in records], "WD1")
    message = str(raised.value)
    assert message.startswith(f"{tmp_path / culprit}: ")
    assert f" {found} samples" in message and f" {first}" in message
    # headers of differing lengths are no trouble for a dataframe
    assert collections.dataframe([str(tmp_path / name) for name in records], "WD1").npartitions


def test_a_file_that_cannot_be_opened_is_named(tmp_path):
    missing = str(tmp_path / "missing.wd1")
    with pytest.raises(FileNotFoundError, match=f"^{missing}: "):
        collections.dataframe([missing], "WD1")


@pytest.mark.few_rows
def test_a_local_cluster_computes_what_one_thread_does(run, local_cluster):
    import distributed

    kind, paths = run
    with distributed.Client(local_cluster, timeout=60) as client:
        frame = collections.dataframe(paths, kind, PARTITION_BYTES)
        rows = collections.waveforms(paths, kind, PARTITION_BYTES)
        computed_frame = client.compute(frame).result(timeout=120)
        computed_rows = client.compute(rows).result(timeout=120)
    pd.testing.assert_frame_equal(
        computed_frame.reset_index(drop=True), expected_frame(paths, kind)
    )
    np.testing.assert_array_equal(computed_rows, expected_waveforms(paths, kind))
