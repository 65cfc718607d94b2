"""Replacing a file whole: a temporary beside it, renamed over it.

Every file the Python package writes (sharded-index manifests, search
results, tables, plots) goes through :func:`replacing`; index files are
written by the native ``write``, which follows the same steps.

The contract: the target either keeps its old content or holds the complete
new content, also across a crash.  The data go to a temporary file in the
target's directory, named ``.NAME.<pid>.<random>.tmp`` (``NAME`` the target's
last component, ``<pid>`` the writer's process id); it is flushed and
fsynced, renamed over the target, and the directory is fsynced so that the
rename itself survives a crash.  On any failure before the rename the
temporary is removed and the target is left untouched.

A writer killed before its rename (SIGKILL, a power cut) cannot remove its
temporary.  So every write first removes the temporaries of its own target
whose writer is gone: ``kill(pid, 0)`` fails with ``ESRCH``.  A live writer's
temporary (this process's included) is never removed; a dead writer's pid
reused by an unrelated process only keeps a stale file a little longer.
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import re
import secrets
from typing import Any, Iterator, Optional, Tuple

__all__ = ["replacing", "write_bytes", "write_json", "check_writable", "remove_stale_temporaries",
           "is_stale_temporary"]

# ".NAME.<pid>.<random>.tmp"; <random> as this module and the native writer
# make it (hex here, mkstemp's letters and digits there).  <random> holds no
# dot, so the last two components are the pid and <random> whatever NAME is.
_TEMPORARY = re.compile(r"\.(.+)\.([1-9][0-9]{0,8})\.[A-Za-z0-9]+\.tmp")


def _split(path: str) -> Tuple[str, str]:
    directory, name = os.path.split(os.fspath(path))
    return directory or ".", name


def _writer_gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:          # EPERM: alive, another user's
        return False
    return False


def is_stale_temporary(entry: str, name: Optional[str] = None) -> bool:
    """Whether the directory entry ``entry`` is a temporary (of target ``name``,
    or of any target when ``name`` is None) whose writer no longer runs."""
    match = _TEMPORARY.fullmatch(entry)
    return (match is not None and (name is None or match.group(1) == name)
            and _writer_gone(int(match.group(2))))


def remove_stale_temporaries(path: str) -> None:
    """Removes the temporaries of ``path`` left by writers that no longer run.

    Best effort: a directory that cannot be listed or a file that cannot be
    removed leaves the write that follows to succeed or fail on its own."""
    directory, name = _split(path)
    if not name:
        return
    try:
        entries = os.listdir(directory)
    except OSError:
        return
    for entry in entries:
        if entry.startswith(f".{name}.") and is_stale_temporary(entry, name):
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(directory, entry))


def _create_temporary(path: str) -> str:
    """A new empty temporary beside ``path``, mode 0666 less the umask."""
    directory, name = _split(path)
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    while True:
        tmp = os.path.join(directory, f".{name}.{os.getpid()}.{secrets.token_hex(8)}.tmp")
        try:
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        os.close(fd)
        return tmp


def _fsync(path: str, flags: int) -> None:
    fd = os.open(path, flags | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    except OSError as exc:
        # Some file systems cannot sync a directory; the rename stands anyway.
        if not (flags & os.O_DIRECTORY and exc.errno == errno.EINVAL):
            raise
    finally:
        os.close(fd)


def check_writable(path: str) -> None:
    """Raises the OSError that writing ``path`` would meet at its start (a
    missing directory, no permission, ``path`` a directory); creates nothing.

    For commands that should fail before a long computation, not after it."""
    os.unlink(_create_temporary(path))


@contextlib.contextmanager
def replacing(path: str) -> Iterator[str]:
    """Yields the path of a new empty temporary beside ``path``; write the new
    content there (by name: reopening or replacing it is fine).  When the block
    ends normally the temporary is fsynced and renamed over ``path`` and the
    directory fsynced; when it raises, or any of these steps fails, the
    temporary is removed and ``path`` keeps what it held."""
    remove_stale_temporaries(path)
    tmp = _create_temporary(path)
    try:
        yield tmp
        _fsync(tmp, os.O_RDONLY)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    _fsync(_split(path)[0], os.O_RDONLY | os.O_DIRECTORY)


def write_bytes(path: str, data: bytes) -> None:
    """Replaces ``path`` with ``data`` (see :func:`replacing`)."""
    with replacing(path) as tmp, open(tmp, "wb") as f:
        f.write(data)


def write_json(path: str, doc: Any) -> None:
    """Replaces ``path`` with ``doc`` as indented JSON and a final newline."""
    with replacing(path) as tmp, open(tmp, "w") as f:
        json.dump(doc, f, indent=1)
        f.write("\n")
