"""Rank.search and Rank.search_asymmetric against scipy / float64 numpy oracles."""

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
import scipy.stats

from kwivel import Rank


def ranks_of(x):
    x = np.asarray(x, np.float32) + np.float32(0.0)
    return np.argsort(np.argsort(x, axis=1, kind="stable"), axis=1, kind="stable")


def cosine_reference(queries, docs):
    """float64 cosine between unit queries and centred document ranks."""
    q = np.asarray(queries, np.float64)
    norms = np.linalg.norm(q, axis=1, keepdims=True)
    u = np.divide(q, norms, out=np.zeros_like(q), where=norms > 1e-12)
    c = ranks_of(docs).astype(np.float64)
    c -= (c.shape[1] - 1) / 2
    c /= np.linalg.norm(c[0]) if len(c) else 1.0
    return u @ c.T


def assert_better_first(scores, ids):
    for s, i in zip(scores, ids):
        order = np.lexsort((i, -s.astype(np.float64)))
        np.testing.assert_array_equal(order, np.arange(len(s)))


@pytest.fixture
def corpus(rng):
    docs = rng.standard_normal((400, 96)).astype(np.float32)
    docs[10] = docs[3]  # duplicate rows tie and must list by ascending id
    docs[20, :10] = 0.25  # ties within a row
    queries = rng.standard_normal((6, 96)).astype(np.float32)
    queries[1] = docs[3]
    queries[2] = 0.0  # all-zero query
    return docs, queries


def test_symmetric_scores_are_spearman(corpus):
    docs, queries = corpus
    idx = Rank(96)
    idx.add(docs)
    scores, ids = idx.search(queries, len(docs))
    assert scores.dtype == np.float32 and ids.dtype == np.int64
    qr, dr = ranks_of(queries), ranks_of(docs)
    for qi in range(len(queries)):
        expected = np.array([scipy.stats.spearmanr(qr[qi], dr[j])[0] for j in ids[qi]])
        np.testing.assert_allclose(scores[qi], expected, rtol=0, atol=3e-7)
        assert sorted(ids[qi].tolist()) == list(range(len(docs)))
    assert_better_first(scores, ids)
    # a stored row found with itself, duplicates by ascending id
    assert ids[1, :2].tolist() == [3, 10] and scores[1, 0] == scores[1, 1]


def test_asymmetric_scores_are_cosine_to_centred_ranks(corpus):
    docs, queries = corpus
    idx = Rank(96)
    idx.add(docs)
    scores, ids = idx.search_asymmetric(queries, len(docs))
    ref = cosine_reference(queries, docs)
    for qi in range(len(queries)):
        np.testing.assert_allclose(scores[qi], ref[qi, ids[qi]], rtol=0, atol=2e-6)
    assert_better_first(scores, ids)
    assert (scores[2] == 0.0).all() and ids[2].tolist() == list(range(len(docs)))


@pytest.mark.parametrize("method", ["search", "search_asymmetric"])
def test_known_small_case(method):
    idx = Rank(4)
    idx.add(np.array([[0.1, 0.2, 0.3, 0.4]], np.float32))
    if method == "search":
        assert idx.search(np.array([[1, 2, 3, 4]], np.float32), 1)[0].tolist() == [[1.0]]
        assert idx.search(np.array([[4, 3, 2, 1]], np.float32), 1)[0].tolist() == [[-1.0]]
    else:
        s = idx.search_asymmetric(np.array([[-3, -1, 1, 3]], np.float32), 1)[0]
        np.testing.assert_allclose(s, [[1.0]], atol=1e-6)


@pytest.mark.parametrize("method", ["search", "search_asymmetric"])
@pytest.mark.parametrize("n, nq, k, shape", [(0, 3, 5, (3, 0)), (7, 3, 0, (3, 0)), (7, 0, 4, (0, 4)), (7, 2, 50, (2, 7))])
def test_result_shapes(method, n, nq, k, shape, rng):
    idx = Rank(16)
    idx.add(rng.standard_normal((n, 16)).astype(np.float32))
    s, i = getattr(idx, method)(rng.standard_normal((nq, 16)).astype(np.float32), k)
    assert s.shape == shape and i.shape == shape
    assert s.dtype == np.float32 and i.dtype == np.int64
    assert s.flags.c_contiguous and s.flags.writeable and i.flags.c_contiguous


@pytest.mark.parametrize("method", ["search", "search_asymmetric"])
def test_batch_equals_single_queries_bit_for_bit(method, rng):
    idx = Rank(768)
    idx.add(rng.standard_normal((3000, 768)).astype(np.float32))
    queries = rng.standard_normal((37, 768)).astype(np.float32)
    s, i = getattr(idx, method)(queries, 10)
    for q in range(0, 37, 6):
        s1, i1 = getattr(idx, method)(queries[q:q + 1], 10)
        assert s1.tobytes() == s[q].tobytes() and i1.tobytes() == i[q].tobytes()


_THREADS_SCRIPT = textwrap.dedent("""
    import hashlib, sys, numpy as np, kwivel
    rng = np.random.default_rng(5)
    docs = rng.standard_normal((2500, 320)).astype(np.float32)
    queries = rng.standard_normal((41, 320)).astype(np.float32)
    h = hashlib.sha256()
    for cls in (kwivel.Rank, lambda d: kwivel.RankQuant(d, 4), lambda d: kwivel.RankQuant(d, 2)):
        idx = cls(320)
        idx.add(docs)
        for name in ("search", "search_asymmetric"):
            if hasattr(idx, name):
                for a in getattr(idx, name)(queries, 25):
                    h.update(a.tobytes())
    print(h.hexdigest())
""")


def test_results_do_not_depend_on_thread_count():
    digests = set()
    for threads in ("1", "2", "5"):
        env = dict(os.environ, KWIVEL_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", _THREADS_SCRIPT], env=env, check=True,
                             capture_output=True, text=True)
        digests.add(out.stdout.strip())
    assert len(digests) == 1


def test_add_refused_while_a_search_holds_its_claim(rng):
    # The search takes its claim before converting `k`; a `k` whose
    # conversion waits on an event holds the search inside its call for as
    # long as the test needs, with no timing involved.
    idx = Rank(768)
    idx.add(rng.standard_normal((2000, 768)).astype(np.float32))
    queries = rng.standard_normal((40, 768)).astype(np.float32)
    extra = rng.standard_normal((1, 768)).astype(np.float32)
    inside, release = threading.Event(), threading.Event()

    class HeldK:
        def __index__(self):
            inside.set()
            release.wait(30)
            return 10

    result = {}
    t = threading.Thread(target=lambda: result.update(r=idx.search_asymmetric(queries, HeldK())))
    t.start()
    try:
        assert inside.wait(30)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            idx.add(extra)
        assert len(idx) == 2000
    finally:
        release.set()
        t.join()
    assert result["r"][1].shape == (40, 10)
    idx.add(extra)  # succeeds once the search has returned
    assert len(idx) == 2001
