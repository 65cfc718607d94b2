"""kwivel._batched.search_cells against a brute-force composition of its stages.

The reference recomputes the probe scores from NumPy bit operations on
bitmaps built in NumPy (top-n coordinates, signs), takes the rerank scores
from RankQuant.search_asymmetric_subset on the reference's own shortlist,
and the cosines in NumPy float64; every stage orders ties by caller id.
"""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest

from kwivel import Bitmap, RankQuant, SignBitmap
from kwivel._batched import search_cells, top_cells


def row_bits(x, kind, n_top, query):
    """Boolean bitmaps: signs, or the n_top largest coordinates (cut ties to the
    lower index for queries, the higher one for stored rows)."""
    if kind == "sign":
        return x > 0
    d = x.shape[1]
    idx = np.arange(d)
    out = np.zeros(x.shape, dtype=bool)
    for i, v in enumerate(x):
        order = np.lexsort((idx if query else -idx, -v))
        out[i, order[:n_top]] = True
    return out


def reference(kind, n_top, rerank, docs, queries, starts, cells, ids, m, k, rescore, allowed):
    n, dim = docs.shape
    rbits = row_bits(docs, kind, n_top, False)
    qbits = row_bits(queries, kind, n_top, True)
    out_s = np.full((len(queries), k), -np.inf, dtype=np.float32)
    out_i = np.full((len(queries), k), -1, dtype=np.int64)
    for q in range(len(queries)):
        rows = np.concatenate([np.arange(starts[c], starts[c + 1]) for c in np.unique(cells[q])]).astype(np.int64)
        if allowed is not None:
            rows = rows[allowed[rows] != 0]
        if kind == "sign":
            dist = (qbits[q] != rbits[rows]).sum(axis=1)
        else:
            dist = -(qbits[q] & rbits[rows]).sum(axis=1)
        short = rows[np.lexsort((ids[rows], dist))[:m]]
        keep = max(k, rescore)
        s, g = rerank.search_asymmetric_subset(queries[q], short, len(short))
        order = np.lexsort((ids[g], -s))[:keep]
        s, g = s[order], g[order]
        if rescore:
            x = docs[g].astype(np.float64)
            qq = queries[q].astype(np.float64)
            norms = np.sqrt((x * x).sum(axis=1) * (qq @ qq))
            s = np.where(norms > 0, (x @ qq) / np.where(norms > 0, norms, 1), 0.0).astype(np.float32)
            order = np.lexsort((ids[g], -s))
            s, g = s[order], g[order]
        w = min(k, len(g))
        out_s[q, :w] = s[:w]
        out_i[q, :w] = ids[g[:w]]
    return out_s, out_i


def corpus(rng, kind, bits, n, dim=64):
    docs = rng.standard_normal((n, dim)).astype(np.float32)
    if n > 4:
        docs[rng.integers(0, n, n // 3)] = docs[0]          # duplicated rows: ties at every stage
    n_top = dim // 4
    probe = SignBitmap(dim) if kind == "sign" else Bitmap(dim, n_top)
    rerank = RankQuant(dim, bits)
    probe.add(docs)
    rerank.add(docs)
    return docs, probe, rerank, n_top


@pytest.mark.parametrize("kind", ["bitmap", "sign"])
@pytest.mark.parametrize("seed", range(16))
@pytest.mark.parametrize("id_map", [True, False])   # without one, rows arrive in id order
def test_matches_reference(kind, seed, id_map):
    rng = np.random.default_rng(seed)
    n = int(rng.choice([1, 7, 60, 240, 1500]))
    bits = int(rng.choice([1, 2, 4]))
    docs, probe, rerank, n_top = corpus(rng, kind, bits, n)
    n_cells = int(rng.integers(1, 9))
    cuts = np.sort(rng.integers(0, n + 1, n_cells - 1))
    starts = np.concatenate([[0], cuts, [n]]).astype(np.int64)
    nq = int(rng.integers(1, 21)) if seed % 4 else 90       # many queries per cell: bit-sliced blocks
    queries = docs[rng.integers(0, n, nq)] + 0.5 * rng.standard_normal((nq, 64)).astype(np.float32)
    queries[0] = docs[0]
    cells = rng.integers(0, n_cells, (nq, int(rng.integers(1, 4)))).astype(np.int64)
    ids = (rng.permutation(n) * 3 - 50).astype(np.int64) if id_map else None
    allowed = (rng.random(n) < 0.8).astype(np.uint8) if seed % 3 == 0 else None
    m = int(rng.choice([0, 1, 3, 20, 50, n + 5], p=[0.05, 0.1, 0.15, 0.3, 0.2, 0.2]))
    k = int(rng.choice([0, 1, 5, 10, 30], p=[0.05, 0.15, 0.3, 0.3, 0.2]))
    rescore = int(rng.choice([0, k, k + 7]))
    vectors = docs if rescore else (docs if seed % 2 else None)
    got = search_cells(probe, rerank, queries, starts, cells, ids, m, k,
                       vectors=vectors, rescore=rescore, allowed=allowed)
    want = reference(kind, n_top, rerank, docs, queries, starts, cells,
                     np.arange(n, dtype=np.int64) if ids is None else ids, m, k, rescore, allowed)
    assert got[0].dtype == np.float32 and got[1].dtype == np.int64
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_array_equal(got[0], want[0])


_THREADS_SCRIPT = """
import numpy as np, sys
from kwivel import Bitmap, SignBitmap, RankQuant
from kwivel._batched import search_cells
rng = np.random.default_rng(3)
docs = rng.standard_normal((3000, 128)).astype(np.float32)
q = rng.standard_normal((37, 128)).astype(np.float32)
starts = np.linspace(0, 3000, 21).astype(np.int64)
cells = rng.integers(0, 20, (37, 4)).astype(np.int64)
for probe in (Bitmap(128, 32), SignBitmap(128)):
    rq = RankQuant(128, 4)
    probe.add(docs); rq.add(docs)
    s, i = search_cells(probe, rq, q, starts, cells, None, 50, 10, vectors=docs, rescore=20)
    sys.stdout.write(s.tobytes().hex() + i.tobytes().hex() + "\\n")
"""


def test_thread_count_does_not_change_results():
    outs = []
    for threads in ("1", "4"):
        env = dict(os.environ, KWIVEL_NUM_THREADS=threads)
        outs.append(subprocess.run([sys.executable, "-c", _THREADS_SCRIPT], env=env, check=True,
                                   capture_output=True, text=True).stdout)
    assert outs[0] == outs[1] and len(outs[0]) > 1000


def _args(rng):
    docs, probe, rerank, _ = corpus(rng, "bitmap", 4, 30)
    return dict(probe=probe, rerank=rerank, queries=docs[:3], starts=np.array([0, 10, 30]),
                cells=np.zeros((3, 1), np.int64), ids=None, m=10, k=3)


@pytest.mark.parametrize("change, exc, text", [
    (dict(probe=RankQuant(64, 4)), TypeError, "probe must be a Bitmap or SignBitmap"),
    (dict(rerank="x"), TypeError, "rerank must be a RankQuant"),
    (dict(queries=np.zeros((3, 32), np.float32)), ValueError, ""),
    (dict(queries=np.full((3, 64), np.nan, np.float32)), ValueError, ""),
    (dict(starts=np.array([0.0, 30.0])), TypeError, "starts must be an integer array"),
    (dict(starts=np.array([1, 30])), ValueError, "starts[0] must be 0"),
    (dict(starts=np.array([0, 20, 10, 30])), ValueError, "non-decreasing"),
    (dict(starts=np.array([0, 29])), ValueError, "starts[-1]"),
    (dict(cells=np.full((3, 1), 2)), ValueError, "cells must lie in"),
    (dict(cells=np.full((3, 1), -1)), ValueError, "cells must lie in"),
    (dict(cells=np.zeros((2, 1), np.int64)), ValueError, "cells has 2 rows"),
    (dict(cells=np.zeros(3, np.int64)), ValueError, "cells must be a 2-D array"),
    (dict(ids=np.arange(29)), ValueError, "ids has 29 entries"),
    (dict(rescore=5), ValueError, "rescore needs the float vectors"),
    (dict(rescore=2, vectors=np.zeros((30, 64), np.float32)), ValueError, "must be >= k"),
    (dict(vectors=np.zeros((30, 64))), TypeError, "vectors must be a float32 array"),
    (dict(vectors=np.zeros((29, 64), np.float32)), ValueError, "vectors must have shape"),
    (dict(allowed=np.ones(30, np.int32)), TypeError, "allowed must be a uint8 or bool array"),
    (dict(allowed=np.ones(29, bool)), ValueError, "allowed must have shape"),
    (dict(m=-1), OverflowError, ""),
    (dict(centre=np.zeros(63, np.float32)), ValueError, ""),
    (dict(centre=np.full(64, np.inf, np.float32)), ValueError, ""),
])
def test_errors(change, exc, text):
    args = _args(np.random.default_rng(0))
    args.update(change)
    with pytest.raises(exc, match=None if not text else __import__("re").escape(text)):
        search_cells(**args)


class HeldInt:
    """An integer whose conversion waits: the call sits inside its claims."""

    def __init__(self, value):
        self.value, self.inside, self.release = value, threading.Event(), threading.Event()

    def __index__(self):
        self.inside.set()
        assert self.release.wait(60)
        return self.value


@pytest.mark.parametrize("target", ["probe", "rerank"])
def test_concurrent_add_is_refused(target):
    args = _args(np.random.default_rng(1))
    held = HeldInt(10)
    args["m"] = held
    result = {}
    t = threading.Thread(target=lambda: result.setdefault("v", search_cells(**args)), daemon=True)
    t.start()
    assert held.inside.wait(60)
    try:
        with pytest.raises(RuntimeError, match="Already borrowed"):
            args[target].add(np.ones((1, 64), np.float32))
    finally:
        held.release.set()
        t.join(60)
    assert result["v"][1].shape == (3, 3)
    assert len(args["probe"]) == len(args["rerank"]) == 30


@pytest.mark.parametrize("kind", ["bitmap", "sign"])
@pytest.mark.parametrize("id_map", [True, False])
def test_large_cells_short_lists(kind, id_map):
    """Cells far larger than the shortlist and than a scan tile: the running bound drops most rows."""
    rng = np.random.default_rng(5)
    docs, probe, rerank, n_top = corpus(rng, kind, 4, 20000)
    queries = docs[:6] + 0.1 * rng.standard_normal((6, 64)).astype(np.float32)
    starts = np.array([0, 17000, 17100, 20000], dtype=np.int64)
    cells = np.array([[0], [1], [2], [0], [2], [1]], dtype=np.int64)[:, [0, 0]]
    cells[3:, 1] = [1, 0, 0]
    ids = rng.permutation(20000).astype(np.int64)
    for m, k in ((1, 1), (5, 3), (200, 30)):
        got = search_cells(probe, rerank, queries, starts, cells, ids if id_map else None, m, k)
        want = reference(kind, n_top, rerank, docs, queries, starts, cells,
                         ids if id_map else np.arange(20000, dtype=np.int64), m, k, 0, None)
        np.testing.assert_array_equal(got[1], want[1])
        np.testing.assert_array_equal(got[0], want[0])


@pytest.mark.parametrize("rows,cols,width", [(0, 5, 2), (7, 1, 1), (40, 300, 17), (3, 50, 50), (5, 9, 0)])
def test_top_cells_against_lexsort(rows, cols, width):
    rng = np.random.default_rng(rows * 1000 + cols)
    # Few distinct values (many ties), signed zeros and infinities.
    scores = rng.choice(np.array([-np.inf, -1.5, -0.0, 0.0, 0.25, 0.25, 2.0, np.inf], np.float32), (rows, cols))
    want = np.array([np.lexsort((np.arange(cols), np.signbit(s) & (s == 0), -s.astype(np.float64)))[:width]
                     for s in scores], dtype=np.int64).reshape(rows, width)
    np.testing.assert_array_equal(top_cells(scores, width), want)
    with pytest.raises(ValueError, match="exceeds the columns"):
        top_cells(scores, cols + 1)
