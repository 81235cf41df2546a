"""Certification: is a point the exact optimum, and how far from it is it?

A point x of the convex QP is optimal exactly when it is a KKT point: it meets every bound and
row, and there are multipliers of the right signs (a bound's pushes away from its side; a row's
ν ≥ 0 at its cap, ≤ 0 at its floor, free for an equality) that make the gradient vanish on the
free variables and leave no multiplier on a constraint with slack. Two uses:

- a solve that found the active set has the multipliers (:func:`certified_residual`, with the
  sign checks of :func:`wrong_signs` judged against :func:`gradient_scale`): the answer is
  accepted only if no bound or row is broken by more than ``Settings.primal_tol`` and no
  multiplier has the wrong sign by more than ``Settings.dual_tol`` relative to the gradient;
- any point, from x alone (:func:`kkt_residual`): the multipliers are recovered under their sign
  conditions (:func:`recover_row_multipliers`) and the residual is the largest violation left.
"""

from __future__ import annotations

import importlib

import numpy as np

from ... import optimizer  # noqa: F401  (importing the extension registers _engine)
from ...exception import InvalidArgument
from .model import make_quadratic

_engine = importlib.import_module("..._engine", __package__)


def gradient_and_scale(quad, x):
    """(∇f at ``x``, :func:`gradient_scale` there), the Hessian product formed once where the
    gradient is it plus q (a dense or factored P: over the whole market a product with P costs
    as much as the rest of an active-set round)."""
    if quad.is_factor:
        return quad.grad(x), gradient_scale(quad, x)
    hx = quad.hess(x)
    return hx + quad.q, gradient_scale(quad, x, hx)


def gradient_scale(quad, x, hx=None):
    """The size of the gradient terms, for judging multipliers and stationarity (``hx``: the
    Hessian times x, where the caller has it)."""
    hx = quad.hess(x) if hx is None else hx
    return max(
        float(np.abs(hx).max(initial=0.0)),
        float(np.abs(quad.q).max(initial=0.0)),
        abs(quad.mean_curvature()) * float(np.abs(x).max(initial=0.0)),
        1e-300,
    )


def wrong_signs(g, A, nu, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol):
    """Bounds and rows whose multiplier has the wrong sign, given ∇f = g and row multipliers ν."""
    r = g + A.T @ nu
    return (fixed_lo & ~fixed_hi & (r < -tol), fixed_hi & (r > tol), row_lo & ~eq & (nu > tol), row_hi & (nu < -tol))


def certified_residual(red, x, r, nu, free, fixed_lo, fixed_hi, row_lo, row_hi, eq, scale):
    """The KKT residual of ``x`` under the multipliers the active set found (r = ∇f + Aᵀν over
    the reduced variables): stationarity of the free weights, the signs of the bound and row
    multipliers, and multiplier × slack of the held rows and bounds, over the gradient's
    ``scale``. It bounds :func:`kkt_residual`, which searches for the multipliers that make the
    residual smallest, and costs no search: the solve has already found them."""
    stat = max(
        float(np.abs(r[free]).max(initial=0.0)),
        float(np.max(-r[fixed_lo & ~fixed_hi], initial=0.0)),
        float(np.max(r[fixed_hi], initial=0.0)),
        float(np.max(nu[row_lo & ~eq], initial=0.0)),
        float(np.max(-nu[row_hi], initial=0.0)),
    )
    ax = red.A @ x
    row_slack = np.where(row_hi, red.hi - ax, np.where(row_lo, ax - red.lo, 0.0))
    bound_slack = np.where(fixed_hi, red.upper - x, np.where(fixed_lo, x - red.lower, 0.0))
    comp = max(float(np.abs(nu * row_slack).max(initial=0.0)), float(np.abs(r * bound_slack).max(initial=0.0)))
    return max(stat, comp) / scale


def recover_row_multipliers(g, A_W, signs, at_lower, at_upper, fixed, scale):
    """Row multipliers ν under their sign conditions (ν ≥ 0 where signs > 0, ≤ 0 where signs < 0,
    free where 0) minimising the stationarity residual

        h(ν) = ½ Σ φ_i(r_i),  r = g + A_Wᵀν,   φ_i(r) = r² for a free variable, min(r, 0)² at a
        lower bound, max(r, 0)² at an upper bound, 0 for a fixed variable

    (each active bound takes the multiplier that closes its own component when its sign allows).
    h is convex and piecewise quadratic in a few unknowns (one per active row): Newton steps on
    the current piece (a sign-constrained least-squares problem over the components whose φ is
    quadratic there) with an exact line search over its kinks, from the least-squares answer over
    the free variables; it stops once every component is within 1e-15·scale. In the extension
    (``_engine.recover_multipliers``): at a vertex an active-set round over a few hundred
    instruments spent most of its time here, in numpy calls over a few unknowns."""
    if A_W.shape[0] == 0:
        return np.zeros(0)
    return _engine.recover_multipliers(g, A_W, signs, at_lower, at_upper, fixed, float(scale))


def kkt_residual(P, q, limits, x, *, factor=None, target=None, active_tol=1e-9):
    """A scale-aware KKT residual of ``x`` for ``min ½xᵀPx + qᵀx`` under ``limits``.

    The multipliers are recovered from ``x`` alone: a bound or row counts as active when ``x``
    is within ``active_tol`` of it; the row multipliers minimise the stationarity residual
    under their sign conditions, and each active bound takes the multiplier that closes its
    own component when its sign allows. The residual is the largest of

    - stationarity: the remaining gradient components, divided by the gradient's scale
      ``max(‖Px‖∞, ‖q‖∞, mean(diag P)·‖x‖∞)`` (``q − Fᵀd`` in place of ``q`` with a target);
    - primal feasibility: :meth:`Limits.violation` (weights, unscaled);
    - complementarity: multiplier × slack over the active constraints, divided by the same scale.

    Parameters
    ----------
    P : array_like or None
        Dense symmetric PSD matrix (n, n); None when ``factor`` is given.
    q : array_like
        Linear term (n,).
    limits : Limits
        Bounds, group rows and the budget.
    x : array_like
        The point to judge, shape (n,).
    factor : array_like, optional
        F (k, n) with P = FᵀF.
    target : array_like, optional
        d (k,): the objective is then ½‖F x − d‖² + qᵀx (only with ``factor``).
    active_tol : float, optional
        Distance (in weight units) within which a bound or row counts as active.

    Returns
    -------
    float
        The residual; about 1e-12 or less at an exact optimum.
    """
    quad = make_quadratic(P, q, limits, factor, target)
    x = np.asarray(x, dtype=float)
    if x.shape != (quad.n,):
        raise InvalidArgument(f"OPTIMIZER: x 的形状必须为 ({quad.n},)，传入的形状为：{x.shape}")
    if not np.all(np.isfinite(x)):
        return float("inf")
    return residual(quad, limits, x, active_tol)


def residual(quad, limits, x, active_tol=1e-9):
    """:func:`kkt_residual` of a checked :class:`~.model.Quadratic` at a finite ``x``."""
    g = quad.grad(x)
    # ∇f = Px + q' with q' = q − Fᵀd in least-squares form: the same scale in either form. The
    # mean curvature times the largest weight keeps the scale when Px vanishes (a singular P
    # whose null space the optimum lies in: a portfolio of zero variance).
    linear = quad.q - quad.F.T @ quad.d if quad.is_factor else quad.q
    scale = max(
        float(np.abs(quad.hess(x)).max(initial=0.0)),
        float(np.abs(linear).max(initial=0.0)),
        quad.mean_curvature() * float(np.abs(x).max(initial=0.0)),
    )
    if not scale > 0.0:
        scale = 1.0
    if limits.turnover_capped:
        return _capped_residual(limits, x, g, scale, active_tol)
    lower, upper = limits.lower, limits.upper
    fixed = lower == upper
    at_lower = ~fixed & (x - lower <= active_tol)
    at_upper = ~fixed & ~at_lower & (upper - x <= active_tol)
    ax = limits.A @ x
    eq = limits.lo == limits.hi
    row_lo = ~eq & (ax - limits.lo <= active_tol)
    row_hi = ~eq & ~row_lo & (limits.hi - ax <= active_tol)
    W = eq | row_lo | row_hi
    signs = np.where(row_hi, 1, np.where(row_lo, -1, 0))[W]
    nu = recover_row_multipliers(g, limits.A[W], signs, at_lower, at_upper, fixed, scale)
    r = g + limits.A[W].T @ nu
    stat = np.where(
        fixed, 0.0, np.where(at_lower, np.maximum(-r, 0.0), np.where(at_upper, np.maximum(r, 0.0), np.abs(r)))
    )
    z_bound = np.where(at_lower, np.maximum(r, 0.0), 0.0) + np.where(at_upper, np.maximum(-r, 0.0), 0.0)
    slack = np.where(at_lower, x - lower, np.where(at_upper, upper - x, 0.0))
    row_slack = np.where(row_lo, ax - limits.lo, np.where(row_hi, limits.hi - ax, 0.0))[W]
    comp = max(float(np.abs(z_bound * slack).max(initial=0.0)), float(np.abs(nu * row_slack).max(initial=0.0)))
    return max(float(stat.max(initial=0.0)) / scale, limits.violation(x), comp / scale)


def _capped_residual(limits, x, g, scale, active_tol):
    """:func:`residual` under caps on what is bought and sold (see :mod:`.turnover`): each finite
    cap is a row over the weights on its side of their holdings (1 on the buy side, −1 on the
    sell side), and a weight at its holding, strictly inside its bounds, is two columns, one
    reading the buy row as at a lower bound and one the sell row as at an upper bound; a cap
    counts as active within ``active_tol`` of what is traded."""
    lower, upper, h = limits.lower, limits.upper, np.asarray(limits.holdings, dtype=float)
    n = x.shape[0]
    fixed = lower == upper
    d = x - h
    at_h = ~fixed & (np.abs(d) <= active_tol) & (lower < h) & (h < upper)
    buy = ~at_h & ((d > 0) | (lower >= h))
    at_lower = ~fixed & ~at_h & (x - lower <= active_tol)
    at_upper = ~fixed & ~at_h & ~at_lower & (upper - x <= active_tol)
    ax = limits.A @ x
    eq = limits.lo == limits.hi
    row_lo = ~eq & (ax - limits.lo <= active_tol)
    row_hi = ~eq & ~row_lo & (limits.hi - ax <= active_tol)
    held = np.flatnonzero(at_h)
    cols = np.concatenate([np.arange(n), held, held])
    k = held.size
    rows, cap_slack = [limits.A[:, cols]], []
    for sign, cap, side, traded in (
        (1, limits.max_buy, buy, np.maximum(d, 0.0).sum()),
        (-1, limits.max_sell, ~buy & ~at_h, np.maximum(-d, 0.0).sum()),
    ):
        if np.isfinite(cap):
            row = np.concatenate(
                [np.where(side, float(sign), 0.0), np.full(k, float(sign > 0)), np.full(k, -float(sign < 0))]
            )
            rows.append(row[None, :])
            cap_slack.append(cap - float(traded))
    A = np.vstack(rows)
    cap_slack = np.array(cap_slack)
    cap_on = cap_slack <= active_tol
    W = np.concatenate([eq | row_lo | row_hi, cap_on])
    signs = np.concatenate([np.where(row_hi, 1, np.where(row_lo, -1, 0)), np.ones(cap_on.size, int)])[W]
    lo_c = np.concatenate([at_lower, np.ones(k, bool), np.zeros(k, bool)])
    hi_c = np.concatenate([at_upper, np.zeros(k, bool), np.ones(k, bool)])
    fixed_c = np.concatenate([fixed | at_h, np.zeros(2 * k, bool)])
    g_c = g[cols]
    nu = recover_row_multipliers(g_c, A[W], signs, lo_c, hi_c, fixed_c, scale)
    r = g_c + A[W].T @ nu
    stat = np.where(fixed_c, 0.0, np.where(lo_c, np.maximum(-r, 0.0), np.where(hi_c, np.maximum(r, 0.0), np.abs(r))))
    z_bound = np.where(lo_c, np.maximum(r, 0.0), 0.0) + np.where(hi_c, np.maximum(-r, 0.0), 0.0)
    xc = x[cols]
    slack = np.where(lo_c, xc - lower[cols], np.where(hi_c, upper[cols] - xc, 0.0))
    slack[n:] = np.abs(d[cols[n:]])
    row_slack = np.concatenate([np.where(row_lo, ax - limits.lo, np.where(row_hi, limits.hi - ax, 0.0)), cap_slack])[W]
    comp = max(float(np.abs(z_bound * slack).max(initial=0.0)), float(np.abs(nu * row_slack).max(initial=0.0)))
    return max(float(stat.max(initial=0.0)) / scale, limits.violation(x), comp / scale)
