"""Shared fixtures: the optimizer module and an in-memory market-data client that records calls."""

from __future__ import annotations

from dataclasses import dataclass, field
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from vela_optimizer import optimizer as opt


@pytest.fixture
def optimizer():
    return opt


@dataclass(frozen=True)
class Record:
    order_book_id: str
    type: str
    sector_type_name: str | None = None
    fund_type: str | None = None


@dataclass
class FakeClient:
    """Serves the client operations the optimizer calls from plain dicts and tables.

    Every call is appended to ``calls`` as (operation, args, kwargs).
    """

    stocks: dict = field(default_factory=dict)  # id -> Record (general lookup)
    funds: dict = field(default_factory=dict)  # id -> Record (fund lookup)
    close: pd.DataFrame | None = None
    volume: pd.DataFrame | None = None
    nav: pd.DataFrame | None = None
    benchmarks: dict = field(default_factory=dict)  # id -> Series of closes
    industries: dict = field(default_factory=dict)  # id -> industry name
    start_date: object = "2020-01-02"
    calls: list = field(default_factory=list)

    def __post_init__(self):
        self.fund = SimpleNamespace(instruments=self._fund_instruments, get_nav=self._get_nav)

    def _log(self, op, *args, **kwargs):
        self.calls.append((op, args, kwargs))

    def ops(self):
        return [c[0] for c in self.calls]

    def trading_date_offset(self, date, n):
        self._log("trading_date_offset", date, n)
        return self.start_date

    def instruments(self, ids):
        self._log("instruments", ids)
        if isinstance(ids, str):
            return self.stocks.get(ids)
        return [self.stocks.get(i) for i in ids]

    def _fund_instruments(self, oid):
        self._log("fund.instruments", oid)
        return self.funds.get(oid)

    def get_price(self, ids, start, end, **kwargs):
        self._log("get_price", ids, start, end, **kwargs)
        if isinstance(ids, str):
            return self.benchmarks[ids]
        return {"close": self.close[list(ids)], "volume": self.volume[list(ids)]}

    def _get_nav(self, ids, start, end, **kwargs):
        self._log("fund.get_nav", ids, start, end, **kwargs)
        return self.nav[list(ids)]

    def shenwan_instrument_industry(self, ids, date):
        self._log("shenwan_instrument_industry", ids, date)
        known = [i for i in ids if i in self.industries]
        return pd.DataFrame({"index_name": [self.industries[i] for i in known]}, index=pd.Index(known))


def stock(oid, sector="Financials"):
    return Record(oid, "CS", sector_type_name=sector)


def fund(oid, fund_type="Stock"):
    return Record(oid, "PublicFund", fund_type=fund_type)


def price_tables(closes: dict, volumes: dict | None = None, start="2020-01-02"):
    """Close and volume tables on consecutive business days from closes {id: list}."""
    n = len(next(iter(closes.values())))
    index = pd.bdate_range(start, periods=n)
    close = pd.DataFrame({k: np.asarray(v, dtype=float) for k, v in closes.items()}, index=index)
    vol = {k: (volumes or {}).get(k, np.full(n, 1000.0)) for k in closes}
    volume = pd.DataFrame({k: np.asarray(v, dtype=float) for k, v in vol.items()}, index=index)
    return close, volume


@pytest.fixture
def fake_client(monkeypatch):
    client = FakeClient()
    monkeypatch.setattr(opt, "veladatac", client)
    return client


# Hypothesis: a short run in `make test`; `HYPOTHESIS_PROFILE=heavy` (make test-heavy) for a long
# one. No deadline: one example may include a solve on a busy machine.
import os  # noqa: E402

from hypothesis import HealthCheck, settings  # noqa: E402

settings.register_profile("short", max_examples=60, deadline=None)
settings.register_profile("heavy", max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "short"))
