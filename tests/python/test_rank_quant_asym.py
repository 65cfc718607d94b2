"""RankQuant asymmetric search, subset rerank and rankquant_eval_search,
against float64 numpy references of the centred-code cosine."""

import numpy as np
import pytest

from kwivel import RankQuant, rankquant_eval_search

# (bits, dim) reaching every path: scalar (1 bit; 2 bits at 36), AVX2 (2 bits
# at 96, 4 bits at 48) and AVX-512 (64, 128).
SHAPES = [(1, 64), (2, 36), (2, 96), (2, 128), (4, 48), (4, 64)]


def codes(x, bits):
    x = np.asarray(x, dtype=np.float32) + np.float32(0.0)
    ranks = np.argsort(np.argsort(x, axis=-1, kind="stable"), axis=-1, kind="stable")
    return (ranks << bits) // x.shape[-1]


def asym_reference(docs, queries, bits):
    """float64 cosine of the L2-normalised query and the centred codes."""
    d = docs.shape[1]
    q = queries.astype(np.float64)
    norms = np.linalg.norm(q, axis=1, keepdims=True)
    qn = np.where(norms > 1e-12, q / np.where(norms > 0, norms, 1), 0.0)
    centred = codes(docs, bits) - (2 ** bits - 1) / 2
    return qn @ centred.T / np.sqrt(d * (4 ** bits - 1) / 12)


def tol(d):
    return 8 * np.sqrt(d) * 2.0 ** -24


def check_topk(scores, ids, ref, t):
    """Each row: the k best of ref up to t, best first, scores within t."""
    k = scores.shape[1]
    assert scores.dtype == np.float32 and ids.dtype == np.int64
    for q in range(ref.shape[0]):
        np.testing.assert_allclose(scores[q], ref[q, ids[q]], rtol=0, atol=t)
        assert np.all(np.diff(scores[q]) <= 0)
        assert np.all(ref[q, ids[q]] >= np.sort(ref[q])[::-1][:k] - 2 * t)


def build(bits, d, n, seed):
    rng = np.random.default_rng(seed)
    docs = rng.standard_normal((n, d)).astype(np.float32)
    idx = RankQuant(d, bits)
    idx.add(docs)
    return idx, docs, rng


@pytest.mark.parametrize("bits, d", SHAPES)
def test_search_matches_float64_reference(bits, d):
    idx, docs, rng = build(bits, d, 400, d + bits)
    queries = rng.standard_normal((9, d)).astype(np.float32)
    queries[0] = np.abs(queries[0]) + 2        # a large centring term
    queries[1] = docs[17]
    s, i = idx.search_asymmetric(queries, 15)
    assert s.shape == i.shape == (9, 15)
    check_topk(s, i, asym_reference(docs, queries, bits), tol(d))
    # A stored vector scores its own row highest, up to rounding.
    assert s[1, 0] - asym_reference(docs, queries[1:2], bits)[0, 17] <= tol(d)
    # The all-zero query scores 0 everywhere; ties come out by id.
    zs, zi = idx.search_asymmetric(np.zeros((1, d), np.float32), 5)
    assert zs.tolist() == [[0.0] * 5] and zi.tolist() == [[0, 1, 2, 3, 4]]


def test_search_shapes_and_gate():
    idx, docs, rng = build(2, 64, 5, 1)
    q = rng.standard_normal((3, 64)).astype(np.float32)
    assert idx.search_asymmetric(q, 0)[0].shape == (3, 0)
    assert idx.search_asymmetric(q, 99)[1].shape == (3, 5)
    assert idx.search_asymmetric(q[:0], 4)[0].shape == (0, 4)
    assert RankQuant(64, 2).search_asymmetric(q, 4)[1].shape == (3, 0)
    with pytest.raises(ValueError, match="array width 63 does not match index dimension 64"):
        idx.search_asymmetric(q[:, :63], 1)


# ----- subset rerank ------------------------------------------------------------------

@pytest.mark.parametrize("bits, d", SHAPES)
def test_subset_equals_full_search_on_a_permuted_whole_index(bits, d):
    idx, docs, rng = build(bits, d, 3, bits * d)
    q = rng.standard_normal(d).astype(np.float32)
    s, i = idx.search_asymmetric_subset(q, np.array([2, 0, 1], np.uint32), 3)
    fs, fi = idx.search_asymmetric(q[None, :], 3)
    assert i.tolist() == fi[0].tolist() and s.tobytes() == fs[0].tobytes()


def test_subset_scores_ties_duplicates_and_lengths():
    idx, docs, rng = build(4, 64, 50, 7)
    q = rng.standard_normal(64).astype(np.float32)
    fs, fi = idx.search_asymmetric(q[None, :], 50)
    score_of = dict(zip(fi[0].tolist(), fs[0].tolist()))
    cands = rng.integers(0, 50, 20)
    s, i = idx.search_asymmetric_subset(q, cands, 8)
    want = sorted(((score_of[c], c) for c in cands.tolist()), key=lambda t: (-t[0], t[1]))[:8]
    assert i.tolist() == [c for _, c in want] and s.tolist() == [x for x, _ in want]
    assert s.dtype == np.float32 and i.dtype == np.int64 and i.ndim == 1
    s, i = idx.search_asymmetric_subset(q, np.array([5, 5]), 2)
    assert i.tolist() == [5, 5] and s[0] == s[1]
    assert len(idx.search_asymmetric_subset(q, np.array([1, 2, 3]), 10)[0]) == 3
    assert len(idx.search_asymmetric_subset(q, np.array([1, 2, 3]), 0)[1]) == 0
    assert len(idx.search_asymmetric_subset(q, np.array([], np.int64), 5)[0]) == 0
    assert len(RankQuant(64, 4).search_asymmetric_subset(q, np.array([], np.uint32), 5)[1]) == 0


def test_subset_refusals_in_check_order():
    idx, docs, rng = build(2, 64, 3, 3)
    q = docs[0]
    with pytest.raises(ValueError, match="^search_asymmetric_subset: candidate list length 4 exceeds n_vectors 3; "
                                         "deduplicate repeated ids before calling$"):
        idx.search_asymmetric_subset(q, np.array([0, 0, 1, 1]), 1)
    with pytest.raises(IndexError, match=r"^candidate id 3 out of range \(index holds 3 vectors\)$"):
        idx.search_asymmetric_subset(q, np.array([0, 3]), 1)
    for bad in ([3, -1], [2 ** 32]):
        with pytest.raises(ValueError, match=f"^candidate id {bad[-1]} is out of range for a u32 index"):
            idx.search_asymmetric_subset(q, np.array(bad, np.int64), 1)
    with pytest.raises(TypeError, match="^candidate id must be a 1-D integer NumPy array"):
        idx.search_asymmetric_subset(q, np.array([0.0, 1.0]), 1)
    with pytest.raises(ValueError, match="^array must be C-contiguous"):
        idx.search_asymmetric_subset(q, np.arange(4, dtype=np.uint32)[::2], 1)
    # The query is gated before the candidates.
    with pytest.raises(ValueError, match="array width 63 does not match index dimension 64"):
        idx.search_asymmetric_subset(q[:63], np.array([9]), 1)


# ----- evaluation search ----------------------------------------------------------------

def eval_reference(corpus, queries, bits):
    d = corpus.shape[1]
    centre = (2 ** bits - 1) / 2
    s = np.sum(((np.arange(d) << bits) // d - centre) ** 2.0)
    return (codes(queries, bits) - centre) @ (codes(corpus, bits) - centre).T / s


@pytest.mark.parametrize("bits, d", [(1, 24), (3, 10), (3, 50), (5, 97), (7, 300)])
def test_eval_matches_reference(bits, d):
    rng = np.random.default_rng(bits * d)
    corpus = rng.standard_normal((120, d)).astype(np.float32)
    queries = np.vstack([corpus[4], rng.standard_normal((5, d))]).astype(np.float32)
    s, i = rankquant_eval_search(corpus, queries, bits, 12)
    assert s.shape == i.shape == (6, 12)
    check_topk(s, i, eval_reference(corpus, queries, bits), tol(d))
    assert i[0, 0] == 4 and abs(s[0, 0] - 1.0) <= 1e-6     # self-match scores 1.0


@pytest.mark.parametrize("bits, d", [(1, 64), (2, 64), (4, 64)])
def test_eval_orders_as_rankquant_search(bits, d):
    idx, docs, rng = build(bits, d, 300, 11 * bits)
    queries = rng.standard_normal((8, d)).astype(np.float32)
    es, ei = rankquant_eval_search(docs, queries, bits, 20)
    rs, ri = idx.search(queries, 20)
    assert ei.tolist() == ri.tolist()
    np.testing.assert_allclose(es, rs, rtol=1e-6)


def test_eval_checks_and_shapes():
    c = np.zeros((4, 8), np.float32)
    for bits in (0, 8):
        with pytest.raises(ValueError, match=r"^bits must be in 1\.\.=7$"):
            rankquant_eval_search(c, c, bits, 1)
    with pytest.raises(ValueError, match=r"^bits must be in 1\.\.=7$"):
        rankquant_eval_search(np.zeros((4, 1)), c, 0, 1)            # bits before width
    with pytest.raises(OverflowError):
        rankquant_eval_search(c, c, 256, 1)
    for corpus in (np.zeros((4, 1), np.float32), np.zeros((4, 1), np.float64)):
        with pytest.raises(ValueError, match=r"^corpus width must be in \[2, 65535\]$"):
            rankquant_eval_search(corpus, c, 3, 1)
    with pytest.raises(TypeError, match="got a non-array object"):
        rankquant_eval_search([[1.0, 2.0]], c, 3, 1)
    with pytest.raises(ValueError, match="array width 9 does not match index dimension 8"):
        rankquant_eval_search(c, np.zeros((2, 9), np.float32), 3, 1)
    x = np.random.default_rng(0).standard_normal((5, 8))               # float64 is converted
    assert rankquant_eval_search(x, x, 3, 0)[0].shape == (5, 0)
    assert rankquant_eval_search(x, x[:0], 3, 2)[1].shape == (0, 2)
    assert rankquant_eval_search(x, x, 3, 99)[1].shape == (5, 5)
