"""WD1 and WD2 record layouts as struct formats and NumPy structured dtypes (little-endian)."""

import numpy as np

WD1_HEADER = "<6i"
WD1_HEADER_SIZE = 24
WD1_FIELDS = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")

WD2_MULTI_HEADER = "<IQIQi"
WD2_SINGLE_HEADER = "<IQIQ"
WD2_MULTI_HEADER_SIZE = 28
WD2_SINGLE_HEADER_SIZE = 24
WD2_FIELDS = ("event_counter", "timestamp", "samples", "sampling_period", "channels")
_WD2_TYPES = ("<u4", "<u8", "<u4", "<u8", "<i4")
# The header columns of a batch, in native byte order.
COLUMN_DTYPES = {
    "WD1": {name: np.dtype(np.int32) for name in WD1_FIELDS},
    "WD2": {name: np.dtype(t).newbyteorder("=") for name, t in zip(WD2_FIELDS, _WD2_TYPES)},
}


def wd1_dtype(samples):
    return np.dtype([(name, "<i4") for name in WD1_FIELDS] + [("data", "<u2", (samples,))])


def wd2_dtype(samples, channels, multi_channel):
    """Single-channel records lack the trailing `channels` header field."""
    fields = list(zip(WD2_FIELDS, _WD2_TYPES))[: 5 if multi_channel else 4]
    return np.dtype(fields + [("data", "<f4", (channels * samples,))])
