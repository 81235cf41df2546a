"""Caps on what is bought and sold, as linear rows of the QPs of risk parity under limits.

With holdings h the caps Σ max(w − h, 0) <= B and Σ max(h − w, 0) <= S are convex and piecewise
linear (:class:`~vela_optimizer.native.qp.model.Caps`; with the budget row only the buy cap is
kept). Each QP of the approximation keeps every weight to one side of its holding, its side:
a bound at h_i (x_i >= h_i on the buy side, x_i <= h_i on the sell side); each cap is then one
linear row over the weights of its side, Σ_{buy side} (x_i − h_i) <= B. That region is a convex
part of the limits holding the current iterate, so every QP's answer, and every step towards
it, meets the caps exactly.

A weight that reaches its holding stops there; it moves on to the side its multiplier points
to: on the buy side at its holding (bound multiplier λ_i <= 0 in DAQP's convention,
H·x + f + Aᵀλ = 0) the subgradient condition of the caps asks |λ_i| <= κ_B + κ_S (κ: the caps'
multipliers), else selling it lowers the objective and it changes side; likewise on the sell
side. Sides change only at accepted iterates.

Lifted variables (t_i >= w_i − h_i, t_i >= 0, Σt <= B) pose the same caps without sides, but
make every block QP of the spread phase as large as the instruments are many, where it has one
variable per block; rows added while an answer breaks a cap (Σ_{i in T} (w_i − h_i) <= B for the
bought set T, cutting planes) need many rounds where many weights sit at their holdings.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ..qp.model import reduced_caps
from ..qp.turnover import inside, sides


class TradeSides:
    """The side of its holding each weight is kept to, and the caps' rows over the sides."""

    def __init__(self, limits, tol: float):
        n = limits.n
        caps = reduced_caps(limits, np.ones(n, dtype=bool), np.zeros(n), limits.A, limits.lo, limits.hi, 0.0)
        self.h = np.asarray(limits.holdings, dtype=float)
        # (sign, cap): +1 the buy cap, −1 the sell cap; none when the caps cannot hold (the limits
        # then admit no portfolio and the start says so).
        self.caps = [] if caps is None else caps.rows
        self.lower, self.upper = limits.lower, limits.upper
        self.inside = inside(self.h, self.lower, self.upper, tol)
        self.tol = tol
        self.side: Any = None  # +1 / −1 per instrument (int8), set by the first start
        self._bounds: tuple | None = None  # (the sides, lower, upper) of the last bounds()
        self._rows: tuple | None = None  # (the sides, rows, caps) of the last rows()

    @property
    def k(self) -> int:
        """Number of cap rows."""
        return len(self.caps)

    def at_h(self, w):
        """Weights at their holdings (strictly inside their bounds)."""
        return self.inside & (np.abs(w - self.h) <= self.tol)

    def place(self, w, prefer=None):
        """The sides at ``w``: where each weight lies; a weight at its holding keeps the side it
        had, or takes the sign of ``prefer`` (a direction) at first."""
        side = sides(w, self.h, self.lower, self.upper, self.tol)
        at = self.at_h(w)
        if self.side is not None:
            side[at] = self.side[at]
        elif prefer is not None:
            side[at] = np.where(prefer[at] >= 0, 1, -1)
        self.side = side

    def bounds(self):
        """The bounds of the region: the limits' bounds and each weight's side of its holding
        (read-only arrays, kept while the sides stand: each step reads them several times)."""
        # The sides are only ever replaced, never changed in place: the array itself is the key.
        if self._bounds is None or self._bounds[0] is not self.side:
            lower = np.where(self.inside & (self.side > 0), self.h, self.lower)
            upper = np.where(self.inside & (self.side < 0), self.h, self.upper)
            lower.flags.writeable = upper.flags.writeable = False
            self._bounds = (self.side, lower, upper)
        return self._bounds[1:]

    def rows(self):
        """The caps as rows over the weights, (k, n), and their caps (k,): Σ a_i x_i <= cap + a·h
        with a = ±1 on the cap's side (read-only, kept while the sides stand, as :meth:`bounds`)."""
        if self._rows is None or self._rows[0] is not self.side:
            signs = np.array([sign for sign, _ in self.caps], dtype=float)
            rows = np.where(self.side[None, :] == signs[:, None], signs[:, None], 0.0).reshape(self.k, self.h.size)
            caps = np.array([cap for _, cap in self.caps], dtype=float) + rows @ self.h
            rows.flags.writeable = caps.flags.writeable = False
            self._rows = (self.side, rows, caps)
        return self._rows[1:]

    def snapped(self, x, limits):
        """``x`` with the weights within the tolerance of their holdings put on them exactly, and
        those past a bound (by DAQP's tolerance) on it, the budget restored on one weight whose move
        lowers what is traded, or ``x`` itself when no weight has the room.

        A weight a QP stops at its holding lies there only to DAQP's tolerance, on either side,
        and stays there while it is pinned; the caps count what lies past a holding only, where
        the QP's row counts both ways. Hundreds of such weights add up past the tolerance: at 1,500
        instruments 52 weights 2e-13 below their holdings on the buy side made 1.04e-12 more
        bought than the row allowed, and every later step was refused as breaking the cap. So do
        weights not held a hair below their floor of 0 (a sale to the caps, less bought to the buy
        row): over 2,488 stocks they made 2.7e-11 bought past the cap, eight steps in a row were
        refused while each released 200 pins, and the block QPs grew to 1,300 variables (120 s)."""
        at = self.at_h(x)
        # past a bound by the tolerance at most (by more, the trial is refused as it stands)
        hair = ((x < self.lower) & (x >= self.lower - self.tol)) | ((x > self.upper) & (x <= self.upper + self.tol))
        if not (at.any() or hair.any()):
            return x
        y = np.where(at, self.h, np.where(hair, np.clip(x, self.lower, self.upper), x))
        r = float(limits.lo[-1]) - float(np.sum(y))  # the budget row is the last
        if r == 0.0:
            return y
        G, glo, ghi = limits.A[:-1], limits.lo[:-1], limits.hi[:-1]
        # Raising a weight below its holding sells less; lowering one above it buys less.
        gap = (self.h - y) if r > 0 else (y - self.h)
        room = np.minimum(gap, (self.upper - y) if r > 0 else (y - self.lower))
        slack = (ghi - G @ y) if r > 0 else (G @ y - glo)
        tight = np.any(G[slack <= abs(r)] != 0, axis=0)  # in a group with no room for r
        ok = np.flatnonzero(~at & (room > abs(r)) & ~tight)
        if not ok.size:
            return x
        y[ok[np.argmax(room[ok])]] += r
        return y

    def flip(self, x, lam_bounds, lam_caps) -> bool:
        """Weights at their holding in ``x`` whose bound multiplier ``lam_bounds`` (DAQP's sign)
        exceeds the caps' (``lam_caps``) together go to the other side; True when any did."""
        at = self.at_h(x)
        total = float(np.sum(np.maximum(lam_caps, 0.0)))
        slack = 1e-9 * max(1.0, float(np.max(np.abs(lam_bounds), initial=0.0)))
        up = at & (self.side < 0) & (lam_bounds > total + slack)
        down = at & (self.side > 0) & (lam_bounds < -total - slack)
        self.side = np.where(up, 1, np.where(down, -1, self.side)).astype(np.int8)
        return bool(up.any() or down.any())
