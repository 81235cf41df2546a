"""Instrument bounds, group limits and the budget in one linear form.

The native solvers and the feasibility check read the limits of one optimisation as

    lower <= w <= upper                 (instrument bounds; upper may be +inf)
    lo <= A w <= hi                     (one 0/1 row per group limit, then the budget row, lo = hi = 1)
    sum_i max(w_i - h_i, 0) <= max_buy  (with current holdings h: what is bought ...
    sum_i max(h_i - w_i, 0) <= max_sell  ... and what is sold, each capped; +inf when not)

built from the bounds and the group limits the pipeline states as data, so that the limits a native
solve honours are exactly the ones the scipy path is given.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace

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
        ``"*"`` (the wildcard default), ``""`` (no ``bnds``: the method's default bounds), or a
        trading rule that fixed it (``"suspended"``, ``"limit_up"``, ``"limit_down"``).
    holdings : numpy.ndarray or None
        Current weights h, shape (n,), when the optimisation rebalances a held portfolio.
    max_buy, max_sell : float
        Caps on the total bought, ``sum_i max(w_i - h_i, 0)``, and sold, ``sum_i max(h_i - w_i, 0)``
        (fractions of the portfolio's value; ``+inf``: no cap). Only with ``holdings``.
    """

    ids: list
    lower: np.ndarray
    upper: np.ndarray
    A: np.ndarray
    lo: np.ndarray
    hi: np.ndarray
    row_labels: list = field(default_factory=list)
    bound_source: list = field(default_factory=list)
    holdings: np.ndarray | None = None
    max_buy: float = np.inf
    max_sell: float = np.inf

    @property
    def turnover_capped(self) -> bool:
        """Whether the buys or the sells against the holdings are capped."""
        return self.holdings is not None and (np.isfinite(self.max_buy) or np.isfinite(self.max_sell))

    @classmethod
    def build(
        cls, ids, lower, upper, groups=(), bound_source=None, holdings=None, max_buy=np.inf, max_sell=np.inf, budget=1.0
    ) -> Limits:
        """Limits from instrument bounds and group limits.

        Parameters
        ----------
        ids : list of str
        lower, upper : array_like, shape (n,)
            Instrument bounds; None in ``upper`` means no cap.
        groups : iterable of (label, positions, floor, cap)
            One row each, in the order given (positions may be empty).
        bound_source : list of str, optional
        holdings, max_buy, max_sell : optional
            Current weights and the caps on what is bought and sold against them.
        budget : float
            What the weights sum to (1 unless part of the portfolio is held outside them).
        """
        n = len(ids)
        rows, lo, hi, labels = [], [], [], []
        for label, positions, floor, cap in groups:
            row = np.zeros(n)
            row[np.asarray(positions, dtype=int)] = 1.0
            rows.append(row)
            lo.append(float(floor))
            hi.append(float(cap))
            labels.append(label)
        up = np.array([np.inf if u is None else float(u) for u in upper])
        return cls(
            ids=list(ids),
            lower=np.asarray(lower, dtype=float),
            upper=up,
            A=np.vstack([*rows, np.ones(n)]),
            lo=np.array([*lo, float(budget)]),
            hi=np.array([*hi, float(budget)]),
            row_labels=[*labels, None],
            bound_source=list(bound_source) if bound_source is not None else [""] * n,
            holdings=None if holdings is None else np.asarray(holdings, dtype=float),
            max_buy=float(max_buy),
            max_sell=float(max_sell),
        )

    def scaled(self, s: float) -> Limits:
        """The same limits on ``x = w / s``: every bound, row limit, holding and cap divided by ``s`` (a
        budget of ``s`` becomes 1)."""
        if s == 1.0:
            return self
        h = None if self.holdings is None else self.holdings / s
        return replace(
            self,
            lower=self.lower / s,
            upper=self.upper / s,
            lo=self.lo / s,
            hi=self.hi / s,
            holdings=h,
            max_buy=self.max_buy / s,
            max_sell=self.max_sell / s,
        )

    @property
    def n(self) -> int:
        """Number of instruments."""
        return len(self.ids)

    @property
    def group_rows(self) -> range:
        """Positions of the group rows in ``A`` (every row but the budget row)."""
        return range(len(self.row_labels) - 1)

    def traded(self, w) -> tuple[float, float]:
        """(bought, sold) moving the holdings to ``w``: Σ max(w − h, 0) and Σ max(h − w, 0)."""
        d = np.asarray(w, dtype=float) - self.holdings
        return float(np.maximum(d, 0).sum()), float(np.maximum(-d, 0).sum())

    def violation(self, w) -> float:
        """The largest amount by which ``w`` breaks any bound, group limit, the budget or a cap on
        what is bought or sold (0 if none)."""
        w = np.asarray(w, dtype=float)
        ax = self.A @ w
        parts = [self.lower - w, w - self.upper, self.lo - ax, ax - self.hi]
        if self.holdings is not None:
            bought, sold = self.traded(w)
            parts += [np.array([bought - self.max_buy, sold - self.max_sell])]
        # np.maximum.reduce is np.max without its Python wrapper (this runs once per solve).
        return float(max(0.0, *(float(np.maximum.reduce(p, initial=0.0)) for p in parts)))
