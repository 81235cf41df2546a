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
from .certify import certified_residual, gradient_scale

# DAQP's infinity: bounds beyond it are absent.
_INF = 1e30


def solve_small(red, settings):
    """(x over the reduced variables, its KKT residual, DAQP's iterations) from DAQP, certified,
    or None."""
    quad, n = red.quad, red.quad.n
    if out_of_time():
        return None
    if quad.is_factor:
        if quad.F.shape[0] < n:
            return None  # FᵀF is singular: no dense active-set solve
        H, f = quad.F.T @ quad.F, quad.q - quad.F.T @ quad.d
    else:
        H, f = (quad.P.dense() if quad.is_lowrank else quad.P), quad.q
    eq = red.lo == red.hi
    sense = np.zeros(n + red.A.shape[0], dtype=np.int32)
    sense[n + np.flatnonzero(eq)] = 5
    upper = np.minimum(np.concatenate([red.upper, red.hi]), _INF)
    lower = np.maximum(np.concatenate([red.lower, red.lo]), -_INF)
    x, _, flag, info = daqp.solve(
        np.ascontiguousarray(H),
        f,
        np.ascontiguousarray(red.A),
        upper,
        lower,
        sense,
        primal_tol=settings.primal_tol,
        eps_prox=0.0,
        iter_limit=min(settings.max_iteration, ENGINE_MAX_ITERATION),
    )
    if flag != 1 or not np.all(np.isfinite(x)):
        return None
    lam = info["lam"]
    # DAQP's multipliers: H·x + f + λ_b + Aᵀν = 0, λ > 0 where an upper side is active, < 0 a
    # lower one; so r = ∇f + Aᵀν = −λ_b, ≥ 0 at a lower bound and ≤ 0 at an upper one.
    lam_b, nu = lam[:n], lam[n:]
    fixed_lo, fixed_hi = lam_b < 0, lam_b > 0
    free = ~(fixed_lo | fixed_hi)
    row_hi, row_lo = (nu > 0) & ~eq, (nu < 0) | eq
    r = quad.grad(x) + red.A.T @ nu
    ax = red.A @ x
    broken = max(
        float(np.max(red.lower - x, initial=0.0)),
        float(np.max(x - red.upper, initial=0.0)),
        float(np.max(red.lo - ax, initial=0.0)),
        float(np.max(ax - red.hi, initial=0.0)),
    )
    scale = gradient_scale(quad, x)
    residual = certified_residual(red, x, r, nu, free, fixed_lo, fixed_hi, row_lo, row_hi, eq, scale)
    # DAQP ends on its active set's KKT point, to rounding: its residual is 1e-16 to 1e-15 where it
    # converges (a thousandth of the polish's tolerance leaves a margin and refuses anything else).
    if broken > settings.primal_tol or residual > 1e-3 * settings.dual_tol:
        return None
    return x, residual, int(info.get("iterations", 0))
