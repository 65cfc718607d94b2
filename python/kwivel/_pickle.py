"""Pickling of the index classes through their own file formats.

``pickle.dumps(index)`` holds the bytes that ``index.write`` puts in a file,
and unpickling hands those bytes to the class's ``load``.  An unpickled index
has therefore passed exactly the validation of a loaded file, and a damaged
pickle fails with the loader's ``OSError``.  The bytes pass through a file in
the temporary directory (``TMPDIR``), removed at once.  The reducers are
registered with :mod:`copyreg`, so :mod:`copy` uses them too; the native
classes themselves carry no pickling members.
"""

from __future__ import annotations

import copyreg
import os
import pickle
import tempfile
from typing import Any, Tuple

from . import _kwivel

# Classes that get a reducer, as they become available in the native module.
_CLASS_NAMES = ("Rank", "RankQuant", "Bitmap", "SignBitmap")


def index_to_bytes(index: Any) -> bytes:
    """The bytes of ``index``'s file, as ``index.write`` produces them."""
    fd, path = tempfile.mkstemp(prefix="kwivel-", suffix=".idx")
    os.close(fd)
    try:
        index.write(path)
        with open(path, "rb") as f:
            return f.read()
    finally:
        os.unlink(path)


def index_from_bytes(cls: Any, data: bytes) -> Any:
    """A new ``cls`` loaded from the bytes of its file (the loader's OSError if they are bad)."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"expected the bytes of a {cls.__name__} file, got {type(data).__name__}")
    fd, path = tempfile.mkstemp(prefix="kwivel-", suffix=".idx")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        return cls.load(path)
    finally:
        os.unlink(path)


def _reduce(index: Any) -> Tuple[Any, Tuple[Any, bytes]]:
    try:
        data = index_to_bytes(index)
    except OSError as exc:
        # An index its file format cannot hold (an 8-bit RankQuant) cannot be pickled either.
        raise pickle.PicklingError(f"cannot pickle {index!r}: {exc}") from exc
    return index_from_bytes, (type(index), data)


def register() -> None:
    for name in _CLASS_NAMES:
        cls = getattr(_kwivel, name, None)
        if cls is not None:
            copyreg.pickle(cls, _reduce)
