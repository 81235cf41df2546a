"""When a backtest rebalances: the last trading day of each period, or dates a caller lists."""

from __future__ import annotations

import datetime as _dt

import veladatac
from vela_optimizer.exception import InvalidArgument
from vela_optimizer.request import InvalidDate, Worded, check_in_calendar, read_date

FREQUENCIES = ("monthly", "weekly", "quarterly")


def as_date(value, what: str) -> _dt.date:
    """``value`` read as a date (text ``YYYY-MM-DD`` or ``YYYYMMDD``, an int ``YYYYMMDD``, a date, a
    datetime or a ``numpy.datetime64``); InvalidArgument naming ``what`` for anything else."""
    try:
        return read_date(value.strip() if isinstance(value, str) else value, what)
    except InvalidDate as e:
        raise type(e)(value, what) from None


def _period_end(day: _dt.date, frequency: str) -> _dt.date:
    """Last calendar day of the week (Sunday), month or quarter holding ``day``."""
    if frequency == "weekly":
        return day + _dt.timedelta(days=6 - day.weekday())
    month = day.month if frequency == "monthly" else 3 * ((day.month - 1) // 3 + 1)
    following = _dt.date(day.year + month // 12, month % 12 + 1, 1)
    return following - _dt.timedelta(days=1)


def rebalance_dates(start, end, frequency: str = "monthly") -> list:
    """The last trading day of each week, month or quarter, within ``[start, end]``.

    A period that ends after ``end`` has its last trading day after ``end`` (or not yet known
    from the store's calendar) and contributes no date.

    Parameters
    ----------
    start, end : date-like
        'YYYY-MM-DD' or 'YYYYMMDD' text, ``datetime.date``, ``datetime.datetime`` or
        ``numpy.datetime64``.
    frequency : {"monthly", "weekly", "quarterly"}

    Returns
    -------
    list of datetime.date
    """
    if frequency not in FREQUENCIES:
        raise InvalidArgument(f"OPTIMIZER: rebalance 必须为 monthly、weekly 或 quarterly，传入值为：{frequency!r}")
    start, end = as_date(start, "start"), as_date(end, "end")
    if start > end:
        raise Worded(f"OPTIMIZER: 回测开始日 {start} 晚于结束日 {end}", f"start {start} is after end {end}")
    try:
        days = veladatac.get_trading_dates(start, end)
    except veladatac.CalendarRangeError:
        check_in_calendar(start, veladatac, "start")
        check_in_calendar(end, veladatac, "end")
        raise
    out = [d for d, later in zip(days, days[1:], strict=False) if _period_end(d, frequency) < later]
    if days:
        last = days[-1]
        closes = _period_end(last, frequency)
        if closes == last:
            out.append(last)
        else:
            try:
                after = veladatac.get_trading_dates(last + _dt.timedelta(days=1), closes)
            except veladatac.CalendarRangeError:
                after = None  # the calendar stops inside the period: its last trading day is unknown
            if after == []:
                out.append(last)
    return out


def checked_dates(dates, end: _dt.date) -> list:
    """``dates`` read as dates and sorted; InvalidArgument for a repeated date, one after ``end`` or
    one that is not a trading day."""
    out = sorted(as_date(d, "dates") for d in dates)
    for a, b in zip(out, out[1:], strict=False):
        if a == b:
            raise Worded(f"OPTIMIZER: 调仓日 {a} 重复出现", f"the rebalancing day {a} is given twice")
    for d in out:
        if d > end:
            raise Worded(f"OPTIMIZER: 调仓日 {d} 晚于回测结束日 {end}", f"the rebalancing day {d} is after end {end}")
        check_in_calendar(d, veladatac, "dates")
        if veladatac.trading_date_offset(d, 0) != d:
            raise Worded(f"OPTIMIZER: 调仓日 {d} 不是交易日", f"the rebalancing day {d} is not a trading day")
    return out
