"""Instrument bounds, group limits and the budget in one linear form.

The native solvers and the feasibility check read the limits of one optimisation as

    lower <= w <= upper                 (instrument bounds; upper may be +inf)
    lo <= A w <= hi                     (one 0/1 row per group limit, then the budget row, lo = hi = 1)

built from the bounds list and the constraint records that the shared pipeline made, so that the
limits a native solve honours are exactly the ones the scipy path is given.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np


@dataclass(frozen=True)
class Limits:
    """The linear limits of one optimisation over the retained instruments.

    Attributes
    ----------
    ids : list of str
        Retained order book ids, in weight-vector order.
    lower, upper : numpy.ndarray
        Instrument bounds, shape (n,); ``upper`` is ``+inf`` where a bound has no upper side.
    A : numpy.ndarray
        Shape (m, n): one 0/1 membership row per group limit, the budget row (all ones) last.
    lo, hi : numpy.ndarray
        Shape (m,): each row's floor and cap; the budget row has ``lo == hi == 1``.
    row_labels : list
        The group label of each group row, ``None`` for the budget row.
    bound_source : list of str
        Per instrument, where its bound came from: its own id (an entry of its own in ``bnds``),
        ``"*"`` (the wildcard default) or ``""`` (no ``bnds``: the method's default bounds).
    """

    ids: list
    lower: np.ndarray
    upper: np.ndarray
    A: np.ndarray
    lo: np.ndarray
    hi: np.ndarray
    row_labels: list = field(default_factory=list)
    bound_source: list = field(default_factory=list)

    @property
    def n(self) -> int:
        """Number of instruments."""
        return len(self.ids)

    @property
    def group_rows(self) -> range:
        """Positions of the group rows in ``A`` (every row but the budget row)."""
        return range(len(self.row_labels) - 1)

    def violation(self, w) -> float:
        """The largest amount by which ``w`` breaks any bound, group limit or the budget (0 if none)."""
        w = np.asarray(w, dtype=float)
        ax = self.A @ w
        parts = [self.lower - w, w - self.upper, self.lo - ax, ax - self.hi]
        return float(max(0.0, *(float(np.max(p, initial=0.0)) for p in parts)))
