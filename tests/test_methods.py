"""The five optimisation methods and their contract with the minimizer."""

import inspect
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
import scipy.spatial as scsp

from vela_optimizer import optimizer
from vela_optimizer.exception import InvalidArgument, OptimizationFailed

BUDGET = {"type": "eq", "fun": lambda x: sum(x) - 1}
NOT_CONVERGED = "OPTIMIZER: 优化无法收敛到足够精度"
INVALID_RESULT = "OPTIMIZER: 优化结果包含无效数值（NaN 或 inf）"
SLSQP_METHODS = [
    "risk_parity_with_cons_optimize",
    "min_variance_optimize",
    "mean_variance_optimize",
    "min_tracking_error_optimize",
]
METHODS = ["risk_parity_optimize"] + SLSQP_METHODS

RNG = np.random.default_rng(7)
IDS = ["000001.XSHE", "600000.XSHG", "000002.XSHE", "600519.XSHG", "300750.XSHE"]
RETURNS = pd.DataFrame(
    RNG.normal(0.0005, 0.02, (60, 5)) @ np.diag([1, 1.5, 0.7, 2, 1.2]),
    columns=IDS,
    index=pd.bdate_range("2024-01-02", periods=60),
)
COV = RETURNS.cov()
MU = RETURNS.mean()
BENCH = RETURNS.mean(axis=1) + RNG.normal(0, 0.002, 60)


def diag(*variances):
    labels = IDS[: len(variances)]
    return pd.DataFrame(np.diag(variances), index=labels, columns=labels)


def call(method, **given):
    """Call `method` with the arguments it takes from a default 5-instrument problem."""
    n = len(IDS)
    args = dict(
        c_m=COV,
        init_weight=[1 / n] * n,
        bounds=[(0, 1)] * n,
        cons=BUDGET,
        max_iteration=1000,
        tol=1e-8,
        risk_aversion_coefficient=3,
        expected_return=MU,
        benchmark=BENCH,
        df=RETURNS,
    )
    args.update(given)
    params = inspect.signature(getattr(optimizer, method)).parameters
    return getattr(optimizer, method)(**{k: args[k] for k in params})


def result(x=None, success=True, nit=3, status=0, message="done"):
    return SimpleNamespace(success=success, nit=nit, status=status, message=message, x=x)


class FakeMinimizer:
    """Stands in for scipy.optimize: records each call; answers with the given results in turn
    (the last one repeats); a result without x returns the starting point."""

    def __init__(self, *results):
        self.results, self.calls = list(results) or [result()], []

    def minimize(self, fun, x0, *args, **kwargs):
        options = kwargs["options"]
        self.calls.append(
            SimpleNamespace(fun=fun, x0=x0, args=args, kwargs=kwargs, options=options, ftol=options.get("ftol"))
        )
        r = self.results[min(len(self.calls), len(self.results)) - 1]
        return r if r.x is not None else SimpleNamespace(**{**vars(r), "x": np.array(x0, dtype=float)})


@pytest.fixture
def fake(monkeypatch):
    def install(*results):
        f = FakeMinimizer(*results)
        monkeypatch.setattr(optimizer, "sc_opt", f)
        return f

    return install


# ---- closed-form answers with the real minimizer ----


def two_asset_mean_variance(lam):
    return dict(
        c_m=diag(1e-4, 1e-4),
        init_weight=[0.5, 0.5],
        risk_aversion_coefficient=lam,
        expected_return=pd.Series([1e-4, 2e-4]),
        bounds=[(0, 1)] * 2,
    )


FOUR = RETURNS.iloc[:, :4]
CLOSED_FORM = [
    (
        "risk_parity_optimize",
        dict(c_m=diag(1e-4, 4e-4), init_weight=[0.5, 0.5], bounds=[(1e-6, None)] * 2),
        [2 / 3, 1 / 3],
        1e-4,
    ),
    (
        "risk_parity_with_cons_optimize",
        dict(c_m=diag(1e-4, 4e-4), init_weight=[0.5, 0.5], bounds=[(0, 1)] * 2),
        [2 / 3, 1 / 3],
        1e-4,
    ),
    (
        "risk_parity_with_cons_optimize",
        dict(c_m=diag(2e-4, 2e-4, 2e-4), init_weight=[1 / 3] * 3, bounds=[(0, 1)] * 3),
        [1 / 3] * 3,
        1e-12,
    ),
    (
        "min_variance_optimize",
        dict(c_m=diag(1e-4, 4e-4), init_weight=[0.5, 0.5], bounds=[(0, 1)] * 2),
        [0.8, 0.2],
        1e-7,
    ),
    # Unscaled, SLSQP stopped after one iteration at 1/3 each (F9).
    (
        "min_variance_optimize",
        dict(c_m=diag(1e-4, 2e-4, 3e-4), init_weight=[1 / 3] * 3, bounds=[(0, 1)] * 3),
        [6 / 11, 3 / 11, 2 / 11],
        1e-7,
    ),
    ("mean_variance_optimize", two_asset_mean_variance(10), [0.45, 0.55], 1e-7),
    ("mean_variance_optimize", two_asset_mean_variance(0), [0.0, 1.0], 1e-7),
    # λ = 1e6 at the default tol approaches the minimum-variance answer (F9).
    (
        "mean_variance_optimize",
        dict(
            c_m=diag(1e-4, 2e-4, 3e-4),
            init_weight=[1 / 3] * 3,
            risk_aversion_coefficient=1e6,
            expected_return=[3e-4, 2e-4, 1e-4],
            bounds=[(0, 1)] * 3,
        ),
        [6 / 11, 3 / 11, 2 / 11],
        1e-5,
    ),
    (
        "min_tracking_error_optimize",
        dict(df=FOUR, benchmark=FOUR.iloc[:, 2], init_weight=[0.25] * 4, bounds=[(0, 1)] * 4),
        [0, 0, 1, 0],
        1e-6,
    ),
    (
        "min_tracking_error_optimize",
        dict(df=FOUR, benchmark=FOUR.mean(axis=1), init_weight=[0.25] * 4, bounds=[(0, 1)] * 4),
        [0.25] * 4,
        1e-6,
    ),
]


@pytest.mark.parametrize("method, given, expected, atol", CLOSED_FORM)
def test_closed_form_answers(method, given, expected, atol):
    weights = call(method, **given)
    labels = list(given["df"].columns if "df" in given else given["c_m"].index)
    assert list(weights) == labels
    assert all(type(w) is float for w in weights.values())
    np.testing.assert_allclose(list(weights.values()), expected, atol=atol)
    if method == "risk_parity_optimize":
        assert sum(weights.values()) == pytest.approx(1, abs=1e-15)


def test_min_variance_on_a_wide_covariance_reaches_the_optimum():
    """One-factor covariance of 60 stocks whose optimum is interior (C⁻¹·1 > 0): unscaled, SLSQP
    stopped after one iteration with weights 0.03 off."""
    rng = np.random.default_rng(3)
    beta = rng.uniform(0.8, 1.2, 60)
    cov = 3e-5 * np.outer(beta, beta) + np.diag(rng.uniform(2e-4, 6e-4, 60))
    exact = np.linalg.solve(cov, np.ones(60))
    assert (exact > 0).all()
    w = optimizer.min_variance_optimize(pd.DataFrame(cov), [1 / 60] * 60, [(0, 1)] * 60, BUDGET, 1000, 1e-8)
    np.testing.assert_allclose(list(w.values()), exact / exact.sum(), atol=1e-4)


# ---- objectives and gradients ----


def captured(fake, method, **given):
    minimizer = fake()
    call(method, **given)
    return minimizer.calls[0]


def te_scale(df):
    complete = df.dropna()
    return (complete**2).sum().mean()


GAPPY = RETURNS.copy()
GAPPY.iloc[:9, 1] = np.nan  # listed inside the window
GAPPY_BENCH = BENCH.copy()
GAPPY_BENCH.iloc[30] = np.nan
X = np.array([0.3, 0.1, 0.25, 0.15, 0.2])
d = np.mean(np.diag(COV))
BARRIER = 15
# (method, arguments, closure name, numpy expression of the unscaled value, scale)
OBJECTIVES = [
    (
        "risk_parity_optimize",
        {},
        "log_barrier_risk_parity_obj_fun",
        lambda x: np.dot(x, np.dot(COV, x)) - BARRIER * sum(np.log(x)),
        1,
    ),
    (
        "risk_parity_with_cons_optimize",
        {},
        "risk_parity_with_con_obj_fun",
        lambda x: np.sum(scsp.distance.pdist(np.multiply(x, np.dot(COV, x))[:, None], "euclidean")),
        1,
    ),
    ("min_variance_optimize", {}, "min_variance_obj_fun", lambda x: np.dot(np.dot(x, COV), x), d),
    (
        "mean_variance_optimize",
        {},
        "mean_variance_obj_fun",
        lambda x: np.multiply(3 / 2, np.dot(np.dot(x, COV), x)) - np.dot(x, MU),
        3 * d,
    ),
    (
        "mean_variance_optimize",
        {"risk_aversion_coefficient": 0.25},
        "mean_variance_obj_fun",
        lambda x: np.multiply(0.25 / 2, np.dot(np.dot(x, COV), x)) - np.dot(x, MU),
        d,
    ),
    (
        "min_tracking_error_optimize",
        {},
        "min_TE_obj_fun",
        lambda x: np.dot(np.subtract(BENCH, np.dot(RETURNS, x)).T, np.subtract(BENCH, np.dot(RETURNS, x))),
        te_scale(RETURNS),
    ),
    # F3: only the days on which the benchmark and every column have a value.
    (
        "min_tracking_error_optimize",
        {"df": GAPPY, "benchmark": GAPPY_BENCH},
        "min_TE_obj_fun",
        lambda x: np.sum((GAPPY_BENCH - GAPPY @ x)[GAPPY.notna().all(axis=1) & GAPPY_BENCH.notna()] ** 2),
        te_scale(GAPPY[GAPPY_BENCH.notna()]),
    ),
]


@pytest.mark.parametrize("method, given, name, expression, scale", OBJECTIVES)
def test_objective_is_the_formula_over_its_scale(fake, method, given, name, expression, scale):
    fun = captured(fake, method, **given).fun
    assert (fun.__name__, fun.__qualname__, fun.__module__) == (
        name,
        f"{method}.<locals>.{name}",
        "vela_optimizer.optimizer",
    )
    for x in (X, np.full(5, 0.2), np.array([0.9, 0.025, 0.025, 0.025, 0.025])):
        value = fun(x)
        assert type(value) is float
        assert value * scale == pytest.approx(float(expression(x)), rel=1e-12, abs=0)


@pytest.mark.parametrize(
    "rc",
    [
        [1.0, 3.0],
        [1e-6 * (1 + 1e-9 * k) for k in RNG.permutation(300)],  # nearly equal: Σ(2k−n+1)·s_k would cancel
        [5e-6] + [1e-6 * (1 + 1e-12 * k) for k in range(299)],  # one outlier, the rest in one bucket
        list(RNG.lognormal(-13, 2, 301)),
        [2.0, 2.0, -1.0, 2.0, 0.0],
    ],
)
def test_risk_contribution_spread_matches_every_pair(fake, rc):
    """C = diag(rc) and x = 1 give RC_i = rc_i; the sorted sum must agree with pdist."""
    n = len(rc)
    labels = list(range(n))
    fun = captured(
        fake,
        "risk_parity_with_cons_optimize",
        c_m=pd.DataFrame(np.diag(rc), index=labels, columns=labels),
        init_weight=[1 / n] * n,
        bounds=[(0, 1)] * n,
    ).fun
    expected = np.sum(scsp.distance.pdist(np.array(rc)[:, None], "euclidean"))
    assert fun(np.ones(n)) == pytest.approx(expected, rel=1e-12, abs=0)


def test_risk_contribution_spread_with_a_nan_is_nan(fake):
    fun = captured(fake, "risk_parity_with_cons_optimize").fun
    assert np.isnan(fun(np.array([0.2, np.nan, 0.2, 0.2, 0.2])))


ASYMMETRIC = COV + np.triu(np.full((5, 5), 1e-5))
GRADIENTS = [
    (
        "risk_parity_optimize",
        {},
        "log_barrier_risk_parity_gradient",
        lambda x: np.multiply(2, np.dot(COV, x)) - np.multiply(BARRIER, np.reciprocal(x)),
        1,
    ),
    ("min_variance_optimize", {}, "min_variance_gradient", lambda x: np.multiply(2, np.dot(COV, x)), d),
    (
        "mean_variance_optimize",
        {},
        "mean_variance_gradient",
        lambda x: np.asarray(np.multiply(3, np.dot(x, COV)).transpose() - MU, dtype=np.float64).flatten(),
        3 * d,
    ),
    # xᵀ·C, not C·x: the two differ for an asymmetric table
    (
        "mean_variance_optimize",
        {"c_m": ASYMMETRIC},
        "mean_variance_gradient",
        lambda x: np.asarray(np.multiply(3, np.dot(x, ASYMMETRIC)).transpose() - MU, dtype=np.float64).flatten(),
        3 * np.mean(np.diag(ASYMMETRIC)),
    ),
]


@pytest.mark.parametrize("method, given, name, expression, scale", GRADIENTS)
def test_gradient_is_the_formula_and_matches_finite_differences(fake, method, given, name, expression, scale):
    seen = captured(fake, method, **given)
    jac = seen.kwargs["jac"]
    assert (jac.__name__, jac.__qualname__) == (name, f"{method}.<locals>.{name}")
    g = jac(X)
    assert isinstance(g, np.ndarray) and g.dtype == np.float64 and g.shape == (5,)
    np.testing.assert_allclose(g * scale, expression(X), rtol=1e-12)
    if "c_m" not in given:
        h = 1e-7
        numeric = [(seen.fun(X + h * e) - seen.fun(X - h * e)) / (2 * h) for e in np.eye(5)]
        np.testing.assert_allclose(g, numeric, rtol=1e-6)


@pytest.mark.parametrize("method", METHODS)
def test_wrong_length_x_is_a_shape_error(fake, method):
    seen = captured(fake, method)
    with pytest.raises(ValueError):
        seen.fun(np.ones(4))


# ---- the call of the minimizer ----


@pytest.mark.parametrize(
    "method, solver, has_jac, options",
    [
        ("risk_parity_optimize", "L-BFGS-B", True, {"maxiter": 77}),
        ("risk_parity_with_cons_optimize", "SLSQP", False, {"maxiter": 77, "ftol": 1e-6}),
        ("min_variance_optimize", "SLSQP", True, {"maxiter": 77, "ftol": 1e-6}),
        ("mean_variance_optimize", "SLSQP", True, {"maxiter": 77, "ftol": 1e-6}),
        ("min_tracking_error_optimize", "SLSQP", False, {"maxiter": 77, "ftol": 1e-6}),
    ],
)
def test_minimizer_gets_exactly_the_listed_arguments(fake, method, solver, has_jac, options):
    init, bounds = [0.2] * 5, [(0, 1)] * 5
    seen = captured(fake, method, init_weight=init, bounds=bounds, max_iteration=np.int64(77), tol=np.float64(1e-6))
    keys = ["method"] + ["jac"] * has_jac + ["bounds"] + ["constraints"] * (solver == "SLSQP") + ["options"]
    assert seen.args == () and seen.x0 is init and list(seen.kwargs) == keys
    assert seen.kwargs["method"] == solver and seen.kwargs["bounds"] is bounds
    assert seen.kwargs.get("constraints", BUDGET) is BUDGET
    assert list(seen.options.items()) == list(options.items())


RELAXED = np.array([0.1, 0.2, 0.3, 0.25, 0.15])


@pytest.mark.parametrize("method", SLSQP_METHODS)
@pytest.mark.parametrize(
    "tol, solves, ftols",
    [
        (1e-8, 5, [1e-8, 1e-7, 1e-6, 9.999999999999999e-06, 9.999999999999999e-05]),
        (1e-5, 1, [1e-5]),  # the test on ftol comes before the multiplication
        (2e-6, 2, [2e-6, 1.9999999999999998e-05]),  # 2e-6 * 10, as the host multiplies
        (1e-8, 3, [1e-8, 1e-7, 1e-6]),  # the third solve succeeds
    ],
)
def test_relaxation_loop(fake, method, tol, solves, ftols):
    exit8 = result(success=False, nit=5, status=8, message="Positive directional derivative for linesearch")
    minimizer = fake(*[exit8] * (solves - 1), result(x=RELAXED) if len(ftols) == 3 else exit8)
    init = [0.2] * 5
    if len(ftols) == 3:
        assert list(call(method, init_weight=init, tol=tol).values()) == list(RELAXED)
    else:
        with pytest.raises(OptimizationFailed) as err:
            call(method, init_weight=init, tol=tol)
        assert err.value.args == (NOT_CONVERGED,)
    assert [c.ftol for c in minimizer.calls] == ftols
    assert all(c.x0 is init and c.options is minimizer.calls[0].options for c in minimizer.calls)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("nit, accepted", [(100, True), (101, True), (99, False)])
def test_iteration_limit_is_no_failure_other_exits_pass_the_message(fake, method, nit, accepted):
    message = object()  # the solver's message object itself, whatever its type
    x = np.array([0.4, 0.1, 0.2, 0.1, 0.2])
    minimizer = fake(result(success=False, nit=nit, status=9, message=message, x=x))
    if accepted:
        assert list(call(method, max_iteration=100).values()) == pytest.approx(list(x), rel=1e-15, abs=0)
    else:
        with pytest.raises(OptimizationFailed) as err:
            call(method, max_iteration=100)
        assert err.value.args[0] is message
    assert len(minimizer.calls) == 1


def test_lbfgsb_fails_at_once_even_on_status_8(fake):
    minimizer = fake(result(success=False, nit=2, status=8, message="ABNORMAL"))
    with pytest.raises(OptimizationFailed, match="ABNORMAL"):
        call("risk_parity_optimize")
    assert len(minimizer.calls) == 1


# ---- results ----


def test_result_keys_pair_labels_by_position_later_duplicate_wins(fake):
    fake(result(x=np.array([0.1, 0.3, 0.6])))
    labels = ["a", "b", "a"]
    weights = call("min_variance_optimize", c_m=pd.DataFrame(np.eye(3), index=labels, columns=labels))
    assert weights == {"a": 0.6, "b": 0.3}


@pytest.mark.parametrize(
    "method, x",
    [(m, x) for m in METHODS for x in ([0.2, np.nan, 0.2, 0.2, 0.4], [0.2, np.inf, 0.2, 0.2, 0.4])]
    + [("risk_parity_optimize", [0.5, -0.5, 0.0, 0.0, 0.0]), ("risk_parity_optimize", [1e308] * 5)],
)
def test_accepted_result_with_invalid_numbers_fails(fake, method, x):
    fake(result(x=np.array(x)))
    with pytest.raises(OptimizationFailed) as err:
        call(method)
    assert err.value.args == (INVALID_RESULT,)


# ---- refused arguments ----


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("max_iteration", [0, -3, 1.5, 1000.0, True, "1000", None])
def test_max_iteration_must_be_a_positive_integer(fake, method, max_iteration):
    minimizer = fake()
    with pytest.raises(InvalidArgument) as err:
        call(method, max_iteration=max_iteration, tol=0)  # checked before tol
    assert err.value.args == (f"OPTIMIZER: max_iteration 必须为正整数，传入值为：{max_iteration}",)
    assert minimizer.calls == []


@pytest.mark.parametrize("method", SLSQP_METHODS)
@pytest.mark.parametrize("tol", [0, -1e-8, 0.0, float("nan"), float("inf"), "1e-8", None, 1j])
def test_tol_must_be_a_finite_positive_number(fake, method, tol):
    minimizer = fake()
    with pytest.raises(InvalidArgument) as err:
        call(method, tol=tol)
    assert err.value.args == (f"OPTIMIZER: tol 必须为正数，传入值为：{tol}",)
    assert minimizer.calls == []


@pytest.mark.parametrize(
    "df, benchmark",
    [
        (RETURNS.iloc[:1], BENCH.iloc[:1]),
        (GAPPY.iloc[:10], BENCH.iloc[:10]),  # one complete day left
        (RETURNS.iloc[:5], pd.Series([np.nan] * 4 + [0.01])),
    ],
)
def test_tracking_error_needs_two_complete_days(fake, df, benchmark):
    minimizer = fake()
    with pytest.raises(InvalidArgument) as err:
        call("min_tracking_error_optimize", df=df, benchmark=benchmark)
    assert err.value.args == ("OPTIMIZER: 基准与合约的共同有效交易日不足2天",)
    assert minimizer.calls == []


def test_benchmark_is_matched_to_rows_by_position():
    relabelled = pd.Series(FOUR.iloc[:, 1].values, index=range(100, 160))
    weights = call(
        "min_tracking_error_optimize", df=FOUR, benchmark=relabelled, init_weight=[0.25] * 4, bounds=[(0, 1)] * 4
    )
    np.testing.assert_allclose(list(weights.values()), [0, 1, 0, 0], atol=1e-6)


def test_benchmark_length_mismatch_fails_on_first_evaluation(monkeypatch):
    calls = []

    def minimize(fun, x0, **kwargs):
        calls.append(x0)
        return fun(np.asarray(x0, dtype=float))

    monkeypatch.setattr(optimizer, "sc_opt", SimpleNamespace(minimize=minimize))
    with pytest.raises(ValueError, match=r"\(59,\) \(60,\)"):
        call("min_tracking_error_optimize", benchmark=BENCH.iloc[1:])
    assert len(calls) == 1


@pytest.mark.parametrize(
    "method, given",
    [
        ("min_variance_optimize", {"c_m": COV.iloc[:, :4]}),
        ("risk_parity_optimize", {"c_m": np.diag([1e-4] * 5)}),  # no labels to key the result
        ("mean_variance_optimize", {"expected_return": MU.iloc[:4]}),
        ("mean_variance_optimize", {"expected_return": COV}),
        ("min_tracking_error_optimize", {"df": BENCH}),
    ],
)
def test_malformed_inputs_are_refused_before_solving(fake, method, given):
    minimizer = fake()
    with pytest.raises((ValueError, AttributeError)):
        call(method, **given)
    assert minimizer.calls == []


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("extra", [-1, 1])
def test_argument_count_is_checked_before_any_work(fake, method, extra):
    minimizer = fake()
    n = len(inspect.signature(getattr(optimizer, method)).parameters)
    with pytest.raises(TypeError, match=method):
        getattr(optimizer, method)(*([None] * (n + extra)))
    assert minimizer.calls == []
