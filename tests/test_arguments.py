"""How EventReader(path, reader_type) matches, checks and converts its arguments."""

import pathlib
import sys

import pytest
from pluvo import EventReader

NAME = "EventReader.__new__()"
MISSING_BOTH = f"{NAME} missing 2 required positional arguments: 'path' and 'reader_type'"
MISSING_PATH = f"{NAME} missing 1 required positional argument: 'path'"
MISSING_TYPE = f"{NAME} missing 1 required positional argument: 'reader_type'"


def too_many(given):
    return f"{NAME} takes 2 positional arguments but {given} were given"


def unexpected(key):
    return f"{NAME} got an unexpected keyword argument '{key}'"


def multiple(name):
    return f"{NAME} got multiple values for argument '{name}'"


def cannot_cast(argument, type_name):
    return f"argument '{argument}': '{type_name}' object cannot be cast as 'str'"


class Text(str):
    """A str subclass, which must be accepted wherever a str is."""


class Key(str):
    """A keyword whose str() differs from its text: matching uses the text, messages str()."""

    def __str__(self):
        return "shown"


class BrokenKey(str):
    def __str__(self):
        raise RuntimeError("no text")


class Outer:
    class Inner:
        pass


@pytest.fixture
def missing(tmp_path):
    """A path that does not exist: a parse error must win over the open failure."""
    return str(tmp_path / "does-not-exist")


@pytest.fixture
def one_record(write_file, writer):
    return write_file([writer.wd1_record([1, 2, 3], event_counter=5)])


def raise_type_error(*args, **kwargs):
    with pytest.raises(TypeError) as info:
        EventReader(*args, **kwargs)
    exc = info.value
    assert type(exc) is TypeError
    assert len(exc.args) == 1
    return exc


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, MISSING_BOTH),
        (("f",), {}, MISSING_TYPE),
        ((), {"path": "f"}, MISSING_TYPE),
        ((), {"reader_type": "WD1"}, MISSING_PATH),
        (("f", "WD1", "x"), {}, too_many(3)),
        (("f", "WD1", "x", "y", "z"), {}, too_many(5)),
        # Too many positional arguments wins over every keyword problem.
        (("f", "WD1", "x"), {"mode": 1}, too_many(3)),
        (("f", "WD1", "x"), {"path": "g"}, too_many(3)),
        (("f", "WD1", "x"), {"path": "g", "reader_type": "WD2"}, too_many(3)),
        (("f", "WD1"), {"mode": 1}, unexpected("mode")),
        (("f", "WD1"), {"pâth": 1}, unexpected("pâth")),
        (("f", "WD1"), {"Path": 1}, unexpected("Path")),
        (("f", "WD1"), {"path ": 1}, unexpected("path ")),
        ((), {"path": "f", "reader_type": "WD1", "extra": 1}, unexpected("extra")),
        # Keywords are checked before the missing arguments.
        ((), {"mode": 1}, unexpected("mode")),
        ((), {"reader_type": "WD1", "x": 1}, unexpected("x")),
        # Keywords are visited in call order: the first failure wins.
        ((), {"a": 1, "b": 2}, unexpected("a")),
        (("f",), {"mode": 1, "path": "g"}, unexpected("mode")),
        (("f",), {"path": "g", "mode": 1}, multiple("path")),
        # Multiple values wins over the missing reader_type.
        (("f",), {"path": "g"}, multiple("path")),
        (("f", "WD1"), {"path": "g"}, multiple("path")),
        (("f", "WD1"), {"reader_type": "WD2"}, multiple("reader_type")),
        (("f", "WD1"), {"reader_type": "WD2", "path": "g"}, multiple("reader_type")),
    ],
)
def test_parse_messages(args, kwargs, message):
    assert str(raise_type_error(*args, **kwargs)) == message


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, MISSING_BOTH),
        (("f",), {}, MISSING_TYPE),
        (("f", "WD1", "x"), {}, too_many(3)),
        (("f", "WD1"), {"mode": 1}, unexpected("mode")),
    ],
)
def test_parse_messages_through_dunder_new(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        EventReader.__new__(EventReader, *args, **kwargs)
    assert str(info.value) == message


def test_keyword_matched_by_text_and_reported_by_str():
    assert str(raise_type_error("f", "WD1", **{Key("mode"): 1})) == unexpected("shown")
    # A key whose text is a parameter name matches it; the message names the parameter.
    assert str(raise_type_error("f", **{Key("path"): "g"})) == multiple("path")


def test_unprintable_keyword(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    exc = raise_type_error("f", "WD1", **{BrokenKey("mode"): 1})
    assert str(exc) == unexpected("<unprintable BrokenKey object>")
    assert len(reports) == 1
    assert type(reports[0].exc_value) is RuntimeError
    assert str(reports[0].exc_value) == "no text"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1, "WD1"), {}, cannot_cast("path", "int")),
        ((b"f", "WD1"), {}, cannot_cast("path", "bytes")),
        ((None, "WD1"), {}, cannot_cast("path", "NoneType")),
        ((1.5, "WD1"), {}, cannot_cast("path", "float")),
        ((pathlib.PurePosixPath("f"), "WD1"), {}, cannot_cast("path", "PurePosixPath")),
        ((Outer.Inner(), "WD1"), {}, cannot_cast("path", "Outer.Inner")),
        (("f", b"WD1"), {}, cannot_cast("reader_type", "bytes")),
        (("f", 1), {}, cannot_cast("reader_type", "int")),
        (("f", ["WD1"]), {}, cannot_cast("reader_type", "list")),
        # "path" is converted first, whatever the order of the keywords.
        ((1, b"WD1"), {}, cannot_cast("path", "int")),
        ((), {"reader_type": 1, "path": b"f"}, cannot_cast("path", "bytes")),
        ((), {"path": "f", "reader_type": 2}, cannot_cast("reader_type", "int")),
        (("f",), {"reader_type": Outer()}, cannot_cast("reader_type", "Outer")),
    ],
)
def test_non_text_arguments(args, kwargs, message):
    exc = raise_type_error(*args, **kwargs)
    assert str(exc) == message
    assert exc.__cause__ is None


def test_path_class_is_named():
    # PosixPath on this platform; the message names the concrete class.
    exc = raise_type_error(pathlib.Path("f"), "WD1")
    assert str(exc) == cannot_cast("path", "PosixPath")


def test_local_class_is_named_by_qualname():
    class Local:
        pass

    exc = raise_type_error(Local(), "WD1")
    assert str(exc) == cannot_cast("path", Local.__qualname__)
    assert Local.__qualname__ == "test_local_class_is_named_by_qualname.<locals>.Local"


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        (("\udc80", "WD1"), {}),
        (("a\ud800b", "WD1"), {}),
        (("f", "WD\udfff"), {}),
        # The path's failure wins over a bad reader type.
        (("\udc80", b"WD1"), {}),
        (("\udc80", "\udc80"), {}),
    ],
)
def test_lone_surrogate_passes_the_interpreters_error(args, kwargs):
    with pytest.raises(UnicodeEncodeError) as info:
        EventReader(*args, **kwargs)
    exc = info.value
    bad = next(a for a in args if isinstance(a, str) and not a.isascii())
    with pytest.raises(UnicodeEncodeError) as reference:
        bad.encode("utf-8")
    assert type(exc) is UnicodeEncodeError
    assert str(exc) == str(reference.value)
    assert exc.object == bad
    assert (exc.encoding, exc.start, exc.end, exc.reason) == (
        reference.value.encoding,
        reference.value.start,
        reference.value.end,
        reference.value.reason,
    )


def test_path_type_error_wins_over_surrogate_reader_type():
    assert str(raise_type_error(1, "\udc80")) == cannot_cast("path", "int")


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("{missing}",), {}, MISSING_TYPE),
        (("{missing}", "WD1", "x"), {}, too_many(3)),
        (("{missing}", "WD1"), {"mode": 1}, unexpected("mode")),
        (("{missing}",), {"path": "{missing}"}, multiple("path")),
        (("{missing}", b"WD1"), {}, cannot_cast("reader_type", "bytes")),
        (("{missing}", 3), {}, cannot_cast("reader_type", "int")),
    ],
)
def test_nothing_is_opened_before_the_arguments_are_good(missing, args, kwargs, message):
    def fill(value):
        return value.format(missing=missing) if isinstance(value, str) else value

    args = tuple(map(fill, args))
    kwargs = {key: fill(value) for key, value in kwargs.items()}
    assert str(raise_type_error(*args, **kwargs)) == message


def test_surrogate_reader_type_raised_before_open(missing):
    with pytest.raises(UnicodeEncodeError):
        EventReader(missing, "\udc80")


def read_counters(reader):
    return [event["event_counter"] for event in reader]


@pytest.mark.parametrize(
    "call",
    [
        lambda p: EventReader(p, "WD1"),
        lambda p: EventReader(p, reader_type="WD1"),
        lambda p: EventReader(path=p, reader_type="WD1"),
        lambda p: EventReader(reader_type="WD1", path=p),
        lambda p: EventReader(**{"path": p, "reader_type": "WD1"}),
        lambda p: EventReader(p, "WD1", **{}),
        lambda p: EventReader(**{Key("path"): p, Key("reader_type"): "WD1"}),
        lambda p: EventReader.__new__(EventReader, p, "WD1"),
        lambda p: EventReader(Text(p), "WD1"),
        lambda p: EventReader(p, Text("WD1")),
        lambda p: EventReader(path=Text(p), reader_type=Text("WD1")),
    ],
    ids=[
        "positional",
        "mixed",
        "keywords",
        "keywords-reversed",
        "dict",
        "empty-dict",
        "str-subclass-keys",
        "dunder-new",
        "str-subclass-path",
        "str-subclass-type",
        "str-subclass-both",
    ],
)
def test_accepted_forms(one_record, call):
    reader = call(one_record)
    assert type(reader) is EventReader
    assert read_counters(reader) == [5]


def test_str_subclass_compared_by_text(one_record):
    class Shown(str):
        def __str__(self):
            return "WD2"

        def __eq__(self, other):
            return False

        __hash__ = str.__hash__

    # Its text is "WD1": read as WD1 (a WD2 probe would fail on this short file).
    assert read_counters(EventReader(one_record, Shown("WD1"))) == [5]
