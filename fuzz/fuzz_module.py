"""Fuzzes the pluvo module from Python: each input becomes a file that EventReader reads to its end.

    python3 fuzz_module.py [-max_total_time=S] [-seed=N] [-timeout=S] [libFuzzer flags] CORPUS...

The low bit of an input's first byte picks the reader type ("WD1" or "WD2"); the rest is the
file. What the reader does is compared with a walk over the same bytes that follows the layouts
on its own: each event's fields and samples, the end of the records, the internal fault
(PanicException) for an impossible block, the plain OSError of a WD2 probe that finds too few
bytes. Any other exception, a crash or a hang fails the run.

With atheris installed, libFuzzer drives the inputs; preloading atheris's asan_with_fuzzer.so
into a module built with -fsanitize=address,fuzzer-no-link gives it the module's coverage too.
Without atheris, a seeded mutation loop over the corpus runs instead, for -max_total_time.
"""

import faulthandler
import os
import pathlib
import random
import struct
import sys
import time

import numpy
import pluvo

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from record_walk import wd1_outcomes, wd2_outcomes, wd2_probe  # noqa: E402

WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"]
WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels"]


class Mismatch(AssertionError):
    pass


def check(condition, what):
    if not condition:
        raise Mismatch(what)


def is_fault(exc):
    return type(exc).__name__ == "PanicException" and exc.args == ("capacity overflow",)


# --- one input -------------------------------------------------------------------------------


class InputFile:
    """An in-memory file, reused for every input; EventReader opens it by its /proc path."""

    def __init__(self):
        self.fd = os.memfd_create("pluvo-fuzz-input")
        self.path = f"/proc/self/fd/{self.fd}"

    def replace(self, data):
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, data, 0)


INPUT = InputFile()


def check_event(event, fields, samples, keys, dtype):
    check(list(event) == keys + ["data"], "keys")
    check([event[key] for key in keys] == fields, "header fields")
    data = event["data"]
    check(type(data) is numpy.ndarray and data.dtype == dtype and data.ndim == 1, "array type")
    check(data.astype(dtype.newbyteorder("<")).tobytes() == samples, "samples")


def test_one_input(raw):
    kind = "WD2" if raw and raw[0] & 1 else "WD1"
    data = bytes(raw[1:])
    INPUT.replace(data)
    if kind == "WD1":
        keys, dtype, outcomes = WD1_KEYS, numpy.dtype(numpy.uint16), wd1_outcomes(data)
        reader = pluvo.EventReader(INPUT.path, kind)
    else:
        keys, dtype = WD2_KEYS, numpy.dtype(numpy.float32)
        probe = wd2_probe(data)
        try:
            reader = pluvo.EventReader(INPUT.path, kind)
        except BaseException as exc:  # noqa: B036 - PanicException is no Exception
            if type(exc) is OSError:
                check(probe == "fails", f"probe failed: {exc!r}")
            elif is_fault(exc):
                check(probe == "faults", f"probe faulted: {exc!r}")
            else:
                raise
            return
        check(probe not in ("fails", "faults"), "probe opened")
        outcomes = wd2_outcomes(data, *probe)
    for outcome in [*outcomes, ("end",), ("end",)]:
        try:
            event = next(reader)
        except StopIteration:
            check(outcome[0] == "end", f"records ended early, {outcome[0]} expected")
        except BaseException as exc:  # noqa: B036
            if not is_fault(exc):
                raise
            check(outcome[0] == "fault", f"a fault where the layout has none: {exc!r}")
        else:
            check(outcome[0] == "record", "a record where the layout has none")
            check_event(event, outcome[1], outcome[2], keys, dtype)
    check_batches(pluvo.EventReader(INPUT.path, kind), outcomes, keys, dtype, raw)


def check_batches(reader, outcomes, keys, dtype, raw):
    """The batches, row after row, give the outcomes of next(); the limits come from the input."""
    max_events = 1 + (raw[-1] % 9 if raw else 0)
    batches = reader.batches(max_events, 1 + (raw[-2] if len(raw) > 1 else 0) * 37)
    got = []
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            break
        except BaseException as exc:  # noqa: B036
            if not is_fault(exc):
                raise
            got.append(("fault",))
            continue
        rows = len(batch["data"])
        check(1 <= rows <= max_events and list(batch) == keys + ["data"], "batch form")
        for i in range(rows):
            event = {key: batch[key][i].item() for key in keys}
            event["data"] = batch["data"][i]
            got.append(("record", event))
    check(len(got) == len(outcomes), "batches give as many outcomes as next()")
    for outcome, batched in zip(outcomes, got):
        check(outcome[0] == batched[0], "batches give the outcomes of next()")
        if outcome[0] == "record":
            check_event(batched[1], outcome[1], outcome[2], keys, dtype)


# --- without atheris: a seeded mutation loop -------------------------------------------------

# Counts and sizes at the layouts' edges; from 2**30 on, sample counts whose blocks reach 2**32
# bytes and beyond (with 2**16 or 3 channels too), which 32 bits would wrap to small ones.
INTERESTING = [
    struct.pack("<I", value % 2**32)
    for value in (0, 1, -1, 22, 23, 24, 25, 26, 28, 2**28, 2**29, 2**31 - 1, -(2**31))
    + (2**16, 2**30, 2**30 + 1, 2**30 + 2, 2**31 + 1, 0x55555556)
]


def mutate(data, rng, corpus):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        operation = rng.randrange(6)
        position = rng.randrange(len(data) + 1)
        if operation == 0 and position < len(data):
            data[position] ^= 1 << rng.randrange(8)
        elif operation == 1 and position < len(data):
            data[position] = rng.randrange(256)
        elif operation == 2:
            data[position : position + 4] = rng.choice(INTERESTING)
        elif operation == 3:
            del data[position:]
        elif operation == 4:
            data[position:position] = os.urandom(rng.randint(1, 8))
        else:
            other = rng.choice(corpus)
            data[position:] = other[rng.randrange(len(other) + 1) :]
    return bytes(data)


def mutation_loop(flags, corpus_dirs):
    seconds = float(flags.get("max_total_time", 60))
    timeout = float(flags.get("timeout", 10))
    rng = random.Random(int(flags.get("seed", 1)))
    corpus = [p.read_bytes() for d in corpus_dirs for p in sorted(pathlib.Path(d).iterdir())]
    corpus = corpus or [b""]
    runs, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        data = corpus[runs % len(corpus)] if runs < len(corpus) else None
        data = mutate(rng.choice(corpus), rng, corpus) if data is None else data
        faulthandler.dump_traceback_later(timeout, exit=True)  # a hang ends the process
        try:
            test_one_input(data)
        except BaseException:
            crash = pathlib.Path(flags.get("artifact_prefix", "./") + f"crash-{runs}")
            crash.write_bytes(data)
            print(f"failing input written to {crash}", file=sys.stderr)
            raise
        finally:
            faulthandler.cancel_dump_traceback_later()
        runs += 1
    print(f"stat::number_of_executed_units: {runs}")
    print(f"Done {runs} runs in {seconds:g} second(s) (mutation loop, no atheris)")


def main():
    try:
        import atheris
    except ImportError:
        atheris = None
    if atheris is not None and not os.environ.get("PLUVO_FUZZ_NO_ATHERIS"):
        atheris.Setup(sys.argv, test_one_input)
        atheris.Fuzz()
        return
    flags = dict(a[1:].split("=", 1) for a in sys.argv[1:] if a.startswith("-") and "=" in a)
    mutation_loop(flags, [a for a in sys.argv[1:] if not a.startswith("-")])


if __name__ == "__main__":
    main()
