#!/usr/bin/env python3
"""Writes the seed corpora of the Rank, Bitmap and SignBitmap loader fuzzers
(tests/fuzz/corpus/rank/, tests/fuzz/corpus/bitmap/ and
tests/fuzz/corpus/sign_bitmap/).

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


def bitmap_header(dim, n_top, n, magic=b"KWBM", version=1):
    return magic + bytes([version]) + struct.pack("<III", dim, n_top, n)


def bitmap_rows(dim, n_top, n, rng):
    out = bytearray()
    for _ in range(n):
        bits = rng.sample(range(dim), n_top)
        words = [0] * (dim // 64)
        for j in bits:
            words[j // 64] |= 1 << (j % 64)
        out += struct.pack("<%dQ" % len(words), *words)
    return bytes(out)


def bitmap_seeds():
    """Seeds of the Bitmap loader fuzzer (tests/fuzz/corpus/bitmap/)."""
    rng = random.Random(20240612)
    valid = bitmap_header(128, 16, 3) + bitmap_rows(128, 16, 3, rng)
    yield "valid_empty_dim64", bitmap_header(64, 1, 0)
    yield "valid_dim128_n3", valid
    yield "valid_dim64_n5_legacy", bitmap_header(64, 63, 5, b"HYBM") + bitmap_rows(64, 63, 5, rng)
    yield "valid_dim640_n2", bitmap_header(640, 80, 2) + bitmap_rows(640, 80, 2, rng)
    yield "bad_magic", b"KWSB" + valid[4:]
    yield "bad_version", bitmap_header(128, 16, 3, version=2) + valid[17:]
    yield "truncated_header", valid[:13]
    yield "dim_out_of_range", bitmap_header(1, 0, 0)
    yield "dim_not_multiple", bitmap_header(100, 10, 0)
    yield "n_top_zero", bitmap_header(64, 0, 0)
    yield "n_top_dim", bitmap_header(64, 64, 0)
    yield "n_vectors_over_limit", bitmap_header(64, 1, 67108865)
    yield "payload_over_limit", bitmap_header(65472, 1, 67108864)
    yield "payload_truncated", valid[:-1]
    yield "payload_trailing", valid + b"\x00"
    yield "row_bits_wrong", bitmap_header(64, 2, 2) + struct.pack("<2Q", 3, 1)


def sign_header(dim, n, magic=b"KWSB", version=1):
    return magic + bytes([version]) + struct.pack("<II", dim, n)


def sign_seeds():
    """Seeds of the SignBitmap loader fuzzer (tests/fuzz/corpus/sign_bitmap/)."""
    rng = random.Random(20240613)

    def words(count):
        return struct.pack("<%dQ" % count, *(rng.getrandbits(64) for _ in range(count)))

    valid = sign_header(128, 3) + words(6)
    yield "valid_empty_dim64", sign_header(64, 0)
    yield "valid_dim128_n3", valid
    yield "valid_dim64_n5_legacy", sign_header(64, 5, b"HYSB") + words(5)
    yield "valid_dim576_n2", sign_header(576, 2) + words(18)
    yield "bad_magic", b"KWBM" + valid[4:]
    yield "bad_version", sign_header(128, 3, version=2) + valid[13:]
    yield "truncated_header", valid[:11]
    yield "dim_out_of_range", sign_header(32, 0)
    yield "dim_too_large", sign_header(16777280, 0)
    yield "dim_not_multiple", sign_header(100, 0)
    yield "n_vectors_over_limit", sign_header(64, 67108865)
    yield "payload_over_limit", sign_header(16777216, 67108864)
    yield "payload_truncated", valid[:-1]
    yield "payload_trailing", valid + b"\x00"


def write_corpus(out, items):
    os.makedirs(out, exist_ok=True)
    items = list(items)
    for name, data in items:
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print("wrote %d seeds to %s" % (len(items), out), file=sys.stderr)


def main():
    write_corpus(OUT, seeds())
    write_corpus(os.path.join(HERE, "corpus", "bitmap"), bitmap_seeds())
    write_corpus(os.path.join(HERE, "corpus", "sign_bitmap"), sign_seeds())


if __name__ == "__main__":
    main()
