"""The `pluvo` command: `pluvo COMMAND --help` tells what each command takes.

A command's module is imported only when that command runs, so that `pluvo info` does not pay
for the imports of the others.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from importlib.metadata import PackageNotFoundError, version
from typing import Callable, NamedTuple, Sequence


class Command(NamedTuple):
    module: str
    add_arguments: str
    run: str
    summary: str


COMMANDS = {
    "info": Command(
        "pluvo_tools.quicklook",
        "add_info_arguments",
        "run_info",
        "print what to check first about each file: events, counters, timestamps, baselines",
    ),
    "plot": Command(
        "pluvo_tools.quicklook",
        "add_plot_arguments",
        "run_plot",
        "draw each file's first waveforms and pulse amplitudes into a PNG (needs matplotlib)",
    ),
    "convert": Command(
        "pluvo_tools.convert",
        "add_arguments",
        "run",
        "write a file's events as a Parquet or Arrow file (needs pyarrow)",
    ),
    "summarise": Command(
        "pluvo_tools.summarise",
        "add_arguments",
        "run",
        "summarise many files in threads or on a Dask cluster",
    ),
    "samples": Command(
        "pluvo_tools.samples",
        "add_arguments",
        "run",
        "write the sample files into a directory",
    ),
}


def installed_version() -> str:
    try:
        return version("pluvo")
    except PackageNotFoundError:
        return "unknown (not installed)"


def chosen_command(argv: Sequence[str]) -> str | None:
    """The command named in argv: the first argument that is not an option, since the options
    before it take no values."""
    return next((argument for argument in argv if not argument.startswith("-")), None)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    parser = argparse.ArgumentParser(
        prog="pluvo", description="Reads WD1 and WD2 digitizer files with the pluvo module."
    )
    parser.add_argument("--version", action="version", version=f"pluvo {installed_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    chosen = chosen_command(arguments)
    run: Callable[[argparse.Namespace], int] | None = None
    for name, command in COMMANDS.items():
        subparser = commands.add_parser(name, help=command.summary, description=command.summary)
        if name == chosen:
            module = importlib.import_module(command.module)
            getattr(module, command.add_arguments)(subparser)
            run = getattr(module, command.run)
    args = parser.parse_args(arguments)
    if run is None:
        parser.error("a command is needed")
    try:
        status = run(args)
        # What is still buffered goes now, where a reader that left is caught as below.
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The output's reader left (`pluvo info ... | head`): the rest is unwanted, and flushing
        # it at exit must not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
