"""Shared fixtures: every test file is written by our own writer from the byte layouts."""

import pathlib
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import wavewriter  # noqa: E402

PYPY = sys.implementation.name == "pypy"

# Interpreter differences that the tests carrying the marker cannot tolerate: skipped where they
# apply, with the reason.
SKIPPED_ON_PYPY = {
    "requires_cpython_type_flags": "PyPy gives instances of extension types a __dict__ and weak "
    "references, lists __dict__ and __weakref__ among the type's attributes, and lets a type "
    "without Py_TPFLAGS_BASETYPE be subclassed",
    "requires_cpython_reimport": "PyPy re-imports an extension module without calling its entry "
    "point: the new module holds a copy of the first one's namespace",
}
REQUIRES_PYTHONAPI = "ctypes has no pythonapi here (PyPy): the test calls the C API through it"


def pytest_configure(config):
    for name, reason in SKIPPED_ON_PYPY.items():
        config.addinivalue_line("markers", f"{name}: on PyPy, {reason}")
    config.addinivalue_line("markers", f"requires_pythonapi: skipped where {REQUIRES_PYTHONAPI}")


def pytest_collection_modifyitems(config, items):
    import ctypes

    for item in items:
        if item.get_closest_marker("requires_pythonapi") and not hasattr(ctypes, "pythonapi"):
            item.add_marker(pytest.mark.skip(reason=REQUIRES_PYTHONAPI))
        if not PYPY:
            continue
        for name, reason in SKIPPED_ON_PYPY.items():
            if item.get_closest_marker(name):
                item.add_marker(pytest.mark.skip(reason=f"PyPy: {reason}"))


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
