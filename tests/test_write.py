"""pluvo_tools.write: files it writes read back as written."""

import numpy as np
import pluvo
import pytest


@pytest.mark.parametrize(
    ("channels", "header_size"),
    [(None, 24), (2, 28), (3, 28)],
    ids=["single", "two-channels", "three-channels"],
)
def test_written_wd2_reads_back(tmp_path, writer, channels, header_size):
    waveforms = [[0.375, 0.5 + c, 0.25, -0.125] for c in range(channels or 1)]
    records = [
        writer.wd2_multi_channel_record(waveforms, event_counter=n, sampling_period=8)
        if channels
        else writer.wd2_record(waveforms[0], event_counter=n, sampling_period=8)
        for n in (1, 2, 3)
    ]
    path = tmp_path / "events.wd2"
    size = writer.write_file(path, records)
    assert size == path.stat().st_size == 3 * (header_size + 4 * 4 * (channels or 1))
    events = list(pluvo.EventReader(str(path), "WD2"))
    assert [event["event_counter"] for event in events] == [1, 2, 3]
    for event in events:
        assert (event["channels"], event["samples"]) == (channels or 1, 4)
        assert event["data"].reshape(-1, 4).tolist() == waveforms


def test_channels_of_unequal_length(writer):
    with pytest.raises(ValueError, match=r"channels differ in length: \[2, 3\]"):
        writer.wd2_multi_channel_record([[0.0, 1.0], [0.0, 1.0, 2.0]], event_counter=1)


def test_written_wd1_reads_back(tmp_path, writer):
    path = tmp_path / "events.wd1"
    samples = np.arange(0, 65536, 4096, dtype=np.uint16)
    writer.write_file(path, [writer.wd1_record(samples.tolist(), board_id=-1, pattern=7)])
    (event,) = pluvo.EventReader(str(path), "WD1")
    assert (event["event_size"], event["board_id"], event["pattern"]) == (24 + 32, -1, 7)
    assert np.array_equal(event["data"], samples)
