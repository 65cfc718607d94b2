"""A brute-force NumPy composition of the partitioned search, used as the test oracle.

``search_cells`` takes the arguments of ``kwivel._batched.search_cells`` and
answers them one query at a time from the indexes' own scoring primitives
(the Bitmap overlap of the query bitmap, the SignBitmap sign agreement, the
RankQuant subset rerank and the float64 cosines of the pipeline), doing every
selection, tie break and padding step here in NumPy:

1. rows of the query's probed cells (each cell once), minus rows not allowed;
2. shortlist: the best ``m`` by probe score of the query (with ``centre``: of
   the query scaled to unit length in float32, summing squares in index
   order, minus ``centre``) (Bitmap overlap descending /
   SignBitmap agreement descending, which is Hamming ascending), ties by lower
   caller id;
3. rerank: the best ``max(k, rescore)`` of the shortlist by the RankQuant
   asymmetric score, ties by lower caller id;
4. with ``rescore``: those by exact cosine (float64 sums, rounded to float32),
   ties by lower caller id;
5. the first ``k``, padded with ``-inf`` / ``-1``.
"""

import numpy as np

from kwivel.pipeline import _cosines


def _best(scores, ids, width):
    """Positions of the best ``width`` entries: score descending, then id ascending."""
    return np.lexsort((ids, -np.asarray(scores, dtype=np.float64)))[:width]


def _probe_query(q, centre):
    if centre is None:
        return q
    s = np.float32(0)
    for v in q:
        s = np.float32(s + v * v)
    norm = np.sqrt(s)
    unit = q * (np.float32(1) / norm) if norm > np.float32(1e-12) else np.zeros_like(q)
    return (unit - np.asarray(centre, dtype=np.float32)).astype(np.float32)


def search_cells(probe, rerank, queries, starts, cells, ids, m, k, vectors=None, rescore=0,
                 allowed=None, centre=None):
    queries = np.ascontiguousarray(queries, dtype=np.float32)
    starts = np.asarray(starts, dtype=np.int64)
    cells = np.asarray(cells, dtype=np.int64).reshape(len(queries), -1)
    n = len(probe)
    caller = np.arange(n, dtype=np.int64) if ids is None else np.asarray(ids, dtype=np.int64)
    ok = np.ones(n, dtype=bool) if allowed is None else np.asarray(allowed).astype(bool)
    keep = max(k, rescore)
    out_s = np.full((len(queries), k), -np.inf, dtype=np.float32)
    out_i = np.full((len(queries), k), -1, dtype=np.int64)
    for qi, q in enumerate(queries):
        probed = np.unique(cells[qi])
        rows = np.concatenate([np.arange(starts[c], starts[c + 1], dtype=np.int64) for c in probed])
        rows = rows[ok[rows]]
        if len(rows) == 0:
            continue
        pq = _probe_query(q, centre)
        if hasattr(probe, "build_query_bitmap_fp32"):
            pscore = probe.body_overlap_scores_subset(probe.build_query_bitmap_fp32(pq), rows)
        else:
            pscore = probe.score_all(pq)[rows]
        short = rows[_best(pscore, caller[rows], m)]
        if len(short) == 0:
            continue
        # Every shortlisted row's rerank score, then the order by caller id.
        s, r = rerank.search_asymmetric_subset(q, short, len(short))
        top = _best(s, caller[r], keep)
        s, r = s[top], r[top]
        if rescore:
            s = _cosines(vectors, r, np.broadcast_to(q, (len(r), len(q)))).astype(np.float32)
            top = _best(s, caller[r], k)
            s, r = s[top], r[top]
        w = min(k, len(r))
        out_s[qi, :w], out_i[qi, :w] = s[:w], caller[r[:w]]
    return out_s, out_i
