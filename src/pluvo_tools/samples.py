"""`pluvo samples DIR`: writes the sample files into DIR, bit for bit the same on every run.

Pulses on a noisy baseline, as a digitizer records them: a fast rise and an exponential
decay, with random amplitudes and arrival times. DIR is created if missing.

- sample.wd1: 200 events of 512 uint16 samples on a baseline of 2000 ADC counts, channels 0-3
  of board 1 taking turns, timestamps 125000 ticks apart.
- sample_multi.wd2: 200 events of 2 channels x 256 float32 samples (volts around 0).
- sample_single.wd2: 200 events of 256 float32 samples, single-channel layout.
"""

import argparse
import math
import pathlib
import random
import sys
from typing import List

from pluvo_tools import write

FIXED_STATE = 20261208  # same files on every run
FILES = ("sample.wd1", "sample_multi.wd2", "sample_single.wd2")


def pulse(rng: random.Random, length: int, baseline: float, noise: float) -> List[float]:
    start = rng.uniform(0.2, 0.4) * length
    amplitude = rng.expovariate(1 / 800.0)
    rise, decay = 3.0, rng.uniform(25.0, 40.0)
    trace = []
    for i in range(length):
        t = i - start
        signal = 0.0 if t < 0 else amplitude * (1 - math.exp(-t / rise)) * math.exp(-t / decay)
        trace.append(baseline + signal + rng.gauss(0.0, noise))
    return trace


def wd1_file(rng: random.Random) -> bytes:
    records = []
    for n in range(200):
        trace = pulse(rng, 512, baseline=2000.0, noise=4.0)
        samples = [min(65535, max(0, round(v))) for v in trace]
        records.append(
            write.wd1_record(
                samples,
                board_id=1,
                pattern=0,
                board_channel=n % 4,
                event_counter=n,
                timestamp=(n * 125_000) % 2**31,
            )
        )
    return b"".join(records)


def wd2_file(rng: random.Random, channels: int, events: int, length: int) -> bytes:
    records = []
    for n in range(events):
        values: List[float] = []
        for _ in range(channels):
            values += [v / 1000.0 for v in pulse(rng, length, baseline=0.0, noise=2.0)]
        records.append(
            write.wd2_record(
                values,
                event_counter=n + 1,
                timestamp=1_000_000 + n * 40_000,
                samples_per_channel=length,
                sampling_period=200,
                channels=channels if channels > 1 else None,
            )
        )
    return b"".join(records)


def write_samples(out_dir: pathlib.Path) -> List[pathlib.Path]:
    """Writes the three sample files into out_dir; returns their paths."""
    # One generator for all three files, in this order: each file depends on the ones before.
    rng = random.Random(FIXED_STATE)
    contents = (
        wd1_file(rng),
        wd2_file(rng, channels=2, events=200, length=256),
        wd2_file(rng, channels=1, events=200, length=256),
    )
    out_dir.mkdir(parents=True, exist_ok=True)
    paths = []
    for name, content in zip(FILES, contents):
        path = out_dir / name
        path.write_bytes(content)
        paths.append(path)
    return paths


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("out_dir", type=pathlib.Path, metavar="DIR", help="created if missing")


def run(args: argparse.Namespace) -> int:
    try:
        paths = write_samples(args.out_dir)
    except OSError as exc:
        print(f"pluvo samples: {args.out_dir}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    for path in paths:
        print(f"{path}: {path.stat().st_size} bytes")
    return 0
