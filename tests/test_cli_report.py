"""The report of one optimisation from a result whose figures are worked out by hand."""

import csv
import datetime as dt
import io
import json
import math
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from vela_optimizer.cli import plot as _plot, report as _report
from vela_optimizer.phrases import plural

DAYS = pd.to_datetime(["2026-06-23", "2026-06-24", "2026-06-25", "2026-06-26"])


def result(weights, cov, *, mu=None, returns=None, converged=True, dropped=(), ignored=()):
    """A result as the optimiser describes it: risk contributions w_i (C w)_i, volatility sqrt(wᵀCw)."""
    ids = list(weights)
    w = pd.Series(weights, dtype=float)
    c = np.asarray(cov, dtype=float)
    rc = w.to_numpy() * (c @ w.to_numpy())
    return SimpleNamespace(
        weights=w,
        method=SimpleNamespace(value="mean_variance" if mu else "min_variance"),
        solver="native",
        date="2026-06-27",
        trading_date=dt.date(2026, 6, 26),
        start_date=dt.date(2026, 1, 2),
        window=4,
        instrument_type="CS",
        retained=ids,
        dropped=list(dropped),
        ignored_bounds=list(ignored),
        returns=returns if returns is not None else pd.DataFrame(0.0, index=DAYS, columns=ids),
        covariance=pd.DataFrame(c, index=ids, columns=ids),
        expected_returns=pd.Series(mu, index=ids) if mu else None,
        benchmark_returns=None,
        risk_contributions=pd.Series(rc, index=ids),
        volatility=math.sqrt(float(rc.sum())),
        objective=0.0,
        iterations=7,
        converged=converged,
        timings={"solve": 0.01},
        to_dict=dict(weights).copy,
    )


INPUTS = {
    "method": "min_variance",
    "date_requested": "2026-06-27",
    "store": "/data/公司.sqlite",
    "window": 4,
    "cov_shrinkage": True,
    "bounds": {"*": [0, 0.7]},
    "limits": None,
    "risk_aversion": 1.0,
    "solver": "native",
}

# diag(4e-4, 1e-4, 9e-4) and w = (0.6, 0.4, -1e-17): C w = (2.4e-4, 4e-5, ~0), wᵀCw = 1.6e-4,
# risk shares 0.9 and 0.1, volatility 0.0126491106...
WEIGHTS = {"600000.XSHG": 0.6, "600004.XSHG": 0.4, "000001.XSHE": -1e-17}
COV = np.diag([4e-4, 1e-4, 9e-4])
NAMES = {"600000.XSHG": "浦发银行", "600004.XSHG": "白云机场", "000001.XSHE": "平安银行"}
GROUPS = {"600000.XSHG": "Financials", "600004.XSHG": "Industrials", "000001.XSHE": "Financials"}


def build(res, **kw):
    args = dict(
        inputs=INPUTS, names=NAMES, groups=GROUPS, group_label="sector", bounds={i: (0.0, 0.7) for i in WEIGHTS}
    )
    args.update(kw)
    return _report.build(res, **args)


def test_figures_by_hand():
    rep = build(result(WEIGHTS, COV))
    rows = {r["id"]: r for r in rep["rows"]}
    assert [r["id"] for r in rep["rows"]] == ["600000.XSHG", "600004.XSHG", "000001.XSHE"]
    assert rows["600000.XSHG"]["risk_share"] == pytest.approx(0.9, rel=1e-14)
    assert rows["600004.XSHG"]["risk_share"] == pytest.approx(0.1, rel=1e-14)
    assert rep["volatility_daily"] == pytest.approx(math.sqrt(1.6e-4), rel=1e-14)
    assert rep["volatility_annualised"] == pytest.approx(math.sqrt(1.6e-4 * 252), rel=1e-14)


@pytest.mark.parametrize("tiny", [-1e-17, 1e-17, -0.0, 5e-13, -9.9e-13])
def test_a_weight_of_rounding_size_is_zero_in_table_csv_and_json(tiny, tmp_path):
    weights = {**WEIGHTS, "000001.XSHE": tiny, "600000.XSHG": 0.6 - tiny}
    rep = build(result(weights, COV))
    row = next(r for r in rep["rows"] if r["id"] == "000001.XSHE")
    assert row["weight"] == 0.0 and math.copysign(1, row["weight"]) == 1 and row["risk_share"] == 0.0
    assert "-0.00%" not in _report.render(rep)
    _report.write_json(tmp_path / "w.json", weights, rep)
    doc = json.loads((tmp_path / "w.json").read_text(encoding="utf-8"))
    assert doc["weights"]["000001.XSHE"] == tiny  # the optimiser's own weights stay exact
    assert next(r for r in doc["report"]["rows"] if r["id"] == "000001.XSHE")["weight"] == 0.0
    _report.write_csv(tmp_path / "w.csv", rep)
    table = pd.read_csv(tmp_path / "w.csv", comment="#", dtype={"id": str})
    assert table.set_index("id").loc["000001.XSHE", "weight"] == 0.0


@pytest.mark.parametrize("clean_input, expected", [(1e-12, 1e-12), (-1e-12, -1e-12), (0.25, 0.25), (-3e-13, 0.0)])
def test_the_zero_threshold_is_one_part_in_a_trillion(clean_input, expected):
    assert _report.clean(clean_input) == expected


def test_mean_variance_shows_each_mean_return_and_the_portfolios():
    # μ = (0.001, 0.002, 0): μᵀw = 0.6e-3 + 0.8e-3 = 1.4e-3 daily
    rep = build(result(WEIGHTS, COV, mu=[0.001, 0.002, 0.0]))
    assert rep["expected_return_daily"] == pytest.approx(1.4e-3, rel=1e-14)
    assert rep["expected_return_annualised"] == pytest.approx(1.4e-3 * 252, rel=1e-14)
    text = _report.render(rep)
    header = text.splitlines()[3]
    assert header.split()[-2:] == ["mean", "return"]
    assert "0.200%" in text and "0.1400% daily" in text


def test_tracking_error_by_hand():
    # days 1, 2, 4 are complete (day 3 lacks a's return); portfolio (0.02, 0.01, 0.01) minus benchmark
    # (0.01, 0.02, 0.00) = (0.01, -0.01, 0.01): mean 1/300, squared deviations (4 + 16 + 4)/9 x 1e-4,
    # divided by T - 1 = 2: std = sqrt(12/9 x 1e-4)
    returns = pd.DataFrame({"a": [0.01, 0.02, np.nan, 0.0], "b": [0.03, 0.0, 0.01, 0.02]}, index=DAYS)
    bench = pd.Series([0.01, 0.02, 0.0, 0.0], index=DAYS)
    w = pd.Series({"a": 0.5, "b": 0.5})
    assert _report.tracking_error(returns, w, bench) == pytest.approx(math.sqrt(12 / 9 * 1e-4), rel=1e-14)
    assert math.isnan(_report.tracking_error(returns, w, bench.iloc[2:]))  # one complete day only


def test_the_report_records_its_inputs_and_writes_names_as_text(tmp_path):
    rep = build(result(WEIGHTS, COV, converged=False), warnings=["the solver stopped at the iteration limit"])
    _report.write_json(tmp_path / "w.json", WEIGHTS, rep)
    raw = (tmp_path / "w.json").read_text(encoding="utf-8")
    assert "浦发银行" in raw and "公司" in raw and "\\u" not in raw
    doc = json.loads(raw)["report"]
    assert doc["inputs"] == INPUTS
    assert (doc["date_used"], doc["solver"], doc["converged"], doc["iterations"]) == ("2026-06-26", "native", False, 7)
    _report.write_csv(tmp_path / "w.csv", rep)
    lines = (tmp_path / "w.csv").read_text(encoding="utf-8-sig").splitlines()
    header = dict(ln[2:].split(": ", 1) for ln in lines if ln.startswith("# "))
    assert {k: json.loads(v) for k, v in header.items()} == {
        **INPUTS,
        "date_used": "2026-06-26",
        "window_start": "2026-01-02",
        "solver_used": "native",
        "converged": False,
        "iterations": 7,
    }
    body = list(csv.reader(io.StringIO("\n".join(ln for ln in lines if not ln.startswith("#")))))
    assert body[0] == ["id", "name", "sector", "weight", "risk_share"] and body[1][:2] == ["600000.XSHG", "浦发银行"]
    assert "Warning: the solver stopped at the iteration limit." in _report.render(rep)


def test_title_names_the_day_used_and_the_day_asked():
    assert _report.title(build(result(WEIGHTS, COV))).startswith(
        "Minimum variance on 2026-06-26 (2026-06-27 is not a trading day): 3 instruments"
    )


@pytest.mark.parametrize(
    "limits, expected",
    [
        ({"Financials": (0.0, 0.6)}, [("Financials", 0.6, 2)]),
        ({"Industrials": (0.1, 0.5), "Financials": (0.2, 1.0)}, [("Industrials", 0.4, 1), ("Financials", 0.6, 2)]),
        ({"Energy": (0.0, 0.1)}, [("Energy", 0.0, 0)]),
    ],
)
def test_group_totals_beside_their_limits(limits, expected):
    rep = build(result(WEIGHTS, COV), limits=limits)
    assert [(g["label"], pytest.approx(g["weight"], rel=1e-15), g["members"]) for g in rep["groups"]] == expected
    assert [(g["low"], g["high"]) for g in rep["groups"]] == list(limits.values())


def test_dropped_instruments_are_named_with_their_reason_in_words():
    rep = build(result(WEIGHTS, COV, dropped=[("600008.XSHG", "delisted"), ("688369.XSHG", "suspended")]))
    text = _report.render(rep)
    assert "Dropped by screening (2):" in text
    assert "600008.XSHG  no close on the last day (delisted)" in text
    assert rep["dropped"][1] == {"id": "688369.XSHG", "reason": "suspended", "why": _report.DROP_REASONS["suspended"]}


@pytest.mark.parametrize(
    "available, expected",
    [
        (["DejaVu Sans", "Noto Sans CJK JP", "WenQuanYi Zen Hei"], "WenQuanYi Zen Hei"),
        (["DejaVu Sans", "Noto Sans CJK JP"], "Noto Sans CJK JP"),
        (["DejaVu Sans", "STIXGeneral"], None),
    ],
)
def test_a_chinese_capable_font_is_found_by_family(available, expected):
    assert _plot.cjk_family(available) == expected


@pytest.mark.parametrize(
    "family, group, expected",
    [
        (None, {"label": "银行", "code": "801780"}, "801780"),
        ("Noto Sans CJK SC", {"label": "银行", "code": "801780"}, "银行"),
        (None, {"label": "Financials", "code": None}, "Financials"),
    ],
)
def test_labels_fall_back_to_ascii_without_a_chinese_font(family, group, expected):
    assert _plot.group_label(group, family) == expected
    rows = [{"id": "600000.XSHG", "name": "浦发银行"}]
    assert _plot.labels_for(rows, family) == (["600000.XSHG"] if family is None else ["600000.XSHG 浦发银行"])


def test_plot_leaves_out_zero_weights_and_draws_without_warnings(tmp_path, recwarn):
    pytest.importorskip("matplotlib")
    rep = build(result(WEIGHTS, COV), limits={"Financials": (0.0, 0.6), "Industrials": (0.1, 0.5)})
    _plot.write_plot(tmp_path / "w.png", rep)
    assert (tmp_path / "w.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert [str(w.message) for w in recwarn] == []


def test_figures_that_cannot_be_computed_are_null_in_strict_json(tmp_path):
    rep = build(result(WEIGHTS, COV))
    rep["tracking_error_daily"] = math.nan
    rep["rows"][0]["expected_return"] = math.inf
    _report.write_json(tmp_path / "w.json", WEIGHTS, rep)

    def refuse(token):
        raise ValueError(token)

    doc = json.loads((tmp_path / "w.json").read_text(encoding="utf-8"), parse_constant=refuse)
    assert doc["report"]["tracking_error_daily"] is None and doc["report"]["rows"][0]["expected_return"] is None


@pytest.mark.parametrize(
    "zeros, line",
    [
        ([("a", "bound")], "At zero: a (at a bound of 0)."),
        (
            [(f"s{k}", "bound") for k in range(5)] + [("x", "group_cap")],
            "At zero: 5 instruments (at a bound of 0); x (no risk contribution left under a binding group cap).",
        ),
        (
            [("x", "group_cap"), ("y", "group_cap"), ("z", "group_cap"), ("w", "group_cap")],
            "At zero: x, y, z, w (no risk contribution left under a binding group cap).",
        ),
        (
            [(f"g{k:02d}", "group_cap") for k in range(40)],
            "At zero: " + ", ".join(f"g{k:02d}" for k in range(10)) + " and 30 more "
            "(no risk contribution left under a binding group cap).",
        ),
    ],
)
def test_the_weights_a_solve_set_to_zero_are_said_by_why(zeros, line):
    rep = build(result(WEIGHTS, COV))
    rep["zeros"] = [{"id": i, "why": w} for i, w in zeros]
    assert _report.zero_line(rep["zeros"]) == line
    assert line in _report.render(rep)


@pytest.mark.parametrize(
    ("iterations", "converged", "said"),
    [
        (0, True, "solver native, converged exactly, by an active set."),  # the active set's exact answer
        (12, True, "solver native, converged after 12 iterations."),
        (0, False, "solver native, stopped at the iteration limit after 0 iterations."),
        (1, True, "solver native, converged after 1 iteration."),
    ],
)
def test_the_solve_line_says_how_the_answer_was_reached(iterations, converged, said):
    res = result(WEIGHTS, COV, converged=converged)
    res.iterations = iterations
    assert _report.render(build(res)).splitlines()[1].endswith(said)


def _rebalance(untradable, sold_outside):
    why = {
        "suspended": "{} suspended, held at {:.2f} %",
        "limit_up": "{} closed at its up-limit, not bought (held at {:.2f} %)",
    }
    return {
        "max_turnover": 0.3,
        "turnover": 0.3,
        "bought": 0.3,
        "sold": 0.3,
        "untradable": [
            {"id": i, "reason": r, "held": h, "inside": True, "why": why[r].format(i, 100 * h)}
            for i, r, h in untradable
        ],
        "sold_outside": sold_outside,
        "notes": [],
    }


HALTED_HELD = [("600001.XSHG", "suspended", 0.02), ("600002.XSHG", "suspended", 0.01)]
MANY_UP = [(f"{300000 + k:06d}.XSHE", "limit_up", 0.0) for k in range(400)]
MANY_SOLD = {f"{600100 + k:06d}.XSHG": 0.002 for k in range(300)}


@pytest.mark.parametrize(
    ("untradable", "sold", "named", "said"),
    [
        # few names: each one in full, as before
        (HALTED_HELD + MANY_UP[:3], {"600009.XSHG": 0.05}, [u[0] for u in HALTED_HELD + MANY_UP[:3]], ["600009.XSHG."]),
        # held in the universe but removed by screening: sold, and not said to be outside it
        (
            [],
            {"600009.XSHG": 0.05, "000919.XSHE": 0.01},
            [],
            ["Sold (held, outside the universe): 600009.XSHG.", "Sold (held, removed by screening): 000919.XSHE."],
        ),
        # a whole market at a volatile close: every held one named, the others counted by reason
        (
            HALTED_HELD + MANY_UP,
            MANY_SOLD,
            ["600001.XSHG", "600002.XSHG", "300000.XSHE"],
            ["400 not held, not bought: 400 at the up-limit (", "and 395 more", "300 ids, 60.00% of the portfolio: "],
        ),
    ],
)
def test_rebalancing_lines_stay_readable_over_the_whole_market(untradable, sold, named, said):
    lines = _report.rebalance_lines(_rebalance(untradable, sold), {"000919.XSHE"})
    text = "\n".join(lines)
    assert all(i in text for i in named) and all(s in text for s in said)
    assert max(map(len, lines)) < 600


@pytest.mark.parametrize("held", [40, 300])
def test_the_plot_of_a_whole_market_draws_the_largest_weights_only(tmp_path, held):
    pytest.importorskip("matplotlib")
    ids = [f"{600000 + k:06d}.XSHG" for k in range(held)]
    weights = dict(zip(ids, np.linspace(2.0, 1.0, held) / np.linspace(2.0, 1.0, held).sum()))
    rep = _report.build(
        result(weights, np.diag(np.full(held, 1e-4))),
        inputs=INPUTS,
        names={},
        groups={},
        group_label="sector",
        bounds={},
    )
    _plot.write_plot(tmp_path / "w.png", rep)
    png = (tmp_path / "w.png").read_bytes()
    height = int.from_bytes(png[20:24], "big")  # the IHDR chunk: width, then height, in pixels
    # 0.28 inch a bar and 1.6 for the titles, at 110 dots an inch: 60 bars at most
    assert height == pytest.approx((0.28 * min(held, 60) + 1.6) * 110, abs=2)


@pytest.mark.parametrize(("kept", "bars"), [({}, 40), ({"601999.XSHG": 0.03, "000999.XSHE": 0.0}, 41)])
def test_the_plot_draws_a_holding_kept_outside_the_optimisation(tmp_path, kept, bars):
    # a suspended holding kept at its weight is part of the portfolio: a bar of its own (one held at
    # 0 is not); the chart had drawn the optimised weights alone, summing to less than 1
    pytest.importorskip("matplotlib")
    ids = [f"{600000 + k:06d}.XSHG" for k in range(40)]
    weights = dict(zip(ids, np.full(40, (1 - sum(kept.values())) / 40)))
    rep = _report.build(
        result(weights, np.diag(np.full(40, 1e-4))),
        inputs=INPUTS,
        names={},
        groups={},
        group_label="sector",
        bounds={},
    )
    rep["kept_rows"] = [{"id": oid, "name": "", "group": None, "weight": w} for oid, w in kept.items()]
    _plot.write_plot(tmp_path / "w.png", rep)
    height = int.from_bytes((tmp_path / "w.png").read_bytes()[20:24], "big")
    assert height == pytest.approx((0.28 * bars + 1.6) * 110, abs=2)


@pytest.mark.parametrize(("zeros", "listed"), [(3, True), (50, True), (51, False), (4700, False)])
def test_rows_at_zero_fold_into_one_line_past_a_few(zeros, listed):
    # a whole-market minimum variance holds a few names and leaves thousands at 0: the table
    # names every held one and, past a few, counts those at 0 (the CSV and JSON keep every row)
    held = {"600000.XSHG": 0.6, "600004.XSHG": 0.4}
    weights = held | {f"{300000 + k:06d}.XSHE": 0.0 for k in range(zeros)}
    rep = _report.build(
        result(weights, np.diag(np.full(len(weights), 1e-4))),
        inputs=INPUTS,
        names={},
        groups={},
        group_label="sector",
        bounds={},
    )
    text = _report.render(rep)
    assert len(rep["rows"]) == len(weights)
    assert all(i in text for i in held)
    assert ("300000.XSHE" in text) == listed
    assert (f"... and {zeros:,} instruments at 0 (" in text) == (not listed)
    assert len(text.splitlines()) < 40 + (zeros if listed else 0)


TRADE_DAY = dt.date(2024, 6, 3)  # stamp duty 0.05 % on sells, transfer fee 0.01 per mille


@pytest.mark.parametrize(
    ("oid", "side", "shares", "close", "price", "amounts"),
    [
        # 92,800.00 yuan: commission 23.20, stamp duty 46.40, transfer 0.928 -> 0.93; 70.53 in all
        ("600000.XSHG", "sell", 400, 232.0, "232.00", ["92800.00", "23.20", "46.40", "0.93", "70.53"]),
        # STAR: 303 x 186.04 = 56,370.12; commission 14.0925 -> 14.09, transfer 0.5637 -> 0.56
        ("688001.XSHG", "buy", 303, 186.04, "186.04", ["56370.12", "14.09", "0.00", "0.56", "14.65"]),
        # a close with the doubles' noise is the fen it stands for
        ("600519.XSHG", "buy", 100, 9.390000000000002, "9.39", ["939.00", "5.00", "0.00", "0.01", "5.01"]),
        # funds at their net value, to 0.0001 yuan: 1000 x 1.2345 = 1,234.50; the 5 yuan minimum only
        ("000001.OF", "buy", 1000, 1.2345, "1.2345", ["1234.50", "5.00", "0.00", "0.00", "5.00"]),
        ("000002.OF", "sell", 300, 1.5, "1.5000", ["450.00", "5.00", "0.00", "0.00", "5.00"]),
        # a backward-adjusted close off the fen keeps its digits: 100 x 12.345678 = 1,234.5678 -> 1,234.57
        ("600036.XSHG", "buy", 100, 12.345678, "12.345678", ["1234.57", "5.00", "0.00", "0.01", "5.01"]),
    ],
)
def test_the_trade_list_prints_prices_to_their_tick_and_yuan_to_the_fen(
    tmp_path, oid, side, shares, close, price, amounts
):
    from vela_optimizer.tradelist import Order, TradeList, order_value
    from veladatac.rules import FeeSchedule

    order = Order(
        oid, side, shares, close, order_value(shares, close), FeeSchedule().fees(oid, side, shares, close, TRADE_DAY)
    )
    # positions at four-decimal net values: a value that is not whole fen
    trades = TradeList(TRADE_DAY, 1_234_567.8912, {}, {}, [order], 10.005, 3.5, {})
    res = SimpleNamespace(
        holdings={},
        linear_limits=SimpleNamespace(max_buy=math.inf, turnover_capped=False),
        bought=0.0,
        sold=0.0,
        turnover=0.0,
        untradable=[],
        kept={},
        sold_outside={},
        rebalance_notes=[],
    )
    report = {"rebalance": _report.rebalance_of(res, {oid: "浦发银行"}, trades)}
    path = tmp_path / "trades.csv"
    _report.write_trades(path, report)
    raw = path.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf")  # UTF-8 with a BOM: Excel on Chinese Windows reads it as such
    lines = raw.decode("utf-8-sig").splitlines()
    assert lines[:4] == ['# day: "2024-06-03"', "# value: 1234567.89", "# cash_before: 10.01", "# cash_left: 3.50"]
    assert lines[4] == "id,name,side,shares,price,value,commission,stamp_duty,transfer,fees"
    assert lines[5] == ",".join([oid, "浦发银行", side, str(shares), price, *amounts])
    # the JSON has the same figures, as numbers
    t = json.loads(json.dumps(report))["rebalance"]["trades"]
    o = t["orders"][0]
    assert (t["value"], t["cash_before"], t["cash_left"]) == (1234567.89, 10.01, 3.5)
    assert [o[k] for k in ("price", "value", "commission", "stamp_duty", "transfer", "fees")] == [
        float(x) for x in [price, *amounts]
    ]


@pytest.mark.parametrize(
    ("n", "noun", "expected"),
    [
        (1, "Shenwan industry", "1 Shenwan industry"),
        (2, "Shenwan industry", "2 Shenwan industries"),
        (2, "trading day", "2 trading days"),
        (3, "fund type", "3 fund types"),
    ],
)
def test_counts_take_the_plural_of_their_noun(n, noun, expected):
    assert plural(n, noun) == expected
