"""portfolio_optimize: check order, client calls, and what reaches each method."""

import datetime
import inspect
import math

import numpy as np
import pandas as pd
import pytest

import veladatac
from conftest import Record
from driver_support import Spy, expected_returns, stock_universe
from vela_optimizer import optimizer as opt

M = opt.OptimizeMethod
DATE = "2020-07-15"


@pytest.fixture
def spy(monkeypatch):
    return Spy(monkeypatch)


@pytest.fixture
def ids(fake_client):
    return stock_universe(fake_client)


def test_signature_and_defaults():
    f = opt.portfolio_optimize
    assert f.__defaults__ == (M.RISK_PARITY, None, None, True, None, 1, 132, 1000, 1e-08, False)
    assert f.__defaults__[0] is M.RISK_PARITY
    params = inspect.signature(f).parameters
    assert list(params) == [
        "order_book_ids",
        "date",
        "method",
        "bnds",
        "cons",
        "cov_shrinkage",
        "benchmark",
        "risk_aversion_coefficient",
        "window",
        "max_iteration",
        "tol",
        "quiet",
    ]
    with pytest.raises(TypeError, match=r"portfolio_optimize\(\) takes from 2 to 12 positional arguments but 13"):
        f(*range(13))


RISK = "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}"
TOL = "OPTIMIZER: tol 必须为正数，传入值为：{}"
WINDOW = "OPTIMIZER: window 必须为不小于2的整数，传入值为：{}"
MAXIT = "OPTIMIZER: max_iteration 必须为正整数，传入值为：{}"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"risk_aversion_coefficient": -0.5}, RISK.format(-0.5)),
        ({"risk_aversion_coefficient": math.nan}, RISK.format(math.nan)),
        ({"risk_aversion_coefficient": math.inf}, RISK.format(math.inf)),
        ({"risk_aversion_coefficient": "1"}, RISK.format("1")),
        ({"risk_aversion_coefficient": -1, "tol": 0}, RISK.format(-1)),
        ({"tol": 0}, TOL.format(0)),
        ({"tol": -1e-8}, TOL.format(-1e-8)),
        ({"tol": math.nan}, TOL.format(math.nan)),
        ({"tol": math.inf}, TOL.format(math.inf)),
        ({"tol": None}, TOL.format(None)),
        ({"tol": 0, "window": 1}, TOL.format(0)),
        ({"window": 1}, WINDOW.format(1)),
        ({"window": 132.0}, WINDOW.format(132.0)),
        ({"window": True}, WINDOW.format(True)),
        ({"window": "132"}, WINDOW.format("132")),
        ({"window": 1, "max_iteration": 0}, WINDOW.format(1)),
        ({"max_iteration": 0}, MAXIT.format(0)),
        ({"max_iteration": 10.5}, MAXIT.format(10.5)),
        ({"max_iteration": None}, MAXIT.format(None)),
    ],
)
def test_argument_checks_come_before_any_client_call(fake_client, kwargs, message):
    with pytest.raises(opt.InvalidArgument) as e:
        opt.portfolio_optimize(["A", "B"], DATE, **kwargs)
    assert e.value.args == (message,)
    assert fake_client.calls == []


def test_zero_risk_aversion_and_numpy_integers_pass(fake_client, ids, spy):
    opt.portfolio_optimize(
        ids, DATE, risk_aversion_coefficient=0, window=np.int64(132), max_iteration=np.int32(5), quiet=True
    )
    assert spy.method == "risk_parity_optimize" and spy.args[3] == 5


def test_tracking_error_needs_a_benchmark_after_one_client_call(fake_client):
    with pytest.raises(opt.InvalidArgument, match="必须传入 benchmark 参数"):
        opt.portfolio_optimize(["A", "B"], DATE, method=M.MIN_TRACKING_ERROR)
    assert fake_client.calls == [("trading_date_offset", (DATE, -132), {})]


FLOOR = "日期不能早于2005-07-01（之前没有足够的数据）"


@pytest.mark.parametrize(
    "date, refused",
    [
        ("2005-06-30", True),
        ("2005-07-01", False),
        ("20050630", True),
        ("20030101", True),
        ("20050701", False),
        (20030101, True),
        (np.int64(20050630), True),
        (20050701, False),
        (datetime.datetime(2005, 6, 30, 23, 59), True),
        (datetime.datetime(2005, 7, 1), False),
        (datetime.date(2005, 6, 30), True),
        (datetime.date(2005, 7, 1), False),
        (pd.Timestamp("2005-06-30"), True),
        (pd.Timestamp("2005-07-01 09:30"), False),
        (datetime.datetime(2005, 6, 30, tzinfo=datetime.timezone.utc), True),
        ("not a date", False),
        ("2005-13-01", False),
        (pd.NaT, False),
    ],
)
def test_date_floor_applies_to_every_date_form(fake_client, ids, spy, date, refused):
    if refused:
        with pytest.raises(opt.InvalidArgument) as e:
            opt.portfolio_optimize(ids, date)
        assert e.value.args == (FLOOR,)
        assert fake_client.ops() == ["trading_date_offset"]
    else:
        opt.portfolio_optimize(ids, date)
        assert fake_client.calls[0] == ("trading_date_offset", (date, -132), {})
        assert spy.method == "risk_parity_optimize"


WIDE = str.maketrans("0123456789", "０１２３４５６７８９")
ARABIC_INDIC = str.maketrans("0123456789", "٠١٢٣٤٥٦٧٨٩")
DATE_FORMS = {
    "iso text": lambda d: d.isoformat(),
    "compact text": lambda d: d.strftime("%Y%m%d"),
    "int": lambda d: int(d.strftime("%Y%m%d")),
    "numpy int": lambda d: np.int64(d.strftime("%Y%m%d")),
    "date": lambda d: d,
    "datetime at 23:59": lambda d: datetime.datetime.combine(d, datetime.time(23, 59)),
    "aware datetime": lambda d: datetime.datetime.combine(d, datetime.time(), datetime.timezone.utc),
    "Timestamp": lambda d: pd.Timestamp(d),
    "fullwidth digits": lambda d: d.isoformat().translate(WIDE),
    "Arabic-Indic digits": lambda d: d.strftime("%Y%m%d").translate(ARABIC_INDIC),
}


@pytest.mark.parametrize("days_from_floor", [-400, -1, 0, 1])
@pytest.mark.parametrize("form", DATE_FORMS)
def test_date_floor_and_client_read_every_value_as_the_same_day(fake_client, ids, spy, form, days_from_floor):
    # The floor is published once (MIN_OPTIMIZE_DATE) and the client's reader is the one
    # Python home of date parsing: a value the client reads as a day before the floor is
    # refused, one it reads as a later day or cannot read at all is left to it. Text in
    # other digits was read by the client but not by the floor, and slipped past it.
    day = opt.MIN_OPTIMIZE_DATE.date() + datetime.timedelta(days=days_from_floor)
    value = DATE_FORMS[form](day)
    try:
        refused = veladatac.to_date(value) < opt.MIN_OPTIMIZE_DATE.date()
    except (TypeError, ValueError):
        refused = False
    assert refused == (days_from_floor < 0 and "digits" not in form)
    if refused:
        with pytest.raises(opt.InvalidArgument) as e:
            opt.portfolio_optimize(ids, value)
        assert e.value.args == (f"日期不能早于{opt.MIN_OPTIMIZE_DATE_STR}（之前没有足够的数据）",)
    else:
        opt.portfolio_optimize(ids, value)
        assert spy.method == "risk_parity_optimize"


def test_date_floor_comes_after_the_benchmark_fetch(fake_client, ids):
    fake_client.benchmarks["IDX"] = pd.Series([1.0, 2.0])
    with pytest.raises(opt.InvalidArgument, match="日期不能早于"):
        opt.portfolio_optimize(ids, "2004-01-01", method=M.MIN_TRACKING_ERROR, benchmark="IDX")
    assert fake_client.ops() == ["trading_date_offset", "get_price"]


@pytest.mark.parametrize(
    "order_book_ids, message",
    [
        (["A"], "合约数目太少"),
        ([], "合约数目太少"),
        (["A", "B", "A", "B"], "OPTIMIZER: 合约 A 重复出现"),
        (["A", "B", "C", "B", "A"], "OPTIMIZER: 合约 B 重复出现"),
    ],
)
def test_count_and_duplicates_before_the_kind_check(fake_client, order_book_ids, message):
    with pytest.raises(opt.InvalidArgument) as e:
        opt.portfolio_optimize(order_book_ids, DATE)
    assert e.value.args == (message,)
    assert fake_client.ops() == ["trading_date_offset"]


def test_client_call_order(fake_client, ids, spy):
    fake_client.benchmarks["IDX"] = fake_client.close["S0"] * 1.0
    fake_client.start_date = "2020-01-02"
    opt.portfolio_optimize(ids, DATE, method=M.MIN_TRACKING_ERROR, benchmark="IDX", window=132)
    assert fake_client.calls == [
        ("trading_date_offset", (DATE, -132), {}),
        ("get_price", ("IDX", "2020-01-02", DATE), {"fields": "close"}),
        ("instruments", ("S0",), {}),
        ("instruments", ("S1",), {}),
        ("instruments", ("S2",), {}),
        ("get_price", (ids, "2020-01-02", DATE), {"frequency": "1d", "fields": ["close", "volume"]}),
    ]


def budget_value(record, x):
    assert isinstance(record, dict) and record["type"] == "eq"
    return record["fun"](np.asarray(x))


class Cons:
    def __init__(self):
        self.seen = None

    def to_constraint(self, order_book_ids, date):
        self.seen = (order_book_ids, date)
        return ["records"]


@pytest.mark.parametrize(
    "method, bnds, use_cons, callee",
    [
        (M.RISK_PARITY, None, False, "risk_parity_optimize"),
        (M.RISK_PARITY, {"*": (0, 1)}, False, "risk_parity_with_cons_optimize"),
        (M.RISK_PARITY, None, True, "risk_parity_with_cons_optimize"),
        (M.MIN_VARIANCE, None, False, "min_variance_optimize"),
        (M.MIN_VARIANCE, {"S0": (0.1, 0.5)}, True, "min_variance_optimize"),
        (M.MEAN_VARIANCE, None, False, "mean_variance_optimize"),
        (M.MIN_TRACKING_ERROR, None, False, "min_tracking_error_optimize"),
    ],
)
def test_dispatch_and_arguments(fake_client, ids, spy, method, bnds, use_cons, callee):
    fake_client.benchmarks["IDX"] = fake_client.close["S1"] * 1.0
    cons = Cons() if use_cons else None
    result = opt.portfolio_optimize(
        ids,
        DATE,
        method=method,
        bnds=bnds,
        cons=cons,
        benchmark="IDX",
        risk_aversion_coefficient=3,
        max_iteration=77,
        tol=1e-7,
        cov_shrinkage=False,
    )
    assert result == {"result of": callee} and spy.method == callee
    df = expected_returns(fake_client.close[ids])
    n = len(ids)
    if method == M.RISK_PARITY and bnds is None:
        bounds = [(1e-6, None)] * n
    else:
        bounds = opt._general_bnds(ids, bnds)
    args = list(spy.args)
    if callee == "min_tracking_error_optimize":
        init, bench, got_df, got_bounds, constraints, maxit, tol = args
        pd.testing.assert_frame_equal(got_df, df)
        pd.testing.assert_series_equal(bench, expected_returns(fake_client.benchmarks["IDX"].to_frame())["S1"])
    else:
        c_m, init, *rest = args
        pd.testing.assert_frame_equal(c_m, df.cov(), rtol=1e-12)
        if callee == "mean_variance_optimize":
            rac, mu, *rest = rest
            assert rac == 3
            pd.testing.assert_series_equal(mu, df.mean())
        if callee == "risk_parity_optimize":
            got_bounds, maxit = rest
            assert maxit == 77
            assert got_bounds == bounds
            return
        got_bounds, constraints, maxit, tol = rest
    assert init == [1 / n] * n and all(type(w) is float for w in init)
    assert got_bounds == bounds and (maxit, tol) == (77, 1e-7)
    if use_cons:
        assert constraints == ["records"] and cons.seen == (ids, DATE)
    else:
        assert budget_value(constraints, [0.25, 0.25]) == -0.5
        assert budget_value(constraints, [0.5, 0.5]) == 0


def test_shrunk_covariance_is_the_first_element(fake_client, ids, spy):
    opt.portfolio_optimize(ids, DATE, method=M.MIN_VARIANCE)
    pd.testing.assert_frame_equal(spy.args[0], spy.df.cov() * 2)
    pd.testing.assert_frame_equal(spy.df, expected_returns(fake_client.close[ids]))


def test_unknown_method_fails_after_the_data_work(fake_client, ids, spy):
    fake_client.volume.loc[:, "S2"] = 0.0
    with pytest.warns(UserWarning, match="S2 停牌太多"), pytest.raises(opt.OptimizationFailed) as e:
        opt.portfolio_optimize(ids, DATE, method="risk_parity")
    assert e.value.args == ("OPTIMIZE: unknown method risk_parity",)
    assert spy.df is not None and list(spy.df.columns) == ["S0", "S1"]


def test_constraint_object_sees_only_retained_ids(fake_client, ids, spy):
    fake_client.close.loc[fake_client.close.index[-1], "S1"] = np.nan
    cons = Cons()
    when = datetime.date(2020, 7, 15)
    opt.portfolio_optimize(ids, when, method=M.MIN_VARIANCE, cons=cons, quiet=True)
    assert cons.seen == (["S0", "S2"], when)


def test_too_few_after_screening(fake_client, ids, spy):
    fake_client.volume.loc[:, ["S0", "S1"]] = 0.0
    with pytest.raises(opt.InvalidArgument) as e:
        opt.portfolio_optimize(ids, DATE, quiet=True)
    assert e.value.args == ("OPTIMIZER: 经过剔除后，合约数目不足2个",)


def test_bounds_for_screened_out_ids_warn(fake_client, ids, spy):
    fake_client.volume.loc[:, "S2"] = 0.0
    with pytest.warns(UserWarning) as rec:
        opt.portfolio_optimize(ids, DATE, method=M.MIN_VARIANCE, bnds={"S2": (2, 3)}, quiet=True)
    assert [str(w.message) for w in rec] == ["OPTIMIZER: 约束 S2 不在经剔除后的合约列表中，被忽略"]


def test_funds_take_the_nav_path(fake_client, spy):
    fake_client.funds = {
        "F1": Record("F1", "PublicFund", fund_type="Bond"),
        "F2": Record("F2", "PublicFund", fund_type="Stock"),
    }
    index = pd.bdate_range("2020-01-02", periods=6)
    fake_client.nav = pd.DataFrame({"F1": [1.0, np.nan, 1.1, 1.2, np.nan, 1.3], "F2": [np.nan] * 6}, index=index)
    opt.portfolio_optimize(["F1", "F2"], DATE, method=M.MIN_VARIANCE, window=5)
    assert fake_client.calls[-1] == (
        "fund.get_nav",
        (["F1", "F2"], "2020-01-02", DATE),
        {"fields": "adjusted_net_value"},
    )
    pd.testing.assert_frame_equal(spy.df, expected_returns(fake_client.nav))
    assert spy.df["F2"].isna().all()


class SpyMinimizer:
    """Stands in for scipy.optimize: records each minimize call and accepts the starting point."""

    def __init__(self):
        self.calls = []

    def minimize(self, fun, x0, **kwargs):
        from scipy.optimize import OptimizeResult

        self.calls.append((fun, list(x0), kwargs))
        return OptimizeResult(x=np.asarray(x0, dtype=float), success=True, status=0, nit=1, message="ok")


@pytest.mark.parametrize(
    "method, bnds, use_cons, solver, objective, has_jac",
    [
        (M.RISK_PARITY, None, False, "L-BFGS-B", "log_barrier_risk_parity_obj_fun", True),
        (M.RISK_PARITY, {"*": (0, 0.9)}, False, "SLSQP", "risk_parity_with_con_obj_fun", False),
        (M.MIN_VARIANCE, None, True, "SLSQP", "min_variance_obj_fun", True),
        (M.MEAN_VARIANCE, None, False, "SLSQP", "mean_variance_obj_fun", True),
        (M.MIN_TRACKING_ERROR, None, False, "SLSQP", "min_TE_obj_fun", False),
    ],
)
def test_minimizer_call_per_method(monkeypatch, fake_client, ids, method, bnds, use_cons, solver, objective, has_jac):
    spy = SpyMinimizer()
    monkeypatch.setattr(opt, "sc_opt", spy)
    fake_client.benchmarks["IDX"] = fake_client.close["S1"] * 1.0
    cons = opt.GICSConstraint({"Financials": (0, 1)}) if use_cons else None
    w = opt.portfolio_optimize(
        ids, DATE, method=method, bnds=bnds, cons=cons, benchmark="IDX", max_iteration=50, tol=1e-7
    )
    assert w == pytest.approx({i: 1 / 3 for i in ids})
    ((fun, x0, kwargs),) = spy.calls
    assert fun.__name__ == objective and x0 == [1 / 3] * 3
    expected_keys = {"method", "bounds", "options"} | ({"jac"} if has_jac else set())
    expected_keys |= {"constraints"} if solver == "SLSQP" else set()
    assert set(kwargs) == expected_keys and kwargs["method"] == solver
    if solver == "SLSQP":
        assert kwargs["options"] == {"maxiter": 50, "ftol": 1e-7}
        assert list(kwargs["options"]) == ["maxiter", "ftol"]
        constraints = kwargs["constraints"]
        if use_cons:
            assert [r["type"] for r in constraints] == ["ineq", "ineq", "eq"]
        else:
            assert isinstance(constraints, dict) and constraints["type"] == "eq"
    else:
        assert kwargs["options"] == {"maxiter": 50}
        assert kwargs["bounds"] == [(1e-6, None)] * 3
    if bnds:
        assert kwargs["bounds"] == [(0, 0.9)] * 3
