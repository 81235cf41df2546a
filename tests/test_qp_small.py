"""The lean path of small QPs (one native call to hand the problem to DAQP, one to certify its
answer) against the general path it stands in for: the same answers and fields where it answers,
nothing of its own where it declines, the same errors for bad inputs; and its native numerics
through their bindings against the formulas they implement."""

import dataclasses
import importlib
import re

import numpy as np
import pytest

from vela_optimizer.exception import InvalidArgument
from vela_optimizer.limits import Limits
from vela_optimizer.native import Settings, qp
from vela_optimizer.native.qp import small

_engine = importlib.import_module("vela_optimizer._engine")


def returns_of(seed, n, t=131):
    """Factor-model daily returns (t × n) at A-share magnitudes."""
    rng = np.random.default_rng(seed)
    loadings = np.column_stack([rng.normal(1.0, 0.3, n), rng.normal(0.0, 0.5, (n, 2))])
    factors = rng.normal(0.0, [0.012, 0.005, 0.004], (t, 3))
    return factors @ loadings.T + rng.normal(0.0, 1.0, (t, n)) * rng.uniform(0.008, 0.025, n)


def limits_of(n, cap, groups=(), lower=0.0, holdings=None, max_buy=np.inf):
    """lower <= w <= cap, one row per (members, floor, cap), then the budget."""
    rows = [np.isin(np.arange(n), members).astype(float) for members, _, _ in groups]
    return Limits(
        ids=[f"{i:06d}" for i in range(n)],
        lower=np.full(n, float(lower)),
        upper=np.full(n, float(cap)),
        A=np.array([*rows, np.ones(n)]),
        lo=np.array([*(g[1] for g in groups), 1.0]),
        hi=np.array([*(g[2] for g in groups), 1.0]),
        row_labels=[f"g{k}" for k in range(len(groups))] + [None],
        bound_source=[""] * n,
        holdings=holdings,
        max_buy=max_buy,
    )


def fix(limits, at):
    """``limits`` with the weights ``at`` (position: value) fixed by their bounds."""
    lower, upper = limits.lower.copy(), limits.upper.copy()
    for i, v in at.items():
        lower[i] = upper[i] = v
    return dataclasses.replace(limits, lower=lower, upper=upper)


def rows(limits, A, lo, hi):
    """``limits`` with the rows (A, lo, hi) put before its own."""
    return dataclasses.replace(
        limits,
        A=np.vstack([A, limits.A]),
        lo=np.r_[lo, limits.lo],
        hi=np.r_[hi, limits.hi],
        row_labels=[f"r{k}" for k in range(len(lo))] + limits.row_labels,
    )


N = 40
GROUPS = ((range(0, 10), 0.0, 0.15), (range(10, 20), 0.05, 1.0), (range(20, 25), 0.1, 0.1))

# name: the limits over N instruments (and what else the case changes in the data).
CASES = {
    "binding caps and rows": lambda: limits_of(N, 0.06, GROUPS),
    "short floors": lambda: limits_of(N, 0.2, GROUPS, lower=-0.05),
    "no caps": lambda: limits_of(N, np.inf, GROUPS[:2]),
    "fixed weights": lambda: fix(limits_of(N, 0.06, GROUPS), {3: 0.04, 11: 0.0, 30: 0.06}),
    "a row of fixed weights only": lambda: rows(
        fix(limits_of(N, 0.06, GROUPS), {36: 0.02, 37: 0.03}), np.isin(np.arange(N), [36, 37])[None] * 1.0, [0.0], [0.1]
    ),
    "a row without finite sides": lambda: rows(limits_of(N, 0.06, GROUPS), np.ones((1, N)), [-np.inf], [np.inf]),
    "holdings without caps": lambda: limits_of(N, 0.06, GROUPS, holdings=np.full(N, 1.0 / N)),
}

METHODS = {
    "min_variance": lambda d, L, **kw: qp.min_variance(d["C"], L, **kw),
    "mean_variance λ=5": lambda d, L, **kw: qp.mean_variance(d["C"], d["mu"], 5.0, L, **kw),
    "mean_variance λ=200": lambda d, L, **kw: qp.mean_variance(d["C"], d["mu"], 200.0, L, **kw),
    "min_tracking_error": lambda d, L, **kw: qp.min_tracking_error(d["R"], d["b"], L, **kw),
}


def data_of(seed, n=N, t=131, asymmetric=False, missing=False):
    R = returns_of(seed, n, t)
    C = np.cov(R, rowvar=False)
    C = 0.7 * C + 0.3 * np.diag(np.diag(C))
    rng = np.random.default_rng(seed + 1)
    b = R @ rng.dirichlet(np.ones(n)) + rng.normal(0.0, 0.003, t)
    if asymmetric:  # ½xᵀCx reads the symmetric part only
        C = C + 1e-5 * np.triu(rng.normal(size=(n, n)), 1)
    mu = R.mean(axis=0) * 10
    if missing:  # days without every return are left out
        R = R.copy()
        R[[3, 50], [2, 9]] = np.nan
        b = b.copy()
        b[70] = np.nan
    return {"C": C, "mu": mu, "R": R, "b": b}


@pytest.fixture
def lean_spy(monkeypatch):
    """What the lean path returned on each call (a Solution, or None where it declined)."""
    seen = []
    for name in ("covariance_small", "tracking_small"):
        real = getattr(small, name)

        def spy(*args, real=real):
            out = real(*args)
            seen.append(out)
            return out

        monkeypatch.setattr(small, name, spy)
    return seen


def without_lean(monkeypatch, solve):
    """``solve`` run with the lean path switched off: the general path alone."""
    with monkeypatch.context() as m:
        m.setattr(small, "covariance_small", lambda *a: None)
        m.setattr(small, "tracking_small", lambda *a: None)
        return solve()


def masked(message):
    """A message with its residual's digits left out (the two paths round differently)."""
    return re.sub(r"residual [0-9.e+-]+", "residual ?", message)


@pytest.mark.parametrize("method", list(METHODS))
@pytest.mark.parametrize("case", list(CASES) + ["asymmetric matrix", "incomplete days"])
def test_lean_path_gives_the_general_paths_answer(monkeypatch, lean_spy, case, method):
    """Where the lean path answers, its Solution is the general path's: DAQP's answer on the same
    problem (same iterations, zeros, status), certified, and the interior point's optimum."""
    limits = CASES.get(case, CASES["binding caps and rows"])()
    d = data_of(11, asymmetric=case == "asymmetric matrix", missing=case == "incomplete days")
    solve = METHODS[method]
    r = solve(d, limits)
    assert lean_spy and lean_spy[-1] is r, "the lean path declined"
    old = without_lean(monkeypatch, lambda: solve(d, limits))
    ip = solve(d, limits, settings=Settings(small_n=0))
    assert (r.solver, r.status, r.converged, r.polished) == ("daqp", "solved", True, True)
    assert (old.solver, old.iterations, old.zeros, masked(old.message)) == (
        r.solver,
        r.iterations,
        r.zeros,
        masked(r.message),
    )
    assert limits.violation(r.x) <= r.kkt_residual <= 1e-12
    np.testing.assert_allclose(r.x, old.x, rtol=0, atol=1e-12)
    assert r.objective == pytest.approx(old.objective, rel=1e-12, abs=1e-15)
    np.testing.assert_allclose(r.x, ip.x, rtol=0, atol=1e-7)
    assert r.objective <= ip.objective + 1e-9 * abs(ip.objective)
    assert type(r.x) is np.ndarray and r.x.dtype == np.float64 and r.x.shape == (N,)
    assert all(v == limits.lower[i] for i, v in enumerate(r.x) if limits.lower[i] == limits.upper[i])


@pytest.mark.parametrize("lean", [True, False], ids=["lean path", "general path"])
@pytest.mark.parametrize("method", list(METHODS))
@pytest.mark.parametrize("case", ["binding caps and rows", "fixed weights"])
def test_daqps_answer_lies_within_its_bounds_exactly(monkeypatch, lean_spy, case, method, lean):
    """DAQP's weights at a bound it holds come out a few 1e-16 beyond it (a long-only portfolio
    with weights of −3e-15): the answer is put on its bounds, on either path, so that no weight
    breaks its own bound at all, and what is certified is what is returned."""
    limits = CASES[case]()
    d = data_of(11)
    solve = METHODS[method]
    r = solve(d, limits) if lean else without_lean(monkeypatch, lambda: solve(d, limits))
    assert r.solver == "daqp" and r.polished
    assert bool(lean_spy and lean_spy[-1] is r) == lean
    assert np.all(r.x >= limits.lower) and np.all(r.x <= limits.upper)
    at_bound = (r.x == limits.lower) | (r.x == limits.upper)
    assert at_bound.sum() >= 5  # the bounds bind: the check reads weights held at them
    # A weight reported as zero at its bound is 0.0, not 2e-31 (what a CSV would show).
    at_zero = [i for i, why in r.zeros if why == "bound"]
    assert at_zero and all(r.x[i] == 0.0 for i in at_zero)
    assert limits.violation(r.x) <= r.kkt_residual <= 1e-12


def indefinite(d):
    w, V = np.linalg.eigh(d["C"])
    w[0] = -w[-1]
    return {**d, "C": (V * w) @ V.T}


# name: (method, data change, limits, settings); the lean path must decline each.
DECLINED = {
    "indefinite matrix": ("min_variance", indefinite, CASES["binding caps and rows"], {}),
    "singular matrix (fewer days than weights)": (
        "min_variance",
        lambda d: {**d, "C": np.cov(returns_of(5, N, 12), rowvar=False)},
        CASES["binding caps and rows"],
        {},
    ),
    "no risk aversion": ("mean_variance λ=0", None, CASES["binding caps and rows"], {}),
    "fewer complete days than weights": (
        "min_tracking_error",
        lambda d: {**d, "R": d["R"][:20], "b": d["b"][:20]},
        CASES["binding caps and rows"],
        {},
    ),
    "a floor above its cap": (
        "min_variance",
        None,
        lambda: limits_of(N, 0.06, ((range(5), 0.3, 0.2),)),
        {},
    ),
    "fixed weights outside a row": (
        "min_tracking_error",
        None,
        lambda: rows(fix(limits_of(N, 0.06), {0: 0.05, 1: 0.05}), np.eye(N)[:2].sum(0)[None], [0.0], [0.05]),
        {},
    ),
    "every weight fixed": (
        "mean_variance λ=5",
        None,
        lambda: fix(limits_of(N, 1.0), {i: 1.0 / N for i in range(N)}),
        {},
    ),
    "more weights than small_n": ("min_variance", None, CASES["binding caps and rows"], {"small_n": N - 1}),
    "caps on trading": (
        "mean_variance λ=5",
        None,
        lambda: limits_of(N, 0.06, GROUPS, holdings=np.full(N, 1.0 / N), max_buy=0.2),
        {},
    ),
    "a time limit": ("min_tracking_error", None, CASES["binding caps and rows"], {"time_limit": 60.0}),
}


@pytest.mark.parametrize("case", list(DECLINED))
def test_lean_path_declines_what_the_general_path_must_take(monkeypatch, lean_spy, case):
    """Problems the lean path cannot answer exactly are declined and the general path's Solution
    is returned unchanged, field by field."""
    method, change, limits_for, given = DECLINED[case]
    d = data_of(12)
    d = change(d) if change else d
    limits = limits_for()
    settings = Settings(**given)
    if method == "mean_variance λ=0":

        def solve():
            return qp.mean_variance(d["C"], d["mu"], 0.0, limits, settings=settings)
    else:

        def solve():
            return METHODS[method](d, limits, settings=settings)

    r = solve()
    assert lean_spy == [None]
    old = without_lean(monkeypatch, solve)
    np.testing.assert_array_equal(r.x, old.x)
    assert repr(dataclasses.replace(r, x=None)) == repr(dataclasses.replace(old, x=None))  # NaN reads as nan


BAD = {
    "covariance with NaN": lambda d, L: qp.min_variance(np.where(np.eye(N) > 0, np.nan, d["C"]), L),
    "covariance not square": lambda d, L: qp.min_variance(d["C"][:, :-1], L),
    "covariance of other size": lambda d, L: qp.mean_variance(d["C"][:-1, :-1], d["mu"][:-1], 1.0, L),
    "covariance of text": lambda d, L: qp.min_variance(np.full((N, N), "x"), L),
    "mu with inf": lambda d, L: qp.mean_variance(d["C"], np.r_[np.inf, d["mu"][1:]], 1.0, L),
    "floor of NaN": lambda d, L: qp.min_variance(d["C"], dataclasses.replace(L, lower=np.full(N, np.nan))),
    "rows of other width": lambda d, L: qp.min_variance(d["C"], dataclasses.replace(L, A=np.ones((1, N + 1)))),
    "row sides of other length": lambda d, L: qp.min_variance(d["C"], dataclasses.replace(L, lo=np.zeros(3))),
    "row of inf": lambda d, L: qp.min_variance(d["C"], dataclasses.replace(L, A=np.full((1, N), np.inf))),
    "cap without holdings": lambda d, L: qp.min_variance(d["C"], dataclasses.replace(L, max_buy=0.5)),
    "holdings with NaN": lambda d, L: qp.min_variance(d["C"], dataclasses.replace(L, holdings=np.full(N, np.nan))),
    "holdings of other length": lambda d, L: qp.min_variance(d["C"], dataclasses.replace(L, holdings=np.ones(3))),
    "no complete day": lambda d, L: qp.min_tracking_error(d["R"], np.full(131, np.nan), L),
    "benchmark of other length": lambda d, L: qp.min_tracking_error(d["R"], d["b"][:-1], L),
    "returns of other width": lambda d, L: qp.min_tracking_error(d["R"][:, :-1], d["b"], L),
    "limits of another kind": lambda d, L: qp.min_tracking_error(d["R"], d["b"], dataclasses.asdict(L)),
}


@pytest.mark.parametrize("case", list(BAD))
def test_bad_inputs_are_refused_as_before(monkeypatch, case):
    """Inputs the general path refuses are refused with its message, the lean path on or off."""
    d, limits = data_of(13), limits_of(N, 0.06)
    with pytest.raises(InvalidArgument) as lean:
        BAD[case](d, limits)
    with pytest.raises(InvalidArgument) as general:
        without_lean(monkeypatch, lambda: BAD[case](d, limits))
    assert str(lean.value) == str(general.value)


# ---------------------------------------------------------------------------------------------
# The native numerics through their bindings.


def handed(limits, made):
    """DAQP's arguments from a prepared problem, by name."""
    assert made is not None
    return dict(zip(("state", "H", "f", "A", "upper", "lower", "sense"), made))


# name: limits over 6 instruments (fixed weights, rows that die, sides beyond DAQP's infinity).
SMALL_LIMITS = {
    "plain": lambda: limits_of(6, 0.5, ((range(3), 0.1, 0.6),)),
    "fixed and a dead row": lambda: rows(
        fix(limits_of(6, 0.5, ((range(3), 0.1, 0.6),)), {4: 0.2, 5: 0.1}), np.eye(6)[4:].sum(0)[None], [0.0], [0.5]
    ),
    "infinite sides": lambda: rows(limits_of(6, np.inf, lower=-np.inf), np.eye(6)[:1] * 2, [-np.inf], [0.7]),
    "equality row": lambda: rows(limits_of(6, 0.5), np.eye(6)[:1] + np.eye(6)[2:3], [0.3], [0.3]),
}


def reference(limits, P, q):
    """The scaled and reduced problem by its definition: fixed weights folded into q and the rows'
    sides, rows without a coefficient or a finite side dropped, sides clipped at 1e30."""
    keep = limits.lower < limits.upper
    xf = np.where(keep, 0.0, limits.lower)
    A = limits.A[:, keep]
    lo, hi = limits.lo - limits.A @ xf, limits.hi - limits.A @ xf
    live = (A != 0).any(axis=1) & ((lo > -np.inf) | (hi < np.inf))
    A, lo, hi = A[live], lo[live], hi[live]
    return {
        "H": P[np.ix_(keep, keep)],
        "f": q[keep] + P[np.ix_(keep, ~keep)] @ xf[~keep],
        "A": A,
        "upper": np.minimum(np.r_[limits.upper[keep], hi], 1e30),
        "lower": np.maximum(np.r_[limits.lower[keep], lo], -1e30),
        "sense": np.r_[np.zeros(keep.sum()), np.where(lo == hi, 5, 0)],
    }


@pytest.mark.parametrize("case", list(SMALL_LIMITS))
@pytest.mark.parametrize("form", ["covariance", "tracking"])
def test_hand_over_is_the_scaled_reduced_problem(case, form):
    limits = SMALL_LIMITS[case]()
    R = returns_of(21, 6, 40)
    R[7, 1] = np.nan  # a day left out
    b = R[:, :3].mean(axis=1) + 0.001
    L = (limits.lower, limits.upper, limits.A, limits.lo, limits.hi, 100, 1e-11)
    if form == "covariance":
        C, mu, lam = np.cov(returns_of(21, 6), rowvar=False), np.linspace(-1e-3, 1e-3, 6), 3.0
        s = lam * np.trace(C) / 6  # the Hessian's mean diagonal
        got = handed(limits, _engine.small_covariance(C, lam, -mu, *L))
        want = reference(limits, lam * C / s, -mu / s)
    else:
        ok = np.isfinite(R).all(axis=1) & np.isfinite(b)
        F, d = R[ok], b[ok]
        s = np.sum((d - F.mean(axis=1)) ** 2)  # the equal-weight error, the case's scale
        assert s > 1e-6 * 2 * np.mean((F**2).sum(axis=0))
        F, d = F * np.sqrt(2 / s), d * np.sqrt(2 / s)
        got = handed(limits, _engine.small_tracking(R, b, *L))
        want = reference(limits, F.T @ F, -F.T @ d)
    for key, value in want.items():
        np.testing.assert_allclose(got[key], value, rtol=1e-13, atol=1e-16, err_msg=key)
    assert got["sense"].dtype == np.int32 and got["H"].flags.c_contiguous and got["A"].flags.c_contiguous


@pytest.mark.parametrize(
    "why, prepare",
    [
        ("more free weights than max_kept", lambda L, C: _engine.small_covariance(C, 2.0, None, *L[:5], 5, 1e-11)),
        ("zero curvature", lambda L, C: _engine.small_covariance(C, 0.0, None, *L[:5], 100, 1e-11)),
        ("zero matrix", lambda L, C: _engine.small_covariance(0 * C, 2.0, None, *L[:5], 100, 1e-11)),
        ("NaN in the matrix", lambda L, C: _engine.small_covariance(C * np.nan, 2.0, None, *L[:5], 100, 1e-11)),
        ("complex matrix", lambda L, C: _engine.small_covariance(C + 0j, 2.0, None, *L[:5], 100, 1e-11)),
        ("a list, not an array", lambda L, C: _engine.small_covariance(C.tolist(), 2.0, None, *L[:5], 100, 1e-11)),
        ("q of other length", lambda L, C: _engine.small_covariance(C, 2.0, np.ones(5), *L[:5], 100, 1e-11)),
        ("floor above cap", lambda L, C: _engine.small_covariance(C, 2.0, None, *L[:5], 100, 1e-11)),
        ("no complete day", lambda L, C: _engine.small_tracking(np.full((9, 6), np.nan), np.ones(9), *L[:5], 100, 1)),
        ("fewer days than weights", lambda L, C: _engine.small_tracking(np.ones((4, 6)), np.ones(4), *L[:5], 100, 1)),
    ],
)
def test_preparing_declines(why, prepare):
    limits = limits_of(6, 0.5, ((range(3), 0.1, 0.6),))
    L = (limits.lower, limits.upper, limits.A, np.array([0.1, 1.0]), np.array([0.6, 1.0]))
    L = (*L[:3], np.array([0.7, 1.0]), np.array([0.6, 1.0])) if why == "floor above cap" else L
    assert prepare(L, np.cov(returns_of(22, 6), rowvar=False)) is None


def solved_small():
    """A prepared 6-weight problem, DAQP's answer on it and the limits. The last weight's box is
    1e-13 wide: both its sides hold to rounding, so only its multiplier's sign tells which one the
    answer holds."""
    import daqp

    limits = limits_of(6, 0.3, ((range(3), 0.1, 0.4),), lower=0.0)
    limits.upper[5] = 1e-13
    C = np.cov(returns_of(23, 6), rowvar=False)
    made = handed(
        limits,
        _engine.small_covariance(C, 2.0, None, limits.lower, limits.upper, limits.A, limits.lo, limits.hi, 100, 1e-11),
    )
    x, _, flag, info = daqp.solve(
        made["H"], made["f"], made["A"], made["upper"], made["lower"], made["sense"], primal_tol=1e-11, eps_prox=0.0
    )
    assert flag == 1
    return made, x, info["lam"], limits, C


def spoil(kind, x, lam):
    x, lam = x.copy(), lam.copy()
    free = np.flatnonzero(lam[: len(x)] == 0)
    held = np.flatnonzero(lam[: len(x)] != 0)
    if kind == "off a bound":
        x[held[0]] += 1e-9 * np.sign(x[held[0]] - 0.15)  # beyond the side it holds
    elif kind == "not stationary":
        x[free[0]] += 1e-7
        x[free[1]] -= 1e-7
    elif kind == "NaN multiplier":
        lam[-1] = np.nan
    elif kind == "multiplier of the wrong sign":  # complementarity still holds (the box is 1e-13 wide)
        assert lam[5] != 0
        lam[5] = -lam[5]
    elif kind == "NaN weight":
        x[0] = np.nan
    return x, lam


@pytest.mark.parametrize(
    "kind", ["off a bound", "not stationary", "NaN multiplier", "multiplier of the wrong sign", "NaN weight"]
)
def test_certificate_refuses_a_spoiled_answer(kind):
    made, x, lam, _, _ = solved_small()
    assert _engine.small_certify(made["state"], x, lam, 1e-11, 1e-9) is not None
    assert _engine.small_certify(made["state"], *spoil(kind, x, lam), 1e-11, 1e-9) is None


def test_certified_answer_reports_objective_residual_and_zeros():
    made, x, lam, limits, C = solved_small()
    full, residual, objective, zeros = _engine.small_certify(made["state"], x, lam, 1e-11, 1e-9)
    assert 0 <= residual <= 1e-12
    assert objective == pytest.approx(float(full @ C @ full), rel=1e-13)
    expected = tuple((i, "bound") for i in np.flatnonzero(np.abs(full) <= 1e-12))
    assert zeros == expected and all(isinstance(i, int) for i, _ in zeros)


@pytest.mark.parametrize(
    "state, x, lam",
    [
        ("not a capsule", np.zeros(6), np.zeros(8)),
        (None, np.zeros(5), np.zeros(8)),  # x one short
        (None, np.zeros(6), np.zeros(7)),  # lam one short
        (None, np.zeros((6, 1)), np.zeros(8)),
    ],
)
def test_certify_refuses_arguments_it_cannot_read(state, x, lam):
    made, *_ = solved_small()
    with pytest.raises((TypeError, ValueError)):
        _engine.small_certify(made["state"] if state is None else state, x, lam, 1e-11, 1e-9)


@pytest.mark.parametrize(
    "move, by",
    [
        ("nothing", 0.0),
        ("a weight below its floor", 3e-7),
        ("a weight above its cap", 0.4),
        ("a group above its cap", 0.25),
        ("a group below its floor", 0.0),
    ],
)
def test_broken_is_the_limits_violation(move, by):
    """The violation reported with an answer is Limits.violation's, bit for bit, from the same A·x."""
    made, x, lam, limits, _ = solved_small()
    w = _engine.small_certify(made["state"], x, lam, 1e-11, 1e-9)[0].copy()
    if move == "a weight below its floor":
        w[4] = -by
    elif move == "a weight above its cap":
        w[0] = by
    elif move == "a group above its cap":
        w[:3] += by / 3
    elif move == "a group below its floor":
        w[:3] = 0.0
    broken = _engine.small_broken(made["state"], w, limits.A @ w)
    assert broken == limits.violation(w)
    assert (broken > 1e-12) == (move != "nothing")  # the optimum breaks nothing beyond rounding
    with pytest.raises(ValueError):
        _engine.small_broken(made["state"], w[:-1], limits.A @ w)


@pytest.mark.parametrize("width", [1, 3, 4, 8, 9, 13, 37, 100])
@pytest.mark.parametrize("days", [2, 131])
def test_tracking_hessian_is_the_gram_matrix_at_any_width(width, days):
    """FᵀF, formed by blocks of 4 × 8, over widths that fill no block, one block, and leave ragged
    edges; and f = −Fᵀd."""
    if days < width:
        days = width + 1  # fewer days than weights is declined (FᵀF singular)
    limits = limits_of(width, 1.0)
    R = returns_of(30 + width, width, days)
    b = R.mean(axis=1) + np.linspace(-0.01, 0.01, days)
    got = handed(
        limits, _engine.small_tracking(R, b, limits.lower, limits.upper, limits.A, limits.lo, limits.hi, 100, 1e-11)
    )
    s = np.sum((b - R.mean(axis=1)) ** 2)
    F, d = R * np.sqrt(2 / s), b * np.sqrt(2 / s)
    H = F.T @ F
    np.testing.assert_allclose(got["H"], H, rtol=1e-12, atol=1e-14 * np.abs(H).max())
    np.testing.assert_array_equal(got["H"], got["H"].T)
    np.testing.assert_allclose(got["f"], -F.T @ d, rtol=1e-12, atol=1e-14 * np.abs(F.T @ d).max())
