"""Two-stage retrieval: a bitmap shortlist, an exact rerank, optional float rescoring.

A :class:`Pipeline` joins a probe index (:class:`~kwivel.Bitmap` or
:class:`~kwivel.SignBitmap`) and a :class:`~kwivel.RankQuant` that hold the same
vectors in the same order (ids are row positions in both).  A search runs

1. the probe's batched shortlist of ``m`` candidates per query,
2. ``RankQuant.search_asymmetric_subset`` on each query's shortlist, and
3. optionally, exact cosine rescoring of the rerank's best ``rescore`` hits
   against the original float vectors (an in-memory array or a memory-mapped
   ``.npy``), keeping the best ``k``.

With kwivel's own index classes (and float32 rows when rescoring) the three
stages run in one native call, ``kwivel._batched.search_cells`` over a single
cell; otherwise the stages run here, the reranks on a thread pool.

Results are ``(scores, ids)``, ``float32`` and ``int64`` of shape ``(nq, k)``;
a row whose shortlist holds fewer than ``k`` ids is padded with ``-inf`` and
``-1``.  Within a row, higher scores come first and equal scores are ordered
by ascending id.
"""

from __future__ import annotations

import operator
import os
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Optional, Tuple

import numpy as np

from ._batched import search_cells
from ._kwivel import Bitmap, RankQuant, SignBitmap

__all__ = ["Pipeline", "exact_cosine_rescore"]

# The batched shortlist holds one 32-bit score per (query, stored vector);
# queries go to the probe in blocks that keep that buffer near this size.
_SHORTLIST_BUFFER_BYTES = 64 << 20


def _default_threads() -> int:
    env = os.environ.get("KWIVEL_NUM_THREADS", "").strip()
    if env.isdigit() and int(env) > 0:
        return int(env)
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not Linux
        return max(1, os.cpu_count() or 1)


class Pipeline:
    """Shortlist with a bitmap probe, rerank with ``RankQuant``, optionally rescore exactly.

    ``probe`` is a ``Bitmap`` or ``SignBitmap``; ``rerank`` a ``RankQuant`` holding the
    same vectors in the same order; ``vectors`` (optional) the original float vectors,
    shape ``(len(rerank), dim)``, for exact rescoring.  ``threads`` sets the size of the
    pool that runs the reranks (default: ``KWIVEL_NUM_THREADS``, else the usable CPUs).
    """

    def __init__(self, probe: Any, rerank: Any, vectors: Any = None,
                 threads: Optional[int] = None) -> None:
        if not hasattr(probe, "top_m_candidates_batched"):
            raise TypeError(f"probe must be a Bitmap or SignBitmap, got {type(probe).__name__}")
        if not hasattr(rerank, "search_asymmetric_subset"):
            raise TypeError(f"rerank must be a RankQuant, got {type(rerank).__name__}")
        if vectors is not None:
            shape = getattr(vectors, "shape", None)
            if shape is None or len(shape) != 2:
                raise ValueError("vectors must be a 2-D array of shape (n_vectors, dim)")
            if not np.issubdtype(vectors.dtype, np.floating):
                raise TypeError(f"vectors must be a floating-point array, got {vectors.dtype}")
        if threads is not None and threads < 1:
            raise ValueError("threads must be >= 1")
        self.probe = probe
        self.rerank = rerank
        self.vectors = vectors
        self.threads = threads if threads is not None else _default_threads()
        self._pool: Optional[ThreadPoolExecutor] = None
        self._pool_lock = threading.Lock()
        self._check_consistent()

    def __repr__(self) -> str:
        return (f"Pipeline(probe={self.probe!r}, rerank={self.rerank!r}, "
                f"vectors={'None' if self.vectors is None else tuple(self.vectors.shape)})")

    def __len__(self) -> int:
        return len(self.rerank)

    @property
    def dim(self) -> int:
        return int(self.rerank.dim)

    @property
    def bytes_per_vec(self) -> int:
        """Index bytes per stored vector, probe plus rerank (the float vectors not counted)."""
        return int(self.probe.bytes_per_vec) + int(self.rerank.bytes_per_vec)

    def close(self) -> None:
        """Shuts the rerank thread pool down (a later search starts a new one)."""
        with self._pool_lock:
            pool, self._pool = self._pool, None
        if pool is not None:
            pool.shutdown(wait=True)

    def __enter__(self) -> "Pipeline":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _check_consistent(self) -> None:
        # Checked on every search too: either index may have grown since.
        if self.probe.dim != self.rerank.dim:
            raise ValueError(f"probe and rerank index differ in dim: "
                             f"{self.probe.dim} vs {self.rerank.dim}")
        if len(self.probe) != len(self.rerank):
            raise ValueError(f"probe and rerank index differ in length: "
                             f"{len(self.probe)} vs {len(self.rerank)} vectors")
        if self.vectors is not None and tuple(self.vectors.shape) != (len(self.rerank), self.rerank.dim):
            raise ValueError(f"vectors have shape {tuple(self.vectors.shape)}, "
                             f"expected ({len(self.rerank)}, {self.rerank.dim})")

    def _executor(self) -> ThreadPoolExecutor:
        with self._pool_lock:
            if self._pool is None:
                self._pool = ThreadPoolExecutor(max_workers=self.threads,
                                                thread_name_prefix="kwivel-rerank")
            return self._pool

    def search(self, queries: Any, k: int, m: int,
               rescore: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
        """Top ``k`` per query from a shortlist of ``m`` candidates.

        With ``rescore = r`` (needs ``vectors``; ``r >= k``) the rerank keeps its best
        ``r`` and these are rescored by exact cosine against the float vectors; the
        returned scores are then those cosines, else the rerank's scores.
        Returns ``(scores, ids)``, ``float32`` and ``int64`` of shape ``(nq, k)``, padded
        with ``-inf`` / ``-1`` where a shortlist is shorter than ``k``."""
        k, m = _count("k", k), _count("m", m)
        if rescore is not None:
            rescore = _count("rescore", rescore)
            if self.vectors is None:
                raise ValueError("rescore needs the float vectors: pass vectors= to Pipeline")
            if rescore < k:
                raise ValueError(f"rescore ({rescore}) must be >= k ({k})")
        self._check_consistent()

        if not (isinstance(queries, np.ndarray) and queries.ndim == 2) or len(queries) == 0:
            self.probe.top_m_candidates_batched(queries, m)  # the gate's refusal, if any
            if not isinstance(queries, np.ndarray) or queries.ndim != 2:
                raise TypeError("expected a 2-D float array")
        queries = np.ascontiguousarray(queries)   # same dtype: the probe's gate still judges it
        nq = len(queries)
        scores = np.full((nq, k), -np.inf, dtype=np.float32)
        ids = np.full((nq, k), -1, dtype=np.int64)
        if nq == 0:
            return scores, ids
        if self._native_ok(rescore):
            # The whole search in one native call: the flat index is one cell.
            n = len(self.rerank)
            return search_cells(self.probe, self.rerank, queries, np.array([0, n], dtype=np.int64),
                                np.zeros((nq, 1), dtype=np.int64), None, m, k,
                                vectors=self.vectors if rescore is not None else None,
                                rescore=rescore or 0)
        # Each task shortlists its own block of queries (the probe's scan runs
        # on the calling thread with the interpreter lock released, so blocks
        # on several threads scan in parallel), then reranks and rescores it.
        # Blocks stay multiples of 8 queries (the probe's scan group) and small
        # enough for the probe's per-block score buffer.
        cap = max(8, (_SHORTLIST_BUFFER_BYTES // (4 * max(len(self.rerank), 1))) // 8 * 8)
        block = min(cap, (-(-nq // (2 * self.threads)) + 7) // 8 * 8)
        pool = self._executor()
        futures = [pool.submit(self._search_block, queries, start, min(nq, start + block),
                               k, m, rescore, scores, ids)
                   for start in range(0, nq, block)]
        errors = [f.exception() for f in futures]  # waits for every block
        for e in errors:
            if e is not None:
                raise e
        return scores, ids

    def _native_ok(self, rescore: Optional[int]) -> bool:
        """Whether search_cells runs this search: kwivel's own index classes, and
        float32 rows with contiguous coordinates when rescoring."""
        if not (isinstance(self.probe, (Bitmap, SignBitmap)) and isinstance(self.rerank, RankQuant)):
            return False
        if rescore is None:
            return True
        v = self.vectors
        return (isinstance(v, np.ndarray) and v.dtype == np.float32 and v.dtype.isnative
                and (v.shape[1] <= 1 or v.strides[1] == 4) and v.strides[0] >= 0 and v.strides[0] % 4 == 0
                and v.flags.aligned)

    def _search_block(self, queries: np.ndarray, a: int, b: int, k: int, m: int,
                      rescore: Optional[int], scores: np.ndarray, ids: np.ndarray) -> None:
        qblock = queries[a:b]
        shortlists = self.probe.top_m_candidates_batched(qblock, m)
        q32 = np.ascontiguousarray(qblock, dtype=np.float32)
        keep = k if rescore is None else rescore
        hits = [self.rerank.search_asymmetric_subset(q32[i], shortlists[i], keep)
                for i in range(b - a)]
        if rescore is None:
            for i, (s, g) in enumerate(hits):
                w = min(k, len(g))
                scores[a + i, :w] = s[:w]
                ids[a + i, :w] = g[:w]
            return
        # Exact cosine of every kept hit of the block at once.
        counts = np.array([len(g) for _, g in hits], dtype=np.int64)
        if counts.sum() == 0:
            return
        owner = np.repeat(np.arange(b - a), counts)
        gids = np.concatenate([g for _, g in hits])
        cos = _cosines(self.vectors, gids, q32[owner]).astype(np.float32)
        order = np.lexsort((gids, -cos, owner))          # per query: best first, then lower id
        starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
        for i in range(b - a):
            w = min(k, int(counts[i]))
            sel = order[starts[i]:starts[i] + w]
            scores[a + i, :w] = cos[sel]
            ids[a + i, :w] = gids[sel]


def _cosines(vectors: Any, rows: np.ndarray, queries: np.ndarray) -> np.ndarray:
    """Exact cosine of ``vectors[rows[j]]`` with ``queries[j]``, summed in float64; 0 for a
    zero vector.  The float32 rows are read once and widened inside the sums."""
    x = np.asarray(vectors[rows])
    q = np.asarray(queries)
    dots = np.einsum("ij,ij->i", x, q, dtype=np.float64)
    norms = np.sqrt(np.einsum("ij,ij->i", x, x, dtype=np.float64)
                    * np.einsum("ij,ij->i", q, q, dtype=np.float64))
    out = np.zeros(len(rows), dtype=np.float64)
    np.divide(dots, norms, out=out, where=norms > 0)
    return out


def exact_cosine_rescore(vectors: Any, query: np.ndarray, ids: np.ndarray) -> np.ndarray:
    """Exact cosine, in float64, between one query and the rows ``ids`` of ``vectors``.

    A zero vector (query or row) has cosine 0 with everything."""
    ids = np.asarray(ids)
    return _cosines(vectors, ids, np.broadcast_to(np.asarray(query), (len(ids), len(query))))


def _count(name: str, value: Any) -> int:
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, got {type(value).__name__}") from None
    if v < 0:
        raise ValueError(f"{name} must be >= 0, got {v}")
    return v

