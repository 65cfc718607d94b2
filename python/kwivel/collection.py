"""A collection: one directory of vectors under the caller's ids, searched, grown and pruned in place.

A :class:`Collection` holds int64 ids of the caller's choosing and, for each
row, the stages of the two-stage search: a bitmap probe, a ``RankQuant``
rerank and (``keep_vectors=True``, the default) the float rows for exact
rescoring.  Rows live in *segments*, each a :class:`~kwivel.PartitionedIndex`
directory that is written once and never changed.  A collection is cut into
one or more *shards* (``shards=N`` at build); each shard is a list of
segments and is searched, on a Dask cluster, by one worker.

Layout of the directory::

    collection.json        the manifest: the single commit point
    seg-<16 hex>/          one PartitionedIndex directory per segment
    del-<16 hex>.npy       per segment with deleted rows: their ids, sorted int64
    collection.lock        taken (flock) by the writer

Writes.  ``build`` writes one segment per shard, trained on that shard's
rows (``cells=None``: about 4 * sqrt(rows) cells, ``cells=1``: flat).
``add`` writes the new rows as one new segment of the shard holding the
fewest rows, each row in the nearest of that shard's trained cells.
``delete`` writes, for every segment it touches, a new tombstone file with the
segment's deleted ids.  Every write puts its new files under fresh names
first and then replaces the manifest by an atomic rename: a crash at any
point leaves the previous state or the new one, never a mix.  Files no
longer referenced are removed once the new manifest is in place, and files
of a killed write by the next write.  A process that opened the collection
before a write keeps searching its state (its segments are loaded), but
must reopen to see the write; one that has not finished opening when the
old files go gets an OSError and must reopen.  Writers in several threads
or processes take turns (the lock file).  A search running while another
thread of the same process writes sees the state before or after that
write: each write swaps one immutable in-memory state.

Compaction merges the segments of a shard into one without the deleted
rows (the float rows are needed: a collection built with
``keep_vectors=False`` is never compacted and keeps its tombstones).  It
runs after an ``add`` or ``delete`` for every shard whose deleted rows
exceed 10% of its rows or that holds more than 16 segments, and on
``compact()``.  The merged segment keeps the cells of the shard's largest
segment, unless the shard's live rows differ from that segment's rows by
more than 20%: then its cells are trained anew.

Search.  Each segment is searched with the mask of its rows that are live
and pass the filter (the probe never spends a shortlist slot on another),
and the parts are merged by score descending, then id ascending.  A
segment where under 1% of the rows pass (or no more than ``k``) goes
straight to the exact subset rerank of the passing rows
(``PartitionedIndex.search_rows``); where fewer pass than all, the default
number of cells probed grows by (rows / passing rows) ** 0.3 (2x at 10%),
the shortlist width staying that of an unfiltered search.  Filters are exact: no result ever lies
outside the filter, and a query that comes back from a segment with fewer
than ``k`` hits while more of its rows pass is searched again there,
exactly, over the passing rows; so a search returns ``min(k, passing rows)``
hits per query, padded with -inf / -1.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import json
import math
import os
import re
import secrets
import shutil
import signal
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from . import _atomic
from .partitioned import PartitionedIndex, _check_ids, _count, _float_rows
from .shards import _plan, merge_topk, search_on_workers, worker_cached, worker_keeps

__all__ = ["Collection", "MANIFEST", "FORMAT", "VERSION"]

MANIFEST = "collection.json"
FORMAT = "kwivel-collection"
VERSION = 1
LOCK = "collection.lock"

#: Below this fraction of a segment's rows passing, a search reranks the passing rows exactly.
SELECTIVE = 0.01
#: A shard is compacted once its deleted rows exceed this fraction of its rows ...
COMPACT_DELETED = 0.10
#: ... or it holds more segments than this.
COMPACT_SEGMENTS = 16
#: A merged segment keeps the cells it was assigned to while its rows stay within this
#: fraction of those of the segment whose cells it keeps.
RETRAIN_DRIFT = 0.20
#: A filter passing a fraction f of a segment's rows reads f ** -FILTER_WIDENING times the
#: default cells (2x at 10%), so that its recall keeps up with an unfiltered search.
FILTER_WIDENING = 0.3
#: Segments of at most this many rows are read whole (every cell probed).
SMALL_SEGMENT = 4096

_SEGMENT = re.compile(r"^seg-[0-9a-f]{16}$")
_TOMBSTONE = re.compile(r"^del-[0-9a-f]{16}\.npy$")


def _crash_point(name: str) -> None:
    """Test hook: ``KWIVEL_CRASH_AT=name`` kills the process here, as a power cut would."""
    if os.environ.get("KWIVEL_CRASH_AT") == name:
        os.kill(os.getpid(), signal.SIGKILL)


# ----------------------------------------------------------------------------
# The in-memory state: immutable once built, swapped whole by each write.

@dataclass(frozen=True, eq=False)
class _Segment:
    name: str                      # seg-<hex>
    index: Any                     # PartitionedIndex
    deleted: np.ndarray            # sorted caller ids of the deleted rows
    tombstone: Optional[str]       # del-<hex>.npy holding them, None when there are none
    live: Optional[np.ndarray]     # bool per row, None when no row is deleted

    @property
    def rows(self) -> int:
        return len(self.index)

    @property
    def n_live(self) -> int:
        return self.rows - len(self.deleted)

    def entry(self) -> Dict[str, Any]:
        return {"name": self.name, "rows": self.rows, "deleted": self.tombstone,
                "n_deleted": len(self.deleted)}


def _live_mask(index: Any, deleted: np.ndarray) -> Optional[np.ndarray]:
    if len(deleted) == 0:
        return None
    live = np.ones(len(index), dtype=bool)
    live[index.rows_of(deleted)] = False
    return live


@dataclass(frozen=True, eq=False)
class _State:
    directory: str
    params: Dict[str, Any]          # dim, probe, n_top, bits, keep_vectors, cells
    next_id: int
    shards: Tuple[Tuple[_Segment, ...], ...]
    digest: str                     # SHA-256 of the manifest this state was read from or wrote
    _order: List[Any] = field(default_factory=list, compare=False)   # lazily: see order()
    _lock: Any = field(default_factory=threading.Lock, compare=False)

    def segments(self) -> Iterator[_Segment]:
        for shard in self.shards:
            yield from shard

    def __len__(self) -> int:
        return sum(s.n_live for s in self.segments())

    def order(self) -> Tuple[np.ndarray, List[np.ndarray]]:
        """The live ids ascending, and per segment the position of each row's id among them
        (rows deleted: -1).  Computed once per state."""
        with self._lock:
            if not self._order:
                ids, owner = [], []
                for seg in self.segments():
                    rows = np.arange(seg.rows) if seg.live is None else np.flatnonzero(seg.live)
                    ids.append(seg.index.ids[rows])
                    owner.append(rows)
                flat = np.concatenate(ids) if ids else np.zeros(0, dtype=np.int64)
                order = np.argsort(flat, kind="stable")
                rank = np.empty(len(flat), dtype=np.int64)
                rank[order] = np.arange(len(flat), dtype=np.int64)
                positions, a = [], 0
                for seg, rows in zip(self.segments(), owner):
                    pos = np.full(seg.rows, -1, dtype=np.int64)
                    pos[rows] = rank[a:a + len(rows)]
                    positions.append(pos)
                    a += len(rows)
                self._order.extend([flat[order], positions])
            return self._order[0], self._order[1]

    def contains(self, ids: np.ndarray) -> np.ndarray:
        """Whether each id is a live id."""
        live = self.order()[0]
        if len(live) == 0:
            return np.zeros(len(ids), dtype=bool)
        pos = np.minimum(np.searchsorted(live, ids), len(live) - 1)
        return live[pos] == ids

    def doc(self) -> Dict[str, Any]:
        return {"format": FORMAT, "version": VERSION, **self.params, "n": len(self),
                "next_id": self.next_id,
                "shards": [{"segments": [s.entry() for s in shard]} for shard in self.shards]}

    def replace(self, shards: Sequence[Sequence[_Segment]], next_id: Optional[int] = None) -> "_State":
        return _State(self.directory, self.params, self.next_id if next_id is None else next_id,
                      tuple(tuple(s) for s in shards), "")


def _digest(raw: bytes) -> str:
    return hashlib.sha256(raw).hexdigest()


def _read_manifest(directory: str) -> Tuple[Dict[str, Any], str]:
    path = os.path.join(directory, MANIFEST)
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except FileNotFoundError:
        raise OSError(f"{directory}: not a collection (no {MANIFEST})") from None
    except OSError as exc:
        raise OSError(f"{path}: cannot read: {exc.strerror or exc}") from None
    try:
        doc = json.loads(raw)
    except (ValueError, UnicodeDecodeError) as exc:
        raise OSError(f"{path}: not a valid collection manifest: bad JSON "
                      f"({str(exc).splitlines()[0]})") from None
    return doc, _digest(raw)


def _check_doc(path: str, doc: Any) -> None:
    def bad(what: str) -> OSError:
        return OSError(f"{path}: not a valid collection manifest: {what}")

    def need(obj: Any, name: str, typ: Any, where: str = "") -> Any:
        if not isinstance(obj, dict) or name not in obj:
            raise bad(f"{where}missing field {name!r}")
        v = obj[name]
        if not isinstance(v, typ) or (isinstance(v, bool) and typ is int) or (
                isinstance(v, int) and not isinstance(v, bool) and v < 0):
            raise bad(f"{where}field {name!r} has a wrong value")
        return v

    if need(doc, "format", str) != FORMAT:
        raise bad(f"format is not {FORMAT!r}")
    if need(doc, "version", int) != VERSION:
        raise bad(f"version {doc['version']} is not supported")
    for name, typ in (("dim", int), ("probe", str), ("bits", int), ("keep_vectors", bool),
                      ("n", int), ("next_id", int), ("shards", list)):
        need(doc, name, typ)
    if doc.get("cells") is not None:
        need(doc, "cells", int)
    if doc.get("n_top") is not None:
        need(doc, "n_top", int)
    if not doc["shards"]:
        raise bad("no shards")
    names: set = set()
    for number, shard in enumerate(doc["shards"]):
        for entry in need(shard, "segments", list, f"shard {number}: "):
            where = f"shard {number}: "
            name = need(entry, "name", str, where)
            if not _SEGMENT.match(name) or name in names:
                raise bad(f"{where}bad or repeated segment name {name!r}")
            names.add(name)
            need(entry, "rows", int, where)
            need(entry, "n_deleted", int, where)
            tomb = entry.get("deleted")
            if (tomb is None) != (entry["n_deleted"] == 0) or (
                    tomb is not None and (not isinstance(tomb, str) or not _TOMBSTONE.match(tomb))):
                raise bad(f"{where}segment {name}: bad tombstone entry")


def _load_tombstone(directory: str, seg: str, name: Optional[str], count: int, index: Any) -> np.ndarray:
    if name is None:
        return np.zeros(0, dtype=np.int64)
    label = f"{directory}: tombstones of {seg} ({name})"
    try:
        deleted = np.load(os.path.join(directory, name), allow_pickle=False)
    except FileNotFoundError:
        raise OSError(f"{label}: file is missing") from None
    except (OSError, ValueError, EOFError) as exc:
        raise OSError(f"{label}: not a readable .npy file ({str(exc).splitlines()[0]})") from None
    if deleted.dtype != np.int64 or deleted.shape != (count,):
        raise OSError(f"{label}: holds {deleted.dtype} {deleted.shape}, the manifest records int64 ({count},)")
    if count and ((np.diff(deleted) <= 0).any() or (index.rows_of(deleted) < 0).any()):
        raise OSError(f"{label}: ids are not sorted, unique ids of the segment")
    return deleted


def _open_segment(directory: str, name: str) -> Any:
    try:
        return PartitionedIndex.open(os.path.join(directory, name))
    except OSError as exc:
        raise OSError(f"{directory}: segment {name}: {str(exc).splitlines()[0]}") from None


def _open_state(directory: str) -> _State:
    doc, digest = _read_manifest(directory)
    path = os.path.join(directory, MANIFEST)
    _check_doc(path, doc)
    shards = []
    for shard in doc["shards"]:
        segments = []
        for entry in shard["segments"]:
            name = entry["name"]
            index = _open_segment(directory, name)
            if len(index) != entry["rows"] or index.dim != doc["dim"]:
                raise OSError(f"{directory}: segment {name}: holds {len(index)} rows of dim {index.dim}, "
                              f"the manifest records {entry['rows']} of dim {doc['dim']}")
            deleted = _load_tombstone(directory, name, entry["deleted"], entry["n_deleted"], index)
            segments.append(_Segment(name, index, deleted, entry["deleted"], _live_mask(index, deleted)))
        shards.append(tuple(segments))
    params = {key: doc.get(key) for key in ("dim", "probe", "n_top", "bits", "keep_vectors", "cells")}
    state = _State(directory, params, doc["next_id"], tuple(shards), digest)
    if len(state) != doc["n"]:
        raise OSError(f"{path}: the segments hold {len(state)} live rows, the manifest records {doc['n']}")
    return state


# ----------------------------------------------------------------------------
# Searching one segment (in this process or on a Dask worker).

def _padded(nq: int, k: int) -> Tuple[np.ndarray, np.ndarray]:
    return np.full((nq, k), -np.inf, dtype=np.float32), np.full((nq, k), -1, dtype=np.int64)


def search_segment(index: Any, queries: np.ndarray, k: int, allowed: Optional[np.ndarray],
                   nprobe: Optional[int], m: Optional[int], rescore: Optional[int]
                   ) -> Tuple[np.ndarray, np.ndarray]:
    """Top ``k`` of one segment over the rows ``allowed`` passes (all when None), exact in
    the filter: every query gets ``min(k, passing rows)`` hits (see the module docstring)."""
    n = len(index)
    n_pass = n if allowed is None else int(np.count_nonzero(allowed))
    if n_pass == 0 or k == 0 or len(queries) == 0:
        return _padded(len(queries), k)
    rows = np.arange(n, dtype=np.int64) if allowed is None else np.flatnonzero(allowed)
    if n_pass < SELECTIVE * n or n_pass <= k:
        return index.search_rows(queries, k, rows, rescore=rescore)
    if n <= SMALL_SEGMENT:
        nprobe = index.n_cells
    elif nprobe is None and n_pass < n:
        # The passing rows nearest a query lie farther out the fewer pass: read more cells,
        # keeping the unfiltered shortlist width (it only holds passing rows).
        base = index.default_nprobe()
        m = index.default_m(k) if m is None else m
        nprobe = min(index.n_cells, int(math.ceil(base * (n / n_pass) ** FILTER_WIDENING)))
    scores, ids = index.search(queries, k, nprobe=nprobe, m=m, rescore=rescore, allowed=allowed)
    short = np.count_nonzero(ids >= 0, axis=1) < min(k, n_pass)
    if short.any():
        scores[short], ids[short] = index.search_rows(queries[short], k, rows, rescore=rescore)
    return scores, ids


def _search_on_worker(numbers: List[int], owner: str, queries: np.ndarray, directory: str,
                      layout: List[List[Tuple[str, Optional[np.ndarray]]]], k: int,
                      nprobe: Optional[int], m: Optional[int], rescore: Optional[int]
                      ) -> Tuple[np.ndarray, np.ndarray]:
    """Runs on a Dask worker: searches the segments of shards ``numbers`` (``layout``: per
    shard, each segment's name and allowed mask) and merges their parts.  Segments never
    change under a name, so the owner keeps them loaded across writes."""
    keep = worker_keeps(owner, directory, [name for i in numbers for name, _ in layout[i]])
    parts = []
    for i in numbers:
        for name, allowed in layout[i]:
            index = worker_cached(directory, None, name,
                                  lambda name=name: _open_segment(directory, name), keep)
            parts.append(search_segment(index, queries, k, allowed, nprobe, m, rescore))
    return merge_topk(parts, k, nq=len(queries)) if parts else _padded(len(queries), k)


# ----------------------------------------------------------------------------
# The collection.

class Collection:
    """Vectors under the caller's int64 ids, in one directory: build, open, search
    (with filters), add, delete, compact.  See the module docstring for the layout,
    the commit protocol and when compaction runs."""

    def __init__(self, state: _State) -> None:
        self._state = state
        self._write_lock = threading.Lock()
        #: bytes of the last distributed search: queries sent, results received.
        self.last_transfer: Dict[str, int] = {}

    # ------------------------------------------------------------------ opening and building

    @classmethod
    def open(cls, path: str) -> "Collection":
        """Opens the collection in directory ``path``; a missing, damaged or inconsistent
        part is a one-line OSError naming it.  Float rows are memory-mapped."""
        directory = os.path.abspath(path)
        if not os.path.isdir(directory):
            raise OSError(f"{path}: not a directory")
        return cls(_open_state(directory))

    @classmethod
    def build(cls, vectors: Any, path: str, ids: Any = None, *, shards: int = 1,
              cells: Optional[int] = None, probe: str = "bitmap", bits: int = 4,
              n_top: Optional[int] = None, keep_vectors: bool = True, sample: Optional[int] = None,
              seed: int = 0, progress: Optional[Callable[[int], None]] = None) -> "Collection":
        """Writes ``vectors`` (2-D float, may be a memory-mapped ``.npy``) as a new collection
        in directory ``path`` (created; a collection already there is replaced whole,
        atomically).  ``ids``: unique int64 ids (default 0..n-1).  ``shards``: the rows are
        cut into this many contiguous shards.  ``cells``, ``probe``, ``bits``, ``n_top``,
        ``keep_vectors``, ``sample``, ``seed``: as :meth:`PartitionedIndex.build`, per shard.
        ``progress(rows)`` is called after each block of rows stored."""
        shape = getattr(vectors, "shape", None)
        if shape is None or len(shape) != 2:
            raise TypeError("expected a 2-D float array")
        n = int(shape[0])
        caller = np.arange(n, dtype=np.int64) if ids is None else _check_ids(ids, n)
        ranges = _plan(n, _count("shards", shards, 1), None)
        if cells is not None:
            cells = _count("cells", cells, 1)
        directory = os.path.abspath(path)
        if os.path.exists(directory) and not os.path.isdir(directory):
            raise OSError(f"{path}: exists and is not a directory")
        os.makedirs(directory, exist_ok=True)
        with _flock(directory):
            _check_target(directory)
            built = []
            for a, b in ranges:
                name = _fresh("seg-")
                index = PartitionedIndex.build(
                    vectors[a:b], os.path.join(directory, name), caller[a:b],
                    cells=None if cells is None else min(cells, max(1, b - a)), probe=probe, bits=bits,
                    n_top=n_top, keep_vectors=keep_vectors, sample=sample, seed=seed, progress=progress)
                built.append((_Segment(name, index, np.zeros(0, dtype=np.int64), None, None),))
            _crash_point("build:after-segments")
            first = built[0][0].index
            params = {"dim": first.dim, "probe": first.info()["probe"],
                      "n_top": first.info()["n_top"], "bits": int(first.rerank.bits),
                      "keep_vectors": bool(keep_vectors), "cells": cells}
            next_id = int(caller.max()) + 1 if n else 0
            state = _commit(_State(directory, params, max(next_id, 0), tuple(built), ""))
        return cls(state)

    # ------------------------------------------------------------------ reading

    def __len__(self) -> int:
        return len(self._state)

    @property
    def dim(self) -> int:
        return int(self._state.params["dim"])

    @property
    def path(self) -> str:
        return self._state.directory

    def ids(self) -> np.ndarray:
        """The live ids, ascending (int64): the order a boolean filter mask follows."""
        return self._state.order()[0].copy()

    def info(self) -> Dict[str, Any]:
        st = self._state
        return {"path": st.directory, "n": len(st), **st.params, "next_id": st.next_id,
                "shards": [{"rows": sum(s.rows for s in shard), "live": sum(s.n_live for s in shard),
                            "segments": len(shard)} for shard in st.shards],
                "segments": sum(len(shard) for shard in st.shards),
                "deleted": sum(len(s.deleted) for s in st.segments())}

    def __repr__(self) -> str:
        st = self._state
        return (f"Collection({st.directory!r}, n={len(st)}, dim={self.dim}, shards={len(st.shards)}, "
                f"segments={sum(len(s) for s in st.shards)}, "
                f"deleted={sum(len(s.deleted) for s in st.segments())})")

    def _allowed(self, st: _State, filter: Any) -> List[Optional[np.ndarray]]:
        """Per segment, the mask of its rows that are live and pass ``filter`` (None: all)."""
        segments = list(st.segments())
        if filter is None:
            return [seg.live for seg in segments]
        f = np.asarray(filter)
        live, positions = st.order()
        if f.dtype == bool:
            if f.shape != (len(live),):
                raise ValueError(f"a filter mask must have one entry per id of ids() "
                                 f"({len(live)}), got shape {f.shape}")
            keep = f
        elif f.dtype.kind in "iu" and f.ndim == 1:
            keep = np.zeros(len(live), dtype=bool)
            if len(live) and len(f):
                want = f.astype(np.int64)
                pos = np.minimum(np.searchsorted(live, want), len(live) - 1)
                keep[pos[live[pos] == want]] = True
        else:
            raise TypeError(f"filter must be a 1-D array of ids or a boolean mask over ids(), "
                            f"got {f.dtype} of shape {f.shape}")
        out = []
        for seg, pos in zip(segments, positions):
            out.append(np.where(pos >= 0, keep[np.maximum(pos, 0)], False) if len(live) else
                       np.zeros(seg.rows, dtype=bool))
        return out

    def search(self, queries: Any, k: int, filter: Any = None, *, nprobe: Optional[int] = None,
               m: Optional[int] = None, rescore: Optional[int] = None, client: Any = None,
               timeout: Optional[float] = None) -> Tuple[np.ndarray, np.ndarray]:
        """Top ``k`` ``(scores, ids)`` per query, float32 and int64 of shape (nq, k), best first
        (score descending, then id ascending), padded with -inf / -1 past the passing rows.

        ``filter``: an allow-list of ids (1-D integers; ids not in the collection are
        ignored) or a boolean mask aligned with :meth:`ids`; results never lie outside it.
        ``nprobe``, ``m``, ``rescore``: per segment, as :meth:`PartitionedIndex.search`.
        ``client``: a ``distributed.Client``; each worker searches the shards it is given,
        loading them once (``timeout`` bounds the wait, in seconds)."""
        st = self._state
        k = _count("k", k)
        q = queries
        if not isinstance(q, np.ndarray) or q.ndim != 2:
            raise TypeError("expected a 2-D float array")
        if q.shape[1] != self.dim:
            raise ValueError(f"array width {q.shape[1]} does not match index dimension {self.dim}")
        q = np.ascontiguousarray(q)
        allowed = self._allowed(st, filter)
        if client is not None:
            layout, masks = [], iter(allowed)
            for shard in st.shards:
                layout.append([(seg.name, next(masks)) for seg in shard])
            parts, self.last_transfer = search_on_workers(
                client, len(st.shards), _search_on_worker, q,
                (st.directory, layout, k, nprobe, m, rescore), timeout)
        else:
            parts = [search_segment(seg.index, q, k, mask, nprobe, m, rescore)
                     for seg, mask in zip(st.segments(), allowed)]
        if not parts:
            return _padded(len(q), k)
        return merge_topk(parts, k, nq=len(q))

    # ------------------------------------------------------------------ writing

    @contextlib.contextmanager
    def _writing(self) -> Iterator[_State]:
        """Runs one write: this object's writers and other processes' take turns; the state
        is reread first when another writer changed the manifest since."""
        with self._write_lock, _flock(self._state.directory):
            st = self._state
            try:
                _, digest = _read_manifest(st.directory)
            except OSError:
                digest = st.digest
            if digest != st.digest:
                st = self._state = _open_state(st.directory)
            yield st

    def add(self, vectors: Any, ids: Any = None) -> np.ndarray:
        """Adds ``vectors`` (2-D float) under ``ids`` (default: the ids after the largest ever
        held) and returns their ids.  Ids already live, or repeated in ``ids``, are refused
        with ValueError before anything is written.  Commits atomically; may compact."""
        shape = _float_rows(vectors, self.dim)
        n_new = int(shape[0])
        with self._writing() as st:
            if ids is None:
                new_ids = np.arange(st.next_id, st.next_id + n_new, dtype=np.int64)
            else:
                new_ids = _check_ids(ids, n_new)
                taken = st.contains(new_ids)
                if taken.any():
                    raise ValueError(f"ids must be unique: {int(taken.sum())} of them are already in "
                                     f"the collection (e.g. {int(new_ids[taken][0])})")
            if n_new == 0:
                return new_ids
            target = min(range(len(st.shards)), key=lambda i: (sum(s.n_live for s in st.shards[i]), i))
            name = _fresh("seg-")
            index = _segment_of(st, target, vectors, new_ids, os.path.join(st.directory, name))
            _crash_point("add:after-segment")
            shards = [list(shard) for shard in st.shards]
            shards[target].append(_Segment(name, index, np.zeros(0, dtype=np.int64), None, None))
            next_id = max(st.next_id, int(new_ids.max()) + 1)
            self._state = _commit(st.replace(shards, next_id), "add")
            self._compact(self._state, None, auto=True)
        return new_ids

    def delete(self, ids: Any) -> int:
        """Deletes the rows of ``ids`` (ids not in the collection are ignored) and returns
        how many were deleted.  Commits atomically; may compact."""
        want = np.asarray(ids)
        if want.ndim != 1 or (want.dtype.kind not in "iu" and len(want)):
            raise TypeError(f"ids must be a 1-D integer array, got {want.dtype} of shape {want.shape}")
        want = np.unique(want.astype(np.int64))
        with self._writing() as st:
            shards, gone = [], 0
            for shard in st.shards:
                segments = []
                for seg in shard:
                    rows = seg.index.rows_of(want)
                    rows = rows[rows >= 0]
                    if seg.live is not None:
                        rows = rows[seg.live[rows]]
                    if len(rows) == 0:
                        segments.append(seg)
                        continue
                    deleted = np.union1d(seg.deleted, seg.index.ids[rows]).astype(np.int64)
                    tomb = _fresh("del-") + ".npy"
                    with _atomic.replacing(os.path.join(st.directory, tomb)) as tmp, open(tmp, "wb") as f:
                        np.save(f, deleted, allow_pickle=False)
                    segments.append(_Segment(seg.name, seg.index, deleted, tomb,
                                             _live_mask(seg.index, deleted)))
                    gone += len(rows)
                shards.append(segments)
            if gone == 0:
                return 0
            _crash_point("delete:after-tombstone")
            self._state = _commit(st.replace(shards), "delete")
            self._compact(self._state, None, auto=True)
        return gone

    def compact(self) -> None:
        """Merges every shard that has deleted rows or more than one segment into one segment
        without the deleted rows.  Needs the float rows (ValueError without them)."""
        with self._writing() as st:
            if not st.params["keep_vectors"]:
                raise ValueError("compaction needs the float rows; this collection was built "
                                 "with keep_vectors=False")
            self._compact(st, [i for i, shard in enumerate(st.shards)
                               if len(shard) > 1 or any(len(s.deleted) for s in shard)], auto=False)

    def _compact(self, st: _State, numbers: Optional[List[int]], auto: bool) -> None:
        if not st.params["keep_vectors"]:
            return
        if numbers is None:
            numbers = [i for i, shard in enumerate(st.shards)
                       if len(shard) > COMPACT_SEGMENTS
                       or sum(len(s.deleted) for s in shard) > COMPACT_DELETED * max(1, sum(s.rows for s in shard))]
        if not numbers:
            return
        shards = [list(shard) for shard in st.shards]
        for i in numbers:
            shard = st.shards[i]
            blocks = [(np.asarray(seg.index.vectors if seg.live is None else seg.index.vectors[seg.live]),
                       seg.index.ids if seg.live is None else seg.index.ids[seg.live]) for seg in shard]
            rows = sum(len(ids) for _, ids in blocks)
            if rows == 0:
                shards[i] = []
                continue
            vectors = np.concatenate([v for v, _ in blocks]).astype(np.float32, copy=False)
            ids = np.concatenate([ids for _, ids in blocks])
            del blocks
            name = _fresh("seg-")
            base = max(shard, key=lambda s: s.rows)
            if abs(rows - base.rows) > RETRAIN_DRIFT * base.rows:
                index = _build_like(st, vectors, ids, os.path.join(st.directory, name))
            else:
                index = _assigned(st, base.index, vectors, ids, os.path.join(st.directory, name))
            shards[i] = [_Segment(name, index, np.zeros(0, dtype=np.int64), None, None)]
        _crash_point("compact:after-segment")
        self._state = _commit(st.replace(shards), "compact")


# ----------------------------------------------------------------------------
# Files.

def _fresh(prefix: str) -> str:
    return prefix + secrets.token_hex(8)


@contextlib.contextmanager
def _flock(directory: str) -> Iterator[None]:
    fd = os.open(os.path.join(directory, LOCK), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _check_target(directory: str) -> None:
    foreign = [name for name in os.listdir(directory)
               if name not in (MANIFEST, LOCK) and not _SEGMENT.match(name)
               and not _TOMBSTONE.match(name) and not _atomic.is_stale_temporary(name)]
    if foreign:
        raise OSError(f"{directory}: holds files that are not part of a collection "
                      f"({', '.join(sorted(foreign)[:3])}); refusing to write there")


def _reopened(index: Any, path: str) -> Any:
    """``index`` saved at ``path`` and read back (its float rows memory-mapped)."""
    index.save(path)
    return PartitionedIndex.open(path)


def _assigned(st: _State, base: Any, vectors: Any, ids: np.ndarray, path: str) -> Any:
    """A segment of ``vectors`` under ``ids``, each row in the nearest cell of the
    ``base`` index (its centroids and probe centre), saved at ``path``."""
    p = st.params
    n_cells, dim = base.centroids.shape
    template = PartitionedIndex.build(np.zeros((0, dim), dtype=np.float32), probe=p["probe"],
                                      bits=p["bits"], n_top=p["n_top"], keep_vectors=p["keep_vectors"])
    empty = PartitionedIndex(base.centroids, np.zeros(n_cells + 1, dtype=np.int64), template.ids,
                             template.probe, template.rerank, template.vectors, base.centre)
    empty.add(vectors, ids)
    return _reopened(empty, path)


def _build_like(st: _State, vectors: Any, ids: np.ndarray, path: str) -> Any:
    """A segment of ``vectors`` under ``ids`` with cells trained on them, saved at ``path``."""
    p = st.params
    cells = None if p["cells"] is None else min(p["cells"], max(1, len(ids)))
    return PartitionedIndex.build(vectors, path, ids, cells=cells, probe=p["probe"], bits=p["bits"],
                                  n_top=p["n_top"], keep_vectors=p["keep_vectors"])


def _segment_of(st: _State, shard: int, vectors: Any, ids: np.ndarray, path: str) -> Any:
    """New rows for ``shard``: in its largest segment's cells (any shard's when it has none)."""
    pool = list(st.shards[shard]) or list(st.segments())
    if not pool:
        return _build_like(st, vectors, ids, path)
    return _assigned(st, max(pool, key=lambda s: s.rows).index, vectors, ids, path)


def _commit(st: _State, op: str = "build") -> _State:
    """Writes ``st``'s manifest (the commit point), then removes what it no longer references."""
    doc = st.doc()
    raw = (json.dumps(doc, indent=1) + "\n").encode()
    _atomic.write_bytes(os.path.join(st.directory, MANIFEST), raw)
    _crash_point(f"{op}:after-manifest")
    keep = {s.name for s in st.segments()} | {s.tombstone for s in st.segments() if s.tombstone}
    for name in os.listdir(st.directory):
        full = os.path.join(st.directory, name)
        with contextlib.suppress(OSError):
            if _SEGMENT.match(name) and name not in keep:
                shutil.rmtree(full)
            elif (_TOMBSTONE.match(name) and name not in keep) or _atomic.is_stale_temporary(name):
                os.unlink(full)
    return _State(st.directory, st.params, st.next_id, st.shards, _digest(raw))
