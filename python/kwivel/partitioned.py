"""A partitioned index: vectors grouped into cells by spherical k-means, searched cell by cell.

``PartitionedIndex.build`` trains ``n_cells`` centroids on a sample of the
L2-normalised vectors (faiss's k-means with spherical centroids), assigns every
vector to its nearest centroid (largest cosine, ties to the lower cell id) and
stores the rows cell by cell: cell ``c`` is the contiguous row range
``starts[c]:starts[c + 1]`` of the probe (a ``Bitmap`` or ``SignBitmap``), of
the rerank (a ``RankQuant``, 4 bits by default) and, if kept, of the float rows
(``vectors``, memory-mapped once the index is saved).  ``ids`` maps rows to the
caller's ids (int64, unique; 0..n-1 by default); ``rows_of`` maps back.

The probe holds the rows centred: each row scaled to unit length minus
``centre``, the mean of the unit rows of the training sample (queries are
centred the same way before their probe bitmaps are built).  Embeddings often
share a large common direction (fastText sentence vectors: a mean of length
0.7 against unit rows), and the top coordinates of a raw row mostly name that
direction; centred, they name what tells the rows apart, so a much shorter
shortlist holds the true neighbours.  For unit rows the centring changes no
inner-product order (q . (x - c) = q . x - q . c), and the rerank and the
rescoring still score the rows as given.

A search takes the ``nprobe`` cells whose centroids are nearest each query
(normalised queries @ centroids.T, ties to the lower cell id) and then makes
one native call, ``kwivel._batched.search_cells``: a shortlist of the best
``m`` rows over all probed cells together by probe score, their RankQuant
asymmetric scores, and, with the float rows, an exact cosine rescoring of the
rerank's best ``rescore``.  Every tie goes to the lower caller id, and the
answer is the same for any thread count and kernel tier.

``add`` assigns new vectors to the existing cells and re-lays the rows out by
cell; the centroids stay as trained.  Rebuild (``PartitionedIndex.build`` on
all the vectors) once the added rows exceed about 20% of those the cells were
trained on, or when cells grow very unequal (``info()["largest_cell"]`` many
times ``info()["mean_cell"]``): searches then read more rows for the same
recall.

An index is saved as one directory: ``manifest.json`` (format, version, the
probe and rerank parameters, ``dim``, ``n``, ``n_cells`` and, per part, its
file name, size and SHA-256) beside ``centroids.npy``, ``centre.npy``,
``starts.npy``, ``ids.npy``, the probe and rerank index files and
``vectors.npy`` if kept.  Indexes of version 1 (no centre; their probe holds
the rows as given) open and search as they were written.
Every part is written under a fresh generation name and the manifest last, by
rename: an interrupted save leaves the previous index.  ``open`` checks every
part against the manifest and raises a one-line ``OSError`` naming the part
that is missing, damaged or inconsistent.
"""

from __future__ import annotations

import contextlib
import json
import math
import operator
import os
import re
import secrets
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

from . import _atomic
from ._batched import search_cells as _search_cells, top_cells as _top_cells
from ._pickle import index_from_bytes, index_to_bytes
from .pipeline import _cosines
from .kinds import KINDS, kind_of, new_index
from .shards import _sha256

__all__ = ["PartitionedIndex", "MANIFEST", "FORMAT", "VERSION", "default_cells"]

MANIFEST = "manifest.json"
FORMAT = "kwivel-partitioned-index"
VERSION = 2
# Versions open() reads: 1 has no centre part (the probe holds the rows as given).
_READS = (1, 2)

# The probe kinds (their classes and files as kinds.KINDS has them).
PROBES = ("bitmap", "signbitmap")
# part -> file suffix (the probe's suffix depends on its kind)
_PARTS = ("centroids", "starts", "ids", "probe", "rerank", "centre", "vectors")
# Parts every version has.
_REQUIRED = ("centroids", "starts", "ids", "probe", "rerank")
_PART_NAME = re.compile(r"^[0-9a-f]{16}\.(centroids\.npy|centre\.npy|starts\.npy|ids\.npy|probe\.kwbm|probe\.kwsb|"
                        r"rerank\.kwrq|vectors\.npy)$")

# Float rows handed to one add / one block of the assignment.
_CHUNK_BYTES = 64 << 20
# Queries whose cells are chosen in one product with the centroids.
_QUERY_BLOCK = 4096
# k-means: training points per cell (a sample of the corpus) and iterations.
_SAMPLE_PER_CELL = 40
_KMEANS_ITERATIONS = 10
# Cell counts trained in one k-means; more are trained in two levels.
_FLAT_CELLS = 256
# Points per group the first of the two levels trains on.
_TOP_SAMPLE_PER_GROUP = 256


def default_cells(n: int) -> int:
    """Cells for ``n`` vectors when ``cells`` is not given: about 4 * sqrt(n)."""
    return max(1, min(n, int(round(4 * math.sqrt(n)))))


def _count(name: str, value: Any, low: int = 0) -> int:
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, got {type(value).__name__}") from None
    if v < low:
        raise ValueError(f"{name} must be >= {low}, got {v}")
    return v


def _normalised(x: Any) -> np.ndarray:
    """Rows of ``x`` as float32 of unit length (a zero row stays zero)."""
    x = np.array(x, dtype=np.float32)
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    np.divide(x, norms, out=x, where=norms > 0)
    return x


def _kmeans(x: np.ndarray, n_cells: int, seed: int, per_cell: Optional[int] = None) -> np.ndarray:
    """``n_cells`` unit centroids of the unit rows ``x`` by faiss's spherical k-means, on
    at most ``per_cell`` points per centroid (a seeded subsample of ``x``; default all)."""
    if n_cells == 1:
        return _normalised(x.mean(axis=0, dtype=np.float64, keepdims=True))
    if n_cells >= len(x):
        return np.array(x[:n_cells], dtype=np.float32)
    import faiss
    km = faiss.Kmeans(x.shape[1], n_cells, niter=_KMEANS_ITERATIONS, seed=seed, spherical=True,
                      max_points_per_centroid=per_cell or len(x), min_points_per_centroid=1, verbose=False)
    km.train(np.ascontiguousarray(x))
    return _normalised(km.centroids)


def _shares(total: int, counts: np.ndarray) -> np.ndarray:
    """``total`` split over groups in proportion to ``counts`` (largest remainders), each
    group with points getting at least one and at most its count."""
    want = total * counts / counts.sum()
    share = np.minimum(np.maximum(np.floor(want).astype(np.int64), (counts > 0).astype(np.int64)), counts)
    while share.sum() != total:
        room = share < counts if share.sum() < total else share > 1
        gap = np.where(room, want - share, -np.inf if share.sum() < total else np.inf)
        g = int(np.argmax(gap)) if share.sum() < total else int(np.argmin(gap))
        share[g] += 1 if share.sum() < total else -1
    return share


def _train(vectors: Any, n_cells: int, sample: Optional[int], seed: int) -> Tuple[np.ndarray, np.ndarray]:
    """``n_cells`` unit centroids by spherical k-means on a seeded sample of the rows, and
    the mean of the sample's unit rows (the probe's centre).

    Up to ``_FLAT_CELLS`` cells are trained in one k-means.  More are trained in two
    levels, so that a training point meets about 2 * sqrt(n_cells) centroids per
    iteration instead of all of them: sqrt(n_cells) groups first, then each group's
    points into its share of the cells (in proportion to its points)."""
    n, dim = vectors.shape
    if n == 0:
        return np.zeros((1, dim), dtype=np.float32), np.zeros(dim, dtype=np.float32)
    size = min(n, max(n_cells, _SAMPLE_PER_CELL * n_cells if sample is None else sample))
    rng = np.random.default_rng(seed)
    rows = np.arange(n) if size == n else np.sort(rng.choice(n, size, replace=False))
    x = _normalised(vectors[rows])
    centre = x.mean(axis=0, dtype=np.float64).astype(np.float32)
    if n_cells <= _FLAT_CELLS:
        return _kmeans(x, n_cells, seed), centre
    top = _kmeans(x, int(round(math.sqrt(n_cells))), seed, _TOP_SAMPLE_PER_GROUP)
    group = _assign(x, top)
    share = _shares(n_cells, np.bincount(group, minlength=len(top)))
    # The groups are small: faiss's threads cost more than they bring there.
    import faiss
    threads = faiss.omp_get_max_threads()
    faiss.omp_set_num_threads(1)
    try:
        parts = [_kmeans(x[group == g], int(c), seed + 1 + g) for g, c in enumerate(share) if c > 0]
    finally:
        faiss.omp_set_num_threads(threads)
    return np.ascontiguousarray(np.concatenate(parts)), centre


def _nearest(x: np.ndarray, centroids: np.ndarray, width: int) -> np.ndarray:
    """Per row of ``x`` (normalised), the ``width`` cells of largest cosine, ties to the
    lower cell id, in that order; int64 (len(x), width)."""
    return _top_cells(np.ascontiguousarray(x @ centroids.T, dtype=np.float32), width)


def _assign(vectors: Any, centroids: np.ndarray) -> np.ndarray:
    """Nearest cell of every row (largest cosine, ties to the lower cell id)."""
    n, dim = vectors.shape
    out = np.empty(n, dtype=np.int64)
    step = max(1, _CHUNK_BYTES // max(1, 4 * max(dim, centroids.shape[0])))
    for a in range(0, n, step):
        s = _normalised(vectors[a:a + step]) @ centroids.T
        out[a:a + step] = np.argmax(s, axis=1)       # the first of equal maxima
    return out


def _float_rows(vectors: Any, dim: Optional[int] = None) -> Tuple[int, ...]:
    """The shape of a 2-D floating-point array (of width ``dim`` when given), or the
    TypeError / ValueError that refuses it."""
    shape = getattr(vectors, "shape", None)
    if shape is None or len(shape) != 2:
        raise TypeError("expected a 2-D float array")
    if not np.issubdtype(vectors.dtype, np.floating):
        raise TypeError(f"vectors must be a floating-point array, got {vectors.dtype}")
    if dim is not None and shape[1] != dim:
        raise ValueError(f"array width {shape[1]} does not match index dimension {dim}")
    return tuple(shape)


def _check_ids(ids: Any, n: int, what: str = "ids") -> np.ndarray:
    arr = np.asarray(ids)
    if arr.ndim != 1 or len(arr) != n:
        raise ValueError(f"{what} must be a 1-D array of {n} ids, got shape {arr.shape}")
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{what} must be integers, got {arr.dtype}")
    if arr.dtype.kind == "u" and len(arr) and arr.max() > np.iinfo(np.int64).max:
        raise ValueError(f"{what} must fit int64")
    arr = arr.astype(np.int64)
    if len(np.unique(arr)) != n:
        raise ValueError(f"{what} must be unique")
    return arr


def _new_probe(kind: str, dim: int, n_top: Optional[int]) -> Any:
    if kind not in PROBES:
        raise ValueError(f"probe must be one of {', '.join(PROBES)}, got {kind!r}")
    return new_index(kind, dim, n_top=n_top)


def _probe_kind(probe: Any) -> str:
    return kind_of(probe).name


def _centred(block: np.ndarray, centre: Optional[np.ndarray]) -> np.ndarray:
    """What the probe stores of ``block``: its rows at unit length minus ``centre`` (the
    rows as given without one)."""
    if centre is None:
        return block
    out = _normalised(block)
    out -= centre
    return out


def _fill(probe: Any, rerank: Any, centre: Optional[np.ndarray], rows: Any, order: Optional[np.ndarray],
          progress: Optional[Callable[[int], None]] = None) -> None:
    """Adds ``rows[order]`` (all rows in order when None) to the rerank and, centred, to
    the probe, in blocks."""
    n = len(rows) if order is None else len(order)
    step = max(1, _CHUNK_BYTES // max(1, 4 * rows.shape[1]))
    for a in range(0, n, step):
        b = min(n, a + step)
        block = np.ascontiguousarray(rows[a:b] if order is None else rows[order[a:b]])
        rerank.add(block)
        with np.errstate(invalid="ignore", over="ignore"):   # non-finite rows: refused by the add
            probe.add(_centred(block, centre))
        if progress is not None:
            progress(b - a)


def _merged(old: Any, new: Any, order: np.ndarray) -> Any:
    """An index holding the rows of ``old`` then ``new`` (same class and parameters), taken
    in ``order``.  Works on the file images: every format ends its header with the row
    count and stores the rows as one fixed-width payload after it."""
    width = int(old.bytes_per_vec)
    images = [index_to_bytes(old), index_to_bytes(new)]
    heads = [len(img) - len(ix) * width for img, ix in zip(images, (old, new))]
    rows = np.concatenate([np.frombuffer(img, dtype=np.uint8, offset=h).reshape(-1, width)
                           for img, h in zip(images, heads)])
    head = bytearray(images[0][:heads[0]])
    head[-4:] = int(len(order)).to_bytes(4, "little")
    return index_from_bytes(type(old), bytes(head) + rows[order].tobytes())


class PartitionedIndex:
    """Vectors grouped into k-means cells; a search reads only the cells nearest each query.

    Build with :meth:`build`, reopen a saved index with :meth:`open`.  See the module
    docstring for the layout, the search and when to rebuild after :meth:`add`."""

    def __init__(self, centroids: np.ndarray, starts: np.ndarray, ids: np.ndarray, probe: Any,
                 rerank: Any, vectors: Any = None, centre: Optional[np.ndarray] = None) -> None:
        self.centroids = centroids
        self.centre = centre        # None: the probe holds the rows as given (version 1)
        self.starts = starts
        self.ids = ids
        self.probe = probe
        self.rerank = rerank
        self.vectors = vectors
        self._by_id = np.argsort(ids, kind="stable")
        self._sorted_ids = ids[self._by_id]
        self._files: Dict[str, str] = {}      # part -> file name, once saved or opened

    # ------------------------------------------------------------------ building

    @classmethod
    def build(cls, vectors: Any, path: Optional[str] = None, ids: Any = None, *,
              cells: Optional[int] = None, probe: str = "bitmap", bits: int = 4,
              n_top: Optional[int] = None, keep_vectors: bool = True, sample: Optional[int] = None,
              seed: int = 0, progress: Optional[Callable[[int], None]] = None) -> "PartitionedIndex":
        """Trains the cells on ``vectors`` (2-D float, may be a memory-mapped ``.npy``) and
        stores every row in its nearest cell.

        ``cells``: number of cells (default :func:`default_cells`, about 4 * sqrt(n);
        1 gives a flat index, no k-means).  ``probe``: "bitmap" (``n_top`` set bits per row,
        default dim / 2) or "signbitmap".  ``bits``: RankQuant bits per coordinate.
        ``keep_vectors``: keep the float rows for exact rescoring.  ``sample``: rows the
        k-means trains on (default 40 per cell), drawn with ``seed``.  ``progress(rows)`` is
        called after each block of rows stored.  With ``path`` the index is saved there and
        the float rows are read back memory-mapped."""
        shape = _float_rows(vectors)
        n, dim = int(shape[0]), int(shape[1])
        caller = np.arange(n, dtype=np.int64) if ids is None else _check_ids(ids, n)
        n_cells = default_cells(n) if cells is None else _count("cells", cells, 1)
        if n_cells > max(n, 1):
            raise ValueError(f"cells ({n_cells}) exceeds the number of vectors ({n})")
        probe_index = _new_probe(probe, dim, n_top)  # refuses a bad dim or n_top before the work
        rerank = new_index("rankquant", dim, bits)
        if sample is not None:
            sample = _count("sample", sample, 1)

        centroids, centre = _train(vectors, n_cells, sample, seed)
        cell = _assign(vectors, centroids) if n_cells > 1 else np.zeros(n, dtype=np.int64)
        order = np.argsort(cell, kind="stable")
        starts = np.zeros(n_cells + 1, dtype=np.int64)
        np.cumsum(np.bincount(cell, minlength=n_cells), out=starts[1:])
        rows = None
        if keep_vectors:
            rows = np.empty((n, dim), dtype=np.float32)
            step = max(1, _CHUNK_BYTES // max(1, 4 * dim))
            for a in range(0, n, step):
                rows[a:a + step] = vectors[order[a:a + step]]
            _fill(probe_index, rerank, centre, rows, None, progress)
        else:
            _fill(probe_index, rerank, centre, vectors, order, progress)
        index = cls(centroids, starts, caller[order], probe_index, rerank, rows, centre)
        if path is not None:
            index.save(path)
            if keep_vectors:
                index.vectors = np.load(os.path.join(path, index._files["vectors"]), mmap_mode="r")
        return index

    def add(self, vectors: Any, ids: Any = None) -> None:
        """Stores more rows, each in the existing cell nearest it (the centroids stay).

        ``ids`` default to the ids after the largest one held.  Ids must be unique over
        the whole index (ValueError).  The rows are re-laid out cell by cell; on any error
        the index is left as it was."""
        shape = _float_rows(vectors, self.dim)
        n_new = int(shape[0])
        if ids is None:
            first = int(self._sorted_ids[-1]) + 1 if len(self) else 0
            new_ids = np.arange(first, first + n_new, dtype=np.int64)
        else:
            new_ids = _check_ids(ids, n_new)
            if (self.rows_of(new_ids) >= 0).any():
                raise ValueError("ids must be unique: some are already in the index")
        probe = _new_probe(_probe_kind(self.probe), self.dim, getattr(self.probe, "n_top", None))
        rerank = new_index("rankquant", self.dim, int(self.rerank.bits))
        _fill(probe, rerank, self.centre, vectors, None)
        cell = np.concatenate([np.repeat(np.arange(self.n_cells, dtype=np.int64), np.diff(self.starts)),
                               _assign(vectors, self.centroids) if self.n_cells > 1
                               else np.zeros(n_new, dtype=np.int64)])
        order = np.argsort(cell, kind="stable")     # a cell's old rows, then its new ones
        starts = np.zeros(self.n_cells + 1, dtype=np.int64)
        np.cumsum(np.bincount(cell, minlength=self.n_cells), out=starts[1:])
        new_probe, new_rerank = _merged(self.probe, probe, order), _merged(self.rerank, rerank, order)
        rows = None
        if self.vectors is not None:
            rows = np.concatenate([np.asarray(self.vectors, dtype=np.float32),
                                   np.asarray(vectors, dtype=np.float32)])[order]
        self.__init__(self.centroids, starts, np.concatenate([self.ids, new_ids])[order],  # type: ignore
                      new_probe, new_rerank, rows, self.centre)

    # ------------------------------------------------------------------ searching

    # The defaults, measured on fastText sentence vectors of Debian's documentation
    # (bench/realdata.py, 384 dims, centred probe): a sixth of the cells, a shortlist of
    # 3 sqrt(n) and rescoring of the best 50 give recall@10 0.991 on the first 100,000
    # and 250,000 rows and 0.992 on all 500,000 (an eighth of the cells: 0.989 to 0.991;
    # rescoring 100 or 300 instead of 50 adds nothing: past 0.985 the shortlist and the
    # cells set the recall).
    def default_nprobe(self) -> int:
        """Cells a search reads when ``nprobe`` is not given: a sixth of them."""
        return max(1, min(self.n_cells, int(math.ceil(self.n_cells / 6))))

    def default_m(self, k: int) -> int:
        """Shortlist width when ``m`` is not given: about 3 * sqrt(n), at least 500."""
        return max(500, 50 * k, int(math.ceil(3 * math.sqrt(len(self)))))

    def default_rescore(self, k: int) -> int:
        """Hits rescored by exact cosine when ``rescore`` is not given (0 without float rows)."""
        return 0 if self.vectors is None else max(50, 2 * k)

    def _cells_of(self, queries: Any, nprobe: int) -> np.ndarray:
        q = queries
        if not (isinstance(q, np.ndarray) and q.ndim == 2 and q.dtype.kind == "f"
                and q.shape[1] == self.dim):
            # The native call refuses these with the gate's message.
            return np.zeros((len(q) if isinstance(q, np.ndarray) and q.ndim == 2 else 0, nprobe),
                            dtype=np.int64)
        if self.n_cells == 1:
            return np.zeros((len(q), 1), dtype=np.int64)
        out = np.empty((len(q), nprobe), dtype=np.int64)
        with np.errstate(invalid="ignore", over="ignore"):   # non-finite input: refused later
            for a in range(0, len(q), _QUERY_BLOCK):
                out[a:a + _QUERY_BLOCK] = _nearest(_normalised(q[a:a + _QUERY_BLOCK]),
                                                   self.centroids, nprobe)
        return out

    def search(self, queries: Any, k: int, *, nprobe: Optional[int] = None, m: Optional[int] = None,
               rescore: Optional[int] = None, allowed: Any = None) -> Tuple[np.ndarray, np.ndarray]:
        """Top ``k`` ``(scores, ids)`` per query, float32 and int64 of shape (nq, k), best
        first, padded with -inf / -1 where fewer rows are reachable.

        ``nprobe``: cells read per query; ``m``: shortlist width over all of them;
        ``rescore``: rerank hits rescored by exact cosine (needs the float rows; 0: off; the
        scores are then those cosines).  The defaults (see ``default_nprobe``) reach recall@10
        >= 0.99 on sentence vectors.  ``allowed``: bool mask over rows; rows with False are never returned."""
        k = _count("k", k)
        nprobe = self.default_nprobe() if nprobe is None else min(_count("nprobe", nprobe, 1), self.n_cells)
        m = self.default_m(k) if m is None else _count("m", m)
        if rescore is None:
            rescore = self.default_rescore(k)
        else:
            rescore = _count("rescore", rescore)
            if rescore and self.vectors is None:
                raise ValueError("rescore needs the float rows: build with keep_vectors=True")
            if rescore and rescore < k:
                raise ValueError(f"rescore ({rescore}) must be >= k ({k})")
        if allowed is not None:
            allowed = np.asarray(allowed)
            if allowed.shape != (len(self),):
                raise ValueError(f"allowed must be a mask of {len(self)} rows, got shape {allowed.shape}")
            allowed = np.ascontiguousarray(allowed, dtype=np.uint8)
        if isinstance(queries, np.ndarray):
            queries = np.ascontiguousarray(queries)   # same dtype: the native gate judges it
        cells = self._cells_of(queries, nprobe)
        return _search_cells(self.probe, self.rerank, queries, self.starts, cells, self.ids, m, k,
                             self.vectors if rescore else None, rescore, allowed, self.centre)

    def search_rows(self, queries: Any, k: int, rows: Any, *,
                    rescore: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
        """Top ``k`` of the given rows for every query: the exact RankQuant subset rerank
        (``rows`` 1-D for all queries, or 2-D with one row list per query, -1 entries
        skipped) and, with ``rescore``, exact cosine rescoring of its best ``rescore``.
        Same order, ties and padding as :meth:`search`."""
        k = _count("k", k)
        rescore = self.default_rescore(k) if rescore is None else _count("rescore", rescore)
        if rescore and self.vectors is None:
            raise ValueError("rescore needs the float rows: build with keep_vectors=True")
        if rescore and rescore < k:
            raise ValueError(f"rescore ({rescore}) must be >= k ({k})")
        q = np.asarray(queries)
        if q.ndim != 2 or q.dtype.kind != "f":
            raise TypeError("expected a 2-D float array")
        q = np.ascontiguousarray(q, dtype=np.float32)
        rows = np.asarray(rows)
        if rows.dtype.kind not in "iu" or rows.ndim not in (1, 2) or (rows.ndim == 2 and len(rows) != len(q)):
            raise ValueError("rows must be a 1-D integer array, or 2-D with one row per query")
        if rows.size and (rows.max() >= len(self) or (rows.ndim == 1 and rows.min() < 0)):
            raise ValueError(f"rows must be in [0, {len(self)})")
        keep = max(k, rescore)
        scores = np.full((len(q), k), -np.inf, dtype=np.float32)
        ids = np.full((len(q), k), -1, dtype=np.int64)
        for i in range(len(q)):
            r = rows if rows.ndim == 1 else rows[i]
            r = np.unique(r[r >= 0]).astype(np.int64)
            if len(r) == 0 or k == 0:
                continue
            s, g = self.rerank.search_asymmetric_subset(q[i], r, len(r))
            top = np.lexsort((self.ids[g], -s.astype(np.float64)))[:keep]
            s, g = s[top], g[top]
            if rescore:
                s = _cosines(self.vectors, g, np.broadcast_to(q[i], (len(g), self.dim))).astype(np.float32)
                top = np.lexsort((self.ids[g], -s.astype(np.float64)))[:k]
                s, g = s[top], g[top]
            w = min(k, len(g))
            scores[i, :w], ids[i, :w] = s[:w], self.ids[g[:w]]
        return scores, ids

    # ------------------------------------------------------------------ accessors

    def __len__(self) -> int:
        return len(self.ids)

    @property
    def dim(self) -> int:
        return int(self.rerank.dim)

    @property
    def n_cells(self) -> int:
        return len(self.starts) - 1

    def rows_of(self, ids: Any) -> np.ndarray:
        """Row of each caller id (int64), -1 for an id not in the index."""
        want = np.asarray(ids, dtype=np.int64)
        pos = np.searchsorted(self._sorted_ids, want)
        pos = np.minimum(pos, max(len(self) - 1, 0))
        if len(self) == 0:
            return np.full(want.shape, -1, dtype=np.int64)
        hit = self._sorted_ids[pos] == want
        return np.where(hit, self._by_id[pos], -1).astype(np.int64)

    def info(self) -> Dict[str, Any]:
        sizes = np.diff(self.starts)
        resident = int(self.probe.bytes_per_vec) + int(self.rerank.bytes_per_vec) + 8
        return {"n": len(self), "dim": self.dim, "n_cells": self.n_cells,
                "probe": _probe_kind(self.probe), "n_top": getattr(self.probe, "n_top", None),
                "bits": int(self.rerank.bits), "centred": self.centre is not None,
                "vectors": self.vectors is not None,
                "mapped": isinstance(self.vectors, np.memmap),
                "smallest_cell": int(sizes.min()) if len(sizes) else 0,
                "largest_cell": int(sizes.max()) if len(sizes) else 0,
                "mean_cell": float(sizes.mean()) if len(sizes) else 0.0,
                "empty_cells": int((sizes == 0).sum()),
                "resident_bytes": resident * len(self) + self.centroids.nbytes + self.starts.nbytes,
                "nprobe": self.default_nprobe(), "m": self.default_m(10), "rescore": self.default_rescore(10)}

    def __repr__(self) -> str:
        extra = f", n_top={self.probe.n_top}" if _probe_kind(self.probe) == "bitmap" else ""
        return (f"PartitionedIndex(n={len(self)}, dim={self.dim}, n_cells={self.n_cells}, "
                f"probe={_probe_kind(self.probe)}{extra}, bits={self.rerank.bits}, "
                f"vectors={'kept' if self.vectors is not None else 'none'})")

    # ------------------------------------------------------------------ files

    def _params(self) -> Dict[str, Any]:
        probe: Dict[str, Any] = {"kind": _probe_kind(self.probe)}
        if probe["kind"] == "bitmap":
            probe["n_top"] = int(self.probe.n_top)
        return {"probe": probe, "rerank": {"kind": "rankquant", "bits": int(self.rerank.bits)},
                "dim": self.dim, "n": len(self), "n_cells": self.n_cells}

    def save(self, path: str) -> None:
        """Writes the index to directory ``path`` (created if missing); atomic: the new
        manifest replaces the old one last, and the old parts are removed after it."""
        if os.path.exists(path) and not os.path.isdir(path):
            raise OSError(f"{path}: exists and is not a directory")
        os.makedirs(path, exist_ok=True)
        foreign = [f for f in os.listdir(path) if f != MANIFEST and not _PART_NAME.match(f)
                   and not _atomic.is_stale_temporary(f)]
        if foreign:
            raise OSError(f"{path}: holds files that are not part of a partitioned index "
                          f"({', '.join(sorted(foreign)[:3])}); refusing to write there")
        gen = secrets.token_hex(8)
        names = {"centroids": f"{gen}.centroids.npy", "starts": f"{gen}.starts.npy",
                 "ids": f"{gen}.ids.npy", "probe": f"{gen}.probe{kind_of(self.probe).extension}",
                 "rerank": f"{gen}.rerank.kwrq"}
        if self.centre is not None:
            names["centre"] = f"{gen}.centre.npy"
        if self.vectors is not None:
            names["vectors"] = f"{gen}.vectors.npy"
        files: Dict[str, Dict[str, Any]] = {}
        try:
            for part, name in names.items():
                full = os.path.join(path, name)
                with _atomic.replacing(full) as tmp:
                    if part in ("probe", "rerank"):
                        getattr(self, part).write(tmp)
                    elif part == "vectors":
                        _save_rows(tmp, self.vectors)
                    else:
                        with open(tmp, "wb") as f:
                            np.save(f, getattr(self, part), allow_pickle=False)
                files[part] = {"name": name, "size": os.stat(full).st_size, "sha256": _sha256(full)}
            _atomic.write_json(os.path.join(path, MANIFEST),
                               {"format": FORMAT, "version": VERSION if self.centre is not None else 1,
                                **self._params(), "files": files})
        except BaseException:
            for name in names.values():
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(path, name))
            raise
        # Committed: parts of earlier generations (or interrupted saves) go.
        for name in os.listdir(path):
            if _PART_NAME.match(name) and not name.startswith(gen):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(path, name))
        self._files = names

    @classmethod
    def open(cls, path: str) -> "PartitionedIndex":
        """Opens a saved index, checking every part against the manifest (one-line OSError
        naming the bad part); the float rows are memory-mapped.

        Every part's size is checked, the small parts' checksums too; the probe and rerank
        files are checked row by row by their loaders, and the float rows (left on disk) by
        their header and size.  ``verify()`` compares every part's checksum as well."""
        where = os.path.join(path, MANIFEST)
        try:
            with open(where, "rb") as f:
                raw = f.read()
        except OSError as exc:
            raise OSError(f"{where}: cannot read the manifest: {exc.strerror or exc}") from None
        try:
            doc = json.loads(raw)
        except (ValueError, UnicodeDecodeError) as exc:
            raise OSError(f"{where}: manifest is not valid JSON ({str(exc).splitlines()[0]})") from None

        def bad(what: str) -> OSError:
            return OSError(f"{where}: manifest {what}")

        def field(obj: Any, name: str, typ: type) -> Any:
            if not isinstance(obj, dict) or name not in obj:
                raise bad(f"lacks field {name!r}")
            v = obj[name]
            if not isinstance(v, typ) or (typ is int and (isinstance(v, bool) or v < 0)):
                raise bad(f"field {name!r} has a wrong value")
            return v

        if field(doc, "format", str) != FORMAT:
            raise bad(f"format is not {FORMAT!r}")
        version = field(doc, "version", int)
        if version not in _READS:
            raise bad(f"version {version} is not supported")
        dim, n, n_cells = field(doc, "dim", int), field(doc, "n", int), field(doc, "n_cells", int)
        probe_doc, rerank_doc = field(doc, "probe", dict), field(doc, "rerank", dict)
        kind = field(probe_doc, "kind", str)
        if kind not in PROBES:
            raise bad(f"probe kind {kind!r} is unknown")
        files = field(doc, "files", dict)
        for part in _REQUIRED + (("centre",) if version >= 2 else ()):
            field(files, part, dict)
        known = set(_PARTS) - ({"centre"} if version < 2 else set())
        if set(files) - known:
            raise bad(f"lists unknown parts {sorted(set(files) - known)}")
        ext = {"probe": KINDS[kind].extension, "rerank": KINDS["rankquant"].extension}

        def part_file(part: str, checksum: bool = True) -> str:
            entry = files[part]
            name = field(entry, "name", str)
            if not _PART_NAME.match(name) or not name.endswith(f".{part}" + ext.get(part, ".npy")):
                raise bad(f"names a bad file for {part}: {name!r}")
            full = os.path.join(path, name)
            label = f"{path}: {part} ({name})"
            try:
                size = os.stat(full).st_size
            except OSError as exc:
                raise OSError(f"{label}: {'file is missing' if isinstance(exc, FileNotFoundError) else exc.strerror}") from None
            if size != field(entry, "size", int):
                raise OSError(f"{label}: file has {size} B, the manifest records {entry['size']} B")
            digest = field(entry, "sha256", str)
            if checksum and _sha256(full) != digest:
                raise OSError(f"{label}: checksum mismatch")
            return full

        def fail(part: str, what: str) -> OSError:
            return OSError(f"{path}: {part} ({files[part]['name']}): {what}")

        def load_npy(part: str, dtype: Any, shape: Tuple[int, ...], mmap: bool = False) -> np.ndarray:
            full = part_file(part, checksum=not mmap)
            try:
                arr = np.load(full, mmap_mode="r" if mmap else None, allow_pickle=False)
            except (OSError, ValueError, EOFError) as exc:
                raise fail(part, f"not a readable .npy file ({str(exc).splitlines()[0]})") from None
            if arr.dtype != dtype or arr.shape != shape:
                raise fail(part, f"holds {arr.dtype} {arr.shape}, expected {np.dtype(dtype)} {shape}")
            return arr

        centroids = load_npy("centroids", np.float32, (n_cells, dim))
        centre = load_npy("centre", np.float32, (dim,)) if version >= 2 else None
        if centre is not None and not np.isfinite(centre).all():
            raise fail("centre", "holds non-finite values")
        starts = load_npy("starts", np.int64, (n_cells + 1,))
        if n_cells < 1 or starts[0] != 0 or starts[-1] != n or (np.diff(starts) < 0).any():
            raise fail("starts", f"row offsets are not non-decreasing from 0 to n = {n}")
        ids = load_npy("ids", np.int64, (n,))
        if len(np.unique(ids)) != n:
            raise fail("ids", "ids are not unique")
        loaded = {}
        for part, part_kind in (("probe", kind), ("rerank", "rankquant")):
            full = part_file(part, checksum=False)  # the loader checks every row
            try:
                index = KINDS[part_kind].load(full)
            except OSError as exc:
                raise fail(part, str(exc).splitlines()[0] if str(exc) else "cannot load") from None
            want = probe_doc if part == "probe" else rerank_doc
            params = KINDS[part_kind].params_of(index)
            params.pop("dim")
            for name, value in params.items():
                if want.get(name) != value:
                    raise fail(part, f"holds {name} = {value}, the manifest records {want.get(name)}")
            if len(index) != n or index.dim != dim:
                raise fail(part, f"holds {len(index)} rows of dim {index.dim}, expected {n} of dim {dim}")
            loaded[part] = index
        vectors = load_npy("vectors", np.float32, (n, dim), mmap=True) if "vectors" in files else None
        index = cls(centroids, starts, ids, loaded["probe"], loaded["rerank"], vectors, centre)
        index._files = {part: files[part]["name"] for part in files}
        index._path = path
        index._digests = {part: files[part]["sha256"] for part in files}
        return index

    def verify(self) -> None:
        """Compares the checksum of every part of the opened directory with its manifest
        (OSError naming the first part that differs)."""
        path = getattr(self, "_path", None)
        if path is None:
            raise ValueError("verify() checks an index opened from a directory")
        for part, name in self._files.items():
            if _sha256(os.path.join(path, name)) != self._digests[part]:
                raise OSError(f"{path}: {part} ({name}): checksum mismatch")


def _save_rows(path: str, rows: Any) -> None:
    """``rows`` as a float32 .npy, written in blocks (they may be memory-mapped)."""
    n, dim = rows.shape
    header = {"descr": np.lib.format.dtype_to_descr(np.dtype(np.float32)), "fortran_order": False,
              "shape": (n, dim)}
    step = max(1, _CHUNK_BYTES // max(1, 4 * dim))
    with open(path, "wb") as f:
        np.lib.format.write_array_header_1_0(f, header)
        for a in range(0, n, step):
            f.write(np.ascontiguousarray(rows[a:a + step], dtype=np.float32).tobytes())
