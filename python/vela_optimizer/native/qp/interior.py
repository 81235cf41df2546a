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

from ..factored import Lift
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
    # The lifted problem's (caps on what is bought and sold): weights held at their holdings,
    # and the cap rows found active (Caps.rows order).
    at_h: np.ndarray | None = None
    cap_held: np.ndarray | None = None


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
    """A PIQP solver set up for the reduced problem ``red`` to tolerance ``eps``: the sparse
    solver on the lifted problem (:func:`_setup_lifted_hessian`) for a factored P, and in
    least-squares form with ``sparse_lift`` (over (x, y), y = F x − d, instead of the dense FᵀF
    form); the dense solver otherwise."""
    import piqp

    quad = red.quad
    eq = red.lo == red.hi
    ineq = ~eq
    lift = _lift_of(quad) if quad.is_lowrank or sparse_lift else None
    if lift is not None:
        return _setup_lifted_hessian(red, lift, eps)
    solver = piqp.DenseSolver()
    _configure(solver, eps)
    P = quad.F.T @ quad.F if quad.is_factor else (quad.P.dense() if quad.is_lowrank else quad.P)
    c = quad.q if not quad.is_factor else quad.q - quad.F.T @ quad.d
    A_eq = np.asfortranarray(red.A[eq]) if eq.any() else None
    G = np.asfortranarray(red.A[ineq]) if ineq.any() else None
    # P is symmetric: its transpose is the column-major array PIQP takes, without a copy.
    P = P.T if P.flags.c_contiguous else np.asfortranarray(P)
    solver.setup(
        P,
        c,
        A_eq,
        red.lo[eq] if eq.any() else None,
        G,
        red.lo[ineq] if ineq.any() else None,
        red.hi[ineq] if ineq.any() else None,
        red.lower,
        red.upper,
    )
    return solver


def _setup_lifted_hessian(red, lift, eps):
    """PIQP's sparse solver on the problem lifted by ``lift`` (:class:`..factored.Lift`), over
    (x, z):

        min ½xᵀP_x x + ½zᵀP_z z + qᵀx   s.t.  A_x x + A_z z = b,  the limits on x.

    For a factored covariance z = Vᵀx (:meth:`FactoredCovariance.lift`): the Hessian diag(P_w, I)
    is the diagonal with a few dense rows and columns (stocks with missing days), and each
    factorisation costs O(n·k²), k the columns of V, instead of O(n³)."""
    import piqp

    quad = red.quad
    k = lift.A_z.shape[1]
    eq = red.lo == red.hi
    ineq = ~eq
    solver = piqp.SparseSolver()
    _configure(solver, eps)
    P = _lifted_hessian(lift)
    A = sp.vstack(
        [
            sp.hstack([sp.csc_matrix(lift.A_x), lift.A_z]),
            sp.hstack([sp.csc_matrix(red.A[eq]), sp.csc_matrix((int(eq.sum()), k))]),
        ],
        format="csc",
    )
    G = sp.hstack([sp.csc_matrix(red.A[ineq]), sp.csc_matrix((int(ineq.sum()), k))], format="csc")
    solver.setup(
        P,
        np.concatenate([quad.q, np.zeros(k)]),
        A,
        np.concatenate([lift.b, red.lo[eq]]),
        G,
        red.lo[ineq],
        red.hi[ineq],
        np.concatenate([red.lower, np.full(k, -np.inf)]),
        np.concatenate([red.upper, np.full(k, np.inf)]),
    )
    return solver


def _lifted_hessian(lift):
    """The upper triangle of the lifted Hessian over (x, z), its cross block where it has one."""
    if lift.P_xz is None:
        return sp.block_diag([sp.triu(lift.P_x), sp.triu(lift.P_z)], format="csc")
    return sp.bmat([[sp.triu(lift.P_x), sp.csc_matrix(lift.P_xz)], [None, sp.triu(lift.P_z)]], format="csc")


def run(solver, red, max_iteration, eps, narrow=False):
    """Solve (from the start) to tolerance ``eps`` within ``max_iteration`` iterations; the
    iterate and its active-set guess. ``narrow``: where both bounds of a weight look active (a
    box narrower than the iterate's accuracy), the one with the larger multiplier-to-slack
    ratio is taken, not the lower one."""
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
    s_bl, z_bl, s_bu, z_bu = (np.asarray(a)[:n] for a in (r.s_bl, r.z_bl, r.s_bu, r.z_bu))
    at_lower = np.isfinite(red.lower) & (s_bl < z_bl)
    at_upper = np.isfinite(red.upper) & (s_bu < z_bu)
    if narrow:
        at_lower &= ~at_upper | (z_bl * s_bu >= z_bu * s_bl)
    at_upper &= ~at_lower
    return IPResult(x, status, int(r.info.iter), at_lower, at_upper, row_lo, row_hi)


def setup_lifted(red, eps):
    """PIQP's sparse solver set up for the reduced problem with its caps on what is bought and
    sold lifted: per finite cap a variable t ≥ 0 per weight with t ≥ x − h (buy) or t ≥ h − x
    (sell), and Σt <= cap. In least-squares form the residual y = F x − d is lifted as well.
    Variables (x, [y], t per cap); the rows: the limits' equalities (and F x − y = d), then the
    limits' inequalities, then per cap ±x − t <= ±h and Σt <= cap."""
    import piqp

    quad, n, caps = red.quad, red.quad.n, red.caps
    eq, ineq = red.lo == red.hi, red.lo != red.hi
    lift = _lift_of(quad)
    k = lift.A_z.shape[1] if lift is not None else 0
    ncap = len(caps.rows)
    nv = n + k + ncap * n
    if lift is not None:
        P = sp.block_diag([_lifted_hessian(lift), sp.csc_matrix((ncap * n, ncap * n))], format="csc")
        c = np.concatenate([quad.q, np.zeros(k + ncap * n)])
        eq_rows = [sp.hstack([sp.csc_matrix(lift.A_x), lift.A_z, sp.csc_matrix((lift.A_z.shape[0], ncap * n))])]
        b = [lift.b]
    else:
        dense = quad.P.dense() if quad.is_lowrank else quad.P
        P = sp.block_diag([sp.csc_matrix(np.triu(dense)), sp.csc_matrix((ncap * n, ncap * n))], format="csc")
        c = np.concatenate([quad.q, np.zeros(ncap * n)])
        eq_rows, b = [], []
    eq_rows.append(sp.hstack([sp.csc_matrix(red.A[eq]), sp.csc_matrix((int(eq.sum()), nv - n))]))
    b.append(red.lo[eq])
    g_rows = [sp.hstack([sp.csc_matrix(red.A[ineq]), sp.csc_matrix((int(ineq.sum()), nv - n))])]
    g_lo, g_hi = [red.lo[ineq]], [red.hi[ineq]]
    for j, (sign, cap) in enumerate(caps.rows):
        t = sp.csc_matrix((np.ones(n), (np.arange(n), n + k + j * n + np.arange(n))), shape=(n, nv))
        g_rows.append(sign * sp.hstack([sp.identity(n), sp.csc_matrix((n, nv - n))]) - t)
        g_lo.append(np.full(n, -np.inf))
        g_hi.append(sign * caps.h)
        g_rows.append(
            sp.csc_matrix((np.ones(n), (np.zeros(n, dtype=int), n + k + j * n + np.arange(n))), shape=(1, nv))
        )
        g_lo.append([-np.inf])
        g_hi.append([cap])
    solver = piqp.SparseSolver()
    _configure(solver, eps)
    solver.setup(
        P,
        c,
        sp.vstack(eq_rows, format="csc"),
        np.concatenate(b),
        sp.vstack(g_rows, format="csc"),
        np.concatenate(g_lo),
        np.concatenate(g_hi),
        np.concatenate([red.lower, np.full(k, -np.inf), np.zeros(ncap * n)]),
        np.concatenate([red.upper, np.full(k, np.inf), np.full(ncap * n, np.inf)]),
    )
    return solver


def _lift_of(quad):
    """The :class:`..factored.Lift` of the quadratic's Hessian: in least-squares form the residual
    y = F x − d (½‖y‖², nothing left on x), for a factored P its own; None for a dense P."""
    if quad.is_factor:
        k = quad.F.shape[0]
        return Lift(
            sp.csc_matrix((quad.n, quad.n)),
            sp.csc_matrix(quad.F),
            -sp.identity(k, format="csc"),
            sp.identity(k, format="csc"),
            quad.d,
        )
    return quad.P.lift() if quad.is_lowrank else None


def run_lifted(solver, red, max_iteration, eps):
    """Solve the lifted problem of :func:`setup_lifted`; the iterate over x and its active set,
    with the weights held at their holdings (both t ≥ ±(x − h) and t ≥ 0 active) and the caps."""
    n, caps = red.quad.n, red.caps
    lift = _lift_of(red.quad)
    k = lift.A_z.shape[1] if lift is not None else 0
    ineq = red.lo != red.hi
    mi = int(ineq.sum())
    _configure(solver, eps)
    solver.settings.max_iter = min(int(max_iteration), ENGINE_MAX_ITERATION)
    status = piqp_status(solver.solve())
    r = solver.result
    x = np.array(r.x[:n])
    s_u, z_u, s_l, z_l = (np.asarray(a) for a in (r.s_u, r.z_u, r.s_l, r.z_l))
    s_bl, z_bl, s_bu, z_bu = (np.asarray(a) for a in (r.s_bl, r.z_bl, r.s_bu, r.z_bu))
    eq = ~ineq
    row_lo, row_hi = eq.copy(), np.zeros_like(eq)
    row_hi[ineq] = s_u[:mi] < z_u[:mi]
    row_lo[ineq] = (s_l[:mi] < z_l[:mi]) & ~row_hi[ineq]
    at_lower = np.isfinite(red.lower) & (s_bl[:n] < z_bl[:n])
    at_upper = np.isfinite(red.upper) & (s_bu[:n] < z_bu[:n]) & ~at_lower
    at_h = np.zeros(n, dtype=bool)
    cap_held = np.zeros(len(caps.rows), dtype=bool)
    for j in range(len(caps.rows)):
        rows = mi + j * (n + 1) + np.arange(n)
        t = n + k + j * n + np.arange(n)
        at_h |= (s_u[rows] < z_u[rows]) & (s_bl[t] < z_bl[t])
        cap_held[j] = s_u[mi + j * (n + 1) + n] < z_u[mi + j * (n + 1) + n]
    at_h &= ~at_lower & ~at_upper
    return IPResult(x, status, int(r.info.iter), at_lower, at_upper, row_lo, row_hi, at_h, cap_held)
