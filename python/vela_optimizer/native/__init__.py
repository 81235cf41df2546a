"""The native solvers: exact answers for the four methods, one entry point, one result type.

::

    from vela_optimizer.native import solve, Settings, Solution
    sol = solve("min_variance", C, limits, Settings(max_iteration=500))
    sol.x, sol.status, sol.message, sol.solver, sol.objective

- :mod:`.qp`: minimum variance, mean-variance and minimum tracking error as convex QPs, solved by
  an interior point and polished on the active set it finds (exact to a KKT residual of about
  1e-12);
- :mod:`.riskparity`: equal risk contributions without limits, and the pairwise spread
  minimised over binding limits by successive convex approximation.

Every solve returns a :class:`Solution` whose ``status`` is one of ``"solved"``,
``"max_iteration"``, ``"time_limit"``, ``"infeasible"``, ``"unbounded"``, ``"numerical"``: a solve that ends without
an accepted answer is not an exception, the caller decides. Arguments the caller can correct
raise :class:`~vela_optimizer.exception.InvalidArgument` (risk parity under limits that admit no
portfolio raises its subclass :class:`~vela_optimizer.feasibility.LimitConflict`, which names
them). Tolerances and iteration limits are one :class:`Settings`.
"""

from __future__ import annotations

from ..exception import InvalidArgument
from . import qp, riskparity
from .settings import Settings, settings_for
from .solution import INFEASIBLE, MAX_ITERATION, NUMERICAL, SOLVED, STATUSES, TIME_LIMIT, UNBOUNDED, Solution

__all__ = [
    "INFEASIBLE",
    "MAX_ITERATION",
    "METHODS",
    "NUMERICAL",
    "SOLVED",
    "STATUSES",
    "TIME_LIMIT",
    "UNBOUNDED",
    "Settings",
    "Solution",
    "solve",
]

METHODS = ("risk_parity", "min_variance", "mean_variance", "min_tracking_error")


def _needed(value, name, method):
    if value is None:
        raise InvalidArgument(f"OPTIMIZER: 方法 {method} 必须指定 {name}")
    return value


def solve(method, C, limits, settings=None, *, mu=None, risk_aversion=None, R=None, b=None) -> Solution:
    """Solve one optimisation natively.

    Parameters
    ----------
    method : str
        ``"risk_parity"``, ``"min_variance"``, ``"mean_variance"`` or ``"min_tracking_error"``
        (an ``OptimizeMethod`` is read by its value).
    C : array_like
        Covariance matrix (n, n); not read by minimum tracking error.
    limits : Limits or None
        Instrument bounds, group limits and the budget. None only for risk parity without any
        (then the unconstrained solver runs).
    settings : Settings, optional
        Tolerances and iteration limits; ``Settings()`` when not given.
    mu : array_like, optional
        Expected returns (n,), for mean-variance.
    risk_aversion : float, optional
        λ ≥ 0 in ``λ/2·wᵀCw − μᵀw``, for mean-variance.
    R : array_like, optional
        Daily returns (days, n), for minimum tracking error; days with a missing return (here or
        in ``b``) are left out.
    b : array_like, optional
        The benchmark's daily returns (days,), for minimum tracking error.

    Returns
    -------
    Solution
        ``converged`` with ``status == "solved"``; ``status == "max_iteration"`` with the last
        iterate when the iteration limit came first; ``"infeasible"``, ``"unbounded"`` or
        ``"numerical"`` when the solve failed (raising is the caller's choice).

    Raises
    ------
    InvalidArgument
        An unknown method, a missing argument of the method, bad settings, data or limits.
    """
    settings = settings_for(settings)
    name = getattr(method, "value", method)
    if not isinstance(name, str) or name not in METHODS:
        raise InvalidArgument(f"OPTIMIZER: method 必须为 {'、'.join(METHODS)} 之一，传入值为：{method!r}")
    if name == "risk_parity":
        if limits is None:
            return riskparity.solve_unconstrained(C, settings=settings)
        return riskparity.solve_with_limits(C, limits, settings=settings)
    _needed(limits, "limits", name)
    if name == "min_variance":
        return qp.min_variance(C, limits, settings=settings)
    if name == "mean_variance":
        return qp.mean_variance(
            C, _needed(mu, "mu", name), _needed(risk_aversion, "risk_aversion", name), limits, settings=settings
        )
    return qp.min_tracking_error(_needed(R, "R", name), _needed(b, "b", name), limits, settings=settings)
