"""Readers used from several threads: each with its own reader, sharing one (a thread that finds
it in use waits for its turn), and building the first arrays of a process at the same moment."""

import sys
import textwrap
import threading

import pluvo
import pytest
from fault_helpers import OUTCOMES, run_script

THREADS = 8


@pytest.fixture
def files(write_file, writer):
    wd1 = [
        writer.wd1_record([(n * 13 + k) % 65536 for k in range(20)], event_counter=n)
        for n in range(3000)
    ]
    wd2 = [
        writer.wd2_record([n + k / 8 for k in range(16)], event_counter=n, channels=2)
        for n in range(3000)
    ]
    return {"WD1": write_file(wd1, "many.wd1"), "WD2": write_file(wd2, "many.wd2")}


def contents(reader):
    return [(event["event_counter"], event["data"].tobytes()) for event in reader]


@pytest.fixture
def short_switch_interval():
    # Threads take turns far more often than by default, so their steps interleave finely.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(target, count):
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        barrier.wait()
        try:
            target(index)
        except BaseException as exc:  # noqa: B036 - reported to the test below
            failures.append(repr(exc))

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []


@pytest.mark.usefixtures("short_switch_interval")
def test_threads_with_their_own_readers(files):
    expected = {kind: contents(pluvo.EventReader(path, kind)) for kind, path in files.items()}
    results = [None] * THREADS
    kinds = ["WD1", "WD2"] * (THREADS // 2)

    def read(index):
        results[index] = contents(pluvo.EventReader(files[kinds[index]], kinds[index]))

    run_threads(read, THREADS)
    for kind, result in zip(kinds, results):
        assert result == expected[kind]


@pytest.mark.usefixtures("short_switch_interval")
@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_threads_sharing_a_reader(files, kind):
    expected = dict(contents(pluvo.EventReader(files[kind], kind)))
    reader = pluvo.EventReader(files[kind], kind)
    taken = [[] for _ in range(THREADS)]
    refused = [[] for _ in range(THREADS)]

    def read(index):
        while True:
            try:
                event = next(reader)
            except StopIteration:
                return
            except RuntimeError as exc:
                refused[index].append(str(exc))
                continue
            taken[index].append((event["event_counter"], event["data"].tobytes()))

    run_threads(read, THREADS)
    counters = [counter for events in taken for counter, _ in events]
    assert sorted(counters) == sorted(expected)  # each event once, none lost
    assert all(data == expected[counter] for events in taken for counter, data in events)
    # a thread that finds the reader in use waits for its turn
    assert refused == [[]] * THREADS
    # each thread saw its events in file order
    for events in taken:
        assert [counter for counter, _ in events] == sorted(counter for counter, _ in events)


# In a fresh interpreter the first next() imports NumPy while it holds the reader: the import
# runs Python code, so other threads get to run in the middle of that call.
FIRST_ARRAYS = OUTCOMES + textwrap.dedent(
    """
    import json, sys, threading, time
    import pluvo

    wd1, wd2, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    own = [pluvo.EventReader(*((wd1, "WD1") if k % 2 == 0 else (wd2, "WD2"))) for k in range(count)]
    shared = pluvo.EventReader(wd1, "WD1")
    barrier = threading.Barrier(2 * count)
    firsts = [None] * count
    taken = [[] for _ in range(count)]
    refused = [[] for _ in range(count)]
    failures = []


    def first(index):
        barrier.wait()
        firsts[index] = outcome(lambda: next(own[index]))


    def share(index):
        barrier.wait()
        while True:
            try:
                event = next(shared)
            except StopIteration:
                return
            except RuntimeError as exc:
                refused[index].append(str(exc))
                try:
                    iter(shared)  # refused too while another thread is inside next()
                except RuntimeError as again:
                    refused[index].append(str(again))
                time.sleep(0.0001)
                continue
            except BaseException as exc:
                failures.append(repr(exc))
                return
            taken[index].append([event["event_counter"], event["data"].tolist()])


    threads = [threading.Thread(target=first, args=(k,)) for k in range(count)]
    threads += [threading.Thread(target=share, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(json.dumps({"firsts": firsts, "taken": taken, "refused": refused, "failures": failures}))
    """
)


def test_first_arrays_built_by_many_threads_at_once(tmp_path, writer):
    wd1 = [writer.wd1_record([n, 2 * n, 3 * n], event_counter=n) for n in range(400)]
    wd2 = [writer.wd2_record([n, -n], event_counter=n, channels=2) for n in range(3)]
    (tmp_path / "a.wd1").write_bytes(b"".join(wd1))
    (tmp_path / "b.wd2").write_bytes(b"".join(wd2))
    result = run_script(FIRST_ARRAYS, "a.wd1", "b.wd2", THREADS, tmp_path=tmp_path)
    assert result["failures"] == []
    assert result["firsts"] == [
        ["event", 0, [0, 0, 0]] if k % 2 == 0 else ["event", 0, [0.0, -0.0]] for k in range(THREADS)
    ]
    # the shared reader gave each event to exactly one thread
    taken = sorted(event for events in result["taken"] for event in events)
    assert taken == [[n, [n, 2 * n, 3 * n]] for n in range(400)]
    # the threads waited for their turns, inside NumPy's first import too
    assert result["refused"] == [[]] * THREADS


FIRST_FAULTS = textwrap.dedent(
    """
    import json, sys, threading
    import pluvo

    count = int(sys.argv[2])
    readers = [pluvo.EventReader(sys.argv[1], "WD1") for _ in range(count)]
    barrier = threading.Barrier(count)
    raised = [None] * count


    def fault(index):
        barrier.wait()
        try:
            next(readers[index])
        except BaseException as exc:
            raised[index] = exc


    threads = [threading.Thread(target=fault, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(json.dumps({
        "classes": len({id(type(exc)) for exc in raised}),
        "names": sorted({type(exc).__module__ + "." + type(exc).__name__ for exc in raised}),
        "messages": [str(exc) for exc in raised],
    }))
    """
)


def test_first_faults_raised_by_many_threads_at_once(tmp_path, writer):
    # The exception class is created on first use: every thread must get the same one.
    (tmp_path / "bad.wd1").write_bytes(writer.wd1_record([], event_size=0))
    result = run_script(FIRST_FAULTS, "bad.wd1", THREADS, tmp_path=tmp_path)
    assert result == {
        "classes": 1,
        "names": ["pyo3_runtime.PanicException"],
        "messages": ["capacity overflow"] * THREADS,
    }


REENTER_LOOKUP = OUTCOMES + textwrap.dedent(
    """
    import json, sys
    import pluvo

    seen = []


    class Reenter:
        # Runs on the thread that is filling the NumPy table cache, inside that fill, while
        # NumPy imports its first submodule.
        def find_spec(self, name, path=None, target=None):
            if name.startswith("numpy.") and not seen:
                seen.append(outcome(lambda: next(other)))
            return None


    reader = pluvo.EventReader(sys.argv[1], "WD1")
    other = pluvo.EventReader(sys.argv[1], "WD1")
    sys.meta_path.insert(0, Reenter())
    first = outcome(lambda: next(reader))
    print(json.dumps({"inner": seen, "outer": first}))
    """
)


def test_first_array_built_again_while_the_lookup_runs(tmp_path, writer):
    (tmp_path / "a.wd1").write_bytes(writer.wd1_record([1, 2], event_counter=5))
    result = run_script(REENTER_LOOKUP, "a.wd1", tmp_path=tmp_path, timeout=8)
    # Whatever the inner call gives, the outer one builds its array.
    assert result["outer"] == ["event", 5, [1, 2]]
    assert len(result["inner"]) == 1
