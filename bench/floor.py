"""Builds bench/floor.c (the object-creation floor) into build/bench-floor and imports it."""

import os
import subprocess
import sys
import sysconfig

import numpy as np

from module_files import load_module

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "bench", "floor.c")
OUT_DIR = os.path.join(ROOT, "build", "bench-floor")


def module():
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = os.path.join(OUT_DIR, "pluvo_floor" + suffix)
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(SOURCE):
        os.makedirs(OUT_DIR, exist_ok=True)
        command = [
            os.environ.get("CC", "cc"),
            "-O2",
            "-shared",
            "-fPIC",
            "-I" + sysconfig.get_paths()["include"],
            "-I" + np.get_include(),
            SOURCE,
            "-o",
            target,
        ]
        subprocess.run(command, check=True)
    return load_module("pluvo_floor", target)


if __name__ == "__main__":
    print(module().__file__, file=sys.stderr)
