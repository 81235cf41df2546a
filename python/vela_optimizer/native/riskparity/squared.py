"""The squared-deviation QP of risk parity under limits (:meth:`.sca.SpreadSCA.squared_phase`) on a
factored covariance, posed without an n × n matrix.

The phase's QP is min ‖g + J·(x − w)‖² + τ‖x − w‖² over the limits, with J = n·P·(diag(C·w) +
diag(w)·C) the Jacobian of the centred contributions (P = I − 11ᵀ/n). For C = diag(d) + W·H·Wᵀ,

    J = diag(Δ) + L·Rᵀ,   Δ = n·a,  L = n·[w∘W − 1·mean(w∘W), −1/n·1],  R = [W·H, a],
    a = C·w + w∘d,

a diagonal plus a term of rank r = k + g + 1, and the QP's Hessian 2·(JᵀJ + τI) is
:class:`SquaredJacobian`: the diagonal 2·(Δ² + τ) plus [Δ∘L, R]·2·[[0, I], [I, LᵀL]]·[Δ∘L, R]ᵀ
(indefinite in the middle, positive semi-definite in all) for the active set's Woodbury solves,
and lifted through v = Rᵀx and e = Δ∘x + L·v (½·2‖e‖² + ½·2τ‖x‖²) for the interior point. The QP
is then solved exactly by :func:`..qp.solve_qp`.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp

from ..factored import Lift


class SquaredJacobian:
    """P = c·(2τI + 2·J_Kᵀ·J_K), J = diag(Δ) + L·Rᵀ (n × n) restricted to the columns K (the
    variables kept), as a diagonal plus a low-rank term (the interface the QP solver reads of a
    factored Hessian: ``d``, ``k``, ``low_rank``, ``take``, ``scaled``, ``lift``, products)."""

    def __init__(self, delta, L, R, tau, cols=None, c=1.0):
        self.delta, self.L, self.R, self.tau, self.c = delta, L, R, float(tau), float(c)
        self.cols = np.arange(delta.size) if cols is None else cols  # K, positions among J's columns
        DK = delta[self.cols]
        self.d = c * (2.0 * tau + 2.0 * DK * DK)
        self._W = np.hstack([DK[:, None] * L[self.cols], R[self.cols]])
        r = L.shape[1]
        self._H = 2.0 * c * np.block([[np.zeros((r, r)), np.eye(r)], [np.eye(r), L.T @ L]])

    @property
    def n(self) -> int:
        return self.cols.size

    @property
    def shape(self) -> tuple:
        return (self.n, self.n)

    @property
    def k(self) -> int:
        """Columns of the low-rank term (the screened QP's sub-problems read it to choose between
        the factored and the dense form)."""
        return self._W.shape[1]

    def low_rank(self):
        """(W, H) with P = diag(d) + W·H·Wᵀ."""
        return self._W, self._H

    def _J(self, x):
        """J_K·x, (n_rows,)."""
        out = self.L @ (self.R[self.cols].T @ x)
        out[self.cols] += self.delta[self.cols] * x
        return out

    def _Jt(self, y):
        """J_Kᵀ·y."""
        return self.delta[self.cols] * y[self.cols] + self.R[self.cols] @ (self.L.T @ y)

    def __matmul__(self, x):
        """P·x for x of shape (n,) or (n, m)."""
        x = np.asarray(x, dtype=float)
        if x.ndim == 2:
            return np.column_stack([self @ x[:, j] for j in range(x.shape[1])])
        return self.c * (2.0 * self.tau * x + 2.0 * self._Jt(self._J(x)))

    def diagonal(self):
        """The diagonal of P."""
        W, H = self._W, self._H
        return self.d + np.einsum("ij,ij->i", W @ H, W)

    def dense(self):
        """P as an n × n array (small sub-problems only)."""
        W, H = self._W, self._H
        return np.diag(self.d) + W @ H @ W.T

    def take(self, keep):
        """P over the variables ``keep`` (a boolean mask or positions, in order)."""
        keep = np.asarray(keep)
        idx = np.flatnonzero(keep) if keep.dtype == bool else keep.astype(np.intp)
        return SquaredJacobian(self.delta, self.L, self.R, self.tau, self.cols[idx], self.c)

    def scaled(self, s):
        """s·P for s > 0."""
        return SquaredJacobian(self.delta, self.L, self.R, self.tau, self.cols, self.c * s)

    def lift(self):
        """Over (x, v): v = R_Kᵀx, the objective c·(τ‖x‖² + ‖S_K·Δ_K∘x + L·v‖²) (S_K places K
        among J's rows) expanded, with its cross term 2c·xᵀ·(Δ_K∘L_K)·v. Lifting e = S_K·Δ_K∘x + L·v
        too, as a variable per row of J, doubled the interior point's variables and rows and cost
        about three times as much a factorisation (4,919 stocks, r = 146)."""
        K, r = self.cols, self.R.shape[1]
        DK = self.delta[K]
        two_c = 2.0 * self.c
        return Lift(
            sp.diags(two_c * (self.tau + DK * DK), format="csc"),
            sp.csc_matrix(self.R[K].T),
            -sp.identity(r, format="csc"),
            sp.csc_matrix(two_c * (self.L.T @ self.L)),
            np.zeros(r),
            sp.csc_matrix(two_c * (DK[:, None] * self.L[K])),
        )


def centred_jacobian(C, w):
    """(J as (Δ, L, R), its product x -> J·x, g = n·(RC − mean RC)) at w for the factored C."""
    n = w.size
    W, H = C.low_rank()
    Cw = C @ w
    a = Cw + w * C.d
    wW = w[:, None] * W
    L = n * np.hstack([wW - wW.mean(axis=0), np.full((n, 1), -1.0 / n)])
    R = np.hstack([W @ H, a[:, None]])
    delta = n * a
    rc = w * Cw
    return (delta, L, R), (lambda x: delta * x + L @ (R.T @ x)), n * (rc - rc.mean())
