"""Sharded indexes: one corpus split over several index files, searched as one.

A sharded index is a directory holding one index file per shard and a JSON
manifest (``manifest.json``).  Shards hold contiguous ranges of global ids:
the vector with local id ``i`` in a shard whose first global id is ``offset``
has global id ``offset + i``.  The manifest records the index kind and its
parameters and, for each shard, its file, first global id, vector count, file
size and SHA-256.

Building writes each shard file under a fresh name (the index's own writer
goes through a temporary file renamed into place) and the manifest last,
also by rename (:mod:`kwivel._atomic`).  The manifest is the commit point:
until it is replaced, a reader sees the previous complete index, or none;
files left by an interrupted build are removed by the next one (its
temporaries once the process that wrote them is gone).  Once the new manifest is in place the previous build's files
are removed: a reader that opened the old manifest and has not loaded all
its shards yet gets a ShardError for a missing file and must reopen.

Searching runs each shard's top-k and merges the parts in the library's
order (score descending, then global id ascending), so the answer equals that
of one index holding the whole corpus, bit for bit.  ``search_two_stage``
runs a :class:`~kwivel.Pipeline` per shard instead (a sharded probe and a
sharded ``RankQuant`` cut alike) and merges its parts the same way.  Without a Dask client the
shards are searched in this process one after another.  With a client
(``distributed.Client``) each worker is given a fixed set of shards, loads
them once and keeps them; the query batch goes to the workers and each worker
sends back one merged ``(nq, k)`` part.  A worker that dies mid-search has
its task, and so its shards, rerun on another worker, which loads them from
the shared storage.

A missing, truncated or altered shard file, or one that disagrees with the
manifest, raises :class:`ShardError` naming the shard; results are never
silently dropped.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import secrets
import threading
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

from . import _atomic, _kwivel
from .kinds import KINDS, index_params, search_index
from .pipeline import Pipeline

__all__ = ["ShardedIndex", "ShardError", "Shard", "build_sharded", "merge_topk",
           "search_index", "MANIFEST"]

MANIFEST = "manifest.json"
FORMAT = "kwivel-sharded-index"
VERSION = 1

# Float input handed to one `add`.
_CHUNK_BYTES = 64 << 20

_SHARD_NAME = re.compile(r"^shard-\d{5}-[0-9a-f]{16}\.(kwr|kwrq|kwbm|kwsb)$")
# Temporaries of shard files and of the manifest: ".NAME.<pid>.<random>.tmp"
# (kwivel._atomic and the native writer), or ".NAME.<16 hex>.tmp" as builds
# of earlier versions named them (no pid: removed by the next build).
_OWN_TEMP = re.compile(r"^\.(shard-\d{5}-[0-9a-f]{16}\.(kwr|kwrq|kwbm|kwsb)|manifest\.json)\."
                       r"([1-9]\d{0,8}\.[A-Za-z0-9]+|(?P<legacy>[0-9a-f]{16}))\.tmp$")


class ShardError(OSError):
    """A sharded index whose manifest or shard files are missing, damaged or inconsistent."""


@dataclass(frozen=True)
class Shard:
    """One shard as the manifest records it."""

    number: int
    file: str
    offset: int
    count: int
    size: int
    sha256: str

    def label(self) -> str:
        return f"shard {self.number} ({self.file})"


# ----------------------------------------------------------------------------
# Searching one index and merging parts.

def _order_keys(scores: np.ndarray) -> np.ndarray:
    """int64 keys that sort like the float32 scores in IEEE total order (+0.0 above -0.0)."""
    bits = np.ascontiguousarray(scores, dtype=np.float32).view(np.int32).astype(np.int64)
    return np.where(bits < 0, bits ^ 0x7FFFFFFF, bits)


def merge_topk(parts: Sequence[Tuple[np.ndarray, np.ndarray]], k: int,
               nq: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
    """The best ``k`` per row of several ``(scores, global ids)`` parts, best first.

    Rows are merged by score descending in IEEE total order, then id ascending:
    the order of every top-k search of the library.  The result has
    ``min(k, total columns)`` columns."""
    if not parts:
        n = 0 if nq is None else nq
        return np.zeros((n, 0), dtype=np.float32), np.zeros((n, 0), dtype=np.int64)
    scores = np.concatenate([np.asarray(s, dtype=np.float32) for s, _ in parts], axis=1)
    ids = np.concatenate([np.asarray(i, dtype=np.int64) for _, i in parts], axis=1)
    width = min(k, scores.shape[1])
    if scores.shape[0] == 0 or width == 0:
        return (np.zeros((scores.shape[0], width), dtype=np.float32),
                np.zeros((scores.shape[0], width), dtype=np.int64))
    order = np.lexsort((ids, -_order_keys(scores)), axis=-1)[:, :width]
    return (np.ascontiguousarray(np.take_along_axis(scores, order, axis=1)),
            np.ascontiguousarray(np.take_along_axis(ids, order, axis=1)))


def _search_shard(indexes: Sequence[Any], shard: Shard, queries: Any, k: int,
                  how: Tuple[str, Any]) -> Tuple[np.ndarray, np.ndarray]:
    """One shard's part with global ids.  ``how`` is ("topk", asymmetric) with one
    index, or ("two_stage", m) with the probe and the RankQuant of the shard."""
    if how[0] == "topk":
        scores, ids = search_index(indexes[0], queries, k, how[1])
    else:
        with Pipeline(indexes[0], indexes[1]) as pipeline:
            scores, ids = pipeline.search(queries, k, how[1])
    ids = ids.astype(np.int64, copy=False)
    return scores, np.where(ids >= 0, ids + np.int64(shard.offset), np.int64(-1))


# ----------------------------------------------------------------------------
# Files.

def _sha256(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def _check_file(directory: str, shard: Shard, checksum: bool) -> str:
    """The shard's path, once its size (and checksum) match the manifest; ShardError otherwise."""
    path = os.path.join(directory, shard.file)
    where = f"{directory}: {shard.label()}"
    try:
        size = os.stat(path).st_size
    except FileNotFoundError:
        raise ShardError(f"{where}: file is missing") from None
    except OSError as exc:
        raise ShardError(f"{where}: cannot read: {exc.strerror or exc}") from None
    if size != shard.size:
        raise ShardError(f"{where}: file has {size} B, the manifest records {shard.size} B"
                         + (" (truncated)" if size < shard.size else ""))
    if checksum:
        digest = _sha256(path)
        if digest != shard.sha256:
            raise ShardError(f"{where}: checksum mismatch: file has sha256 {digest}, "
                             f"the manifest records {shard.sha256}")
    return path


def _load_shard(directory: str, kind: str, params: Dict[str, int], shard: Shard) -> Any:
    """Loads one shard file and checks it against the manifest; ShardError otherwise."""
    path = _check_file(directory, shard, checksum=True)
    where = f"{directory}: {shard.label()}"
    try:
        index = KINDS[kind].load(path)
    except OSError as exc:
        raise ShardError(f"{where}: {exc}") from None
    found = KINDS[kind].params_of(index)
    if found != params:
        raise ShardError(f"{where}: file holds an index with {found}, the manifest records {params}")
    if len(index) != shard.count:
        raise ShardError(f"{where}: file holds {len(index)} vectors, the manifest records {shard.count}")
    return index


# ----------------------------------------------------------------------------
# The manifest.

def _bad_manifest(path: str, what: str) -> ShardError:
    return ShardError(f"{path}: not a valid sharded-index manifest: {what}")


def _read_manifest(directory: str) -> Tuple[str, Dict[str, int], int, List[Shard], str]:
    path = os.path.join(directory, MANIFEST)
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except FileNotFoundError:
        raise ShardError(f"{directory}: not a sharded index (no {MANIFEST}; "
                         f"an interrupted build leaves none)") from None
    except OSError as exc:
        raise ShardError(f"{path}: cannot read: {exc.strerror or exc}") from None
    try:
        doc = json.loads(raw)
    except (ValueError, UnicodeDecodeError) as exc:
        raise _bad_manifest(path, f"bad JSON ({exc})") from None

    def field(obj: Any, name: str, typ: type, where: str = "") -> Any:
        if not isinstance(obj, dict) or name not in obj:
            raise _bad_manifest(path, f"{where}missing field {name!r}")
        value = obj[name]
        if not isinstance(value, typ) or (typ is int and isinstance(value, bool)):
            raise _bad_manifest(path, f"{where}field {name!r} has the wrong type")
        if typ is int and value < 0:
            raise _bad_manifest(path, f"{where}field {name!r} is negative")
        return value

    if field(doc, "format", str) != FORMAT:
        raise _bad_manifest(path, f"format is not {FORMAT!r}")
    if field(doc, "version", int) != VERSION:
        raise _bad_manifest(path, f"unsupported version {doc['version']}")
    kind = field(doc, "kind", str)
    if kind not in KINDS:
        raise _bad_manifest(path, f"unknown index kind {kind!r}")
    raw_params = field(doc, "params", dict)
    params = {name: field(raw_params, name, int, "params: ") for name in ("dim",) + KINDS[kind].params}
    if set(raw_params) != set(params):
        raise _bad_manifest(path, f"params of a {kind} index are {sorted(params)}")
    n_vectors = field(doc, "n_vectors", int)
    entries = field(doc, "shards", list)
    if not entries:
        raise _bad_manifest(path, "no shards")
    shards = []
    expected_offset = 0
    for number, entry in enumerate(entries):
        where = f"shard {number}: "
        name = field(entry, "file", str, where)
        if not _SHARD_NAME.match(name) or not name.endswith(KINDS[kind].extension):
            raise _bad_manifest(path, f"{where}file name {name!r} is not a {kind} shard file name")
        shard = Shard(number, name, field(entry, "offset", int, where), field(entry, "count", int, where),
                      field(entry, "bytes", int, where), field(entry, "sha256", str, where))
        if shard.offset != expected_offset:
            raise ShardError(f"{directory}: {shard.label()}: the manifest gives first id "
                             f"{shard.offset}, expected {expected_offset} (shards must be contiguous)")
        if shard.count > _kwivel.MAX_VECTORS:
            raise ShardError(f"{directory}: {shard.label()}: {shard.count} vectors exceed "
                             f"MAX_VECTORS={_kwivel.MAX_VECTORS}")
        expected_offset += shard.count
        shards.append(shard)
    if expected_offset != n_vectors:
        raise _bad_manifest(path, f"shard counts add up to {expected_offset}, n_vectors is {n_vectors}")
    if len({s.file for s in shards}) != len(shards):
        raise _bad_manifest(path, "a file is listed twice")
    return kind, params, n_vectors, shards, hashlib.sha256(raw).hexdigest()


# ----------------------------------------------------------------------------
# Building.

def _plan(n: int, shards: Optional[int], shard_size: Optional[int]) -> List[Tuple[int, int]]:
    if shards is not None and shard_size is not None:
        raise ValueError("give the number of shards or the shard size, not both")
    if shards is not None:
        if shards < 1:
            raise ValueError(f"shards must be >= 1, got {shards}")
        count = max(1, min(shards, n))
        base, extra = divmod(n, count)
        sizes = [base + (1 if i < extra else 0) for i in range(count)]
    else:
        size = _kwivel.MAX_VECTORS if shard_size is None else shard_size
        if size < 1:
            raise ValueError(f"shard_size must be >= 1, got {size}")
        sizes = [min(size, n - a) for a in range(0, n, size)] or [0]
    if max(sizes) > _kwivel.MAX_VECTORS:
        raise ValueError(f"a shard of {max(sizes)} vectors exceeds MAX_VECTORS={_kwivel.MAX_VECTORS}; "
                         f"use more shards")
    ranges, a = [], 0
    for s in sizes:
        ranges.append((a, a + s))
        a += s
    return ranges


def _check_target(directory: str) -> None:
    if os.path.exists(directory) and not os.path.isdir(directory):
        raise ShardError(f"{directory}: exists and is not a directory")
    if not os.path.isdir(directory):
        return
    foreign = [name for name in os.listdir(directory)
               if name != MANIFEST and not _SHARD_NAME.match(name) and not _OWN_TEMP.match(name)]
    if foreign:
        raise ShardError(f"{directory}: holds files that are not part of a sharded index "
                         f"({', '.join(sorted(foreign)[:3])}); refusing to write there")


def _write_shard(directory: str, index: Any, name: str) -> Tuple[int, str]:
    """Writes one shard file (the native writer replaces it whole and fsyncs it);
    returns its size and SHA-256 for the manifest."""
    path = os.path.join(directory, name)
    index.write(path)
    return os.stat(path).st_size, _sha256(path)


def _is_leftover(name: str, keep: Iterable[str]) -> bool:
    """A file of an earlier or interrupted build that the new manifest does not
    list: a shard file, or a temporary whose writer is gone."""
    if name in keep:
        return False
    if _SHARD_NAME.match(name):
        return True
    match = _OWN_TEMP.match(name)
    return match is not None and (match.group("legacy") is not None or _atomic.is_stale_temporary(name))


def build_sharded(vectors: Any, directory: str, kind: str, *, shards: Optional[int] = None,
                  shard_size: Optional[int] = None, bits: int = 4, n_top: Optional[int] = None,
                  progress: Any = None) -> "ShardedIndex":
    """Writes ``vectors`` (2-D float, e.g. a memory-mapped ``.npy``) as a sharded index.

    ``shards`` splits the rows into that many near-equal contiguous shards;
    ``shard_size`` cuts shards of that many rows (the last one shorter); with
    neither, shards hold up to ``MAX_VECTORS`` rows.  ``bits`` applies to
    ``rankquant``, ``n_top`` to ``bitmap`` (default: the ``kwivel build`` default).
    ``progress(rows_done)`` is called after every block of rows added.

    Shards are built and written one at a time; the manifest is written last,
    so an interrupted build leaves the directory's previous index (or none)."""
    if kind not in KINDS:
        raise ValueError(f"unknown index kind {kind!r}; expected one of {', '.join(KINDS)}")
    shape = getattr(vectors, "shape", None)
    if shape is None or len(shape) != 2:
        raise TypeError("expected a 2-D float array")
    n, dim = int(shape[0]), int(shape[1])
    ranges = _plan(n, shards, shard_size)
    params = index_params(kind, dim, bits, n_top)
    probe = KINDS[kind].new(params)  # refuses a bad dim / bits / n_top before any file is touched
    params = KINDS[kind].params_of(probe)
    del probe

    _check_target(directory)
    os.makedirs(directory, exist_ok=True)
    build_id = secrets.token_hex(8)
    ext = KINDS[kind].extension
    step = max(1, _CHUNK_BYTES // max(1, 4 * dim))
    entries = []
    for number, (a, b) in enumerate(ranges):
        index = KINDS[kind].new(params)
        for c in range(a, b, step):
            d = min(b, c + step)
            index.add(np.ascontiguousarray(vectors[c:d]))
            if progress is not None:
                progress(d - c)
        name = f"shard-{number:05d}-{build_id}{ext}"
        size, digest = _write_shard(directory, index, name)
        del index
        entries.append({"file": name, "offset": a, "count": b - a, "bytes": size, "sha256": digest})
    _atomic.write_json(os.path.join(directory, MANIFEST),
                       {"format": FORMAT, "version": VERSION, "kind": kind, "params": params,
                        "n_vectors": n, "shards": entries})
    # The new manifest is in place: files of earlier builds (or interrupted ones) can go.
    keep = {e["file"] for e in entries} | {MANIFEST}
    for name in os.listdir(directory):
        if _is_leftover(name, keep):
            try:
                os.unlink(os.path.join(directory, name))
            except OSError:
                pass
    return ShardedIndex.open(directory)


# ----------------------------------------------------------------------------
# Shards kept by each Dask worker process, per directory, for its current manifest.

_WORKER_CACHE: Dict[str, Dict[str, Any]] = {}       # directory -> shard file -> index
_WORKER_GENERATION: Dict[str, str] = {}             # directory -> manifest digest
_WORKER_LOADS: Dict[Tuple[str, str], int] = {}      # (directory, shard file) -> loads
_WORKER_LOCK = threading.Lock()


def _worker_address() -> Optional[str]:
    try:
        from distributed import get_worker
        return get_worker().address
    except (ImportError, ValueError):
        return None


def worker_cached(directory: str, generation: Optional[str], name: str, load: Any, keep: bool) -> Any:
    """On a Dask worker: the object ``name`` of ``directory``, from ``load()`` the first time
    and kept (``keep``) for the searches that follow.  A ``generation`` other than the one
    last seen for ``directory`` (its manifest was rewritten) drops what was kept for it;
    None keeps it (names that never change meaning, like fresh segment names)."""
    with _WORKER_LOCK:
        if generation is not None and _WORKER_GENERATION.get(directory) != generation:
            # The directory was rebuilt: the shards of its earlier manifest go.
            _WORKER_CACHE.pop(directory, None)
            _WORKER_GENERATION[directory] = generation
        cache = _WORKER_CACHE.setdefault(directory, {})
        obj = cache.get(name)
        if obj is None:
            obj = load()
            _WORKER_LOADS[directory, name] = _WORKER_LOADS.get((directory, name), 0) + 1
            if keep:
                cache[name] = obj
        return obj


def worker_keeps(owner: str, directory: str, names: Iterable[str]) -> bool:
    """On a Dask worker: whether it is ``owner``, the worker these names were assigned to;
    if so, it drops whatever else it kept for ``directory`` (now assigned elsewhere).  Any
    other worker runs a task only when the owner died mid-search, and loads for that task
    alone, so its memory holds no more than its own share afterwards."""
    keep = _worker_address() == owner
    if keep:
        wanted = set(names)
        with _WORKER_LOCK:
            cache = _WORKER_CACHE.get(directory, {})
            for name in [name for name in cache if name not in wanted]:
                del cache[name]
    return keep


def _search_on_worker(numbers: List[int], owner: str, queries: np.ndarray,
                      sources: List[Tuple[str, str, str, Dict[str, int], List[Shard]]],
                      k: int, how: Tuple[str, Any]) -> Tuple[np.ndarray, np.ndarray]:
    """Runs on a Dask worker: searches shards ``numbers`` and merges their parts.

    ``sources`` are the sharded indexes searched together, as (directory,
    manifest digest, kind, params, shards); the owner keeps its shards loaded."""
    keep = all([worker_keeps(owner, directory, [shards[i].file for i in numbers])
                for directory, _, _, _, shards in sources])
    parts = []
    for i in numbers:
        indexes = [worker_cached(directory, generation, shards[i].file,
                                 lambda d=directory, kd=kind, p=params, sh=shards[i]: _load_shard(d, kd, p, sh),
                                 keep)
                   for directory, generation, kind, params, shards in sources]
        parts.append(_search_shard(indexes, sources[-1][4][i], queries, k, how))
    return merge_topk(parts, k, nq=len(queries))


def assign_to_workers(n_shards: int, workers: Iterable[str]) -> Dict[str, List[int]]:
    """Shard numbers per worker address: shard i goes to the i-th worker in address order,
    cyclically."""
    addresses = sorted(workers)
    if not addresses:
        raise RuntimeError("the Dask cluster has no workers")
    plan: Dict[str, List[int]] = {}
    for number in range(n_shards):
        plan.setdefault(addresses[number % len(addresses)], []).append(number)
    return plan


def search_on_workers(client: Any, n_shards: int, task: Any, queries: Any, args: Tuple[Any, ...],
                      timeout: Optional[float]
                      ) -> Tuple[List[Tuple[np.ndarray, np.ndarray]], Dict[str, int]]:
    """Runs ``task(numbers, owner, queries, *args)`` once per worker of ``client``, each on its
    shard ``numbers`` (:func:`assign_to_workers`), pinned to that worker but free to move when
    it dies.  The queries go out once per worker (float32); returns the ``(scores, ids)`` part
    of every worker and the bytes moved."""
    q = queries
    if isinstance(q, np.ndarray) and q.dtype in (np.float16, np.float64):
        # The shards convert to float32 anyway; send the smaller array.
        with np.errstate(over="ignore"):
            q = q.astype(np.float32)
    if isinstance(q, np.ndarray) and not q.flags.c_contiguous:
        q = np.ascontiguousarray(q)
    plan = assign_to_workers(n_shards, client.scheduler_info()["workers"])
    q_future = client.scatter(q, broadcast=True, hash=False)
    try:
        futures = [client.submit(task, numbers, address, q_future, *args, workers=[address],
                                 allow_other_workers=True, pure=False)
                   for address, numbers in plan.items()]
        parts = [f.result(timeout=timeout) for f in futures]
    finally:
        q_future.release()
    sent = int(getattr(q, "nbytes", 0)) * len(plan)
    received = sum(int(s.nbytes) + int(i.nbytes) for s, i in parts)
    return parts, {"queries_bytes_sent": sent, "result_bytes_received": received, "workers": len(plan)}


def _worker_loads() -> Dict[Tuple[str, str], int]:
    """(directory, shard file) -> how often this worker process loaded it."""
    with _WORKER_LOCK:
        return dict(_WORKER_LOADS)


# ----------------------------------------------------------------------------
# The sharded index.

class ShardedIndex:
    """A sharded index directory, opened for search.

    ``ShardedIndex.open(path)`` reads and checks the manifest and the size of
    every shard file; each shard's checksum is checked when the shard is
    loaded.  In-process searches keep the loaded shards (``keep=False`` loads
    and drops them one at a time instead)."""

    def __init__(self, directory: str, kind: str, params: Dict[str, int], n_vectors: int,
                 shards: List[Shard], generation: str, keep: bool = True) -> None:
        self.directory = directory
        self.kind = kind
        self.params = dict(params)
        self.n_vectors = n_vectors
        self.shards = list(shards)
        self.generation = generation
        self.keep = keep
        self._loaded: Dict[int, Any] = {}
        self._lock = threading.Lock()
        #: bytes of the last distributed search: queries sent, results received.
        self.last_transfer: Dict[str, int] = {}

    def __getstate__(self) -> Dict[str, Any]:
        state = dict(self.__dict__)
        state["_loaded"] = {}
        del state["_lock"]
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()

    @classmethod
    def open(cls, path: str, keep: bool = True) -> "ShardedIndex":
        directory = os.path.abspath(path)
        if not os.path.isdir(directory):
            raise ShardError(f"{path}: not a directory")
        kind, params, n, shards, generation = _read_manifest(directory)
        for shard in shards:
            _check_file(directory, shard, checksum=False)
        return cls(directory, kind, params, n, shards, generation, keep)

    def __repr__(self) -> str:
        extra = "".join(f", {k}={v}" for k, v in self.params.items())
        return (f"ShardedIndex({self.directory!r}, kind={self.kind}{extra}, "
                f"n={self.n_vectors}, shards={len(self.shards)})")

    def __len__(self) -> int:
        return self.n_vectors

    @property
    def dim(self) -> int:
        return self.params["dim"]

    def verify(self) -> None:
        """Checks every shard file's size and checksum against the manifest."""
        for shard in self.shards:
            _check_file(self.directory, shard, checksum=True)

    def load_shard(self, number: int) -> Any:
        """Shard ``number`` as an index (local ids), checked against the manifest."""
        with self._lock:
            index = self._loaded.get(number)
            if index is None:
                index = _load_shard(self.directory, self.kind, self.params, self.shards[number])
                if self.keep:
                    self._loaded[number] = index
            return index

    def search(self, queries: Any, k: int, asymmetric: bool = False, client: Any = None,
               timeout: Optional[float] = None) -> Tuple[np.ndarray, np.ndarray]:
        """Top-``k`` ``(scores, global ids)`` over all shards, ``float32`` and ``int64``.

        ``asymmetric`` runs ``search_asymmetric`` (Rank, RankQuant).  With a Dask
        ``client`` the shards are searched on its workers; ``timeout`` (seconds)
        bounds the wait for their parts."""
        return self._run([self], queries, k, ("topk", asymmetric), client, timeout)

    def search_two_stage(self, probe: "ShardedIndex", queries: Any, k: int, m: int,
                         client: Any = None, timeout: Optional[float] = None
                         ) -> Tuple[np.ndarray, np.ndarray]:
        """Two-stage search per shard (:class:`kwivel.Pipeline`), merged.

        ``self`` is a sharded ``RankQuant``, ``probe`` a sharded ``Bitmap`` or
        ``SignBitmap`` of the same corpus cut into the same shards.  Each shard
        shortlists ``m`` candidates with its probe and reranks them; the parts are
        merged into ``(nq, k)`` arrays, padded with ``-inf`` / ``-1`` where fewer
        than ``k`` candidates exist."""
        if self.kind != "rankquant":
            raise ValueError(f"the rerank index must be a sharded rankquant index, not {self.kind}")
        if probe.kind not in ("bitmap", "signbitmap"):
            raise ValueError(f"the probe must be a sharded bitmap or signbitmap index, not {probe.kind}")
        if [(s.offset, s.count) for s in probe.shards] != [(s.offset, s.count) for s in self.shards]:
            raise ValueError(f"{probe.directory} and {self.directory} are not cut into the same shards")
        if probe.dim != self.dim:
            raise ValueError(f"probe and rerank index differ in dim: {probe.dim} vs {self.dim}")
        return self._run([probe, self], queries, k, ("two_stage", m), client, timeout)

    def assignment(self, workers: Iterable[str]) -> Dict[str, List[Shard]]:
        """Shards per worker address: shard i goes to the i-th worker in address order, cyclically."""
        return {address: [self.shards[i] for i in numbers]
                for address, numbers in assign_to_workers(len(self.shards), workers).items()}

    def _source(self) -> Tuple[str, str, str, Dict[str, int], List[Shard]]:
        return self.directory, self.generation, self.kind, self.params, self.shards

    def _run(self, indexes: List["ShardedIndex"], queries: Any, k: int, how: Tuple[str, Any],
             client: Any, timeout: Optional[float]) -> Tuple[np.ndarray, np.ndarray]:
        if client is None:
            parts = [_search_shard([ix.load_shard(s.number) for ix in indexes], s, queries, k, how)
                     for s in self.shards]
            return merge_topk(parts, k, nq=len(queries) if hasattr(queries, "__len__") else None)
        parts, self.last_transfer = search_on_workers(client, len(self.shards), _search_on_worker, queries,
                                                      ([ix._source() for ix in indexes], k, how), timeout)
        return merge_topk(parts, k, nq=len(queries) if hasattr(queries, "__len__") else None)


# ----------------------------------------------------------------------------
# Dask.

def connect(address: str, timeout: float = 30) -> Any:
    """A ``distributed.Client`` of the scheduler at ``address`` (tcp://HOST:PORT)."""
    from distributed import Client

    return Client(address, timeout=timeout)
