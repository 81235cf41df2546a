"""Exceptions raised by the client.

Every error the client raises on purpose derives from :class:`VeladatacError`, and
also from the matching built-in class so callers can catch either.
"""

from __future__ import annotations


class VeladatacError(Exception):
    """Base class of all errors raised on purpose by the client."""


class StoreError(VeladatacError, OSError):
    """The store file is missing, unreadable, corrupt or of another layout."""


class UnknownIdError(VeladatacError, LookupError):
    """One or more requested ids are not in the store (or are of the wrong kind).

    ``ids`` holds the offending ids in request order.
    """

    def __init__(self, message: str, ids):
        super().__init__(message)
        self.ids = tuple(ids)

    def __str__(self) -> str:  # LookupError would otherwise repr() the message
        return self.args[0]


class CalendarRangeError(VeladatacError, ValueError):
    """A date or an offset falls outside the store's trading calendar."""


class CsvImportError(VeladatacError, ValueError):
    """A CSV file was refused by the importer; nothing was written.

    ``file`` and ``line`` (1-based, ``None`` when the problem is not tied to a line)
    locate the problem; ``problem`` describes it.
    """

    def __init__(self, file, line, problem: str):
        self.file = str(file)
        self.line = line
        self.problem = problem
        where = f"{self.file}, line {line}" if line is not None else self.file
        super().__init__(f"{where}: {problem}")


class FetchError(VeladatacError, RuntimeError):
    """A fetch from a public source failed: the network, the source's answer, or a library that is
    missing. The message is one line; the store was not changed."""
