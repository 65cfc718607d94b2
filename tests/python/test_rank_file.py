"""Rank.write / Rank.load: round trips, refusals and failed writes."""

import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from kwivel import Rank


def header(dim, n, magic=b"KWR1", version=1):
    return magic + bytes([version]) + struct.pack("<II", dim, n)


def test_round_trip_is_bit_exact_and_searches_identically(rng, tmp_path):
    docs = rng.standard_normal((300, 48)).astype(np.float32)
    idx = Rank(48)
    idx.add(docs)
    path = str(tmp_path / "r.kwr")
    assert idx.write(path) is None
    data = open(path, "rb").read()
    assert data[:13] == header(48, 300) and len(data) == 13 + 2 * 300 * 48
    ranks = np.frombuffer(data[13:], "<u2").reshape(300, 48)
    np.testing.assert_array_equal(ranks, np.argsort(np.argsort(docs, axis=1, kind="stable"), axis=1, kind="stable"))
    again = Rank.load(path)
    assert (again.dim, len(again), again.byte_size) == (48, 300, idx.byte_size)
    q = rng.standard_normal((5, 48)).astype(np.float32)
    for method in ("search", "search_asymmetric"):
        for a, b in zip(getattr(idx, method)(q, 9), getattr(again, method)(q, 9)):
            assert a.tobytes() == b.tobytes()


def test_empty_index_and_legacy_magic(tmp_path):
    path = tmp_path / "e.kwr"
    Rank(8).write(str(path))
    assert path.read_bytes() == header(8, 0)
    assert len(Rank.load(str(path))) == 0
    legacy = tmp_path / "old.hyr"
    legacy.write_bytes(header(4, 1, b"HYR1") + struct.pack("<4H", 3, 1, 0, 2))
    r = Rank.load(str(legacy))
    out = tmp_path / "new.kwr"
    r.write(str(out))
    assert out.read_bytes() == header(4, 1) + struct.pack("<4H", 3, 1, 0, 2)


@pytest.mark.parametrize("data, msg", [
    (b"", "KWR1 header truncated while reading magic"),
    (b"KWR1", "KWR1 header truncated while reading version"),
    (b"KWR1\x01\x04\x00", "KWR1 header truncated while reading dim"),
    (b"KWR1\x02", "unsupported KWR1 version: 2"),
    (b"KWRQ\x01", "not an KWR1/HYR1 (Rank) file: wrong magic"),
    (header(1, 0)[:9], "dim 1 out of range [2, 65535]"),
    (header(4, 67108865), "n_vectors 67108865 exceeds MAX_VECTORS=67108864"),
    (header(4, 1) + bytes(9), "KWR1 payload has trailing bytes: header declares 8 B but file has 9 B remaining"),
    (header(4, 1) + bytes(7), "KWR1 payload truncated: header declares 8 B but file has 7 B remaining"),
    (header(4, 6) + struct.pack("<20H", *([0, 1, 2, 3] * 5)) + struct.pack("<4H", 0, 1, 1, 3),
     "KWR1 row 5 is not a permutation of [0, dim): value 1 repeats"),
    (header(4, 1) + struct.pack("<4H", 0, 4, 1, 2),
     "KWR1 rank value 4 >= dim (4); ranks must be a permutation of [0, dim)"),
])
def test_load_refusals(data, msg, tmp_path):
    path = tmp_path / "bad.kwr"
    path.write_bytes(data)
    with pytest.raises(OSError) as e:
        Rank.load(str(path))
    assert e.value.args == (msg,)


def test_os_errors_and_argument_errors(tmp_path):
    with pytest.raises(OSError) as e:
        Rank.load(str(tmp_path / "missing.kwr"))
    assert e.value.args[0] == os.strerror(2) + " (os error 2)"
    with pytest.raises(OSError, match=r"\(os error 21\)$"):
        Rank.load(str(tmp_path))
    with pytest.raises(OSError, match="^file name contained an unexpected NUL byte$"):
        Rank.load(str(tmp_path / "a\0b"))
    for bad in (b"x.kwr", tmp_path / "x.kwr"):
        with pytest.raises(TypeError) as e:
            Rank.load(bad)
        assert e.value.__notes__ == ["while processing 'path'"]
    with pytest.raises(OSError, match=r"\(os error 2\)$"):
        Rank(4).write(str(tmp_path / "no-such-dir" / "x.kwr"))


_FULL_DISK = textwrap.dedent("""
    import resource, signal, sys, numpy as np, kwivel
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    idx = kwivel.Rank(256)
    idx.add(np.random.default_rng(1).standard_normal((2000, 256)).astype(np.float32))
    resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))
    try:
        idx.write(sys.argv[1])
    except OSError as e:
        print(e)
        sys.exit(3)
""")


def test_failed_write_leaves_the_existing_file_intact(tmp_path):
    path = tmp_path / "keep.kwr"
    original = Rank(4)
    original.add(np.arange(8, dtype=np.float32).reshape(2, 4))
    original.write(str(path))
    before = path.read_bytes()
    run = subprocess.run([sys.executable, "-c", _FULL_DISK, str(path)], capture_output=True, text=True)
    assert run.returncode == 3, run.stderr
    assert run.stdout.strip().endswith("(os error 27)")  # EFBIG: the write failed part-way
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["keep.kwr"]  # no temporary file left behind
