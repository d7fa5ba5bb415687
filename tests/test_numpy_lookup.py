"""How the first array build finds NumPy's C-API table, and how each failure of that search
is reported. Every case runs in a fresh interpreter (the search is remembered per process),
most with a stand-in `numpy` package first on the path so the installed NumPy is never
imported; an interrupted search is tried on the installed NumPy, interrupted by a real signal."""

import ctypes
import json
import os
import subprocess
import sys
import textwrap

import numpy
import pytest

PREFIX = "Failed to access NumPy array API capsule: "
OUT_OF_RANGE = (
    "PyErr { type: <class 'OverflowError'>, "
    "value: OverflowError('out of range integral type conversion attempted'), traceback: None }"
)
REAL_MAJOR = numpy.lib.NumpyVersion(numpy.__version__).major
LONG_BITS = 8 * ctypes.sizeof(ctypes.c_long)

PROBE = """
    import ctypes, io, json, sys

    fake, path, count, extra = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    sys.path.insert(0, fake)
    import pluvo


    def c_error(name, restype, argtypes, *args):
        # The repr of what an interpreter call raises when made from C, as the module makes it.
        function = getattr(ctypes.pythonapi, name)
        function.restype = restype
        function.argtypes = argtypes
        try:
            function(*args)
        except BaseException as exc:
            return repr(exc)
        return None


    def long_error(value):
        return c_error("PyLong_AsLong", ctypes.c_long, [ctypes.py_object], value)


    def pointer_error(capsule):
        return c_error(
            "PyCapsule_GetPointer", ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p],
            capsule, None,
        )


    def import_traceback(name):
        # The traceback a C caller sees: that of the import, without this frame.
        try:
            __import__(name)
        except BaseException as exc:
            out = io.StringIO()
            print_tb = ctypes.pythonapi.PyTraceBack_Print
            print_tb.restype = ctypes.c_int
            print_tb.argtypes = [ctypes.py_object, ctypes.py_object]
            print_tb(exc.__traceback__.tb_next, out)
            return out.getvalue()
        return None


    def outcome(reader):
        try:
            event = next(reader)
        except StopIteration:
            return ["end"]
        except BaseException as exc:
            return [
                type(exc).__module__,
                type(exc).__name__,
                [a if isinstance(a, str) else repr(a) for a in exc.args],
            ]
        data = event["data"]
        return ["event", event["event_counter"], str(data.dtype), data.tolist()]


    def numpy_modules():
        return {
            name: getattr(module, "__file__", None)
            for name, module in sys.modules.items()
            if module is not None and (name == "numpy" or name.startswith("numpy."))
        }


    reader = pluvo.EventReader(path, "WD1")
    result = {"outcomes": [outcome(reader) for _ in range(count)]}
    result["modules"] = numpy_modules()
    result["calls"] = getattr(sys.modules.get("numpy.lib"), "calls", None)
    result["extra"] = eval(extra) if extra else None
    print(json.dumps(result))
"""

# The stand-in's version class reports MAJOR and records every call it gets.
LIB = """
calls = []


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


MAJOR = {major}


class NumpyVersion:
    def __init__(self, vstring):
        calls.append(vstring)
        self.major = MAJOR
"""

NAMED_CAPSULE = """
import ctypes

_storage = ctypes.create_string_buffer(16)
_name = ctypes.create_string_buffer(b"name")
_new = ctypes.pythonapi.PyCapsule_New
_new.restype = ctypes.py_object
_new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
_ARRAY_API = _new(ctypes.addressof(_storage), ctypes.addressof(_name), None)
"""

NO_TABLE = "# no _ARRAY_API here\n"


def write_tree(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return root


def fake_numpy(tmp_path, major, version="1.0.0", **modules):
    """A stand-in package: numpy, numpy.lib (MAJOR given as source text) and the
    multiarray modules passed as core=... and _core=... (source text each)."""
    files = {
        "numpy/__init__.py": f"__version__ = {version!r}\n",
        "numpy/lib/__init__.py": LIB.format(major=major),
    }
    for package, text in modules.items():
        files[f"numpy/{package}/__init__.py"] = ""
        files[f"numpy/{package}/multiarray.py"] = text
    return write_tree(tmp_path / "fake", files)


def run_probe(tmp_path, fake, path, count, extra="", code=PROBE):
    """Runs the probe in a fresh interpreter; returns its JSON result and its standard error."""
    return run_fresh(tmp_path, code, fake, path, count, extra)


def run_fresh(tmp_path, code, *args):
    """Runs code in a fresh interpreter; returns the JSON of its last line and its standard
    error."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=dict(os.environ),
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1]), result.stderr


def fault_reports(stderr):
    """The message line after each "thread '...' panicked at ..." line."""
    lines = stderr.splitlines()
    return [
        lines[index + 1]
        for index, line in enumerate(lines[:-1])
        if line.startswith("thread '") and " panicked at " in line
    ]


def panic(description):
    return ["pyo3_runtime", "PanicException", [PREFIX + description]]


def message_of(outcome):
    module, name, args = outcome
    assert (module, name) == ("pyo3_runtime", "PanicException")
    assert len(args) == 1
    assert args[0].startswith(PREFIX)
    return args[0][len(PREFIX) :]


def attribute_error(module):
    return (
        f"PyErr {{ type: <class 'AttributeError'>, value: AttributeError(\"module '{module}' "
        f"has no attribute '_ARRAY_API'\"), traceback: None }}"
    )


def debug_str(text):
    """A text in the quoted debug form: quotes, backslashes and line breaks escaped."""
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return '"' + escaped.replace("\r", "\\r").replace("\t", "\\t") + '"'


@pytest.fixture
def events(write_file, writer):
    return write_file(
        [writer.wd1_record([c, c + 1], event_counter=c) for c in (1, 2)], name="events.wd1"
    )


def assert_only_fakes(result, fake):
    # The installed NumPy must stay out of the way for the failure to be the stand-in's.
    for name, file in result["modules"].items():
        assert file is None or file.startswith(str(fake)), (name, file)


def assert_same_fault_twice(result, stderr, description):
    first, second, third = result["outcomes"]
    assert first == panic(description)
    # Every record fails the same way; each failed record is consumed.
    assert second == first
    assert third == ["end"]
    assert fault_reports(stderr) == [PREFIX + description] * 2


@pytest.mark.parametrize(
    ("version", "major"),
    [
        ("300.0.0", "300"),
        ("-1.0.0", "-1"),
        ("256.0", "256"),
        pytest.param(
            "1.0",
            "2**40",
            marks=pytest.mark.skipif(
                LONG_BITS < 64,
                reason="2**40 does not fit a 32-bit C long: the conversion itself overflows",
            ),
        ),
        ("1.0", "-2"),
    ],
)
def test_major_out_of_range(tmp_path, events, version, major):
    fake = fake_numpy(tmp_path, major, version=version, core=NO_TABLE, _core=NO_TABLE)
    result, stderr = run_probe(tmp_path, fake, events, 3)
    assert_same_fault_twice(result, stderr, OUT_OF_RANGE)
    # Nothing is remembered: the version is asked for again at the second record.
    assert result["calls"] == [version, version]
    assert_only_fakes(result, fake)
    assert not any(name.endswith(".multiarray") for name in result["modules"])


@pytest.mark.requires_pythonapi
@pytest.mark.parametrize(
    ("major", "type_name"),
    [
        ('"x"', "TypeError"),
        pytest.param(
            "2.5",
            "TypeError",
            marks=pytest.mark.skipif(
                sys.version_info < (3, 10), reason="the interpreter truncates floats before 3.10"
            ),
        ),
        ("None", "TypeError"),
        ("2**70", "OverflowError"),
        ("-(2**70)", "OverflowError"),
    ],
)
def test_major_not_convertible(tmp_path, events, major, type_name):
    fake = fake_numpy(tmp_path, major, core=NO_TABLE, _core=NO_TABLE)
    result, stderr = run_probe(
        tmp_path, fake, events, 3, extra='long_error(sys.modules["numpy.lib"].MAJOR)'
    )
    # The conversion's own exception is passed on, whatever its text.
    value = result["extra"]
    assert value is not None and value.startswith(f"{type_name}(")
    description = message_of(result["outcomes"][0])
    assert description.startswith(f"PyErr {{ type: <class '{type_name}'>, value: {type_name}(")
    assert description.endswith(", traceback: None }")
    assert (
        description == f"PyErr {{ type: <class '{type_name}'>, value: {value}, traceback: None }}"
    )
    assert_same_fault_twice(result, stderr, description)
    assert result["calls"] == ["1.0.0", "1.0.0"]
    assert_only_fakes(result, fake)


@pytest.mark.parametrize(
    ("major", "chosen", "other"),
    [
        ("0", "numpy.core", "numpy._core"),
        ("1", "numpy.core", "numpy._core"),
        ("True", "numpy.core", "numpy._core"),
        ("2", "numpy._core", "numpy.core"),
        ("Index(2)", "numpy._core", "numpy.core"),
        ("3", "numpy._core", "numpy.core"),
        ("255", "numpy._core", "numpy.core"),
    ],
)
def test_major_chooses_the_module(tmp_path, events, major, chosen, other):
    fake = fake_numpy(tmp_path, major, version="9.9.9", core=NO_TABLE, _core=NO_TABLE)
    result, stderr = run_probe(tmp_path, fake, events, 3)
    assert_same_fault_twice(result, stderr, attribute_error(f"{chosen}.multiarray"))
    # The other name is never tried, and the version is asked for once only.
    assert f"{chosen}.multiarray" in result["modules"]
    assert f"{other}.multiarray" not in result["modules"]
    assert result["calls"] == ["9.9.9"]
    assert_only_fakes(result, fake)


def test_new_numpy_module_only(tmp_path, events):
    fake = fake_numpy(tmp_path, "2", version="2.0.0", _core=NO_TABLE)
    result, stderr = run_probe(tmp_path, fake, events, 3)
    assert_same_fault_twice(result, stderr, attribute_error("numpy._core.multiarray"))
    assert result["calls"] == ["2.0.0"]


@pytest.mark.parametrize(
    ("table", "description"),
    [
        (NO_TABLE, attribute_error("numpy.core.multiarray")),
        (
            "_ARRAY_API = 5\n",
            "PyErr { type: <class 'TypeError'>, "
            "value: TypeError(\"'int' object cannot be cast as 'PyCapsule'\"), traceback: None }",
        ),
        (
            "_ARRAY_API = None\n",
            "PyErr { type: <class 'TypeError'>, "
            "value: TypeError(\"'NoneType' object cannot be cast as 'PyCapsule'\"), "
            "traceback: None }",
        ),
        (
            "_ARRAY_API = 'capsule'\n",
            "PyErr { type: <class 'TypeError'>, "
            "value: TypeError(\"'str' object cannot be cast as 'PyCapsule'\"), traceback: None }",
        ),
    ],
)
def test_unusable_table(tmp_path, events, table, description):
    fake = fake_numpy(tmp_path, "1", core=table)
    result, stderr = run_probe(tmp_path, fake, events, 3)
    assert_same_fault_twice(result, stderr, description)
    assert result["calls"] == ["1.0.0"]
    assert_only_fakes(result, fake)


@pytest.mark.requires_pythonapi
def test_named_capsule_is_refused(tmp_path, events):
    fake = fake_numpy(tmp_path, "1", core=NAMED_CAPSULE)
    result, stderr = run_probe(
        tmp_path,
        fake,
        events,
        3,
        extra='pointer_error(sys.modules["numpy.core.multiarray"]._ARRAY_API)',
    )
    # The refusal of the pointer read is passed on as it was raised.
    value = result["extra"]
    assert value is not None and value.startswith("ValueError(")
    description = message_of(result["outcomes"][0])
    assert description.startswith("PyErr { type: <class 'ValueError'>, value: ValueError(")
    assert description == f"PyErr {{ type: <class 'ValueError'>, value: {value}, traceback: None }}"
    assert_same_fault_twice(result, stderr, description)
    assert_only_fakes(result, fake)


IMPORT_FAILS = "raise ImportError('boom')  # \"quoted\" and \\back\\slashed\n"


@pytest.mark.requires_pythonapi
def test_numpy_import_fails(tmp_path, events):
    fake = write_tree(tmp_path / "fake", {"numpy/__init__.py": IMPORT_FAILS})
    result, stderr = run_probe(tmp_path, fake, events, 3, extra='import_traceback("numpy")')
    description = message_of(result["outcomes"][0])
    assert description.startswith(
        "PyErr { type: <class 'ImportError'>, value: ImportError('boom'), "
        'traceback: Some("Traceback (most recent call last):\\n'
    )
    assert description.endswith('\\n") }')
    assert "\n" not in description
    # The frame of the stand-in, with its quotes and backslashes escaped.
    init = debug_str(str(fake / "numpy" / "__init__.py"))[1:-1]
    assert f'  File \\"{init}\\", line 1, in <module>\\n' in description
    assert "raise ImportError('boom')  # \\\"quoted\\\" and \\\\back\\\\slashed\\n" in description
    traceback_text = result["extra"]
    assert traceback_text is not None
    assert description == (
        "PyErr { type: <class 'ImportError'>, value: ImportError('boom'), "
        f"traceback: Some({debug_str(traceback_text)}) }}"
    )
    assert_same_fault_twice(result, stderr, description)
    assert result["modules"] == {}


VERSION = "__version__ = '1.0'\n"


def missing(module, attribute):
    return (
        f"PyErr {{ type: <class 'AttributeError'>, value: AttributeError(\"{module} "
        f"has no attribute '{attribute}'\"), traceback: None }}"
    )


@pytest.mark.parametrize(
    ("init", "lib", "description"),
    [
        ("", LIB.format(major=1), missing("module 'numpy'", "__version__")),
        (VERSION, "", missing("module 'numpy.lib'", "NumpyVersion")),
        (
            VERSION,
            "def NumpyVersion(v):\n    return object()\n",
            missing("'object' object", "major"),
        ),
    ],
    ids=["no-version", "no-version-class", "no-major"],
)
def test_version_attribute_missing(tmp_path, events, init, lib, description):
    files = {"numpy/__init__.py": init, "numpy/lib/__init__.py": lib}
    fake = write_tree(tmp_path / "fake", files)
    result, stderr = run_probe(tmp_path, fake, events, 3)
    assert_same_fault_twice(result, stderr, description)
    assert_only_fakes(result, fake)


@pytest.mark.parametrize(
    ("files", "type_name", "traceback"),
    [
        ({"numpy/__init__.py": VERSION}, "ModuleNotFoundError", None),
        (
            {
                "numpy/__init__.py": VERSION,
                "numpy/lib/__init__.py": "def NumpyVersion(v):\n    raise ValueError(v)\n",
            },
            "ValueError",
            'Some("Traceback (most recent call last):\\n',
        ),
    ],
    ids=["no-lib", "version-refused"],
)
def test_version_step_raises(tmp_path, events, files, type_name, traceback):
    fake = write_tree(tmp_path / "fake", files)
    result, stderr = run_probe(tmp_path, fake, events, 3)
    description = message_of(result["outcomes"][0])
    assert description.startswith(f"PyErr {{ type: <class '{type_name}'>, value: {type_name}(")
    assert description.endswith(" }")
    assert "\n" not in description
    if traceback is not None:
        # Raised in Python code: the traceback comes along.
        assert f"), traceback: {traceback}" in description
    assert_same_fault_twice(result, stderr, description)
    assert_only_fakes(result, fake)


RETRY = PROBE.replace(
    """    reader = pluvo.EventReader(path, "WD1")
    result = {"outcomes": [outcome(reader) for _ in range(count)]}
""",
    """    reader = pluvo.EventReader(path, "WD1")
    result = {"outcomes": [outcome(reader)]}
    result["fake_calls"] = getattr(sys.modules.get("numpy.lib"), "calls", None)
    # Take the stand-in away: the installed NumPy is found on the next record.
    sys.path.remove(fake)
    for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
        del sys.modules[name]
    result["outcomes"] += [outcome(reader) for _ in range(count - 1)]
    result["real"] = sys.modules["numpy"].__file__
""",
)


def test_retry_after_failed_import(tmp_path, events):
    assert RETRY != PROBE
    fake = write_tree(tmp_path / "fake", {"numpy/__init__.py": IMPORT_FAILS})
    result, stderr = run_probe(tmp_path, fake, events, 3, code=RETRY)
    first, second, third = result["outcomes"]
    description = message_of(first)
    assert description.startswith("PyErr { type: <class 'ImportError'>, value: ImportError('boom')")
    assert second == ["event", 2, "uint16", [2, 3]]
    assert third == ["end"]
    assert not result["real"].startswith(str(fake))
    assert result["real"] == numpy.__file__
    assert fault_reports(stderr) == [PREFIX + description]


def test_retry_keeps_the_module_name(tmp_path, events):
    # A stand-in with the installed major: its module name is kept, its table retried.
    chosen = "numpy._core" if REAL_MAJOR >= 2 else "numpy.core"
    package = chosen.split(".")[1]
    fake = fake_numpy(tmp_path, str(REAL_MAJOR), version="7.7.7", **{package: NO_TABLE})
    result, stderr = run_probe(tmp_path, fake, events, 3, code=RETRY)
    first, second, third = result["outcomes"]
    description = attribute_error(f"{chosen}.multiarray")
    assert first == panic(description)
    assert result["fake_calls"] == ["7.7.7"]
    assert second == ["event", 2, "uint16", [2, 3]]
    assert third == ["end"]
    assert result["real"] == numpy.__file__
    assert fault_reports(stderr) == [PREFIX + description]


def test_fault_report_on_stderr(tmp_path, events):
    fake = fake_numpy(tmp_path, "300", version="300.0.0")
    result, stderr = run_probe(tmp_path, fake, events, 1)
    assert result["outcomes"] == [panic(OUT_OF_RANGE)]
    lines = stderr.splitlines()
    heads = [i for i, line in enumerate(lines) if line.startswith("thread '")]
    assert len(heads) == 1
    assert " panicked at " in lines[heads[0]]
    assert lines[heads[0] + 1] == PREFIX + OUT_OF_RANGE


# Ctrl-C (or a handler's SystemExit) at one step of the lookup, the first time it gets there.
INTERRUPTED = """
    import json, signal, sys, time, types
    import pluvo

    path, stage, raised, request_kind = sys.argv[1:5]
    count = int(sys.argv[5])
    asked = []


    def exit_on_signal(signum, frame):
        raise SystemExit(3)


    # A process started in the background ignores SIGINT unless it asks for it.
    handler = signal.default_int_handler if raised == "KeyboardInterrupt" else exit_on_signal
    signal.signal(signal.SIGINT, handler)


    def asked_for():
        asked.append(stage)
        if len(asked) == 1:
            signal.raise_signal(signal.SIGINT)
            for _ in range(500):  # PyPy runs the handler only once Python code runs on
                time.sleep(0.01)


    class NumpyFinder:
        # asked for numpy before any of it is loaded; a NumPy interrupted later on cannot be
        # imported a second time
        def find_spec(self, name, path=None, target=None):
            if name == "numpy":
                asked_for()
            return None


    if stage == "import":
        sys.meta_path.insert(0, NumpyFinder())
    else:
        import numpy

        version_class = numpy.lib.NumpyVersion
        if stage == "version":

            def version_asked_for(text):
                asked_for()
                return version_class(text)

            numpy.lib.NumpyVersion = version_asked_for
        else:
            major = version_class(numpy.__version__).major
            name = ("numpy._core" if major >= 2 else "numpy.core") + ".multiarray"
            table = sys.modules[name]._ARRAY_API
            stand_in = types.ModuleType(name)

            def table_asked_for(attribute):
                if attribute != "_ARRAY_API":
                    raise AttributeError(attribute)
                asked_for()
                return table

            stand_in.__getattr__ = table_asked_for
            sys.modules[name] = stand_in

    reader = pluvo.EventReader(path, "WD1")
    if request_kind == "next":

        def request():
            event = next(reader)
            return [[event["event_counter"], event["data"].tolist()]]

    else:
        batches = reader.batches(max_events=2)

        def request():
            batch = next(batches)
            counters, data = batch["event_counter"].tolist(), batch["data"].tolist()
            return [list(row) for row in zip(counters, data)]


    def outcome():
        try:
            return ["records", request()]
        except StopIteration:
            return ["end"]
        except BaseException as exc:
            return [type(exc).__module__, type(exc).__name__, [str(a) for a in exc.args]]


    result = {"first": outcome(), "asked": len(asked)}
    result["then"] = [outcome() for _ in range(count)]
    result["asked_in_all"] = len(asked)
    print(json.dumps(result))
"""


@pytest.mark.parametrize("request_kind", ["next", "batches"])
@pytest.mark.parametrize(("raised", "args"), [("KeyboardInterrupt", []), ("SystemExit", ["3"])])
@pytest.mark.parametrize("stage", ["import", "version", "table"])
def test_interrupted_lookup_reaches_the_caller(
    tmp_path, write_file, writer, stage, raised, args, request_kind
):
    rows = [[counter, [counter, 2 * counter]] for counter in (1, 2, 3)]
    path = write_file([writer.wd1_record(data, event_counter=c) for c, data in rows], "three.wd1")
    result, stderr = run_fresh(tmp_path, INTERRUPTED, path, stage, raised, request_kind, 4)
    # Raised as itself, not as an internal fault, and only once the lookup got that far.
    assert result["first"] == ["builtins", raised, args]
    assert result["asked"] == 1
    assert "panicked" not in stderr
    assert fault_reports(stderr) == []
    # Nothing was consumed: every record follows, from the first on; the lookup was tried once
    # more, on the next request, and then kept.
    if request_kind == "next":
        expected = [["records", [row]] for row in rows] + [["end"]]
    else:
        expected = [["records", rows[:2]], ["records", rows[2:]], ["end"], ["end"]]
    assert result["then"] == expected
    assert result["asked_in_all"] == 2
