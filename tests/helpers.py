"""Helpers shared by the test files."""

import json
import os
import subprocess
import sys
import textwrap


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
