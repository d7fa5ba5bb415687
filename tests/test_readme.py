"""Every Python block of the README runs against the installed module and package, in a directory
where `pluvo samples build/samples` has written the sample files, as the README's first command
does."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")


def python_blocks():
    """(id, code) of each python block; the id is the heading above it and a counter."""
    blocks = []
    heading = "top"
    # Code blocks are matched whole, so a "#" line inside one is no heading.
    for match in re.finditer(r"^(#+ [^\n]*)$|^```(\w*)\n(.*?)^```$", README, re.M | re.S):
        if match.group(1):
            heading = re.sub(r"\W+", "-", match.group(1).lstrip("# ").lower()).strip("-")
        elif match.group(2) == "python":
            blocks.append(pytest.param(match.group(3), id=f"{heading}-{len(blocks) + 1}"))
    return blocks


BLOCKS = python_blocks()


def test_blocks_found():
    # Guards the extraction: a broken pattern would otherwise leave nothing to run.
    assert len(BLOCKS) >= 5


@pytest.fixture(scope="module")
def with_samples(tmp_path_factory):
    directory = tmp_path_factory.mktemp("readme")
    command = [sys.executable, "-m", "pluvo_tools", "samples", "build/samples"]
    subprocess.run(command, cwd=directory, check=True, capture_output=True, timeout=300)
    return directory


# Blocks that use these run where they are installed (not on every row of the test matrix).
OPTIONAL_MODULES = ("pandas", "pyarrow", "polars", "duckdb", "dask")


@pytest.mark.parametrize("code", BLOCKS)
def test_block_runs(with_samples, code):
    for module in OPTIONAL_MODULES:
        if re.search(rf"^import {module}\b", code, re.M) and not importlib.util.find_spec(module):
            pytest.skip(f"{module} is not installed")
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=with_samples, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout, "every block shows its result"
