"""Which stocks can be traded on a day, and which way: suspension and the daily price limits.

A stock is *suspended* on a day with a volume of 0 (or without a bar: not listed, de-listed,
a gap in the data): it can be neither bought nor sold; one past its de-listing date says so. A
close beside a volume that is not known (NaN: closes imported from a wide table) is a traded day,
as the screening counts it. A stock whose close is at its up-limit price cannot be bought at the
close (the queue is all buyers), one at its down-limit cannot be sold. The limit prices are the
client's (:func:`veladatac.limit_prices`, from the dated rules of :mod:`veladatac.rules`: board,
date, special treatment, days since listing). Funds are subscribed and redeemed at their net value
and have no such rules.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime as _dt
import math
from dataclasses import dataclass

import numpy as np

from veladatac import rules

SUSPENDED, LIMIT_UP, LIMIT_DOWN = "suspended", "limit_up", "limit_down"
REASONS = {SUSPENDED: "suspended", LIMIT_UP: "closed at its up-limit", LIMIT_DOWN: "closed at its down-limit"}


@dataclass(frozen=True)
class DayStatus:
    """One stock on one day.

    Attributes
    ----------
    id : str
    reason : str or None
        ``"suspended"``, ``"limit_up"``, ``"limit_down"``, or None when it trades freely.
    close : float
        The day's close (NaN without a bar).
    up, down : float or None
        The day's limit prices (None where no limit applies).
    delisted : datetime.date or None
        For a suspended stock de-listed on or before the day, its de-listing date (its first day
        without a bar).
    """

    id: str
    reason: str | None
    close: float
    up: float | None = None
    down: float | None = None
    delisted: _dt.date | None = None

    @property
    def can_buy(self) -> bool:
        """Whether an order may add to the holding at the close."""
        return self.reason is None or self.reason == LIMIT_DOWN

    @property
    def can_sell(self) -> bool:
        """Whether an order may reduce the holding at the close."""
        return self.reason is None or self.reason == LIMIT_UP


# The smallest daily limit of any rule, as a fraction of the previous close.
SMALLEST_LIMIT = min(f for entries in rules.PRICE_LIMITS.values() for e in entries for f in e.value.values())
# A limit price is the previous close times (1 ± limit) rounded to the fen, and a close is at it
# once rounded to the fen: a close at a limit is within a fen of that product.
REACH = 0.0101


def day_status(ids, day, client) -> dict:
    """id -> :class:`DayStatus` of the stocks among ``ids`` on the trading day ``day``.

    Reads the day's closes and volumes, and its limit prices where the client gives them
    (``client.limit_prices``; a client without it leaves the price limits unchecked) for the
    stocks whose close moved far enough from the previous one to be at a limit (the others have
    ``up`` and ``down`` None). Within :func:`preloaded` the closes and volumes come from the bars
    read there.
    """
    ids = [i for i in ids if board(i) is not None]
    if not ids:
        return {}
    limits = getattr(client, "limit_prices", None)
    before = _previous_day(client, day) if limits is not None else None
    bars = _preloaded.rows(client, ids, before, day) if _preloaded is not None else None
    if bars is None:
        bars = _read_rows(client, ids, before, day)
    previous, closes, volumes = bars
    # only a volume of exactly 0 halts a stock that has a close: NaN is "traded, volume unknown"
    suspended = ~np.isfinite(closes) | (volumes == 0)
    table = None
    if limits is not None:
        wanted = ids
        if previous is not None:
            with np.errstate(invalid="ignore"):
                reach = (closes >= previous * (1 + SMALLEST_LIMIT) - REACH) | (
                    closes <= previous * (1 - SMALLEST_LIMIT) + REACH
                )
            wanted = [ids[k] for k in np.flatnonzero(reach & ~suspended)]
        table = limits(wanted, day) if wanted else None
    if table is None:  # no limit read: a stock trades freely unless suspended
        return _with_delistings(
            {
                oid: DayStatus(oid, SUSPENDED if off else None, c)
                for oid, c, off in zip(ids, closes.tolist(), suspended.tolist())
            },
            day,
            client,
        )
    ups, downs = _by_id(table["up"], ids), _by_id(table["down"], ids)
    has_up, has_down = ~np.isnan(ups), ~np.isnan(downs)
    # the close rounded to the fen (half up) can only reach a limit from within half a fen of it
    price = closes.copy()
    near = ~suspended & ((has_up & (closes >= ups - 0.0051)) | (has_down & (closes <= downs + 0.0051)))
    for k in np.flatnonzero(near).tolist():
        price[k] = rules.round_fen(float(closes[k]))
    at_up = ~suspended & has_up & (price >= ups)
    at_down = ~suspended & ~at_up & has_down & (price <= downs)
    reasons = np.where(at_up, LIMIT_UP, np.where(at_down, LIMIT_DOWN, "")).tolist()
    out = {}
    for oid, c, off, reason, up, down in zip(
        ids, closes.tolist(), suspended.tolist(), reasons, ups.tolist(), downs.tolist()
    ):
        if off:
            out[oid] = DayStatus(oid, SUSPENDED, c)
        else:
            out[oid] = DayStatus(oid, reason or None, c, None if up != up else up, None if down != down else down)
    return _with_delistings(out, day, client)


def _with_delistings(statuses: dict, day, client) -> dict:
    """``statuses`` with each stock suspended for want of a bar because it was de-listed on or
    before ``day`` marked with its de-listing date: held past it, "suspended" would mislead."""
    gone = [oid for oid, s in statuses.items() if s.reason == SUSPENDED and not math.isfinite(s.close)]
    if not gone or not hasattr(client, "instruments"):  # a client without records knows no de-listing
        return statuses
    on = _dt.date.fromisoformat(str(day)[:10])  # a date, datetime, Timestamp or ISO text
    for oid, record in zip(gone, client.instruments(gone)):
        end = getattr(record, "de_listed_date", None)
        if end is not None and end <= on:
            statuses[oid] = dataclasses.replace(statuses[oid], delisted=end)
    return statuses


_BOARDS: dict = {}  # id -> its board (None: no A-share board); an id's board never changes


def board(oid):
    """:func:`veladatac.rules.board_of`, remembered per id."""
    try:
        return _BOARDS[oid]
    except KeyError:
        board = _BOARDS[oid] = rules.board_of(oid)
        return board
    except TypeError:  # not hashable: board_of gives its own error
        return rules.board_of(oid)


def _read_rows(client, ids: list, before, day) -> tuple:
    """(the previous closes or None, the day's closes, its volumes) of ``ids``, read from the client."""
    bars = client.get_price(ids, before or day, day, fields=["close", "volume"])
    close, volume = bars["close"], bars["volume"]
    # one row per id read at once: a lookup per id costs more than the rest of a rebalancing
    closes = _row(close, -1, ids)
    volumes = _row(volume, -1, ids)
    previous = _row(close, 0, ids) if before is not None and len(close) == 2 else None
    return previous, closes, volumes


def _row(table, k: int, ids: list) -> np.ndarray:
    """Row ``k`` of a days x ids table, in the order of ``ids`` (NaN where it has no column)."""
    if not len(table):
        return np.full(len(ids), math.nan)
    if table.columns.tolist() == ids:  # as the client answers: in the order asked
        return table.to_numpy(dtype=float)[k]
    return table.iloc[k].reindex(ids).to_numpy(dtype=float)


def _by_id(column, ids: list) -> np.ndarray:
    """A Series by id as an array in the order of ``ids`` (NaN where it has none)."""
    known = dict(zip(column.index.tolist(), column.to_numpy(dtype=float).tolist()))
    return np.array([known.get(i, math.nan) for i in ids], dtype=float)


class _Bars:
    """The closes and volumes of many stocks on some trading days and the day before each, read from
    one client a stretch of days at a time."""

    STRETCH = 250  # trading days a read: a year of a large universe stays a few tens of megabytes

    def __init__(self, client, ids: list, days):
        self.client = client
        self.column = {oid: j for j, oid in enumerate(ids)}
        self.on: dict = {}  # trading day -> (the day before or None, its closes or None, closes, volumes)
        wanted = sorted({client.trading_date_offset(d, 0) for d in days})
        if not wanted:
            return
        try:
            first = client.trading_date_offset(wanted[0], -1)
        except Exception:  # noqa: BLE001 - the calendar's first day: there is no day before it
            first = wanted[0]
        calendar = client.get_trading_dates(first, wanted[-1])
        keep = set(wanted)
        for i0 in range(0, len(calendar), self.STRETCH):
            here = keep.intersection(calendar[i0 : i0 + self.STRETCH])
            if not here:
                continue
            span = calendar[max(i0 - 1, 0) : i0 + self.STRETCH]  # and the day before the stretch
            bars = client.get_price(ids, span[0], span[-1], fields=["close", "volume"])
            close, volume = bars["close"].to_numpy(dtype=float), bars["volume"].to_numpy(dtype=float)
            row = {_day(d): t for t, d in enumerate(bars["close"].index)}
            for day in here:
                t = row.get(day)
                if t is None:
                    continue
                before = _day(bars["close"].index[t - 1]) if t > 0 else None
                self.on[day] = (before, close[t - 1] if t > 0 else None, close[t], volume[t])

    def rows(self, client, ids: list, before, day):
        """:func:`_read_rows` from these bars; None where they do not hold every id and day asked."""
        found = self.on.get(day)
        if client is not self.client or found is None or (before is not None and found[0] != before):
            return None
        try:
            cols = [self.column[i] for i in ids]
        except KeyError:
            return None
        _, previous, close, volume = found
        return (previous[cols] if before is not None else None), close[cols], volume[cols]


def _day(value):
    return value.date() if hasattr(value, "date") and callable(value.date) else value


_preloaded: _Bars | None = None


@contextlib.contextmanager
def preloaded(client, ids, days):
    """Within this block :func:`day_status` reads the closes and volumes of the stocks among ``ids``
    on the trading days of ``days`` (a backtest's rebalancing days, one after another) from reads
    made here, a stretch of days at a time, instead of one read a day. The statuses are the same;
    a day, an id or a client the reads do not cover is left to its own read."""
    global _preloaded
    stocks = [i for i in dict.fromkeys(ids) if isinstance(i, str) and board(i) is not None]
    saved = _preloaded
    try:
        _preloaded = _Bars(client, stocks, days) if stocks else None
    except Exception:  # noqa: BLE001 - an id or day the client does not know: each day reads its own
        _preloaded = None
    try:
        yield
    finally:
        _preloaded = saved


def _previous_day(client, day):
    """The trading day before ``day``, or None where the client cannot tell."""
    try:
        before = client.trading_date_offset(day, -1)
        return before if before is not None and before < day else None
    except Exception:  # noqa: BLE001 - no day before the calendar: every limit is read
        return None
