"""Files written whole or not at all: a temporary file beside the target, flushed to disk, renamed over it.

A reader (or a run resumed after a crash) sees the old file or the new one, never a part of
either: ``os.replace`` within one folder is atomic on POSIX file systems, and the data reach the
disk (``fsync``) before the rename makes them visible under the target's name.
"""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
import threading
from typing import Any

from vela_optimizer.streams import STDOUT, stdout_text

_umask_lock = threading.Lock()


def _default_mode() -> int:
    """The permission bits a plain ``open(path, "w")`` would give a new file (0o666 less the umask)."""
    with _umask_lock:  # the umask can only be read by setting it
        mask = os.umask(0)
        os.umask(mask)
    return 0o666 & ~mask


def sync_folder(folder) -> None:
    """Flush a folder's entries (a rename into it) to disk; a no-op where folders cannot be opened."""
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def write_atomic(path, write, *, binary: bool = False, encoding: str = "utf-8") -> None:
    """Write ``path`` by ``write(fh)``, whole or not at all.

    A target that exists and is neither a regular file nor a folder (``/dev/stdout``, a FIFO, a
    device) is written in place: renaming over it would replace the device node.

    Parameters
    ----------
    path : str or os.PathLike
        The file; a symbolic link is followed (the file it names is replaced).
    write : callable
        ``write(fh)`` with a text file (``encoding``, no newline translation) or, with ``binary``,
        a binary one.
    binary : bool
    encoding : str
        Of a text file: "utf-8-sig" starts it with a byte order mark.

    Raises
    ------
    OSError
        The file cannot be written (the target is then as it was).
    """
    if os.fspath(path) == STDOUT and not binary:
        # a byte order mark is for a file Excel opens, not for a pipe
        with stdout_text("utf-8" if encoding == "utf-8-sig" else encoding) as fh:
            write(fh)
        return
    target = os.path.realpath(os.fspath(path))
    mode = "wb" if binary else "w"
    text_args: dict[str, Any] = {} if binary else {"encoding": encoding, "newline": ""}
    try:
        info = os.stat(target)
    except FileNotFoundError:
        info = None
    if info is not None and not stat.S_ISREG(info.st_mode) and not stat.S_ISDIR(info.st_mode):
        with open(target, mode, **text_args) as fh:
            write(fh)
        return
    folder = os.path.dirname(target)
    fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, mode, **text_args) as fh:
            if hasattr(os, "fchmod"):  # mkstemp makes the file 0600; give it what open() would
                os.fchmod(fh.fileno(), stat.S_IMODE(info.st_mode) if info is not None else _default_mode())
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    sync_folder(folder)


def is_temporary(name: str) -> bool:
    """Whether a file name is one of :func:`write_atomic`'s temporary files (a write that never finished)."""
    return name.startswith(".") and name.endswith(".tmp")
