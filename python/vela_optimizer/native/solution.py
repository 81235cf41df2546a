"""The answer of every native solve, with one vocabulary of statuses."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

__all__ = [
    "INFEASIBLE",
    "MAX_ITERATION",
    "NUMERICAL",
    "SOLVED",
    "STATUSES",
    "TIME_LIMIT",
    "UNBOUNDED",
    "Solution",
    "exact",
    "zeros_of",
]

SOLVED = "solved"
MAX_ITERATION = "max_iteration"
INFEASIBLE = "infeasible"
UNBOUNDED = "unbounded"
NUMERICAL = "numerical"
TIME_LIMIT = "time_limit"
STATUSES = (SOLVED, MAX_ITERATION, INFEASIBLE, UNBOUNDED, NUMERICAL, TIME_LIMIT)


@dataclass(frozen=True)
class Solution:
    """The answer of one native solve.

    Attributes
    ----------
    x : numpy.ndarray
        The weights, shape (n,); NaN where no portfolio was found (``"infeasible"``, or a
        numerical failure before any iterate).
    iterations : int
        QP: iterations of the interior-point pass the answer came from (the loose pass, or the
        tight one when the polish from the loose pass failed), 0 when the active set from the
        greedy vertex answered. Risk parity: coordinate sweeps / Newton steps of the
        unconstrained solve, plus one per QP of the successive convex approximation.
    converged : bool
        ``status == "solved"``: the solver met its tolerance.
    status : str
        ``"solved"``; ``"max_iteration"`` (stopped at the iteration limit, ``x`` is the last
        iterate); ``"time_limit"`` (stopped at ``Settings.time_limit``, ``x`` is the last iterate,
        NaN if there was none; ``message`` says where it stopped); ``"infeasible"`` (the limits
        admit no portfolio); ``"unbounded"``; ``"numerical"`` (the solver failed; ``message`` says
        where).
    solver : str
        What solved: ``"piqp"`` (the interior point, then the polish), ``"interior-point"``
        (tracking error on many more instruments than days: the interior point in the days'
        dimension, :mod:`vela_optimizer.native.qp.wide`, then the polish), ``"daqp"`` (small
        problems: DAQP's active set, checked exact), ``"active-set"`` (the active set from the
        greedy vertex, checked exact), ``"ccd"`` / ``"newton"`` (risk parity
        without limits: coordinate descent handing over to Newton, or Newton alone),
        ``"daqp-sca"`` (risk parity under binding limits).
    objective : float
        The method's objective at ``x`` in the caller's units: ``xᵀCx`` (minimum variance),
        ``λ/2·xᵀCx − μᵀx``, ``‖b − R x‖²`` over the complete days, ``½xᵀPx + qᵀx`` (:func:`solve_qp`),
        or the pairwise spread Σ_{i<j} |RC_i − RC_j| (risk parity).
    message : str
        One English line saying how the solve ended.
    kkt_residual : float or None
        QP: the KKT residual at ``x`` (for an exact answer, under the multipliers that certified it).
    polished : bool or None
        QP: True when ``x`` is the polished (exact) point rather than the interior point's.
    spread, ratio : float or None
        Risk parity: the pairwise spread (also ``objective``) and max RC / min RC − 1 (``inf`` when
        some contribution is not positive).
    path : str or None
        Risk parity: ``"equal"`` (the equal-contribution portfolio, which meets every limit) or
        ``"sca"`` (limits bind and the spread was minimised over them).
    zeros : tuple of (int, str)
        The instruments the solve set to zero (``|x_i| <= 1e-12``), by position in ``x``, each with
        why: ``"group_cap"`` (risk parity: a group cap it belongs to binds, and the weight, its
        risk contribution with it, went to 0), ``"bound"`` (it sits at a bound of 0: a floor of 0,
        or a cap of 0), ``"optimal"`` (0 lies inside its bounds and is where the optimum puts it).
        Empty when no weight is zero, and for a solve without a portfolio (NaN weights).
    """

    x: np.ndarray
    iterations: int
    converged: bool = field(init=False)
    status: str
    solver: str
    objective: float
    message: str = ""
    kkt_residual: float | None = None
    polished: bool | None = None
    spread: float | None = None
    ratio: float | None = None
    path: str | None = None
    zeros: tuple = ()

    def __post_init__(self):
        if self.status not in STATUSES:
            raise ValueError(f"status must be one of {STATUSES}, got {self.status!r}")
        object.__setattr__(self, "converged", self.status == SOLVED)
        if not self.message:
            object.__setattr__(self, "message", _describe(self.status, self.solver, self.iterations))


# A weight at most this far from 0 is zero (weights sum to 1; the solvers' feasibility tolerance).
ZERO = 1e-12


def zeros_of(x, limits, risk_parity=False) -> tuple:
    """The ``zeros`` of a solution ``x`` under ``limits`` (see :class:`Solution`)."""
    x = np.asarray(x, dtype=float)
    if limits is None or not np.isfinite(x).all():
        return ()
    zero = np.flatnonzero(np.abs(x) <= ZERO)
    if not zero.size:
        return ()
    capped = [False] * zero.size
    rows = list(limits.group_rows)
    if risk_parity and rows:
        G = limits.A[rows]
        binding = G @ x >= limits.hi[rows] - ZERO
        if binding.any():
            capped = np.any(G[binding][:, zero] != 0.0, axis=0).tolist()
    at_bound = ((np.abs(limits.lower[zero]) <= ZERO) | (np.abs(limits.upper[zero]) <= ZERO)).tolist()
    return tuple(
        (i, "group_cap" if c else "bound" if b else "optimal") for i, c, b in zip(zero.tolist(), capped, at_bound)
    )


def exact(x, iterations, solver, objective, kkt, zeros) -> Solution:
    """The Solution of an answer certified exact (a KKT point to the polish's tolerance), its
    message naming what found it: ``solver`` as :class:`Solution` lists them."""
    how = {
        "active-set": "the active set from the greedy vertex",
        "daqp": f"DAQP's active set ({iterations} iterations)",
        "interior-point": f"the interior point in the days' dimension ({iterations} iterations) and the polish",
    }.get(solver, f"the interior point ({iterations} iterations) and the polish on its active set")
    return Solution(
        x,
        iterations,
        SOLVED,
        solver,
        objective,
        kkt_residual=kkt,
        polished=True,
        message=f"{how} gave the exact optimum (KKT residual {kkt:.1e})",
        zeros=zeros,
    )


def _describe(status, solver, iterations) -> str:
    if status == SOLVED:
        return f"solved by {solver} after {iterations} iterations"
    if status == MAX_ITERATION:
        return f"{solver} stopped at the iteration limit ({iterations} iterations) before meeting its tolerance"
    if status == TIME_LIMIT:
        return f"{solver} stopped at the time limit ({iterations} iterations) before meeting its tolerance"
    if status == INFEASIBLE:
        return "the limits admit no portfolio"
    if status == UNBOUNDED:
        return "the objective is unbounded below over the limits"
    return f"{solver} failed numerically"
