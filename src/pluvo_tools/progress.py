"""Progress of long work on a terminal: a tqdm bar on standard error when standard error is a
terminal and tqdm is installed (pip install "pluvo[progress]"), nothing otherwise, so that output
piped to a file or a program holds only the results."""

from __future__ import annotations

import sys
from typing import Any, Optional


class Progress:
    """update(n) adds n to what is done; close() ends the bar. A no-op without a terminal."""

    def __init__(
        self, total: int, unit: str, description: str, scale: bool = False, shown: bool = True
    ) -> None:
        self._bar: Optional[Any] = None
        if not shown or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self._bar = tqdm(
            total=total, unit=unit, unit_scale=scale, desc=description, leave=False, file=sys.stderr
        )

    def update(self, done: int) -> None:
        if self._bar is not None:
            self._bar.update(done)

    def describe(self, text: str) -> None:
        if self._bar is not None:
            self._bar.set_description(text)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
