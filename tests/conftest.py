"""Shared fixtures: every test file is written by our own writer from the byte layouts."""

import sys

import pytest

from pluvo_tools import write

PYPY = sys.implementation.name == "pypy"
CPYTHON_3_9 = sys.implementation.name == "cpython" and sys.version_info < (3, 10)
PYPY_3_11 = PYPY and sys.version_info >= (3, 11)

# Interpreter differences that the tests carrying the marker cannot tolerate: marker, the
# interpreters where they apply, and the difference, which is the skip's reason there.
DIFFERENCES = {
    "requires_cpython_type_flags": (
        PYPY,
        "PyPy gives instances of extension types a __dict__ and weak references, lists __dict__ "
        "and __weakref__ among the type's attributes, and lets a type without "
        "Py_TPFLAGS_BASETYPE be subclassed",
    ),
    "requires_cpython_reimport": (
        PYPY,
        "PyPy re-imports an extension module without calling its entry point: the new module "
        "holds a copy of the first one's namespace",
    ),
    "requires_doc_text_signature": (
        CPYTHON_3_9 or PYPY_3_11,
        "CPython 3.9 and PyPy 3.11 derive no __text_signature__ for a heap type from the signature "
        "in its doc slot (PyPy 3.11 still takes it out of __doc__)",
    ),
    "requires_disallow_instantiation": (
        sys.version_info < (3, 10) or PYPY,
        "the C API of Python 3.9 has no flag that refuses instantiation, and PyPy ignores it: "
        "the type refuses it in a __new__ of its own, which vars() lists",
    ),
}
REQUIRES_PYTHONAPI = "ctypes has no pythonapi here (PyPy): the test calls the C API through it"


def pytest_configure(config):
    for name, (_, reason) in DIFFERENCES.items():
        config.addinivalue_line("markers", f"{name}: skipped where {reason}")
    config.addinivalue_line("markers", f"requires_pythonapi: skipped where {REQUIRES_PYTHONAPI}")
    config.addinivalue_line(
        "markers",
        "few_rows: checks what no interpreter changes (the stubs, a Dask cluster) and takes long: "
        "the test matrix runs it on a few rows",
    )


def pytest_collection_modifyitems(config, items):
    import ctypes

    for item in items:
        if item.get_closest_marker("requires_pythonapi") and not hasattr(ctypes, "pythonapi"):
            item.add_marker(pytest.mark.skip(reason=REQUIRES_PYTHONAPI))
        for name, (applies, reason) in DIFFERENCES.items():
            if applies and item.get_closest_marker(name):
                item.add_marker(pytest.mark.skip(reason=reason))


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
    return write


@pytest.fixture
def local_cluster():
    """A Dask cluster of two worker processes on the loopback interface."""
    import logging

    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        silence_logs=logging.ERROR,
    ) as running:
        yield running
