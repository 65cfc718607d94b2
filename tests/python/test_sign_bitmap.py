"""SignBitmap: bitmaps, dense agreement scores and Hamming shortlists against
numpy (bits unpacked from the XOR) and FAISS IndexBinaryFlat, shape edges,
argument checks in order, tier parity, and the .kwsb file."""

import hashlib
import os
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

from kwivel import MAX_SIGN_BITMAP_DIM, SignBitmap
from conftest import NON_CONTIGUOUS, NON_FINITE, NOT_2D, width_message

DIM_MULTIPLE = "dim must be a positive multiple of 64"


def signed(rng, shape):
    """Normal values with many zeros of both signs."""
    x = rng.standard_normal(shape).astype(np.float32)
    x[rng.random(shape) < 0.15] = 0.0
    x[rng.random(shape) < 0.15] = -0.0
    return x


def oracle_words(x):
    """Bit j of word j // 64 set iff x[..., j] > 0, via numpy's packbits."""
    x = np.atleast_2d(x)
    return np.packbits(x > 0, axis=1, bitorder="little").view("<u8")


def oracle_hamming(qwords, dwords):
    """(nq, n) Hamming distances: the set bits of every XOR, unpacked."""
    x = qwords[:, None, :] ^ dwords[None, :, :]
    return np.unpackbits(x.view(np.uint8), axis=-1).sum(axis=-1, dtype=np.int64)


def nearest_first(dist, m):
    """Ids by ascending distance, then ascending id."""
    return np.lexsort((np.arange(dist.shape[-1]), dist))[:m]


def make(rng, n, dim):
    x = signed(rng, (n, dim))
    idx = SignBitmap(dim)
    idx.add(x)
    return idx, x


# ----------------------------------------------------------------------------
# Construction and accessors.

@pytest.mark.parametrize("dim, msg", [
    (0, DIM_MULTIPLE), (100, DIM_MULTIPLE), (32, DIM_MULTIPLE),
    (16777280, "dim 16777280 exceeds the maximum sign-bitmap dimension 16777216"),
])
def test_constructor_refusals(dim, msg):
    with pytest.raises(ValueError) as e:
        SignBitmap(dim)
    assert str(e.value) == msg


def test_accessors_and_widest_dim(rng):
    assert repr(SignBitmap(128)) == "SignBitmap(dim=128, n=0)"
    assert SignBitmap(MAX_SIGN_BITMAP_DIM).bytes_per_vec == MAX_SIGN_BITMAP_DIM // 8
    idx, _ = make(rng, 5, 192)
    assert (len(idx), idx.is_empty(), idx.dim, idx.bytes_per_vec, idx.byte_size) == (5, False, 192, 24, 120)
    assert repr(idx) == "SignBitmap(dim=192, n=5)"


# ----------------------------------------------------------------------------
# Bitmaps and scores against numpy and faiss.

def test_worked_example_and_zeros():
    q = np.full(64, -1.0, np.float32)
    q[:4] = [1.0, -1.0, 0.0, 2.0]
    idx = SignBitmap(64)
    assert idx.build_query_bitmap(q).tolist() == [9]
    assert idx.build_query_bitmap(q).dtype == np.uint64
    # Against itself: dim; against its negation (no zeros): 0; zeros of
    # either sign agree with each other.
    q[2] = 3.0
    z = q.copy()
    z[:10] = 0.0
    nz = z.copy()
    nz[:10] = -0.0
    idx.add(np.stack([q, -q, nz]))
    assert idx.score_all(q).tolist() == [64, 0, 64 - int((q[:10] > 0).sum())]
    assert idx.score_all(z).tolist() == [64 - int((q[:10] > 0).sum()), int((q[:10] > 0).sum()), 64]


@given(words=st.integers(1, 10), n=st.integers(1, 60), nq=st.integers(1, 12), m=st.integers(0, 70),
       seed=st.integers(0, 2**32 - 1))
def test_scores_and_shortlists_match_numpy(words, n, nq, m, seed):
    rng = np.random.default_rng(seed)
    dim = 64 * words
    idx, x = make(rng, n, dim)
    q = signed(rng, (nq, dim))
    q[0] = x[rng.integers(n)]                      # a stored row: distance 0
    qw, dw = oracle_words(q), oracle_words(x)
    dist = oracle_hamming(qw, dw)
    np.testing.assert_array_equal(idx.build_query_bitmap(q[0]), qw[0])
    dense = idx.score_all_batched(q)
    assert dense.dtype == np.uint32 and dense.shape == (nq, n)
    np.testing.assert_array_equal(dense, dim - dist)
    lists = idx.top_m_candidates_batched(q, m)
    assert lists.dtype == np.uint32 and lists.shape == (nq, min(m, n))
    for r in range(nq):
        want = nearest_first(dist[r], m)
        np.testing.assert_array_equal(idx.top_m_candidates(q[r], m), want)
        np.testing.assert_array_equal(lists[r], want)
        np.testing.assert_array_equal(idx.score_all(q[r]), dense[r])


@pytest.mark.parametrize("dim", [576, 1024])
def test_wide_batches_match_numpy(rng, dim):
    # Hundreds of queries over thousands of rows (the bit-sliced scan), with
    # stored rows, mostly positive and mostly negative queries among them.
    idx, x = make(rng, 3000, dim)
    q = np.concatenate([x[:40], signed(rng, (160, dim)), np.abs(signed(rng, (20, dim))), -np.abs(signed(rng, (20, dim)))])
    qb, xb = (np.unpackbits(oracle_words(v).view(np.uint8), axis=1, bitorder="little").astype(np.float32)
              for v in (q, x))
    dist = np.rint(qb.sum(1)[:, None] + xb.sum(1)[None, :] - 2 * (qb @ xb.T)).astype(np.int64)
    np.testing.assert_array_equal(idx.top_m_candidates_batched(q, 40), np.stack([nearest_first(d, 40) for d in dist]))


def test_distances_match_faiss_binary_flat(rng):
    faiss = pytest.importorskip("faiss")
    dim, n = 576, 3000
    idx, x = make(rng, n, dim)
    q = signed(rng, (9, dim))
    flat = faiss.IndexBinaryFlat(dim)
    flat.add(oracle_words(x).view(np.uint8))
    fd, fi = flat.search(oracle_words(q).view(np.uint8), 50)
    lists = idx.top_m_candidates_batched(q, 50)
    dense = idx.score_all_batched(q)
    for r in range(9):
        # Same distances at every position; ids agree wherever faiss has no tie.
        np.testing.assert_array_equal(dim - dense[r][lists[r]].astype(np.int64), fd[r])
        np.testing.assert_array_equal(np.sort(dim - dense[r].astype(np.int64))[:50], fd[r])
        vals, counts = np.unique(fd[r], return_counts=True)
        alone = np.isin(fd[r], vals[counts == 1]) & (fd[r] < fd[r][-1])
        assert alone.any()
        np.testing.assert_array_equal(lists[r][alone], fi[r][alone])


# ----------------------------------------------------------------------------
# Shapes and argument checks.

def test_shape_edges(rng):
    empty = SignBitmap(64)
    q = signed(rng, (3, 64))
    assert empty.score_all(q[0]).shape == (0,) and empty.score_all(q[0]).dtype == np.uint32
    assert empty.score_all_batched(q).shape == (3, 0)
    assert empty.top_m_candidates(q[0], 5).shape == (0,)
    assert empty.top_m_candidates_batched(q, 5).shape == (3, 0)
    idx, _ = make(rng, 10, 64)
    none = np.zeros((0, 64), np.float32)
    assert idx.score_all_batched(none).shape == (0, 10)
    assert idx.top_m_candidates_batched(none, 3).shape == (0, 3)
    assert idx.top_m_candidates_batched(q, 0).shape == (3, 0)
    assert idx.top_m_candidates(q[0], 0).shape == (0,)
    assert sorted(idx.top_m_candidates(q[0], 99).tolist()) == list(range(10))


@pytest.mark.parametrize("call, exc, msg", [
    (lambda i, q: i.top_m_candidates(q[:, 0], 3), ValueError, width_message(10, 64)),
    (lambda i, q: i.top_m_candidates(np.repeat(q[0].astype(np.float64), 2)[::2], 3), ValueError, NON_CONTIGUOUS),
    (lambda i, q: i.score_all(np.where(q[0] > 0, np.inf, q[0])), ValueError, NON_FINITE),
    (lambda i, q: i.score_all_batched(q[0]), TypeError, NOT_2D),
    (lambda i, q: i.top_m_candidates_batched(np.asfortranarray(q), 3), ValueError, NON_CONTIGUOUS),
    (lambda i, q: i.build_query_bitmap(q[0].astype(np.float64) * 1e39), ValueError, NON_FINITE),
    (lambda i, q: i.add(q[:, :63]), ValueError, width_message(63, 64)),
    (lambda i, q: i.add(np.where(np.arange(64) == 63, np.nan, q).astype(np.float32)), ValueError, NON_FINITE),
    (lambda i, q: i.add(np.asfortranarray(q)), ValueError, NON_CONTIGUOUS),
])
def test_gate_refusals(rng, call, exc, msg):
    idx, _ = make(rng, 4, 64)
    q = signed(rng, (10, 64))
    with pytest.raises(exc) as e:
        call(idx, q)
    assert str(e.value) == msg
    assert len(idx) == 4


def test_m_is_converted_before_the_query_is_looked_at(rng):
    idx, _ = make(rng, 4, 64)
    with pytest.raises(OverflowError):
        idx.top_m_candidates("not an array", -1)
    with pytest.raises(TypeError):
        idx.top_m_candidates_batched([[1.0] * 64], 2.0)


def test_float64_input_is_seen_as_its_float32_rounding():
    tiny = np.full((1, 64), 1e-46)            # positive in float64, 0.0 in float32
    idx = SignBitmap(64)
    idx.add(tiny)
    assert idx.score_all(np.zeros(64)).tolist() == [64]


# ----------------------------------------------------------------------------
# Every tier gives the same arrays.

TIER_SCRIPT = """
import hashlib, numpy as np, kwivel
rng = np.random.default_rng(5)
h = hashlib.sha256()
for dim in (64, 576, 640):
    x = rng.standard_normal((2000, dim)).astype(np.float32); x[x < -1] = 0.0
    q = rng.standard_normal((17, dim)).astype(np.float32)
    idx = kwivel.SignBitmap(dim); idx.add(x)
    h.update(idx.build_query_bitmap(q[0]).tobytes())
    h.update(idx.score_all_batched(q).tobytes())
    for nq in (1, 8, 9, 17):
        h.update(idx.top_m_candidates_batched(q[:nq], 40).tobytes())
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
# The .kwsb file.

def header(dim, n, magic=b"KWSB", version=1):
    return magic + bytes([version]) + struct.pack("<II", dim, n)


def test_round_trip_legacy_and_empty(rng, tmp_path):
    idx, x = make(rng, 3, 128)
    path = str(tmp_path / "s.kwsb")
    assert idx.write(path) is None
    data = open(path, "rb").read()
    assert data == header(128, 3) + oracle_words(x).astype("<u8").tobytes()
    q = signed(rng, (4, 128))
    back = SignBitmap.load(path)
    np.testing.assert_array_equal(back.score_all_batched(q), idx.score_all_batched(q))
    legacy = tmp_path / "s.hysb"
    legacy.write_bytes(b"HYSB" + data[4:])
    out = str(tmp_path / "again.kwsb")
    SignBitmap.load(str(legacy)).write(out)
    assert open(out, "rb").read() == data
    SignBitmap(64).write(path)
    assert open(path, "rb").read() == header(64, 0)
    assert (len(SignBitmap.load(path)), SignBitmap.load(path).dim) == (0, 64)


@pytest.mark.parametrize("data, msg", [
    (b"", "KWSB header truncated while reading magic"),
    (b"KWSB", "KWSB header truncated while reading version"),
    (header(64, 0)[:11], "KWSB header truncated while reading n_vectors"),
    (header(64, 0, b"KWBM"), "not an KWSB/HYSB (SignBitmap) file: wrong magic"),
    (header(64, 0, version=2), "unsupported KWSB version: 2"),
    (header(16777280, 0), "KWSB dim 16777280 out of range [64, 16777216]"),
    (header(100, 0), "KWSB dim 100 is not a multiple of 64"),
    (header(128, 2) + bytes(31), "KWSB payload truncated: header declares 32 B but file has 31 B remaining"),
    (header(128, 2) + bytes(33), "KWSB payload has trailing bytes: header declares 32 B but file has 33 B remaining"),
])
def test_load_refusals(tmp_path, data, msg):
    path = tmp_path / "bad.kwsb"
    path.write_bytes(data)
    with pytest.raises(OSError) as e:
        SignBitmap.load(str(path))
    assert e.value.args == (msg,)
