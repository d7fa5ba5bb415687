"""Helpers shared by the test files."""

import inspect
import json
import os
import subprocess
import sys
import textwrap


def settled(measure, rounds=10):
    """measure() once a collection no longer changes it, after at most `rounds` collections.

    Counts of descriptors, memory or objects must not include what earlier work left to the
    collector: PyPy closes a dropped reader's file, and frees a dropped array's samples, only
    when it collects, and freeing one native object can take more than one collection.
    """
    import gc  # imported here so that the source can be pasted into scripts

    gc.collect()
    value = measure()
    for _ in range(rounds):
        gc.collect()
        again = measure()
        if again == value:
            break
        value = again
    return value


def open_descriptors():
    import os  # as in settled()

    return settled(lambda: len(os.listdir("/proc/self/fd")))


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def limit_address_space(room):
    """From now on, the address space may grow only `room` bytes past its settled size."""
    import resource  # as in settled()

    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (settled(address_space) + room, hard))


# Pasted in front of scripts run in a fresh interpreter that measure what they leave behind.
SETTLED = "\n\n".join(
    inspect.getsource(function)
    for function in (settled, open_descriptors, address_space, limit_address_space)
)


def run_python(code, *args, tmp_path, env=None):
    """Runs code in a fresh interpreter, where the module's process-wide state starts empty, and
    returns the JSON value its last output line holds."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env={**os.environ, **(env or {})},
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])
