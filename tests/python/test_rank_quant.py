"""RankQuant: construction, quantised storage, symmetric search and its file."""

import os

import numpy as np
import pytest
import scipy.stats

from kwivel import RankQuant, pack_buckets

BITS = [1, 2, 4]


def ref_codes(x, bits):
    """Reference encoding: stable double argsort ranks, bucketed, packed."""
    x = np.asarray(x, dtype=np.float32) + np.float32(0.0)  # fold -0.0 onto +0.0
    d = x.shape[1]
    ranks = np.argsort(np.argsort(x, axis=1, kind="stable"), axis=1, kind="stable")
    return (ranks.astype(np.uint64) << bits) // d


def stored_bytes(index, path):
    index.write(path)
    with open(path, "rb") as f:
        data = f.read()
    return np.frombuffer(data[14:], np.uint8).reshape(len(index), index.bytes_per_vec)


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


@pytest.mark.parametrize("dim, bits, msg", [
    (16, 3, "bits must be 1, 2, or 4"), (64, 8, "bits must be 1, 2, or 4"), (1, 3, "bits must be 1, 2, or 4"),
    (1, 1, "dim must be in [2, 65535]"), (65536, 1, "dim must be in [2, 65535]"),
    (12, 1, "dim 12 must be a multiple of 8 for bits = 1"), (8, 4, "dim 8 must be a multiple of 16 for bits = 4"),
    (6, 2, "dim 6 must be a multiple of 4 for bits = 2"),
])
def test_constructor_refusals(dim, bits, msg):
    with pytest.raises(ValueError) as e:
        RankQuant(dim, bits)
    assert str(e.value) == msg


@pytest.mark.parametrize("bits", [300, -1])
def test_bits_conversion_overflow(bits):
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        RankQuant(64, bits)


@pytest.mark.parametrize("bits, bpv", [(1, 8), (2, 16), (4, 32)])
def test_accessors(bits, bpv, rng):
    q = RankQuant(64, bits)
    assert repr(q) == f"RankQuant(dim=64, bits={bits}, n=0)" and len(q) == 0 and q.is_empty()
    assert (q.dim, q.bits, q.bytes_per_vec, q.byte_size) == (64, bits, bpv, 0)
    q.add(rng.standard_normal((3, 64)).astype(np.float32))
    assert len(q) == 3 and not q.is_empty() and q.byte_size == 3 * bpv
    assert q.add(np.zeros((0, 64), np.float32)) is None and len(q) == 3


def test_constant_vector_at_one_bit(tmp_path):
    q = RankQuant(8, 1)
    q.add(np.ones((1, 8), np.float32))
    assert stored_bytes(q, str(tmp_path / "c.kwrq")).tolist() == [[0x0F]]


@pytest.mark.parametrize("bits", BITS)
def test_stored_bytes_match_reference_encoding(bits, rng, tmp_path):
    dim = 64
    x = rng.standard_normal((40, dim)).astype(np.float32)
    x[::3, :8] = 0.5  # ties
    x[1, :4] = [0.0, -0.0, 0.0, -0.0]
    q = RankQuant(dim, bits)
    q.add(x)
    got = stored_bytes(q, str(tmp_path / "q.kwrq"))
    codes = ref_codes(x, bits)
    expected = np.stack([pack_buckets(row.astype(np.uint8), bits) for row in codes])
    np.testing.assert_array_equal(got, expected)
    # constant composition: every code appears dim / 2**bits times in every row
    counts = np.stack([np.bincount(row.astype(np.int64), minlength=1 << bits) for row in codes])
    assert (counts == dim >> bits).all()


def test_swap_remove_moves_last_row(rng, tmp_path):
    x = rng.standard_normal((3, 16)).astype(np.float32)
    q = RankQuant(16, 2)
    q.add(x)
    before = stored_bytes(q, str(tmp_path / "a.kwrq"))
    assert q.swap_remove(0) == 2 and len(q) == 2
    after = stored_bytes(q, str(tmp_path / "b.kwrq"))
    np.testing.assert_array_equal(after, before[[2, 1]])
    assert q.swap_remove(1) == 1 and len(q) == 1
    with pytest.raises(IndexError, match=r"^index 1 out of range \(index holds 1 vectors\)$"):
        q.swap_remove(1)


@pytest.mark.parametrize("bits", BITS)
def test_search_scores_are_pearson_of_codes(bits, rng):
    dim = 64
    docs = rng.standard_normal((300, dim)).astype(np.float32)
    queries = rng.standard_normal((7, dim)).astype(np.float32)
    q = RankQuant(dim, bits)
    q.add(docs)
    scores, ids = q.search(queries, 300)
    assert scores.dtype == np.float32 and ids.dtype == np.int64 and scores.shape == (7, 300)
    dc, qc = ref_codes(docs, bits).astype(np.float64), ref_codes(queries, bits).astype(np.float64)
    for i in range(len(queries)):
        expected = np.array([scipy.stats.pearsonr(qc[i], dc[j])[0] for j in ids[i]])
        np.testing.assert_allclose(scores[i], expected, rtol=0, atol=2e-6)
        assert sorted(ids[i].tolist()) == list(range(300))
        # better-first: scores descending, ties by ascending id
        order = np.lexsort((ids[i], -scores[i].astype(np.float64)))
        np.testing.assert_array_equal(order, np.arange(300))


@pytest.mark.parametrize("bits", BITS)
def test_self_and_negated_queries(bits, rng):
    x = rng.standard_normal((20, 64)).astype(np.float32)
    q = RankQuant(64, bits)
    q.add(x)
    s, i = q.search(x, 1)
    np.testing.assert_allclose(s[:, 0], 1.0, atol=1e-6)
    s, i = q.search(-x, 20)
    self_scores = s[np.arange(20)[:, None] == i]
    np.testing.assert_allclose(self_scores, -1.0, atol=1e-6)


def test_duplicates_are_listed_by_ascending_id(rng):
    row = rng.standard_normal((1, 16)).astype(np.float32)
    q = RankQuant(16, 4)
    q.add(np.repeat(row, 5, axis=0))
    s, i = q.search(row, 3)
    assert i.tolist() == [[0, 1, 2]] and len(set(s[0].tolist())) == 1


@pytest.mark.parametrize("n, nq, k, shape", [(0, 2, 5, (2, 0)), (5, 2, 0, (2, 0)), (5, 0, 3, (0, 3)), (5, 1, 9, (1, 5))])
def test_search_shapes(n, nq, k, shape, rng):
    q = RankQuant(16, 2)
    q.add(rng.standard_normal((n, 16)).astype(np.float32))
    s, i = q.search(rng.standard_normal((nq, 16)).astype(np.float32), k)
    assert s.shape == shape and i.shape == shape and s.dtype == np.float32 and i.dtype == np.int64


def test_batch_and_single_queries_agree_bit_for_bit(rng):
    q = RankQuant(768, 4)
    q.add(rng.standard_normal((2000, 768)).astype(np.float32))
    queries = rng.standard_normal((9, 768)).astype(np.float32)
    s, i = q.search(queries, 10)
    for j in range(len(queries)):
        s1, i1 = q.search(queries[j:j + 1], 10)
        np.testing.assert_array_equal(s1[0], s[j])
        np.testing.assert_array_equal(i1[0], i[j])


# ----- file ----------------------------------------------------------------------------

def header(bits, dim, n, magic=b"KWRQ", version=1):
    return magic + bytes([version, bits]) + dim.to_bytes(4, "little") + n.to_bytes(4, "little")


@pytest.mark.parametrize("bits", BITS)
def test_round_trip(bits, rng, tmp_path):
    x = rng.standard_normal((50, 32)).astype(np.float32)
    q = RankQuant(32, bits)
    q.add(x)
    path = str(tmp_path / "q.kwrq")
    q.write(path)
    assert os.path.getsize(path) == 14 + 50 * q.bytes_per_vec
    r = RankQuant.load(path)
    assert (r.dim, r.bits, len(r)) == (32, bits, 50)
    for a, b in zip(q.search(x[:5], 7), r.search(x[:5], 7)):
        np.testing.assert_array_equal(a, b)


def test_empty_index_and_legacy_magic(tmp_path):
    path = str(tmp_path / "e.kwrq")
    RankQuant(8, 2).write(path)
    assert os.path.getsize(path) == 14
    legacy = tmp_path / "l.hyrq"
    legacy.write_bytes(header(2, 8, 1, magic=b"HYRQ") + bytes([0x1B, 0x1B]))
    r = RankQuant.load(str(legacy))
    assert (r.dim, r.bits, len(r)) == (8, 2, 1)
    out = str(tmp_path / "o.kwrq")
    r.write(out)
    assert open(out, "rb").read()[:4] == b"KWRQ"


@pytest.mark.parametrize("data, msg", [
    (b"", "KWRQ header truncated while reading magic"),
    (b"KWRQ", "KWRQ header truncated while reading version"),
    (b"KWRQ\x01", "KWRQ header truncated while reading bits"),
    (b"KWRQ\x01\x02\x08\x00", "KWRQ header truncated while reading dim"),
    (b"KWR1\x01\x02", "not an KWRQ/HYRQ (RankQuant) file: wrong magic"),
    (b"KWRQ\x02\x02", "unsupported KWRQ version: 2"),
    (header(3, 8, 0), "unsupported KWRQ bits: 3 (expected 1, 2, or 4)"),
    (header(8, 256, 0), "unsupported KWRQ bits: 8 (expected 1, 2, or 4)"),
    (header(2, 1, 0), "dim 1 out of range [2, 65535]"),
    (header(4, 24, 0), "KWRQ dim 24 is not a multiple of 2^bits = 16; constant-composition invariant violated"),
    (header(1, 10, 0), "KWRQ dim 10 is not a multiple of codes_per_byte = 8"),
    (header(2, 8, 0)[:-1], "KWRQ header truncated while reading n_vectors"),
    (header(2, 8, 67108865), "n_vectors 67108865 exceeds MAX_VECTORS=67108864"),
    (header(2, 8, 1) + b"\x1b", "KWRQ payload truncated: header declares 2 B but file has 1 B remaining"),
    (header(2, 8, 1) + b"\x1b\x1b\x00", "KWRQ payload has trailing bytes: header declares 2 B but file has 3 B remaining"),
    (header(2, 8, 1) + b"\x00\x1b",
     "KWRQ row 0 violates constant composition: bucket 0 has 5 codes, expected 2 (= dim / 2^bits)"),
    (header(2, 8, 2) + b"\x1b\x1b\x1b\x1f",
     "KWRQ row 1 violates constant composition: bucket 2 has 1 codes, expected 2 (= dim / 2^bits)"),
])
def test_load_messages_in_order(data, msg, tmp_path):
    path = tmp_path / "bad.kwrq"
    path.write_bytes(data)
    with pytest.raises(OSError) as e:
        RankQuant.load(str(path))
    assert e.value.args == (msg,)


def test_failed_load_of_missing_file_and_bad_path(tmp_path):
    with pytest.raises(OSError, match=r"\(os error 2\)$"):
        RankQuant.load(str(tmp_path / "missing.kwrq"))
    with pytest.raises(TypeError):
        RankQuant.load(tmp_path / "missing.kwrq")
