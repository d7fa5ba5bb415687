"""Shared fixtures: every test file is written by our own writer from the byte layouts."""

import pathlib
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import wavewriter  # noqa: E402


@pytest.fixture
def write_file(tmp_path):
    """write_file(records, name=...) writes the records one after another; returns the path."""

    def write(records, name="events.bin"):
        path = tmp_path / name
        path.write_bytes(b"".join(records))
        return str(path)

    return write


@pytest.fixture
def writer():
    return wavewriter
