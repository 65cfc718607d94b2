"""What the ``kwivel`` command shares with the harnesses it drives.

The command's contract with its user: bad input (a missing file, a wrong
dtype or shape, a width the index refuses, an unwritable output) ends the
command with one line naming the file and exit status 2.  Every function
here that meets such input raises :class:`CliError` with that line, so the
evaluation harness and the sharded-index commands report the same way as
the command itself.  Outputs go through :mod:`kwivel._atomic`, so a failed
command leaves no partial file; progress bars go to stderr (tqdm when
installed, nothing otherwise).
"""

from __future__ import annotations

import contextlib
import os
import struct
import sys
import time
from typing import Any, Iterator, Optional, Tuple

import numpy as np

from . import _atomic, kinds

CHUNK_BYTES = 64 << 20          # float input per add / ground-truth block


class CliError(Exception):
    """A failure caused by the command's input; printed as one line, exit status 2."""


# ----------------------------------------------------------------------------
# Progress bars and output lines.

def progress(total: int, desc: str, unit: str = "vec") -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoProgress()
    return tqdm(total=total, desc=desc, unit=unit, unit_scale=True, leave=False,
                disable=None, file=sys.stderr)


class _NoProgress:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> "_NoProgress":
        return self

    def __exit__(self, *exc: Any) -> None:
        pass


def say(*args: Any) -> None:
    print(*args, flush=True)


def reason(exc: BaseException) -> str:
    """The one-line cause of an exception, for a CliError."""
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc).splitlines()[0] if str(exc) else type(exc).__name__


# ----------------------------------------------------------------------------
# Input files.

def read_vectors(path: str) -> np.ndarray:
    """A 2-D float array from a .npy (memory-mapped) or .fvecs file, or CliError."""
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, expected a .npy or .fvecs file")
    ext = os.path.splitext(path)[1].lower()
    try:
        if ext == ".fvecs":
            arr = _read_fvecs(path)
        elif ext == ".npy":
            arr = np.load(path, mmap_mode="r", allow_pickle=False)
        else:
            raise CliError(f"{path}: unsupported file type {ext or '(none)'}; expected .npy or .fvecs")
    except CliError:
        raise
    except (OSError, ValueError, EOFError) as exc:
        raise CliError(f"{path}: cannot read: {reason(exc)}") from None
    if not isinstance(arr, np.ndarray):
        raise CliError(f"{path}: expected one array, got {type(arr).__name__}")
    if arr.ndim != 2:
        raise CliError(f"{path}: expected a 2-D array (vectors as rows), got shape {arr.shape}")
    if arr.dtype not in (np.float16, np.float32, np.float64):
        raise CliError(f"{path}: expected float16, float32 or float64 values, got {arr.dtype}")
    return arr


def _read_fvecs(path: str) -> np.ndarray:
    size = os.path.getsize(path)
    if size == 0:
        return np.zeros((0, 0), dtype=np.float32)
    with open(path, "rb") as f:
        head = f.read(4)
    if len(head) < 4:
        raise CliError(f"{path}: truncated .fvecs file")
    (d,) = struct.unpack("<i", head)
    if d <= 0 or size % (4 * (d + 1)) != 0:
        raise CliError(f"{path}: not an .fvecs file (first row claims dim {d}, file is {size} bytes)")
    raw = np.memmap(path, dtype="<i4", mode="r").reshape(-1, d + 1)
    if not np.all(raw[:, 0] == d):
        raise CliError(f"{path}: .fvecs rows of different dims")
    return raw.view("<f4")[:, 1:]


def check_width(path: str, arr: np.ndarray, dim: int, what: str) -> None:
    if arr.shape[1] != dim:
        raise CliError(f"{path}: width {arr.shape[1]} does not match the {what}'s dim {dim}")


def chunks(n: int, dim: int) -> Iterator[Tuple[int, int]]:
    """Row ranges of at most CHUNK_BYTES of float32 input each."""
    step = max(1, CHUNK_BYTES // max(1, 4 * dim))
    for start in range(0, n, step):
        yield start, min(n, start + step)


# ----------------------------------------------------------------------------
# Outputs.

def _output_error(path: str, exc: OSError) -> CliError:
    return CliError(f"{path}: cannot write: {reason(exc)}")


def _check_output_path(path: str) -> None:
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory")
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise CliError(f"{path}: cannot write: no such directory {parent}")


def check_output(path: str) -> None:
    """CliError now if ``path`` cannot be written, rather than after a long run."""
    _check_output_path(path)
    try:
        _atomic.check_writable(path)
    except OSError as exc:
        raise _output_error(path, exc) from None


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[str]:
    """:func:`kwivel._atomic.replacing`, its OSErrors as CliError naming ``path``."""
    _check_output_path(path)
    try:
        with _atomic.replacing(path) as tmp:
            yield tmp
    except OSError as exc:
        raise _output_error(path, exc) from None


def write_index(index: Any, path: str) -> None:
    """``index.write(path)`` (the native writer replaces the file whole), or CliError."""
    try:
        index.write(path)
    except OSError as exc:
        raise _output_error(path, exc) from None


# ----------------------------------------------------------------------------
# Indexes.

def new_index(kind: str, dim: int, bits: int, n_top: Optional[int], source: str) -> Any:
    try:
        return kinds.new_index(kind, dim, bits, n_top)
    except (ValueError, OverflowError) as exc:
        raise CliError(f"{source}: cannot build a {kind} index of width {dim}: {reason(exc)}") from None


def fill_index(index: Any, vectors: np.ndarray, source: str, desc: str) -> None:
    n, dim = vectors.shape
    with progress(n, desc) as bar:
        for a, b in chunks(n, dim):
            try:
                index.add(np.ascontiguousarray(vectors[a:b]))
            except (ValueError, TypeError) as exc:
                raise CliError(f"{source}: rows {a}..{b - 1}: {reason(exc)}") from None
            bar.update(b - a)


def build_index(kind: str, vectors: np.ndarray, source: str, bits: int = 4,
                n_top: Optional[int] = None) -> Tuple[Any, float]:
    """A ``kind`` index of ``vectors`` (read from ``source``) and the seconds it took."""
    t0 = time.perf_counter()
    index = new_index(kind, vectors.shape[1], bits, n_top, source)
    fill_index(index, vectors, source, f"{kind} add")
    return index, time.perf_counter() - t0


def load_index(path: str) -> Any:
    """The index in the file ``path``, of the kind its magic names, or CliError."""
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    try:
        kind = kinds.kind_of_file(path)
    except kinds.UnknownIndexFile as exc:
        raise CliError(f"{path}: {exc}") from None
    except OSError as exc:
        raise CliError(f"{path}: cannot read: {reason(exc)}") from None
    try:
        return kind.load(path)
    except OSError as exc:
        raise CliError(f"{path}: {reason(exc)}") from None


def search_index(index: Any, queries: np.ndarray, k: int, asymmetric: bool,
                 source: str) -> Tuple[np.ndarray, np.ndarray]:
    """:func:`kwivel.kinds.search_index` on contiguous queries, refusals as CliError."""
    if asymmetric and not kinds.kind_of(index).asymmetric:
        raise CliError(f"{source}: --asymmetric applies to rank and rankquant indexes, "
                       f"not {type(index).__name__}")
    try:
        return kinds.search_index(index, np.ascontiguousarray(queries), k, asymmetric)
    except (ValueError, TypeError) as exc:
        raise CliError(f"{source}: {reason(exc)}") from None
