"""`Rank` index storage: construction, bookkeeping, stored ranks, swap_remove, search results.

Stored ranks are observed through `search`: the symmetric score is the
Spearman correlation between query ranks and stored ranks, so a stored row
scores 1.0 against a query with identical ranks, and the full score matrix
can be compared with a NumPy reference.
"""

import itertools

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy import stats

from kwivel import MAX_DIM, Rank

from conftest import (
    DIM_RANGE,
    check_search_against_oracle,
    is_perfect,
    oracle_ranks,
    oracle_scores,
)


def _rows(rng, n, dim, ties=False):
    x = rng.standard_normal((n, dim)).astype(np.float32)
    if ties:
        x[:, : dim // 2] = np.round(x[:, : dim // 2])
    return x


def _full_search(r, queries):
    return r.search(np.ascontiguousarray(queries, dtype=np.float32), len(r))


# --------------------------------------------------------------------------
# Construction and bookkeeping
# --------------------------------------------------------------------------

class TestConstruction:
    @pytest.mark.parametrize("dim", [2, 3, 768, MAX_DIM])
    def test_valid_dims(self, dim):
        r = Rank(dim)
        assert r.dim == dim
        assert len(r) == 0
        assert r.is_empty() is True
        assert r.bytes_per_vec == 2 * dim
        assert r.byte_size == 0
        assert repr(r) == f"Rank(dim={dim}, n=0)"

    @pytest.mark.parametrize("dim", [0, 1, MAX_DIM + 1, 2 ** 32, 2 ** 63, 2 ** 64 - 1])
    def test_invalid_dims(self, dim):
        with pytest.raises(ValueError) as info:
            Rank(dim)
        assert str(info.value) == DIM_RANGE

    def test_instances_are_independent(self, rng):
        a, b = Rank(4), Rank(4)
        a.add(_rows(rng, 3, 4))
        assert (len(a), len(b)) == (3, 0)
        assert b.is_empty() and not a.is_empty()


@pytest.mark.parametrize("dim", [2, 5, 64])
def test_bookkeeping_tracks_adds_and_removes(rng, dim):
    r = Rank(dim)
    n = 0
    for batch in [1, 0, 4, 7, 0, 2]:
        assert r.add(_rows(rng, batch, dim)) is None
        n += batch
        assert len(r) == n
        assert r.is_empty() is (n == 0)
        assert r.dim == dim
        assert r.bytes_per_vec == 2 * dim
        assert r.byte_size == 2 * n * dim
        assert repr(r) == f"Rank(dim={dim}, n={n})"
    while n:
        r.swap_remove(n // 2)
        n -= 1
        assert len(r) == n
        assert r.byte_size == 2 * n * dim
        assert repr(r) == f"Rank(dim={dim}, n={n})"
    assert r.is_empty() is True


def test_empty_add_is_noop(rng):
    r = Rank(4)
    assert r.add(np.zeros((0, 4), np.float32)) is None
    assert len(r) == 0
    x = _rows(rng, 3, 4)
    r.add(x)
    before = _full_search(r, x)
    for dtype in (np.float16, np.float32, np.float64):
        assert r.add(np.zeros((0, 4), dtype)) is None
    assert len(r) == 3
    after = _full_search(r, x)
    np.testing.assert_array_equal(before[0], after[0])
    np.testing.assert_array_equal(before[1], after[1])


# --------------------------------------------------------------------------
# Stored ranks
# --------------------------------------------------------------------------

def _perm_queries(d):
    return np.array(list(itertools.permutations(range(d))), dtype=np.float32)


@pytest.mark.parametrize(
    "row, ranks",
    [
        ([1.0, 0.5, 1.0, 0.5], [2, 0, 3, 1]),
        ([0.0, -0.0, 0.0, -0.0], [0, 1, 2, 3]),
        ([-1.0, -2.0, -3.0, -4.0], [3, 2, 1, 0]),
        ([5.0, 5.0, -5.0, 5.0], [1, 2, 0, 3]),
    ],
)
def test_stored_ranks_exact(row, ranks):
    """Among all 24 rank patterns, exactly the expected one matches the stored row."""
    r = Rank(4)
    r.add(np.array([row], np.float32))
    queries = _perm_queries(4)
    scores, ids = r.search(queries, 1)
    assert ids.ravel().tolist() == [0] * 24
    hits = [q.astype(int).tolist() for q, s in zip(queries, scores[:, 0]) if is_perfect(s)]
    assert hits == [ranks]
    np.testing.assert_allclose(
        scores[:, 0],
        [stats.spearmanr(q, ranks)[0] for q in queries], rtol=0, atol=1e-6,
    )


@pytest.mark.parametrize(
    "dtype, row, ranks",
    [
        # float64-distinct values that tie once rounded to float32
        (np.float64, [1.0 + 1e-12, 1.0, 0.5, 2.0], [1, 2, 0, 3]),
        (np.dtype(">f8"), [1.0 + 1e-12, 1.0, 0.5, 2.0], [1, 2, 0, 3]),
        (np.float64, [1e-50, -1e-50, 0.0, 1.0], [0, 1, 2, 3]),
        (np.float16, [0.1, 0.2, -0.3, 0.1], [1, 3, 0, 2]),
        (np.dtype(">f4"), [3.0, -2.0, 1.0, 0.0], [3, 0, 2, 1]),
    ],
    ids=["f8-collapse", ">f8-collapse", "f8-signed-zero", "f2", ">f4"],
)
def test_conversions_store_float32_ranks(dtype, row, ranks):
    r = Rank(4)
    r.add(np.array([row, row], dtype=dtype))
    scores, ids = r.search(np.array([ranks], np.float32), 2)
    assert is_perfect(scores).all()
    assert sorted(ids[0].tolist()) == [0, 1]
    # and querying with the same non-float32 array sees the same roundings
    scores, _ = r.search(np.array([row], dtype=dtype), 1)
    assert is_perfect(scores[0, 0])


@pytest.mark.parametrize("dtype", [np.float16, np.float64, np.dtype(">f4"), np.dtype(">f8")],
                         ids=["f2", "f8", ">f4", ">f8"])
def test_non_float32_adds_equal_float32_adds(rng, dtype):
    docs = rng.standard_normal((40, 12)) * 10
    docs[:, :4] = np.round(docs[:, :4])
    docs[:, 4] = 1.0 + rng.integers(0, 3, 40) * 1e-12  # distinct only in float64
    docs = docs.astype(dtype)
    queries = rng.standard_normal((6, 12)).astype(np.float32)
    converted, native = Rank(12), Rank(12)
    converted.add(docs)
    native.add(docs.astype(np.float32))
    a, b = converted.search(queries, 40), native.search(queries, 40)
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])
    check_search_against_oracle(a[0], a[1], oracle_scores(queries, docs), 40)


@given(
    data=st.data(),
    dim=st.integers(2, 24),
    n=st.integers(1, 30),
    nq=st.integers(0, 6),
    k=st.integers(0, 40),
    query_dtype=st.sampled_from([np.float32, np.float64, np.float16]),
)
def test_search_matches_spearman_oracle(data, dim, n, nq, k, query_dtype):
    value = st.one_of(
        st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.5]),  # frequent ties
        st.floats(-1e6, 1e6, allow_nan=False, width=32),
    )
    docs = data.draw(hnp.arrays(np.float32, (n, dim), elements=value), label="docs")
    queries = data.draw(hnp.arrays(query_dtype, (nq, dim), elements=st.floats(-1e4, 1e4, width=16)),
                        label="queries")
    r = Rank(dim)
    r.add(docs)
    scores, ids = r.search(queries, k)
    expected = oracle_scores(queries, docs)
    check_search_against_oracle(scores, ids, expected, k)


@pytest.mark.parametrize("dim", [2, 3, 17, 768, 1031])
def test_search_against_scipy(rng, dim):
    docs = _rows(rng, 40, dim, ties=True)
    queries = _rows(rng, 4, dim, ties=True)
    r = Rank(dim)
    r.add(docs)
    scores, ids = r.search(queries, 40)
    expected = oracle_scores(queries, docs)
    check_search_against_oracle(scores, ids, expected, 40)
    rq, rd = oracle_ranks(queries), oracle_ranks(docs)
    for q in range(len(queries)):
        rho = np.array([stats.spearmanr(rq[q], rd[i])[0] for i in ids[q]])
        np.testing.assert_allclose(scores[q], rho, rtol=0, atol=1e-6)


@pytest.mark.parametrize("dim", [2, 4, 300, MAX_DIM])
def test_stored_rows_are_permutations(rng, dim):
    """Every stored row is a permutation: each scores 1.0 against its own ranks."""
    n = 3 if dim == MAX_DIM else 25
    docs = _rows(rng, n, dim, ties=True)
    docs[0] = 0.0  # all-equal row: identity ranks
    r = Rank(dim)
    r.add(docs)
    scores, ids = r.search(oracle_ranks(docs).astype(np.float32), 1)
    assert is_perfect(scores[:, 0]).all()
    if dim > 4:
        np.testing.assert_array_equal(ids[:, 0], np.arange(n))
    # reversed ranks anti-correlate perfectly with the identity row
    rev = np.arange(dim, 0, -1, dtype=np.float32)[None, :]
    s, i = r.search(rev, n)
    check_search_against_oracle(s, i, oracle_scores(rev, docs), n)
    np.testing.assert_allclose(s[0, np.flatnonzero(i[0] == 0)[0]], -1.0, rtol=0, atol=1e-6)


def test_incremental_adds_equal_single_add(rng):
    docs = _rows(rng, 30, 8, ties=True)
    queries = _rows(rng, 5, 8)
    one = Rank(8)
    one.add(docs)
    many = Rank(8)
    for chunk in np.array_split(docs, [1, 2, 10, 10, 29]):
        many.add(chunk)
    a, b = one.search(queries, 30), many.search(queries, 30)
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


def test_input_array_not_modified(rng):
    docs = _rows(rng, 10, 6)
    queries = _rows(rng, 3, 6)
    d0, q0 = docs.copy(), queries.copy()
    r = Rank(6)
    r.add(docs)
    r.search(queries, 4)
    np.testing.assert_array_equal(docs, d0)
    np.testing.assert_array_equal(queries, q0)
    docs[:] = 0  # mutating the caller's array afterwards must not reach the index
    assert is_perfect(r.search(d0, 1)[0][:, 0]).all()


@pytest.mark.parametrize("dim", [2, 3, 4, 9, 768, MAX_DIM])
def test_self_score_is_one_up_to_rounding(dim):
    """Identical ranks score 1 and reversed ranks -1, within the float32
    rounding of the fixed scale (exactly for dim 4)."""
    x = np.arange(dim, dtype=np.float32)[None, :]
    r = Rank(dim)
    r.add(np.concatenate([x, -x]))
    scores, ids = r.search(x, 2)
    assert ids[0].tolist() == [0, 1]
    np.testing.assert_allclose(scores[0], [1.0, -1.0], rtol=0, atol=3e-7)
    if dim == 4:
        assert scores[0].tolist() == [1.0, -1.0]


# --------------------------------------------------------------------------
# search result shape and arrays
# --------------------------------------------------------------------------

@pytest.mark.parametrize("n, nq, k", [(5, 2, 3), (5, 2, 5), (5, 2, 9), (5, 2, 0), (0, 3, 4), (5, 0, 2)])
def test_search_result_shapes(rng, n, nq, k):
    r = Rank(4)
    r.add(_rows(rng, n, 4))
    scores, ids = r.search(_rows(rng, nq, 4), k)
    kk = min(k, n)
    assert scores.shape == (nq, kk) and ids.shape == (nq, kk)
    assert scores.dtype == np.float32
    assert np.issubdtype(ids.dtype, np.integer)


def test_search_result_arrays_are_owned_and_detached(rng):
    docs = _rows(rng, 12, 8)
    r = Rank(8)
    r.add(docs)
    result = r.search(docs[:3], 4)
    assert isinstance(result, tuple) and len(result) == 2
    for arr in result:
        assert arr.flags.writeable
        assert arr.flags.c_contiguous
        assert arr.base is not None
        assert not arr.flags.owndata
    keep = (result[0].copy(), result[1].copy())
    result[0][...] = -7.0
    result[1][...] = 11
    again = r.search(docs[:3], 4)
    np.testing.assert_array_equal(again[0], keep[0])
    np.testing.assert_array_equal(again[1], keep[1])
    # results of separate calls never share memory
    assert not np.shares_memory(again[0], result[0])
    assert not np.shares_memory(again[1], result[1])
    del r  # results outlive the index
    np.testing.assert_array_equal(again[0], keep[0])


# --------------------------------------------------------------------------
# swap_remove
# --------------------------------------------------------------------------

def _distinct_rows(rng, n, dim):
    """Rows with pairwise distinct rank patterns (so each row has exactly one 1.0 match)."""
    while True:
        x = rng.standard_normal((n, dim)).astype(np.float32)
        if len({tuple(r) for r in oracle_ranks(x).tolist()}) == n:
            return x


def _owner_of(r, row):
    scores, ids = r.search(row[None, :], len(r))
    hits = ids[0][is_perfect(scores[0])].tolist()
    assert len(hits) == 1
    return hits[0]


def test_swap_remove_moves_last_row(rng):
    x = _distinct_rows(rng, 3, 8)
    r = Rank(8)
    r.add(x)
    assert r.swap_remove(0) == 2
    assert len(r) == 2
    assert _owner_of(r, x[2]) == 0
    assert _owner_of(r, x[1]) == 1
    assert not is_perfect(r.search(x[0][None, :], 2)[0]).any()
    # removing the last row moves nothing; the returned old index is that row
    assert r.swap_remove(1) == 1
    assert len(r) == 1
    assert _owner_of(r, x[2]) == 0
    assert r.swap_remove(0) == 0
    assert r.is_empty()


@pytest.mark.parametrize("n, idx", [(0, 0), (0, 5), (1, 1), (3, 3), (3, 2 ** 63), (3, 2 ** 64 - 1)])
def test_swap_remove_out_of_range(rng, n, idx):
    r = Rank(4)
    r.add(_rows(rng, n, 4))
    with pytest.raises(IndexError) as info:
        r.swap_remove(idx)
    assert str(info.value) == f"index {idx} out of range (index holds {n} vectors)"
    assert len(r) == n


@given(st.lists(st.one_of(st.tuples(st.just("add"), st.integers(0, 4)),
                          st.tuples(st.just("remove"), st.integers(0, 12))),
                max_size=12),
       st.integers(0, 2 ** 32 - 1))
def test_add_remove_sequences_match_list_model(ops, seed):
    dim = 6
    rng = np.random.default_rng(seed)
    r = Rank(dim)
    model = []
    for op, arg in ops:
        if op == "add":
            x = rng.standard_normal((arg, dim)).astype(np.float32)
            x[:, :2] = np.round(x[:, :2])
            r.add(x)
            model.extend(x)
        elif arg < len(model):
            last = len(model) - 1
            assert r.swap_remove(arg) == last
            model[arg] = model[last]
            model.pop()
        else:
            with pytest.raises(IndexError):
                r.swap_remove(arg)
        assert len(r) == len(model)
    if not model:
        assert r.is_empty()
        return
    docs = np.array(model, dtype=np.float32)
    probes = np.concatenate([docs, rng.standard_normal((2, dim)).astype(np.float32)])
    scores, ids = r.search(probes, len(model))
    check_search_against_oracle(scores, ids, oracle_scores(probes, docs), len(model))
