"""Universe screening: thresholds, warnings, filling and returns, as the methods receive them."""

import numpy as np
import pandas as pd
import pytest

from conftest import price_tables, stock
from driver_support import Spy, expected_returns
from vela_optimizer import optimizer as opt

DATE = "2020-07-15"
SUSPENDED = "OPTIMIZER: {} 停牌太多导致数据不足，被剔除"
SHORT = "OPTIMIZER: {} 上市时间过短或已退市，被剔除"
DELISTED = "OPTIMIZER: {} 已退市，被剔除"


@pytest.fixture
def spy(monkeypatch):
    return Spy(monkeypatch)


def universe(client, window, columns):
    """Two healthy stocks H0, H1 plus `columns` {id: (closes, volumes)} over window + 1 days."""
    rows = window + 1
    rng = np.random.default_rng(7)
    closes = {f"H{i}": 10 + np.cumsum(rng.normal(0, 0.1, rows)) for i in range(2)}
    volumes = {}
    for oid, (c, v) in columns.items():
        closes[oid] = c
        volumes[oid] = v
    client.close, client.volume = price_tables(closes, volumes)
    client.stocks = {oid: stock(oid) for oid in closes}
    return list(closes)


def ramp(rows):
    return np.linspace(10, 12, rows)


def zeros_at(rows, k):
    v = np.full(rows, 500.0)
    v[:k] = 0.0
    return v


def closes_present(rows, k):
    c = ramp(rows)
    c[: rows - k] = np.nan
    return c


def call(ids, window, dropped, **kwargs):
    """Run the driver; return the warning texts (any unexpected warning fails: warnings are errors)."""
    if not dropped:
        opt.portfolio_optimize(ids, DATE, window=window, **kwargs)
        return []
    with pytest.warns(UserWarning) as rec:
        opt.portfolio_optimize(ids, DATE, window=window, **kwargs)
    return [str(w.message) for w in rec]


@pytest.mark.parametrize(
    "window, zero_days, dropped",
    [(132, 66, False), (132, 67, True), (131, 65, False), (131, 66, True)],
)
def test_suspension_threshold(fake_client, spy, window, zero_days, dropped):
    rows = window + 1
    ids = universe(fake_client, window, {"X": (ramp(rows), zeros_at(rows, zero_days))})
    messages = call(ids, window, dropped)
    assert ("X" in spy.df.columns) is (not dropped)
    assert messages == ([SUSPENDED.format("X")] if dropped else [])


@pytest.mark.parametrize(
    "window, present, dropped",
    [(132, 66, False), (132, 65, True), (131, 66, False), (131, 65, True)],
)
def test_history_threshold(fake_client, spy, window, present, dropped):
    rows = window + 1
    ids = universe(fake_client, window, {"X": (closes_present(rows, present), np.full(rows, 1.0))})
    messages = call(ids, window, dropped)
    assert ("X" in spy.df.columns) is (not dropped)
    assert messages == ([SHORT.format("X")] if dropped else [])
    if not dropped:
        # Listed inside the window: returns before its first close stay missing.
        assert spy.df["X"].isna().sum() == rows - present


def test_each_dropped_stock_warns_once_in_order(fake_client, spy):
    window, rows = 10, 11
    last_missing = ramp(rows)
    last_missing[-1] = np.nan
    ids = universe(
        fake_client,
        window,
        {
            "D": (last_missing, np.full(rows, 1.0)),
            "S": (last_missing.copy(), zeros_at(rows, 6)),  # suspended and no last close: one warning
            "Z": (ramp(rows), zeros_at(rows, rows)),  # zero volume with a last close: suspended only
            "Q": (closes_present(rows, 4), np.full(rows, 1.0)),
            "V": (ramp(rows), zeros_at(rows, 4)),  # some suspension, kept, not delisted
        },
    )
    with pytest.warns(UserWarning) as rec:
        opt.portfolio_optimize(ids, DATE, window=window)
    assert [str(w.message) for w in rec] == [
        SUSPENDED.format("S"),
        SUSPENDED.format("Z"),
        SHORT.format("Q"),
        DELISTED.format("D"),
    ]
    assert list(spy.df.columns) == ["H0", "H1", "V"]


def test_quiet_drops_the_same_stocks_silently(fake_client, spy):
    window, rows = 10, 11
    ids = universe(fake_client, window, {"S": (ramp(rows), zeros_at(rows, 8))})
    with pytest.warns(UserWarning):
        opt.portfolio_optimize(ids, DATE, window=window)
    loud = spy.df
    assert call(ids, window, dropped=False, quiet=True) == []
    pd.testing.assert_frame_equal(spy.df, loud)


def test_gaps_are_filled_forward_and_returns_follow(fake_client, spy):
    window, rows = 6, 7
    gap = np.array([10.0, 11.0, np.nan, 12.1, np.nan, np.nan, 13.31])
    lead = np.array([np.nan, np.nan, 5.0, 5.5, np.nan, 6.05, 6.05])
    ids = universe(fake_client, window, {"G": (gap, np.full(rows, 1.0)), "L": (lead, np.full(rows, 1.0))})
    opt.portfolio_optimize(ids, DATE, window=window)
    df = spy.df
    assert len(df) == rows - 1 and list(df.index) == list(fake_client.close.index[1:])
    np.testing.assert_allclose(df["G"], [0.1, 0.0, 0.1, 0.0, 0.0, 0.1], rtol=1e-14)
    np.testing.assert_allclose(df["L"], [np.nan, np.nan, 0.1, 0.0, 0.1, 0.0], rtol=1e-14)
    pd.testing.assert_frame_equal(df, expected_returns(fake_client.close[ids]))


def test_columns_follow_the_clients_order(fake_client, spy):
    window, rows = 6, 7
    ids = universe(fake_client, window, {"B": (ramp(rows), np.full(rows, 1.0)), "A": (ramp(rows), np.full(rows, 1.0))})
    opt.portfolio_optimize(ids[::-1], DATE, window=window)
    assert list(spy.df.columns) == ids[::-1]
