"""Which instruments exist on a rebalancing date: the universe of a date holds only those.

A stock or an index exists from its listing date until the day before its de-listing date (the
accounting sells it from that day on); a fund from its first published net value (a fund that
stops publishing stays: it is held at its last value). An instrument that does not exist on a
date would reach the optimiser without prices for that date: a covariance with missing rows
makes the solve fail, so the date would fail for an instrument nobody could have bought.
"""

from __future__ import annotations

import datetime as _dt

import veladatac
from vela_optimizer.phrases import plural


class Presence:
    """The listing span of each stock and the first valued day of each fund, read once per id.

    Parameters
    ----------
    last_day : datetime.date
        The backtest's last day: funds' net values are read up to it.
    """

    def __init__(self, last_day: _dt.date):
        self.last_day = last_day
        # id -> ("stock", listed or None, de-listed or None) | ("fund", first valued day or None) | None (unknown)
        self._spans: dict = {}

    def _learn(self, ids) -> None:
        new = list(dict.fromkeys(i for i in ids if isinstance(i, str) and i not in self._spans))
        if not new:
            return
        funds = []
        for oid, rec in zip(new, veladatac.instruments(new), strict=True):
            if rec is not None:
                self._spans[oid] = ("stock", rec.listed_date, rec.de_listed_date)
            elif veladatac.fund.instruments(oid) is not None:
                funds.append(oid)
            else:
                self._spans[oid] = None  # unknown: the optimiser names it
        if funds:
            first = veladatac.catalog.extent().data_first
            navs = veladatac.fund.get_nav(funds, first, self.last_day) if first is not None else None
            for oid in funds:
                valued = None if navs is None else navs[oid].first_valid_index()
                self._spans[oid] = ("fund", None if valued is None else valued.date())

    def split(self, ids, day: _dt.date) -> tuple:
        """(the ids that exist on ``day``, in their order; a note naming the others, or None)."""
        self._learn(ids)
        kept, absent = [], []
        for oid in ids:
            why = self._absence(oid, day)
            if why is None:
                kept.append(oid)
            else:
                absent.append(f"{oid} ({why})")
        if not absent:
            return kept, None
        return kept, (
            f"{plural(len(absent), 'instrument')} left out of this date's universe, not trading on "
            f"{day}: {', '.join(absent)}"
        )

    def _absence(self, oid, day: _dt.date) -> str | None:
        span = self._spans.get(oid) if isinstance(oid, str) else None
        if span is None:
            return None
        if span[0] == "fund":
            first = span[1]
            if first is None:
                return "no net value in the store"
            return f"first net value on {first}" if first > day else None
        listed, delisted = span[1], span[2]
        if listed is not None and listed > day:
            return f"listed on {listed}"
        if delisted is not None and delisted <= day:
            return f"de-listed on {delisted}"
        return None
