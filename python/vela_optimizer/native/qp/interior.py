"""The interior point: PIQP set up on the reduced problem, run to a tolerance, its status read.

Dense P goes to PIQP's dense solver. In least-squares form FᵀF is formed for the dense solver
unless the instruments outnumber the days by ``Settings.sparse_ratio``; then the sparse solver
takes the lifted problem over (x, y), y = F x − d:

    min ½‖y‖² + qᵀx   s.t.  F x − y = d,  the limits on x.

Besides the iterate, a run reports which bounds and rows look active (slack below multiplier:
at the interior point slack · multiplier ≈ μ), the guess the polish starts from. PIQP itself
uses no BLAS and no threads.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

from ..settings import ENGINE_MAX_ITERATION
from ..solution import INFEASIBLE, MAX_ITERATION, NUMERICAL, SOLVED, UNBOUNDED


@dataclass
class IPResult:
    """One run of the interior point: its iterate, status, iterations and activity guesses."""

    x: np.ndarray
    status: str
    iterations: int
    # Activity guesses from slacks and multipliers: bounds at lower / upper, rows at lo / hi.
    at_lower: np.ndarray
    at_upper: np.ndarray
    row_lo: np.ndarray
    row_hi: np.ndarray


def piqp_status(status):
    """PIQP's status in the solution's vocabulary."""
    import piqp

    return {
        piqp.PIQP_SOLVED: SOLVED,
        piqp.PIQP_MAX_ITER_REACHED: MAX_ITERATION,
        piqp.PIQP_PRIMAL_INFEASIBLE: INFEASIBLE,
        piqp.PIQP_DUAL_INFEASIBLE: UNBOUNDED,
    }.get(status, NUMERICAL)


def _configure(solver, eps):
    solver.settings.eps_abs = solver.settings.eps_rel = eps
    solver.settings.eps_duality_gap_abs = solver.settings.eps_duality_gap_rel = eps
    solver.settings.check_duality_gap = True
    solver.settings.verbose = False


def setup(red, sparse_lift, eps):
    """A PIQP solver set up for the reduced problem ``red`` to tolerance ``eps``; ``sparse_lift``
    poses the least-squares form to the sparse solver over (x, y), y = F x − d, instead of the
    dense FᵀF form."""
    import piqp

    quad, n = red.quad, red.quad.n
    eq = red.lo == red.hi
    ineq = ~eq
    if sparse_lift:
        k = quad.F.shape[0]
        solver = piqp.SparseSolver()
        _configure(solver, eps)
        P = sp.block_diag([sp.csc_matrix((n, n)), sp.identity(k)], format="csc")
        c = np.concatenate([quad.q, np.zeros(k)])
        A = sp.vstack([sp.hstack([sp.csc_matrix(quad.F), -sp.identity(k)]),
                       sp.hstack([sp.csc_matrix(red.A[eq]), sp.csc_matrix((int(eq.sum()), k))])], format="csc")
        b = np.concatenate([quad.d, red.lo[eq]])
        G = sp.hstack([sp.csc_matrix(red.A[ineq]), sp.csc_matrix((int(ineq.sum()), k))], format="csc")
        solver.setup(P, c, A, b, G, red.lo[ineq], red.hi[ineq], np.concatenate([red.lower, np.full(k, -np.inf)]),
                     np.concatenate([red.upper, np.full(k, np.inf)]))
    else:
        solver = piqp.DenseSolver()
        _configure(solver, eps)
        P = quad.P if not quad.is_factor else quad.F.T @ quad.F
        c = quad.q if not quad.is_factor else quad.q - quad.F.T @ quad.d
        A_eq = np.asfortranarray(red.A[eq]) if eq.any() else None
        G = np.asfortranarray(red.A[ineq]) if ineq.any() else None
        # P is symmetric: its transpose is the column-major array PIQP takes, without a copy.
        P = P.T if P.flags.c_contiguous else np.asfortranarray(P)
        solver.setup(P, c, A_eq, red.lo[eq] if eq.any() else None, G, red.lo[ineq] if ineq.any() else None,
                     red.hi[ineq] if ineq.any() else None, red.lower, red.upper)
    return solver


def run(solver, red, max_iteration, eps):
    """Solve (from the start) to tolerance ``eps`` within ``max_iteration`` iterations; the
    iterate and its active-set guess."""
    n = red.quad.n
    eq = red.lo == red.hi
    ineq = ~eq
    _configure(solver, eps)
    solver.settings.max_iter = min(int(max_iteration), ENGINE_MAX_ITERATION)
    status = piqp_status(solver.solve())
    r = solver.result
    x = np.array(r.x[:n])
    # Equality rows are always held (as row_lo); an inequality row or a bound is guessed active
    # when its slack is below its multiplier (at the interior point slack · multiplier ≈ μ).
    row_lo, row_hi = eq.copy(), np.zeros_like(eq)
    row_hi[ineq] = np.asarray(r.s_u) < np.asarray(r.z_u)
    row_lo[ineq] = (np.asarray(r.s_l) < np.asarray(r.z_l)) & ~row_hi[ineq]
    at_lower = np.isfinite(red.lower) & (np.asarray(r.s_bl[:n]) < np.asarray(r.z_bl[:n]))
    at_upper = np.isfinite(red.upper) & (np.asarray(r.s_bu[:n]) < np.asarray(r.z_bu[:n])) & ~at_lower
    return IPResult(x, status, int(r.info.iter), at_lower, at_upper, row_lo, row_hi)
