"""Equal risk contributions on a factored covariance: damped Newton with Woodbury solves.

The problem is the one the native core solves on a dense matrix (``core/risk_parity``): on the
correlation scale R = S·C·S (S = diag(C_ii^−½)), minimise

    F(y) = ½·yᵀ·R·y − Σ_i ln y_i,   y > 0,

whose stationary point makes every y_i·(R·y)_i equal to 1; x = √(c/2)·S·y then minimises
xᵀCx − c·Σ ln x_i. With C = diag(d) + W·H·Wᵀ the Hessian R + diag(1/y²) is a diagonal plus the
same low-rank term, so a Newton step costs O(n·k²) (:class:`..factored.KKTSolver`) instead of
O(n³), and R·y costs O(n·k). F is self-concordant (a quadratic plus a log barrier): the damped step
y + Δ/(1 + λ), λ² = −∇Fᵀ·Δ, stays inside y > 0 and converges from any start, quadratically once
λ < 1/4 (Nesterov & Nemirovski; Boyd & Vandenberghe, §9.6).
"""

from __future__ import annotations

import numpy as np

from ..factored import FactoredCovariance, KKTSolver

_EPS = np.finfo(float).eps


def correlation_scaled(C: FactoredCovariance):
    """(R as a FactoredCovariance, s) with R = S·C·S, S = diag(s), s_i = C_ii^−½."""
    s = 1.0 / np.sqrt(C.diagonal())
    R = FactoredCovariance(C.d * s * s, C.U * s[:, None], C.gaps, C.E * np.outer(s[C.gaps], s[C.gaps]))
    return R, s


def _abs_product(R: FactoredCovariance, y):
    """|R|·y bounded above through the factors (the rounding bound of R·y's entries)."""
    out = np.abs(R.d) * y + np.abs(R.U) @ (np.abs(R.U).T @ y)
    if R.gaps.size:
        out[R.gaps] += np.abs(R.E) @ y[R.gaps]
    return out


def barrier_newton(C: FactoredCovariance, max_iteration: int, tol: float, barrier: float):
    """(x, iterations, converged): the minimiser of xᵀCx − barrier·Σ ln x_i by damped Newton on
    the correlation scale, stopped when every |y_i·(R·y)_i − 1| is within ``tol`` or within
    rounding of the product (4·n·ε·y_i·(|R|·y)_i, the bound the dense solver uses)."""
    R, s = correlation_scaled(C)
    n = R.n
    W, H = R.low_rank()
    none = np.zeros((0, n))
    # The optimum has yᵀRy = Σ y_i·(R·y)_i = n: start from the multiple of 1 that has it.
    y = np.full(n, np.sqrt(n / max(R.quadratic(np.ones(n)), 1e-300)))
    converged, it = False, 0
    for it in range(max_iteration + 1):
        Ry = R @ y
        gap = np.abs(y * Ry - 1.0)
        if gap.max() <= tol or np.all(gap <= tol + 4.0 * n * _EPS * y * _abs_product(R, y)):
            converged = True
            break
        if it == max_iteration:
            break
        g = Ry - 1.0 / y
        step, _ = KKTSolver(R.d + 1.0 / (y * y), W, H, none).solve(-g, np.zeros(0))
        y = _line_search(R, y, Ry, g, step)
    return np.sqrt(barrier / 2.0) * s * y, it, converged


def _line_search(R, y, Ry, g, step):
    """y + t·step with t = 1 halved until F decreases enough (Armijo, 1e-4) and y stays positive;
    the damped step 1/(1 + λ) of self-concordance if that takes more than a few halvings."""
    slope = float(g @ step)  # −λ²
    f0 = 0.5 * float(y @ Ry) - float(np.sum(np.log(y)))
    Rs = R @ step
    t = 1.0
    for _ in range(8):
        trial = y + t * step
        if np.all(trial > 0.0):
            f = (
                0.5 * float(y @ Ry)
                + t * float(step @ Ry)
                + 0.5 * t * t * float(step @ Rs)
                - float(np.sum(np.log(trial)))
            )
            if f <= f0 + 1e-4 * t * slope:
                return trial
        t *= 0.5
    return y + step / (1.0 + np.sqrt(max(-slope, 0.0)))
