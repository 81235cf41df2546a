"""What a store holds: every record, every classification label, the days it has data for.

The query operations answer questions about ids a caller already knows. A command line
that lists what can be named (indices, sectors, industries, fund types), suggests a close
match for a misspelt id or label, checks a date against the store, or records which store a
run read needs the store's whole catalogue; these functions give it, read from the store
version in use.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import _store
from ._dates import int_to_date
from ._schema import CHUNK_DTYPE, INDEX_TYPE, NAV_FIELDS
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


@dataclass(frozen=True)
class Industry:
    """One Shenwan industry name a store holds, with the days it is used on.

    Attributes
    ----------
    code, name : str
        The industry index code (e.g. "801780") and its name (e.g. "银行").
    first, last : datetime.date or None
        The first and last day any stock is classified under this code with this name; ``last``
        is None while the classification still holds.
    """

    code: str
    name: str
    first: _dt.date
    last: _dt.date | None


def sectors() -> list:
    """The sector names the store's stocks carry, sorted.

    Returns
    -------
    list of str
    """
    h = _store.current_handle()
    return sorted(
        {r.sector_type_name for r in h.instruments.values() if r.type != INDEX_TYPE and r.sector_type_name is not None}
    )


def industries() -> list:
    """Every Shenwan industry (code and name pair) of the store, with the days it is used on.

    A code renamed over time appears once per name.

    Returns
    -------
    list of Industry
        Sorted by code, then first day.
    """

    def read(h, con):
        rows = con.execute(
            "SELECT index_code, index_name, MIN(start_date), "
            "CASE WHEN COUNT(*) = COUNT(end_date) THEN MAX(end_date) END "
            "FROM industry GROUP BY index_code, index_name ORDER BY index_code, MIN(start_date)"
        )
        return tuple(
            Industry(str(code), str(name), int_to_date(first), int_to_date(last) if last is not None else None)
            for code, name, first, last in rows
        )

    return list(_store.run(lambda h, con: h.derived("industries", lambda: read(h, con))))


def fund_types() -> list:
    """The fund types the store's funds carry, sorted.

    Returns
    -------
    list of str
    """
    h = _store.current_handle()
    return sorted({r.fund_type for r in h.funds.values() if r.fund_type is not None})


def identity() -> dict:
    """Which store is in use, for a record that must let a run be reproduced.

    Returns
    -------
    dict
        ``path`` (the file), ``uid`` (the content identity, new with every write of the file),
        ``sample`` (whether it is the default synthetic sample) and, for the sample, ``key``: its
        file name, which carries the sample's data version and a hash of its generator and
        calendar, so that every machine builds the same content under the same key.
    """
    path, is_sample = _store._resolve()
    h = _store.current_handle()
    out = {"path": str(h.path), "uid": h.uid, "sample": is_sample}
    if is_sample:
        out["key"] = path.name
    return out


def _edge_position(h, con, year: int, last: bool) -> int | None:
    """Calendar position of the last (or first) day of ``year`` with any value, or None."""
    s, e = h.year_bounds.get(year, (0, 0))
    found = None
    rows = con.execute(
        f"SELECT order_book_id, data FROM series WHERE year = ? AND field IN ({','.join('?' * len(_DATA_FIELDS))})",
        (year, *_DATA_FIELDS),
    )
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
    chunk, so only the chunks of the first and last year with data are decoded, once per store
    version (a version never changes): the optimiser asks on every request.
    """

    def read(h, con):
        years = con.execute(
            f"SELECT MIN(year), MAX(year) FROM series WHERE field IN ({','.join('?' * len(_DATA_FIELDS))})",
            _DATA_FIELDS,
        ).fetchone()
        first = last = None
        if years[0] is not None:
            p0 = _edge_position(h, con, int(years[0]), last=False)
            p1 = _edge_position(h, con, int(years[1]), last=True)
            first = h.days[p0].item() if p0 is not None else None
            last = h.days[p1].item() if p1 is not None else None
        return Extent(h.path, h.days[0].item(), h.days[-1].item(), first, last)

    return _store.run(lambda h, con: h.derived("extent", lambda: read(h, con)))


@dataclass(frozen=True)
class STPeriod:
    """One period of special treatment of a stock.

    Attributes
    ----------
    order_book_id : str
    status : str
        "ST", or "*ST" when de-listing is also threatened.
    start, end : datetime.date or None
        First and last day (inclusive); ``end`` is None while the treatment still holds.
    """

    order_book_id: str
    status: str
    start: _dt.date
    end: _dt.date | None


def special_treatment_periods() -> list:
    """Every special treatment period the store holds, sorted by id, then start.

    Returns
    -------
    list of STPeriod
        Empty for a store without special treatment data.
    """

    def read(h, con):
        if "special_treatment" not in h.tables:
            return []
        rows = con.execute(
            "SELECT order_book_id, status, start_date, end_date FROM special_treatment "
            "ORDER BY order_book_id, start_date"
        )
        return [
            STPeriod(oid, status, int_to_date(s), int_to_date(e) if e is not None else None)
            for oid, status, s, e in rows
        ]

    return _store.run(read)
