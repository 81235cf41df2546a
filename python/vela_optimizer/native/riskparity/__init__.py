"""Risk parity solved natively: equal risk contributions, exactly, with and without limits.

The risk contribution of instrument i in the portfolio w is RC_i = w_i·(C·w)_i; the contributions
sum to the variance wᵀCw.

Without limits (:func:`solve_unconstrained`) the answer is the minimiser of the scipy path's own
log-barrier objective f(x) = xᵀCx − 15·Σ ln x_i, whose stationary point makes every x_i·(C·x)_i
equal to 7.5, scaled to sum 1: the unique long-only portfolio with equal contributions. The
native core (``vela_optimizer._engine.risk_parity_barrier``) solves it to machine precision.

With bounds, group limits and the budget (:func:`solve_with_limits`): the equal-contribution
portfolio is unique among long-only portfolios, so equal contributions are attainable within the
limits exactly when that portfolio satisfies them, and then it is the answer. Otherwise the
answer minimises the scipy path's objective, the pairwise spread S(w) = Σ_{i<j} |RC_i − RC_j|,
over the limits, by successive convex approximation in two phases (:mod:`.sca`): a few QPs on
squared deviations, then QPs on the spread itself over blocks of tied contributions
(:mod:`.spread`, :mod:`.blocks`, :mod:`.jacobian`). Every iterate meets every limit and the
spread never rises.

References: Spinu (2013); Griveau-Billion, Richard & Roncalli (2013); Feng & Palomar, "SCRIP:
successive convex optimization methods for risk parity portfolio design", IEEE TSP 63(19), 2015.
"""

from __future__ import annotations

import dataclasses
import importlib
import math

import numpy as np

from ... import optimizer  # noqa: F401  (importing the extension registers _engine)
from ...exception import InvalidArgument
from ...metrics import pairwise_spread, risk_contributions
from ..factored import FactoredCovariance
from ..inputs import as_array, check_limits
from ..settings import ENGINE_MAX_ITERATION, blas_threads, settings_for, time_budget
from ..solution import MAX_ITERATION, NUMERICAL, SOLVED, Solution, zeros_of
from .newton import barrier_newton
from .sca import HANDED_OVER, SpreadSCA

# Importing the extension (above) registers its private engine module.
_engine = importlib.import_module("..._engine", __package__)

__all__ = ["BARRIER", "solve_unconstrained", "solve_with_limits"]

# c in the scipy path's f(x) = xᵀCx − c·Σ ln x_i.
BARRIER = 15.0
# Under caps on trades the solve without them runs first (its answer is the answer when it meets
# the caps); once an iterate of its squared phase trades more than this multiple of a cap, the caps
# will bind and the rest of that solve is skipped: the capped solve starts from there. Measured on
# 32 problems of 40 to 1,000 instruments, the squared phase's answer's turnover was within
# 0.92-1.05 of the final one's. The phase is left at its first iterate that trades that much, not
# at its end: measured, the capped solves of 12 problems at 300 instruments took 1,508 QPs
# against 1,563 and 6 at 1,000 1,865 against 1,794 (the spreads within 5e-9, some lower, one by
# 4e-5), and the rebalance of 2,488 stocks with industries capped at 6 % and turnover at 20 %
# 22 s against 67 s (the other whole-market runs measured 0.9-1.4 times as long, the same spreads).
CLEARLY_CAPPED = 1.25
# After a QP of the spread phase the turnover is nearly the answer's: on 45 problems of 40 to 300
# instruments with random caps it was within 0.91-1.02 of it after the first. Past this multiple
# of a cap the rest of the solve without caps is skipped too (at 300 instruments and a cap that
# binds only a little, 33 QPs of a solve whose answer the capped solve then moves anyway).
CAPPED_IN_SPREAD = 1.02
# The start of the solve without caps (the equal-risk portfolio moved into the limits) that trades
# past this multiple of a cap hands over at once, before any squared QP (a dense QP over every
# weight: 50 ms at 1,000 stocks). Measured against handing over after the squared phase: the
# market sample's 24 rebalances at 1,000 stocks took 1,622 spread QPs against 1,654 and those at
# 300 782 against 795, to the same spreads; the generated books at 300 (8 problems, caps of 5, 10
# and 20 %) 1,522 QPs against 1,704, 21 of 24 spreads the same, one 1.6e-3 lower, one 4.8e-7
# lower and one 1.6e-7 higher (other stationary points). At 1.25 one market spread at 300 was
# 9.4e-6 higher.
CAPPED_AT_START = 2.0
# The unconstrained solver's methods, and what each is reported as.
_METHODS = {"auto": "ccd", "ccd": "ccd", "newton": "newton"}


def _ratio(rc: np.ndarray) -> float:
    if not np.all(np.isfinite(rc)):
        return math.nan
    low = float(np.min(rc))
    return float(np.max(rc)) / low - 1.0 if low > 0 else math.inf


def _covariance(C):
    """The checked covariance: a square array of finite numbers with positive variances, or a
    :class:`~..factored.FactoredCovariance` with positive variances (kept factored)."""
    if isinstance(C, FactoredCovariance):
        diag = C.diagonal()
        if not (np.isfinite(diag).all() and np.isfinite(C.U).all() and np.isfinite(C.E).all()):
            raise InvalidArgument("OPTIMIZER: 协方差矩阵含有 NaN 或 inf")
        _positive_variances(diag)
        return C
    a = as_array("C", C)
    if a.ndim != 2 or a.shape[0] != a.shape[1] or a.shape[0] == 0:
        raise InvalidArgument(f"OPTIMIZER: 协方差矩阵必须是非空方阵，传入的形状为：{a.shape}")
    if not np.isfinite(a).all():
        raise InvalidArgument("OPTIMIZER: 协方差矩阵含有 NaN 或 inf")
    _positive_variances(np.diag(a))
    return a


def _positive_variances(diag):
    bad = np.flatnonzero(~(diag > 0))
    if bad.size:
        i = int(bad[0])
        raise InvalidArgument(f"OPTIMIZER: 协方差矩阵第 {i} 个合约的方差 {diag[i]} 不是正数，无法计算风险平价权重")


def _solution(C, w, iterations, status, solver, path, message="", limits=None) -> Solution:
    rc = w * (C @ w) if isinstance(C, FactoredCovariance) else risk_contributions(C, w)
    spread = pairwise_spread(rc)
    return Solution(
        w,
        int(iterations),
        status,
        solver,
        spread,
        message=message,
        spread=spread,
        ratio=_ratio(rc),
        path=path,
        zeros=zeros_of(w, limits, risk_parity=True),
    )


def solve_unconstrained(C, *, max_iteration=None, tol=None, method: str = "auto", settings=None) -> Solution:
    """Equal risk contributions without bounds or limits.

    Minimises f(x) = xᵀCx − 15·Σ ln x_i natively (coordinate descent on the correlation scale,
    Newton when the sweeps slow down) and scales x to sum 1.

    Parameters
    ----------
    C : array_like, shape (n, n), or FactoredCovariance
        Covariance matrix: finite, positive variances (its symmetric part is used); a factored
        covariance is solved by damped Newton with Woodbury solves (``solver == "newton"``).
    max_iteration : int, optional
        Limit on coordinate sweeps plus Newton steps (``settings.max_iteration`` when not given).
    tol : float, optional
        Stop when every x_i·(C·x)_i is within a relative ``tol`` of 7.5 (or at the rounding floor
        of that product); ``settings.unconstrained_tol`` when not given.
    method : {"auto", "ccd", "newton"}, optional
        Coordinate descent handing over to Newton, coordinate descent, or damped Newton.
    settings : Settings, optional
        Tolerances; ``Settings()`` when not given.

    Returns
    -------
    Solution
        ``path == "equal"``; ``status`` is ``"max_iteration"`` when ``max_iteration`` was reached
        first, ``"numerical"`` (``x`` NaN) when the solve gave no usable weights.

    Raises
    ------
    InvalidArgument
        A matrix that is not square, has NaN or inf, or a variance that is not positive; a
        ``max_iteration`` that is not a positive integer; a ``tol`` that is not positive; an
        unknown ``method``.
    """
    settings = settings_for(settings, max_iteration=max_iteration, tol=tol, tol_field="unconstrained_tol")
    a = _covariance(C)
    solver = _METHODS.get(method) if isinstance(method, str) else None
    if solver is None:
        raise InvalidArgument(f"OPTIMIZER: method 必须为 auto、ccd 或 newton，传入值为：{method!r}")
    if isinstance(a, FactoredCovariance):
        # Damped Newton with Woodbury solves: O(n·k²) a step, where the core's sweeps are O(n²).
        solver = "newton"
        with blas_threads(settings):
            x, iterations, converged = barrier_newton(
                a, min(settings.max_iteration, ENGINE_MAX_ITERATION), settings.unconstrained_tol, BARRIER
            )
    else:
        x, iterations, converged = _engine.risk_parity_barrier(
            a, min(settings.max_iteration, ENGINE_MAX_ITERATION), settings.unconstrained_tol, BARRIER, method
        )
    total = float(np.sum(x))
    if not (np.isfinite(x).all() and math.isfinite(total) and total > 0):
        return Solution(
            np.full(a.shape[0], np.nan),
            int(iterations),
            NUMERICAL,
            solver,
            math.nan,
            message="the unconstrained risk parity solve gave weights that are not finite and positive",
            spread=math.nan,
            ratio=math.nan,
            path="equal",
        )
    status = SOLVED if converged else MAX_ITERATION
    message = (
        "equal risk contributions"
        if converged
        else "stopped at the iteration limit before the risk contributions were equal to the tolerance"
    )
    return _solution(
        a, x / total, iterations, status, solver, "equal", f"{message} ({iterations} sweeps and Newton steps)"
    )


def solve_with_limits(C, limits, *, max_iteration=None, tol=None, settings=None) -> Solution:
    """Risk parity under instrument bounds, group limits and the budget.

    The equal-contribution portfolio when it meets every limit (``path == "equal"``); otherwise
    a feasible portfolio minimising the pairwise spread Σ_{i<j} |RC_i − RC_j| (``path == "sca"``,
    ``solver == "daqp-sca"``, see :mod:`.sca` and :mod:`.spread`).

    Parameters
    ----------
    C : array_like, shape (n, n), or FactoredCovariance
        Covariance matrix: finite, positive variances (its symmetric part is used); a factored
        one is kept factored throughout.
    limits : Limits
        Bounds, group rows and the budget over the same n instruments.
    max_iteration : int, optional
        Limit on the unconstrained solve's sweeps, and separately on the number of QPs
        (``settings.max_iteration`` when not given).
    tol : float, optional
        The successive approximation stops when a step changes no weight by more than ``tol``
        and the block structure is settled (``settings.tol`` when not given).
    settings : Settings, optional
        Tolerances; ``Settings()`` when not given.

    Returns
    -------
    Solution
        Every weight within ``limits`` (``limits.violation(x) <= settings.feasibility_tol``);
        ``status`` is ``"max_iteration"`` when ``max_iteration`` was reached first, and
        ``"numerical"`` when the approximation could not go on (the last feasible iterate is
        returned; ``x`` is NaN if no feasible start was found).

    Raises
    ------
    InvalidArgument
        As :func:`solve_unconstrained`; limits over another number of instruments; limits that
        admit no portfolio (:class:`vela_optimizer.feasibility.LimitConflict`, naming them).
    """
    settings = settings_for(settings, max_iteration=max_iteration, tol=tol)
    a = _covariance(C)
    check_limits(limits, a.shape[0], "协方差矩阵")
    with time_budget(settings):
        return _with_limits(a, limits, settings)


def _with_limits(a, limits, settings) -> Solution:
    """:func:`solve_with_limits` on a checked covariance and limits, within the time limit."""
    equal = solve_unconstrained(a, settings=settings)
    if equal.status == NUMERICAL or (equal.converged and limits.violation(equal.x) <= settings.feasibility_tol):
        return equal
    start, used, hint, toward = equal.x, 0, None, None
    with blas_threads(settings):
        if limits.turnover_capped:
            # Caps on what is bought and sold: the answer without them when it meets them (the caps
            # narrow the limits, so it is then the answer with them too), else the start.
            free = SpreadSCA(a, dataclasses.replace(limits, max_buy=math.inf, max_sell=math.inf), settings)
            w, used, status, message = free.run(
                equal.x,
                settings.max_iteration,
                hand_over=lambda x, spread_qps: _clearly_capped(x, limits, _hand_over_margin(spread_qps)),
            )
            if status != HANDED_OVER and (
                not np.all(np.isfinite(w)) or limits.violation(w) <= settings.feasibility_tol
            ):
                return _finish(a, w, equal, used, status, message, limits)
            # A cap that binds only a little leaves most contributions tied as they were without it.
            start, hint, toward = w, free.blocks, _toward(limits, w, settings)
        capped = SpreadSCA(a, limits, settings)
        capped.blocks_hint = hint
        w, iterations, status, message = capped.run(start, settings.max_iteration - used, start=toward)
    return _finish(a, w, equal, used + iterations, status, message, limits)


def _toward(limits, w, settings):
    """The portfolio on the way from the holdings to ``w`` that trades up to the caps (within
    the limits, as both ends are), or None when the holdings break the limits. It keeps the
    trades' proportions, where the nearest portfolio within the caps cuts the largest trades:
    measured at 300 instruments, the capped solve took fewer QPs from it and no projection."""
    h = limits.holdings
    if limits.violation(h) > settings.feasibility_tol:
        return None
    bought, sold = limits.traded(w)
    t = min(1.0, limits.max_buy / bought if bought > 0 else 1.0, limits.max_sell / sold if sold > 0 else 1.0)
    x = h + t * (w - h)
    return x if limits.violation(x) <= settings.feasibility_tol else None


def _hand_over_margin(spread_qps: int) -> float:
    """The multiple of a cap past which the solve without caps hands over: at its start (``spread_qps``
    -1), in its squared phase (0), in its spread phase (its QPs so far)."""
    return CAPPED_AT_START if spread_qps < 0 else CLEARLY_CAPPED if spread_qps == 0 else CAPPED_IN_SPREAD


def _clearly_capped(w, limits, margin: float) -> bool:
    """Whether ``w`` buys or sells more than ``margin`` times the cap on it."""
    bought, sold = limits.traded(w)
    return bought > margin * limits.max_buy or sold > margin * limits.max_sell


def _finish(a, w, equal, iterations, status, message, limits) -> Solution:
    """The Solution of the approximation's answer ``w`` after ``iterations`` QPs under ``limits``."""
    if status == SOLVED and not equal.converged:
        status, message = MAX_ITERATION, "the unconstrained solve stopped at the iteration limit"
    if not message:
        message = (
            "limits bind: the pairwise spread was minimised over them"
            if status == SOLVED
            else "stopped at the iteration limit at a feasible portfolio before the steps settled"
        )
    return _solution(
        a, w, equal.iterations + iterations, status, "daqp-sca", "sca", f"{message} ({iterations} QPs)", limits
    )
