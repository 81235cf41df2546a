"""The package's optimisation: the module's pipeline, then the scipy path's solve or an exact
native one.

Both solvers run the same pipeline in the extension (argument checks, client calls, screening and
its warnings, bounds, group records, covariance); the native path then reads the bounds and the
module's group and budget records as linear limits and solves exactly. A caller's own constraint
records (a class with its own ``fun``) cannot be read as linear limits: that call is solved by the
scipy path, so the caller's constraints are honoured.
"""

from __future__ import annotations

import datetime as _dt
import importlib
import time

import numpy as np
import pandas as pd

from . import feasibility, optimizer, qp, riskparity
from .exception import InvalidArgument, OptimizationFailed
from .limits import Limits
from .optimizer import OptimizeMethod
from .result import Dropped, OptimizeResult

# Importing the extension (above) registers its private engine module.
_engine = importlib.import_module(f"{__package__}._engine")

SOLVERS = ("native", "scipy")

# The module's own defaults, read from its portfolio_optimize: the package's entry points share them.
DEFAULTS = dict(zip(["method", "bnds", "cons", "cov_shrinkage", "benchmark", "risk_aversion_coefficient", "window",
                     "max_iteration", "tol", "quiet"], optimizer.portfolio_optimize.__defaults__))
DEFAULT_WINDOW = DEFAULTS["window"]
DEFAULT_MAX_ITERATION = DEFAULTS["max_iteration"]
DEFAULT_TOL = DEFAULTS["tol"]


def check_solver(solver) -> None:
    """Refuse a solver other than ``"native"`` or ``"scipy"`` (InvalidArgument naming the choices)."""
    if not isinstance(solver, str) or solver not in SOLVERS:
        raise InvalidArgument(f"OPTIMIZER: solver 只能是 'native' 或 'scipy'，传入值为：{solver}")


class _Stages:
    """Times the pipeline's stages and passes each on to the caller's progress callback."""

    def __init__(self, progress):
        self.progress = progress
        self.timings: dict = {}
        self._stage = None
        self._started = time.perf_counter()

    def __call__(self, stage: str, info=None) -> None:
        now = time.perf_counter()
        if self._stage is not None:
            self.timings[self._stage] = self.timings.get(self._stage, 0.0) + now - self._started
        self._stage, self._started = stage, now
        if self.progress is not None:
            self.progress(stage, {} if info is None else info)


def _bound_sources(ids, bnds) -> list:
    if bnds is None:
        return [""] * len(ids)
    return [i if i in bnds else ("*" if "*" in bnds else "") for i in ids]


def _same_label(a, b) -> bool:
    try:
        return a is b or bool(a == b)
    except Exception:  # a label whose comparison fails or is ambiguous: keep the rows apart
        return False


def linear_limits(prepared: dict, bnds) -> Limits | None:
    """The bounds and constraint records the pipeline prepared, as linear limits.

    None when any record is not one of the module's own group or budget records, or names a
    position outside the instruments: such a call is left to the scipy path.
    """
    ids = list(prepared["columns"])
    n = len(ids)
    rows = _engine.linear_form(prepared["constraints"])
    if rows is None:
        return None
    lower = np.array([-np.inf if lo is None else float(lo) for lo, _ in prepared["bounds"]])
    upper = np.array([np.inf if hi is None else float(hi) for _, hi in prepared["bounds"]])
    groups, budgets = [], 0
    for kind, label, positions, bound in rows:
        if kind == "budget":
            budgets += 1
            continue
        if any(not 0 <= p < n for p in positions):
            return None
        member = np.zeros(n)
        np.add.at(member, positions, 1.0)
        # A group's floor record is followed by its cap record: merge them into one row.
        if kind == "cap" and groups and _same_label(groups[-1][0], label) and np.array_equal(groups[-1][1], member) \
                and groups[-1][3] == np.inf:
            groups[-1][3] = bound
        else:
            groups.append([label, member, bound if kind == "floor" else -np.inf, bound if kind == "cap" else np.inf])
    if budgets == 0:
        return None  # no budget: not a portfolio problem the native solvers state
    A = np.vstack([g[1] for g in groups] + [np.ones(n)])
    lo = np.array([g[2] for g in groups] + [1.0])
    hi = np.array([g[3] for g in groups] + [1.0])
    return Limits(ids=ids, lower=lower, upper=upper, A=A, lo=lo, hi=hi,
                  row_labels=[g[0] for g in groups] + [None], bound_source=_bound_sources(ids, bnds))


def _tracking_rows(df: pd.DataFrame, benchmark) -> tuple[np.ndarray, np.ndarray]:
    R = df.to_numpy(dtype=float)
    b = np.asarray(benchmark, dtype=float)
    if b.shape != (R.shape[0],):
        raise ValueError(f"the benchmark has {b.size} returns for {R.shape[0]} days")
    return R, b


def _objective(method, C, w, prepared, risk_aversion_coefficient, mu) -> float:
    if method == OptimizeMethod.MIN_VARIANCE:
        return float(w @ C @ w)
    if method == OptimizeMethod.MEAN_VARIANCE:
        return float(risk_aversion_coefficient / 2 * (w @ C @ w) - w @ mu)
    if method == OptimizeMethod.MIN_TRACKING_ERROR:
        R, b = _tracking_rows(prepared["df"], prepared["benchmark"])
        keep = np.isfinite(b) & np.isfinite(R).all(axis=1)
        d = b[keep] - R[keep] @ w
        return float(d @ d)
    return riskparity.pairwise_spread(riskparity.risk_contributions(C, w))


def _not_converged(max_iteration) -> OptimizationFailed:
    return OptimizationFailed(f"OPTIMIZER: 达到最大迭代次数 {max_iteration} 仍未收敛")


def _native_solve(method, prepared, limits, risk_aversion_coefficient, plain_risk_parity, max_iteration, tol):
    """(weights, iterations, converged) from the exact native solver of ``method``; None for a
    method the native path does not know (the scipy path then reports it)."""
    C = prepared["c_m"].to_numpy(dtype=float)
    if not np.isfinite(C).all():
        return None  # a covariance with missing entries: leave it to the scipy path
    if method == OptimizeMethod.RISK_PARITY:
        if plain_risk_parity:
            rp = riskparity.solve_unconstrained(C, max_iteration=max_iteration)
        else:
            rp = riskparity.solve_with_limits(C, limits, max_iteration=max_iteration, tol=tol)
        return rp.x, rp.iterations, rp.converged
    if method == OptimizeMethod.MIN_VARIANCE:
        r = qp.min_variance(C, limits, max_iteration=max_iteration)
    elif method == OptimizeMethod.MEAN_VARIANCE:
        mu = prepared["df"].mean().to_numpy(dtype=float)
        r = qp.mean_variance(C, mu, float(risk_aversion_coefficient), limits, max_iteration=max_iteration)
    elif method == OptimizeMethod.MIN_TRACKING_ERROR:
        R, b = _tracking_rows(prepared["df"], prepared["benchmark"])
        r = qp.min_tracking_error(R, b, limits, max_iteration=max_iteration)
    else:
        return None
    if not r.converged and r.status != qp.MAX_ITERATION:
        raise OptimizationFailed(f"OPTIMIZER: 求解失败（{r.status}）")
    return r.x, r.iterations, r.converged


def _as_date(value):
    if value is None:
        return None
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    try:
        return pd.Timestamp(value).date()
    except (TypeError, ValueError):
        return value


_D = DEFAULTS


def optimize(order_book_ids, date, method=_D["method"], bnds=_D["bnds"], cons=_D["cons"],
             cov_shrinkage=_D["cov_shrinkage"], benchmark=_D["benchmark"],
             risk_aversion_coefficient=_D["risk_aversion_coefficient"], window=_D["window"],
             max_iteration=_D["max_iteration"], tol=_D["tol"], quiet=_D["quiet"], *, solver="native",
             progress=None) -> OptimizeResult:
    """Optimise and return everything the optimisation produced.

    Parameters are those of :func:`vela_optimizer.portfolio_optimize`, plus ``progress``, a
    callable ``progress(stage, info)`` called as each stage starts: "window", "benchmark"
    (tracking error only), "instruments", "prices", "screening" (info: ``{"retained": [...],
    "dropped": [(id, reason), ...]}``, reported before a failing count check), "bounds",
    "covariance", "constraints", "feasibility", "solve", "done".

    Before either solver runs, the bounds, group limits and budget are checked for a portfolio
    that satisfies them all; when there is none, :class:`vela_optimizer.feasibility.LimitConflict`
    (an ``InvalidArgument``) names a smallest set of limits in conflict.

    Returns
    -------
    OptimizeResult

    Raises
    ------
    InvalidArgument
        For arguments the caller can correct (as the module's own ``portfolio_optimize``), an
        unknown ``solver``, or limits that admit no portfolio.
    OptimizationFailed
        When the scipy path's solve is not accepted, or the native solve stops at
        ``max_iteration`` without meeting its tolerance.
    """
    check_solver(solver)
    stages = _Stages(progress)
    plain_risk_parity = bnds is None and cons is None
    state: dict = {}

    def solve(prepared):
        limits = linear_limits(prepared, bnds)
        if limits is not None:
            stages("feasibility")
            feasibility.check_limits(limits)
        if solver != "native" or limits is None:
            return NotImplemented
        stages("solve")
        answer = _native_solve(method, prepared, limits, risk_aversion_coefficient, plain_risk_parity,
                               max_iteration, tol)
        if answer is None:
            return NotImplemented
        x, iterations, converged = answer
        if not converged:
            raise _not_converged(max_iteration)
        state["native"] = (np.asarray(x, dtype=float), iterations)
        return True

    out = _engine.run(order_book_ids, date, method, bnds, cons, cov_shrinkage, benchmark, risk_aversion_coefficient,
                      window, max_iteration, tol, quiet, stages, solve)
    ids = list(out["columns"])
    if "native" in state:
        x, iterations = state["native"]
        converged, used = True, "native"
    else:
        weights, info = out["weights"], out["scipy"]
        x = np.array([weights[i] for i in ids], dtype=float)
        iterations = int(info.get("nit") or 0)
        converged, used = bool(info.get("success")), "scipy"
    stages("done")

    C = out["c_m"].to_numpy(dtype=float)
    mu = out["df"].mean() if method == OptimizeMethod.MEAN_VARIANCE else None
    rc = riskparity.risk_contributions(C, x)
    variance = float(x @ C @ x)
    retained = set(ids)
    return OptimizeResult(
        weights=pd.Series(x, index=pd.Index(ids, dtype=object), name="weight"),
        method=method,
        solver=used,
        date=date,
        trading_date=_as_date(out["last_day"]),
        start_date=_as_date(out["start_date"]),
        window=int(window),
        instrument_type=out["instrument_type"],
        retained=ids,
        dropped=[Dropped(i, reason) for i, reason in out["dropped"]],
        ignored_bounds=[] if bnds is None else [k for k in bnds if k != "*" and k not in retained],
        returns=out["df"],
        covariance=out["c_m"],
        expected_returns=mu,
        benchmark_returns=out["benchmark"] if method == OptimizeMethod.MIN_TRACKING_ERROR else None,
        risk_contributions=pd.Series(rc, index=pd.Index(ids, dtype=object), name="risk_contribution"),
        volatility=float(np.sqrt(variance)) if variance >= 0 else float("nan"),
        objective=_objective(method, C, x, out, risk_aversion_coefficient,
                             None if mu is None else mu.to_numpy(dtype=float)),
        iterations=iterations,
        converged=converged,
        timings=stages.timings,
    )


def portfolio_optimize(order_book_ids, date, method=_D["method"], bnds=_D["bnds"], cons=_D["cons"],
                       cov_shrinkage=_D["cov_shrinkage"], benchmark=_D["benchmark"],
                       risk_aversion_coefficient=_D["risk_aversion_coefficient"], window=_D["window"],
                       max_iteration=_D["max_iteration"], tol=_D["tol"], quiet=_D["quiet"], *,
                       solver="native") -> dict:
    """Portfolio weights of the retained instruments, ``{order_book_id: weight}``.

    Parameters
    ----------
    order_book_ids : list of str
        Instruments: all stocks, or all funds.
    date : str, datetime.date or datetime.datetime
        Last day of the estimation window.
    method : OptimizeMethod
        ``RISK_PARITY`` (default), ``MIN_VARIANCE``, ``MEAN_VARIANCE`` or ``MIN_TRACKING_ERROR``.
    bnds : dict, optional
        Per-instrument ``(lower, upper)`` weight bounds, keyed by id or ``"*"`` for every other one.
    cons : GICSConstraint, ShenWanConstraint or FundTypeConstraint, optional
        Group limits ``{label: (lower, upper)}`` on total weights.
    cov_shrinkage : bool
        Shrink the covariance towards a constant-correlation target (default) or use the sample one.
    benchmark : str, optional
        Benchmark id, required by ``MIN_TRACKING_ERROR``.
    risk_aversion_coefficient : float
        λ of mean-variance, ``λ/2·wᵀCw − μᵀw``; at least 0.
    window : int
        Trading days of history ending on ``date``.
    max_iteration : int
        Iteration limit of the solve.
    tol : float
        The scipy path's accuracy goal (SLSQP's ftol); for native risk parity under limits, the
        weight change below which its successive convex approximation stops.
    quiet : bool
        Silence the screening notices.
    solver : {"native", "scipy"}
        ``"native"`` (default): the same pipeline, solved exactly by the native solvers.
        ``"scipy"``: exactly ``vela_optimizer.optimizer.portfolio_optimize`` (same weights bit for
        bit, same errors, warnings and client calls).

    Returns
    -------
    dict
        Weight per retained id; ids screening removed are absent.

    Raises
    ------
    InvalidArgument, OptimizationFailed
        As :func:`optimize` (the scipy path: as the module's own ``portfolio_optimize``).
    """
    check_solver(solver)
    if solver == "scipy":
        return optimizer.portfolio_optimize(order_book_ids, date, method, bnds, cons, cov_shrinkage, benchmark,
                                            risk_aversion_coefficient, window, max_iteration, tol, quiet)
    return optimize(order_book_ids, date, method, bnds, cons, cov_shrinkage, benchmark, risk_aversion_coefficient,
                    window, max_iteration, tol, quiet, solver=solver).to_dict()
