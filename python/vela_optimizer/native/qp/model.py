"""The QP's objective and limits as the solver sees them.

The objective is ½xᵀPx + qᵀx with P dense, or ½‖F x − d‖² + qᵀx given by a factor F (P = FᵀF,
least-squares form). Daily variances are of the order of 1e-4; on that scale solvers stop early
or loop, so the objective is divided by a scale s fixed per problem (the mean diagonal of P,
i.e. the mean variance for minimum variance, or the equal-weight tracking error): the argmin
does not change, and the objective is reported in the caller's units. Variables fixed by their
own bounds (lower == upper) are folded into the objective and the rows, and rows left with no
variable are checked and dropped (:func:`reduce`).

Inputs are checked as the quadratic is made (:func:`make_quadratic`): shapes, finite values and
limits that can be read; a bad one raises :class:`~vela_optimizer.exception.InvalidArgument`.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ...exception import InvalidArgument
from ..factored import FactoredCovariance
from ..inputs import as_array, check_limits, finite


class Quadratic:
    """A convex quadratic in dense form (``P`` an array), factored form (``P`` a
    :class:`~vela_optimizer.native.factored.FactoredCovariance`: a diagonal plus a low-rank term)
    or least-squares form (``F``, ``d``)."""

    def __init__(self, q, P=None, F=None, d=None):
        self.q = q
        self.P = P
        self.F = F
        self.d = d if F is None or d is not None else np.zeros(F.shape[0])

    @property
    def n(self):
        return self.q.shape[0]

    @property
    def is_factor(self):
        return self.F is not None

    @property
    def is_lowrank(self):
        """P is a diagonal plus a low-rank term, never formed (a
        :class:`~vela_optimizer.native.factored.FactoredCovariance` or another operator with its
        ``low_rank``, ``take``, ``scaled`` and ``lift``)."""
        return hasattr(self.P, "low_rank")

    def hess(self, v):
        """The Hessian times ``v``: P·v, or Fᵀ(F·v) without forming FᵀF."""
        return self.P @ v if self.F is None else self.F.T @ (self.F @ v)

    def grad(self, x):
        """The gradient at ``x``: P·x + q, or Fᵀ(F·x − d) + q."""
        if self.F is None:
            return self.P @ x + self.q
        return self.F.T @ (self.F @ x - self.d) + self.q

    def value(self, x):
        """The quadratic at ``x``."""
        if self.F is None:
            return 0.5 * float(x @ (self.P @ x)) + float(self.q @ x)
        r = self.F @ x - self.d
        return 0.5 * float(r @ r) + float(self.q @ x)

    def mean_curvature(self):
        """Mean diagonal of the Hessian (the mean variance for P = C); computed once."""
        if not hasattr(self, "_curvature"):
            if self.n == 0:
                self._curvature = 0.0
            elif self.is_lowrank:
                self._curvature = float(np.mean(self.P.diagonal()))
            elif self.F is None:
                self._curvature = float(self.P.trace()) / self.n
            else:
                self._curvature = float(np.mean(np.einsum("ij,ij->j", self.F, self.F)))
        return self._curvature

    def known_curvature(self, c):
        """Set :meth:`mean_curvature` to ``c`` where the caller has already measured it."""
        self._curvature = c

    def scaled(self, s):
        """The same quadratic divided by s > 0."""
        if s == 1.0:
            return self
        if self.is_lowrank:
            return Quadratic(self.q / s, P=self.P.scaled(1.0 / s))
        if self.F is None:
            return Quadratic(self.q / s, P=self.P / s)
        r = np.sqrt(s)
        return Quadratic(self.q / s, F=self.F / r, d=self.d / r)

    def restrict(self, keep, x_fixed):
        """The quadratic over the kept variables, the others held at x_fixed (full-length)."""
        if keep.all():
            return self
        fixed = ~keep
        if self.is_lowrank:
            moved = self.P @ np.where(fixed, x_fixed, 0.0)
            return Quadratic(self.q[keep] + moved[keep], P=self.P.take(keep))
        if self.F is None:
            q = self.q[keep] + self.P[np.ix_(keep, fixed)] @ x_fixed[fixed]
            return Quadratic(q, P=self.P[np.ix_(keep, keep)])
        return Quadratic(self.q[keep], F=self.F[:, keep], d=self.d - self.F[:, fixed] @ x_fixed[fixed])


@dataclass(frozen=True)
class Caps:
    """Caps on what is bought and sold over the kept variables, against their holdings ``h``:
    Σ max(x − h, 0) <= ``buy`` and Σ max(h − x, 0) <= ``sell`` (+inf: no cap).

    Where an all-ones equality row fixes Σx = c, what is sold is what is bought less (c − Σh),
    so the sell cap is the buy cap ``sell + c − Σh`` and only the lower of the two is kept
    (``sell`` is then +inf): one cap row instead of two rows that are dependent whenever both
    bind (a one-way turnover cap X is both caps at X)."""

    h: np.ndarray
    buy: float
    sell: float

    @property
    def rows(self):
        """(sign, cap) of each finite cap: +1 for the buy cap, −1 for the sell cap."""
        return [(s, c) for s, c in ((1, self.buy), (-1, self.sell)) if math.isfinite(c)]

    def traded(self, x):
        """(bought, sold) at ``x``."""
        d = x - self.h
        return float(np.maximum(d, 0.0).sum()), float(np.maximum(-d, 0.0).sum())


@dataclass
class Reduced:
    """The problem over the variables that are not fixed by their own bounds (with ``caps`` on
    what is bought and sold when the limits carry any)."""

    quad: Quadratic
    keep: np.ndarray  # bool (n,): variables left to the solver
    x_fixed: np.ndarray  # (n,): values of the fixed variables (0 elsewhere)
    lower: np.ndarray
    upper: np.ndarray
    A: np.ndarray
    lo: np.ndarray
    hi: np.ndarray
    caps: Caps | None = None
    whole: bool = False  # every variable kept and every row live: the limits as given

    def expand(self, x_kept):
        """All n variables: the fixed ones at their values, the kept ones at ``x_kept``."""
        x = self.x_fixed.copy()
        x[self.keep] = x_kept
        return x


def reduce(quad, limits, primal_tol):
    """Fold variables with lower == upper into the objective and the rows; None if the limits
    cannot hold (a bound or a row whose floor exceeds its cap, or a row of fixed variables
    outside its range by more than ``primal_tol``)."""
    lower, upper = limits.lower, limits.upper
    keep = lower < upper
    if (limits.lo > limits.hi).any():
        return None
    if keep.all():  # nothing fixed (the common case, copied without indexing)
        x_fixed = np.zeros(keep.size)
        lower, upper, A, lo, hi = lower.copy(), upper.copy(), limits.A.copy(), limits.lo.copy(), limits.hi.copy()
    else:
        if (lower > upper).any():
            return None
        x_fixed = np.where(keep, 0.0, lower)
        offset = limits.A[:, ~keep] @ x_fixed[~keep]
        A = limits.A[:, keep]
        lo, hi = limits.lo - offset, limits.hi - offset
        lower, upper = lower[keep], upper[keep]
    live = (A != 0.0).any(axis=1) & ((lo != -np.inf) | (hi != np.inf))
    whole = bool(live.all()) and bool(keep.all()) and not limits.turnover_capped
    if not live.all():
        dead = ~live
        if (lo[dead] > primal_tol).any() or (hi[dead] < -primal_tol).any():
            return None
        A, lo, hi = A[live], lo[live], hi[live]
    caps = None
    if limits.turnover_capped:
        caps = reduced_caps(limits, keep, x_fixed, A, lo, hi, primal_tol)
        if caps is None:
            return None
    return Reduced(quad.restrict(keep, x_fixed), keep, x_fixed, lower, upper, A, lo, hi, caps, whole)


def reduced_caps(limits, keep, x_fixed, A, lo, hi, primal_tol):
    """The caps on what is bought and sold over the kept variables (:class:`Caps`): the trades of
    the fixed variables use part of them. None when those trades alone break a cap."""
    h = np.asarray(limits.holdings, dtype=float)
    d = (x_fixed - h)[~keep].tolist()
    buy = limits.max_buy - math.fsum(max(v, 0.0) for v in d)
    sell = limits.max_sell - math.fsum(max(-v, 0.0) for v in d)
    hk = h[keep]
    budget = np.flatnonzero((lo == hi) & np.all(A == 1.0, axis=1)) if A.shape[1] else np.zeros(0, dtype=int)
    if budget.size:
        buy = min(buy, sell + float(lo[budget[0]]) - math.fsum(hk.tolist()))
        sell = math.inf
    if buy < -primal_tol or sell < -primal_tol:
        return None
    return Caps(hk, max(buy, 0.0), max(sell, 0.0))


def usable(s):
    """``s`` when it can scale an objective (finite, positive), else None."""
    return s if math.isfinite(s) and s > 0.0 else None


def make_quadratic(P, q, limits, factor, target, against="目标函数"):
    """The checked :class:`Quadratic` ½xᵀPx + qᵀx (or ½‖F x − d‖² + qᵀx with ``factor`` F and
    ``target`` d), and ``limits`` checked against it."""
    q = finite("q", q)
    if q.ndim != 1:
        raise InvalidArgument(f"OPTIMIZER: q 必须为一维数组，传入的形状为：{q.shape}")
    n = q.shape[0]
    if factor is not None:
        if P is not None:
            raise InvalidArgument("OPTIMIZER: P 与 factor 只能指定其一")
        F = finite("factor", factor)
        if F.ndim != 2 or F.shape[1] != n:
            raise InvalidArgument(f"OPTIMIZER: factor 的形状必须为 (k, {n})，传入的形状为：{F.shape}")
        d = None
        if target is not None:
            d = finite("target", target)
            if d.shape != (F.shape[0],):
                raise InvalidArgument(f"OPTIMIZER: target 必须有 {F.shape[0]} 个值，传入的形状为：{d.shape}")
        quad = Quadratic(q, F=np.ascontiguousarray(F), d=d)
    elif hasattr(P, "low_rank"):
        if target is not None:
            raise InvalidArgument("OPTIMIZER: 指定 target 时必须指定 factor")
        if P.n != n:
            raise InvalidArgument(f"OPTIMIZER: P 的形状必须为 ({n}, {n})，传入的形状为：{P.shape}")
        quad = Quadratic(q, P=P)
    else:
        if P is None:
            raise InvalidArgument("OPTIMIZER: 未指定 factor 时必须指定 P")
        if target is not None:
            raise InvalidArgument("OPTIMIZER: 指定 target 时必须指定 factor")
        P = finite("P", P)
        if P.shape != (n, n):
            raise InvalidArgument(f"OPTIMIZER: P 的形状必须为 ({n}, {n})，传入的形状为：{P.shape}")
        # ½xᵀPx sees only the symmetric part of P.
        quad = Quadratic(q, P=P if (P == P.T).all() else 0.5 * (P + P.T))
    check_limits(limits, n, against)
    return quad


def covariance_quadratic(C, curvature, q, limits):
    """½xᵀ(curvature·C)x + qᵀx divided by its scale s, formed in one pass over C, and s: the
    Hessian's mean diagonal, else the largest |q_i|, else 1 (``q`` None: zero). C may be a
    :class:`~vela_optimizer.native.factored.FactoredCovariance` (kept factored)."""
    if isinstance(C, FactoredCovariance):
        return _factored_quadratic(C, curvature, q, limits)
    C = as_array("C", C)
    if not np.isfinite(C).all():
        raise InvalidArgument("OPTIMIZER: 协方差矩阵含有 NaN 或 inf")
    if C.ndim != 2 or C.shape[0] != C.shape[1]:
        raise InvalidArgument(f"OPTIMIZER: 协方差矩阵必须是方阵，传入的形状为：{C.shape}")
    if q is not None and q.shape != (C.shape[0],):
        raise InvalidArgument(f"OPTIMIZER: mu 的长度必须与协方差矩阵的维数 {C.shape[0]} 一致，传入的形状为：{q.shape}")
    q = np.zeros(C.shape[0]) if q is None else q
    scale = (
        (usable(curvature * (float(C.trace()) / C.shape[0])) if C.size else None)
        or usable(float(np.abs(q).max(initial=0.0)))
        or 1.0
    )
    P, q = C * (curvature / scale), q / scale
    # make_quadratic's checks, on what its others already hold here (shapes; finite inputs) left
    # out: a product or quotient that overflowed, symmetry, the limits.
    if not np.isfinite(q).all():
        raise InvalidArgument("OPTIMIZER: q 含有 NaN 或 inf")
    if not np.isfinite(P).all():
        raise InvalidArgument("OPTIMIZER: P 含有 NaN 或 inf")
    quad = Quadratic(q, P=P if (P == P.T).all() else 0.5 * (P + P.T))
    check_limits(limits, C.shape[0], "协方差矩阵")
    return quad, scale


def _factored_quadratic(C, curvature, q, limits):
    """:func:`covariance_quadratic` of a factored covariance: the same scale, the factors scaled."""
    n = C.n
    if q is not None and q.shape != (n,):
        raise InvalidArgument(f"OPTIMIZER: mu 的长度必须与协方差矩阵的维数 {n} 一致，传入的形状为：{q.shape}")
    q = np.zeros(n) if q is None else q
    scale = (
        (usable(curvature * float(np.mean(C.diagonal()))) if n else None)
        or usable(float(np.abs(q).max(initial=0.0)))
        or 1.0
    )
    check_limits(limits, n, "协方差矩阵")
    P = C.scaled(curvature / scale) if curvature > 0 else FactoredCovariance(np.zeros(n), np.zeros((n, 0)))
    return Quadratic(q / scale, P=P), scale
