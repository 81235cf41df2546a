"""Backtest: the schedule, the accounting against hand-worked figures, the optimiser's weights on
every date, serial = local processes = a Dask cluster, and failed dates."""

import datetime as dt
import json
import math
import os
import random
import sys

import numpy as np
import pandas as pd
import pytest
from threadpoolctl import threadpool_limits

import vela_optimizer as vo
import veladatac
from vela_optimizer import backtest as bt, tradelist
from vela_optimizer.backtest import executors, files
from vela_optimizer.backtest.accounts import Ledger, Trade, max_drawdown, simulate, statistics
from vela_optimizer.exception import InvalidArgument
from veladatac import sample
from veladatac.importer import import_files

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation, on_small, small_store, write_csv  # noqa: F401

D = dt.date
M = vo.OptimizeMethod
SQRT252 = math.sqrt(252)


def days(n, start="2025-01-06"):
    return pd.bdate_range(start, periods=n)


def table(n, **cols):
    return pd.DataFrame({k: np.asarray(v, dtype=float) for k, v in cols.items()}, index=days(n))


# ---------------------------------------------------------------- the schedule (packaged calendar)

# The hand-built store below uses the packaged exchange calendar: January 2025 ends on the 27th
# (the Spring Festival closes the exchange until 5 February), the National Day week of 2025 has
# two trading days (29, 30 September), trading resumes on 9 October.
SCHEDULES = [
    ("2025-01-01", "2025-03-15", "monthly", [D(2025, 1, 27), D(2025, 2, 28)]),
    ("2025-01-27", "2025-01-27", "monthly", [D(2025, 1, 27)]),
    ("2025-01-28", "2025-02-04", "monthly", []),
    ("2025-09-22", "2025-10-20", "weekly", [D(2025, 9, 26), D(2025, 9, 30), D(2025, 10, 10), D(2025, 10, 17)]),
    ("2025-01-01", "2025-12-31", "quarterly", [D(2025, 3, 31), D(2025, 6, 30), D(2025, 9, 30), D(2025, 12, 31)]),
    ("20250215", "20250415", "quarterly", [D(2025, 3, 31)]),
    # the calendar ends on 2026-12-31: December is complete, that week (to 3 January) is not
    ("2026-12-01", "2026-12-31", "monthly", [D(2026, 12, 31)]),
    ("2026-12-21", "2026-12-31", "weekly", [D(2026, 12, 25)]),
]


@pytest.mark.parametrize("start, end, frequency, expected", SCHEDULES)
def test_rebalancing_is_on_the_last_trading_day_of_each_period(hand_store, start, end, frequency, expected):
    assert bt.rebalance_dates(start, end, frequency) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: bt.rebalance_dates("2025-01-01", "2025-03-01", "daily"), "rebalance 必须为"),
        (lambda: bt.rebalance_dates("2025-03-01", "2025-01-01"), "晚于结束日"),
        (lambda: bt.rebalance_dates("2025-02-30", "2025-03-01"), "start 不是有效日期"),
        (lambda: bt.run_backtest(["A", "B"], end="2025-03-01", dates=["2025-01-27", "2025-01-27"]), "重复出现"),
        (lambda: bt.run_backtest(["A", "B"], end="2025-03-01", dates=["2025-01-28"]), "不是交易日"),
        (lambda: bt.run_backtest(["A", "B"], end="2025-01-10", dates=["2025-01-27"]), "晚于回测结束日"),
        (lambda: bt.run_backtest(["A", "B"], "2025-01-01", "2025-03-01", dates=["2025-01-27"]), "不能同时指定"),
        # a frequency beside listed dates changed nothing, the default's value included
        (
            lambda: bt.run_backtest(["A", "B"], end="2025-03-01", dates=["2025-01-27"], rebalance="weekly"),
            "dates 与 rebalance 不能同时指定",
        ),
        (
            lambda: bt.run_backtest(["A", "B"], end="2025-03-01", dates=["2025-01-27"], rebalance="monthly"),
            "dates 与 rebalance",
        ),
        (lambda: bt.run_backtest(["A", "B"], end="2025-03-01"), "必须指定 start 或 dates"),
        (lambda: bt.run_backtest(["A", "B"], end="2025-03-01", dates=[]), "dates 为空"),
        (lambda: bt.run_backtest(["A", "B"], "2025-01-28", "2025-02-04"), "之间没有调仓日"),
        (lambda: bt.run_backtest(["A", "B"], "2025-01-01", "2025-03-01", costs_bps=-1), "costs_bps"),
        (lambda: bt.run_backtest(["A", "B"], "2025-01-01", "2025-03-01", costs_bps=5000), "costs_bps"),
        (lambda: bt.run_backtest(["A", "B"], "2025-01-01", "2025-03-01", workers=0), "workers"),
        (lambda: bt.run_backtest(["A", "B"], "2025-01-01", "2025-03-01", solver="magic"), "solver"),
        (lambda: bt.run_backtest(["A", "B"], "2025-01-01", "2025-03-01", method="min_variance"), "method"),
        (lambda: bt.run_backtest("600001.XSHG", "2025-01-01", "2025-03-01"), "universe 必须为合约列表"),
        (lambda: bt.run_backtest(["A", "B"], end="2025-03-01", dates="2025-01-27"), "dates 必须为日期列表"),
        (lambda: bt.run_backtest(["A", "B"], "2025-01-01", "2025-03-01", benchmark="999999.XSHG"), "基准 999999.XSHG"),
    ],
)
def test_bad_options_are_refused_before_any_optimisation(hand_store, call, message):
    with pytest.raises(InvalidArgument, match=message) as info:
        call()
    assert str(info.value).startswith("OPTIMIZER: ")


# ---------------------------------------------------------------- accounting on a plain table

# Each case: prices, targets (row, weights), costs in bps, delisted {id: row}; then the values and
# per trade (traded, one-way turnover, cost), all worked out by hand in the comments.
ACCOUNTS = {
    # 0.5/0.5; A +10 % then +10 %, B -10 % then flat: 1.0 | 0.55 + 0.45 | 0.605 + 0.45
    "drift": (
        dict(A=[10, 11, 12.1], B=[20, 18, 18]),
        [(0, dict(A=0.5, B=0.5))],
        0,
        {},
        [1.0, 1.0, 1.055],
        [(1.0, 1.0, 0.0)],
    ),
    # 10 bps: day 0 costs 0.001 (V 0.999, 0.4995 each); day 1 drifts to 0.54945 / 0.44955 (V 0.999),
    # trades back |0.5-0.55| + |0.5-0.45| = 0.1 for 0.001 * 0.999 * 0.1 = 9.99e-5 (V 0.9989001,
    # 0.49945005 each); day 2: 0.549395055 + 0.49945005
    "costs": (
        dict(A=[10, 11, 12.1], B=[20, 18, 18]),
        [(0, dict(A=0.5, B=0.5)), (1, dict(A=0.5, B=0.5))],
        10,
        {},
        [0.999, 0.9989001, 1.048845105],
        [(1.0, 1.0, 0.001), (0.1, 0.05, 9.99e-5)],
    ),
    # weights summing to 0.9 leave 0.1 in cash: 0.66 + 0.27 + 0.1 | 0.726 + 0.27 + 0.1; the one-way
    # turnover is the 0.9 bought (the cash kept is not traded)
    "budget short of one": (
        dict(A=[10, 11, 12.1], B=[20, 18, 18]),
        [(0, dict(A=0.6, B=0.3))],
        0,
        {},
        [1.0, 1.03, 1.096],
        [(0.9, 0.9, 0.0)],
    ),
    # A suspended on day 1 (close carried), no bar on day 2, then 11: 0 %, 0 %, +10 % on day 3
    "suspension and a gap": (
        dict(A=[10, 10, np.nan, 11], B=[5, 5, 5, 5]),
        [(0, dict(A=0.5, B=0.5))],
        0,
        {},
        [1.0, 1.0, 1.0, 1.05],
        [(1.0, 1.0, 0.0)],
    ),
    # 100 bps; A de-listed on day 2 (no bar from then): its 0.5445 becomes cash; on day 3 B is worth
    # 0.5445 and everything goes into B: traded |1 - 0.5| = 0.5 (the cash is not sold), cost
    # 0.01 * 1.089 * 0.5 = 0.005445, one-way max(bought 0.5, sold 0) = 0.5
    "delisting": (
        dict(A=[10, 11, np.nan, np.nan], B=[20, 20, 20, 22]),
        [(0, dict(A=0.5, B=0.5)), (3, dict(B=1.0))],
        100,
        {"A": 2},
        [0.99, 1.0395, 1.0395, 1.083555],
        [(1.0, 1.0, 0.01), (0.5, 0.5, 0.005445)],
    ),
    # a de-listing date between two rows is reached on the next row; then all is cash, and buying B
    # with it trades 1.0 and turns over max(bought 1.0, sold 0) = 1.0
    "delisting between rows": (
        dict(A=[10, 11, np.nan], B=[1, 1, 1]),
        [(0, dict(A=1.0)), (2, dict(B=1.0))],
        0,
        {"A": "2025-01-07 12:00"},
        [1.0, 1.1, 1.1],
        [(1.0, 1.0, 0.0), (1.0, 1.0, 0.0)],
    ),
}


@pytest.mark.parametrize("prices, targets, bps, delisted, values, trades", ACCOUNTS.values(), ids=ACCOUNTS.keys())
def test_accounting_by_hand(prices, targets, bps, delisted, values, trades):
    frame = table(len(values), **prices)
    rows = frame.index
    gone = {k: (rows[v] if isinstance(v, int) else v) for k, v in delisted.items()}
    ledger = simulate(frame, [(rows[r], w) for r, w in targets], rows[0], delisted=gone, costs_bps=bps)
    np.testing.assert_allclose(ledger.daily["value"], values, rtol=1e-12)
    previous = np.concatenate(([1.0], values[:-1]))
    np.testing.assert_allclose(ledger.daily["return"], np.asarray(values) / previous - 1, rtol=1e-10, atol=1e-15)
    got = [(t.traded, t.turnover, t.cost) for t in ledger.trades]
    np.testing.assert_allclose(got, trades, rtol=1e-12, atol=1e-15)
    assert [t.date for t in ledger.trades] == [rows[r] for r, _ in targets]


# The recorded one-way turnover is max(bought, sold), fractions of the value before trading, however
# the fees are paid; the costs stay what they were. Each case: capital (None: fractions), flat bps
# (None: the China schedule of 2025), prices of two days, the build (weights, shares) on day 0 and
# the rebalancing on day 1; then (turnover, cost) of day 1, by hand in the comments.
V1_SCHEDULE = 1 - 0.5 * 2.6e-4  # a build of 0.5 pays commission 2.5 bps and transfer 0.1 bps
ONE_WAY = {
    # 100 bps: the build leaves A 0.5 and cash 0.495 (V1 0.995); day 1 sells 0.102 of A (0.5 - 0.398)
    # and buys 0.4975 of B, half the value: the buys are the one-way turnover, the fees 0.005995
    "buys from cash, flat rate": (
        None,
        100,
        dict(A=[10, 10], B=[20, 20]),
        (dict(A=0.5), None),
        (dict(A=0.4, B=0.5), None),
        (0.5, 0.01 * (0.102 + 0.4975)),
    ),
    # the same under the schedule: the sells pay duty 5 bps as well (7.6 bps), the buys 2.6 bps
    "buys from cash, China fees": (
        None,
        None,
        {"600000.XSHG": [10, 10], "000001.XSHE": [20, 20]},
        ({"600000.XSHG": 0.5}, None),
        ({"600000.XSHG": 0.4, "000001.XSHE": 0.5}, None),
        (0.5, (0.5 - 0.4 * V1_SCHEDULE) * 7.6e-4 + 0.5 * V1_SCHEDULE * 2.6e-4),
    ),
    # 100 bps, all invested (V1 1/1.01): 0.3 of A sold (fee 0.003) pays for C and its fee, so C is
    # bought 0.297 / 1.01 of the value, less than the sells: the sells are the one-way turnover
    "sells pay for the buys": (
        None,
        100,
        dict(A=[10, 10], B=[20, 20], C=[5, 5]),
        (dict(A=0.5, B=0.5), None),
        (dict(A=0.2, B=0.5, C=0.3), None),
        (0.3, (0.003 + 0.297 / 1.01 * 0.01) / 1.01),
    ),
    # 10,000 yuan, 100 bps an order: 500 A (fee 50 yuan) leave 4,950 in cash (value 9,950); day 1
    # sells 200 A (2,000 yuan, fee 20) and buys 200 B (4,000 yuan, fee 40)
    "whole shares from a capital": (
        1e4,
        100,
        dict(A=[10, 10], B=[20, 20]),
        (dict(A=0.5), dict(A=500)),
        (dict(A=0.3, B=0.4), dict(A=300, B=200)),
        (4000 / 9950, 60 / 1e4),
    ),
}


@pytest.mark.parametrize("capital, bps, prices, build, rebalance, expected", ONE_WAY.values(), ids=ONE_WAY.keys())
def test_the_one_way_turnover_is_the_larger_of_bought_and_sold(capital, bps, prices, build, rebalance, expected):
    from vela_optimizer.backtest.accounts import Book, Fees

    frame = table(2, **prices)
    book = Book(frame, frame.index[0], fees=Fees(bps), capital=capital, ruled=True)
    book.rebalance(frame.index[0], build[0], shares=build[1])
    trade = book.rebalance(frame.index[1], rebalance[0], shares=rebalance[1])
    assert (trade.turnover, trade.cost) == pytest.approx(expected, rel=1e-12)


# (closes of three days, shares after each of the first two days' rebalancings, de-listed on day 2)
IN_FEN = {
    # two rebalancings whose float sums of whole-fen amounts read 517871.68000000005 and 671014.1100000001
    "orders": (
        {"600000.XSHG": [49.39, 4.96, 3.55], "000001.XSHE": [8.37, 2.47, 40.3], "300750.XSHE": [45.91, 48.72, 51.44]},
        [{"600000.XSHG": 5000, "000001.XSHE": 3400, "300750.XSHE": 4500}, {"600000.XSHG": 4300, "000001.XSHE": 3900}],
        None,
    ),
    # 5,200 shares at a last close of 24.65 are 128,180.00 yuan (128179.99999999999 in doubles)
    "a de-listing": (
        {"600000.XSHG": [10.0, 10.0, 10.0], "000001.XSHE": [20.0, 24.65, 24.65]},
        [{"600000.XSHG": 1000, "000001.XSHE": 5200}],
        "000001.XSHE",
    ),
}


@pytest.mark.parametrize("prices, held, gone", IN_FEN.values(), ids=IN_FEN.keys())
def test_cash_from_a_capital_is_whole_fen(prices, held, gone):
    from decimal import Decimal

    from vela_optimizer.backtest.accounts import Book, Fees
    from veladatac import rules

    frame = table(3, **prices)
    fees, capital = Fees(), 1e6
    book = Book(frame, frame.index[0], fees=fees, capital=capital, ruled=True, delisted={gone: frame.index[2]})
    cash, was = Decimal(repr(capital)), {}
    for t, shares in enumerate(held):
        trade = book.rebalance(frame.index[t], {}, shares=shares)
        day = frame.index[t].date()
        for oid in sorted(set(was) | set(shares)):
            n, p = shares.get(oid, 0) - was.get(oid, 0), prices[oid][t]
            if n:
                side = "buy" if n > 0 else "sell"
                paid = Decimal(repr(rules.round_fen(abs(n) * p))) * (-1 if n > 0 else 1)
                cash += paid - sum(Decimal(repr(f)) for f in fees.order(oid, side, abs(n), p, day))
        assert trade.cash == float(cash)
        was = shares
    ledger = book.ledger()
    for d in ledger.delistings:
        assert d.value == float(Decimal(d.shares) * Decimal(repr(d.price)))
        cash += Decimal(repr(d.value))
    assert book.cash == float(cash)


def test_rows_before_the_start_only_fill_forward():
    # B has no value on the first day of the backtest, but one before: it can be bought
    frame = pd.DataFrame({"A": [9.0, 10, 11], "B": [4.0, np.nan, 5]}, index=days(3, "2025-01-03"))
    ledger = simulate(frame, [(frame.index[1], {"A": 0.5, "B": 0.5})], frame.index[1])
    np.testing.assert_allclose(ledger.daily["value"], [1.0, 0.55 + 0.625], rtol=1e-12)
    assert list(ledger.daily.index) == list(frame.index[1:])


@pytest.mark.parametrize(
    "targets, start, message",
    [
        ([(pd.Timestamp("2025-01-11"), {"A": 1.0})], "2025-01-06", "not a trading day"),
        (
            [(pd.Timestamp("2025-01-07"), {"A": 1.0}), (pd.Timestamp("2025-01-06"), {"A": 1.0})],
            "2025-01-06",
            "ascending",
        ),
        ([(pd.Timestamp("2025-01-06"), {"Z": 1.0})], "2025-01-06", "no prices for Z"),
        ([(pd.Timestamp("2025-01-06"), {"C": 1.0})], "2025-01-06", "no price on or before 2025-01-06 for C"),
        ([(pd.Timestamp("2025-01-06"), {"A": 1.0})], "2025-01-05", "first day"),
    ],
)
def test_accounting_refuses_what_it_cannot_price(targets, start, message):
    frame = table(3, A=[1, 1, 1], C=[np.nan, 2, 2])
    with pytest.raises(ValueError, match=message):
        simulate(frame, targets, start)


# ---------------------------------------------------------------- statistics


def ledger_of(values, turnovers=(1.0,)):
    v = np.asarray(values, dtype=float)
    daily = pd.DataFrame({"value": v, "return": v / np.concatenate(([1.0], v[:-1])) - 1}, index=days(len(v)))
    trades = [Trade(daily.index[0], t, t, 0.0, 1.0) for t in turnovers]
    return Ledger(daily, trades)


def test_statistics_against_closed_forms():
    # daily returns after d0: +10 %, -10 %, +10 %: mean 1/30, sample variance 1/75
    s = statistics(ledger_of([1.0, 1.1, 0.99, 1.089], turnovers=(1.0, 0.3)), benchmark=pd.Series([2.0, 2.2, 2.2, 2.42]))
    assert s["days"] == 3 and s["rebalances"] == 2
    assert s["annual_return"] == pytest.approx(1.089 ** (252 / 3) - 1, rel=1e-12)
    assert s["annual_volatility"] == pytest.approx(math.sqrt(1 / 75) * SQRT252, rel=1e-12)
    assert s["sharpe"] == pytest.approx((1 / 30) / math.sqrt(1 / 75) * SQRT252, rel=1e-12)
    assert s["max_drawdown"] == pytest.approx(1 - 0.99 / 1.1, rel=1e-12)
    assert s["turnover"] == pytest.approx(0.3 / (3 / 252), rel=1e-12)  # the first trade invests the capital
    assert s["total_return"] == pytest.approx(0.089, rel=1e-12)
    # benchmark returns +10 %, 0, +10 %: active 0, -10 %, 0 with mean -1/30 and sample variance 1/300
    assert s["tracking_error"] == pytest.approx(math.sqrt(1 / 300) * SQRT252, rel=1e-12)
    assert s["information_ratio"] == pytest.approx(-(1 / 30) / math.sqrt(1 / 300) * SQRT252, rel=1e-12)
    assert s["benchmark_annual_return"] == pytest.approx(1.21 ** (252 / 3) - 1, rel=1e-12)
    assert s["benchmark_sharpe"] == pytest.approx((1 / 15) / math.sqrt(1 / 300) * SQRT252, rel=1e-12)
    # the annualised mean active return: the information ratio is it over the tracking error
    assert s["excess_return"] == pytest.approx(-(1 / 30) * 252, rel=1e-12)
    assert s["benchmark_max_drawdown"] == 0.0


@pytest.mark.parametrize(
    "values, expected",
    [
        ([1.0, 1.2, 0.9, 1.1, 0.6, 1.3], 0.5),  # 1.2 -> 0.6
        ([0.999, 1.01, 1.02], 0.001),  # the first day's cost is a fall from the capital 1.0
        ([1.0, 1.1, 1.2], 0.0),
        ([0.5], 0.5),
    ],
)
def test_max_drawdown(values, expected):
    assert max_drawdown(values) == pytest.approx(expected, rel=1e-12, abs=1e-15)


def test_statistics_of_too_short_a_run_are_nan_not_errors():
    s = statistics(ledger_of([1.0]))
    assert s["days"] == 0
    assert all(math.isnan(s[k]) for k in ("annual_return", "annual_volatility", "sharpe", "turnover"))
    flat = statistics(ledger_of([1.0, 1.0, 1.0]))
    assert flat["annual_volatility"] == 0.0 and math.isnan(flat["sharpe"])


# ---------------------------------------------------------------- through a hand-built store

STOCKS_CSV = {
    "instruments": """\
        order_book_id,symbol,type,sector_type_name,listed_date,de_listed_date
        600001.XSHG,甲股份,CS,Financials,2020-01-02,
        600002.XSHG,乙股份,CS,Energy,2020-01-02,2025-01-09
        000003.XSHE,丙科技,CS,Information Technology,2020-01-02,
        000300.XSHG,沪深300,INDX,,2020-01-02,
        """,
    "funds": """\
        order_book_id,symbol,fund_type
        000001.OF,甲基金,Stock
        110022.OF,乙基金,Bond
        """,
    # A is suspended on 01-08 (volume 0, close carried); B's last bar is on 01-08 (de-listed 01-09)
    "bars": """\
        order_book_id,date,close,volume
        600001.XSHG,2025-01-03,10,100
        600001.XSHG,2025-01-06,10,100
        600001.XSHG,2025-01-07,11,100
        600001.XSHG,2025-01-08,11,0
        600001.XSHG,2025-01-09,12.1,100
        600001.XSHG,2025-01-10,12.1,100
        600001.XSHG,2025-01-13,13.31,100
        600001.XSHG,2025-01-14,13.31,100
        600002.XSHG,2025-01-03,20,100
        600002.XSHG,2025-01-06,20,100
        600002.XSHG,2025-01-07,18,100
        600002.XSHG,2025-01-08,19.8,100
        000003.XSHE,2025-01-03,5,100
        000003.XSHE,2025-01-06,5,100
        000003.XSHE,2025-01-07,5,100
        000003.XSHE,2025-01-08,5.5,100
        000003.XSHE,2025-01-09,5.5,100
        000003.XSHE,2025-01-10,4.95,100
        000003.XSHE,2025-01-13,4.95,100
        000003.XSHE,2025-01-14,5.445,100
        000300.XSHG,2025-01-03,100,1000
        000300.XSHG,2025-01-06,100,1000
        000300.XSHG,2025-01-07,101,1000
        000300.XSHG,2025-01-08,102.01,1000
        000300.XSHG,2025-01-09,102.01,1000
        000300.XSHG,2025-01-10,100,1000
        000300.XSHG,2025-01-13,100,1000
        000300.XSHG,2025-01-14,110,1000
        """,
    # 000001.OF publishes no net value on 01-08
    "navs": """\
        order_book_id,date,adjusted_net_value
        000001.OF,2025-01-06,1.00
        000001.OF,2025-01-07,1.02
        000001.OF,2025-01-09,1.0404
        000001.OF,2025-01-10,1.0404
        110022.OF,2025-01-06,2.0
        110022.OF,2025-01-07,1.9
        110022.OF,2025-01-08,1.995
        110022.OF,2025-01-09,1.995
        110022.OF,2025-01-10,2.09475
        """,
}
A, B, C, INDEX, F1, F2 = "600001.XSHG", "600002.XSHG", "000003.XSHE", "000300.XSHG", "000001.OF", "110022.OF"


@pytest.fixture(scope="session")
def hand_store_path(tmp_path_factory):
    folder = tmp_path_factory.mktemp("hand")
    files = [(kind, write_csv(folder, f"{kind}.csv", text)) for kind, text in STOCKS_CSV.items()]
    return import_files(folder / "hand.sqlite", files).store


@pytest.fixture
def hand_store(hand_store_path):
    veladatac.init(hand_store_path)
    return hand_store_path


@pytest.fixture
def fixed_weights(monkeypatch):
    """The optimiser replaced by a table date -> weights (None: equal weights); records its calls."""
    calls = []

    def install(plan):
        def fake(ids, date, params, solver):
            calls.append((list(ids), date, params["method"], solver))
            weights = plan.get(date) or {i: 1 / len(ids) for i in ids}
            return dict(weights), solver, [], []

        monkeypatch.setattr(executors, "optimise", fake)
        return calls

    return install


def test_stocks_drift_suspension_delisting_and_costs_through_the_store(hand_store, fixed_weights):
    calls = fixed_weights({D(2025, 1, 6): {A: 0.5, B: 0.3, C: 0.2}, D(2025, 1, 9): {A: 0.5, C: 0.5}})
    # the flat rate without the trading rules: the cost is charged on the whole value
    r = bt.run_backtest(
        [A, B, C],
        end="2025-01-14",
        dates=["2025-01-06", "20250109"],
        costs_bps=10,
        method=M.MIN_VARIANCE,
        benchmark=INDEX,
        trading_rules=False,
    )
    # B is de-listed on 01-09: that date's universe leaves it out, and says so
    assert calls == [
        ([A, B, C], D(2025, 1, 6), M.MIN_VARIANCE, "native"),
        ([A, C], D(2025, 1, 9), M.MIN_VARIANCE, "native"),
    ]
    assert r.rebalances[1].notes[0].endswith(f"not trading on 2025-01-09: {B} (de-listed on 2025-01-09)")
    # 01-06: buy for 0.001 -> 0.999 = A 0.4995, B 0.2997, C 0.1998
    # 01-07: A +10 %, B -10 %: 0.54945 + 0.26973 + 0.1998 = 1.01898
    # 01-08: A suspended, B +10 %, C +10 %: 0.54945 + 0.296703 + 0.21978 = 1.065933
    # 01-09: A +10 %, B de-listed (0.296703 in cash), C flat: 1.120878; to A, C = 0.5, 0.5:
    #        traded |0.560439 - 0.604395| + |0.560439 - 0.21978| = 0.384615 (of value), cost 0.000384615
    # 01-10: C -10 %; 01-13: A +10 %; 01-14: C +10 %
    after = 1.120878 - 0.000384615
    half = after / 2
    expected = [0.999, 1.01898, 1.065933, after, half + 0.9 * half, 1.1 * half + 0.9 * half, 1.1 * half + 0.99 * half]
    assert list(r.daily.index.date) == [D(2025, 1, d) for d in (6, 7, 8, 9, 10, 13, 14)]
    np.testing.assert_allclose(r.daily["value"], expected, rtol=1e-12)
    second = r.rebalances[1]
    assert second.traded == pytest.approx(0.384615 / 1.120878, rel=1e-12)
    assert second.cost == pytest.approx(0.000384615, rel=1e-10)
    assert second.turnover == pytest.approx((0.384615 + 0.296703) / 2 / 1.120878, rel=1e-12)
    assert r.rebalances[0].cost == pytest.approx(0.001, rel=1e-12)
    # the benchmark from 1.0 on the first day; returns day over day
    np.testing.assert_allclose(r.daily["benchmark_value"], [1, 1.01, 1.0201, 1.0201, 1.0, 1.0, 1.1], rtol=1e-12)
    assert r.stats["rebalances"] == 2 and r.stats["days"] == 6 and r.stats["failed"] == 0
    assert r.stats["turnover"] == pytest.approx(second.turnover / (6 / r.stats["days_per_year"]), rel=1e-12)


def test_funds_earn_their_net_value_return_and_a_missing_value_catches_up(hand_store, fixed_weights):
    fixed_weights({D(2025, 1, 6): {F1: 0.5, F2: 0.5}})
    r = bt.run_backtest([F1, F2], end="2025-01-10", dates=["2025-01-06"])
    # F1: 1.00, 1.02, (none), 1.0404, 1.0404; F2: 2.0, 1.9, 1.995, 1.995, 2.09475; bought from cash
    # with the schedule's commission alone (2.5 bps of what is bought: no stamp duty or transfer fee
    # on a fund), so that what is bought and its commission spend the whole value
    kept = 1 / 1.00025
    expected = [1.0, 0.51 + 0.475, 0.51 + 0.49875, 0.5202 + 0.49875, 0.5202 + 0.5236875]
    np.testing.assert_allclose(r.daily["value"], np.array(expected) * kept, rtol=1e-12)
    assert r.rebalances[0].cost == pytest.approx(0.00025 * kept, rel=1e-12)
    fees = {"commission": 0.00025 * kept, "stamp_duty": 0.0, "transfer": 0.0, "total": 0.00025 * kept}
    assert r.rebalances[0].fees == pytest.approx(fees, rel=1e-12)
    np.testing.assert_allclose(r.daily["return"].iloc[2], (0.51 + 0.49875) / 0.985 - 1, rtol=1e-12)


@pytest.mark.parametrize("capital", [1e6, 1e4])  # at 10,000 yuan the 5-yuan minimum binds
def test_funds_bought_from_a_capital_pay_each_orders_commission_and_no_more(on_small, capital):
    funds = [f for f in on_small.fund_ids if f not in on_small.roles["liquidated_fund"]][:4]
    r = bt.run_backtest(funds, "2026-11-01", "2026-12-31", method=M.MIN_VARIANCE, capital=capital)
    first = r.rebalances[0]
    navs = tradelist.day_closes(funds, first.date, veladatac)
    bought = {i: n for i, n in first.shares.items() if n > 0}
    fees = [veladatac.rules.FeeSchedule().fees(i, "buy", n, navs[i], first.date) for i, n in bought.items()]
    commission = math.fsum(f["commission"] for f in fees)
    assert bought and commission >= 5.0 * len(bought)
    assert all(f["stamp_duty"] == f["transfer"] == 0 for f in fees)
    # the cash the trade list planned with is what the accounts charge, to the fen: each order pays
    # its units times the net value (four decimals) rounded to the fen
    spent = math.fsum(tradelist.order_value(n, navs[i]) for i, n in bought.items())
    assert first.cash == pytest.approx(capital - spent - commission, abs=1e-6)
    assert first.fees["commission"] == pytest.approx(commission / capital, rel=1e-12)
    assert first.fees["stamp_duty"] == first.fees["transfer"] == 0


# ---------------------------------------------------------------- the optimiser on every date


def healthy(store, n):
    awkward = {i for ids in store.roles.values() for i in ids}
    return [i for i in store.stock_ids if i not in awkward][:n]


# without the trading rules: every date is the optimiser's own, whatever the holdings
RUN = dict(
    start="2025-09-01", end="2026-01-15", method=M.MIN_VARIANCE, bnds={"*": (0, 0.3)}, costs_bps=5, trading_rules=False
)


@pytest.mark.parametrize("solver", ["native", "scipy"])
def test_each_rebalancing_has_the_optimisers_weights_on_that_date(on_small, solver):
    ids = healthy(on_small, 8)
    r = bt.run_backtest(ids, **RUN, solver=solver, benchmark=on_small.index_ids[0])
    assert [x.date for x in r.rebalances] == bt.rebalance_dates("2025-09-01", "2026-01-15")
    for x in r.rebalances:
        # BLAS on one thread, as the backtest runs it: the thread count changes the scipy path's last bits
        with threadpool_limits(limits=1, user_api="blas"):
            expected = vo.portfolio_optimize(
                ids, x.date, method=M.MIN_VARIANCE, bnds={"*": (0, 0.3)}, benchmark=on_small.index_ids[0], solver=solver
            )
        assert x.weights == expected
        assert x.solver == solver
    # the daily table runs from the first rebalancing to the last trading day up to the end
    assert r.daily.index[0].date() == r.rebalances[0].date
    assert r.daily.index[-1].date() == veladatac.trading_date_offset("2026-01-15", 0)
    doc = r.to_dict()
    assert set(doc) == {
        "rebalances",
        "daily",
        "stats",
        "unavailable",
        "years",
        "failures",
        "complete",
        "pending",
        "delistings",
    }
    assert doc["complete"] is True and doc["pending"] == [] and doc["delistings"] == []
    assert {
        "annual_return",
        "annual_volatility",
        "sharpe",
        "max_drawdown",
        "turnover",
        "tracking_error",
        "information_ratio",
    } <= set(doc["stats"])
    assert doc["daily"][0]["value"] == pytest.approx(1 - 0.0005, rel=1e-12)  # 5 bps on buying the capital


def test_screened_stocks_are_reported_with_the_rebalancing(on_small):
    dropped = on_small.roles["illiquid_no_last_close"][0]  # no bar on the last day of the store
    r = bt.run_backtest(healthy(on_small, 5) + [dropped], end=on_small.end, dates=[on_small.end], method=M.MIN_VARIANCE)
    (x,) = r.rebalances
    assert dropped not in x.weights
    assert x.dropped == [(dropped, "delisted")]
    assert any(dropped in note for note in x.notes)  # the optimiser's warning, kept with its date


def test_an_index_universe_is_read_again_on_every_date(on_small, fixed_weights):
    calls = fixed_weights({})
    bt.run_backtest(bt.IndexUniverse(on_small.index_ids[1], limit=6), "2025-06-01", "2026-06-30")
    members = [veladatac.index_components(on_small.index_ids[1], d)[:6] for _, d, _, _ in calls]
    assert [ids for ids, _, _, _ in calls] == members
    assert len({tuple(m) for m in members}) > 1  # the sample index changes members in January and July


@pytest.fixture(scope="module")
def dask_cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as cluster:  # any free port: 8787 may be taken
        yield cluster


def where(mode, request, store):
    """Keyword arguments that run the optimisations serially, on 2 local processes or on the cluster."""
    if mode == "processes":
        return {"workers": 2}
    if mode == "cluster":
        return {"scheduler": request.getfixturevalue("dask_cluster").scheduler_address, "store": store.path}
    return {}


def same(a, b):
    assert a.to_dict() == b.to_dict()
    pd.testing.assert_frame_equal(a.daily, b.daily, check_exact=True)


# Local processes take seconds to start: the native path on them is run by the command line's test
# (test_backtest_cli.py), the scipy path here.
@pytest.mark.parametrize("solver, modes", [("scipy", ["processes", "cluster"]), ("native", ["cluster"])])
def test_serial_local_processes_and_a_cluster_give_the_same_bits(on_small, request, solver, modes):
    ids = healthy(on_small, 8)
    serial = bt.run_backtest(ids, **RUN, solver=solver)
    for mode in modes:
        same(serial, bt.run_backtest(ids, **RUN, solver=solver, **where(mode, request, on_small)))


def test_workers_that_read_another_store_stop_the_run(on_small, dask_cluster, tmp_path):
    other = sample.build_store(
        tmp_path / "other.sqlite", n_stocks=30, n_funds=8, start="2025-01-01", end="2026-12-31", seed=7
    )  # the same content, another file
    with pytest.raises(bt.BacktestError, match="another store"):
        bt.run_backtest(healthy(on_small, 8), **RUN, scheduler=dask_cluster.scheduler_address, store=other.path)


# ---------------------------------------------------------------- failed dates

FAIL_RUN = dict(start="2025-09-01", end="2026-02-15", method=M.MIN_VARIANCE, solver="scipy")


def failing_on(store, bad, how="optimiser"):
    """A universe whose optimisation fails on the dates ``bad``: one id is too few for the
    optimiser; "universe" makes reading the universe itself fail."""
    ids = healthy(store, 6)

    def universe(day):
        if day in bad:
            if how == "universe":
                raise LookupError(f"no members on {day}")
            return ids[:1]
        return ids

    return universe


@pytest.mark.parametrize(
    "how, mode, message",
    [
        ("optimiser", "serial", "合约数目太少"),
        ("optimiser", "processes", "合约数目太少"),
        ("optimiser", "cluster", "合约数目太少"),
        ("universe", "serial", "no members on"),  # the universe is read in this process, whatever runs the rest
    ],
)
def test_the_earliest_failed_date_stops_the_run(on_small, request, how, mode, message):
    dates = bt.rebalance_dates(FAIL_RUN["start"], FAIL_RUN["end"])
    bad = {dates[3], dates[1]}
    with pytest.raises(bt.RebalanceFailed) as info:
        bt.run_backtest(failing_on(on_small, bad, how), **FAIL_RUN, **where(mode, request, on_small))
    (failure,) = info.value.failures
    assert failure.date == dates[1] and message in failure.message
    assert str(info.value).startswith(f"OPTIMIZER: 调仓日 {dates[1]} 优化失败：")


@pytest.mark.parametrize("mode", ["serial", "cluster"])
def test_keep_going_records_failed_dates_and_keeps_the_holdings(on_small, request, mode):
    dates = bt.rebalance_dates(FAIL_RUN["start"], FAIL_RUN["end"])
    bad = {dates[1], dates[3]}
    seen = []
    r = bt.run_backtest(
        failing_on(on_small, bad),
        **FAIL_RUN,
        **where(mode, request, on_small),
        keep_going=True,
        progress=lambda day, failed: seen.append((day, failed)),
    )
    assert [(f.date, f.error) for f in r.failures] == [(dates[1], "InvalidArgument"), (dates[3], "InvalidArgument")]
    assert sorted(seen) == [(d, d in bad) for d in dates]
    assert r.stats["failed"] == 2 and r.stats["rebalances"] == len(dates) - 2
    # skipping a date = never having scheduled it
    kept = [d for d in dates if d not in bad]
    plain = bt.run_backtest(
        healthy(on_small, 6), end=FAIL_RUN["end"], dates=kept, method=M.MIN_VARIANCE, solver="scipy"
    )
    pd.testing.assert_frame_equal(r.daily, plain.daily, check_exact=True)


def test_keep_going_with_the_first_date_failed_starts_in_cash(on_small):
    dates = bt.rebalance_dates(FAIL_RUN["start"], FAIL_RUN["end"])
    r = bt.run_backtest(failing_on(on_small, {dates[0]}), **FAIL_RUN, keep_going=True, costs_bps=20)
    before = r.daily.loc[: pd.Timestamp(dates[1]) - pd.Timedelta(days=1)]
    assert r.daily.index[0].date() == dates[0]
    assert (before["value"] == 1.0).all() and (before["return"] == 0.0).all()
    assert r.daily.loc[pd.Timestamp(dates[1]), "value"] == pytest.approx(1 - 0.002, rel=1e-12)


def test_keep_going_with_every_date_failed_is_an_error(on_small):
    dates = bt.rebalance_dates(FAIL_RUN["start"], FAIL_RUN["end"])
    with pytest.raises(bt.RebalanceFailed) as info:
        bt.run_backtest(failing_on(on_small, set(dates)), **FAIL_RUN, keep_going=True)
    assert [f.date for f in info.value.failures] == dates
    assert f"全部 {len(dates)} 个调仓日优化失败" in str(info.value)


# ---------------------------------------------------------------- each date's universe


def first_value(fund):
    return veladatac.fund.get_nav(fund, "2025-01-01", "2026-12-31").first_valid_index().date()


# role, what the note says of it, the day from which it is in the universe, the day from which it is out
PRESENCE = [
    ("recent_fund", "first net value on {}", lambda oid: first_value(oid), None),
    ("recent_listing", "listed on {}", lambda oid: veladatac.instruments(oid).listed_date, None),
    ("recent_delisting", "de-listed on {}", None, lambda oid: veladatac.instruments(oid).de_listed_date),
]


@pytest.mark.parametrize("role, words, entry, exit", PRESENCE, ids=[p[0] for p in PRESENCE])
def test_a_date_optimises_only_what_exists_on_it(on_small, fixed_weights, role, words, entry, exit):
    oid = on_small.roles[role][0]
    funds = role.endswith("fund")
    others = [f for f in on_small.fund_ids if f != oid][:3] if funds else healthy(on_small, 3)
    calls = fixed_weights({})
    r = bt.run_backtest([*others, oid], "2026-05-01", "2026-12-31")
    assert r.failures == [] and len(calls) == len(r.rebalances) == 8
    day = (entry or exit)(oid)
    for (ids, date, _, _), x in zip(calls, r.rebalances, strict=True):
        present = date >= day if entry else date < day
        assert ids == ([*others, oid] if present else others)
        notes = [n for n in x.notes if oid in n]
        assert notes == (
            []
            if present
            else [f"1 instrument left out of this date's universe, not trading on {date}: {oid} ({words.format(day)})"]
        )


@pytest.mark.parametrize("capital", [None, 1e7])
def test_a_holding_de_listed_between_rebalancings_is_recorded_as_the_cash_it_became(on_small, capital):
    gone = on_small.roles["recent_delisting"][0]
    day = veladatac.instruments(gone).de_listed_date
    # risk parity holds every name, so the stock is held when it goes
    r = bt.run_backtest(
        [gone, *healthy(on_small, 5)], "2026-05-01", "2026-12-31", method=M.RISK_PARITY, capital=capital
    )
    last = [x for x in r.rebalances if x.date < day][-1]
    (d,) = r.delistings
    close = veladatac.get_price(gone, "2026-01-01", day, fields="close").dropna()
    assert (d.date, d.id, d.price) == (day, gone, float(close.iloc[-1]))
    # the value it had drifted to on its last day (to the buys' fees, which scale them a little),
    # in yuan with a capital
    nxt = [x for x in r.rebalances if x.date >= day][0]
    if capital is None:
        drift = close.iloc[-1] / close.loc[pd.Timestamp(last.date)]
        value = last.weights[gone] * r.daily["value"].loc[pd.Timestamp(last.date)] * drift
        assert d.shares is None and d.value == pytest.approx(value, rel=1e-4)
    else:
        assert d.shares == last.shares[gone] > 0 and d.value == d.shares * d.price
    assert gone not in nxt.before
    doc = r.to_dict()
    assert doc["delistings"] == [
        {"date": day.isoformat(), "id": gone, "shares": d.shares, "price": d.price, "value": d.value}
    ]


@pytest.mark.parametrize(("gone", "rest"), [(11, 1), (400, 390)])  # one past the ten named; a whole market's
def test_the_summary_names_ten_de_listed_holdings_and_counts_the_rest(on_small, gone, rest):
    from dataclasses import replace

    from vela_optimizer.backtest.accounts import Delisting
    from vela_optimizer.backtest.outputs import render

    r = bt.run_backtest(healthy(on_small, 4), "2026-06-01", "2026-08-31", method=M.RISK_PARITY)
    day = r.rebalances[-1].date
    many = [Delisting(day, f"{600000 + k:06d}.XSHG", None, 10.0 + k, 0.001) for k in range(gone)]
    r = replace(r, delistings=many)
    settings = dict(method="risk_parity", schedule="monthly", window=132, costs_bps=None, solver="native")
    text = render(r, {**settings, "benchmark": None, "days_per_year": None, "risk_free": 0.0, "trading_rules": False})
    block = text[text.index("De-listed while held") :].splitlines()
    assert block[0] == f"De-listed while held ({gone}; turned into cash at the last close):"
    assert block[1:11] == [
        f"  {day}  {d.id}  {100 * d.value:.2f} % of the capital at {d.price:,.2f}" for d in many[:10]
    ]
    assert block[11:] == [f"  and {rest} more (every one in the JSON)"]
    assert len(r.to_dict()["delistings"]) == gone  # the JSON keeps them all


@pytest.mark.parametrize("solver", ["native", "scipy"])
def test_a_fund_first_valued_inside_the_period_fails_no_date(on_small, solver):
    # it used to reach the optimiser with no values: "Inequality constraints incompatible" or "ABNORMAL:"
    recent = on_small.roles["recent_fund"][0]
    funds = [f for f in on_small.fund_ids if f not in (recent, *on_small.roles["liquidated_fund"])][:4]
    r = bt.run_backtest([*funds, recent], "2026-05-01", "2026-12-31", method=M.RISK_PARITY, solver=solver)
    assert r.failures == []
    assert [recent in x.weights for x in r.rebalances] == [x.date >= first_value(recent) for x in r.rebalances]


# ---------------------------------------------------------------- checkpoints and interrupts

WEEKLY = dict(
    start="2025-08-01",
    end="2026-03-31",
    rebalance="weekly",
    method=M.MIN_VARIANCE,
    bnds={"*": (0, 0.4)},
    costs_bps=5,
    solver="scipy",
    keep_going=True,
    trading_rules=False,
)


def stopping_after(k):
    """A progress callback that interrupts the run (KeyboardInterrupt, as SIGINT raises it) at its k-th date."""
    done = []

    def progress(day, failed):
        done.append(day)
        if len(done) == k:
            raise KeyboardInterrupt

    return progress


@pytest.mark.parametrize("mode", ["serial", "processes", "cluster"])
def test_an_interrupted_run_resumes_to_the_same_bits(on_small, request, tmp_path, mode):
    ids = healthy(on_small, 8)
    reference = bt.run_backtest(ids, **WEEKLY)
    n = len(reference.rebalances)
    k = random.Random().randint(1, n - 1)  # any point: a date done in this run, or the last one
    with pytest.raises(bt.BacktestInterrupted) as info:
        bt.run_backtest(
            ids, **WEEKLY, checkpoint=tmp_path / "ck", progress=stopping_after(k), **where(mode, request, on_small)
        )
    e = info.value
    assert (e.finished, e.total) == (k, n), k
    # the report of the dates up to the first not done; on processes or a cluster the first date
    # may not be among the first k done, and then there is none
    part = e.result
    assert part is not None or mode != "serial"
    done = part.rebalances if part is not None else []
    if part is not None:
        assert not part.complete and part.pending == [x.date for x in reference.rebalances[len(done) :]]
        assert part.daily.index[-1] < pd.Timestamp(part.pending[0])
        assert part.to_dict()["complete"] is False
    assert [(x.date, x.weights) for x in done] == [(x.date, x.weights) for x in reference.rebalances[: len(done)]]
    kept = {p.name: p.stat().st_ino for p in (tmp_path / "ck" / "dates").iterdir()}
    assert len(kept) == k
    resumed = bt.run_backtest(ids, **WEEKLY, checkpoint=tmp_path / "ck", **where(mode, request, on_small))
    same(reference, resumed)
    # the dates kept were read, not optimised and written again (a write makes a new file)
    after = {p.name: p.stat().st_ino for p in (tmp_path / "ck" / "dates").iterdir()}
    assert len(after) == n and all(after[name] == ino for name, ino in kept.items())


def test_a_checkpoint_entry_that_cannot_be_read_is_optimised_again(on_small, tmp_path, monkeypatch):
    ids = healthy(on_small, 6)
    reference = bt.run_backtest(ids, **WEEKLY, checkpoint=tmp_path / "ck")
    entries = sorted((tmp_path / "ck" / "dates").iterdir())
    entries[0].write_text(entries[0].read_text()[:40])  # cut short (a disk fault, not a crash)
    doc = json.loads(entries[1].read_text())
    doc["key"] = "0" * 64  # another backtest's entry
    entries[1].write_text(json.dumps(doc))
    (entries[2].parent / f".{entries[2].name}.x1.tmp").write_text("{")  # a write that never finished
    optimised = []
    real = executors.optimise
    monkeypatch.setattr(executors, "optimise", lambda ids, day, *a: optimised.append(day) or real(ids, day, *a))
    same(reference, bt.run_backtest(ids, **WEEKLY, checkpoint=tmp_path / "ck"))
    assert optimised == [dt.date.fromisoformat(entries[0].stem), dt.date.fromisoformat(entries[1].stem)]


# run_backtest's keyword arguments changed, and the fields the refusal names
OTHER = [
    (dict(method=M.RISK_PARITY), ["method"]),
    (dict(costs_bps=7), ["costs_bps"]),
    (dict(bnds={"*": (0, 0.5)}), ["bounds"]),
    (dict(end="2026-02-27"), ["dates", "end", "universe"]),  # the universe of every date
    (dict(window=60), ["window"]),
    (dict(solver="native"), ["solver"]),
]


@pytest.mark.parametrize("change, fields", OTHER)
def test_a_checkpoint_of_another_backtest_is_refused(on_small, tmp_path, change, fields):
    ids = healthy(on_small, 6)
    args = dict(WEEKLY, end="2025-10-31")
    bt.run_backtest(ids, **args, checkpoint=tmp_path / "ck")
    with pytest.raises(bt.CheckpointMismatch) as info:
        bt.run_backtest(ids, **{**args, **change}, checkpoint=tmp_path / "ck")
    assert [d[0] for d in info.value.differences] == fields
    assert str(info.value).startswith(f"checkpoint {tmp_path / 'ck'}: made by another backtest (")


def test_a_checkpoint_is_refused_for_another_universe_or_store_and_taken_with_keep_going(on_small, tmp_path):
    ids = healthy(on_small, 7)
    args = dict(WEEKLY, end="2025-10-31", keep_going=False)
    first = bt.run_backtest(ids[:6], **args, checkpoint=tmp_path / "ck")
    with pytest.raises(bt.CheckpointMismatch, match=r"\(another universe on some dates\)"):
        bt.run_backtest(ids[1:], **args, checkpoint=tmp_path / "ck")
    # what is done on a failure does not change what a date gives: a run that stopped resumes with it
    same(first, bt.run_backtest(ids[:6], **dict(args, keep_going=True), checkpoint=tmp_path / "ck"))
    other = sample.build_store(
        tmp_path / "other.sqlite", n_stocks=30, n_funds=8, start="2025-01-01", end="2026-12-31", seed=8
    )
    veladatac.init(other.path)
    with pytest.raises(bt.CheckpointMismatch) as info:
        bt.run_backtest(ids[:6], **args, checkpoint=tmp_path / "ck")
    assert "store" in [d[0] for d in info.value.differences]


# ---------------------------------------------------------------- the default: serial until the dates look long


def timed_outcomes(seconds):
    """executors.rebalance replaced by outcomes that took ``seconds[i]`` for the i-th task."""

    def fake(task):
        return executors.Outcome(task.index, task.date, {"A": 1.0}, seconds=seconds[task.index])

    return fake


# seconds per date, the break-even; the index of the first date sent to processes (None: all serial)
ADAPTIVE = [
    ([0.01] * 40, 3.0, None),
    ([0.5] * 40, 3.0, 4),  # the first date is not timed; three timed ones decide
    ([5.0, 0.01, 0.01, 0.01, 0.01, 0.01], 0.1, None),  # a slow first date (imports) decides nothing
    ([0.01] * 4 + [2.0] * 6, 3.0, 7),  # the median turns once half the timed dates are slow
    ([0.5] * 5, 3.0, None),  # too few left
]


@pytest.mark.parametrize("seconds, break_even, switch", ADAPTIVE)
def test_the_default_goes_to_processes_once_the_rest_would_take_longer_than_the_break_even(
    monkeypatch, seconds, break_even, switch
):
    monkeypatch.setattr(executors, "rebalance", timed_outcomes(seconds))
    sent = []

    def processes(tasks, workers, keep_going, report):
        sent.append(([t.index for t in tasks], workers))
        return {t.index: executors.Outcome(t.index, t.date, {"A": 1.0}) for t in tasks}

    monkeypatch.setattr(executors, "on_processes", processes)
    tasks = [executors.Task(i, D(2025, 1, 1) + dt.timedelta(days=i), ("A",), {}, "native") for i in range(len(seconds))]
    reported = []
    out = executors.adaptive(tasks, 2, False, reported.append, break_even=break_even)
    assert sorted(out) == list(range(len(seconds)))
    assert sent == ([] if switch is None else [(list(range(switch, len(seconds))), 2)])
    assert [o.index for o in reported] == list(range(len(seconds) if switch is None else switch))


# ---------------------------------------------------------------- files written whole


def test_a_file_is_replaced_whole_or_left_as_it_was(tmp_path):
    target = tmp_path / "out.json"
    target.write_text("old")
    os.chmod(target, 0o640)

    def half(fh):
        fh.write("new, but")
        raise OSError(28, "No space left on device")

    with pytest.raises(OSError):
        files.write_atomic(target, half)
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["out.json"]
    files.write_atomic(target, lambda fh: fh.write("new"))
    assert target.read_text() == "new" and os.stat(target).st_mode & 0o777 == 0o640
    files.write_atomic(os.devnull, lambda fh: fh.write("into the device, not over it"))
    assert os.path.exists(os.devnull) and not os.path.isfile(os.devnull)


@pytest.mark.parametrize(
    "bps, shares, price, expected",
    [
        (2.5, 100, 4.6, 0.12),  # 2.5 bps of 460.00 = 0.115 -> 0.12
        (2.5, 200, 34.3, 1.72),  # of 6860.00 = 1.715 -> 1.72
        (2.5, 300, 6.6, 0.5),  # of 1980.00 = 0.495 -> 0.50
        (5.0, 100, 8.7, 0.44),  # 5 bps of 870.00 = 0.435 -> 0.44
        (10.0, 300, 3.33, 1.0),  # 10 bps of 999.00 = 0.999 -> 1.00
    ],
)
def test_a_flat_rate_order_is_charged_half_up_to_the_fen(bps, shares, price, expected):
    from vela_optimizer.backtest.accounts import Fees

    assert Fees(bps).order("600000.XSHG", "sell", shares, price, dt.date(2024, 6, 3)) == (expected,)


def test_a_fund_whose_net_values_stop_is_named_on_each_date_after_its_last_one(on_small):
    # The backtest keeps a wound-up fund at its last net value; each date past it says the optimiser
    # read those carried days as no risk, and a date before it says nothing.
    gone = on_small.roles["liquidated_fund"][0]
    funds = [gone, *[f for f in on_small.fund_ids if f != gone][:4]]
    nav = veladatac.fund.get_nav([gone], "2025-01-01", "2026-12-31", fields="adjusted_net_value")[gone]
    last = nav.dropna().index[-1].date()
    before = veladatac.trading_date_offset(last, -5)
    after = veladatac.trading_date_offset(last, 10)
    r = bt.run_backtest(
        funds, end=veladatac.trading_date_offset(after, 2), dates=[before, after], method=M.MIN_VARIANCE
    )
    said = {x.date: [n for n in x.notes if "without a net value at the window's end" in n] for x in r.rebalances}
    assert said[before] == []
    assert len(said[after]) == 1 and said[after][0].endswith(
        f"{gone} at {100 * r.rebalances[1].weights.get(gone, 0.0):.2f} % (none after {last}: 10 days carried)"
    )
