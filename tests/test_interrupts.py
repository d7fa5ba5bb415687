"""A read that waits (a FIFO whose writer is quiet) lets other threads run, and Ctrl-C stops it:
before the next record the reader reads on afterwards, inside a record it is done."""

import json
import os
import sys
import textwrap

import pytest
from fault_helpers import run_script

# What both scripts share: a writer thread that writes the records up to a point, then the rest
# once go_on is set, and a thread that presses Ctrl-C (SIGINT to the main thread) soon.
WRITER = textwrap.dedent(
    """
    import json, os, signal, sys, threading, time
    import numpy, pluvo

    fifo, records = sys.argv[1], [bytes.fromhex(r) for r in json.loads(sys.argv[2])]
    first, split = int(sys.argv[3]), int(sys.argv[4])  # records before the pause; bytes of the next
    go_on = threading.Event()
    # A process started in the background of a shell script ignores Ctrl-C unless it asks for it.
    signal.signal(signal.SIGINT, signal.default_int_handler)


    def writer():
        fd = os.open(fifo, os.O_WRONLY)
        data = b"".join(records)
        head = sum(map(len, records[:first])) + split
        os.write(fd, data[:head])
        go_on.wait()
        os.write(fd, data[head:])
        os.close(fd)


    def interrupt_soon():
        time.sleep(0.3)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
    """
)

# The writer is a thread of the reading process: it can run only because the waiting read has
# let go of the interpreter lock.
SCRIPT = WRITER + textwrap.dedent(
    """
    counter = [0]


    def count():
        while not go_on.is_set():
            counter[0] += 1


    def outcome(call):
        try:
            event = call()
        except StopIteration:
            return ["end"]
        except BaseException as exc:
            return [type(exc).__name__]
        return [event["event_counter"]]


    result = {}
    threading.Thread(target=interrupt_soon).start()
    result["open"] = outcome(lambda: pluvo.EventReader(fifo, "WD1"))  # no writer yet
    threading.Thread(target=writer).start()
    reader = pluvo.EventReader(fifo, "WD1")
    result["before"] = [outcome(lambda: next(reader)) for _ in range(first)]
    threading.Thread(target=count).start()
    started = counter[0]
    threading.Thread(target=interrupt_soon).start()
    result["waiting"] = outcome(lambda: next(reader))
    result["counted"] = counter[0] - started
    go_on.set()
    result["after"] = [outcome(lambda: next(reader)) for _ in range(len(records) - first + 1)]
    print(json.dumps(result))
    """
)


@pytest.mark.parametrize("split", [0, 10, 30], ids=["between-records", "in-header", "in-samples"])
def test_ctrl_c_stops_a_waiting_read(tmp_path, writer, split):
    records = [writer.wd1_record(list(range(n, n + 8)), event_counter=n) for n in range(5)]
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    hex_records = json.dumps([r.hex() for r in records])
    result = run_script(SCRIPT, fifo, hex_records, 3, split, tmp_path=tmp_path, timeout=60)
    assert result["open"] == ["KeyboardInterrupt"]
    assert result["before"] == [[0], [1], [2]]
    assert result["waiting"] == ["KeyboardInterrupt"]
    # the other thread kept running while the read waited
    assert result["counted"] > 1000
    if split == 0:
        # nothing of record 3 was consumed: reading goes on with it
        assert result["after"] == [[3], [4], ["end"]]
    else:
        # the reader stands inside record 3: it is done, as after a read error
        assert result["after"] == [["end"]] * 3


BATCH_SCRIPT = WRITER + textwrap.dedent(
    """
    def outcome(call):
        try:
            batch = call()
        except StopIteration:
            return ["end"]
        except BaseException as exc:
            return [type(exc).__name__]
        return batch["event_counter"].tolist()


    threading.Thread(target=writer).start()
    batches = pluvo.EventReader(fifo, "WD1").batches(max_events=10)
    threading.Thread(target=interrupt_soon).start()
    result = [outcome(lambda: next(batches)) for _ in range(2)]
    go_on.set()
    result += [outcome(lambda: next(batches)) for _ in range(2)]
    print(json.dumps(result))
    """
)


@pytest.mark.parametrize("split", [0, 10], ids=["between-records", "in-header"])
def test_ctrl_c_during_a_batch_comes_after_its_records(tmp_path, writer, split):
    records = [writer.wd1_record(list(range(n, n + 8)), event_counter=n) for n in range(5)]
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    hex_records = json.dumps([r.hex() for r in records])
    result = run_script(BATCH_SCRIPT, fifo, hex_records, 3, split, tmp_path=tmp_path, timeout=60)
    # the records read before the interruption come first, then KeyboardInterrupt
    assert result[:2] == [[0, 1, 2], ["KeyboardInterrupt"]]
    assert result[2:] == ([[3, 4], ["end"]] if split == 0 else [["end"], ["end"]])


# A signal handler of Python code leaves its frames in the exception's traceback, and the
# interrupted frame holds the batches: a reader that keeps that exception for its next request is
# part of a cycle, which only the collector can free.
CYCLE_SCRIPT = WRITER + textwrap.dedent(
    """
    import gc


    def handler(signum, frame):
        raise KeyboardInterrupt


    signal.signal(signal.SIGINT, handler)
    writing = threading.Thread(target=writer)
    writing.start()


    def read_until_interrupted():
        batches = pluvo.EventReader(fifo, "WD1").batches(max_events=10)
        threading.Thread(target=interrupt_soon).start()
        return next(batches)["event_counter"].tolist()


    gc.collect()
    before = len(os.listdir("/proc/self/fd"))
    first = read_until_interrupted()
    go_on.set()
    writing.join()
    held = len(os.listdir("/proc/self/fd"))
    gc.collect()
    print(json.dumps({"first": first, "before": before, "held": held,
                      "after": len(os.listdir("/proc/self/fd"))}))
    """
)


@pytest.mark.skipif(
    sys.implementation.name == "pypy",
    reason="PyPy's collector does not see the cycles of extension objects",
)
def test_a_reader_that_keeps_an_interruption_is_collected(tmp_path, writer):
    records = [writer.wd1_record(list(range(n, n + 8)), event_counter=n) for n in range(5)]
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    hex_records = json.dumps([r.hex() for r in records])
    result = run_script(CYCLE_SCRIPT, fifo, hex_records, 3, 0, tmp_path=tmp_path, timeout=60)
    assert result["first"] == [0, 1, 2]
    # the reader's file stays open while the cycle stands, and closes when it is collected
    assert result["held"] == result["before"] + 1
    assert result["after"] == result["before"]
