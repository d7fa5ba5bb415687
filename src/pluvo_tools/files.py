"""Which files a command reads, and in which format."""

from __future__ import annotations

import os
from typing import Literal, Sequence

ReaderType = Literal["WD1", "WD2"]
EXTENSIONS: dict[str, ReaderType] = {".wd1": "WD1", ".wd2": "WD2"}


def reader_type_of(path: str, given: ReaderType | None) -> ReaderType:
    """The format given, or else the one the file's extension names."""
    if given is not None:
        return given
    extension = os.path.splitext(path)[1].lower()
    if extension in EXTENSIONS:
        return EXTENSIONS[extension]
    raise ValueError(f"cannot tell the format from the extension {extension!r}: pass --type")


def files_of(paths: Sequence[str]) -> list[str]:
    """The paths, each directory replaced by its .wd1 and .wd2 files in name order."""
    found: list[str] = []
    for path in paths:
        if os.path.isdir(path):
            found += sorted(
                os.path.join(path, name)
                for name in os.listdir(path)
                if os.path.splitext(name)[1].lower() in EXTENSIONS
            )
        else:
            found.append(path)
    return found
