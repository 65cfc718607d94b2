"""Bitmap: stored and query bitmaps against numpy sorts, overlaps against
np.unpackbits of the AND, every search form against a numpy ranking, tie
orders, shape edges, argument checks in order, tier parity, and the .kwbm
file."""

import hashlib
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from kwivel import Bitmap
from conftest import NON_CONTIGUOUS, NOT_2D, width_message

DIM_MULTIPLE = "dim must be a positive multiple of 64"
NOT_CONTIGUOUS = "array must be C-contiguous; call np.ascontiguousarray() first"


def tied(rng, shape):
    """Few distinct values (ties everywhere, -0.0 beside +0.0), or continuous."""
    return rng.choice(np.array([-1.0, -0.0, 0.0, 0.5, 2.0], np.float32), size=shape)


def pack(mask):
    return np.packbits(mask, axis=-1, bitorder="little").view("<u8")


def oracle_stored(x, n_top):
    """Top n_top by the rank transform: ascending stable order, the last n_top."""
    order = np.argsort(x, axis=1, kind="stable")[:, -n_top:]
    mask = np.zeros(x.shape, bool)
    np.put_along_axis(mask, order, True, axis=1)
    return pack(mask)


def oracle_query(q, n_top):
    """First n_top of a stable descending sort."""
    order = np.argsort(-np.atleast_2d(q), axis=1, kind="stable")[:, :n_top]
    mask = np.zeros(np.atleast_2d(q).shape, bool)
    np.put_along_axis(mask, order, True, axis=1)
    return pack(mask)


def oracle_overlaps(qwords, dwords):
    x = qwords[:, None, :] & dwords[None, :, :]
    return np.unpackbits(x.view(np.uint8), axis=-1).sum(axis=-1, dtype=np.int64)


def best_first(scores, m):
    return np.lexsort((np.arange(scores.shape[-1]), -scores))[:m]


def make(x, n_top):
    idx = Bitmap(x.shape[1], n_top)
    idx.add(x)
    return idx


def stored_words(idx, tmp_path):
    path = str(tmp_path / "w.kwbm")
    idx.write(path)
    return np.frombuffer(open(path, "rb").read()[17:], "<u8").reshape(len(idx), idx.dim // 64)


# ----------------------------------------------------------------------------
# Construction, accessors, bits.

@pytest.mark.parametrize("dim, n_top, msg", [
    (0, 1, DIM_MULTIPLE), (100, 10, DIM_MULTIPLE), (0, 0, DIM_MULTIPLE),
    (65536, 10, "dim 65536 exceeds the maximum bitmap dimension 65535 (u16 rank invariant)"),
    (65536, 0, "dim 65536 exceeds the maximum bitmap dimension 65535 (u16 rank invariant)"),
    (64, 0, "n_top must satisfy 0 < n_top < dim (got n_top = 0, dim = 64)"),
    (64, 64, "n_top must satisfy 0 < n_top < dim (got n_top = 64, dim = 64)"),
])
def test_constructor_refusals(dim, n_top, msg):
    with pytest.raises(ValueError) as e:
        Bitmap(dim, n_top)
    assert str(e.value) == msg


def test_accessors_and_worked_bits(rng, tmp_path):
    idx = Bitmap(128, 16)
    assert (repr(idx), len(idx), idx.is_empty(), idx.byte_size, idx.bytes_per_vec) == (
        "Bitmap(dim=128, n_top=16, n=0)", 0, True, 0, 16)
    assert Bitmap.__text_signature__ == "(dim, n_top)"
    assert Bitmap.body_overlap_scores_subset.__text_signature__ == "($self, q_bitmap, doc_ids)"
    assert Bitmap.search.__doc__.startswith("Bitmap-overlap search: returns the top-`k` doc indices by\n")
    assert Bitmap(65472, 1).dim == 65472 and Bitmap(64, 63).n_top == 63
    idx.add(np.zeros((0, 128), np.float32))
    assert len(idx) == 0
    idx.add(rng.standard_normal((3, 128)))
    assert (len(idx), idx.byte_size, repr(idx)) == (3, 48, "Bitmap(dim=128, n_top=16, n=3)")

    ramp = np.arange(64, dtype=np.float32)
    pair = np.zeros(64, np.float32)
    pair[:2] = 1.0
    one = make(np.stack([ramp, pair]), 1)
    assert stored_words(one, tmp_path).tolist() == [[1 << 63], [1 << 1]]   # ties: the higher index
    assert one.build_query_bitmap_fp32(pair).tolist() == [1]                # the query: the lower
    assert one.build_query_bitmap_fp32(ramp).tolist() == [1 << 63]
    assert stored_words(make(np.full((1, 64), 3.0), 4), tmp_path).tolist() == [[0xF << 60]]
    assert Bitmap(64, 4).build_query_bitmap_fp32(np.full(64, 3.0)).tolist() == [0xF]


@pytest.mark.parametrize("dim, n_top", [(64, 1), (128, 40), (640, 80), (640, 639)])
def test_bits_match_numpy_sorts(rng, tmp_path, dim, n_top):
    x = np.concatenate([tied(rng, (30, dim)), rng.standard_normal((30, dim)).astype(np.float32)])
    idx = make(x, n_top)
    np.testing.assert_array_equal(stored_words(idx, tmp_path), oracle_stored(x, n_top))
    for row in x[::7]:
        q = idx.build_query_bitmap_fp32(row)
        assert q.dtype == np.uint64
        np.testing.assert_array_equal(q, oracle_query(row, n_top)[0])


# ----------------------------------------------------------------------------
# Searches and shortlists against numpy.

@pytest.mark.parametrize("dim, n_top", [(640, 80), (1024, 900), (128, 64)])
def test_wide_batches_match_numpy(rng, tmp_path, dim, n_top):
    # Hundreds of queries over thousands of rows: the bit-sliced scan, naming a
    # query's set bits (few) or its clear ones (n_top past dim / 2).
    x = np.concatenate([tied(rng, (1500, dim)), rng.standard_normal((1500, dim)).astype(np.float32)])
    idx = make(x, n_top)
    q = np.concatenate([x[:50], tied(rng, (50, dim)), rng.standard_normal((150, dim)).astype(np.float32)])
    bits = [np.unpackbits(w.view(np.uint8), axis=1, bitorder="little").astype(np.float32)
            for w in (oracle_query(q, n_top), stored_words(idx, tmp_path))]
    ov = np.rint(bits[0] @ bits[1].T).astype(np.int64)        # exact: sums below 2^24
    want = np.stack([best_first(o, 30) for o in ov])
    np.testing.assert_array_equal(idx.top_m_candidates_batched(q, 30), want)


@pytest.mark.parametrize("dim", [64, 640])
@pytest.mark.parametrize("nq", [1, 8, 9, 17])
def test_every_form_matches_numpy(rng, tmp_path, dim, nq):
    n_top, m = dim // 8, 25
    x = tied(rng, (200, dim))
    idx = make(x, n_top)
    q = np.concatenate([tied(rng, (nq // 2, dim)), rng.standard_normal((nq - nq // 2, dim)).astype(np.float32)])
    ov = oracle_overlaps(oracle_query(q, n_top), stored_words(idx, tmp_path))
    want = np.stack([best_first(o, m) for o in ov])
    batched = idx.top_m_candidates_batched(q, m)
    assert batched.dtype == np.uint32 and batched.shape == (nq, m)
    np.testing.assert_array_equal(batched, want)
    np.testing.assert_array_equal(idx.top_m_candidates_batched_chunked(q, m, 3), want)
    np.testing.assert_array_equal(idx.top_m_candidates_batched_chunked(q, m, 100), want)
    np.testing.assert_array_equal(np.stack([idx.top_m_candidates(r, m) for r in q]), want)
    scores, ids = idx.search(q, m)
    np.testing.assert_array_equal(ids, want)
    np.testing.assert_array_equal(scores, np.take_along_axis(ov, want, axis=1).astype(np.float32))
    docs = np.array([17, 3, 3, 150, 0, 42], np.int64)
    s, i = idx.search_subset(q[0], docs, 4)
    pairs = sorted(zip(-ov[0][docs], docs))[:4]
    assert i.tolist() == [int(d) for _, d in pairs] and s.tolist() == [float(-o) for o, _ in pairs]
    np.testing.assert_array_equal(idx.body_overlap_scores_subset(idx.build_query_bitmap_fp32(q[0]), np.sort(docs)),
                                  ov[0][np.sort(docs)])


def test_ties_and_shape_edges(rng):
    idx = make(np.ones((10, 128), np.float32), 16)           # every overlap equal
    q = rng.standard_normal((3, 128)).astype(np.float32)
    assert idx.top_m_candidates(q[0], 4).tolist() == [0, 1, 2, 3]
    assert idx.top_m_candidates(q[0], 50).tolist() == list(range(10))
    assert idx.top_m_candidates(q[0], 0).shape == (0,)
    assert idx.top_m_candidates_batched(q[:0], 4).shape == (0, 4)
    assert idx.top_m_candidates_batched_chunked(q[:0], 4, 2).shape == (0, 4)
    assert idx.top_m_candidates_batched(q, 0).shape == (3, 0)
    assert idx.search(q[:0], 4)[1].shape == (0, 4)
    assert idx.search(q, 0)[0].shape == (3, 0)
    assert idx.search(q, 50)[1].shape == (3, 10)
    assert idx.search_subset(q[0], np.array([5, 5, 3]), 3)[1].tolist() == [3, 5, 5]
    assert [a.shape for a in idx.search_subset(q[0], np.array([], np.uint32), 3)] == [(0,), (0,)]
    assert idx.search_subset(q[0], np.array([1, 2]), 9)[1].tolist() == [1, 2]
    assert idx.body_overlap_scores_subset(np.full(2, 2**64 - 1, np.uint64), np.array([3, 3, 7])).tolist() == [16] * 3
    assert idx.body_overlap_scores_subset(np.zeros(2, np.uint64), np.array([], np.int32)).dtype == np.uint32
    empty = Bitmap(128, 16)
    assert empty.top_m_candidates(q[0], 5).shape == (0,)
    assert empty.top_m_candidates_batched(q, 5).shape == (3, 0)
    assert empty.search(q, 5)[0].shape == (3, 0)


@pytest.mark.parametrize("call, exc, msg", [
    (lambda i, q: i.top_m_candidates_batched_chunked("junk", 2, 0), ValueError, "batch_size must be > 0"),
    (lambda i, q: i.body_overlap_scores_subset(q[0].view(np.int64)[:2], [1]), TypeError, None),
    (lambda i, q: i.body_overlap_scores_subset(np.zeros(3, np.uint64), np.array([1])), ValueError,
     "q_bitmap length 3 does not match dim/64 = 2"),
    (lambda i, q: i.body_overlap_scores_subset(np.zeros(4, np.uint64)[::2], np.array([1])), ValueError, NOT_CONTIGUOUS),
    (lambda i, q: i.body_overlap_scores_subset(np.zeros(2, np.uint64), np.array([7, 3])), ValueError,
     "doc_ids must be sorted in ascending order"),
    (lambda i, q: i.body_overlap_scores_subset(np.zeros(2, np.uint64), np.array([7, 10])), IndexError,
     "doc id 10 out of range (index holds 10 vectors)"),
    (lambda i, q: i.search_subset(q[0], np.arange(8, dtype=np.uint32)[::2], 2), ValueError, NOT_CONTIGUOUS),
    (lambda i, q: i.search_subset(q[0], np.array([11, 2]), 2), IndexError, "doc id 11 out of range (index holds 10 vectors)"),
    (lambda i, q: i.top_m_candidates(np.repeat(q[0], 2)[::2], 3), ValueError, NON_CONTIGUOUS),
    (lambda i, q: i.top_m_candidates_batched(q[0], 3), TypeError, NOT_2D),
    (lambda i, q: i.top_m_candidates_batched(q[:, ::2], 3), ValueError, width_message(64, 128)),
    (lambda i, q: i.add(q[:, :64]), ValueError, width_message(64, 128)),
])
def test_argument_refusals(rng, call, exc, msg):
    idx = make(rng.standard_normal((10, 128)).astype(np.float32), 16)
    q = rng.standard_normal((4, 128)).astype(np.float32)
    with pytest.raises(exc) as e:
        call(idx, q)
    if msg is not None:
        assert str(e.value) == msg
    assert len(idx) == 10


def test_integer_arguments_come_first(rng):
    idx = make(rng.standard_normal((4, 64)).astype(np.float32), 8)
    with pytest.raises(OverflowError):
        idx.top_m_candidates("not an array", -1)
    with pytest.raises(OverflowError):
        idx.search("not an array", -1)
    with pytest.raises(OverflowError):
        idx.top_m_candidates_batched_chunked("not an array", 3, -1)


# ----------------------------------------------------------------------------
# Every tier gives the same arrays.

TIER_SCRIPT = """
import hashlib, numpy as np, kwivel
rng = np.random.default_rng(5)
h = hashlib.sha256()
for dim in (64, 576, 640):
    x = rng.standard_normal((2000, dim)).astype(np.float32); x[x < -0.5] = 0.0
    q = rng.standard_normal((17, dim)).astype(np.float32)
    idx = kwivel.Bitmap(dim, dim // 6); idx.add(x)
    h.update(idx.body_overlap_scores_subset(idx.build_query_bitmap_fp32(q[0]), np.arange(0, 2000, 3)).tobytes())
    for nq in (1, 8, 9, 17):
        h.update(idx.top_m_candidates_batched(q[:nq], 40).tobytes())
        h.update(idx.search(q[:nq], 7)[1].tobytes())
    h.update(idx.top_m_candidates(q[3], 100).tobytes())
print(h.hexdigest())
"""


def run_tier(tier):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), KWIVEL_MAX_TIER=tier)
    out = subprocess.run([sys.executable, "-c", TIER_SCRIPT], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def runnable_tiers():
    with open("/proc/cpuinfo") as f:
        flags = set(next((l for l in f if l.startswith("flags")), ":").split(":", 1)[1].split())
    needs = {"avx2": {"avx2", "fma", "popcnt"}, "avx512": {"avx2", "fma", "avx512f", "avx512dq", "avx512bw", "avx512vl"}}
    needs["avx512_vpopcnt"] = needs["avx512"] | {"avx512_vpopcntdq"}
    return {t for t, need in needs.items() if need <= flags}


@pytest.mark.parametrize("tier", [
    pytest.param(t, marks=pytest.mark.skipif(t not in runnable_tiers(), reason=f"this processor lacks {t}"))
    for t in ("avx2", "avx512", "avx512_vpopcnt")])
def test_every_tier_gives_the_portable_arrays(tier):
    assert run_tier(tier) == run_tier("portable")


# ----------------------------------------------------------------------------
# The .kwbm file.

def header(dim, n_top, n, magic=b"KWBM", version=1):
    return magic + bytes([version]) + struct.pack("<III", dim, n_top, n)


def test_round_trip_legacy_and_empty(rng, tmp_path):
    x = rng.standard_normal((2, 128)).astype(np.float32)
    idx = make(x, 16)
    path = str(tmp_path / "b.kwbm")
    assert idx.write(path) is None
    data = open(path, "rb").read()
    assert data == header(128, 16, 2) + oracle_stored(x, 16).astype("<u8").tobytes()
    back = Bitmap.load(path)
    q = rng.standard_normal((3, 128)).astype(np.float32)
    assert (back.dim, back.n_top, len(back)) == (128, 16, 2)
    np.testing.assert_array_equal(back.search(q, 2)[1], idx.search(q, 2)[1])
    legacy = tmp_path / "b.hybm"
    legacy.write_bytes(b"HYBM" + data[4:])
    Bitmap.load(str(legacy)).write(path)
    assert open(path, "rb").read() == data
    Bitmap(64, 5).write(path)
    assert open(path, "rb").read() == header(64, 5, 0)
    assert (len(Bitmap.load(path)), Bitmap.load(path).n_top) == (0, 5)


@pytest.mark.parametrize("data, msg", [
    (b"KWBM\x01\x40\x00\x00\x00\x01", "KWBM header truncated while reading n_top"),
    (header(100, 3, 0), "KWBM dim 100 is not a multiple of 64"),
    (header(64, 64, 0), "KWBM n_top 64 must satisfy 0 < n_top < dim (64)"),
    (header(64, 2, 2) + struct.pack("<2Q", 3, 1 << 40), "KWBM row 1 has 1 bits set, expected n_top = 2"),
])
def test_load_refusals(tmp_path, data, msg):
    path = tmp_path / "bad.kwbm"
    path.write_bytes(data)
    with pytest.raises(OSError) as e:
        Bitmap.load(str(path))
    assert e.value.args == (msg,)


def test_failed_write_and_missing_file(rng, tmp_path):
    idx = make(rng.standard_normal((2, 64)).astype(np.float32), 3)
    with pytest.raises(OSError):
        idx.write(str(tmp_path))
    with pytest.raises(OSError) as e:
        Bitmap.load(str(tmp_path / "nope.kwbm"))
    assert str(e.value).endswith(" (os error 2)")
