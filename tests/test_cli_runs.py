"""vela-optimize runs end to end in-process: the report against the optimiser's result and plain numpy figures."""

import collections
import json
import math
import os
import re
import sys

import numpy as np
import pandas as pd
import pytest

import veladatac
from veladatac._schema import shipped_calendar
from veladatac.importer import import_files

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation, known_store, run, store, write_csv  # noqa: E402,F401  (fixtures are found by name)


def healthy(store, n, sector=None):
    awkward = {i for ids in store.roles.values() for i in ids}
    veladatac.init(store.path)
    ok = [
        i
        for i in store.stock_ids
        if i not in awkward and (sector is None or veladatac.instruments(i).sector_type_name == sector)
    ]
    return ok[:n]


def report_of(run, store, *args, tmp_path):
    out = tmp_path / "r.json"
    status, text, err = run(store.path, *args, "--json", out)
    assert status == 0, err
    return json.loads(out.read_text(encoding="utf-8")), text, err


def filled_returns(frame):
    """Forward-filled daily simple returns, the first day dropped (the optimiser's definition)."""
    filled = frame.ffill()
    return (filled / filled.shift(1) - 1).iloc[1:]


def test_screening_that_leaves_too_few_lists_the_dropped_before_the_error(known_store, run):
    # window 10 to 2025-01-10: 11 days from 2024-12-26, half the window is 5 closes.
    # 600001 has 5 closes but none on 01-10; 600002 and 000003 have 3 closes each.
    status, out, err = run(
        known_store, "600001.XSHG", "600002.XSHG", "000003.XSHE", "--date", "2025-01-10", "--window", "10"
    )
    lines = err.strip().splitlines()
    assert status == 2 and out == ""
    assert lines[0] == "vela-optimize: screening dropped 3 of 3 instruments:"
    assert sorted(" ".join(ln.split()) for ln in lines[1:4]) == sorted(
        [
            "000003.XSHE too short a price history",
            "600001.XSHG no close on the last day (delisted)",
            "600002.XSHG too short a price history",
        ]
    )
    # the optimiser's own refusal, in the command's English
    assert lines[4] == (
        "vela-optimize: error: screening left fewer than two instruments: an optimisation needs at least two"
    )
    assert len(lines) == 5


def test_the_iteration_limit_is_a_warning_in_every_output(store, run, tmp_path):
    doc, text, err = report_of(
        run,
        store,
        *healthy(store, 6),
        "--method",
        "min_variance",
        "--solver",
        "scipy",
        "--max-iteration",
        "1",
        "--default-bound",
        "0:0.5",
        tmp_path=tmp_path,
    )
    rep = doc["report"]
    assert (rep["solver"], rep["converged"], rep["iterations"]) == ("scipy", False, 1)
    assert err.startswith("vela-optimize: warning: the scipy solver stopped at the iteration limit after 1 ")
    assert "Warning: the scipy solver stopped at the iteration limit" in text
    assert "stopped at the iteration limit after 1 iteration." in text.splitlines()[1]


def test_the_native_solver_runs_by_default_and_says_so(store, run, tmp_path):
    doc, text, _ = report_of(run, store, *healthy(store, 6), "--method", "min_variance", tmp_path=tmp_path)
    rep = doc["report"]
    assert (rep["inputs"]["solver"], rep["solver"], rep["converged"]) == ("native", "native", True)
    assert text.splitlines()[1].startswith(f"Store {store.path}; solver native, converged")


@pytest.mark.parametrize("solver", ["native", "scipy"])
def test_limits_in_conflict_are_named_in_one_line(store, run, solver):
    # three of one sector capped at 5 % together and three others at 30 % each: at most 0.95 in total
    sector = collections.Counter(veladatac.instruments(i).sector_type_name for i in healthy(store, 24)).most_common(1)[
        0
    ][0]
    ids = (
        healthy(store, 3, sector)
        + [i for i in healthy(store, 24) if veladatac.instruments(i).sector_type_name != sector][:3]
    )
    assert len(ids) == 6
    status, out, err = run(
        store.path,
        *ids,
        "--method",
        "min_variance",
        "--solver",
        solver,
        "--default-bound",
        "0:0.3",
        "--gics",
        f"{sector}=0:0.05",
    )
    lines = err.strip().splitlines()
    assert status == 2 and len(lines) == 1, err
    assert lines[0].startswith("vela-optimize: error: limits conflict: ") and "0.0500 short of 1" in lines[0]


def test_a_window_partly_without_data_is_reported(tmp_path, run):
    # four stocks with bars on the last 80 trading days to 2026-06-30 only; a 132-day window has 133 days
    days = shipped_calendar()
    days = days[days <= np.datetime64("2026-06-30")][-80:]
    rng = np.random.default_rng(3)
    ids = ["600101.XSHG", "600102.XSHG", "000103.XSHE", "000104.XSHE"]
    instruments = "order_book_id,symbol,type,sector_type_name,listed_date,de_listed_date\n" + "".join(
        f"{i},股{k},CS,{'Financials' if k < 2 else 'Energy'},2020-01-02,\n" for k, i in enumerate(ids)
    )
    bars = ["order_book_id,date,close,volume"]
    for i in ids:
        closes = np.round(10 * np.exp(np.cumsum(rng.normal(0, 0.02, days.size))), 2)
        bars += [f"{i},{d},{c:.2f},1000" for d, c in zip(days, closes)]
    files = [
        ("instruments", write_csv(tmp_path, "i.csv", instruments)),
        ("bars", write_csv(tmp_path, "b.csv", "\n".join(bars) + "\n")),
    ]
    path = import_files(tmp_path / "partial.sqlite", files).store
    status, out, err = run(path, *ids, "--date", "2026-06-30")
    assert status == 0, err
    assert "Note: the store has data for 80 of the 133 trading days of the window" in out


def test_tracking_error_against_a_benchmark_for_another_method(store, run, tmp_path):
    ids = healthy(store, 6)
    bench = store.index_ids[0]
    doc, text, _ = report_of(
        run, store, *ids, "--method", "min_variance", "--benchmark", bench, "--date", store.end, tmp_path=tmp_path
    )
    rep = doc["report"]
    w = pd.Series(doc["weights"])
    start = veladatac.trading_date_offset(store.end, -rep["inputs"]["window"])
    r = filled_returns(veladatac.get_price(list(w.index), start, store.end, fields="close"))
    b = filled_returns(veladatac.get_price(bench, start, store.end, fields="close"))
    complete = r.notna().all(axis=1) & b.notna()
    active = r[complete].to_numpy() @ w.to_numpy() - b[complete].to_numpy()
    assert rep["tracking_error_daily"] == pytest.approx(np.std(active, ddof=1), rel=1e-10)
    assert f"Tracking error against {bench}: " in text


def test_an_unknown_benchmark_is_refused_with_a_close_match(store, run):
    status, _, err = run(store.path, *healthy(store, 3), "--benchmark", "000301.XSHG")
    # indices come first among the suggestions, the closest first
    assert status == 2
    assert err.startswith("vela-optimize: error: unknown benchmark 000301.XSHG (did you mean 000300.XSHG")


def test_shenwan_codes_limit_the_industry_and_the_table_shows_industries(store, run, tmp_path):
    ids = healthy(store, 8)
    table = veladatac.shenwan_instrument_industry(ids, store.end)
    code, name = table["index_code"].iloc[0], table["index_name"].iloc[0]
    doc, text, _ = report_of(
        run,
        store,
        *ids,
        "--method",
        "min_variance",
        "--date",
        store.end,
        "--shenwan",
        f"{code}=0:0.05",
        tmp_path=tmp_path,
    )
    rep = doc["report"]
    limits = rep["inputs"]["limits"]
    assert limits["by"] == "Shenwan industry" and limits["rules"] == {name: [0.0, 0.05]}
    assert limits["given"] == {code: [0.0, 0.05]}
    assert limits["resolved"] == [{"label": name, "code": code, "low": 0.0, "high": 0.05}]
    members = [i for i in doc["weights"] if table["index_name"].get(i) == name]
    assert sum(doc["weights"][i] for i in members) <= 0.05 + 1e-9
    assert text.splitlines()[3].split()[2:4] == ["Shenwan", "industry"]
    assert {r["group"] for r in rep["rows"]} <= set(table["index_name"])
    assert rep["groups"][0]["code"] == code and rep["groups"][0]["label"] == name


def test_mean_variance_reports_each_mean_daily_return(store, run, tmp_path):
    ids = healthy(store, 5)
    doc, text, _ = report_of(
        run,
        store,
        *ids,
        "--method",
        "mean_variance",
        "--risk-aversion",
        "50",
        "--default-bound",
        "0:0.4",
        "--date",
        store.end,
        tmp_path=tmp_path,
    )
    rep = doc["report"]
    start = veladatac.trading_date_offset(store.end, -rep["inputs"]["window"])
    mu = filled_returns(veladatac.get_price(ids, start, store.end, fields="close")).mean()
    for row in rep["rows"]:
        assert row["expected_return"] == pytest.approx(mu[row["id"]], rel=1e-12, abs=1e-15)
    w = pd.Series(doc["weights"])
    assert rep["expected_return_daily"] == pytest.approx(float(mu[w.index] @ w), rel=1e-12, abs=1e-15)
    assert "mean return" in text.splitlines()[3]


@pytest.mark.parametrize(
    "argv, asked, used",
    [
        (["--date", "2026-06-27"], "2026-06-27", "2026-06-26"),  # a Saturday
        (["--date", "20260626"], "2026-06-26", "2026-06-26"),
        ([], None, "2026-06-30"),  # the store's last day: today is later
    ],
)
def test_the_day_asked_and_the_day_used(store, run, tmp_path, argv, asked, used):
    doc, text, _ = report_of(run, store, *healthy(store, 4), *argv, tmp_path=tmp_path)
    inputs = doc["report"]["inputs"]
    assert (inputs["date_requested"], inputs["date_used"], doc["report"]["date_used"]) == (asked, used, used)
    title = text.splitlines()[0]
    moved = asked is not None and asked != used
    assert (f" on {used} ({asked} is not a trading day):" if moved else f" on {used}:") in title


def test_the_report_figures_match_the_result(store, run, tmp_path):
    doc, text, _ = report_of(
        run, store, *healthy(store, 6), "--default-bound", "0:0.3", "--date", store.end, tmp_path=tmp_path
    )
    rep = doc["report"]
    w = pd.Series(doc["weights"])
    start = veladatac.trading_date_offset(store.end, -rep["inputs"]["window"])
    r = filled_returns(veladatac.get_price(list(w.index), start, store.end, fields="close"))
    from vela_optimizer import optimizer

    c = optimizer._cov_shrinkage(r)[0].loc[w.index, w.index].to_numpy()
    rc = w.to_numpy() * (c @ w.to_numpy())
    shares = dict(zip(w.index, rc / rc.sum()))
    assert rep["volatility_daily"] == pytest.approx(math.sqrt(rc.sum()), rel=1e-10)
    for row in rep["rows"]:
        assert row["risk_share"] == pytest.approx(shares[row["id"]], rel=1e-9, abs=1e-12)
        assert row["weight"] == pytest.approx(doc["weights"][row["id"]], abs=1e-12)
    assert rep["inputs"]["bounds"] == {"*": [0.0, 0.3]} and rep["inputs"]["store"] == str(store.path)


def test_plot_without_matplotlib_is_refused_before_any_work(store, run, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib raises ImportError
    status, out, err = run(store.path, *healthy(store, 3), "--plot", tmp_path / "w.png")
    assert (status, out) == (2, "")
    assert err == "vela-optimize: error: --plot needs matplotlib: pip install 'vela_optimizer[plot]'\n"


@pytest.mark.parametrize(
    "args, line",
    [
        (["--json", "/nonexistent/dir/w.json"], "--json /nonexistent/dir/w.json: no such folder"),
        (["--csv", "{tmp}"], "--csv {tmp}: is a folder, not a file"),
        (["--plot", "/nonexistent/dir/w.png"], "--plot /nonexistent/dir/w.png: no such folder"),
        (["--ids-file", "{tmp}/ids.txt"], "--ids-file {tmp}/ids.txt: no such file"),
    ],
)
def test_outputs_and_the_ids_file_are_checked_before_any_work(store, run, tmp_path, args, line):
    # an unknown id would be the error if the universe were read first
    args = [a.format(tmp=tmp_path) for a in args]
    status, out, err = run(store.path, "999999.XSHG", *healthy(store, 2), *args)
    assert (status, out) == (2, "")
    assert err.strip().splitlines() == [f"vela-optimize: error: {line.format(tmp=tmp_path)}"]


def test_a_bound_outside_the_universe_is_reported_once(store, run, tmp_path):
    ids = healthy(store, 4)
    outside = ids[0]  # an id of the store left out of the universe (one it does not know is refused)
    doc, text, _ = report_of(
        run, store, *ids[1:], "--method", "min_variance", "--bound", f"{outside}=0:0.5", tmp_path=tmp_path
    )
    assert text.count(outside) == 1
    assert f"Note: --bound for 1 id outside the universe had no effect: {outside}" in text
    assert "Bounds ignored" not in text and doc["report"]["ignored_bounds"] == []


def test_the_stage_line_keeps_ticking_while_a_stage_lasts(monkeypatch, capsys):
    import time

    from vela_optimizer.cli import optimize as cli

    monkeypatch.setattr(cli, "TICK", 0.01)
    progress = cli.Progress(enabled=True)
    progress.stage("solve", {})
    seen, deadline = "", time.monotonic() + 10
    while seen.count("solving") < 3 and time.monotonic() < deadline:
        time.sleep(0.02)
        seen += capsys.readouterr().err
    progress.done()
    assert seen.count("solving") >= 3  # written once, then rewritten by the ticks
    assert capsys.readouterr().err.endswith("\r\033[K")


def holdings_file(tmp_path, text, encoding="utf-8"):
    path = tmp_path / "held.csv"
    path.write_bytes(text.encode(encoding))
    return path


def exchange_id(oid):
    return oid.replace(".XSHG", ".SH").replace(".XSHE", ".SZ")


def test_a_held_portfolio_in_shares_from_excel_becomes_orders_in_whole_lots(store, run, tmp_path):
    ids = healthy(store, 8)
    held = {ids[0]: 3000, ids[1]: 1000, ids[7]: 500}  # ids[7] is held, not in the universe: sold
    path = holdings_file(
        tmp_path,
        "order_book_id,shares\r\n" + "".join(f"{exchange_id(i)},{n}\r\n" for i, n in held.items()),
        encoding="gbk",
    )
    trades = tmp_path / "trades.csv"
    doc, text, _ = report_of(
        run,
        store,
        *ids[:6],
        "--method",
        "min_variance",
        "--date",
        store.end,
        "--holdings",
        path,
        "--trades",
        trades,
        tmp_path=tmp_path,
    )
    rb = doc["report"]["rebalance"]
    closes = veladatac.get_price(list(held), store.end, store.end, fields="close").iloc[-1]
    value = sum(n * closes[i] for i, n in held.items())
    assert rb["holdings"] == pytest.approx({i: n * closes[i] / value for i, n in held.items()}, rel=1e-12)
    assert rb["sold_outside"] == pytest.approx({ids[7]: held[ids[7]] * closes[ids[7]] / value}, rel=1e-12)
    t = rb["trades"]
    assert t["value"] == pytest.approx(value, rel=1e-12) and t["cash_before"] == pytest.approx(0, abs=1e-6)
    orders = pd.read_csv(trades, comment="#", dtype={"id": str})
    assert list(orders.columns) == [
        "id",
        "name",
        "side",
        "shares",
        "price",
        "value",
        "commission",
        "stamp_duty",
        "transfer",
        "fees",
    ]
    assert orders.loc[orders["id"] == ids[7], ["side", "shares"]].values.tolist() == [["sell", 500]]
    for _, o in orders.iterrows():
        if not (o["side"] == "sell" and o["shares"] == held.get(o["id"])):
            assert o["shares"] % 100 == 0  # main boards and ChiNext: whole lots of 100
    assert set(orders.loc[orders["side"] == "buy", "stamp_duty"]) <= {0.0}
    flows = sum((v if s == "sell" else -v) - f for s, v, f in zip(orders["side"], orders["value"], orders["fees"]))
    assert t["cash_left"] == pytest.approx(flows, abs=0.011) and t["cash_left"] >= 0
    assert "Rebalancing: turnover" in text and f"Sold (held, outside the universe): {ids[7]}." in text


@pytest.mark.parametrize(
    "content, args, line",
    [
        ("order_book_id,shares\n{a},-100\n", [], "line 2: shares '-100' must be a number of at least 0"),
        ("order_book_id,shares\n{a},many\n", [], "line 2: shares 'many' is not a number"),
        ("order_book_id,shares\n{a},10.5\n", [], "shares must be whole numbers: {a} (10.5)"),
        ("order_book_id,weight\n{a},0.7\n{b},0.4\n", [], "the weights sum to 1.100000, above 1"),
        # over by less than six decimals show: the sum with every digit
        ("order_book_id,weight\n{a},0.6000000001\n{b},0.4\n", [], "the weights sum to 1.0000000001, above 1"),
        ("order_book_id,weight\n{a},60\n{b},40\n", [], "sum to 100.000000, above 1 (the rest of the portfolio is "
         "cash); percentages are written with their sign (3.2%)"),
        # a number cut at an unquoted comma: 1 share, a weight of 0, read before without a word
        ("order_book_id,shares\n{a},1,000\n", [], "line 2: 3 fields, the header has 2 (a number with a comma"),
        ("order_book_id,weight\n{b},0.1\n{a},0,05\n", [], "line 3: 3 fields, the header has 2"),
        ("order_book_id,weight,weight\n{a},0.1,0.5\n", [], "line 1: the header has weight twice; give it once"),
        ("Order_Book_ID,ORDER_BOOK_ID,Shares\n{a},{b},100\n", [], "line 1: the header has order_book_id twice"),
        ("order_book_id,weight\n{a},3.2%\n{b},5\n", [], "line 3: weight '5' is a fraction where line 2 has a "
         "percentage ('3.2%'): write every weight one way"),
        ("order_book_id,weight\n{a},0.5\n{a},0.2\n", [], "line 3: {a} is held twice (first on line 2)"),
        ("order_book_id,amount\n{a},0.5\n", [], "line 1: the header must have order_book_id and one of weight, shares"),
        ("order_book_id,weight\n{typo},0.5\n", [], "1 unknown id"),
        ("order_book_id,weight\n{a},0.5\n000300.SH,0.1\n", [], "held.csv, line 3: 000300.XSHG is an index, not a "
         "position; leave it out (--benchmark 000300.XSHG measures the portfolio against it)"),
        ("order_book_id,weight\n{a},0.2\n{typo},0.5\n", [], "error: --holdings {tmp}/held.csv: 1 unknown id in store"),
        ("order_book_id,weight\n{a},0.5\n", ["--trades", "{tmp}/t.csv"], "--trades needs the portfolio's value"),
        ("order_book_id,weight\n{a},0.5\n", ["--max-turnover", "2.5"], "invalid turnover cap '2.5'"),
        ("order_book_id,weight\n{a},0.3\n,0.2\n", [], "held.csv, line 3: order_book_id is empty"),
        (" order_book_id ,weight\n  ,0.2\n", [], "held.csv, line 2: order_book_id is empty"),
        ("order_book_id,shares\n{a},1e19\n", [], "line 2: shares '1e19' is more than any real position"),
        ("order_book_id,shares\n{b},100\n{a},100000000000000000000\n", [], "line 3: shares '1000000000"),
        ("order_book_id,shares\n{a},1e15\n", [], "the positions are worth"),
        ("order_book_id,weight\n{a},0.5\n", ["--capital", "nan"], "invalid capital 'nan'"),
        ("order_book_id,weight\n{a},0.5\n", ["--capital", "inf"], "invalid capital 'inf'"),
        ("order_book_id,weight\n{a},0.5\n", ["--capital", "1e300", "--trades", "{tmp}/t.csv"], "invalid capital"),
        ("order_book_id,weight\n{a},0.5\n", ["--capital", "0"], "invalid capital '0'"),
        ("id,name,side,shares,price\n{a},x,buy,100,9.5\n", [], "held.csv, line 1: a trade list (it has a side "
         "column), not holdings: give the positions held"),
        ("# method: x\n\nid,weight\n,0.2\n", [], "held.csv, line 4: id is empty"),
        ("order_book_id,weight\n{a},0.5\n", ["--solver", "scipy"], "--solver scipy cannot take --holdings: the "
         "module's own solve honours no holdings, turnover cap or trading rule of the day; use --solver native"),
        ("order_book_id,weight\n{a},0.5\n", ["--solver", "scipy", "--capital", "1e6", "--max-turnover", "0.1"],
         "--solver scipy cannot take --holdings, --max-turnover, --capital: "),
        ("order_book_id,weight\n{a},0.5\n", ["--method", "min_variance", "--max-iteration", "1"],
         "the native solve reached the iteration limit (1) without converging: raise --max-iteration"),
    ],
)  # fmt: skip
def test_bad_holdings_and_rebalancing_options_are_one_line(store, run, tmp_path, capsys, content, args, line):
    ids = healthy(store, 4)
    fill = dict(a=ids[0], b=ids[1], typo=ids[0][:-6] + "9" + ids[0][-5:], tmp=tmp_path)
    path = holdings_file(tmp_path, content.format(**fill))
    try:
        status, out, err = run(
            store.path, *ids, "--date", store.end, "--holdings", path, *[a.format(**fill) for a in args]
        )
    except SystemExit as e:  # a value argparse refuses
        status, (out, err) = e.code, capsys.readouterr()
    lines = err.strip().splitlines()
    assert (status, out) == (2, "") and len(lines) == 1 and lines[0].startswith("vela-optimize: error: ")
    assert line.format(**fill) in lines[0]


@pytest.mark.parametrize(
    "content, encoding, shares",
    [
        # the header in another letter case; then Excel's percent cells (the full-width sign as typed in Chinese)
        ("Order_Book_ID,Weight\r\n{a},0.3\r\n{b},0.032\r\n", "utf-8", None),
        ("ORDER_BOOK_ID,WEIGHT\n{a},30%\n{b},3.2％\n{c},0\n", "gbk", None),
        # Excel on Chinese Windows: GBK, names beside, thousands separators, short rows padded with commas
        ('证券名称,order_book_id,Shares,市值\r\n浦发,{a},"1,200",,,\r\n平安,{b},"2,000,100",""\r\n', "gbk",
         {"a": 1200, "b": 2000100}),
    ],
)  # fmt: skip
def test_holdings_as_excel_writes_them_are_read_as_meant(store, run, tmp_path, content, encoding, shares):
    ids = healthy(store, 4)
    fill = dict(a=ids[0], b=exchange_id(ids[1]), c=ids[2])
    path = holdings_file(tmp_path, content.format(**fill), encoding=encoding)
    doc, _, _ = report_of(run, store, *ids, "--date", store.end, "--holdings", path, tmp_path=tmp_path)
    given = doc["report"]["inputs"]
    if shares is None:
        assert given["holdings"] == pytest.approx({ids[0]: 0.3, ids[1]: 0.032}, rel=1e-15, abs=0)
    else:
        assert given["holdings_shares"] == {ids[0]: shares["a"], ids[1]: shares["b"]}


@pytest.mark.parametrize(
    "data, line",
    [
        ("order_book_id,weight\r\n000001.SZ,0.3\r\n".encode("utf-16"), 1),  # Excel's 'Unicode text'
        ("order_book_id,weight\r\n000001.SZ,0.3\r\n".encode("utf-16-le"), 1),  # the same without its mark
        ("order_book_id,weight\r\n000001.SZ,0.3\r\n".encode("utf-16-be"), 1),
        (b"PK\x03\x04\x14\x00\x06\x00" + bytes(200), 1),  # an .xlsx workbook given for its CSV
        (bytes(range(128, 256)) * 4, 1),
        ("order_book_id,weight\n# 持仓\n".encode() + b"000001.SZ,0.3\xff\n", 3),  # UTF-8 broken on line 3
    ],
)
def test_a_holdings_file_that_does_not_decode_says_how_to_save_it(store, run, tmp_path, data, line):
    path = tmp_path / "held.csv"
    path.write_bytes(data)
    status, out, err = run(store.path, *healthy(store, 4), "--date", store.end, "--holdings", path)
    lines = err.strip().splitlines()
    assert (status, out, len(lines)) == (2, "", 1)
    assert lines[0].startswith(f"vela-optimize: error: --holdings {path}, line {line}: ")
    # vela-optimize has no --encoding: the advice is to save the file in an encoding it reads
    assert lines[0].endswith("save it as 'CSV UTF-8' or as CSV in GBK") or lines[0].endswith(
        "save the file as 'CSV UTF-8' or as CSV in GBK"
    )
    assert "--encoding" not in lines[0]


@pytest.mark.parametrize("universe_kind", ["stock", "fund"])
def test_a_held_id_of_the_other_kind_is_sold_under_its_own_name(store, run, tmp_path, universe_kind):
    stocks = healthy(store, 6)
    funds = [f for f in store.fund_ids if f not in store.roles["liquidated_fund"]]
    ids, other = (stocks, funds[0]) if universe_kind == "stock" else (funds, stocks[0])
    path = holdings_file(tmp_path, f"order_book_id,weight\n{other},0.2\n{ids[0]},0.5\n")
    trades = tmp_path / "t.csv"
    doc, text, _ = report_of(
        run,
        store,
        *ids,
        "--method",
        "min_variance",
        "--date",
        store.end,
        "--holdings",
        path,
        "--capital",
        "1000000",
        "--trades",
        trades,
        tmp_path=tmp_path,
    )
    rb = doc["report"]["rebalance"]
    assert rb["sold_outside"] == pytest.approx({other: 0.2}) and f"outside the universe): {other}." in text
    record = veladatac.instruments(other) if universe_kind == "fund" else veladatac.fund.instruments(other)
    orders = pd.read_csv(trades, comment="#", dtype={"id": str})
    sold = orders.loc[orders["id"] == other]
    assert sold[["name", "side"]].values.tolist() == [[record.symbol, "sell"]]


@pytest.mark.parametrize("held", [False, True])
def test_a_fund_without_a_net_value_on_the_day_needs_one_only_when_traded(store, run, tmp_path, held):
    # the liquidated fund has no net value on the last day; the optimiser keeps it at 0
    gone = store.roles["liquidated_fund"][0]
    trades = tmp_path / "t.csv"
    extra = ["--holdings", holdings_file(tmp_path, f"order_book_id,weight\n{gone},0.1\n")] if held else []
    status, out, err = run(
        store.path,
        *store.fund_ids,
        "--method",
        "min_variance",
        "--date",
        store.end,
        "--capital",
        "1000000",
        "--trades",
        trades,
        *extra,
    )
    if held:
        assert (status, out) == (2, "")
        # one English line, as every refusal of the command
        assert err.strip().splitlines() == [
            f"vela-optimize: error: no close or net value on {store.end} for {gone}: "
            "a trade list needs one for every position held and every target above 0"
        ]
        return
    assert status == 0, err
    orders = pd.read_csv(trades, comment="#", dtype={"id": str})
    assert len(orders) and gone not in set(orders["id"]) and (orders["side"] == "buy").all()


@pytest.mark.parametrize("amount", ["weight", "shares"])
def test_a_held_stock_without_a_bar_on_the_day_is_kept_at_its_last_close(store, run, tmp_path, amount):
    # no bar on the last day: the day's rules keep it as it is, valued at the close it last had
    quiet = store.roles["illiquid_no_last_close"][0]
    ids = healthy(store, 5)
    held = {quiet: 0.2, ids[0]: 0.3} if amount == "weight" else {quiet: 1000, ids[0]: 3000}
    path = holdings_file(tmp_path, f"order_book_id,{amount}\n" + "".join(f"{i},{n}\n" for i, n in held.items()))
    trades = tmp_path / "t.csv"
    capital = ["--capital", "2000000"] if amount == "weight" else []
    doc, _, _ = report_of(
        run,
        store,
        *ids,
        quiet,
        "--method",
        "min_variance",
        "--date",
        store.end,
        "--holdings",
        path,
        *capital,
        "--trades",
        trades,
        tmp_path=tmp_path,
    )
    closes = veladatac.get_price([quiet, ids[0]], "2026-01-05", store.end, fields="close")
    assert math.isnan(closes[quiet].iloc[-1])
    last = closes[quiet].dropna().iloc[-1]
    rb = doc["report"]["rebalance"]
    if amount == "shares":
        value = 1000 * last + 3000 * closes[ids[0]].iloc[-1]
        assert rb["trades"]["value"] == pytest.approx(value, rel=1e-12)
        assert rb["holdings"][quiet] == pytest.approx(1000 * last / value, rel=1e-12)
    assert rb["kept"] == {quiet: rb["holdings"][quiet]}
    assert [u["reason"] for u in rb["untradable"] if u["id"] == quiet] == ["suspended"]
    orders = pd.read_csv(trades, comment="#", dtype={"id": str})
    assert len(orders) and quiet not in set(orders["id"])


@pytest.mark.parametrize("members_inside", [True, False])
def test_a_group_total_counts_the_weight_kept_outside_the_optimisation(store, run, tmp_path, members_inside):
    # a held stock without a bar on the day cannot be sold: its weight stays outside the optimised
    # weights and counts against its sector's cap in the solve, so the report's total must count it
    quiet, every = store.roles["illiquid_no_last_close"][0], healthy(store, 24)
    sector = veladatac.instruments(quiet).sector_type_name
    others = [i for i in every if veladatac.instruments(i).sector_type_name != sector]
    # the sample's stock without a Shenwan industry shares the held stock's sector
    same = [i for i in store.roles["unclassified"] if veladatac.instruments(i).sector_type_name == sector]
    assert same
    ids = (same + others[:4]) if members_inside else others[:5]
    path = holdings_file(tmp_path, f"order_book_id,weight\n{quiet},0.2\n{ids[0]},0.3\n")
    doc, text, _ = report_of(
        run,
        store,
        *ids,
        "--method",
        "min_variance",
        "--date",
        store.end,
        "--holdings",
        path,
        "--gics",
        f"{sector}=0:0.45",
        tmp_path=tmp_path,
    )
    rep = doc["report"]
    kept = rep["rebalance"]["kept"][quiet]
    inside = math.fsum(doc["weights"][r["id"]] for r in rep["rows"] if r["group"] == sector)
    (group,) = [g for g in rep["groups"] if g["label"] == sector]
    assert group["weight"] == pytest.approx(inside + kept, abs=1e-12) and group["weight"] <= 0.45 + 1e-9
    assert group["kept"] == pytest.approx(kept, abs=1e-15)
    assert f"{kept:.2%} in {sector}" in text and f"{group['weight']:.2%}" in text


MEAN_ONLY = "had no effect: it weighs the mean return of mean_variance only, not"
EXACT = "had no effect: the native solve of {} is exact (--tol sets the scipy path's accuracy"


@pytest.mark.parametrize(
    "method, extra, noted",
    [
        ("min_variance", ["--risk-aversion", "50"], f"--risk-aversion 50 {MEAN_ONLY} min_variance"),
        ("risk_parity", ["--risk-aversion", "0.5"], f"--risk-aversion 0.5 {MEAN_ONLY} risk_parity"),
        ("min_tracking_error", ["--risk-aversion", "50", "--benchmark", "000300.XSHG"],
         f"--risk-aversion 50 {MEAN_ONLY} min_tracking_error"),
        ("mean_variance", ["--risk-aversion", "50"], None),
        ("min_variance", [], None),
        ("min_variance", ["--tol", "1e-4"], "--tol 0.0001 " + EXACT.format("min_variance")),
        ("mean_variance", ["--tol", "1e-6"], "--tol 1e-06 " + EXACT.format("mean_variance")),
        ("risk_parity", ["--tol", "1e-4"], None),  # the steps of risk parity under limits
        ("min_variance", ["--tol", "1e-4", "--solver", "scipy"], None),  # SLSQP's accuracy
    ],
)  # fmt: skip
def test_an_option_the_solve_does_not_read_is_noted(store, run, tmp_path, method, extra, noted):
    doc, text, _ = report_of(
        run, store, *healthy(store, 4), "--method", method, "--date", store.end, *extra, tmp_path=tmp_path
    )
    said = [n for n in doc["report"]["notes"] if n.startswith("--")]
    assert len(said) == (noted is not None) and all(n.startswith(noted) for n in said)
    assert (f"Note: {noted}" in text) == (noted is not None)


def test_exchange_suffix_ids_are_read_as_the_stores_everywhere(store, run, tmp_path):
    ids = healthy(store, 4)
    doc, text, _ = report_of(
        run,
        store,
        *map(exchange_id, ids),
        "--method",
        "min_variance",
        "--date",
        store.end,
        "--bound",
        f"{exchange_id(ids[0])}=0:0.1",
        "--benchmark",
        exchange_id(store.index_ids[0]),
        tmp_path=tmp_path,
    )
    assert list(doc["weights"]) == ids and doc["weights"][ids[0]] <= 0.1 + 1e-9
    assert doc["report"]["benchmark"] == store.index_ids[0] and ".SH" not in text and ".SZ" not in text


def test_the_csv_files_start_with_a_bom_for_excel(store, run, tmp_path):
    ids = healthy(store, 4)
    csv_path, trades = tmp_path / "w.csv", tmp_path / "t.csv"
    status, _, err = run(
        store.path, *ids, "--date", store.end, "--csv", csv_path, "--capital", "1000000", "--trades", trades
    )
    assert status == 0, err
    for path in (csv_path, trades):
        raw = path.read_bytes()
        assert raw.startswith(b"\xef\xbb\xbf") and raw.count(b"\xef\xbb\xbf") == 1
    head = [line for line in trades.read_text(encoding="utf-8-sig").splitlines() if line.startswith("#")]
    assert head[0] == f'# day: "{store.end}"' and head[1] == "# value: 1000000.00"
    assert all(re.fullmatch(r"# cash_(before|left): -?\d+\.\d\d", line) for line in head[2:]) and len(head) == 4
    table = pd.read_csv(csv_path, comment="#", encoding="utf-8-sig")
    assert list(table["id"]) and table["weight"].sum() == pytest.approx(1.0, abs=1e-9)


def test_without_a_chinese_font_one_warning_says_so(store, run, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from vela_optimizer.cli import plot

    monkeypatch.setattr(plot, "cjk_family", lambda names: None)
    status, _, err = run(store.path, *healthy(store, 4), "--date", store.end, "--plot", tmp_path / "w.png")
    assert status == 0
    assert err.strip().splitlines() == [f"vela-optimize: warning: {plot.NO_FONT}"]
    assert "fonts-noto-cjk" in plot.NO_FONT


@pytest.mark.parametrize("amount", ["shares", "weight"])
def test_a_holding_de_listed_before_the_day_is_kept_at_its_last_close_and_named_so(store, run, tmp_path, amount):
    veladatac.init(store.path)
    gone = min(store.roles["recent_delisting"], key=lambda i: veladatac.instruments(i).de_listed_date)
    off = veladatac.instruments(gone).de_listed_date
    assert off <= pd.Timestamp(store.end).date()
    bars = veladatac.get_price(gone, store.start, store.end, fields="close").dropna()
    last, last_day = float(bars.iloc[-1]), bars.index[-1].date()
    ids = healthy(store, 5)
    held = {gone: 1000, ids[0]: 2000} if amount == "shares" else {gone: 0.1, ids[0]: 0.3}
    path = holdings_file(tmp_path, f"order_book_id,{amount}\n" + "".join(f"{i},{n}\n" for i, n in held.items()))
    trades = tmp_path / "t.csv"
    capital = [] if amount == "shares" else ["--capital", "1000000"]
    doc, text, _ = report_of(
        run, store, *ids, "--method", "min_variance", "--date", store.end, "--holdings", path,
        "--trades", trades, *capital, tmp_path=tmp_path,
    )  # fmt: skip
    rb = doc["report"]["rebalance"]
    weight = rb["holdings"][gone]
    if amount == "shares":
        close = float(veladatac.get_price(ids[0], store.end, store.end, fields="close").iloc[-1])
        assert weight == pytest.approx(1000 * last / (1000 * last + 2000 * close), rel=1e-12)
    else:
        assert weight == 0.1
    why = {u["id"]: u["why"] for u in rb["untradable"]}
    assert why[gone] == f"{gone} de-listed on {off}, held at {100 * weight:.2f} %"
    assert f"Note: {gone} has no close on {store.end}: valued at its last close {last:.2f} of {last_day}." in text
    assert doc["weights"][gone] == pytest.approx(weight, rel=1e-12)  # kept outside the optimisation
    orders = pd.read_csv(trades, comment="#", dtype={"id": str})
    assert gone not in set(orders["id"]) and set(orders["id"]) <= set(ids)


def test_a_weight_table_written_by_csv_reads_back_as_the_holdings(store, run, tmp_path):
    ids = healthy(store, 6)
    table = tmp_path / "w.csv"
    before, _, _ = report_of(run, store, *ids, "--method", "min_variance", "--date", store.end, "--csv", table,
                             tmp_path=tmp_path)  # fmt: skip
    assert table.read_bytes().startswith("\ufeff# ".encode())  # the inputs lead the table as comments
    doc, _, _ = report_of(
        run, store, *ids, "--date", store.end, "--holdings", table, "--max-turnover", "0.1", tmp_path=tmp_path
    )
    held = {i: w for i, w in before["weights"].items() if w > 1e-12}
    assert doc["report"]["rebalance"]["holdings"] == pytest.approx(held, rel=1e-15, abs=0)


@pytest.mark.parametrize("named_by", ["ids", "ids-file", None])
def test_ids_named_that_limit_leaves_out_are_named(store, run, tmp_path, named_by):
    veladatac.init(store.path)
    members = veladatac.index_components("000300.XSHG", store.end)
    others = [i for i in healthy(store, 24) if i not in members][:2]
    (tmp_path / "ids.txt").write_text("\n".join(others), encoding="utf-8")
    named = {"ids": others, "ids-file": ["--ids-file", tmp_path / "ids.txt"], None: []}[named_by]
    doc, text, _ = report_of(
        run, store, *named, "--universe", "000300.XSHG", "--limit", "2", "--method", "min_variance",
        "--date", store.end, tmp_path=tmp_path,
    )  # fmt: skip
    kept = set(doc["weights"])
    left = [i for i in others if i not in kept] if named_by else []
    said = [n for n in doc["report"]["notes"] if n.startswith("--limit")]
    ids = f"{len(left)} id{'s' * (len(left) > 1)}"
    assert said == ([f"--limit 2 left out {ids} named: {', '.join(left)}"] if left else [])
    assert len(kept) == 2 and (not named_by or left)  # a universe's two largest rank above some name asked for


@pytest.mark.parametrize("option", ["--json", "--csv", "--trades"])
def test_an_output_named_dash_goes_to_stdout_and_the_report_to_stderr(store, run, tmp_path, monkeypatch, option):
    monkeypatch.chdir(tmp_path)
    args = [*healthy(store, 5), "--date", store.end, "--capital", "1000000"]
    status, out, err = run(store.path, *args, option, "-")
    assert status == 0 and not (tmp_path / "-").exists()
    # stdout is the file the option writes (a pipe takes no byte order mark), stderr the report
    assert run(store.path, *args, option, tmp_path / "f")[:2] == (0, err)
    written = (tmp_path / "f").read_bytes().decode("utf-8-sig")
    assert not out.startswith("\ufeff")
    if option == "--json":  # the same record, but for the stages' timings
        doc, again = json.loads(out), json.loads(written)
        assert doc["weights"] == again["weights"] and doc["report"]["rows"] == again["report"]["rows"]
        assert doc["weights"].keys() == set(args[:5])
    else:
        assert out == written


@pytest.mark.parametrize(
    ("args", "line"),
    [
        (["--json", "-", "--csv", "-"], "--json and --csv both write to stdout (-): give all but one a file"),
        (["--csv", "-", "--trades", "-", "--capital", "1e6"], "--csv and --trades both write to stdout (-): give "
         "all but one a file"),
        (["--plot", "-"], "--plot -: a chart does not go to stdout; give a file name ending in .png (see "
         "vela-optimize --help)"),
    ],
)  # fmt: skip
def test_outputs_on_stdout_that_cannot_be_are_refused_in_one_line(
    store, run, tmp_path, monkeypatch, capsys, args, line
):
    monkeypatch.chdir(tmp_path)
    try:
        status, out, err = run(store.path, *healthy(store, 3), *args)
    except SystemExit as e:  # argparse's own refusals
        status, (out, err) = e.code, capsys.readouterr()
    assert (status, out) == (2, "") and list(tmp_path.iterdir()) == []
    assert err.strip().splitlines()[-1] == f"vela-optimize: error: {line}"


def test_a_replay_writes_its_json_to_stdout(store, run, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    status, first, _ = run(store.path, *healthy(store, 5), "--date", store.end, "--json", "-")
    (tmp_path / "rec.json").write_text(first, encoding="utf-8")
    status, again, err = run(store.path, "--replay", tmp_path / "rec.json", "--json", "-")
    assert status == 0 and json.loads(again)["weights"] == json.loads(first)["weights"] and "Risk parity" in err


@pytest.mark.parametrize("limits", [[], ["--gics", "{sector}=0:0.6"]])
def test_the_csv_table_holds_what_is_kept_outside_the_optimisation(store, run, tmp_path, limits):
    # a held stock that cannot be sold keeps its weight outside the optimised weights: the CSV must
    # list it as the JSON weights do, or the table read back as holdings takes that weight for cash
    quiet, ids = store.roles["illiquid_no_last_close"][0], healthy(store, 4)
    sector = veladatac.instruments(quiet).sector_type_name
    path = holdings_file(tmp_path, f"order_book_id,weight\n{quiet},0.2\n{ids[0]},0.3\n")
    csv_path = tmp_path / "w.csv"
    args = [*ids, "--date", store.end, "--holdings", path, "--csv", csv_path]
    doc, _, _ = report_of(run, store, *args, *[a.format(sector=sector) for a in limits], tmp_path=tmp_path)
    assert doc["report"]["rebalance"]["kept"] == {quiet: pytest.approx(0.2)}
    table = pd.read_csv(csv_path, comment="#", encoding="utf-8-sig").set_index("id")
    assert table["weight"].to_dict() == pytest.approx(doc["weights"]) and table["weight"].sum() == pytest.approx(1.0)
    assert table.loc[quiet, "sector"] == sector and math.isnan(table.loc[quiet, "risk_share"])
    # the table read back as holdings holds the same portfolio: the stock is still kept, not cash
    again, _, _ = report_of(run, store, *ids, "--date", store.end, "--holdings", csv_path, tmp_path=tmp_path)
    assert again["report"]["rebalance"]["kept"] == {quiet: pytest.approx(0.2)}


@pytest.mark.parametrize("at_end", [True, False], ids=["after_its_last_value", "before_it"])
def test_a_fund_whose_values_stop_is_named_with_its_weight_and_the_days_carried(store, run, tmp_path, at_end):
    # The liquidated fund's last net value is carried forward to the window's end: those days read
    # as returns of 0, no risk. The report says so; a day before its last value says nothing.
    gone = store.roles["liquidated_fund"][0]
    doc_path = tmp_path / "r.json"
    run(store.path, *store.fund_ids, "--method", "min_variance", "--date", store.end)  # points the client at the store
    nav = veladatac.fund.get_nav([gone], store.start, store.end, fields="adjusted_net_value")[gone]
    last = nav.dropna().index[-1].date()
    day = store.end if at_end else str(last)
    status, out, err = run(store.path, *store.fund_ids, "--method", "min_variance", "--date", day, "--json", doc_path)
    assert status == 0, err
    doc = json.loads(doc_path.read_text(encoding="utf-8"))
    notes = [n for n in doc["report"]["notes"] if "without a net value at the window's end" in n]
    import vela_optimizer as vo

    result = vo.optimize(store.fund_ids, day, method=vo.OptimizeMethod.MIN_VARIANCE)
    if not at_end:
        assert notes == [] and result.stale_funds == {}
        return
    days = pd.to_datetime(result.returns.index).date
    carried = int(np.sum(days > last))
    assert result.stale_funds == {gone: last} and carried > 0
    assert notes == [
        f"1 fund without a net value at the window's end, its last value carried forward and read as no risk: "
        f"{gone} at {100 * result.weights[gone]:.2f} % (none after {last}: {carried} days carried)"
    ]
    assert doc["weights"][gone] == pytest.approx(result.weights[gone])
    assert notes[0] in out


@pytest.mark.parametrize("cap", ["-0", "-0.0", "0"])
def test_a_turnover_cap_of_minus_zero_is_zero_in_what_the_command_says(store, run, tmp_path, cap):
    # a forced sale the cap cannot allow: the conflict quotes the cap as a desk wrote it, 0, never -0
    ids = healthy(store, 5)
    other = healthy(store, 6)[-1]
    held = holdings_file(tmp_path, f"order_book_id,weight\n{other},0.3\n")
    status, out, err = run(
        store.path, *ids, "--method", "min_variance", "--date", store.end, "--holdings", held, "--max-turnover", cap
    )
    assert status == 2 and "turnover cap 0.0000" in err and "-0.0" not in err, err


@pytest.mark.parametrize(
    ("bound", "said"),
    [
        ("{id}=0:0.1", "outside its bounds 0.00 % .. 10.00 %"),  # held at 20 %, above its cap
        ("*=0:0.18", "outside its bounds 0.00 % .. 18.00 %"),  # above the default cap
    ],
)
def test_a_bound_on_a_held_name_screening_removed_gives_way_and_is_not_called_ignored(
    store, run, tmp_path, bound, said
):
    suspended = store.roles["long_suspension"][0]  # suspended to 2026-06-01: screened out, kept at its weight
    held = tmp_path / "held.csv"
    held.write_text(f"order_book_id,weight\n{suspended},0.2\n", encoding="utf-8")
    args = [*healthy(store, 6), suspended, "--method", "min_variance", "--holdings", held, "--date", "2026-06-01"]
    doc, text, _ = report_of(run, store, *args, "--bound", bound.format(id=suspended), tmp_path=tmp_path)
    assert doc["weights"][suspended] == 0.2
    assert f"Note: {suspended} suspended: held at 20.00 %, {said}, which give way to the rule." in text
    assert "Bounds ignored" not in text and doc["report"]["ignored_bounds"] == []
