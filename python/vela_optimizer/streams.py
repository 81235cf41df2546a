"""Stdout as an output of both commands: ``--json -`` (and other single-file outputs) write there,
as most command-line tools do, so that the output can be piped (into jq); the text report then
goes to stderr, leaving stdout one document."""

from __future__ import annotations

import contextlib
import io
import os
import selectors
import sys
from typing import Any

STDOUT = "-"


class _WholeWrites(io.RawIOBase):
    """Unbuffered stdout (python -u, PYTHONUNBUFFERED) written whole: a raw write to a pipe may take
    part of a long document, and the text layer drops the rest without a word (a reader gone early
    then reads as success). Each write here is repeated until all of it is taken, or raises
    (BrokenPipeError); closing this leaves stdout open.

    A stdout its parent set non-blocking answers a full pipe with None: the write then waits for
    the descriptor to take more rather than asking again at once (which spins a core until the
    reader drains). Waiting leaves the descriptor's mode alone: it is shared with the parent and
    whoever else holds the pipe, so making it blocking, even for the write, would change it for them."""

    def __init__(self, raw):
        super().__init__()
        self._raw = raw

    def writable(self) -> bool:
        return True

    def write(self, b) -> int:
        view = memoryview(b).cast("B")
        done = 0
        while done < len(view):
            n = self._raw.write(view[done:])
            if n is None:  # a non-blocking stdout would block
                self._wait_writable()
            done += n or 0
        return done

    def _wait_writable(self) -> None:
        """Until the descriptor takes a write again (a reader gone also wakes this: the next write
        raises BrokenPipeError); at once for what has no descriptor a selector can wait on."""
        try:
            fd = self._raw.fileno()
        except (AttributeError, OSError, ValueError):
            return
        with selectors.DefaultSelector() as selector:
            try:
                selector.register(fd, selectors.EVENT_WRITE)
            except (OSError, ValueError):  # a descriptor the selector cannot watch: try again at once
                return
            selector.select()


@contextlib.contextmanager
def stdout_text(encoding: str = "utf-8"):
    """Stdout as a text file in ``encoding`` whatever its own (a terminal's locale may not be
    UTF-8), without newline translation; flushed at the end and left open."""
    sys.stdout.flush()
    buffer: Any = sys.stdout.buffer
    raw = isinstance(buffer, io.RawIOBase)
    if raw:
        buffer = _WholeWrites(buffer)
    fh = io.TextIOWrapper(buffer, encoding=encoding, newline="", write_through=raw)
    try:
        yield fh
        fh.flush()
    finally:
        fh.detach()  # closing the wrapper would close stdout


def stdout_gone() -> None:
    """After a broken pipe: stdout pointed at the null device, so that the interpreter's final flush
    does not fail again with an "Exception ignored" message."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
