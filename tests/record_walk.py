"""The WD1 and WD2 layouts walked over a file's bytes without the module: what reading the file
must give, for tests and fuzzers to compare the module with."""

import struct

BLOCK_LIMIT = 2**31


def wd1_block(event_size):
    body = (event_size - 24 + 2**31) % 2**32 - 2**31  # 32-bit wrap-around
    return abs(body) // 2 * 2 * (1 if body >= 0 else -1)  # toward zero


def wd1_outcomes(data):
    """What reading a WD1 file gives: ("record", fields, sample bytes) or ("fault",) each."""
    outcomes, offset = [], 0
    while len(data) - offset >= 24:
        fields = struct.unpack_from("<6i", data, offset)
        block = wd1_block(fields[0])
        if block < 0:
            outcomes.append(("fault",))
            offset += 24
            continue
        if len(data) - offset - 24 < block:
            break
        outcomes.append(("record", list(fields), data[offset + 24 : offset + 24 + block]))
        offset += 24 + block
    return outcomes


def wd2_block(channels, samples):
    return (channels % 2**32) * samples * 4


def wd2_probe(data):
    """ "fails", "faults", or the layout's (header size, channel count): record 1 and the next
    header read as multi-channel decide when they are there; else record 1 read as
    single-channel, followed by nothing or by a header with its samples and period; else a lone
    multi-channel record."""
    if len(data) < 28:
        return "fails"
    counter, _, samples, period, channels = struct.unpack_from("<IQIQi", data, 0)
    block = wd2_block(channels, samples)
    if block < BLOCK_LIMIT and len(data) >= 28 + block + 28:
        second = struct.unpack_from("<IQIQi", data, 28 + block)
        if second[0] == (counter + 1) % 2**32 and second[2:] == (samples, period, channels):
            return 28, channels
        return 24, 1
    single = wd2_block(1, samples)
    if single < BLOCK_LIMIT:
        if len(data) == 24 + single:
            return 24, 1
        if len(data) >= 24 + single + 24:
            if struct.unpack_from("<IQ", data, 24 + single + 12) == (samples, period):
                return 24, 1
    if block < BLOCK_LIMIT and len(data) == 28 + block:
        return 28, channels
    return "faults" if block >= BLOCK_LIMIT else "fails"


def wd2_outcomes(data, header, channels):
    outcomes, offset = [], 0
    while len(data) - offset >= header:
        fields = list(struct.unpack_from("<IQIQ", data, offset))
        fields.append(struct.unpack_from("<i", data, offset + 24)[0] if header == 28 else 1)
        block = wd2_block(channels, fields[2])
        if block >= BLOCK_LIMIT:
            outcomes.append(("fault",))
            offset += header
            continue
        if len(data) - offset - header < block:
            break
        outcomes.append(("record", fields, data[offset + header : offset + header + block]))
        offset += header + block
    return outcomes


def record_index(data, kind):
    """What indexing a file gives: ("fault",) at its first impossible block, else the offsets of
    its whole records followed by the end of the last, their lengths in samples, and the bytes
    after them."""
    if kind == "WD1":
        header, channels, sample_bytes = 24, None, 2
    else:
        header, channels = wd2_probe(data)
        sample_bytes = 4
    offsets, lengths, offset = [], [], 0
    while len(data) - offset >= header:
        if kind == "WD1":
            block = wd1_block(struct.unpack_from("<i", data, offset)[0])
        else:
            block = wd2_block(channels, struct.unpack_from("<I", data, offset + 12)[0])
        if not 0 <= block < BLOCK_LIMIT:
            return ("fault",)
        if len(data) - offset - header < block:
            break
        offsets.append(offset)
        lengths.append(block // sample_bytes)
        offset += header + block
    return offsets + [offset], lengths, len(data) - offset
