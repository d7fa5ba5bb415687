"""Converts one WD1/WD2 file to Parquet (.parquet) or the Arrow IPC file format (.arrow,
.feather), through the reader's Arrow stream: the columns go to the writer without a copy, one
row group (or record batch) per batch of the reader. Needs pyarrow (pip install "pluvo[arrow]").
The format comes from --type, or else from the extension. A file that cannot be read wholly
leaves no output behind and exit status 1."""

from __future__ import annotations

import argparse
import os
import sys
from typing import TYPE_CHECKING, Any

import pluvo

from pluvo_tools.arguments import add_type_argument, at_least_one
from pluvo_tools.files import reader_type_of
from pluvo_tools.progress import Progress

if TYPE_CHECKING:
    import pyarrow

OUTPUTS = {".parquet": "parquet", ".arrow": "ipc", ".feather": "ipc"}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE")
    parser.add_argument("out", metavar="OUT", help="the output: .parquet, .arrow or .feather")
    add_type_argument(parser)
    parser.add_argument(
        "--max-events",
        type=at_least_one,
        default=65536,
        metavar="N",
        help="rows per row group at most",
    )


def write(batches: pyarrow.RecordBatchReader, out: str, progress: Progress, reader: Any) -> None:
    import pyarrow.ipc
    import pyarrow.parquet

    writer: Any
    parquet = OUTPUTS[os.path.splitext(out)[1].lower()] == "parquet"
    if parquet:
        writer = pyarrow.parquet.ParquetWriter(out, batches.schema)
    else:
        writer = pyarrow.ipc.new_file(out, batches.schema)
    with writer:
        done = 0
        for batch in batches:
            if parquet:
                writer.write_batch(batch, row_group_size=batch.num_rows)
            else:
                writer.write_batch(batch)
            position = reader.tell()
            progress.update(position - done)
            done = position


def run(args: argparse.Namespace) -> int:
    if os.path.splitext(args.out)[1].lower() not in OUTPUTS:
        print(
            f"pluvo convert: {args.out}: the output must end in .parquet, .arrow or .feather",
            file=sys.stderr,
        )
        return 2
    try:
        import pyarrow
    except ImportError:
        print('pluvo convert: needs pyarrow: pip install "pluvo[arrow]"', file=sys.stderr)
        return 2
    try:
        with pluvo.EventReader(args.file, reader_type_of(args.file, args.type)) as reader:
            batches = pyarrow.RecordBatchReader.from_stream(
                reader.batches(max_events=args.max_events)
            )
            size = os.path.getsize(args.file)
            with Progress(size, "B", os.path.basename(args.file), scale=True) as progress:
                write(batches, args.out, progress, reader)
    except (OSError, ValueError, pyarrow.ArrowException) as error:
        print(f"pluvo convert: {args.file}: {error}", file=sys.stderr)
        if os.path.exists(args.out):
            os.remove(args.out)
        return 1
    return 0
