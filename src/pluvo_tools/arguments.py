"""Argument types the commands share."""

from __future__ import annotations

import argparse


def at_least_one(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def add_type_argument(parser: argparse.ArgumentParser) -> None:
    """--type WD1|WD2, for files whose extension does not tell their format."""
    parser.add_argument("--type", choices=("WD1", "WD2"), help="default: from the extension")
