"""Regenerates the bundled sample files in examples/data, bit for bit.

Pulses on a noisy baseline, as a digitizer records them: a fast rise and an exponential
decay, with random amplitudes and arrival times.
"""

import math
import pathlib
import random
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import wavewriter  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parent / "data"
FIXED_STATE = 20261208  # same files on every run


def pulse(rng: random.Random, length: int, baseline: float, noise: float) -> list:
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
            wavewriter.wd1_record(
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
        values = []
        for _ in range(channels):
            values += [v / 1000.0 for v in pulse(rng, length, baseline=0.0, noise=2.0)]
        if channels == 1:
            values[0] = 0.0  # the first sample is exactly zero, as after pedestal subtraction
        records.append(
            wavewriter.wd2_record(
                values,
                event_counter=n + 1,
                timestamp=1_000_000 + n * 40_000,
                samples_per_channel=length,
                sampling_period=200,
                channels=channels if channels > 1 else None,
            )
        )
    return b"".join(records)


def main() -> None:
    rng = random.Random(FIXED_STATE)
    DATA.mkdir(exist_ok=True)
    (DATA / "sample.wd1").write_bytes(wd1_file(rng))
    (DATA / "sample_multi.wd2").write_bytes(wd2_file(rng, channels=2, events=100, length=256))
    (DATA / "sample_single.wd2").write_bytes(wd2_file(rng, channels=1, events=100, length=256))


if __name__ == "__main__":
    main()
