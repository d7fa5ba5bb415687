"""Loads an extension module from its file, as another build of pluvo or the floor is loaded.

Imports nothing but the standard library, so a timed child loads no build but its own."""

import importlib.util


def load_module(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
