#!/usr/bin/env python3
"""Writes the seed corpus of the Rank loader fuzzer (tests/fuzz/corpus/rank/).

Small files, valid and invalid, each one reaching a different check of the
loader.  Run again after changing a seed; the output is deterministic.
"""

import os
import random
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "rank")


def header(dim, n, magic=b"KWR1", version=1):
    return magic + bytes([version]) + struct.pack("<II", dim, n)


def rows(dim, n, rng):
    out = bytearray()
    for _ in range(n):
        row = list(range(dim))
        rng.shuffle(row)
        out += struct.pack("<%dH" % dim, *row)
    return bytes(out)


def seeds():
    rng = random.Random(20240611)
    valid_4x3 = header(4, 3) + rows(4, 3, rng)
    yield "valid_empty_dim2", header(2, 0)
    yield "valid_dim4_n3", valid_4x3
    yield "valid_dim3_n5_legacy", header(3, 5, b"HYR1") + rows(3, 5, rng)
    yield "valid_dim300_n2", header(300, 2) + rows(300, 2, rng)
    yield "valid_dim16_n40", header(16, 40) + rows(16, 40, rng)
    yield "bad_magic", b"KWRQ" + valid_4x3[4:]
    yield "bad_version", header(4, 3, version=2) + valid_4x3[13:]
    yield "truncated_header", valid_4x3[:9]
    yield "dim_out_of_range", header(1, 0)
    yield "n_vectors_over_limit", header(4, 67108865)
    yield "payload_over_limit", header(65535, 67108864)
    yield "payload_truncated", valid_4x3[:-1]
    yield "payload_trailing", valid_4x3 + b"\x00"
    yield "rank_repeats", header(4, 2) + struct.pack("<8H", 0, 1, 2, 3, 0, 1, 1, 3)
    yield "rank_out_of_range", header(4, 1) + struct.pack("<4H", 0, 1, 4, 3)


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print("wrote %d seeds to %s" % (len(list(seeds())), OUT), file=sys.stderr)


if __name__ == "__main__":
    main()
