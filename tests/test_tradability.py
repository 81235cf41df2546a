"""The day's trading status of a stock from its bars: suspension and the daily price limits."""

import datetime as dt
import math

import pandas as pd
import pytest

from vela_optimizer.market import tradability
from veladatac import rules

DAYS = [dt.date(2024, 6, 3), dt.date(2024, 6, 4)]
NAN = math.nan


class Bars:
    """Two days of closes and volumes, the limits computed from the first day's closes."""

    def __init__(self, rows: dict):  # id -> (previous close, close, volume)
        index = pd.DatetimeIndex(DAYS, name="date")
        self.close = pd.DataFrame({i: [p, c] for i, (p, c, _) in rows.items()}, index=index)
        self.volume = pd.DataFrame({i: [1000.0, v] for i, (_, _, v) in rows.items()}, index=index)

    def trading_date_offset(self, day, n):
        return DAYS[DAYS.index(day) + n]

    def get_price(self, ids, start, end, fields=None):
        rows = [d for d in DAYS if start <= d <= end]
        pick = pd.DatetimeIndex(rows)
        return {"close": self.close.loc[pick, list(ids)], "volume": self.volume.loc[pick, list(ids)]}

    def limit_prices(self, ids, day):
        prev = self.close.iloc[0]
        rows = [rules.limits_on(i, day, float(prev[i]), False, None) for i in ids]
        return pd.DataFrame(rows, index=pd.Index(list(ids)), columns=["up", "down"], dtype=float)


@pytest.mark.parametrize(
    "previous, close, volume, reason",
    [
        (10.0, 10.3, 5000.0, None),
        (10.0, 10.3, NAN, None),  # a close without a known volume traded (closes from a wide table)
        (10.0, 11.0, NAN, "limit_up"),  # and can close at its limit
        (10.0, 9.0, NAN, "limit_down"),
        (10.0, 11.0, 5000.0, "limit_up"),
        (10.0, 10.0, 0.0, "suspended"),  # a volume of 0: halted, its close carried
        (10.0, NAN, NAN, "suspended"),  # no bar
    ],
)
def test_only_a_volume_of_0_or_a_missing_bar_is_a_suspension(previous, close, volume, reason):
    oid = "600000.XSHG"
    status = tradability.day_status([oid], DAYS[1], Bars({oid: (previous, close, volume)}))[oid]
    assert status.reason == reason
