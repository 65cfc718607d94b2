"""The index kinds: one registry of the four index classes and what goes with them.

A kind is the lower-case name the command line, sharded-index manifests and
the evaluation harness use (``rank``, ``rankquant``, ``bitmap``,
``signbitmap``).  :data:`KINDS` maps it to its :class:`Kind`: the native
class, the file extension, the file magics (the written one first, then the
legacy one the loader also accepts), the constructor parameters besides
``dim`` and whether the class has an asymmetric search.  Everything above
this module asks the registry rather than naming classes itself:
:func:`new_index` and :meth:`Kind.new` build, :meth:`Kind.params_of` reads
the parameters back, :func:`kind_of_file` and :func:`load` go by a file's
magic, and :func:`search_index` runs the top-k search of any kind.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Tuple

import numpy as np

from . import _kwivel

__all__ = ["Kind", "KINDS", "UnknownIndexFile", "default_n_top", "index_params", "new_index",
           "kind_of", "kind_of_file", "load", "search_index"]

# Dense scores of one SignBitmap block of queries, in bytes.
_SCORE_BLOCK_BYTES = 64 << 20


@dataclass(frozen=True)
class Kind:
    """One index kind."""

    name: str                       # "rankquant"
    class_name: str                 # "RankQuant"
    extension: str                  # ".kwrq"
    magics: Tuple[bytes, ...]       # written magic first, then the legacy one
    legacy_extension: str           # ".hyrq"
    params: Tuple[str, ...]         # constructor parameters after dim, in order
    asymmetric: bool                # has search_asymmetric

    @property
    def cls(self) -> Any:
        return getattr(_kwivel, self.class_name)

    def new(self, params: Mapping[str, int]) -> Any:
        """An empty index from ``params``: ``dim`` and each of :attr:`params`."""
        return self.cls(params["dim"], *(params[name] for name in self.params))

    def params_of(self, index: Any) -> Dict[str, int]:
        """``dim`` and the other constructor parameters of ``index``."""
        found = {"dim": int(index.dim)}
        for name in self.params:
            found[name] = int(getattr(index, name))
        return found

    def load(self, path: str) -> Any:
        """The native loader of this kind (its OSError for a bad file)."""
        return self.cls.load(path)


KINDS: Dict[str, Kind] = {k.name: k for k in (
    Kind("rank", "Rank", ".kwr", (b"KWR1", b"HYR1"), ".hyr", (), True),
    Kind("rankquant", "RankQuant", ".kwrq", (b"KWRQ", b"HYRQ"), ".hyrq", ("bits",), True),
    Kind("bitmap", "Bitmap", ".kwbm", (b"KWBM", b"HYBM"), ".hybm", ("n_top",), False),
    Kind("signbitmap", "SignBitmap", ".kwsb", (b"KWSB", b"HYSB"), ".hysb", (), False),
)}
_BY_MAGIC: Dict[bytes, Kind] = {magic: k for k in KINDS.values() for magic in k.magics}
_BY_CLASS_NAME: Dict[str, Kind] = {k.class_name: k for k in KINDS.values()}


class UnknownIndexFile(ValueError):
    """A file whose magic is none of the index formats'."""


def default_n_top(dim: int) -> int:
    """Set bits per Bitmap row when none is given: half the coordinates, the
    setting whose shortlists lose least before the rerank (measured on Fashion-MNIST)."""
    return max(1, dim // 2)


def index_params(kind: str, dim: int, bits: int = 4, n_top: Optional[int] = None) -> Dict[str, int]:
    """The parameters of a new ``kind`` index of width ``dim``: ``bits`` applies to
    rankquant, ``n_top`` (default :func:`default_n_top`) to bitmap."""
    given = {"bits": bits, "n_top": default_n_top(dim) if n_top is None else n_top}
    params = {"dim": dim}
    for name in KINDS[kind].params:
        params[name] = given[name]
    return params


def new_index(kind: str, dim: int, bits: int = 4, n_top: Optional[int] = None) -> Any:
    """An empty ``kind`` index (the constructor's ValueError / OverflowError for bad values)."""
    return KINDS[kind].new(index_params(kind, dim, bits, n_top))


def kind_of(index: Any) -> Kind:
    """The kind of an index object (KeyError for anything else)."""
    return _BY_CLASS_NAME[type(index).__name__]


def kind_of_file(path: str) -> Kind:
    """The kind whose magic starts the file: OSError when it cannot be read,
    :class:`UnknownIndexFile` when the magic is none of them."""
    with open(path, "rb") as f:
        magic = f.read(4)
    kind = _BY_MAGIC.get(magic)
    if kind is None:
        raise UnknownIndexFile(f"not a kwivel index file (unknown magic {magic!r})")
    return kind


def load(path: str) -> Any:
    """The index in the file at ``path``, of whichever kind its magic names."""
    return kind_of_file(path).load(path)


def search_index(index: Any, queries: Any, k: int, asymmetric: bool = False
                 ) -> Tuple[np.ndarray, np.ndarray]:
    """Top-k ``(scores, ids)`` of one index of any kind, in the library's order.

    ``Rank`` and ``RankQuant`` run ``search`` (or ``search_asymmetric``), ``Bitmap``
    runs ``search``; a ``SignBitmap`` has no top-k search, so its Hamming shortlist
    of ``k`` is the ranking and the scores are the sign agreements of those ids
    (``dim`` minus the Hamming distance), which order the same way.  The queries
    go to the index as given, so its gates judge them."""
    if asymmetric:
        if not hasattr(index, "search_asymmetric"):
            raise TypeError(f"asymmetric search applies to Rank and RankQuant, not {type(index).__name__}")
        return index.search_asymmetric(queries, k)
    if hasattr(index, "search"):
        return index.search(queries, k)
    ids = index.top_m_candidates_batched(queries, k).astype(np.int64)
    scores = np.empty(ids.shape, dtype=np.float32)
    if ids.size:
        step = max(1, _SCORE_BLOCK_BYTES // (4 * max(1, len(index))))
        for a in range(0, len(ids), step):
            dense = index.score_all_batched(queries[a:a + step])
            scores[a:a + step] = np.take_along_axis(dense, ids[a:a + step], axis=1)
    return scores, ids
