"""The package level: the native path against the scipy path over the same pipeline.

Markets are seeded factor models served by the recording fake client, so both paths can be
compared on the same client calls, warnings, retained ids and limits.
"""

import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import vela_optimizer as vo
from conftest import FakeClient, price_tables, stock
from vela_optimizer import optimizer as opt
from vela_optimizer.limits import Limits

M = opt.OptimizeMethod
SECTORS = ["Financials", "Energy", "Materials", "Industrials"]


def market(n=12, rows=90, seed=0, suspended=(), short=(), delisted=()):
    """A fake client with n stocks from a 2-factor model; some made to fail each screen."""
    rng = np.random.default_rng(seed)
    f = rng.normal(0, 0.01, (rows, 2))
    ids = [f"S{i:02d}" for i in range(n)]
    beta = rng.uniform(0.3, 1.5, (2, n))
    r = f @ beta + rng.normal(0, 0.012, (rows, n))
    closes = {i: 10 * np.exp(np.cumsum(r[:, k])) for k, i in enumerate(ids)}
    volumes = {i: np.full(rows, 1000.0) for i in ids}
    for i in suspended:
        volumes[i][: rows // 2 + 5] = 0.0
    for i in short:
        closes[i][: rows // 2 + 5] = np.nan
    for i in delisted:
        closes[i][-1] = np.nan
    c = FakeClient()
    c.close, c.volume = price_tables(closes, volumes)
    c.stocks = {i: stock(i, SECTORS[k % len(SECTORS)]) for k, i in enumerate(ids)}
    c.benchmarks = {"BM": c.close[ids].mean(axis=1)}
    return c, ids


@pytest.fixture
def client(monkeypatch):
    c, ids = market(suspended=["S10"], short=["S11"])
    monkeypatch.setattr(opt, "veladatac", c)
    c.ids = ids
    return c


def limits_of(ids, bnds=None, cons=None):
    """The linear limits of a call, probed from the module's own bounds and records: each record's
    fun is affine, g(x) = a·x + c, read off at 0 and at the unit vectors."""
    n = len(ids)
    records = cons.to_constraint(ids, "2020-06-01") if cons else opt._to_constraint({"all": list(range(n))}, {})
    rows, lo, hi = [], [], []
    for r in records:
        c = r["fun"](np.zeros(n))
        a = np.array([r["fun"](e) - c for e in np.eye(n)])
        if r["type"] == "eq":
            rows.append(a), lo.append(-c), hi.append(-c)
        elif a.sum() > 0:  # a floor: a·x >= -c
            rows.append(a), lo.append(-c), hi.append(np.inf)
        else:  # a cap: (-a)·x <= c
            rows.append(-a), lo.append(-np.inf), hi.append(c)
    pairs = opt._general_bnds(ids, bnds)
    return Limits(
        ids=ids,
        lower=np.array([p[0] for p in pairs], dtype=float),
        upper=np.array([p[1] for p in pairs], dtype=float),
        A=np.array(rows),
        lo=np.array(lo),
        hi=np.array(hi),
    )


def run_both(client, **kw):
    """(native result, scipy result, native warnings, scipy warnings, native calls, scipy calls)."""
    out = []
    for solver in ("native", "scipy"):
        client.calls.clear()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            r = vo.optimize(client.ids, "2020-06-01", window=88, solver=solver, **kw)
        out.append((r, [str(w.message) for w in caught], list(client.calls)))
    (n, nw, nc), (s, sw, sc) = out
    return n, s, nw, sw, nc, sc


LIMITS = [
    dict(),
    dict(bnds={"*": (0, 0.15)}),
    dict(
        bnds={"*": (0, 0.2), "S00": (0.05, 0.1)}, cons=opt.GICSConstraint({"Energy": (0, 0.1), "Materials": (0.3, 1)})
    ),
]
CONVEX = [
    (M.MIN_VARIANCE, {}),
    (M.MEAN_VARIANCE, {"risk_aversion_coefficient": 50}),
    (M.MEAN_VARIANCE, {"risk_aversion_coefficient": 1}),
    (M.MIN_TRACKING_ERROR, {"benchmark": "BM"}),
]


@pytest.mark.parametrize("limits", LIMITS, ids=["budget only", "caps", "caps, floor, groups"])
@pytest.mark.parametrize(
    ("method", "extra"), CONVEX, ids=["min variance", "mean-variance 50", "mean-variance 1", "tracking error"]
)
def test_native_is_never_worse_than_the_scipy_path_and_feasible(client, method, extra, limits):
    n, s, nw, sw, nc, sc = run_both(client, method=method, **extra, **limits)
    assert n.solver == "native" and s.solver == "scipy" and n.converged
    assert nw == sw and nc == sc  # the same pipeline: warnings and client calls
    assert n.retained == s.retained == [i for i in client.ids if i not in ("S10", "S11")]
    assert n.dropped == s.dropped == [("S10", "suspended"), ("S11", "short_history")]
    scale = max(abs(s.objective), 1e-12)
    assert n.objective <= s.objective + 1e-9 * scale
    assert limits_of(n.retained, **limits).violation(n.weights.to_numpy()) <= 1e-9


def test_scipy_solver_is_the_module_function_bit_for_bit(client):
    kw = dict(method=M.MIN_VARIANCE, bnds={"*": (0, 0.3)}, window=88)
    with warnings.catch_warnings(record=True) as a:
        warnings.simplefilter("always")
        client.calls.clear()
        own = opt.portfolio_optimize(client.ids, "2020-06-01", **kw)
        own_calls = list(client.calls)
    with warnings.catch_warnings(record=True) as b:
        warnings.simplefilter("always")
        client.calls.clear()
        pkg = vo.portfolio_optimize(client.ids, "2020-06-01", solver="scipy", **kw)
        pkg_calls = list(client.calls)
        rich = vo.optimize(client.ids, "2020-06-01", solver="scipy", **kw)
    assert pkg == own and pkg_calls == own_calls
    assert [str(w.message) for w in a] == [str(w.message) for w in b][: len(a)]
    assert rich.to_dict() == own  # the rich result's scipy solve is the same solve


@pytest.mark.parametrize("solver", ["Native", "cvxpy", None, 1])
def test_an_unknown_solver_is_refused_naming_the_choices(client, solver):
    for f in (vo.portfolio_optimize, vo.optimize):
        with pytest.raises(vo.InvalidArgument, match="'native' 或 'scipy'"):
            f(client.ids, "2020-06-01", solver=solver)
    assert client.calls == []  # refused before any data work


@pytest.mark.parametrize(
    "ids, kw, words",
    [
        # one id as text: read as its characters, it was refused as a repeated id "0"
        ("S00", {}, "order_book_ids 必须是合约代码的列表.*\\['S00'\\]"),
        # switches read by their truth: "False" shrank the covariance, None turned the default off
        (None, {"cov_shrinkage": "False"}, "cov_shrinkage 必须为 True 或 False，传入值为：'False'"),
        (None, {"cov_shrinkage": None}, "cov_shrinkage 必须为 True 或 False，传入值为：None"),
        (None, {"quiet": "yes"}, "quiet 必须为 True 或 False"),
        (None, {"quiet": 2}, "quiet 必须为 True 或 False，传入值为：2"),
        # limits that are no constraint object: an AttributeError in the middle of the solve
        (None, {"cons": [opt.GICSConstraint({"Energy": (0, 0.1)})]}, "cons 必须是.*一次只能给出一个约束对象"),
        (None, {"cons": {"Energy": (0, 0.1)}}, "cons 必须是.*GICSConstraint\\(\\{...\\}\\)"),
        (None, {"cons": "Energy"}, "cons 必须是"),
        (None, {"progress": 5}, "progress 必须是可调用对象"),
    ],
)
def test_arguments_the_module_would_misread_are_refused_before_any_data_is_read(client, ids, kw, words):
    for f in (vo.portfolio_optimize, vo.optimize):
        if f is vo.portfolio_optimize and "progress" in kw:
            continue
        with pytest.raises(vo.InvalidArgument, match=words):
            f(client.ids if ids is None else ids, "2020-06-01", window=88, **kw)
    assert client.calls == []


@pytest.mark.parametrize(
    "kw", [dict(cov_shrinkage=np.bool_(False), quiet=np.bool_(True)), dict(cov_shrinkage=0, quiet=1)]
)
def test_numpy_booleans_and_zero_or_one_are_switches(client, kw):
    got = vo.portfolio_optimize(client.ids, "2020-06-01", window=88, method=M.MIN_VARIANCE, **kw)
    plain = vo.portfolio_optimize(
        client.ids, "2020-06-01", window=88, method=M.MIN_VARIANCE, cov_shrinkage=False, quiet=True
    )
    assert got == plain


@pytest.mark.parametrize(
    ("method", "extra"), CONVEX + [(M.RISK_PARITY, {})], ids=["mv", "mean-var 50", "mean-var 1", "te", "rp"]
)
def test_a_result_pickles_with_every_field_it_can_give(client, method, extra):
    import pickle

    r = vo.optimize(client.ids, "2020-06-01", window=88, method=method, quiet=True, **extra)
    back = pickle.loads(pickle.dumps(r))  # a tracking error's fields formed when read held closures
    assert back.weights.equals(r.weights) and back.objective == r.objective
    assert back.covariance.equals(r.covariance) and back.volatility == r.volatility
    assert back.risk_contributions.equals(r.risk_contributions)


class OwnLimit:
    """A caller's own constraint class: its record's fun is a plain Python function."""

    def to_constraint(self, ids, date):
        return [{"type": "eq", "fun": lambda x: sum(x) - 1}, {"type": "ineq", "fun": lambda x: 0.05 - x[0]}]


def test_a_callers_own_records_are_solved_by_the_scipy_path(client):
    r = vo.optimize(client.ids, "2020-06-01", window=88, method=M.MIN_VARIANCE, cons=OwnLimit(), quiet=True)
    assert r.solver == "scipy"
    assert r.weights.iloc[0] <= 0.05 + 1e-6


def test_progress_reports_every_stage_in_order_and_screening_before_a_failure(monkeypatch):
    c, ids = market(n=3, suspended=["S00", "S01"])
    monkeypatch.setattr(opt, "veladatac", c)
    seen = []
    with pytest.raises(vo.InvalidArgument, match="不足2个"):
        vo.optimize(ids, "2020-06-01", window=88, quiet=True, progress=lambda s, i: seen.append((s, i)))
    assert [s for s, _ in seen] == ["window", "instruments", "prices", "screening"]
    assert seen[-1][1] == {"retained": ["S02"], "dropped": [("S00", "suspended"), ("S01", "suspended")]}

    c, ids = market(n=4)
    monkeypatch.setattr(opt, "veladatac", c)
    seen.clear()
    r = vo.optimize(
        ids, "2020-06-01", window=88, method=M.MIN_TRACKING_ERROR, benchmark="BM", progress=lambda s, i: seen.append(s)
    )
    assert seen == [
        "window",
        "benchmark",
        "instruments",
        "prices",
        "screening",
        "covariance",
        "bounds",
        "constraints",
        "feasibility",
        "solve",
        "done",
    ]
    assert set(r.timings) == set(seen) - {"done"}


def test_the_result_describes_the_optimisation(client):
    with pytest.warns(UserWarning, match="GONE"):
        r = vo.optimize(
            client.ids,
            "2020-06-01",
            window=88,
            method=M.MEAN_VARIANCE,
            bnds={"*": (0, 0.5), "GONE": (0, 1)},
            quiet=True,
        )
    C = r.covariance.to_numpy()
    w = r.weights.to_numpy()
    assert list(r.weights.index) == r.retained == list(r.covariance.columns)
    assert r.risk_contributions.sum() == pytest.approx(w @ C @ w, rel=1e-12)
    assert r.volatility == pytest.approx(np.sqrt(w @ C @ w), rel=1e-12)
    assert r.expected_returns.to_numpy() == pytest.approx(r.returns.mean().to_numpy(), rel=1e-15)
    assert r.objective == pytest.approx(0.5 * w @ C @ w - w @ r.expected_returns.to_numpy(), rel=1e-12)
    assert r.ignored_bounds == ["GONE"]
    assert r.trading_date == pd.Timestamp(client.close.index[-1]).date()
    assert r.to_dict() == dict(zip(r.retained, w.tolist()))


def test_the_results_limits_pair_each_groups_floor_and_cap(client):
    ids = ["S00", "S01", "S02", "S03", "S04"]
    bnds = {"*": (0, 0.4), "S01": (0.1, 0.3)}
    cons = opt.GICSConstraint({"Financials": (0.1, 0.6), "Energy": (0, 0.2)})
    lim = vo.optimize(ids, "2020-06-01", window=88, method=M.MIN_VARIANCE, bnds=bnds, cons=cons).linear_limits
    assert lim.row_labels == ["Financials", "Energy", None]
    # S00 and S04 are Financials, S01 Energy (the fake client's sectors cycle through SECTORS)
    np.testing.assert_array_equal(lim.A, [[1, 0, 0, 0, 1], [0, 1, 0, 0, 0], [1, 1, 1, 1, 1]])
    np.testing.assert_array_equal(lim.lo, [0.1, 0, 1])
    np.testing.assert_array_equal(lim.hi, [0.6, 0.2, 1])
    np.testing.assert_array_equal(lim.upper, [0.4, 0.3, 0.4, 0.4, 0.4])
    assert lim.bound_source == ["*", "S01", "*", "*", "*"]


def test_infeasible_limits_are_refused_before_either_solve(client):
    cons = opt.GICSConstraint({"Energy": (0, 0.01), "Financials": (0, 0.01), "Materials": (0, 0.01)})
    for solver in ("native", "scipy"):
        with pytest.raises(vo.InvalidArgument) as e:
            vo.optimize(
                client.ids,
                "2020-06-01",
                window=88,
                method=M.MIN_VARIANCE,
                bnds={"*": (0, 0.15)},
                cons=cons,
                quiet=True,
                solver=solver,
            )
        assert isinstance(e.value, vo.LimitConflict)


def test_the_native_iteration_limit_is_a_failure(client):
    with pytest.raises(vo.OptimizationFailed, match="最大迭代次数 1"):
        vo.optimize(
            client.ids,
            "2020-06-01",
            window=88,
            method=M.MIN_VARIANCE,
            bnds={"*": (0, 0.2)},
            max_iteration=1,
            quiet=True,
        )


@pytest.mark.parametrize(
    "module",
    [
        "vela_optimizer.engine",
        "vela_optimizer.native",
        "vela_optimizer.backtest",
        "vela_optimizer.cli",
        "vela_optimizer",
    ],
)
def test_each_module_imports_first_in_a_fresh_interpreter(module):
    """The private engine module exists only once the extension is imported: every module that
    uses it must import the extension first, whoever imports it first."""
    code = f"import {module}, vela_optimizer as vo; vo.optimize"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("solver", ["native", "scipy"])
def test_caps_short_of_the_budget_after_screening_name_what_screening_removed(monkeypatch, solver):
    c, ids = market(n=4, suspended=["S03"])
    monkeypatch.setattr(opt, "veladatac", c)
    with pytest.raises(vo.LimitConflict) as e:
        vo.optimize(
            ids, "2020-06-01", window=88, method=M.MIN_VARIANCE, bnds={"*": (0, 0.3)}, quiet=True, solver=solver
        )
    # three stocks left at 0.3 each hold 0.9 at most; the fourth's cap went with it
    assert e.value.screened_out == ["S03"] and e.value.shortfall == pytest.approx(0.1)
    assert str(e.value).endswith("；筛选剔除了 S03")
    assert e.value.describe() == (
        "limits conflict: default cap 0.3000 on 3 instruments allows at most 0.9000 in "
        "total (0.1000 short of 1); screening removed 1 instrument: S03"
    )


def test_group_limits_of_a_conflict_are_not_blamed_on_screening(monkeypatch):
    c, ids = market(n=8, suspended=["S07"])
    monkeypatch.setattr(opt, "veladatac", c)
    with pytest.raises(vo.LimitConflict) as e:  # Energy and Industrials floors ask 1.2 of the budget
        vo.optimize(
            ids,
            "2020-06-01",
            window=88,
            method=M.MIN_VARIANCE,
            quiet=True,
            cons=opt.GICSConstraint({"Energy": (0.6, 1), "Industrials": (0.6, 1)}),
        )
    assert e.value.screened_out == [] and "screening" not in e.value.describe()


def test_the_result_names_every_weight_the_solve_set_to_zero(client):
    r = vo.optimize(client.ids, "2020-06-01", window=88, method=M.MIN_VARIANCE, bnds={"*": (0, 0.3)}, quiet=True)
    zero = [i for i, w in r.weights.items() if abs(w) <= 1e-12]
    assert zero and [i for i, _ in r.zeros] == zero
    assert {why for _, why in r.zeros} <= {"bound", "group_cap", "optimal"}


@pytest.mark.parametrize(
    "kw, error, words",
    [
        (
            dict(
                time_limit=1e-9,
                method=M.RISK_PARITY,
                bnds={"*": (0, 0.15)},
                cons=opt.GICSConstraint({"Financials": (0, 0.05)}),
            ),
            vo.OptimizationFailed,
            "时间上限",
        ),
        (dict(time_limit=1.0, solver="scipy"), vo.InvalidArgument, "无法限制求解时间"),
        (dict(time_limit=-1.0), vo.InvalidArgument, "time_limit"),
    ],
)
def test_a_time_limit_stops_a_native_solve_and_is_refused_where_it_cannot_be_kept(client, kw, error, words):
    with pytest.raises(error, match=words):
        vo.optimize(client.ids, "2020-06-01", window=88, quiet=True, **kw)
