"""Closes under the daily price limits for the sample generator: special treatment episodes,
limit streaks, and the day-by-day price path that keeps every close on the fen grid and
inside the day's limits.

The limits come from :mod:`veladatac.rules` (board, date, special treatment, the free days
after a listing) and are computed exactly as :func:`veladatac.rules.limit_price` rounds
them (the previous close times 1 plus or minus the fraction, half up to the fen), in
integer fen so that a whole market's day is one vector operation. A close that hits a
limit therefore equals what :func:`veladatac.limit_prices` reports for that day.

Day states (``state``): 0 no bar (before listing, after de-listing, a gap), 1 traded,
2 halted (volume 0, the previous close carried). Special treatment (``st``): 0 none,
1 "ST", 2 "*ST".
"""

from __future__ import annotations

from decimal import Decimal

import numpy as np

from . import rules
from ._dates import days_to_ints

NO_BAR, TRADED, HALTED = 0, 1, 2
ST_CODES = {1: "ST", 2: "*ST"}

_ST_HAZARD = 0.03  # special treatment episodes per stock and year of listing
_ST_BEFORE_DELISTING = 0.7  # share of de-listings preceded by *ST
_STREAK_START = (0.0005, 0.0004)  # chance a limit-up / limit-down streak starts on a stock-day
_STREAK_LENGTHS = (0.45, 0.25, 0.14, 0.09, 0.07)  # of 1 to 5 days
_SEALED_VOLUME = 0.25  # volume on a streak day after its first (the queue seals the limit)
_MIN_FEN = 50  # the price model's floor (0.50 yuan); the limits have the last word
_PULL = 0.0015  # daily pull of the log price towards its anchor


def settle_states(state: np.ndarray) -> None:
    """A halt needs a close to carry: a halted day after a day without a bar becomes a day
    without a bar (in place)."""
    state[0][state[0] == HALTED] = NO_BAR
    for t in range(1, state.shape[0]):
        row = state[t]
        row[(row == HALTED) & (state[t - 1] == NO_BAR)] = NO_BAR


def st_episodes(rng, T: int, first_bar, last_bar, n_fixed: int) -> np.ndarray:
    """Special treatment status of every stock on every day, (T, n) int8.

    Episodes start at random (about three per hundred stock-years), last 120 to 600 trading
    days, are "ST" or "*ST" (a *ST may improve to ST halfway); a stock listed before the
    range may already be under it on the first day. Most de-listings inside the range are
    preceded by a *ST lasting to the last bar. The first ``n_fixed`` stocks stay clear.
    """
    n = first_bar.size
    L = T - 1
    st = np.zeros((T, n), dtype=np.int8)
    counts = rng.poisson(_ST_HAZARD * (last_bar - first_bar + 1) / 244.0)
    before_exit = (last_bar < L) & (rng.random(n) < _ST_BEFORE_DELISTING)
    counts[:n_fixed] = 0
    before_exit[:n_fixed] = False
    for i in np.flatnonzero(counts):
        f, last = int(first_bar[i]), int(last_bar[i])
        lo = f + 60 if f > 0 else -250  # a stock listed before the range may start under it
        if lo > last:
            continue
        for _ in range(int(counts[i])):
            a = max(int(rng.integers(lo, last + 1)), f)
            b = min(a + int(rng.integers(120, 600)) - 1, last)
            starred, improves = rng.random() < 0.55, rng.random() < 0.4
            st[a : b + 1, i] = 2 if starred else 1
            if starred and improves:
                st[(a + b) // 2 + 1 : b + 1, i] = 1
    for i in np.flatnonzero(before_exit):
        last = int(last_bar[i])
        st[max(last - int(rng.integers(120, 400)), int(first_bar[i])) : last + 1, i] = 2
    return st


def st_rows(days, ids, st, last_bar) -> list:
    """Rows of the special treatment table from ``st``: (id, status, first day, last day or None
    while it holds), one per run of one status."""
    T = st.shape[0]
    ints = days_to_ints(days)
    rows = []
    for i in np.flatnonzero(st.any(axis=0)):
        col = st[:, i]
        cuts = np.flatnonzero(np.diff(col)) + 1
        for a, b in zip(np.concatenate(([0], cuts)), np.concatenate((cuts, [T])) - 1, strict=True):
            if col[a]:
                end = None if b == T - 1 and last_bar[i] == T - 1 else int(ints[b])
                rows.append((ids[i], ST_CODES[int(col[a])], int(ints[a]), end))
    return rows


class Limits:
    """The daily price limit fraction of each (board, special treatment, day) as an exact
    ratio ``num / den`` (``den`` 0: no limit), and the days after a listing the rules leave
    without a limit."""

    def __init__(self, days, ids, st, first_bar, listed_date):
        boards = [rules.board_of(x) for x in ids]
        distinct = sorted(set(boards), key=str)
        self.board_idx = np.array([distinct.index(b) for b in boards], dtype=np.intp)
        dates = days.tolist()
        ratios, code = [(0, 0)], np.zeros((len(distinct), 2, len(dates)), dtype=np.intp)
        for b, board in enumerate(distinct):
            for s in (0, 1):
                seen = {}
                for t, day in enumerate(dates):
                    f = rules.price_limit(board, day, bool(s)) if board is not None else None
                    if f not in seen:
                        r = (0, 0) if f is None else Decimal(repr(float(f))).as_integer_ratio()
                        if r not in ratios:
                            ratios.append(r)
                        seen[f] = ratios.index(r)
                    code[b, s, t] = seen[f]
        self.code = code
        self.num = np.array([r[0] for r in ratios], dtype=np.int64)
        self.den = np.array([r[1] for r in ratios], dtype=np.int64)
        self.free = self._free_after_listing(days, ids, st, first_bar, listed_date)

    @staticmethod
    def _free_after_listing(days, ids, st, first_bar, listed_date) -> np.ndarray:
        """(T, n) bool: days the rules leave without a limit because the stock listed lately,
        counted as :func:`veladatac.limit_prices` counts them (trading days of the calendar
        from the listing day, looked at within 30 days of it)."""
        T, n = st.shape
        free = np.zeros((T, n), dtype=bool)
        first_day = days[0].item()
        for i in range(n):
            listed = listed_date[i]
            if listed < first_day:
                continue
            for t in range(int(first_bar[i]), T):
                day = days[t].item()
                if (day - listed).days >= 30:
                    break
                up, _ = rules.limits_on(ids[i], day, 10.0, bool(st[t, i]), t - int(first_bar[i]) + 1, listed)
                free[t, i] = up is None
        return free

    def row(self, t: int, st_row: np.ndarray):
        """(num, den) of every stock's limit fraction on day ``t``."""
        k = self.code[self.board_idx, (st_row > 0).astype(np.intp), t]
        return self.num[k], self.den[k]

    def has_limit(self, st) -> np.ndarray:
        """(T, n) bool: a limit applies given a previous close (board, date, status, listing)."""
        out = ~self.free
        for t in range(st.shape[0]):
            out[t] &= self.row(t, st[t])[1] > 0
        return out


def streak_events(rng, eligible: np.ndarray) -> np.ndarray:
    """(T, n) int8: +1 on the days of limit-up streaks, -1 on limit-down ones, 0 elsewhere.

    Streaks of 1 to 5 days start at random; a start within 6 days after another start of the
    same stock is dropped, so streaks never touch. Only ``eligible`` days (traded, with a
    previous close and a limit) take part: a streak meeting another day is cut short there.
    Starts are few, so they are drawn as a whole and then handled as a list.
    """
    T, n = eligible.shape
    up_p, down_p = _STREAK_START
    u = rng.random((T, n), dtype=np.float32)
    col, t = np.nonzero(u.T < up_p + down_p)  # by stock, then day
    sign = np.where(u[t, col] < up_p, 1, -1).astype(np.int8)
    del u
    lengths = rng.choice(
        np.arange(1, len(_STREAK_LENGTHS) + 1), size=t.size, p=np.array(_STREAK_LENGTHS) / sum(_STREAK_LENGTHS)
    )
    keep = np.ones(t.size, dtype=bool)
    keep[1:] = (col[1:] != col[:-1]) | (t[1:] - t[:-1] > 6)  # another start in the 6 days before
    events = np.zeros((T, n), dtype=np.int8)
    for k in range(len(_STREAK_LENGTHS)):
        on = keep & (lengths > k) & (t + k < T)
        events[t[on] + k, col[on]] = sign[on]
    events[~eligible] = 0
    return events


def limit_fen(prev_fen, num, den, up: bool):
    """The up- or down-limit in fen from previous closes in fen (int64) and limit fractions
    ``num / den`` (int64, ``den`` > 0): :func:`veladatac.rules.limit_price` in integers, which
    rounds the exact product half up to the fen."""
    return (2 * prev_fen * (den + num if up else den - num) + den) // (2 * den)


def eligible_days(state: np.ndarray, has_limit: np.ndarray) -> np.ndarray:
    """Traded days with a previous close and a limit in force: where a close can hit a limit."""
    prev_close = np.vstack([np.zeros((1, state.shape[1]), dtype=bool), state[:-1] != NO_BAR])
    return (state == TRADED) & prev_close & has_limit


def price_path(logret, anchor, growth, x0, state, st, events, limits: Limits) -> np.ndarray:
    """Closes in yuan on the fen grid, (T, n); NaN on days without a bar.

    Each day the log price moves by ``logret`` and is pulled towards its anchor (which drifts
    up by ``growth`` a day); the close is that price in whole fen, then held inside the day's
    limits from the previous close. A streak day closes at its limit; the days next to a streak
    stay strictly inside theirs, so a streak keeps its length. A halted day carries the
    previous close and holds the price.
    """
    T, n = logret.shape
    close = np.full((T, n), np.nan)
    prev = np.full(n, np.nan)  # the previous stored close, fen
    x = x0.astype(float).copy()
    nonzero = events != 0
    beside = np.zeros_like(nonzero)
    beside[1:] |= nonzero[:-1]
    beside[:-1] |= nonzero[1:]
    beside &= ~nonzero
    free = limits.free
    for t in range(T):
        x += logret[t] - _PULL * (x - anchor - growth * t)
        fen = np.maximum(np.floor(np.exp(x) * 100.0 + 0.5), _MIN_FEN)
        num, den = limits.row(t, st[t])
        lim = np.isfinite(prev) & (den > 0) & ~free[t]
        p = np.where(lim, prev, 0.0).astype(np.int64)
        up = limit_fen(p, num, np.maximum(den, 1), True).astype(float)
        down = limit_fen(p, num, np.maximum(den, 1), False).astype(float)
        fen = np.where(events[t] > 0, up, np.where(events[t] < 0, down, fen))
        near = beside[t]
        lo = np.where(near, np.minimum(down + 1, p), down)
        hi = np.where(near, np.maximum(up - 1, p), up)
        fen = np.where(lim, np.clip(fen, lo, hi), fen)
        s = state[t]
        today = np.where(s == TRADED, fen, np.where(s == HALTED, prev, np.nan))
        x = np.where(s != NO_BAR, np.log(np.where(np.isfinite(today), today, 100.0) / 100.0), x)
        close[t] = today
        prev = today
    return close / 100.0


def volumes(rng, close, state, events, shares) -> np.ndarray:
    """Volumes in round lots of 100 (at least one lot) on traded days, 0 on halted days, NaN
    without a bar: shares x turnover x noise that grows with the size of the day's move, and
    thin on the sealed days of a streak."""
    T, n = close.shape
    turnover = np.exp(rng.normal(np.log(0.01), 0.5, n))
    volume = rng.standard_normal((T, n))  # worked in place: one (T, n) array at a time
    volume *= 0.35
    move = np.ones((T, n))
    move[1:] = close[1:] / close[:-1]
    move -= 1.0
    np.abs(np.nan_to_num(move, copy=False), out=move)
    volume += 6.0 * move
    del move
    np.exp(volume, out=volume)
    volume *= shares * turnover
    sealed = np.zeros((T, n), dtype=bool)
    sealed[1:] = (events[1:] != 0) & (events[1:] == events[:-1])
    volume[sealed] *= _SEALED_VOLUME
    volume /= 100.0
    np.round(volume, out=volume)
    volume *= 100.0
    np.maximum(volume, 100.0, out=volume)
    volume[state == HALTED] = 0.0
    volume[state == NO_BAR] = np.nan
    return volume
