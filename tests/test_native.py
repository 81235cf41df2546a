"""The native solvers' entry point: one call for the four methods, one Settings checked once, one
Solution whose status reports how a solve ended (the iteration limit and failures included)."""

import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest

from vela_optimizer import optimizer as opt
from vela_optimizer.exception import InvalidArgument
from vela_optimizer.limits import Limits
from vela_optimizer.native import Settings, Solution, qp, riskparity as rp, solve
from vela_optimizer.native.riskparity import limits_qp, spread
from vela_optimizer.native.riskparity.jacobian import Jacobian


def limits(n, cap=1.0, groups=()):
    """0 <= w <= cap (a list: per instrument), group rows (label, positions, floor, cap), the budget."""
    return Limits.build([f"S{i}" for i in range(n)], np.zeros(n), np.broadcast_to(cap, (n,)).tolist(), groups)


def factor_cov(n, seed=0, days=131):
    rng = np.random.default_rng(seed)
    r = rng.normal(0, 0.01, (days, 2)) @ rng.uniform(0.5, 1.5, (2, n)) + rng.normal(0, 0.012, (days, n))
    return np.cov(r, rowvar=False), r


def binding_risk_parity(n=30, seed=3):
    """The largest equal-risk weight capped at 0.8 of itself, the first half floored above its share."""
    C, _ = factor_cov(n, seed)
    w = rp.solve_unconstrained(C).x
    cap = np.ones(n)
    cap[np.argmax(w)] = 0.8 * w.max()
    half = list(range(n // 2))
    return C, limits(n, cap.tolist(), [("half", half, min(1.0, 1.2 * w[half].sum()), 1.0)])


# ---- one call for every method: closed forms ------------------------------------------------

SIG = np.array([0.01, 0.02])
R_DAYS = np.random.default_rng(1).normal(0, 0.01, (60, 3))
W_BENCH = np.array([0.5, 0.3, 0.2])

CLOSED_FORMS = {
    # Two uncorrelated assets, variances 1 and 3 (×1e-4): w ∝ 1/v.
    "min variance": ("min_variance", np.diag([1e-4, 3e-4]), limits(2), {}, [0.75, 0.25]),
    # λ = 10, equal variances 0.01, μ = (0.02, 0.01): w1 = (λ·v + μ1 − μ2) / (2λ·v) = 0.55.
    "mean-variance": (
        "mean_variance",
        np.diag([0.01, 0.01]),
        limits(2),
        {"mu": [0.02, 0.01], "risk_aversion": 10},
        [0.55, 0.45],
    ),
    # Any real λ: a Fraction has no NumPy type (np.isfinite refused it with a TypeError).
    "mean-variance, λ a fraction": (
        "mean_variance",
        np.diag([0.01, 0.01]),
        limits(2),
        {"mu": [0.02, 0.01], "risk_aversion": Fraction(10)},
        [0.55, 0.45],
    ),
    # A benchmark that is a portfolio of the instruments (more days than instruments): tracked exactly.
    "tracking error": ("min_tracking_error", None, limits(3), {"R": R_DAYS, "b": R_DAYS @ W_BENCH}, W_BENCH),
    # Risk parity without limits: w ∝ 1/σ for two assets.
    "risk parity": ("risk_parity", np.diag(SIG**2), None, {}, [2 / 3, 1 / 3]),
    # The enum's value is the method.
    "risk parity, enum": (opt.OptimizeMethod.RISK_PARITY, np.diag(SIG**2), None, {}, [2 / 3, 1 / 3]),
    # A cap below the equal-risk weight: RC_1 − RC_2 increases along the budget, so the cap binds.
    "risk parity, cap": ("risk_parity", np.diag(SIG**2), limits(2, [0.5, 1.0]), {}, [0.5, 0.5]),
}


@pytest.mark.parametrize("case", CLOSED_FORMS)
def test_every_method_through_one_call(case):
    method, C, L, kw, expected = CLOSED_FORMS[case]
    sol = solve(method, C, L, **kw)
    assert isinstance(sol, Solution) and sol.converged and sol.status == "solved"
    np.testing.assert_allclose(sol.x, expected, rtol=0, atol=1e-10)
    # One English line.
    assert sol.message and sol.message.isascii() and "\n" not in sol.message
    name = getattr(method, "value", method)
    if name == "risk_parity":
        rc = sol.x * (C @ sol.x)
        assert sol.objective == pytest.approx(np.abs(rc[:, None] - rc[None, :]).sum() / 2, abs=1e-15)
        assert sol.path == ("equal" if L is None else "sca")
    elif name == "min_variance":
        assert sol.objective == pytest.approx(sol.x @ C @ sol.x, rel=1e-12)
        assert sol.kkt_residual <= 1e-10 and sol.polished


# ---- refusals ---------------------------------------------------------------------------------

C2 = np.diag([1e-4, 3e-4])
BAD_CALLS = {
    "unknown method": (lambda: solve("max_sharpe", C2, limits(2)), "method 必须为"),
    "QP without limits": (lambda: solve("min_variance", C2, None), "方法 min_variance 必须指定 limits"),
    "no expected returns": (lambda: solve("mean_variance", C2, limits(2), risk_aversion=1), "必须指定 mu"),
    "no risk aversion": (lambda: solve("mean_variance", C2, limits(2), mu=[0, 0]), "必须指定 risk_aversion"),
    "no returns": (lambda: solve("min_tracking_error", None, limits(2), b=np.zeros(5)), "必须指定 R"),
    "settings of another type": (
        lambda: solve("min_variance", C2, limits(2), {"tol": 1e-8}),
        "settings 必须为 Settings",
    ),
    "limits of another type": (lambda: solve("risk_parity", C2, {"lower": [0, 0]}), "limits 必须为 Limits"),
    "limits with NaN": (lambda: solve("risk_parity", C2, limits(2, [np.nan, 1.0])), "约束 upper 含有 NaN"),
    "mu of another length": (lambda: solve("mean_variance", C2, limits(2), mu=[0.1], risk_aversion=1), "mu 的长度"),
    "words for numbers": (lambda: solve("min_variance", [["a", "b"], ["c", "d"]], limits(2)), "C 必须为数值数组"),
    "unknown plain method": (lambda: rp.solve_unconstrained(C2, method="simplex"), "method 必须为 auto、ccd 或 newton"),
    "a point of another length": (lambda: qp.kkt_residual(2 * C2, np.zeros(2), limits(2), [1.0]), "x 的形状"),
}


@pytest.mark.parametrize("case", BAD_CALLS)
def test_bad_arguments_are_invalid_arguments(case):
    call, match = BAD_CALLS[case]
    with pytest.raises(InvalidArgument, match=match) as e:
        call()
    assert str(e.value).startswith("OPTIMIZER: ")


BAD_SETTINGS = [
    ({"max_iteration": 0}, "OPTIMIZER: max_iteration 必须为正整数，传入值为：0"),
    ({"max_iteration": 2.5}, "OPTIMIZER: max_iteration 必须为正整数，传入值为：2.5"),
    ({"max_iteration": True}, "OPTIMIZER: max_iteration 必须为正整数，传入值为：True"),
    ({"tol": 0.0}, "OPTIMIZER: tol 必须为正数，传入值为：0.0"),
    ({"tol": float("nan")}, "OPTIMIZER: tol 必须为正数，传入值为：nan"),
    ({"tol": "1e-8"}, "OPTIMIZER: tol 必须为正数，传入值为：1e-8"),
    ({"tol": 10**400}, f"OPTIMIZER: tol 必须为正数，传入值为：{10**400}"),  # an int beyond any float
    ({"eps": -1e-10}, "OPTIMIZER: eps 必须为正数，传入值为：-1e-10"),
    ({"guess_rounds": -1}, "OPTIMIZER: guess_rounds 必须为非负整数，传入值为：-1"),
    ({"guess_rounds_per": 0}, "OPTIMIZER: guess_rounds_per 必须为正整数，传入值为：0"),
    ({"sparse_ratio": float("nan")}, "OPTIMIZER: sparse_ratio 必须为非负数，传入值为：nan"),
    ({"one_blas_thread": 1}, "OPTIMIZER: one_blas_thread 必须为 True 或 False，传入值为：1"),
    ({"time_limit": 0}, "OPTIMIZER: time_limit 必须为正数（秒）或 None，传入值为：0"),
    ({"time_limit": -1.0}, "OPTIMIZER: time_limit 必须为正数（秒）或 None，传入值为：-1.0"),
    ({"time_limit": float("nan")}, "OPTIMIZER: time_limit 必须为正数（秒）或 None，传入值为：nan"),
    ({"time_limit": "10"}, "OPTIMIZER: time_limit 必须为正数（秒）或 None，传入值为：10"),
]


@pytest.mark.parametrize(("kw", "message"), BAD_SETTINGS)
def test_settings_are_checked_when_made(kw, message):
    with pytest.raises(InvalidArgument) as e:
        Settings(**kw)
    assert str(e.value) == message


@pytest.mark.parametrize(
    ("call", "message"),
    [
        # A solver's own keyword is checked under its own name, with the same text as the setting's.
        (lambda: qp.min_variance(C2, limits(2), max_iteration=0), "OPTIMIZER: max_iteration 必须为正整数，传入值为：0"),
        (lambda: rp.solve_with_limits(C2, limits(2), tol=-1.0), "OPTIMIZER: tol 必须为正数，传入值为：-1.0"),
        # Plain risk parity's tol is the unconstrained stop, still named tol for its caller.
        (lambda: rp.solve_unconstrained(C2, tol=0), "OPTIMIZER: tol 必须为正数，传入值为：0"),
    ],
)
def test_solver_keywords_are_checked_like_the_settings(call, message):
    with pytest.raises(InvalidArgument) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize(
    ("kw", "field", "value"),
    [
        ({"max_iteration": np.int64(7)}, "max_iteration", 7),
        ({"tol": np.float32(0.5)}, "tol", 0.5),
        ({"sparse_ratio": float("inf")}, "sparse_ratio", float("inf")),
        ({"guess_rounds": 0}, "guess_rounds", 0),
        ({"sparse_ratio": 10**400}, "sparse_ratio", float("inf")),  # too large for a float: no ratio reached
        ({"time_limit": 2}, "time_limit", 2.0),
        ({"time_limit": float("inf")}, "time_limit", None),  # no limit
    ],
)
def test_numpy_numbers_and_edge_values_are_accepted(kw, field, value):
    assert getattr(Settings(**kw), field) == value


# ---- how a solve ended: statuses, not exceptions ------------------------------------------------


@pytest.mark.parametrize("method", ["min_variance", "risk_parity, limits", "risk_parity, plain"])
def test_the_iteration_limit_is_a_status(method):
    C, _ = factor_cov(40, 2)
    L = None if method.endswith("plain") else limits(40, 0.05, [("g", list(range(10)), 0.0, 0.2)])
    if method.startswith("risk_parity, limits"):
        C, L = binding_risk_parity()
    sol = solve(method.split(",")[0], C, L, Settings(max_iteration=1))
    assert sol.status == "max_iteration" and not sol.converged
    assert np.all(np.isfinite(sol.x)) and "iteration limit" in sol.message
    if method == "risk_parity, limits":  # every iterate of the approximation is feasible
        assert L.violation(sol.x) <= 1e-12


@pytest.mark.parametrize("max_iteration", [2**31, 10**30])
@pytest.mark.parametrize("case", ["min variance", "risk parity", "risk parity, cap"])
def test_an_iteration_limit_beyond_the_engines_counters_is_no_limit(case, max_iteration):
    """The compiled solvers count in a C int: a larger limit raised TypeError from their bindings."""
    method, C, L, kw, expected = CLOSED_FORMS[case]
    sol = solve(method, C, L, Settings(max_iteration=max_iteration), **kw)
    assert sol.status == "solved"
    np.testing.assert_allclose(sol.x, expected, rtol=0, atol=1e-10)


@pytest.mark.parametrize(
    ("L", "found_by"),
    [
        (limits(3, 0.2), "interior point"),  # caps of 0.2 hold 0.6 at most: the interior point finds out
        (limits(3, [1.0, 0.7, 1.0], [("a", [0], 0.5, 0.4)]), "floor above its cap"),  # seen before any solve
    ],
)
def test_infeasible_limits_give_a_status_in_the_qp(L, found_by):
    sol = solve("min_variance", np.diag([1e-4, 2e-4, 3e-4]), L)
    assert sol.status == "infeasible" and not sol.converged
    assert found_by in sol.message and sol.message.isascii()


def test_a_barrier_solve_without_usable_weights_is_numerical(monkeypatch):
    # It raised OptimizationFailed before: a failure is now a status the caller reads.
    monkeypatch.setattr(rp._engine, "risk_parity_barrier", lambda C, *a: (np.full(C.shape[0], np.nan), 3, False))
    for L in (None, limits(2, [0.5, 1.0])):
        sol = solve("risk_parity", C2, L)
        assert sol.status == "numerical" and np.all(np.isnan(sol.x)) and sol.iterations == 3


def test_no_feasible_start_is_numerical(monkeypatch):
    """Limits that admit a portfolio (so no LimitConflict) but a QP that fails to find one."""
    monkeypatch.setattr(limits_qp, "daqp_solve", lambda *a, **k: None)
    C, L = binding_risk_parity()
    sol = solve("risk_parity", C, L)
    assert sol.status == "numerical" and np.all(np.isnan(sol.x)) and "start" in sol.message


def test_a_singular_jacobian_stops_at_a_feasible_portfolio_as_numerical(monkeypatch):
    """The spread phase cannot build its model: it stops where it is, feasible, and says why (it
    was reported as the iteration limit before)."""

    class Singular(Jacobian):
        def __init__(self, *args):
            super().__init__(*args)
            self.singular = True

    C, L = binding_risk_parity()
    monkeypatch.setattr(spread, "Jacobian", Singular)
    sol = solve("risk_parity", C, L)
    assert sol.status == "numerical" and sol.path == "sca" and "singular" in sol.message
    assert L.violation(sol.x) <= 1e-12


@pytest.mark.parametrize(
    "module",
    ["vela_optimizer.native", "vela_optimizer.native.riskparity", "vela_optimizer.native.qp", "vela_optimizer._blas"],
)
def test_each_native_module_imports_first_in_a_fresh_interpreter(module):
    """No import cycle, and risk parity imports the extension (which registers its engine) itself."""
    code = (
        f"import {module}; from vela_optimizer.native import solve; import numpy as np; "
        "print(solve('risk_parity', np.diag([1e-4, 4e-4]), None).status)"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "solved"


# ---- the instruments a solve set to zero, and why ---------------------------------------------


def capped_group_problem(seed, n=6):
    """Risk parity with the first three instruments in a group capped at 0.3 of their equal-risk
    weight: the spread is lowest with some of them at zero."""
    rng = np.random.default_rng(seed)
    B = rng.normal(size=(n, 3))
    C = B @ B.T * 1e-4 + np.diag(rng.uniform(1e-5, 4e-4, n))
    w = rp.solve_unconstrained(C).x
    return C, limits(n, 1.0, [("g", [0, 1, 2], 0.0, 0.3 * w[:3].sum())])


@pytest.mark.parametrize("seed, expected", [(0, [0, 1]), (1, [1, 2]), (3, [2])])
def test_risk_parity_lists_the_weights_a_binding_group_cap_set_to_zero(seed, expected):
    C, L = capped_group_problem(seed)
    r = solve("risk_parity", C, L)
    assert r.converged and r.path == "sca"
    assert [i for i, _ in r.zeros] == expected == np.flatnonzero(np.abs(r.x) <= 1e-12).tolist()
    assert {why for _, why in r.zeros} == {"group_cap"}
    assert L.A[0] @ r.x == pytest.approx(L.hi[0], abs=1e-12)  # the cap binds
    assert np.all(np.abs(r.x[expected] * (C @ r.x)[expected]) <= 1e-14)  # their contributions vanish


def test_qp_zeros_at_a_floor_or_a_cap_of_zero_and_inside_the_bounds():
    """Minimum variance: instruments at their floor of 0 and one capped at 0 (a stock that may not
    be bought and is not held) are "bound"; a long-short optimum of exactly 0 is "optimal"."""
    C, _ = factor_cov(12, seed=4)
    cap = [0.25] * 12
    cap[5] = 0.0
    r = solve("min_variance", C, limits(12, cap))
    zero = np.flatnonzero(np.abs(r.x) <= 1e-12).tolist()
    assert 5 in zero and len(zero) >= 2
    assert r.zeros == tuple((i, "bound") for i in zero)
    # ½‖x‖² + qᵀx under the budget: x = −q + ν with ν = (1 + Σq)/3 = 0, so x_0 = 0 inside [−1, 1].
    L = Limits.build(["a", "b", "c"], [-1.0] * 3, [1.0] * 3)
    s = qp.solve_qp(np.eye(3), np.array([0.0, -0.5, -0.5]), L)
    np.testing.assert_allclose(s.x, [0.0, 0.5, 0.5], rtol=0, atol=1e-15)
    assert s.zeros == ((0, "optimal"),)


def test_no_zeros_without_zero_weights_or_without_a_portfolio():
    C, L = binding_risk_parity()
    assert solve("risk_parity", C, L).zeros == ()
    assert solve("risk_parity", C, None).zeros == ()
    infeasible = limits(4, 0.2)
    assert solve("min_variance", np.eye(4) * 1e-4, infeasible).zeros == ()


# ---- the time limit and the iteration limit of every inner solver call ----------------------


class Clock:
    """A monotonic clock that moves ``step`` seconds at every reading: a time limit of t seconds
    is reached after about t / step readings, wherever the solve reads the clock."""

    def __init__(self, step):
        self.now, self.step = 0.0, step

    def monotonic(self):
        self.now += self.step
        return self.now


def with_clock(monkeypatch, step):
    from vela_optimizer.native import settings as settings_module

    monkeypatch.setattr(settings_module, "time", Clock(step))


@pytest.mark.parametrize("method", ["min_variance", "mean_variance", "min_tracking_error", "min_variance, caps"])
def test_a_time_limit_reached_before_any_iterate_gives_no_weights(monkeypatch, method):
    C, r = factor_cov(120, 5)
    L = limits(120, 0.05, [("g", list(range(30)), 0.0, 0.2)])
    if method.endswith("caps"):
        L = Limits.build(
            L.ids,
            L.lower,
            L.upper,
            [("g", list(range(30)), 0.0, 0.2)],
            holdings=np.full(120, 1 / 120),
            max_buy=0.1,
            max_sell=0.1,
        )
    kw = {
        "mean_variance": {"mu": r.mean(axis=0), "risk_aversion": 1.0},
        "min_tracking_error": {"R": r, "b": r.mean(axis=1) + 1e-3},
    }.get(method, {})
    with_clock(monkeypatch, 1.0)
    sol = solve(method.split(",")[0], C, L, Settings(time_limit=0.5), **kw)
    assert sol.status == "time_limit" and not sol.converged
    assert np.all(np.isnan(sol.x)) and "time limit" in sol.message and sol.iterations == 0


def test_a_time_limit_after_the_loose_pass_gives_its_iterate(monkeypatch):
    """The loose pass's polish fails (monkeypatched): by then the clock has passed the limit, and
    the loose iterate comes back, unpolished, instead of a second run."""
    from vela_optimizer.native.qp import active_set

    C, _ = factor_cov(40, 2)
    L = limits(40, 0.05, [("g", list(range(10)), 0.0, 0.2)])
    monkeypatch.setattr(qp, "polish", lambda *a, **k: None)
    with_clock(monkeypatch, 1.0)
    sol = solve("min_variance", C, L, Settings(time_limit=1.5, guess_rounds=0, small_n=0))
    assert sol.status == "time_limit" and not sol.polished and sol.iterations > 0
    assert np.all(np.isfinite(sol.x)) and L.violation(sol.x) <= 1e-3
    assert "after the loose interior point" in sol.message
    assert active_set.polish is not qp.polish


@pytest.mark.parametrize("step, qps", [(1.0, 3), (1.0, 8)])
def test_a_time_limit_in_risk_parity_gives_the_last_feasible_iterate(monkeypatch, step, qps):
    C, L = binding_risk_parity()
    full = solve("risk_parity", C, L)
    with_clock(monkeypatch, step)
    sol = solve("risk_parity", C, L, Settings(time_limit=qps * step))
    assert sol.status == "time_limit" and not sol.converged
    assert L.violation(sol.x) <= 1e-12 and sol.spread >= full.spread
    assert sol.iterations < full.iterations and "time limit" in sol.message


@pytest.mark.parametrize("flag, status", [(-7, "time_limit"), (-4, "max_iteration")])
@pytest.mark.parametrize("at_call", [1, 4])
def test_daqp_stopped_by_its_limits_ends_risk_parity_at_the_last_feasible_iterate(monkeypatch, flag, status, at_call):
    C, L = binding_risk_parity()
    real, calls = limits_qp.daqp.solve, []

    def limited(*args, **kw):
        calls.append(kw)
        if len(calls) == at_call:
            return np.full(len(args[1]), np.nan), 0.0, flag, {"lam": np.zeros(len(args[3]))}
        return real(*args, **kw)

    monkeypatch.setattr(limits_qp.daqp, "solve", limited)
    sol = solve("risk_parity", C, L, Settings(max_iteration=5000, time_limit=3600))
    assert sol.status == status and len(calls) == at_call
    assert all(kw["iter_limit"] == 5000 and 0 < kw["time_limit"] <= 3600 for kw in calls)
    if at_call == 1:  # the projection found no start
        assert np.all(np.isnan(sol.x))
    else:
        assert L.violation(sol.x) <= 1e-12
    assert ("iteration limit" if status == "max_iteration" else "time limit") in sol.message


def test_daqp_without_a_time_limit_is_given_none(monkeypatch):
    C, L = binding_risk_parity()
    real, seen = limits_qp.daqp.solve, []
    monkeypatch.setattr(limits_qp.daqp, "solve", lambda *a, **kw: seen.append(kw) or real(*a, **kw))
    assert solve("risk_parity", C, L, Settings(max_iteration=3000)).converged
    assert seen and all(kw["time_limit"] == 0 and kw["iter_limit"] == 3000 for kw in seen)
    # A small max_iteration (a count of QPs) still lets each QP finish: four iterations per
    # variable and row.
    seen.clear()
    solve("risk_parity", C, L, Settings(max_iteration=2))
    assert seen and all(kw["iter_limit"] >= 4 * C.shape[0] for kw in seen[:1])


@pytest.mark.parametrize("time_limit", [None, 60.0])
@pytest.mark.parametrize("method", ["min_variance", "mean_variance"])
def test_small_qps_give_daqp_what_is_left_of_the_time_limit(monkeypatch, method, time_limit):
    from vela_optimizer.native.qp import small

    C, L = binding_risk_parity()
    real, seen = small.daqp.solve, []
    monkeypatch.setattr(small.daqp, "solve", lambda *a, **kw: seen.append(kw) or real(*a, **kw))
    extra = {"mu": np.linspace(0.0, 1e-3, C.shape[0]), "risk_aversion": 2.0} if method == "mean_variance" else {}
    sol = solve(method, C, L, Settings(time_limit=time_limit), **extra)
    assert sol.converged and sol.solver == "daqp" and seen
    for kw in seen:
        assert kw.get("time_limit", 0) == 0 if time_limit is None else 0 < kw["time_limit"] <= time_limit
