"""Minimum tracking error with far more instruments than days (the whole market: 69 to 132 days,
1,000 to 2,000 stocks), on small problems of the same shape: the interior point in the days'
dimension and the polish in the row space of the free days and held rows, against PIQP's dense
solver on the formed problem to a tight tolerance and against the KKT conditions checked here;
under a cap on trades, against the same dense solve with the trades as variables."""

import dataclasses

import numpy as np
import pytest
import scipy.optimize

from vela_optimizer.limits import Limits
from vela_optimizer.native import qp
from vela_optimizer.native.qp import active_set, model
from vela_optimizer.native.settings import Settings

FEASIBLE = 1e-9
EXACT = 1e-8  # relative excess of the objective over the dense solve's allowed


def wide_problem(seed, T, n, cap, group_cap, floor, benchmark, turnover=None, open_floors=False):
    """(R (T, n), b, limits): three-factor returns, four groups (the first capped at ``group_cap``,
    the last floored at ``floor``), every weight capped at ``cap``, the budget; with ``turnover``
    holdings of equal weight over a third of the names and buys and sells each capped at it.
    The benchmark: ``replicable`` the returns of a feasible portfolio (zero tracking error is
    reachable, the minimisers a whole face), ``tilted`` one leaning on the capped group,
    ``open_floors``: the first three groups without a floor (rows bounded on one side only).
    ``leveraged`` 20 times a portfolio's (out of reach of any budget-one portfolio); ``tilted``
    and ``leveraged`` leave a positive tracking error, the limits binding."""
    rng = np.random.default_rng(seed)
    R = rng.normal(0, 0.01, (T, 3)) @ rng.normal(1, 0.4, (n, 3)).T + rng.normal(0, 0.02, (T, n))
    label = rng.choice(4, n, p=[0.35, 0.3, 0.2, 0.15])
    A = np.array([(label == g).astype(float) for g in range(4)] + [np.ones(n)])
    lo = np.array([-np.inf if open_floors else 0.0] * 3 + [floor, 1.0])
    hi = np.array([group_cap, 1.0, 1.0, 1.0, 1.0])
    # A feasible portfolio: equal weights within each group, the first at its cap, the last at
    # its floor where that floor is above an equal share.
    share = np.array([min(group_cap, 0.35), 0.0, 0.0, max(floor, 0.15)])
    share[1:3] = (1.0 - share[0] - share[3]) * np.array([0.6, 0.4])
    w0 = share[label] / np.bincount(label, minlength=4)[label]
    assert w0.max() <= cap and abs(w0.sum() - 1.0) < 1e-12
    if benchmark == "replicable":
        b = R @ w0
    elif benchmark == "tilted":
        b = 5.0 * (R @ (0.5 * w0 + 0.5 * (label == 0) / (label == 0).sum())) + rng.normal(0, 0.002, T)
    else:
        b = 20.0 * (R @ w0)
    extra = {}
    if turnover is not None:
        # Holdings that meet the limits: the feasible portfolio, shuffled within each group.
        h = w0.copy()
        for g in range(4):
            members = np.flatnonzero(label == g)
            h[members] = h[rng.permutation(members)]
        h[label == 1] *= rng.uniform(0.5, 1.5, (label == 1).sum())
        h[label == 1] *= share[1] / h[label == 1].sum()
        extra = dict(holdings=h, max_buy=turnover, max_sell=turnover)
    limits = Limits([str(i) for i in range(n)], np.zeros(n), np.full(n, cap), A, lo, hi, **extra)
    return R, b, limits


def dense_reference(R, b, limits):
    """PIQP's dense solver on ‖b − R x‖² over (x, bought, sold) with x − h = bought − sold, the
    sums of each capped (without holdings, over x alone), to 1e-11; its x."""
    import piqp

    T, n = R.shape
    capped = limits.holdings is not None
    k = 3 * n if capped else n
    P = np.zeros((k, k))
    P[:n, :n] = 2.0 * R.T @ R
    c = np.zeros(k)
    c[:n] = -2.0 * R.T @ b
    eq = limits.lo == limits.hi
    A_eq = np.zeros((int(eq.sum()) + (n if capped else 0), k))
    A_eq[: eq.sum(), :n] = limits.A[eq]
    b_eq = list(limits.lo[eq])
    G = np.zeros((int((~eq).sum()) + (2 if capped else 0), k))
    G[: (~eq).sum(), :n] = limits.A[~eq]
    g_lo, g_hi = list(limits.lo[~eq]), list(limits.hi[~eq])
    lower, upper = np.concatenate([limits.lower, np.zeros(k - n)]), np.concatenate([limits.upper, np.ones(k - n)])
    if capped:
        rows = eq.sum() + np.arange(n)
        A_eq[rows, np.arange(n)] = 1.0
        A_eq[rows, n + np.arange(n)] = -1.0
        A_eq[rows, 2 * n + np.arange(n)] = 1.0
        b_eq += list(limits.holdings)
        G[-2, n : 2 * n] = 1.0
        G[-1, 2 * n :] = 1.0
        g_lo += [-np.inf, -np.inf]
        g_hi += [limits.max_buy, limits.max_sell]
    solver = piqp.DenseSolver()
    solver.settings.verbose = False
    solver.settings.eps_abs = solver.settings.eps_rel = 1e-11
    solver.settings.max_iter = 500
    solver.setup(P, c, A_eq, np.array(b_eq), G, np.array(g_lo), np.array(g_hi), lower, upper)
    solver.solve()
    return np.array(solver.result.x)[:n]


def kkt_gap(R, b, limits, x, tol=1e-9):
    """The largest stationarity residual left at ``x`` of ‖b − R x‖² under the limits (no caps on
    trades) once sign-constrained multipliers are chosen for the bounds and rows within ``tol``
    of x (bounded least squares, scipy's BVLS), relative to the gradient's size."""
    g = 2.0 * R.T @ (R @ x - b)
    n = x.size
    at_lo, at_hi = x <= limits.lower + tol, x >= limits.upper - tol
    ax = limits.A @ x
    eq = limits.lo == limits.hi
    row_lo, row_hi = ~eq & (ax <= limits.lo + tol), ~eq & (ax >= limits.hi - tol)
    rows = eq | row_lo | row_hi
    # g + A_Wᵀν − z_lo + z_hi = 0: ν free on equalities, ≥ 0 at a cap, ≤ 0 at a floor.
    M = np.hstack([limits.A[rows].T, -np.eye(n)[:, at_lo], np.eye(n)[:, at_hi]])
    nu_lo = np.where(eq, -np.inf, np.where(row_hi, 0.0, -np.inf))[rows]
    nu_hi = np.where(eq, np.inf, np.where(row_lo, 0.0, np.inf))[rows]
    lo = np.concatenate([nu_lo, np.zeros(int(at_lo.sum() + at_hi.sum()))])
    hi = np.concatenate([nu_hi, np.full(int(at_lo.sum() + at_hi.sum()), np.inf)])
    if M.shape[1] == 0:
        return float(np.abs(g).max()) / max(float(np.abs(2.0 * R.T @ b).max()), 1e-300)
    found = scipy.optimize.lsq_linear(M, -g, bounds=(lo, hi), method="bvls", tol=1e-14)
    size = max(float(np.abs(2.0 * R.T @ (R @ x)).max()), float(np.abs(2.0 * R.T @ b).max()), 1e-300)
    return float(np.abs(M @ found.x + g).max()) / size


WIDE = [
    # seed, days, instruments, cap, first group's cap, last group's floor, benchmark, open floors
    (1, 20, 150, 1.0, 1.0, 0.0, "replicable", False),
    (2, 20, 150, 0.02, 0.35, 0.0, "replicable", False),
    (3, 12, 200, 0.015, 0.3, 0.25, "replicable", False),
    (4, 20, 150, 0.02, 0.2, 0.0, "tilted", False),
    (5, 15, 200, 0.01, 0.3, 0.2, "tilted", False),
    (6, 20, 150, 0.03, 0.35, 0.0, "leveraged", False),
    (7, 10, 90, 0.05, 0.35, 0.0, "leveraged", False),
    (8, 20, 150, 0.02, 0.35, 0.0, "replicable", True),
    (9, 20, 150, 0.02, 0.2, 0.0, "tilted", True),
]


@pytest.mark.parametrize("seed, T, n, cap, group_cap, floor, benchmark, open_floors", WIDE)
def test_wide_tracking_error_is_exact(seed, T, n, cap, group_cap, floor, benchmark, open_floors):
    R, b, limits = wide_problem(seed, T, n, cap, group_cap, floor, benchmark, open_floors=open_floors)
    r = qp.min_tracking_error(R, b, limits)
    assert r.converged and r.polished and r.solver == "interior-point"
    assert limits.violation(r.x) <= FEASIBLE
    assert r.objective == pytest.approx(float(np.sum((b - R @ r.x) ** 2)), rel=1e-12, abs=1e-30)
    ref = dense_reference(R, b, limits)
    f_ref = float(np.sum((b - R @ ref) ** 2))
    assert r.objective <= f_ref + EXACT * f_ref + 1e-12 * float(b @ b)
    assert kkt_gap(R, b, limits, r.x) <= 1e-8
    inside = (r.x > limits.lower + 1e-9) & (r.x < limits.upper - 1e-9)
    if benchmark == "replicable":
        # Zero tracking error, reached with more free weights than days: the case where the
        # free days' Hessian is singular and the minimiser not unique.
        assert r.objective <= 1e-20 * float(b @ b) and inside.sum() > T
    else:
        # The benchmark is out of reach: the limits bind (a cap, or a group's cap or floor).
        ax = limits.A @ r.x
        binding = (~inside).any() or np.any(np.isclose(ax[:-1], limits.hi[:-1], atol=1e-9) & (limits.hi[:-1] < 1))
        assert r.objective > 1e-6 * float(b @ b) and binding


@pytest.mark.parametrize(
    "seed, T, n, cap, group_cap, floor, benchmark, turnover",
    [
        (11, 20, 150, 0.02, 0.35, 0.0, "replicable", 0.3),
        (12, 20, 150, 0.02, 0.2, 0.0, "tilted", 0.15),
        (13, 15, 120, 0.03, 0.35, 0.0, "leveraged", 0.4),
    ],
)
def test_wide_tracking_error_under_a_cap_on_trades_matches_the_dense_solve(
    seed, T, n, cap, group_cap, floor, benchmark, turnover
):
    R, b, limits = wide_problem(seed, T, n, cap, group_cap, floor, benchmark, turnover)
    r = qp.min_tracking_error(R, b, limits)
    assert r.converged and limits.violation(r.x) <= FEASIBLE
    traded = np.abs(r.x - limits.holdings).sum() / 2
    ref = dense_reference(R, b, limits)
    f_ref = float(np.sum((b - R @ ref) ** 2))
    assert r.objective <= f_ref + EXACT * f_ref + 1e-12 * float(b @ b)
    assert traded <= turnover + FEASIBLE


def market_rebalance(seed, T, n, turnover):
    """(R, b, limits) shaped like a rebalance on the market: three-factor daily returns, ten
    sectors of which three are limited, every weight capped at 5/n, a benchmark over the same
    names plus noise from outside them, holdings the tracking portfolio of other days' returns
    (a portfolio held since the last rebalance), buys and sells each capped at ``turnover``."""

    def draw(s):
        rng = np.random.default_rng(s)
        loadings = np.column_stack([rng.normal(1.0, 0.3, n), rng.normal(0.0, 0.5, (n, 2))])
        factors = rng.normal(0.0, [0.012, 0.005, 0.004], (T, 3))
        R = factors @ loadings.T + rng.normal(0.0, 1.0, (T, n)) * rng.uniform(0.008, 0.025, n)
        return R, R @ rng.dirichlet(np.full(n, 0.5)) + rng.normal(0.0, 0.004, T), rng.integers(0, 10, n)

    R, b, sector = draw(seed)
    A = np.array([(sector == g).astype(float) for g in range(3)] + [np.ones(n)])
    limits = Limits(
        [str(i) for i in range(n)],
        np.zeros(n),
        np.full(n, 5.0 / n),
        A,
        np.array([0, 0.05, 0, 1]),
        np.array([0.15, 1, 0.12, 1]),
    )
    R_then, b_then, _ = draw(seed + 50)
    h = qp.min_tracking_error(R_then, b_then, limits).x
    return R, b, dataclasses.replace(limits, holdings=h, max_buy=turnover, max_sell=turnover)


@pytest.mark.parametrize("split_only", [False, True])
@pytest.mark.parametrize(
    "seed, T, n, turnover",
    [(1, 30, 150, 0.1), (2, 30, 150, 0.05), (3, 40, 200, 0.1), (4, 60, 300, 0.3), (5, 40, 200, 0.02)],
)
def test_wide_tracking_error_under_a_cap_on_trades_is_solved_in_the_days_dimension(
    monkeypatch, seed, T, n, turnover, split_only
):
    """A rebalance with many more instruments than days: the interior point of the days' size on
    the problem restricted to guessed sides or (``split_only``: the restricted one refused) on the
    problem split at the holdings, made exact by the active set over the holdings, no worse than
    the dense solve with the trades as variables (the whole problem: not screened first)."""
    R, b, limits = market_rebalance(seed, T, n, turnover)
    if split_only:
        usable = qp.wide.usable_for
        monkeypatch.setattr(qp.wide, "usable_for", lambda red, s: red.quad.n > n and usable(red, s))
    r = qp.min_tracking_error(R, b, limits, settings=Settings(turnover_screen_min_n=0))
    assert r.converged and r.polished and r.solver == "interior-point"
    assert limits.violation(r.x) <= FEASIBLE and max(limits.traded(r.x)) <= turnover + FEASIBLE
    ref = dense_reference(R, b, limits)
    f_ref = float(np.sum((b - R @ ref) ** 2))
    assert r.objective <= f_ref + EXACT * f_ref + 1e-12 * float(b @ b)
    # The cap binds: the answer without it trades more.
    free = dataclasses.replace(limits, holdings=None, max_buy=np.inf, max_sell=np.inf)
    assert max(limits.traded(qp.min_tracking_error(R, b, free).x)) > turnover + 1e-6


def wide_step_problem(seed, T, n, m, near_duplicate_day):
    """A least-squares quadratic (F T × n, d) with rows A (m, n) holding at c, and a point x: the
    inputs of one KKT solve over every instrument free."""
    rng = np.random.default_rng(seed)
    F = rng.normal(0, 1, (T, n))
    if near_duplicate_day:
        F[1] = F[0] + 1e-7 * rng.normal(0, 1, n)  # two days alike: F's rows nearly dependent
    A = np.vstack([np.ones(n), (rng.random((m - 1, n)) < 0.3).astype(float)]) if m else np.zeros((0, n))
    x = rng.uniform(0.0, 2.0 / n, n)
    c = A @ x + rng.normal(0, 1e-3, m)
    return F, rng.normal(0, 1, T), A, c, x


@pytest.mark.parametrize(
    "seed, T, n, m, linear, near_duplicate_day, tol",
    [
        (21, 10, 80, 1, False, False, 1e-10),
        (22, 10, 80, 4, False, False, 1e-10),
        (23, 30, 200, 6, False, False, 1e-10),
        (24, 10, 80, 3, True, False, 1e-10),
        (26, 8, 40, 0, False, False, 1e-10),
        # Rows of F within 1e-7 of each other: the system's condition costs digits in any solver.
        (25, 12, 90, 2, False, True, 1e-6),
    ],
)
def test_the_least_squares_step_with_more_free_instruments_than_days_is_the_least_norm_solution(
    seed, T, n, m, linear, near_duplicate_day, tol
):
    """One KKT solve of the polish, all n instruments free and the m rows held: the step must
    solve the equality-constrained least-squares problem exactly and be its least-norm solution,
    as the pseudo-inverse of the whole KKT system gives it (computed here densely)."""
    F, d, A, c, x = wide_step_problem(seed, T, n, m, near_duplicate_day)
    rng = np.random.default_rng(seed + 1)
    # A linear term inside the row space of [F; A] (outside it there is no minimiser).
    q = (F.T @ rng.normal(0, 1, T) + A.T @ rng.normal(0, 1, m)) if linear else np.zeros(n)
    red = model.Reduced(
        model.Quadratic(q, F=F, d=d), np.ones(n, bool), np.zeros(n), np.full(n, -1.0), np.full(n, 1.0), A, c, c
    )
    none = np.zeros(n, bool)
    held = np.ones(m, bool)
    x_new, nu = active_set.equality_step(red, x, none, none, held, np.zeros(m, bool))
    # The whole KKT system (Δx, λ = F x_new − d, ν), its least-norm solution by SVD.
    K = np.zeros((n + T + m, n + T + m))
    K[n : n + T, :n], K[:n, n : n + T] = F, F.T
    K[n : n + T, n : n + T] = -np.eye(T)
    K[n + T :, :n], K[:n, n + T :] = A, A.T
    rhs = np.concatenate([-q, -(F @ x - d), c - A @ x])
    z = np.linalg.lstsq(K, rhs, rcond=1e-12)[0]
    step = x_new - x
    scale = 1.0 + float(np.abs(z[:n]).max())
    np.testing.assert_allclose(step, z[:n], rtol=0, atol=100 * tol * scale)
    np.testing.assert_allclose(A @ x_new, c, rtol=0, atol=1e-11)
    # Stationarity over every instrument: Fᵀ(F x_new − d) + q + Aᵀν = 0.
    g = F.T @ (F @ x_new - d) + q + A.T @ nu
    assert np.abs(g).max() <= tol * max(1.0, float(np.abs(F.T @ d).max()), float(np.abs(q).max()))


@pytest.mark.parametrize("seed, T, n", [(31, 20, 150), (32, 12, 200)])
def test_a_failed_wide_interior_point_leaves_the_solve_to_piqp(monkeypatch, seed, T, n):
    """Where the interior point in the days' dimension gives up (here: with no iterate), the problem is
    solved as before, by PIQP's sparse solver on the lifted problem, and polished."""
    R, b, limits = wide_problem(seed, T, n, 0.02, 0.3, 0.0, "tilted")
    monkeypatch.setattr(qp.wide, "solve", lambda *a, **k: iter(()))
    r = qp.min_tracking_error(R, b, limits)
    assert r.converged and r.polished and r.solver == "piqp"
    monkeypatch.undo()
    fast = qp.min_tracking_error(R, b, limits)
    assert fast.solver == "interior-point"
    assert fast.objective <= r.objective * (1 + EXACT) + 1e-12 * float(b @ b)
    assert r.objective <= fast.objective * (1 + EXACT) + 1e-12 * float(b @ b)


@pytest.mark.parametrize("seed, T, n, floor", [(41, 20, 150, 0.9), (42, 12, 200, 0.95)])
def test_wide_tracking_error_under_limits_that_admit_no_portfolio_says_so(seed, T, n, floor):
    """The last group floored above what its members' caps allow: the interior point in the days'
    dimension cannot tell infeasible limits, and must give up quietly (its multipliers grow
    without bound) for PIQP to report them."""
    R, b, limits = wide_problem(seed, T, n, 0.02, 0.3, 0.0, "tilted")
    lo = limits.lo.copy()
    lo[3] = floor
    assert floor > 0.02 * limits.A[3].sum()
    r = qp.min_tracking_error(R, b, Limits(limits.ids, limits.lower, limits.upper, limits.A, lo, limits.hi))
    assert r.status == "infeasible" and not r.converged
