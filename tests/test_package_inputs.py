"""The package level reads dates and ids as desks write them: ids with the exchanges' short suffixes
are the store's ids, and a date, id or argument it cannot serve is refused by name, with what it
takes, before any price is read (not as the market-data client's own error part-way through)."""

import json
import os
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import vela_optimizer as vo
import veladatac
from vela_optimizer import optimizer as opt, request
from vela_optimizer.backtest import IndexUniverse, rebalance_dates, run_backtest
from veladatac import sample

M = opt.OptimizeMethod
IA = opt.InvalidArgument
DAY = "2026-11-30"


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    info = sample.build_store(
        tmp_path_factory.mktemp("inputs") / "store.sqlite", n_stocks=40, n_funds=4, start="2025-01-01", seed=5
    )
    veladatac.init(info.path)
    yield info
    veladatac.init(None)


@pytest.fixture(scope="module")
def ids(store):
    """Two Shanghai and two Shenzhen stocks that screening keeps, in the store's form."""
    awkward = {i for group in store.roles.values() for i in group}
    plain = [i for i in store.stock_ids if i not in awkward]
    return [i for i in plain if i.endswith(".XSHG")][:2] + [i for i in plain if i.endswith(".XSHE")][:2]


def short(oid, case=str.upper):
    """``oid`` as a terminal writes it (600000.SH), in the letter case ``case`` gives."""
    code, market = oid.split(".")
    return f"{code}.{case({'XSHG': 'SH', 'XSHE': 'SZ'}[market])}"


def quiet_call(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


# ---------------------------------------------------------------- dates


@pytest.mark.parametrize(
    "date, builtin",
    [
        ("2024-13-45", ValueError),
        ("20241345", ValueError),
        (20241345, ValueError),
        ("yesterday", ValueError),
        ("2024/01/05", ValueError),
        (" 2024-01-05", ValueError),
        (pd.NaT, ValueError),
        (None, TypeError),
        (2024.0105, TypeError),
        (b"2024-01-05", TypeError),
        (np.datetime64("NaT"), ValueError),
        (np.datetime64("NaT", "ns"), ValueError),
        (np.datetime64("10000-01-05"), ValueError),  # no day of any calendar
        (True, TypeError),
    ],
)
@pytest.mark.parametrize("solver", ["native", "scipy"])
def test_a_malformed_date_is_refused_by_name_before_the_client_is_called(fake_client, date, builtin, solver):
    with pytest.raises(IA) as e:
        vo.optimize(["S00", "S01"], date, method=M.MIN_VARIANCE, solver=solver)
    assert isinstance(e.value, builtin)  # what the client raised before, for callers catching that
    assert isinstance(e.value, request.InvalidDate) and e.value.value is date
    text = str(e.value)
    assert text.startswith("OPTIMIZER: date 不是有效日期") and "'YYYY-MM-DD'" in text and "pandas.Timestamp" in text
    assert fake_client.calls == []


# The entry points that take a date, each to what it answers: a numpy.datetime64 must give the
# answer of the same day as text, whatever its unit and time of day.
ENTRIES = {
    "optimize": lambda ids, d: quiet_call(vo.optimize, ids, d, method=M.MIN_VARIANCE).weights.to_dict(),
    "portfolio_optimize": lambda ids, d: quiet_call(vo.portfolio_optimize, ids, d, method=M.MIN_VARIANCE),
    "optimize trading_date": lambda ids, d: quiet_call(vo.optimize, ids, d, solver="scipy").trading_date,
    "backtest end": lambda ids, d: run_backtest(ids, dates=["2026-10-30"], end=d, method=M.MIN_VARIANCE).daily,
    "backtest dates": lambda ids, d: run_backtest(ids, dates=[d], end=DAY, method=M.MIN_VARIANCE).rebalances[0].date,
    "backtest start": lambda ids, d: [
        (r.date, r.weights) for r in run_backtest(ids, start=d, end="2026-12-31", rebalance="weekly").rebalances
    ],
    "rebalance_dates": lambda ids, d: rebalance_dates("2026-06-01", d, "weekly"),
    "IndexUniverse": lambda ids, d: IndexUniverse("000300.XSHG")(d),
}


@pytest.mark.parametrize("entry", list(ENTRIES))
@pytest.mark.parametrize(
    "given",
    [
        np.datetime64(DAY),
        np.datetime64(f"{DAY}T14:59:59", "s"),
        pd.Timestamp(f"{DAY} 09:30").to_numpy(),  # a DatetimeIndex's value: nanoseconds
        np.datetime64(f"{DAY}T23:59:59.999999999", "ns"),  # the last instant of the day is still the day
    ],
)
def test_a_numpy_datetime64_is_its_calendar_day_at_every_entry_point(store, ids, entry, given):
    got, expected = ENTRIES[entry](ids, given), ENTRIES[entry](ids, DAY)
    if isinstance(got, pd.DataFrame):
        pd.testing.assert_frame_equal(got, expected)
    else:
        assert got == expected


@pytest.mark.parametrize("entry", ["optimize", "backtest end", "backtest dates", "rebalance_dates"])
@pytest.mark.parametrize("nat", [np.datetime64("NaT"), np.datetime64("NaT", "ns")])
def test_a_numpy_nat_is_refused_as_a_malformed_date_at_every_entry_point(store, ids, entry, nat):
    with pytest.raises(request.InvalidDate) as e:
        ENTRIES[entry](ids, nat)
    assert isinstance(e.value, ValueError) and not isinstance(e.value, TypeError)
    assert f"不是有效日期，传入值为：{nat!r}（可用的形式：" in str(e.value)
    assert e.value.describe().endswith(f"{nat!r} is not a date (give 'YYYY-MM-DD' or 'YYYYMMDD')")


@pytest.mark.parametrize(
    "given, refusal, text",
    [
        (np.datetime64("2005-03-01"), IA, "日期不能早于2005-07-01"),
        (np.datetime64("2027-03-01T10:00"), request.DateOutsideCalendar, "date 2027-03-01 不在数据的交易日历内"),
        (np.datetime64("2025-02-03", "ns"), request.DateOutsideCalendar, "2025-02-03 之前的交易日不足 window=60 天"),
    ],
)
def test_a_numpy_datetime64_the_store_cannot_serve_is_refused_as_its_day(store, ids, given, refusal, text):
    with pytest.raises(refusal) as e:
        quiet_call(vo.optimize, ids, given, method=M.MIN_VARIANCE, window=60)
    assert text in str(e.value)


@pytest.mark.parametrize(
    "date, window, shown",
    [
        ("2027-03-01", 60, "'2027-03-01' 不在数据的交易日历内"),
        ("2024-06-03", 60, "'2024-06-03' 不在数据的交易日历内"),
        (20250203, 60, "20250203 之前的交易日不足 window=60 天"),
        ("2025-03-03", 200, "'2025-03-03' 之前的交易日不足 window=200 天"),
    ],
)
@pytest.mark.parametrize("solver", ["native", "scipy"])
def test_a_date_the_calendar_cannot_serve_is_an_invalid_argument(store, ids, date, window, shown, solver):
    extent = veladatac.catalog.extent()
    with pytest.raises(IA) as e:
        quiet_call(vo.optimize, ids, date, method=M.MIN_VARIANCE, window=window, solver=solver)
    assert isinstance(e.value, request.DateOutsideCalendar)
    assert isinstance(e.value, veladatac.CalendarRangeError)  # as the client's error was
    assert str(e.value) == (
        f"OPTIMIZER: date {shown}（数据的交易日历为 {extent.calendar_first} 至 {extent.calendar_last}）"
    )


def test_a_date_before_the_earliest_names_the_date(store, ids):
    with pytest.raises(IA, match=r"^OPTIMIZER: 日期不能早于2005-07-01（之前没有足够的数据），传入值为：'2005-03-01'$"):
        vo.optimize(ids, "2005-03-01", method=M.MIN_VARIANCE)


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (dict(start="2024-06-03", end=DAY), "start 2024-06-03 不在数据的交易日历内"),
        (dict(start="2026-09-01", end="2027-03-01"), "end 2027-03-01 不在数据的交易日历内"),
        (dict(dates=["2026-10-30"], end="2027-03-01"), "end 2027-03-01 不在数据的交易日历内"),
        (dict(dates=["2024-06-28", "2026-10-30"], end=DAY), "dates 2024-06-28 不在数据的交易日历内"),
        (dict(start="2026-13-45", end=DAY), "start 不是有效日期，传入值为：'2026-13-45'（可用的形式：'YYYY-MM-DD'"),
    ],
)
def test_backtest_dates_outside_the_calendar_or_malformed_are_refused_by_name(store, ids, kwargs, text):
    with pytest.raises(IA) as e:
        run_backtest(ids, method=M.MIN_VARIANCE, **kwargs)
    assert text in str(e.value)
    assert isinstance(e.value, ValueError)


# ---------------------------------------------------------------- ids


@pytest.mark.parametrize(
    "spell",
    [
        lambda i: short(i),
        lambda i: short(i, str.lower),
        str.lower,
        lambda i: short(i) if i.endswith(".XSHE") else i,
    ],
    ids=["SH/SZ", "sh/sz", "xshg/xshe", "mixed"],
)
@pytest.mark.parametrize("solver", ["native", "scipy"])
def test_ids_with_exchange_suffixes_are_the_stores_ids(store, ids, spell, solver):
    given = [spell(i) for i in ids]
    assert given != ids
    got = quiet_call(vo.optimize, given, DAY, method=M.MIN_VARIANCE, solver=solver)
    if solver == "scipy":
        want = quiet_call(opt.portfolio_optimize, ids, DAY, method=M.MIN_VARIANCE)  # the module, bit for bit
    else:
        want = quiet_call(vo.portfolio_optimize, ids, DAY, method=M.MIN_VARIANCE)
    assert got.to_dict() == want and list(got.weights.index) == ids and got.retained == ids


@pytest.mark.parametrize("method", [M.MIN_TRACKING_ERROR, M.MIN_VARIANCE])
@pytest.mark.parametrize("solver", ["native", "scipy"])
def test_a_benchmark_with_a_short_suffix_is_the_stores_index(store, ids, method, solver):
    got = quiet_call(vo.optimize, ids, DAY, method=method, benchmark="000300.SH", solver=solver)
    want = quiet_call(vo.optimize, ids, DAY, method=method, benchmark="000300.XSHG", solver=solver)
    assert got.to_dict() == want.to_dict()
    pd.testing.assert_series_equal(got.benchmark_returns, want.benchmark_returns)


@pytest.mark.parametrize(
    "respell",
    [lambda i: [i, short(i)], lambda i: [short(i, str.lower), i.lower()]],
    ids=["XSHG and SH", "sh and xshg"],
)
@pytest.mark.parametrize("solver", ["native", "scipy"])
def test_one_id_in_two_spellings_is_refused_by_name(store, ids, respell, solver):
    twice = respell(ids[0])
    with pytest.raises(IA) as e:
        vo.optimize([*twice, *ids[1:]], DAY, method=M.MIN_VARIANCE, solver=solver)
    assert str(e.value) == f"OPTIMIZER: 合约 {ids[0]} 给出了两次（{twice[0]}、{twice[1]}）"


# ---------------------------------------------------------------- other arguments


@pytest.mark.parametrize(
    "change, text",
    [
        (
            lambda ids: dict(order_book_ids=[ids[0], 600004, ids[2]]),
            "OPTIMIZER: 合约代码必须是字符串，第 2 个传入值为：600004",
        ),
        (lambda ids: dict(order_book_ids=[ids[0], None]), "OPTIMIZER: 合约代码必须是字符串，第 2 个传入值为：None"),
        (
            lambda ids: dict(method=M.MIN_TRACKING_ERROR, benchmark=["000300.XSHG"]),
            "OPTIMIZER: benchmark 必须是一个合约代码（字符串），传入值为：['000300.XSHG']",
        ),
        (lambda ids: dict(benchmark=300), "OPTIMIZER: benchmark 必须是一个合约代码（字符串），传入值为：300"),
        (
            lambda ids: dict(method=M.MEAN_VARIANCE, risk_aversion_coefficient=True),
            "OPTIMIZER: risk_aversion_coefficient 必须是不小于0的数，传入值为：True",
        ),
        (
            lambda ids: dict(method=M.MEAN_VARIANCE, risk_aversion_coefficient="2"),
            "OPTIMIZER: risk_aversion_coefficient 必须是不小于0的数，传入值为：'2'",
        ),
        (
            lambda ids: dict(method=M.MEAN_VARIANCE, risk_aversion_coefficient=np.array(2.0)),
            "OPTIMIZER: risk_aversion_coefficient 必须是不小于0的数，传入值为：array(2.)",
        ),
        # NaN was refused as if it were below 0
        (
            lambda ids: dict(method=M.MEAN_VARIANCE, risk_aversion_coefficient=float("nan")),
            "OPTIMIZER: risk_aversion_coefficient 必须是有限的数，传入值为：nan",
        ),
        (
            lambda ids: dict(method=M.MEAN_VARIANCE, risk_aversion_coefficient=float("inf")),
            "OPTIMIZER: risk_aversion_coefficient 必须是有限的数，传入值为：inf",
        ),
    ],
)
def test_arguments_the_module_would_misread_are_refused_by_name(store, ids, change, text):
    kwargs = dict(order_book_ids=ids, date=DAY, method=M.MIN_VARIANCE) | change(ids)
    with pytest.raises(IA) as e:
        quiet_call(vo.optimize, **kwargs)
    assert str(e.value) == text


@pytest.mark.parametrize("switch", [np.bool_(False), np.bool_(True), 0])
def test_trading_rules_takes_numpys_booleans_as_the_other_switches_do(store, ids, switch):
    held = {ids[0]: 0.5, ids[2]: 0.5}
    got = quiet_call(vo.optimize, ids, DAY, method=M.MIN_VARIANCE, holdings=held, trading_rules=switch)
    want = quiet_call(vo.optimize, ids, DAY, method=M.MIN_VARIANCE, holdings=held, trading_rules=bool(switch))
    assert got.to_dict() == want.to_dict()


def test_a_set_of_ids_solves_in_the_same_order_in_every_process(store, ids):
    # a set's order follows its hashes, which differ from one process to the next (PYTHONHASHSEED):
    # the columns, and a solve's rounding, with it
    code = (
        "import sys, json, veladatac, vela_optimizer as vo; from vela_optimizer import optimizer as opt; "
        "veladatac.init(sys.argv[1]); "
        "r = vo.optimize(set(sys.argv[3:]), sys.argv[2], opt.OptimizeMethod.MIN_VARIANCE, quiet=True); "
        "print(json.dumps(list(r.weights.index)))"
    )
    orders = set()
    for seed in ("1", "2", "3"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        out = subprocess.run(
            [sys.executable, "-c", code, str(store.path), str(DAY), *ids],
            env=env,
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        orders.add(tuple(json.loads(out)))
    assert orders == {tuple(sorted(ids))}
