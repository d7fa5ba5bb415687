"""pluvo convert: the file read back with pyarrow equals the batches, one row group per batch;
a file that cannot be read leaves nothing behind."""

import argparse

import numpy as np
import pluvo
import pytest

from pluvo_tools import convert

pa = pytest.importorskip("pyarrow", reason="pyarrow has no wheel for this interpreter or machine")
pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow has no Parquet here")


def converted(*argv):
    parser = argparse.ArgumentParser()
    convert.add_arguments(parser)
    return convert.run(parser.parse_args([str(arg) for arg in argv]))


def written(path):
    if str(path).endswith(".parquet"):
        table = pq.read_table(path)
        return table, pq.ParquetFile(path).metadata.num_row_groups
    with pa.ipc.open_file(path) as file:
        return file.read_all(), file.num_record_batches


@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".feather"])
@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_round_trip_equals_the_batches(tmp_path, write_file, writer, suffix, kind):
    if kind == "WD1":
        records = [writer.wd1_record(range(n % 3 + 4), event_counter=n) for n in range(50)]
    else:
        records = [writer.wd2_record([n, -n] * 3, event_counter=n, channels=2) for n in range(50)]
    path = write_file(records, "run." + kind.lower())
    out = tmp_path / ("run" + suffix)
    assert converted(path, out, "--max-events", 7) == 0
    batches = list(pluvo.EventReader(path, kind).batches(max_events=7))
    table, groups = written(out)
    assert groups == len(batches)
    assert table.column_names == list(batches[0])
    for name in table.column_names:
        column = table.column(name).combine_chunks()
        if name == "data":
            rows = column.values.to_numpy()
            expected = np.concatenate([batch["data"].ravel() for batch in batches])
        else:
            rows = column.to_numpy()
            expected = np.concatenate([batch[name] for batch in batches])
        assert rows.dtype == expected.dtype and (rows == expected).all(), name


@pytest.mark.parametrize(
    "argv, status",
    [(["run.wd1", "out.csv"], 2), (["missing.wd1", "out.parquet"], 1), (["run.dat", "o.arrow"], 1)],
)
def test_refusals(tmp_path, write_file, writer, capsys, monkeypatch, argv, status):
    write_file([writer.wd1_record([1, 2])], "run.wd1")
    write_file([writer.wd1_record([1, 2])], "run.dat")
    monkeypatch.chdir(tmp_path)
    assert converted(*argv) == status
    assert capsys.readouterr().err.startswith(f"pluvo convert: {argv[1 if status == 2 else 0]}: ")
    assert not (tmp_path / argv[1]).exists()


def test_failure_mid_file_leaves_no_output(tmp_path, write_file, writer, capsys):
    records = [writer.wd1_record([1, 2], event_counter=n) for n in range(5)]
    records[3] = writer.wd1_record([], event_size=22)
    path = write_file(records, "bad.wd1")
    out = tmp_path / "bad.parquet"
    assert converted(path, out, "--max-events", 1) == 1
    error = capsys.readouterr().err
    assert error.startswith(f"pluvo convert: {path}: ") and "PanicException" in error
    assert not out.exists()
