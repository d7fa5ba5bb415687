"""Writes the fuzzers' seed corpora with the project's own writer: python3 make_corpus.py OUT_DIR

OUT_DIR/corpus-wd1 and OUT_DIR/corpus-wd2 get whole files of each format: well-formed ones, ones
cut at every offset, sizes and counts at the edges of what the readers accept, and the first
records of the bundled samples. OUT_DIR/corpus-module gets all of them for fuzz_module.py, each
behind the byte that names its reader type there. Existing seed directories are replaced.
"""

import argparse
import pathlib
import shutil
import sys
from typing import Dict, List

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "src"))
from pluvo_tools import write as wavewriter  # noqa: E402

MODULE_PREFIX = {"wd1": b"\x00", "wd2": b"\x01"}  # fuzz_module.py reads the low bit
INT32_EDGES = [-(2**31), -(2**31) + 23, -(2**31) + 24, -1, 0, 1, 2**31 - 1]


def cuts(name: str, data: bytes) -> Dict[str, bytes]:
    """data cut short at every offset, the whole of it included."""
    return {f"{name}-cut-{size:04d}": data[:size] for size in range(len(data) + 1)}


def wd1(counter: int, count: int, **fields) -> bytes:
    samples = [(counter * 1000 + k * 37) % 65536 for k in range(count)]
    return wavewriter.wd1_record(samples, event_counter=counter, timestamp=10 * counter, **fields)


def wd1_seeds() -> Dict[str, bytes]:
    seeds = {"empty": b""}
    seeds["one-record"] = wd1(0, 8, board_id=1, pattern=2, board_channel=3)
    seeds["no-samples"] = wd1(0, 0)
    seeds["three-records"] = b"".join(wd1(n, 4) for n in range(3))
    seeds["mixed-lengths"] = b"".join(wd1(n, n * 3) for n in range(5))
    # Sizes 22 to 26 and odd ones, each followed by a good record.
    for size in [*range(20, 28), 24 + 2 * 4 + 1, 24 + 2 * 300 + 1]:
        body = bytes(k % 256 for k in range(max(0, size - 24)))
        seeds[f"size-{size}"] = wd1(0, 0, event_size=size)[:24] + body + wd1(1, 2)
    for size in INT32_EDGES:
        seeds[f"size-{size}"] = wd1(0, 0, event_size=size) + wd1(1, 2)
    # A size that claims far more than the file holds, from just below 1 MiB up.
    for size in (24 + (1 << 20) - 2, 24 + (1 << 20), 24 + (1 << 20) + 2, 2**31 - 2):
        seeds[f"claims-{size}"] = wd1(0, 4, event_size=size)
    # Blocks past the reader's 8 KiB buffer, which it reads around the buffer, and a block that
    # starts right at the buffer's end.
    seeds["large-block"] = wd1(0, 5000) + wd1(1, 3)
    filler = wd1(0, (8192 - 2 * 24) // 2)
    seeds["block-at-buffer-end"] = filler + wd1(1, 16) + wd1(2, 1)
    seeds.update(cuts("two-records", wd1(0, 4) + wd1(1, 3)))
    seeds.update(cuts("odd-size", wd1(0, 0, event_size=27)[:24] + b"\x01\x02\x03" + wd1(1, 1)))
    seeds["sample"] = (ROOT / "tests" / "data" / "sample.wd1").read_bytes()[: 3 * 1048]
    return seeds


def wd2(counter: int, samples: List[float], channels=None, **fields) -> bytes:
    fields.setdefault("timestamp", 1000 + counter)
    fields.setdefault("sampling_period", 200)
    return wavewriter.wd2_record(samples, event_counter=counter, channels=channels, **fields)


def multi(count: int, channels: int, length: int, first: int = 1) -> bytes:
    values = [0.5 * k for k in range(channels * length)]
    return b"".join(
        wd2((first + n) % 2**32, values, channels=channels, samples_per_channel=length)
        for n in range(count)
    )


def single(count: int, length: int, first_sample: float = 0.0) -> bytes:
    values = [first_sample] + [0.25 * k for k in range(1, length)]
    return b"".join(wd2(n + 1, values) for n in range(count))


def header_only(counter: int, samples: int, channels: int) -> bytes:
    return wd2(counter, [], channels=channels, samples_per_channel=samples)


def wd2_seeds() -> Dict[str, bytes]:
    seeds = {"empty": b"", "one-header": header_only(0, 0, 1)}
    for channels in (1, 2, 4):
        seeds[f"multi-{channels}"] = multi(3, channels, 4)
    seeds["multi-no-samples"] = multi(3, 2, 0)
    seeds["multi-counter-wraps"] = multi(3, 2, 2, first=2**32 - 1)
    seeds["single"] = single(3, 6)
    seeds["single-first-sample-one"] = single(3, 6, first_sample=1.0)
    seeds["single-no-samples"] = single(3, 0)
    # Channel counts at the edges, with and without samples.
    for channels in (0, -1, -(2**31), 2**31 - 1):
        for samples in (0, 1):
            seeds[f"channels-{channels}-samples-{samples}"] = b"".join(
                header_only(n, samples, channels) for n in range(3)
            )
    # Blocks at 2^31 bytes and just below it, on a file far shorter than they claim.
    for samples, channels in ((2**29, 1), (2**29 - 1, 1), (2**28, 2), (1, 2**29), (3, 2**28)):
        seeds[f"block-{samples}x{channels}"] = header_only(0, samples, channels) + bytes(64)
    # Blocks whose size passes 2^32 bytes, as a first record and between readable ones.
    for samples, channels in ((2**30, 1), (2**30 + 2, 1), (2**31 + 1, 2), (0x55555556, 3)):
        seeds[f"block-{samples}x{channels}"] = header_only(0, samples, channels) + bytes(64)
        seeds[f"multi-then-{samples}x{channels}"] = (
            multi(2, channels, 2) + header_only(3, samples, channels) + multi(1, channels, 2, 4)
        )
    seeds["single-then-2^32"] = single(2, 4) + header_only(3, 2**30, 1)[:24] + single(1, 4)
    # A later record claiming more than the file holds, in either layout.
    seeds["multi-then-huge"] = multi(2, 2, 2) + header_only(3, 2**27, 2)
    seeds["single-then-huge"] = single(2, 4) + wd2(3, [], samples_per_channel=2**20)
    seeds["multi-large-block"] = multi(3, 2, 1100)
    seeds["single-large-block"] = single(3, 2100)
    seeds.update(cuts("multi", multi(3, 2, 2)))
    seeds.update(cuts("single", single(3, 3)))
    data = ROOT / "tests" / "data"
    seeds["sample-multi"] = (data / "sample_multi.wd2").read_bytes()[: 3 * 2076]
    seeds["sample-single"] = (data / "sample_single.wd2").read_bytes()[: 3 * 1048]
    return seeds


def write(directory: pathlib.Path, seeds: Dict[str, bytes], prefix: bytes = b"") -> None:
    directory.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (directory / name).write_bytes(prefix + data)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", type=pathlib.Path)
    out_dir = parser.parse_args().out_dir
    formats = {"wd1": wd1_seeds(), "wd2": wd2_seeds()}
    module_dir = out_dir / "corpus-module"
    shutil.rmtree(module_dir, ignore_errors=True)
    for kind, seeds in formats.items():
        directory = out_dir / f"corpus-{kind}"
        shutil.rmtree(directory, ignore_errors=True)
        write(directory, seeds)
        write(
            module_dir,
            {f"{kind}-{name}": data for name, data in seeds.items()},
            MODULE_PREFIX[kind],
        )
        print(f"{directory}: {len(seeds)} files")
    print(f"{module_dir}: {sum(map(len, formats.values()))} files")


if __name__ == "__main__":
    main()
