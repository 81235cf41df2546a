"""What a store holds: every record and the days it has data for.

The query operations answer questions about ids a caller already knows. A command line
that lists what can be named (indices, sectors, industries, fund types), suggests a close
match for a misspelt id, or checks a date against the store needs the store's whole
catalogue; these functions give it, read from the store version in use.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import _store
from ._schema import CHUNK_DTYPE, NAV_FIELDS
from .errors import StoreError

# Fields whose presence on a day means "the store has data for that day".
_DATA_FIELDS = ("close", *NAV_FIELDS)


@dataclass(frozen=True)
class Extent:
    """The days a store covers.

    Attributes
    ----------
    path : pathlib.Path
        The store file in use.
    calendar_first, calendar_last : datetime.date
        First and last trading day of the store's calendar.
    data_first, data_last : datetime.date or None
        First and last trading day on which any instrument has a close or any fund a net
        value; None for a store without daily values.
    """

    path: Path
    calendar_first: _dt.date
    calendar_last: _dt.date
    data_first: _dt.date | None
    data_last: _dt.date | None


def instruments() -> list:
    """Every stock and index record of the store, sorted by id.

    Returns
    -------
    list of Instrument
    """
    h = _store.current_handle()
    return [h.instruments[k] for k in sorted(h.instruments)]


def funds() -> list:
    """Every fund record of the store, sorted by id.

    Returns
    -------
    list of FundInstrument
    """
    h = _store.current_handle()
    return [h.funds[k] for k in sorted(h.funds)]


def _edge_position(h, con, year: int, last: bool) -> int | None:
    """Calendar position of the last (or first) day of ``year`` with any value, or None."""
    s, e = h.year_bounds.get(year, (0, 0))
    found = None
    rows = con.execute(f"SELECT order_book_id, data FROM series WHERE year = ? "
                       f"AND field IN ({','.join('?' * len(_DATA_FIELDS))})", (year, *_DATA_FIELDS))
    for oid, data in rows:
        if not isinstance(data, bytes) or len(data) != (e - s) * CHUNK_DTYPE.itemsize:
            raise StoreError(f"store {h.path} is corrupt: series {oid}/{year} does not fit the calendar")
        present = np.flatnonzero(~np.isnan(np.frombuffer(data, dtype=CHUNK_DTYPE)))
        if present.size:
            p = int(present[-1] if last else present[0])
            found = p if found is None else (max(found, p) if last else min(found, p))
    return None if found is None else s + found


def extent() -> Extent:
    """The store in use, its calendar and the first and last day with data.

    Returns
    -------
    Extent

    Notes
    -----
    Daily values are stored one chunk per (id, field, year) and an all-missing year has no
    chunk, so only the chunks of the first and last year with data are decoded.
    """

    def read(h, con):
        years = con.execute(f"SELECT MIN(year), MAX(year) FROM series "
                            f"WHERE field IN ({','.join('?' * len(_DATA_FIELDS))})", _DATA_FIELDS).fetchone()
        first = last = None
        if years[0] is not None:
            p0 = _edge_position(h, con, int(years[0]), last=False)
            p1 = _edge_position(h, con, int(years[1]), last=True)
            first = h.days[p0].item() if p0 is not None else None
            last = h.days[p1].item() if p1 is not None else None
        return Extent(h.path, h.days[0].item(), h.days[-1].item(), first, last)

    return _store.run(read)
