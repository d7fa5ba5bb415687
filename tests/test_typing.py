"""The type stubs: installed where mypy finds them, true to the built module, and exact enough
for mypy --strict on pluvo_tools and on a typed use of the module."""

import os
import pathlib
import shutil
import subprocess
import sys

import pluvo
import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parents[1]


def run(*args, env=None):
    return subprocess.run(
        [sys.executable, *args],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=600,
        env={**os.environ, **(env or {})},
    )


def test_installed_stub_is_the_source():
    installed = pathlib.Path(pluvo.__file__).parent / "pluvo-stubs" / "__init__.pyi"
    assert installed.read_text() == (ROOT / "stubs" / "pluvo.pyi").read_text()


@pytest.mark.few_rows
def test_strict_mypy(tmp_path):
    # The source stubs, which the test above finds installed, also where the module was built
    # without them beside it.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(ROOT / "stubs" / "pluvo.pyi", stubs)
    cache = ["--cache-dir", str(tmp_path / "cache")]
    result = run(
        "-m",
        "mypy",
        "--strict",
        *cache,
        "src/pluvo_tools",
        "tests/typing",
        env={"MYPYPATH": str(stubs)},
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.few_rows
def test_stubtest():
    result = run("-m", "mypy.stubtest", "pluvo")
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_runs():
    result = run("tests/typing/usage.py")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "typed usage ok\n"
