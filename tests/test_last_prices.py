"""A day inside an imported store's calendar but after its last prices (the shipped calendar runs on
to the end of its year, the imported bars stop earlier): refused naming the day and the last day
with prices, at the package level and by both commands, never solved on prices carried forward."""

import os
import pickle
import re
import sys
import warnings

import numpy as np
import pytest

import vela_optimizer as vo
import veladatac
from vela_optimizer import request
from vela_optimizer.backtest import cli as backtest_cli, run_backtest
from vela_optimizer.cli import main as optimize_main
from veladatac._schema import shipped_calendar
from veladatac.importer import import_files

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation, write_csv  # noqa: E402,F401  (fixtures are found by name)

LAST = "2026-06-26"  # a Friday: the last day with prices; the calendar goes on to 2026-12-31
FIRST_AFTER = "2026-06-29"
STOCKS = ["600101.XSHG", "600102.XSHG", "000103.XSHE", "000104.XSHE"]
FUNDS = ["000201.OF", "000202.OF", "000203.OF"]
WINDOW = 60


@pytest.fixture(scope="module")
def stale_store(tmp_path_factory):
    folder = tmp_path_factory.mktemp("stale")
    days = shipped_calendar()
    days = days[days <= np.datetime64(LAST)][-120:]
    rng = np.random.default_rng(11)
    instruments = "order_book_id,symbol,type,sector_type_name,listed_date,de_listed_date\n" + "".join(
        f"{i},股{k},CS,Financials,2020-01-02,\n" for k, i in enumerate(STOCKS)
    )
    funds = "order_book_id,symbol,fund_type,type\n"
    funds += "".join(f"{i},基{k},Stock,PublicFund\n" for k, i in enumerate(FUNDS))
    bars, navs = ["order_book_id,date,close,volume"], ["order_book_id,date,adjusted_net_value"]
    for i in STOCKS:
        closes = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, days.size)))
        bars += [f"{i},{d},{c:.2f},1000" for d, c in zip(days, closes, strict=True)]
    for i in FUNDS:
        values = np.exp(np.cumsum(rng.normal(0, 0.01, days.size)))
        navs += [f"{i},{d},{v:.4f}" for d, v in zip(days, values, strict=True)]
    files = [
        ("instruments", write_csv(folder, "i.csv", instruments)),
        ("funds", write_csv(folder, "f.csv", funds)),
        ("bars", write_csv(folder, "b.csv", "\n".join(bars) + "\n")),
        ("navs", write_csv(folder, "n.csv", "\n".join(navs) + "\n")),
    ]
    return import_files(folder / "stale.sqlite", files).store


@pytest.fixture
def on_stale(stale_store):
    veladatac.init(stale_store)
    extent = veladatac.catalog.extent()
    # the case at hand: the calendar goes on past the last prices
    assert str(extent.data_last) == LAST and extent.calendar_last > extent.data_last
    return stale_store


def optimise(ids, date, solver="native"):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return vo.optimize(ids, date, method=vo.OptimizeMethod.MIN_VARIANCE, window=WINDOW, solver=solver)


@pytest.mark.parametrize("ids", [STOCKS, FUNDS], ids=["stocks", "funds"])
@pytest.mark.parametrize(
    "call, date, what",
    [
        (lambda ids, d: optimise(ids, d), FIRST_AFTER, "date"),
        (lambda ids, d: optimise(ids, d, "scipy"), "2026-07-15", "date"),
        (lambda ids, d: optimise(ids, d), np.datetime64("2026-09-30"), "date"),
        (lambda ids, d: optimise(ids, d), "2026-12-31", "date"),  # the calendar's last day
        (lambda ids, d: vo.portfolio_optimize(ids, d, window=WINDOW), "2026-07-04", "date"),  # a Saturday
        (lambda ids, d: run_backtest(ids, dates=["2026-05-29"], end=d, window=WINDOW), "2026-08-31", "end"),
        (lambda ids, d: run_backtest(ids, start="2026-04-01", end=d, window=WINDOW), FIRST_AFTER, "end"),
    ],
)
def test_a_day_past_the_last_prices_is_refused_at_the_package_level(on_stale, ids, call, date, what):
    with pytest.raises(request.DateAfterPrices) as e:
        call(ids, date)
    # callers catching a date the calendar cannot serve keep catching this one
    assert isinstance(e.value, request.DateOutsideCalendar) and isinstance(e.value, veladatac.CalendarRangeError)
    day = str(np.datetime64(date, "D"))  # as given (text in quotes) or as the day read from it
    asked = rf"{what} '?{day}'?"
    assert re.fullmatch(
        rf"OPTIMIZER: {asked} 晚于数据中最后一个有价格的交易日 {LAST}（数据的价格为 .* 至 {LAST}）", str(e.value)
    )
    line = rf"{asked} is past the store's last day with prices, {LAST} \(the store has prices for .* \.\. {LAST}\)"
    assert re.fullmatch(line, e.value.describe())
    # as a backtest's worker process sends it back
    again = pickle.loads(pickle.dumps(e.value))
    assert (type(again), str(again), again.describe()) == (type(e.value), str(e.value), e.value.describe())


@pytest.mark.parametrize("ids", [STOCKS, FUNDS], ids=["stocks", "funds"])
@pytest.mark.parametrize("date", [LAST, "2026-06-27", np.datetime64("2026-06-28T10:00")])  # Fri, Sat, Sun
def test_a_day_whose_trading_day_has_prices_is_served(on_stale, ids, date):
    result = optimise(ids, date)
    assert str(result.trading_date) == LAST and list(result.weights.index) == ids
    assert np.isfinite(result.returns.to_numpy()).all()


def test_a_backtest_without_end_ends_on_the_last_day_with_prices(on_stale):
    # not on today's trading day, months of prices carried forward later
    result = run_backtest(STOCKS, start="2026-04-01", window=WINDOW)
    assert str(result.daily.index[-1].date()) == LAST


@pytest.mark.parametrize(
    "main, argv, asked",
    [
        (optimize_main, [*STOCKS, "--date", FIRST_AFTER], FIRST_AFTER),
        (optimize_main, [*FUNDS, "--date", "2026-09-30"], "2026-09-30"),
        (backtest_cli.main, [*STOCKS, "--start", "2026-03-01", "--end", "2026-09-30"], "2026-09-30"),
        (backtest_cli.main, [*FUNDS, "--start", "2026-03-01", "--end", "2026-09-30", "--keep-going"], "2026-09-30"),
        (backtest_cli.main, [*STOCKS, "--dates", "DATES", "--end", "2026-08-31"], "2026-08-31"),
        (backtest_cli.main, [*FUNDS, "--dates", "DATES", "--end", FIRST_AFTER], FIRST_AFTER),
    ],
)
def test_the_commands_refuse_a_day_past_the_last_prices_in_one_line(on_stale, tmp_path, capsys, main, argv, asked):
    dates = write_csv(tmp_path, "dates.txt", "2026-05-29\n")
    argv = [str(dates) if a == "DATES" else a for a in argv]
    status = main([*argv, "--window", str(WINDOW), "--store", str(on_stale)])
    out, err = capsys.readouterr()
    lines = err.strip().splitlines()
    assert status == 2 and len(lines) == 1 and out == "", err
    assert asked in lines[0] and f"{LAST}" in lines[0] and "past the" in lines[0] and "last day" in lines[0]


@pytest.mark.parametrize(
    "main, argv, head",
    [
        (optimize_main, [*FUNDS], f"Risk parity on {LAST}"),
        # a Saturday after the last prices: the trading day it stands for, the Friday, is served
        (optimize_main, [*STOCKS, "--date", "2026-06-27"], f"Risk parity on {LAST}"),
        (backtest_cli.main, [*STOCKS, "--dates", "DATES"], f"Risk parity backtest, 2026-05-29 .. {LAST}"),
        # a Saturday after the last prices: the backtest ends on the Friday before it
        (
            backtest_cli.main,
            [*FUNDS, "--dates", "DATES", "--end", "2026-06-27"],
            f"Risk parity backtest, 2026-05-29 .. {LAST}",
        ),
    ],
)
def test_the_commands_default_to_and_serve_the_last_day_with_prices(on_stale, tmp_path, capsys, main, argv, head):
    dates = write_csv(tmp_path, "dates.txt", "2026-05-29\n")
    argv = [str(dates) if a == "DATES" else a for a in argv]
    status = main([*argv, "--window", str(WINDOW), "--store", str(on_stale)])
    out, err = capsys.readouterr()
    assert status == 0, err
    assert out.startswith(head)
