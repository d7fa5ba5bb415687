"""The benchmark's timed child: it times the build whose file it is given."""

import importlib.machinery
import json
import pathlib
import subprocess
import sys

import pluvo
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TIMED_PASSES = ROOT / "bench" / "timed_passes.py"
DATA = ROOT / "tests" / "data"


def timed_passes(module_file, name, reader_type, kind, passes):
    arguments = [module_file, DATA / name, reader_type, kind, 64, passes]
    return subprocess.run(
        [sys.executable, TIMED_PASSES, *map(str, arguments)],
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.mark.parametrize("kind", ["events", "batches"])
@pytest.mark.parametrize(
    "name, reader_type",
    [("sample.wd1", "WD1"), ("sample_multi.wd2", "WD2"), ("sample_single.wd2", "WD2")],
)
def test_gives_the_seconds_of_each_timed_pass(name, reader_type, kind):
    result = timed_passes(pluvo.__file__, name, reader_type, kind, 3)
    assert result.returncode == 0, result.stderr
    seconds = json.loads(result.stdout)
    assert len(seconds) == 3 and all(isinstance(s, float) and s >= 0 for s in seconds)


def test_loads_the_build_it_is_given_not_the_importable_one(tmp_path):
    absent = tmp_path / ("pluvo" + importlib.machinery.EXTENSION_SUFFIXES[0])
    result = timed_passes(absent, "sample.wd1", "WD1", "events", 1)
    assert result.returncode != 0
    assert str(absent) in result.stderr
