"""What `import pluvo` yields: the module, the EventReader type, and the exported symbols."""

import gc
import importlib.util
import shutil
import subprocess
import sys
import textwrap
import weakref

import pluvo
import pytest
from helpers import run_python
from pluvo import EventReader

# What the interpreter itself puts into the dictionary of every extension type; PyPy adds the
# descriptors of the instance dictionary and weak references it gives them.
INTERPRETER_TYPE_ATTRIBUTES = {"__doc__", "__module__"}
if sys.implementation.name == "pypy":
    INTERPRETER_TYPE_ATTRIBUTES |= {"__dict__", "__weakref__"}
OWN_ATTRIBUTES = {
    "__new__",
    "__iter__",
    "__next__",
    "batches",
    "index",
    "tell",
    "seek",
    "close",
    "__enter__",
    "__exit__",
}


@pytest.fixture
def empty_file(write_file):
    return write_file([b""])


def test_module_attributes():
    assert pluvo.__name__ == "pluvo"
    assert pluvo.__doc__ == ""
    assert type(pluvo.__all__) is list
    assert pluvo.__all__ == ["EventReader"]
    assert pluvo.EventReader is EventReader
    assert {name for name in vars(pluvo) if not name.startswith("__")} == {"EventReader"}


def test_type_names():
    assert EventReader.__module__ == "builtins"
    assert EventReader.__name__ == "EventReader"
    assert EventReader.__qualname__ == "EventReader"
    assert EventReader.__bases__ == (object,)
    assert type(EventReader) is type


def test_type_doc():
    # The doc slot holds only a signature: the docstring proper is empty.
    assert EventReader.__doc__ in (None, "")


@pytest.mark.requires_doc_text_signature
def test_type_signature():
    assert EventReader.__text_signature__ == "(path, reader_type)"


def test_own_attributes():
    assert set(vars(EventReader)) - INTERPRETER_TYPE_ATTRIBUTES == OWN_ATTRIBUTES


@pytest.mark.requires_cpython_type_flags
@pytest.mark.parametrize(
    "subclass",
    [
        lambda: type("Sub", (EventReader,), {}),
        lambda: type("Sub", (EventReader, object), {}),
    ],
)
def test_not_subclassable(subclass):
    with pytest.raises(TypeError):
        subclass()


@pytest.mark.requires_cpython_type_flags
def test_not_subclassable_by_class_statement():
    with pytest.raises(TypeError):

        class Sub(EventReader):
            pass


@pytest.mark.requires_cpython_type_flags
def test_instances_are_plain(empty_file):
    reader = EventReader(empty_file, "WD1")
    assert not hasattr(reader, "__dict__")
    with pytest.raises(AttributeError):
        reader.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(reader)
    assert not gc.is_tracked(reader)


def test_type_attributes_can_be_set_and_deleted():
    EventReader.extra = 5
    try:
        assert EventReader.extra == 5
        assert "extra" in vars(EventReader)
    finally:
        del EventReader.extra
    assert not hasattr(EventReader, "extra")
    assert set(vars(EventReader)) - INTERPRETER_TYPE_ATTRIBUTES == OWN_ATTRIBUTES


REIMPORT = """
    import importlib, json, sys
    import pluvo

    first = pluvo
    first.marker = 42
    del sys.modules["pluvo"]
    import pluvo as second
    del sys.modules["pluvo"]
    third = importlib.import_module("pluvo")
    print(json.dumps({
        "same": [second is first, third is first],
        "type": [second.EventReader is first.EventReader, third.EventReader is first.EventReader],
        "all": third.__all__,
        "marker": getattr(third, "marker", None),
        "registered": sys.modules["pluvo"] is first,
    }))
"""


@pytest.mark.requires_cpython_reimport
def test_reimport_returns_the_same_module(tmp_path):
    assert run_python(REIMPORT, tmp_path=tmp_path) == {
        "same": [True, True],
        "type": [True, True],
        "all": ["EventReader"],
        "marker": 42,
        "registered": True,
    }


SUB_INTERPRETER = """
    import json, sys
    import pluvo

    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

    first, reader_type = pluvo, pluvo.EventReader
    # The legacy configuration, where an interpreter does try to import a single-phase module.
    if hasattr(interpreters, "new_config"):
        interpreter = interpreters.create(interpreters.new_config("legacy"))
    elif sys.version_info >= (3, 12):
        interpreter = interpreters.create(isolated=False)
    else:
        interpreter = interpreters.create()
    code = [
        "import json, sys",
        f"sys.path[:] = {sys.path!r}",
        "try:",
        "    import pluvo",
        "    result = ['imported', pluvo.EventReader.__name__]",
        "except ImportError as exc:",
        "    result = [type(exc).__name__, exc.args, 'pluvo' in sys.modules]",
        f"with open({sys.argv[1]!r}, 'w') as out:",
        "    json.dump(result, out)",
    ]
    interpreters.run_string(interpreter, "\\n".join(code))
    interpreters.destroy(interpreter)
    with open(sys.argv[1]) as result:
        sub = json.load(result)
    del sys.modules["pluvo"]
    import pluvo as again
    print(json.dumps({
        "sub": sub,
        "type": pluvo.EventReader is reader_type,
        "events": [e["event_counter"] for e in pluvo.EventReader(sys.argv[2], "WD1")],
        "again": [again is first, again.EventReader is reader_type, again.__all__],
    }))
"""

SUBINTERPRETERS = any(
    importlib.util.find_spec(name) for name in ("_interpreters", "_xxsubinterpreters")
)


# The module's state belongs to the process and the main interpreter: another interpreter is
# refused, and its end leaves the main interpreter's module as it was.
@pytest.mark.skipif(not SUBINTERPRETERS, reason="this interpreter has no sub-interpreters")
@pytest.mark.requires_cpython_reimport
def test_a_sub_interpreter_is_refused(tmp_path, write_file, writer):
    events = write_file([writer.wd1_record([1], event_counter=c) for c in (4, 5)])
    assert run_python(SUB_INTERPRETER, tmp_path / "sub.json", events, tmp_path=tmp_path) == {
        "sub": ["ImportError", ["pluvo supports only the main interpreter"], False],
        "type": True,
        "events": [4, 5],
        "again": [True, True, ["EventReader"]],
    }


NO_NUMPY = """
    import json, sys
    sys.modules["numpy"] = None
    import pluvo

    empty, wd1, wd2 = sys.argv[1:4]
    result = {"empty": list(pluvo.EventReader(empty, "WD1"))}

    def outcomes(reader, count):
        seen = []
        for _ in range(count):
            try:
                event = next(reader)
                seen.append(["event", event["event_counter"], event["data"].tolist()])
            except StopIteration:
                seen.append(["end"])
            except BaseException as exc:
                seen.append([type(exc).__module__, type(exc).__name__, [str(a) for a in exc.args]])
        return seen

    result["wd1"] = outcomes(pluvo.EventReader(wd1, "WD1"), 3)
    result["wd2"] = outcomes(pluvo.EventReader(wd2, "WD2"), 3)

    # A failed lookup is not remembered: once NumPy can be imported, arrays are built.
    reader = pluvo.EventReader(wd1, "WD1")
    result["retry"] = outcomes(reader, 1)
    del sys.modules["numpy"]
    result["retry"] += outcomes(reader, 2)
    print(json.dumps(result))
"""

NUMPY_FAULT = (
    "Failed to access NumPy array API capsule: PyErr { type: <class 'ModuleNotFoundError'>"
)


def assert_numpy_fault(outcome):
    module, name, args = outcome
    assert (module, name) == ("pyo3_runtime", "PanicException")
    assert len(args) == 1
    assert args[0].startswith(NUMPY_FAULT)
    assert args[0].endswith(" }")


def test_without_numpy(tmp_path, write_file, writer):
    empty = write_file([b""], name="empty.wd1")
    wd1 = write_file(
        [writer.wd1_record([c, c + 1], event_counter=c) for c in (1, 2)], name="events.wd1"
    )
    wd2 = write_file(
        [
            writer.wd2_record([0.5, 1.5], event_counter=c, sampling_period=4, channels=2)
            for c in (1, 2)
        ],
        name="events.wd2",
    )
    result = run_python(NO_NUMPY, empty, wd1, wd2, tmp_path=tmp_path)
    assert result["empty"] == []
    for kind in ("wd1", "wd2"):
        first, second, third = result[kind]
        # Every record fails the same way; each failed record is consumed.
        assert_numpy_fault(first)
        assert_numpy_fault(second)
        assert first == second
        assert third == ["end"]
    assert_numpy_fault(result["retry"][0])
    assert result["retry"][1:] == [["event", 2, [2, 3]], ["end"]]


def test_only_the_entry_point_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", pluvo.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    assert symbols == {"PyInit_pluvo"}


def test_import_where_numpy_is_not_installed(tmp_path, write_file, writer):
    # A copy of the extension alone on the path of an interpreter that sees no site-packages.
    shutil.copy(pluvo.__file__, tmp_path)
    path = write_file([writer.wd1_record([1, 2], event_counter=7)], name="one.wd1")
    code = textwrap.dedent(
        """
        import sys
        sys.path.insert(0, sys.argv[1])
        import pluvo
        reader = pluvo.EventReader(sys.argv[2], "WD1")
        try:
            next(reader)
        except BaseException as error:
            print(type(error).__name__, error)
        """
    )
    result = subprocess.run(
        [sys.executable, "-I", "-S", "-c", code, str(tmp_path), path],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "PanicException Failed to access NumPy array API capsule: "
        "PyErr { type: <class 'ModuleNotFoundError'>"
    )
