"""Many acquisition files as one Dask collection: `dataframe` of their headers, `waveforms` of their
samples (pip install "pluvo[dask]").

Building a collection reads each file's index once, from its headers alone, to know where its
partitions start and stop and how many events each holds; samples are read only when the
collection is computed. One partition (or chunk) per partition of a file's index, files in the
order given, events in file order; a file with no events adds none. Each task opens its file,
seeks to its partition and reads it with batches(stop=...), so the tasks carry paths and byte
offsets, never readers, and run on any worker that has pluvo installed.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Mapping, Sequence, cast

import numpy as np
import numpy.typing as npt
import pluvo

from pluvo_tools.files import ReaderType
from pluvo_tools.summarise import PARTITION_BYTES

if TYPE_CHECKING:
    import dask.array
    import dask.dataframe
    import pandas as pd

HEADER_DTYPES: dict[ReaderType, dict[str, type[np.generic]]] = {
    "WD1": {
        "event_size": np.int32,
        "board_id": np.int32,
        "pattern": np.int32,
        "board_channel": np.int32,
        "event_counter": np.int32,
        "timestamp": np.int32,
    },
    "WD2": {
        "event_counter": np.uint32,
        "timestamp": np.uint64,
        "samples": np.uint32,
        "sampling_period": np.uint64,
        "channels": np.int32,
    },
}
SAMPLE_DTYPES: dict[ReaderType, type[np.generic]] = {"WD1": np.uint16, "WD2": np.float32}
# The text dtype Dask itself turns strings into, the same on pandas 2 and 3.
FILE_DTYPE = "string[pyarrow]"


@dataclass(frozen=True)
class Partition:
    """The `events` records of a file from byte `start` to `stop`, the first of them its event
    number `first_event`."""

    path: str
    reader_type: ReaderType
    start: int
    stop: int
    first_event: int
    events: int


@dataclass(frozen=True)
class IndexedFile:
    path: str
    lengths: npt.NDArray[np.int64]  # samples of each event
    partitions: list[Partition]


def indexed(path: str, reader_type: ReaderType, partition_bytes: int) -> IndexedFile:
    try:
        with pluvo.EventReader(path, reader_type) as reader:
            index = reader.index()
    except OSError as exc:  # the module's messages do not name the file
        raise type(exc)(f"{path}: {exc}") from exc
    starts = index.offsets[:-1]
    partitions = []
    for start, stop in index.partitions(partition_bytes):
        first, end = np.searchsorted(starts, [start, stop])
        partitions.append(
            Partition(path, reader_type, start, stop, int(first), int(end) - int(first))
        )
    return IndexedFile(path, np.asarray(index.lengths), partitions)


def read_columns(partition: Partition, keys: Sequence[str]) -> dict[str, npt.NDArray[Any]]:
    """The partition's arrays of these batch keys, its batches end to end."""
    pieces: dict[str, list[npt.NDArray[Any]]] = {key: [] for key in keys}
    events = 0
    with pluvo.EventReader(partition.path, partition.reader_type) as reader:
        reader.seek(partition.start)
        for batch in reader.batches(stop=partition.stop):
            columns = cast(Mapping[str, npt.NDArray[Any]], batch)
            events += len(columns["event_counter"])
            for key in keys:
                pieces[key].append(columns[key])
    if events != partition.events:
        raise ValueError(
            f"{partition.path}: {events} events from byte {partition.start} to"
            f" {partition.stop}, where its index had {partition.events}: the file has changed"
        )
    return {key: np.concatenate(arrays) for key, arrays in pieces.items()}


def frame_of(
    headers: Mapping[str, npt.NDArray[Any]], path: str, first_event: int, events: int
) -> pd.DataFrame:
    # Typed as Any, as are Dask's modules below: their annotations are partial.
    pandas: Any = importlib.import_module("pandas")
    frame: pd.DataFrame = pandas.DataFrame(
        {
            **headers,
            "file": pandas.array([path] * events, dtype=FILE_DTYPE),
            "event": np.arange(first_event, first_event + events, dtype=np.int64),
        }
    )
    return frame


def read_frame(partition: Partition) -> pd.DataFrame:
    headers = read_columns(partition, list(HEADER_DTYPES[partition.reader_type]))
    return frame_of(headers, partition.path, partition.first_event, partition.events)


def empty_frame(reader_type: ReaderType) -> pd.DataFrame:
    """The columns and dtypes of every partition."""
    headers = {key: np.empty(0, dtype) for key, dtype in HEADER_DTYPES[reader_type].items()}
    return frame_of(headers, "", 0, 0)


def dataframe(
    paths: Sequence[str], reader_type: ReaderType, partition_bytes: int = PARTITION_BYTES
) -> dask.dataframe.DataFrame:
    """The events of the files as rows: their header values, then `file` (the path as given, as
    string[pyarrow]) and `event` (int64, the event's number in its file, from 0).

    Divisions are unknown: each partition's index counts its own rows from 0, as read_parquet's
    do; `file` and `event` tell the rows apart.
    """
    dd: Any = importlib.import_module("dask.dataframe")
    meta = empty_frame(reader_type)
    partitions = [
        partition
        for path in paths
        for partition in indexed(path, reader_type, partition_bytes).partitions
    ]
    if not partitions:
        empty: dask.dataframe.DataFrame = dd.from_pandas(meta, npartitions=1)
        return empty
    frames: dask.dataframe.DataFrame = dd.from_map(
        read_frame, partitions, meta=meta, divisions=[None] * (len(partitions) + 1)
    )
    return frames


def read_waveforms(partition: Partition) -> npt.NDArray[Any]:
    return read_columns(partition, ["data"])["data"]


def samples_per_event(files: Sequence[IndexedFile]) -> int:
    """The length every event has; 0 without events. ValueError names a file where it differs."""
    nonempty = [file for file in files if len(file.lengths)]
    if not nonempty:
        return 0
    first = nonempty[0]
    length = int(first.lengths[0])
    for file in nonempty:
        others = file.lengths[file.lengths != length]
        if len(others):
            raise ValueError(
                f"{file.path}: an event of {int(others[0])} samples, where the first event of"
                f" {first.path} has {length}: the rows of one array need one length"
            )
    return length


def waveforms(
    paths: Sequence[str], reader_type: ReaderType, partition_bytes: int = PARTITION_BYTES
) -> dask.array.Array:
    """The samples of the files' events, one row per event (uint16 for WD1, float32 for WD2; a
    WD2 row holds all channels' samples in file order), one chunk of rows per partition. The
    events must all have one length, else ValueError; without events the shape is (0, 0)."""
    delayed: Any = importlib.import_module("dask").delayed
    da: Any = importlib.import_module("dask.array")
    files = [indexed(path, reader_type, partition_bytes) for path in paths]
    samples = samples_per_event(files)
    dtype = SAMPLE_DTYPES[reader_type]
    chunks = [
        da.from_delayed(
            delayed(read_waveforms)(partition),
            shape=(partition.events, samples),
            dtype=dtype,
        )
        for file in files
        for partition in file.partitions
    ]
    rows: dask.array.Array = (
        da.concatenate(chunks, axis=0) if chunks else da.empty((0, samples), dtype=dtype)
    )
    return rows
