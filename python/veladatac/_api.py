"""The query operations. Shapes follow the table in README.md."""

from __future__ import annotations

import datetime as _dt

import numpy as np
import pandas as pd

from . import _store
from ._dates import date_to_int, to_date, to_day
from ._schema import INDEX_TYPE, NAV_FIELDS, PRICE_FIELDS
from .errors import CalendarRangeError, UnknownIdError

_ID_CONTAINERS = (list, tuple, pd.Index, pd.Series, np.ndarray)


def _norm_ids(ids, what: str = "order_book_ids") -> tuple[list[str], bool]:
    """(ids as a list, whether a single id was given)."""
    if isinstance(ids, str):
        return [ids], True
    if not isinstance(ids, _ID_CONTAINERS):
        raise TypeError(f"{what} must be an id (str) or a list of ids; got {type(ids).__name__}")
    out = list(ids)
    for x in out:
        if not isinstance(x, str):
            raise TypeError(f"{what} must contain only str ids; got {type(x).__name__} {x!r}")
    return [str(x) for x in out], False  # plain str, also for numpy.str_ elements


def _require_distinct(items: list[str], what: str, noun: str = "id") -> None:
    if len(set(items)) != len(items):
        seen, dup = set(), []
        for x in items:
            if x in seen and x not in dup:
                dup.append(x)
            seen.add(x)
        raise ValueError(f"{what} lists the same {noun} more than once: {', '.join(dup)}")


def _norm_fields(fields, allowed: tuple[str, ...]) -> tuple[list[str], bool]:
    """(fields as a list, whether a single field name was given). None means all."""
    if fields is None:
        return list(allowed), False
    if isinstance(fields, str):
        out, single = [fields], True
    elif isinstance(fields, (list, tuple)):
        out, single = list(fields), False
    else:
        raise TypeError(f"fields must be a field name or a list of names; got {type(fields).__name__}")
    if not out:
        raise ValueError("fields is empty")
    for f in out:
        if f not in allowed:
            raise ValueError(f"unknown field {f!r}; available: {', '.join(allowed)}")
    _require_distinct(out, "fields", "field")
    return out, single


def _day_in_calendar(h, day: np.datetime64, what: str) -> np.datetime64:
    if day < h.first or day > h.last:
        raise CalendarRangeError(f"{what} {day} is outside the trading calendar of the store ({h.first} .. {h.last})")
    return day


def _parse_window(start_date, end_date) -> tuple[np.datetime64, np.datetime64]:
    start = to_day(start_date, "start_date")
    end = to_day(end_date, "end_date")
    if start > end:
        raise ValueError(f"start_date {start} is after end_date {end}")
    return start, end


def _window(h, start: np.datetime64, end: np.datetime64) -> tuple[int, int]:
    """Calendar positions [i0, i1) of the trading days in [start, end], both inclusive."""
    _day_in_calendar(h, start, "start_date")
    _day_in_calendar(h, end, "end_date")
    return (int(np.searchsorted(h.days, start, "left")), int(np.searchsorted(h.days, end, "right")))


def _shape(h, block, ids, single_id, fields, single_field, i0, i1):
    index = h.date_index[i0:i1]
    if single_id and single_field:
        return pd.Series(block[fields[0]][:, 0], index=index, name=ids[0])
    if single_id:
        return pd.DataFrame({f: block[f][:, 0] for f in fields}, index=index, columns=fields)
    columns = pd.Index(ids, name="order_book_id")
    frames = {f: pd.DataFrame(block[f], index=index, columns=columns, copy=False) for f in fields}
    return frames[fields[0]] if single_field else frames


def trading_date_offset(date, n: int) -> _dt.date:
    """The trading day ``n`` trading days from ``date`` (negative ``n`` = earlier).

    On a non-trading day, counting starts from the previous trading day, so ``n=0``
    returns that day. Raises CalendarRangeError past either end of the calendar.
    """
    if isinstance(n, (bool, np.bool_)) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"n must be an int; got {type(n).__name__} {n!r}")
    day = to_day(date, "date")
    h = _store.current_handle()
    _day_in_calendar(h, day, "date")
    pos = int(np.searchsorted(h.days, day, "right")) - 1 + int(n)
    if not 0 <= pos < h.days.size:
        raise CalendarRangeError(
            f"{n} trading days from {day} is outside the trading calendar of the store "
            f"(trading days {h.days[0]} .. {h.days[-1]})"
        )
    return h.days[pos].item()


def get_trading_dates(start_date, end_date) -> list[_dt.date]:
    """The trading days from ``start_date`` through ``end_date``, both inclusive."""
    start, end = _parse_window(start_date, end_date)
    h = _store.current_handle()
    i0, i1 = _window(h, start, end)
    return [d.item() for d in h.days[i0:i1]]


def _check_known(ids, known: dict, other: dict, kind: str, other_hint: str, path) -> None:
    missing = [x for x in ids if x not in known]
    if not missing:
        return
    parts = []
    wrong_kind = [x for x in missing if x in other]
    unknown = [x for x in missing if x not in other]
    if unknown:
        parts.append(f"unknown {kind} id(s) {', '.join(map(repr, unknown))} (not in store {path})")
    if wrong_kind:
        parts.append(f"{', '.join(map(repr, wrong_kind))} {other_hint}")
    raise UnknownIdError("; ".join(parts), missing)


def get_price(order_book_ids, start_date, end_date, frequency: str = "1d", fields=None):
    """Daily bars from ``start_date`` through ``end_date`` (inclusive), one row per trading day.

    Fields: "close", "volume" (``None`` = both). One id and one field name give a Series;
    a list of ids and one field name give a DataFrame (days x ids); a list of field names
    gives a dict field -> DataFrame (days x ids), or one DataFrame (days x fields) for a
    single id. NaN marks a day without a bar; a suspended day has volume 0 and the
    carried close. Ids not in the store raise UnknownIdError.
    """
    if frequency != "1d":
        raise ValueError(f"frequency {frequency!r} is not available; only '1d' (daily) is")
    return _read_series(
        order_book_ids,
        "order_book_ids",
        fields,
        PRICE_FIELDS,
        start_date,
        end_date,
        lambda h: (h.instruments, h.funds),
        "instrument",
        "is a fund; read it with veladatac.fund.get_nav",
    )


def get_nav(fund_ids, start_date, end_date, fields="adjusted_net_value"):
    """Fund net values, shaped like :func:`get_price` (fields: "adjusted_net_value")."""
    return _read_series(
        fund_ids,
        "fund_ids",
        fields,
        NAV_FIELDS,
        start_date,
        end_date,
        lambda h: (h.funds, h.instruments),
        "fund",
        "is not a fund; read it with veladatac.get_price",
    )


def _read_series(ids_arg, what, fields, allowed, start_date, end_date, registries, kind, hint):
    """Daily series of distinct known ids over [start, end]; ``registries(h)`` gives the records
    of the ids' own kind and of the other kind (to point a caller at the right call)."""
    ids, single_id = _norm_ids(ids_arg, what)
    _require_distinct(ids, what)
    flds, single_field = _norm_fields(fields, allowed)
    start, end = _parse_window(start_date, end_date)

    def read(h, con):
        own, other = registries(h)
        _check_known(ids, own, other, kind, hint, h.path)
        i0, i1 = _window(h, start, end)
        block = h.read_block(con, ids, flds, i0, i1)
        return _shape(h, block, ids, single_id, flds, single_field, i0, i1)

    return _store.run(read)


def instruments(order_book_ids):
    """Stock/index record(s); None for an id the store does not know or for a fund id."""
    if type(order_book_ids) is str:  # one id, as a caller checking each of thousands asks
        return _store.current_handle().instruments.get(order_book_ids)
    ids, single = _norm_ids(order_book_ids)
    known = _store.current_handle().instruments
    return known.get(ids[0]) if single else [known.get(x) for x in ids]


def fund_instruments(fund_ids):
    """Fund record(s); None for an id that is not a fund of the store."""
    ids, single = _norm_ids(fund_ids, "fund_ids")
    known = _store.current_handle().funds
    return known.get(ids[0]) if single else [known.get(x) for x in ids]


def shenwan_instrument_industry(order_book_ids, date) -> pd.DataFrame:
    """Shenwan industry valid on ``date`` for each id, indexed by id in request order.

    Columns "index_code" and "index_name". Ids without a classification on that date
    (including ids the store does not know) are absent.
    """
    ids, _ = _norm_ids(order_book_ids)
    day = date_to_int(to_date(date, "date"))
    wanted = list(dict.fromkeys(ids))
    periods = _store.run(lambda h, con: h.derived("industry", lambda: _industry_periods(con)))
    found = {}
    for oid in wanted:
        for start, end, code, name in periods.get(oid, ()):
            if start <= day and (end is None or end >= day):
                found[oid] = (code, name)
                break
    rows = [x for x in wanted if x in found]
    return pd.DataFrame(
        {"index_code": [found[x][0] for x in rows], "index_name": [found[x][1] for x in rows]},
        index=pd.Index(rows, name="order_book_id", dtype=object),
        columns=["index_code", "index_name"],
    )


def _industry_periods(con) -> dict:
    """id -> its classification periods (start, end or None, code, name), latest first: the whole
    table (a few rows per stock) read once per store version."""
    periods: dict = {}
    rows = con.execute(
        "SELECT order_book_id, start_date, end_date, index_code, index_name FROM industry "
        "ORDER BY order_book_id, start_date DESC"
    )
    for oid, start, end, code, name in rows:
        periods.setdefault(oid, []).append((start, end, code, name))
    return periods


def index_components(index_id: str, date) -> list[str]:
    """Ids of the members of index ``index_id`` on ``date``, sorted; [] when it has none."""
    if not isinstance(index_id, str):
        raise TypeError(f"index_id must be a str; got {type(index_id).__name__}")
    day = date_to_int(to_date(date, "date"))

    def read(h, con):
        rec = h.instruments.get(index_id)
        if rec is None or rec.type != INDEX_TYPE:
            what = "is not an index" if rec is not None else f"is not in store {h.path}"
            raise UnknownIdError(f"index id {index_id!r} {what}", [index_id])
        rows = con.execute(
            "SELECT order_book_id FROM index_members WHERE index_id = ? AND start_date <= ? "
            "AND (end_date IS NULL OR end_date >= ?) ORDER BY order_book_id",
            (index_id, day, day),
        )
        return [r[0] for r in rows]

    return _store.run(read)


def special_treatment(order_book_ids, date) -> dict:
    """Special treatment in force on ``date``: {id: "ST" or "*ST"}.

    Ids not under special treatment on that day — including ids the store does not know —
    are absent; the dict follows the request order (duplicates once). A store without special
    treatment data (made before the table existed, or never given any) gives an empty dict.
    """
    ids, _ = _norm_ids(order_book_ids)
    day = date_to_int(to_date(date, "date"))
    wanted = list(dict.fromkeys(ids))

    def read(h, con):
        if "special_treatment" not in h.tables:
            return {}
        found = {}
        for k in range(0, len(wanted), _store._MAX_PARAMS):
            part = wanted[k : k + _store._MAX_PARAMS]
            sql = (
                f"SELECT order_book_id, status FROM special_treatment "
                f"WHERE order_book_id IN ({','.join('?' * len(part))}) "
                f"AND start_date <= ? AND (end_date IS NULL OR end_date >= ?)"
            )
            found.update(con.execute(sql, (*part, day, day)))
        return {x: found[x] for x in wanted if x in found}

    return _store.run(read)


def limit_prices(order_book_ids, date) -> pd.DataFrame:
    """The daily price limits of stocks on ``date`` (a non-trading day: the trading day before it).

    Returns a DataFrame indexed by id in request order (duplicates once) with columns ``"up"`` and
    ``"down"``: the previous close times (1 ± the day's limit), rounded to the fen as the exchanges
    do, by board, date, special treatment and days since listing (:mod:`veladatac.rules`). NaN
    where no limit applies: funds, indices, ids of no A-share board, the first days after a listing
    without limits, a stock without a previous close.
    """
    from . import rules

    ids, _ = _norm_ids(order_book_ids)
    wanted = list(dict.fromkeys(ids))
    day = trading_date_offset(date, 0)
    stocks = [i for i in wanted if rules.board_of(i) is not None]
    up, down = {}, {}
    if stocks:
        h = _store.current_handle()
        first = h.first.item()
        # no previous close on the calendar's first trading day (a one-day read gives none)
        before = trading_date_offset(day, -1) if day > h.days[0].item() else day
        closes = get_price(stocks, before, day, fields="close")
        special = special_treatment(stocks, day)
        records = dict(zip(stocks, instruments(stocks)))
        # the previous closes as one row: a column lookup per id costs more than the rest
        previous = closes.iloc[0].to_dict() if len(closes) > 1 else {}
        for oid in stocks:
            rec = records[oid]
            listed = rec.listed_date if rec is not None else None
            days_listed = None
            if listed is not None and listed <= day and (day - listed).days < 30:
                # a listing before the calendar: the days the store knows, and the listing day
                days_listed = (
                    len(get_trading_dates(listed, day)) if listed >= first else len(get_trading_dates(first, day)) + 1
                )
            prev = float(previous.get(oid, float("nan")))
            up[oid], down[oid] = rules.limits_on(oid, day, prev, oid in special, days_listed, listed)
    return pd.DataFrame(
        {"up": [up.get(i) for i in wanted], "down": [down.get(i) for i in wanted]},
        index=pd.Index(wanted, name="order_book_id", dtype=object),
        dtype=float,
    )
