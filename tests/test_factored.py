"""The shrunk covariance as a diagonal plus a low-rank term, and the native solves on it, against
the dense estimate and the dense solves, on small problems (with and without stocks missing
days, with caps, floors and group limits that bind, each method)."""

import dataclasses

import numpy as np
import pandas as pd
import pytest

import veladatac
from vela_optimizer import engine, optimizer
from vela_optimizer.limits import Limits
from vela_optimizer.native import SOLVED, Settings, factored, qp, solve
from vela_optimizer.native.riskparity import sca
from vela_optimizer.native.riskparity.squared import SquaredJacobian
from veladatac import sample

FEASIBLE = 1e-9
EXACT = 1e-8  # the factored answer's objective may exceed the dense one's by this, relatively


def returns(T, n, gaps, seed):
    """(T, n) daily returns of a 3-factor model; the last ``gaps`` stocks listed part-way."""
    rng = np.random.default_rng(seed)
    R = rng.normal(0, 0.01, (T, 3)) @ rng.normal(1, 0.4, (n, 3)).T + rng.normal(0, 0.02, (T, n))
    for j in range(gaps):
        R[: rng.integers(3, T // 2), n - 1 - j] = np.nan
    return R


def dense_of(R):
    """The module's estimate with the gap block raised as the package raises it."""
    C = optimizer._cov_shrinkage(pd.DataFrame(R))[0].to_numpy(dtype=float)
    return factored.raise_gaps_dense(C, np.flatnonzero(~np.isfinite(R).all(axis=0)))


def limits(n, cap, group_cap, floor, seed):
    """Caps on every weight, four groups of uneven size with the first capped at ``group_cap``
    and the last floored at ``floor``, the budget."""
    lab = np.random.default_rng(seed).choice(4, n, p=[0.4, 0.3, 0.2, 0.1])
    A = np.array([(lab == g).astype(float) for g in range(4)] + [np.ones(n)])
    lo = np.array([0.0, 0.0, 0.0, floor, 1.0])
    hi = np.array([group_cap, 1.0, 1.0, 1.0, 1.0])
    return Limits([str(i) for i in range(n)], np.zeros(n), np.full(n, cap), A, lo, hi, row_labels=[*"abcd", None])


@pytest.mark.parametrize("gaps", [0, 1, 7])
@pytest.mark.parametrize("T, n", [(30, 90), (60, 45)])
def test_the_factored_estimate_is_the_dense_one(T, n, gaps):
    R = returns(T, n, gaps, seed=T + n + gaps)
    fc, delta = factored.from_returns(R)
    dense, raised = dense_of(R)
    assert delta == pytest.approx(optimizer._cov_shrinkage(pd.DataFrame(R))[1], rel=1e-12)
    assert np.abs(fc.dense() - dense).max() <= 1e-12 * np.abs(dense).max()
    assert fc.raised == pytest.approx(raised, rel=1e-6, abs=1e-18)
    # Raised where pairwise, the estimate is a covariance: no portfolio of negative variance.
    assert np.linalg.eigvalsh(fc.dense()).min() >= -1e-12 * np.abs(dense).max()
    x = np.random.default_rng(0).normal(size=(n, 2))
    assert np.allclose(fc @ x, dense @ x, rtol=1e-12, atol=1e-15)
    assert fc.quadratic(x[:, 0]) == pytest.approx(x[:, 0] @ dense @ x[:, 0], rel=1e-12)
    keep = np.arange(0, n, 3)
    assert np.allclose(fc.take(keep).dense(), dense[np.ix_(keep, keep)], rtol=1e-12, atol=1e-18)
    assert np.allclose(fc.columns(keep), dense[:, keep], rtol=1e-12, atol=1e-18)


def objective(method, C, x, mu):
    if method == "min_variance":
        return float(x @ C @ x)
    if method == "mean_variance":
        return float(1.5 * (x @ C @ x) - mu @ x)
    rc = x * (C @ x)
    return float(np.abs(rc[:, None] - rc[None, :]).sum() / 2)


CASES = [
    # gaps, cap, first group's cap, last group's floor: none binding, caps, groups, both, a floor
    (0, 1.0, 1.0, 0.0),
    (6, 1.0, 1.0, 0.0),
    (0, 0.02, 1.0, 0.0),
    (6, 0.02, 0.25, 0.0),
    (0, 0.03, 0.3, 0.15),
    (9, 0.025, 0.3, 0.15),
]


@pytest.mark.parametrize("method", ["min_variance", "mean_variance", "risk_parity"])
@pytest.mark.parametrize("gaps, cap, group_cap, floor", CASES)
def test_factored_solves_match_the_dense_ones(method, gaps, cap, group_cap, floor):
    T, n = 40, 120
    R = returns(T, n, gaps, seed=gaps + int(100 * cap))
    fc, _ = factored.from_returns(R)
    dense, _ = dense_of(R)
    lim = limits(n, cap, group_cap, floor, seed=gaps)
    mu = np.nanmean(R, axis=0)
    extra = {"mu": mu, "risk_aversion": 3.0} if method == "mean_variance" else {}
    got = solve(method, fc, lim, Settings(), **extra)
    want = solve(method, dense, lim, Settings(), **extra)
    assert got.status == want.status == SOLVED
    assert lim.violation(got.x) <= FEASIBLE
    f_got, f_want = objective(method, dense, got.x, mu), objective(method, dense, want.x, mu)
    if method == "risk_parity" and want.path == "equal":
        # Equal contributions: both spreads are rounding; the weights are the one answer.
        assert got.path == "equal" and np.abs(got.x - want.x).max() <= 1e-9
    else:
        assert f_got <= f_want + EXACT * abs(f_want)
    if method != "risk_parity":
        assert np.abs(got.x - want.x).max() <= 1e-7  # a strictly convex QP: one minimiser


@pytest.mark.parametrize("screen", [False, True])
@pytest.mark.parametrize("gaps, cap, group_cap, floor", [c for c in CASES if c[2] < 1])
def test_risk_parity_with_the_squared_phase_in_factored_form_matches_the_dense_solve(
    monkeypatch, gaps, cap, group_cap, floor, screen
):
    # The squared phase's QPs lifted for the interior point, as above DENSE_SQUARED_N instruments;
    # with ``screen`` also screened first, as from Settings.screen_min_n instruments.
    monkeypatch.setattr(sca, "DENSE_SQUARED_N", 0)
    settings = Settings(screen_min_n=50) if screen else Settings()
    R = returns(40, 120, gaps, seed=gaps + int(100 * cap))
    fc, _ = factored.from_returns(R)
    dense, _ = dense_of(R)
    lim = limits(120, cap, group_cap, floor, seed=gaps)
    got = solve("risk_parity", fc, lim, settings)
    want = solve("risk_parity", dense, lim, Settings())
    assert got.status == want.status == SOLVED and got.path == want.path == "sca"
    assert lim.violation(got.x) <= FEASIBLE
    f_got, f_want = objective("risk_parity", dense, got.x, None), objective("risk_parity", dense, want.x, None)
    assert f_got <= f_want + EXACT * f_want


def test_risk_parity_under_a_turnover_cap_matches_the_dense_solve():
    T, n = 40, 100
    R = returns(T, n, 4, seed=11)
    fc, _ = factored.from_returns(R)
    dense, _ = dense_of(R)
    h = np.random.default_rng(2).dirichlet(np.ones(n))
    h = np.minimum(h, 0.03)
    h /= h.sum()
    lim = dataclasses.replace(limits(n, 0.03, 0.3, 0.0, seed=4), holdings=h, max_buy=0.2, max_sell=0.2)
    got = solve("risk_parity", fc, lim, Settings())
    want = solve("risk_parity", dense, lim, Settings())
    assert got.status == want.status == SOLVED and lim.violation(got.x) <= FEASIBLE
    assert np.maximum(got.x - h, 0).sum() <= 0.2 + FEASIBLE
    f_got, f_want = objective("risk_parity", dense, got.x, None), objective("risk_parity", dense, want.x, None)
    assert f_got <= f_want + EXACT * f_want


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    info = sample.build_store(
        tmp_path_factory.mktemp("factored") / "s.sqlite", n_stocks=80, n_funds=3, start="2025-06-01", seed=9
    )
    veladatac.init(info.path)
    yield info
    veladatac.init(None)


@pytest.mark.parametrize(
    "method, kwargs",
    [
        ("min_variance", {}),
        ("mean_variance", {"risk_aversion_coefficient": 2.0}),
        ("risk_parity", {}),
        ("risk_parity", {"bnds": {"*": (0, 0.03)}}),
    ],
)
def test_optimize_in_factored_form_gives_the_dense_answer(store, monkeypatch, method, kwargs):
    # A 10-day window over the sample's stocks: many more stocks than days, so the factored form.
    args = (store.stock_ids, store.end, optimizer.OptimizeMethod(method))
    kw = dict(window=10, quiet=True, **kwargs)
    got = engine.optimize(*args, **kw)
    T, n = got.returns.shape
    assert n >= factored.MIN_RATIO * T
    factors = got.covariance  # formed from the factors when read: the module's own estimate
    monkeypatch.setattr(factored, "MIN_RATIO", np.inf)
    want = engine.optimize(*args, **kw)
    assert got.solver == want.solver == "native"
    assert np.abs(factors.to_numpy() - want.covariance.to_numpy()).max() <= 1e-12 * want.covariance.abs().max().max()
    assert got.objective <= want.objective + EXACT * abs(want.objective) + (1e-15 if method == "risk_parity" else 0)
    assert np.abs(got.weights - want.weights).max() <= 1e-7


@pytest.mark.parametrize("method", ["min_variance", "mean_variance"])
@pytest.mark.parametrize("share", [0.05, 0.1, 0.25])
@pytest.mark.parametrize("gaps, cap, group_cap, floor", CASES)
def test_screened_factored_solves_match_the_dense_ones(monkeypatch, method, share, gaps, cap, group_cap, floor):
    # From Settings.screen_min_n instruments a factored QP is solved over a share of them first
    # and certified over all: a share too small to hold the budget (5 % of 600 under 2 % caps)
    # must fall back to the whole problem, and a screened answer, when accepted, must be the
    # whole problem's optimum (the dense solve, which never screens).
    from vela_optimizer.native.qp import screen

    accepted = []
    real = screen.screened

    def spy(red, settings):
        found = real(red, settings)
        accepted.append(found is not None)
        return found

    monkeypatch.setattr(screen, "screened", spy)
    T, n = 40, 600
    R = returns(T, n, gaps, seed=gaps + int(100 * cap))
    fc, _ = factored.from_returns(R)
    dense, _ = dense_of(R)
    lim = limits(n, cap, group_cap, floor, seed=gaps)
    mu = np.nanmean(R, axis=0)
    extra = {"mu": mu, "risk_aversion": 3.0} if method == "mean_variance" else {}
    settings = Settings(screen_share=share, guess_rounds=0)
    got = solve(method, fc, lim, settings, **extra)
    want = solve(method, dense, lim, settings, **extra)
    assert got.status == want.status == SOLVED and got.polished
    assert len(accepted) == 1
    if share * n * cap < 1.0:  # the screened instruments cannot hold the budget
        assert not accepted[0]
    elif share >= Settings().screen_share:
        assert accepted[0]  # on these problems the default share holds the optimum's support
    assert lim.violation(got.x) <= FEASIBLE
    f_got, f_want = objective(method, dense, got.x, mu), objective(method, dense, want.x, mu)
    assert f_got <= f_want + EXACT * abs(f_want)
    assert np.abs(got.x - want.x).max() <= 1e-7


@pytest.mark.parametrize("keep, c", [(None, 1.0), (np.arange(0, 30, 3), 1.0), (np.arange(5, 25), 0.25)])
def test_the_squared_qp_is_lifted_over_the_rank_of_its_jacobian(keep, c):
    # The interior point's lifted problem, its extra variables eliminated (A_x·x + A_z·z = 0), is
    # the squared-deviation QP's Hessian; the extra variables are J's rank, not one per instrument.
    rng = np.random.default_rng(3)
    n, r = 30, 4
    P = SquaredJacobian(rng.uniform(1, 3, n), rng.normal(size=(n, r)), rng.normal(size=(n, r)), 0.7)
    P = (P if keep is None else P.take(keep)).scaled(c)
    lift = P.lift()
    assert lift.A_z.shape[1] == r
    M = -np.linalg.solve(lift.A_z.toarray(), lift.A_x.toarray())  # z = M·x
    cross = np.zeros((P.n, r)) if getattr(lift, "P_xz", None) is None else lift.P_xz.toarray()
    H = lift.P_x.toarray() + cross @ M + M.T @ cross.T + M.T @ lift.P_z.toarray() @ M
    np.testing.assert_allclose(H, P.dense(), rtol=1e-12, atol=1e-12 * np.abs(P.dense()).max())


def test_the_factored_squared_phase_tries_no_greedy_guess(monkeypatch):
    # Over 100 instruments the greedy vertex never gave the squared QP's optimum (its weights are
    # mostly between their bounds): the interior point solves it, and the answer is the dense one.
    monkeypatch.setattr(sca, "DENSE_SQUARED_N", 0)
    calls, inside = [], [False]
    guess, squared_qp = qp.guess_and_check, sca.SpreadSCA._squared_qp

    def spy_guess(*a, **k):
        calls.extend([1] if inside[0] else [])
        return guess(*a, **k)

    def spy_qp(self, w):
        inside[0] = True
        try:
            return squared_qp(self, w)
        finally:
            inside[0] = False

    monkeypatch.setattr(qp, "guess_and_check", spy_guess)
    monkeypatch.setattr(sca.SpreadSCA, "_squared_qp", spy_qp)
    R = returns(40, 150, 2, seed=5)
    fc, _ = factored.from_returns(R)
    lim = limits(150, 0.02, 0.3, 0.05, seed=5)
    got = solve("risk_parity", fc, lim, Settings())
    want = solve("risk_parity", dense_of(R)[0], lim, Settings())
    assert got.status == want.status == SOLVED and got.path == "sca" and lim.violation(got.x) <= FEASIBLE
    assert not calls
    f_got, f_want = (objective("risk_parity", dense_of(R)[0], x, None) for x in (got.x, want.x))
    assert f_got <= f_want + EXACT * f_want
