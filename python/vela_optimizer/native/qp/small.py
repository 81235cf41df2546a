"""Small problems: DAQP's dual active set, certified here, before the interior point.

At a hundred instruments or fewer a dense active-set solve is faster than the interior point and
its polish together (DAQP factors the Hessian once and changes few constraints); it ends on an
active set, so its answer is that set's exact KKT point. It is accepted on the polish's terms
(:mod:`.certify`): no bound or row broken by more than ``Settings.primal_tol``, every multiplier of
the right sign and the free weights stationary to ``Settings.dual_tol``. Otherwise (a Hessian that
is not positive definite, DAQP's limits, a point it does not certify) the interior point solves
the problem as if DAQP had not been tried.
"""

from __future__ import annotations

import daqp
import numpy as np

from ..settings import ENGINE_MAX_ITERATION, out_of_time

# DAQP's infinity: bounds beyond it are absent.
_INF = 1e30


def solve_small(red, settings):
    """(x over the reduced variables, its KKT residual, DAQP's iterations, the most it breaks a
    bound or row by) from DAQP, certified, or None."""
    quad, n = red.quad, red.quad.n
    if out_of_time():
        return None
    if quad.is_factor:
        if quad.F.shape[0] < n:
            return None  # FᵀF is singular: no dense active-set solve
        H, f = quad.F.T @ quad.F, quad.q - quad.F.T @ quad.d
    else:
        H, f = (quad.P.dense() if quad.is_lowrank else quad.P), quad.q
    A = red.A
    eq = red.lo == red.hi
    sense = np.zeros(n + eq.size, dtype=np.int32)
    sense[n:][eq] = 5
    # Bounds and rows side by side, as DAQP reads them; beyond its infinity a side is absent.
    upper = np.minimum(np.concatenate((red.upper, red.hi)), _INF)
    lower = np.maximum(np.concatenate((red.lower, red.lo)), -_INF)
    x, _, flag, info = daqp.solve(
        np.ascontiguousarray(H),
        f,
        np.ascontiguousarray(A),
        upper,
        lower,
        sense,
        primal_tol=settings.primal_tol,
        eps_prox=0.0,
        iter_limit=min(settings.max_iteration, ENGINE_MAX_ITERATION),
    )
    if flag != 1 or not np.isfinite(x).all():
        return None
    z = np.concatenate((x, A @ x))
    below, above = z - lower, upper - z  # slack to each side, negative where broken
    # (A side beyond DAQP's infinity reads as there: it can only refuse a point beyond 1e30.)
    broken = max(-float(below.min()), -float(above.min()), 0.0)
    if not broken <= settings.primal_tol:
        return None
    residual = _certify(quad, A, x, info["lam"], below, above)
    # DAQP ends on its active set's KKT point, to rounding: its residual is 1e-16 to 1e-15 where it
    # converges (a thousandth of the polish's tolerance leaves a margin and refuses anything else).
    # Written so that a NaN residual is refused too.
    if not residual <= 1e-3 * settings.dual_tol:
        return None
    return x, residual, int(info.get("iterations", 0)), broken


def _certify(quad, A, x, lam, below, above):
    """The KKT residual of DAQP's answer ``x`` under its multipliers ``lam`` (bounds, then rows)
    over the gradient's scale, as :func:`.certify.certified_residual` reads it; ``below`` and
    ``above`` are the slacks of x then A·x to their lower and upper sides.

    DAQP's multipliers: H·x + f + λ_b + Aᵀν = 0 with λ > 0 where an upper side is active and
    λ < 0 a lower one; so r = ∇f + Aᵀν = −λ_b, ≥ 0 at a lower bound and ≤ 0 at an upper one.
    A row's multiplier has its sign by construction (the side it holds is read from it); what is
    checked is that r, computed afresh, agrees: free weights stationary, each held bound's r of
    its sign, and multiplier × slack over the held bounds and rows (r for a bound, ν for a row),
    all at once over the bounds and rows stacked as DAQP reads them (absent sides at DAQP's
    infinity, so a product with a zero multiplier is 0)."""
    n = x.shape[0]
    nu = lam[n:]
    if quad.is_factor:
        fx = quad.F @ x
        hx = quad.F.T @ fx
        g = quad.F.T @ (fx - quad.d) + quad.q
    else:
        hx = quad.P @ x
        g = hx + quad.q
    r = g + A.T @ nu
    side = np.sign(lam[:n])  # −1 held at the lower bound, +1 at the upper, 0 free
    free = side == 0.0
    stat = np.where(free, np.abs(r), side * r).max()
    slack = np.where(lam > 0.0, above, below)
    slack[:n] *= np.where(free, 0.0, r)
    slack[n:] *= nu
    comp = np.abs(slack).max()
    scale = max(
        float(np.abs(hx).max()),
        float(np.abs(quad.q).max()),
        abs(quad.mean_curvature()) * float(np.abs(x).max()),
        1e-300,
    )
    return float(np.maximum(stat, comp)) / scale  # comp >= 0; NaN carried through, to be refused
