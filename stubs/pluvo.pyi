"""Type information for the pluvo extension module.

Installed as the stub-only package ``pluvo-stubs``, where type checkers look for the stubs of
a module that is not a package.
"""

from types import TracebackType
from typing import (
    Generic,
    Iterator,
    Literal,
    SupportsIndex,
    TypedDict,
    TypeVar,
    final,
    overload,
    type_check_only,
)

import numpy as np

__all__ = ["EventReader"]

# Final: an event has exactly these keys, so `"board_id" in event` tells the two apart.
@final
@type_check_only
class WD1Event(TypedDict):
    """One WD1 record. Header values are signed 32-bit, as in the file."""

    event_size: int
    board_id: int
    pattern: int
    board_channel: int
    event_counter: int
    timestamp: int
    data: np.ndarray[tuple[int], np.dtype[np.uint16]]

@final
@type_check_only
class WD2Event(TypedDict):
    """One WD2 record; "data" holds all channels' samples in file order."""

    event_counter: int  # unsigned 32-bit
    timestamp: int  # unsigned 64-bit
    samples: int  # unsigned 32-bit, per channel
    sampling_period: int  # unsigned 64-bit
    channels: int  # signed 32-bit
    data: np.ndarray[tuple[int], np.dtype[np.float32]]

# A batch: each header key maps to a column with one value per event, "data" to one row of
# samples per event.
@final
@type_check_only
class WD1Batch(TypedDict):
    """Consecutive WD1 records as columns."""

    event_size: np.ndarray[tuple[int], np.dtype[np.int32]]
    board_id: np.ndarray[tuple[int], np.dtype[np.int32]]
    pattern: np.ndarray[tuple[int], np.dtype[np.int32]]
    board_channel: np.ndarray[tuple[int], np.dtype[np.int32]]
    event_counter: np.ndarray[tuple[int], np.dtype[np.int32]]
    timestamp: np.ndarray[tuple[int], np.dtype[np.int32]]
    data: np.ndarray[tuple[int, int], np.dtype[np.uint16]]

@final
@type_check_only
class WD2Batch(TypedDict):
    """Consecutive WD2 records as columns."""

    event_counter: np.ndarray[tuple[int], np.dtype[np.uint32]]
    timestamp: np.ndarray[tuple[int], np.dtype[np.uint64]]
    samples: np.ndarray[tuple[int], np.dtype[np.uint32]]
    sampling_period: np.ndarray[tuple[int], np.dtype[np.uint64]]
    channels: np.ndarray[tuple[int], np.dtype[np.int32]]
    data: np.ndarray[tuple[int, int], np.dtype[np.float32]]

_Event_co = TypeVar("_Event_co", bound=WD1Event | WD2Event, covariant=True)
_Batch_co = TypeVar("_Batch_co", bound=WD1Batch | WD2Batch, covariant=True)

@final
@type_check_only
class EventBatches(Generic[_Batch_co]):
    """The iterator EventReader.batches() returns; it cannot be created directly."""

    def __iter__(self) -> EventBatches[_Batch_co]: ...
    def __next__(self) -> _Batch_co: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The following batches as an Arrow C stream (a PyCapsule "arrow_array_stream")."""

@final
@type_check_only
class EventIndex:
    """What EventReader.index() returns; it cannot be created directly."""

    @property
    def offsets(self) -> np.ndarray[tuple[int], np.dtype[np.uint64]]:
        """Where each record starts, then where the last whole record ends (read-only)."""
    @property
    def lengths(self) -> np.ndarray[tuple[int], np.dtype[np.int64]]:
        """The number of samples of each event (read-only)."""
    @property
    def file_size(self) -> int:
        """The file's size when it was indexed."""
    @property
    def tail(self) -> int:
        """Bytes after the last whole record: a cut-short record, 0 if there is none."""
    def __len__(self) -> int: ...
    def partitions(self, max_bytes: SupportsIndex) -> list[tuple[int, int]]:
        """Byte ranges at record boundaries holding the records that fit in max_bytes each."""

# Generic only here: at run time EventReader[...] is not subscriptable, so annotate with
# quotes, under `from __future__ import annotations`, or as Iterator[WD1Event].
@final
class EventReader(Generic[_Event_co]):
    """Streams the event records of a WD1 or WD2 file, one new dict per event.

    The file is opened at construction; a WD2 file's first two records are read then to
    recognise its layout. A reader type other than "WD1" and "WD2" raises ValueError.
    """

    @overload
    def __new__(cls, path: str, reader_type: Literal["WD1"]) -> EventReader[WD1Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: Literal["WD2"]) -> EventReader[WD2Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: str) -> EventReader[WD1Event | WD2Event]: ...
    def __iter__(self) -> EventReader[_Event_co]: ...
    def __next__(self) -> _Event_co: ...
    def index(self) -> EventIndex:
        """The offsets and lengths of the file's records, from their headers alone."""
    def tell(self) -> int:
        """Offset of the next record: the bytes of the file consumed."""
    def seek(self, offset: SupportsIndex) -> int:
        """Read the next record from byte offset; returns offset."""
    def close(self) -> None:
        """Close the file now; closing again does nothing."""
    def __enter__(self) -> EventReader[_Event_co]: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    @overload
    def batches(
        self: EventReader[WD1Event],
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 2097152,
        *,
        stop: SupportsIndex | None = None,
    ) -> EventBatches[WD1Batch]: ...
    @overload
    def batches(
        self: EventReader[WD2Event],
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 2097152,
        *,
        stop: SupportsIndex | None = None,
    ) -> EventBatches[WD2Batch]: ...
    @overload
    def batches(
        self: EventReader[WD1Event | WD2Event],
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 2097152,
        *,
        stop: SupportsIndex | None = None,
    ) -> EventBatches[WD1Batch | WD2Batch]: ...
