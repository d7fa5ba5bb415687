"""Fixtures and helpers of the soak, fault, thread and truncation tests."""

import json
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import textwrap

import pytest

PYPY = platform.python_implementation() == "PyPy"
SHIM_SOURCE = pathlib.Path(__file__).resolve().parent / "shim" / "fail_read.c"

# Pasted in front of a script that runs with the shim preloaded (env from preloading()).
SHIM_CONTROL = textwrap.dedent(
    """
    import ctypes as _ctypes
    import os as _os

    _shim = _ctypes.CDLL(_os.environ["FAIL_READ_SHIM"])
    _shim.pluvo_shim_configure.argtypes = (
        [_ctypes.c_ulonglong] * 2 + [_ctypes.c_longlong] * 3 + [_ctypes.c_int]
    )


    def fail_reads(path, error, *, from_offset=0, count=-1, every=1):
        # reads of the file from from_offset on fail: the first and every `every`-th after it,
        # `count` times in all (negative: no limit)
        st = _os.stat(path)
        _shim.pluvo_shim_configure(st.st_dev, st.st_ino, from_offset, count, every, error)


    def shim_counter(name):
        return _ctypes.c_longlong.in_dll(_shim, "pluvo_shim_" + name).value
    """
)

# Pasted in front of scripts that report what successive next() calls give.
OUTCOMES = textwrap.dedent(
    """
    def outcome(call):
        try:
            event = call()
        except StopIteration:
            return ["end"]
        except BaseException as exc:
            return [type(exc).__module__, type(exc).__name__, [str(a) for a in exc.args]]
        return ["event", event["event_counter"], event["data"].tolist()]


    def outcomes(reader, count):
        return [outcome(lambda: next(reader)) for _ in range(count)]
    """
)


# Test modules import it under this name; the tests ask for "read_shim".
@pytest.fixture(scope="session", name="read_shim")
def read_shim_fixture(tmp_path_factory):
    """The read() shim built for this session, or None where there is no C compiler."""
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        return None
    library = tmp_path_factory.mktemp("shim") / "fail_read.so"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(SHIM_SOURCE), "-ldl"],
        check=True,
        capture_output=True,
        # not under a preloaded sanitizer, whose leak check fails the compiler
        env={name: value for name, value in os.environ.items() if name != "LD_PRELOAD"},
    )
    return str(library)


def preloading(shim):
    """The environment that preloads the shim, after whatever is preloaded already (a
    sanitizer's runtime must stay first)."""
    libraries = [os.environ.get("LD_PRELOAD", ""), shim]
    return {"LD_PRELOAD": ":".join(filter(None, libraries)), "FAIL_READ_SHIM": shim}


# Set where the module under test is built with AddressSanitizer: resident memory then includes
# the sanitizer's quarantine of freed blocks, and its shadow memory takes terabytes of addresses.
SANITIZED = bool(os.environ.get("PLUVO_SANITIZED"))


def require(shim):
    if shim is None:
        pytest.skip("no C compiler to build the read() shim")
    return shim


def run_script(code, *args, tmp_path, env=None, timeout=120):
    """Runs code (already dedented) in a fresh interpreter; returns the JSON of its last line."""
    result = subprocess.run(
        [sys.executable, "-c", code, *map(str, args)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env={**os.environ, **(env or {})},
        timeout=timeout,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def os_error_text(number):
    return f"{os.strerror(number)} (os error {number})"
