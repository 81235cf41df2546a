"""What a committee reads from vela-backtest: each figure recomputed from the daily series the JSON
records, the per-year table, the files as Excel on Chinese Windows reads them, and the chart."""

import csv
import json
import math
import os
import sys

import numpy as np
import pandas as pd
import pytest

import veladatac
from vela_optimizer import backtest
from vela_optimizer.backtest import plot as backtest_plot
from vela_optimizer.backtest.accounts import Ledger, Trade
from vela_optimizer.backtest.cli import _argv_of, main
from vela_optimizer.backtest.statistics import calendar_days_per_year, statistics, unavailable
from vela_optimizer.cli import plot as cli_plot
from vela_optimizer.optimizer import OptimizeMethod
from veladatac import sample

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation  # noqa: F401

BOM = b"\xef\xbb\xbf"


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    return sample.build_store(
        tmp_path_factory.mktemp("bt-figures") / "store.sqlite",
        n_stocks=24,
        n_funds=6,
        start="2025-01-01",
        end="2026-12-31",
        seed=11,
    )


def healthy(store, n):
    awkward = {i for ids in store.roles.values() for i in ids}
    return [i for i in store.stock_ids if i not in awkward][:n]


def run_here(store, capsys, *args):
    veladatac.init(store.path)
    try:
        status = main([str(a) for a in args])
    except SystemExit as e:
        status = e.code
    out = capsys.readouterr()
    return status, out.out, out.err


def exchange_id(oid):
    return oid.replace(".XSHG", ".SH").replace(".XSHE", ".SZ")


# ---------------------------------------------------------------- figures from the JSON's daily series


def recomputed(doc):
    """Every figure from the daily series and the rebalancings, by the definitions the help states."""
    s = doc["stats"]
    D, rf = s["days_per_year"], s["risk_free"]
    v = np.array([d["value"] for d in doc["daily"]])
    r = np.array([d["return"] for d in doc["daily"]])[1:]
    x = r - ((1 + rf) ** (1 / D) - 1)
    peak = np.maximum.accumulate(np.maximum(v, 1.0))
    out = {
        "annual_return": v[-1] ** (D / r.size) - 1,
        "annual_volatility": r.std(ddof=1) * math.sqrt(D),
        "sharpe": x.mean() / x.std(ddof=1) * math.sqrt(D),
        "sortino": x.mean() / math.sqrt(np.mean(np.minimum(x, 0) ** 2)) * math.sqrt(D),
        "max_drawdown": float(np.max(1 - v / peak)),
        "average_holdings": np.mean([sum(w > 1e-4 for w in reb["weights"].values()) for reb in doc["rebalances"]]),
    }
    out["calmar"] = out["annual_return"] / out["max_drawdown"]
    if "benchmark_value" in doc["daily"][0]:
        b = np.array([d["benchmark_value"] for d in doc["daily"]])
        a = r - (b[1:] / b[:-1] - 1)
        out.update(excess_return=a.mean() * D, tracking_error=a.std(ddof=1) * math.sqrt(D))
    return out


@pytest.mark.parametrize(
    "extra, benchmark",
    [
        ([], False),
        (["--risk-free", "0.025"], True),
        (["--risk-free", "-0.005", "--days-per-year", "250"], True),
    ],
)
def test_each_figure_recomputed_from_the_daily_series(store, tmp_path, capsys, extra, benchmark):
    ids = healthy(store, 6)
    bench = ["--benchmark", store.index_ids[0]] if benchmark else []
    status, out, err = run_here(
        store,
        capsys,
        *ids,
        "--start",
        "2025-09-01",
        "--end",
        "2026-05-15",
        "--method",
        "min_variance",
        "--default-bound",
        "0:0.4",
        "--workers",
        "1",
        *bench,
        *extra,
        "--json",
        tmp_path / "a.json",
        "--csv",
        tmp_path / "csv",
    )
    assert status == 0, err
    doc = json.loads((tmp_path / "a.json").read_text(encoding="utf-8"))
    s = doc["stats"]
    given = float(extra[extra.index("--days-per-year") + 1]) if "--days-per-year" in extra else None
    # the calendar's own count: the mean of the store's trading days in 2025 and 2026
    calendar = np.mean([len(veladatac.get_trading_dates(f"{y}-01-01", f"{y}-12-31")) for y in (2025, 2026)])
    assert s["days_per_year"] == (given or calendar) and 240 <= calendar <= 246
    assert doc["settings"]["days_per_year"] == given
    assert s["risk_free"] == doc["settings"]["risk_free"] == (float(extra[1]) if extra else 0.0)
    for name, value in recomputed(doc).items():
        assert s[name] == pytest.approx(value, rel=1e-9), name
    if benchmark:
        assert s["information_ratio"] == s["excess_return"] / s["tracking_error"]
    else:
        assert all(s[k] is None for k in ("excess_return", "tracking_error", "information_ratio"))
        assert doc["unavailable"]["information_ratio"].startswith("no benchmark")
        assert "none without a benchmark (--benchmark ID)" in out
    assert f"risk-free rate {s['risk_free']:.2%} a year; {s['days_per_year']:.4g} trading days a year" in out

    # the years compound and sum to the whole
    years = doc["years"]
    assert [y["year"] for y in years] == [2025, 2026] and sum(y["days"] for y in years) == s["days"]
    assert np.prod([1 + y["return"] for y in years]) == pytest.approx(s["final_value"], rel=1e-12)
    assert sum(y["turnover"] for y in years) == pytest.approx(s["turnover"] * s["days"] / s["days_per_year"], rel=1e-12)
    assert sum(y["costs"] for y in years) == pytest.approx(s["costs"], rel=1e-12)
    later = [d for d in doc["daily"] if d["date"] >= "2026"]
    r = np.array([d["return"] for d in later])
    assert years[1]["volatility"] == pytest.approx(r.std(ddof=1) * math.sqrt(s["days_per_year"]), rel=1e-9)
    assert ("benchmark_return" in years[0]) == benchmark
    for y in years:
        assert f"{y['year']}  " in out and f"{y['return']:.2%}" in out

    # every table Excel opens starts with one BOM; years.csv holds the JSON's rows
    for name in sorted(os.listdir(tmp_path / "csv")):
        raw = (tmp_path / "csv" / name).read_bytes()
        assert raw.startswith(BOM) and raw.count(BOM) == 1, name
    with open(tmp_path / "csv" / "years.csv", encoding="utf-8-sig") as fh:
        rows = list(csv.DictReader(fh))
    assert [(int(x["year"]), float(x["return"])) for x in rows] == [(y["year"], y["return"]) for y in years]

    # a replay annualises as the run did
    status, _, err = run_here(
        store, capsys, "--replay", tmp_path / "a.json", "--json", tmp_path / "b.json", "--workers", "1"
    )
    assert status == 0, err
    again = json.loads((tmp_path / "b.json").read_text(encoding="utf-8"))
    assert again["stats"] == s and again["years"] == years and again["settings"] == doc["settings"]


@pytest.mark.parametrize(
    "settings, expected",
    [
        ({}, ["--risk-free", "0.0", "--days-per-year", "252"]),  # recorded before the options: 252 days
        ({"risk_free": 0.02, "days_per_year": None}, ["--risk-free", "0.02"]),
        ({"risk_free": 0.0, "days_per_year": 244.0}, ["--risk-free", "0.0", "--days-per-year", "244.0"]),
    ],
)
def test_a_replay_keeps_the_recorded_rate_and_days(settings, expected):
    record = {
        "universe_ids": ["600000.XSHG"],
        "method": "min_variance",
        "window": 132,
        "risk_aversion": 1.0,
        "max_iteration": 100,
        "tol": 1e-8,
        "solver": "native",
        "costs_bps": 0.0,
        "end": "2026-01-30",
        "start": "2025-01-01",
        "universe": None,
        "cov_shrinkage": True,
        "benchmark": None,
        "keep_going": False,
        "bounds": None,
        "limits": None,
        **settings,
    }
    argv = _argv_of(record)
    tail = argv[argv.index("--risk-free") :]
    assert tail[: len(expected)] == expected and ("--days-per-year" in tail) == ("--days-per-year" in expected)


# ---------------------------------------------------------------- the statistics on their own


def ledger(values, trades=((1.0, 0.0),)):
    v = np.asarray(values, dtype=float)
    days = pd.bdate_range("2025-01-06", periods=len(v))
    daily = pd.DataFrame({"value": v, "return": v / np.concatenate(([1.0], v[:-1])) - 1}, index=days)
    return Ledger(daily, [Trade(days[0], t, t, c, 1.0) for t, c in trades])


# daily returns after d0: +10 %, -10 %, +10 %: mean 1/30, one day below 0 by 0.1
UP_DOWN_UP = [1.0, 1.1, 0.99, 1.089]


@pytest.mark.parametrize(
    "rate, sharpe, sortino",
    [
        (0.0, (1 / 30) / math.sqrt(1 / 75), (1 / 30) / math.sqrt(0.01 / 3)),
        ((1 + 1 / 30) ** 250 - 1, 0.0, 0.0),  # the daily rate is the mean return: nothing in excess
        # excess 1/30, -1/6, 1/30: only the -1/6 is below the rate
        ((1 + 1 / 15) ** 250 - 1, -(1 / 30) / math.sqrt(1 / 75), -(1 / 30) / math.sqrt((1 / 6) ** 2 / 3)),
    ],
)
def test_the_risk_free_rate_moves_sharpe_and_sortino(rate, sharpe, sortino):
    s = statistics(ledger(UP_DOWN_UP), risk_free=rate, days_per_year=250)
    assert s["sharpe"] == pytest.approx(sharpe * math.sqrt(250), rel=1e-9, abs=1e-12)
    assert s["sortino"] == pytest.approx(sortino * math.sqrt(250), rel=1e-9, abs=1e-12)
    assert s["annual_volatility"] == pytest.approx(math.sqrt(1 / 75 * 250), rel=1e-12)  # the rate moves no risk


@pytest.mark.parametrize(
    "values, benchmark, reasons",
    [
        (
            [1.0, 1.01, 1.02],
            None,
            {"calmar": "no drawdown", "sortino": "no daily return below", "information_ratio": "no benchmark"},
        ),
        ([1.0, 1.0, 1.0], [1.0, 1.0, 1.0], {"sharpe": "do not vary", "information_ratio": "do not vary"}),
        ([1.0], None, {"annual_return": "0 trading day(s)", "sharpe": "0 trading day(s)"}),
    ],
)
def test_a_figure_left_empty_says_why(values, benchmark, reasons):
    s = statistics(ledger(values), None if benchmark is None else pd.Series(benchmark))
    why = unavailable(s, benchmark is not None)
    for name, words in reasons.items():
        assert math.isnan(s[name]) and words in why[name], name
    assert all(math.isnan(s[k]) for k in why)


class Calendar:
    """A client whose calendar covers whole years from ``first`` on (a year before is refused)."""

    CalendarRangeError = veladatac.CalendarRangeError

    def __init__(self, first):
        self.days = pd.bdate_range(first, "2026-12-31")

    def get_trading_dates(self, start, end):
        start, end = pd.Timestamp(start), pd.Timestamp(end)
        if start < self.days[0] - pd.Timedelta(days=7):
            raise self.CalendarRangeError("outside")
        return list(self.days[(self.days >= start) & (self.days <= end)])


@pytest.mark.parametrize(
    "first, start, end, expected",
    [
        ("2024-01-01", "2025-03-03", "2025-06-30", 261),  # weekdays of 2025
        ("2024-01-01", "2024-11-29", "2026-02-27", (262 + 261 + 261) / 3),
        ("2025-06-02", "2025-06-02", "2025-06-30", 21 / (29 / 365.25)),  # no whole year: over the period
    ],
)
def test_days_per_year_from_the_calendar(first, start, end, expected):
    got = calendar_days_per_year(pd.Timestamp(start).date(), pd.Timestamp(end).date(), Calendar(first))
    assert got == pytest.approx(expected, rel=1e-12)


# ---------------------------------------------------------------- ids, the chart


@pytest.mark.parametrize("where", ["arguments", "ids_file", "bound"])
def test_exchange_suffix_ids_are_read_as_the_stores(store, tmp_path, capsys, where):
    ids = healthy(store, 4)
    given = [exchange_id(i) for i in ids] if where == "arguments" else list(ids)
    args = [*given]
    if where == "ids_file":
        (tmp_path / "ids.txt").write_text("\n".join(exchange_id(i) for i in ids) + "\n", encoding="utf-8")
        args = ["--ids-file", tmp_path / "ids.txt"]
    args += ["--bound", f"{exchange_id(ids[0]) if where == 'bound' else ids[0]}=0:0.1"]
    status, out, err = run_here(
        store,
        capsys,
        *args,
        "--start",
        "2025-10-01",
        "--end",
        "2025-12-31",
        "--method",
        "min_variance",
        "--benchmark",
        exchange_id(store.index_ids[0]),
        "--workers",
        "1",
        "--json",
        tmp_path / "a.json",
    )
    assert status == 0, err
    doc = json.loads((tmp_path / "a.json").read_text(encoding="utf-8"))
    for reb in doc["rebalances"]:
        assert sorted(reb["weights"]) == sorted(ids) and reb["weights"][ids[0]] <= 0.1 + 1e-9
    assert doc["settings"]["bounds"] == {ids[0]: [0.0, 0.1]} and doc["settings"]["benchmark"] == store.index_ids[0]
    assert ".SH" not in out + json.dumps(doc) and ".SZ" not in out + json.dumps(doc)


# a font that lacks the glyphs, said to have them: matplotlib's warning on the missing glyphs is expected
@pytest.mark.parametrize("font", [None, pytest.param("DejaVu Sans", marks=pytest.mark.filterwarnings("ignore:Glyph"))])
def test_the_chart_with_and_without_a_chinese_font(store, tmp_path, capsys, monkeypatch, font):
    pytest.importorskip("matplotlib")
    monkeypatch.setattr(cli_plot, "cjk_family", lambda names: font)
    ids = healthy(store, 5)
    status, _, err = run_here(
        store,
        capsys,
        *ids,
        "--start",
        "2025-09-01",
        "--end",
        "2026-01-30",
        "--workers",
        "1",
        "--benchmark",
        store.index_ids[0],
        "--plot",
        tmp_path / "bt.png",
    )
    assert status == 0
    assert err.strip().splitlines() == ([f"vela-backtest: warning: {cli_plot.NO_FONT}"] if font is None else [])
    assert (tmp_path / "bt.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "family, expected",
    [
        (None, {"银行": "600001.XSHG +1", "Energy": "Energy", "cash": "cash"}),
        ("Noto Sans CJK SC", {"银行": "银行", "Energy": "Energy"}),
    ],
)
def test_a_group_named_in_chinese_falls_back_to_its_largest_id(family, expected):
    weights = pd.DataFrame(
        {"600000.XSHG": [0.1, 0.2], "600001.XSHG": [0.3, 0.3], "600002.XSHG": [0.5, 0.4], "cash": [0.1, 0.1]}
    )
    groups = {"600000.XSHG": "银行", "600001.XSHG": "银行", "600002.XSHG": "Energy"}
    labels = backtest_plot.group_labels(weights, groups, family)
    assert {k: labels[k] for k in expected} == expected


@pytest.mark.parametrize("capital", [None, 1_000_000])
def test_drifted_holdings_start_at_what_was_bought_and_sum_to_one(store, capital):
    veladatac.init(store.path)
    ids = healthy(store, 5)
    result = backtest.run_backtest(
        ids,
        "2025-09-01",
        "2026-01-30",
        method=OptimizeMethod.MIN_VARIANCE,
        bnds={"*": (0.0, 0.4)},
        workers=1,
        capital=capital,
    )
    prices = backtest_plot.closes(veladatac, ids, "2025-08-01", "2026-01-30")
    held = backtest_plot.drifted(result, prices, {})
    np.testing.assert_allclose(held.sum(axis=1), 1.0, rtol=1e-12)
    rebalancing_days = {pd.Timestamp(r.date) for r in result.rebalances}
    for reb in result.rebalances:
        start = pd.Timestamp(reb.date)
        row = held.loc[start]
        if capital is None:  # the target weights, the rest in cash
            bought = {i: reb.weights.get(i, 0.0) for i in ids}
            cash = 1 - sum(reb.weights.values())
        else:  # whole shares at the day's closes, over the value the accounts give the day
            value = result.daily["value"].loc[start] * capital
            bought = {i: reb.shares.get(i, 0) * prices.loc[start, i] / value for i in ids}
            cash = reb.cash / value
        np.testing.assert_allclose([row[i] for i in ids], [bought[i] for i in ids], rtol=1e-9, atol=1e-12)
        assert row["cash"] == pytest.approx(cash, rel=1e-9, abs=1e-12)
        # on the next day each weight has moved by its own price's change
        after = held.index[held.index.searchsorted(start) + 1] if start < held.index[-1] else None
        if after is not None and after not in rebalancing_days:
            growth = prices.ffill().loc[after] / prices.ffill().loc[start]
            moved = {i: bought[i] * growth[i] for i in ids}
            norm = sum(moved.values()) + cash
            np.testing.assert_allclose([held.loc[after, i] for i in ids], [moved[i] / norm for i in ids], rtol=1e-9)


@pytest.mark.parametrize("limit", [None, "--gics", "--shenwan"])
def test_the_chart_groups_holdings_as_the_limits_do(store, tmp_path, capsys, monkeypatch, limit):
    """Shenwan limits: the holdings panel by Shenwan industry on the last rebalancing day, like the
    limits it was held to; otherwise by sector."""
    pytest.importorskip("matplotlib")
    ids = healthy(store, 6)
    veladatac.init(store.path)
    sectors = {r.order_book_id: r.sector_type_name for r in veladatac.instruments(ids)}
    industries = veladatac.shenwan_instrument_industry(ids, "2026-01-30")["index_name"].to_dict()
    assert set(industries.values()) != set(sectors.values())  # the two groupings can be told apart
    label = {"--gics": sectors[ids[0]], "--shenwan": industries[ids[0]]}.get(limit)
    seen = {}
    monkeypatch.setattr(backtest_plot, "draw", lambda *a: seen.update(a[-1]))
    status, _, err = run_here(
        store,
        capsys,
        *ids,
        "--start",
        "2025-09-01",
        "--end",
        "2026-01-30",
        "--workers",
        "1",
        *([limit, f"{label}=0:0.9"] if limit else []),
        "--plot",
        tmp_path / "bt.png",
    )
    assert status == 0, err
    assert seen == (industries if limit == "--shenwan" else sectors)
