"""Stdout as an output of both commands: ``--json -`` (and other single-file outputs) write there,
as most command-line tools do, so that the output can be piped (into jq); the text report then
goes to stderr, leaving stdout one document."""

from __future__ import annotations

import contextlib
import io
import os
import sys

STDOUT = "-"


@contextlib.contextmanager
def stdout_text(encoding: str = "utf-8"):
    """Stdout as a text file in ``encoding`` whatever its own (a terminal's locale may not be
    UTF-8), without newline translation; flushed at the end and left open."""
    sys.stdout.flush()
    fh = io.TextIOWrapper(sys.stdout.buffer, encoding=encoding, newline="")
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
