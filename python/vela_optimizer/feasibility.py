"""Whether the limits of one optimisation admit a portfolio, and which limits conflict when none does.

The limits (:class:`vela_optimizer.limits.Limits`) are linear:

    lower_i <= w_i <= upper_i                 instrument bounds (either side may be infinite)
    lo_r <= sum_{i in r} w_i <= hi_r          group floors and caps, one 0/1 row per group
    lo_b <= sum_i w_i <= hi_b                 the budget, the last row (lo_b = hi_b = 1)

Every conflict among linear limits has a Farkas certificate: multipliers y_k > 0 on some caps
and floors (the budget, which is never relaxed, may stand on either side) whose weighted rows
cancel, sum_floors y_k a_k = sum_caps y_k a_k, while the weighted floors exceed the weighted caps
by a gap g = sum_floors y_k b_k - sum_caps y_k b_k > 0. Moving one limit k by t changes the gap by
y_k t, so limit k alone must move by g / y_k; the budget is missed by g / y_budget. When the
certificate is unique up to scale its support is an irreducible infeasible set (IIS): dropping
any one of its limits leaves a consistent system.

Disjoint groups (each instrument in at most one group row, which is what one classification
gives) have a closed form. A group's sum ranges over the whole interval
[L_g, U_g] = [max(lo_g, sum_g lower), min(hi_g, sum_g upper)] (the members' box is connected and
the sum continuous), an instrument in no group over [lower_i, upper_i], and the total over the
Minkowski sum [sum L, sum U]. So the limits are consistent exactly when every such interval is
non-empty and lo_b <= sum U, sum L <= hi_b. Each failure is certified with y = 1 on the limits
that set the interval ends it compares, and those limits form an IIS. Where a group's end is set
equally by its own limit and by its members' bounds, the group limit is named: one limit
instead of several. A group holding every instrument bounds the same sum as the budget, so its
floor and cap are weighed together with the budget's (else a conflict named at the group could
keep a limit that the budget alone already contradicts). Everything else (overlapping groups,
weighted rows) goes to the general path: one elastic LP, then deletion filtering to an IIS.

Caps on what is bought and sold against holdings h, sum_i max(w_i - h_i, 0) <= max_buy and
sum_i max(h_i - w_i, 0) <= max_sell, take the general path too, lifted: t_i >= w_i - h_i,
t_i >= 0, sum t <= max_buy (and likewise for what is sold); each cap is one limit there, relaxed
by its own slack. A certificate through a cap is not unique up to scale in general (the lifted
rows are many), so such conflicts are always narrowed by the deletion filter.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import scipy.optimize
import scipy.sparse

from .exception import InvalidArgument, OptimizationFailed
from .limits import Limits

# Sums are exactly rounded (math.fsum), so the only error left is in the bounds themselves: a
# decimal bound read as a double is off by at most 2**-53 of itself, and bounds a caller derives
# by a few operations (1/n, 0.1 + 0.2) by a few such units. A sum of such bounds is therefore
# off by a few 1e-16 of the sum of their magnitudes, whatever their number; 1e-12 of that
# magnitude (at least of 1, the budget) leaves a thousandfold margin, and a conflict that small
# is far below what any solver resolves (their feasibility tolerances are 1e-9 or coarser).
REL_TOL = 1e-12

# The general path decides by the elastic LP's optimal total relaxation. HiGHS accepts a
# primal infeasibility of up to its feasibility tolerance (set to 1e-10 below) in each row, so
# that total is known only to about 1e-10 per limit; a total above 1e-9 is a conflict.
LP_TOL = 1e-9
_HIGHS_OPTIONS = {"primal_feasibility_tolerance": 1e-10, "dual_feasibility_tolerance": 1e-10}

# Multipliers below this are HiGHS's round-off, not part of a certificate.
_Y_EPS = 1e-9

# The message names at most this many items and counts the rest: one line for the reader; the
# exception's ``conflict`` carries every limit.
_MESSAGE_ITEMS = 8

_KIND_CODES = {"lower": 0, "upper": 1, "floor": 2, "cap": 3, "buy": 4, "sell": 5}
_KINDS = {
    "lower": "instrument_lower",
    "upper": "instrument_upper",
    "floor": "group_lower",
    "cap": "group_upper",
    "buy": "turnover_buy",
    "sell": "turnover_sell",
}
# Bound sources that are trading rules of the day (vela_optimizer.market.tradability), named as such.
_RULES = ("suspended", "limit_up", "limit_down")

# One limit: ("lower" | "upper", instrument), ("floor" | "cap", group row) or ("buy" | "sell", 0).
_Atom = tuple[str, int]
# A conflict entry's identity: (kind, instrument or group row), or for a default bound
# ("default_lower" | "default_upper", its source, its value).
_Key = tuple[str, int] | tuple[str, str, float]


class LimitConflict(InvalidArgument):
    """No portfolio satisfies the instrument bounds, the group limits and the budget together.

    The message (``str(exc)``) is one line in the module's style; the conflict is also carried
    as data, for programs that render it.

    Attributes
    ----------
    conflict : list of dict
        The limits in conflict, an irreducible set: drop any one and the rest (with the budget)
        admit a portfolio. Each dict has ``kind`` (``"instrument_upper"``, ``"instrument_lower"``,
        ``"group_upper"``, ``"group_lower"``, ``"default_upper"``, ``"default_lower"``, or the caps on
        what is bought and sold against the holdings, ``"turnover_buy"`` and ``"turnover_sell"``),
        ``label`` (the instrument id, the group label, ``"turnover"``, or for a default bound the
        bound's source: ``"*"`` for the wildcard entry of ``bnds``, ``""`` for the method's default
        bounds), ``bound`` (the limit's value), ``relaxation`` (how far this limit alone must move,
        up for a cap and down for a floor, for the named limits to become consistent; a default
        bound moves for all instruments it covers at once), ``count`` (how many instruments the
        limit covers; 0 for a turnover cap) and ``ids`` (those instruments; a group's members). An
        instrument whose bound a trading rule set also has ``rule`` (``"suspended"``,
        ``"limit_up"`` or ``"limit_down"``). The sell cap that selling held ids outside the
        optimisation narrowed also has ``cap`` (the turnover cap as given; ``bound`` is what those
        sales leave of it) and ``sold_outside`` (those ids). A cap on trades whose part in the
        total is what is held (bought beside the holdings the other limits leave free; sold out of
        those counted towards a cap) also has ``held``, that weight, and ``held_rest`` (whether
        other limits named took some of the instruments).
    shortfall : float
        By how much the named limits miss the limit they cannot meet (the budget, unless
        ``target`` names a group limit): positive when caps allow too little ("short"),
        negative when floors demand too much ("excess").
    target : int or None
        Index in ``conflict`` of the limit the others cannot meet, or None when it is the budget.
    budget : float
        The budget figure the named limits miss (1 for a fully invested portfolio).
    screened_out : list of str
        Instruments screening removed, named when the conflict is one of caps allowing too
        little: their bounds would have counted towards the budget.
    """

    def __init__(self, conflict, shortfall, target=None, budget=1.0, screened_out=()):
        self.conflict = [dict(e) for e in conflict]
        self.shortfall = float(shortfall)
        self.target = target
        self.budget = float(budget)
        self.screened_out = list(screened_out) if _screening_matters(self.conflict, self.shortfall) else []
        super().__init__(_message_zh(self))

    def __reduce__(self):
        # Exceptions cross process boundaries (backtests on a pool or a cluster) by pickling;
        # the default reduction would call __init__ with the message alone.
        return (type(self), (self.conflict, self.shortfall, self.target, self.budget, self.screened_out))

    def describe(self) -> str:
        """One English line naming the conflicting limits, for the command line.

        Returns
        -------
        str
            E.g. ``"limits conflict: cap 0.1000 on Materials, default cap 0.3000 on 2 other
            instruments allow at most 0.7000 in total (0.3000 short of 1)"``.
        """
        return _message_en(self)


def check_limits(limits: Limits, screened_out=(), sold_outside=None, kept=None) -> None:
    """Decide whether the limits of one optimisation admit a portfolio.

    Parameters
    ----------
    limits : vela_optimizer.limits.Limits
        Instrument bounds, group rows and the budget row (last, labelled None).
    screened_out : sequence of str
        Instruments screening removed before the limits were stated; a conflict of instrument
        caps that allow too little names them.
    sold_outside : dict, optional
        Held ids outside the optimisation sold in full -> their weight: the sell cap in ``limits``
        is the turnover cap less these sales, and a conflict naming it states the cap as given and
        what the sales left of it (the entry's ``cap`` and ``sold_outside``).
    kept : dict, optional
        Group label -> (weight, ids) held outside the optimisation (untradable) in that group: the
        group's row in ``limits`` is its floor and cap less that weight, and a conflict naming it
        states the limit as given and those ids (the entry's ``given`` and ``kept_ids``).

    Raises
    ------
    LimitConflict
        When no portfolio satisfies them; it names an irreducible set of conflicting limits
        and by how much they miss the budget (or the group limit they cannot meet). Disjoint
        groups are decided exactly (sums exactly rounded, tolerance ``REL_TOL`` relative);
        other layouts by an LP to ``LP_TOL``.
    ValueError
        When ``limits`` is malformed: shapes that disagree, NaN, a floor of +inf or a cap of
        -inf, or a budget row whose floor is above its cap.
    OptimizationFailed
        When the LP that decides a general layout does not finish (never for disjoint groups).
    """
    if _holdings_fit(limits):
        return
    exc = _diagnose(limits)
    if exc is not None:
        conflict = exc.conflict
        if sold_outside:
            sold = math.fsum(sold_outside.values())
            for e in conflict:
                if e["kind"] == "turnover_sell":
                    e.update(cap=e["bound"] + sold, sold_outside=sorted(sold_outside))
        for e in conflict:
            if e["kind"].startswith("group") and (kept or {}).get(e["label"]):
                weight, ids = kept[e["label"]]
                e.update(given=e["bound"] + weight, kept_ids=list(ids))
        if (screened_out and _screening_matters(conflict, exc.shortfall)) or sold_outside or kept:
            exc = LimitConflict(conflict, exc.shortfall, exc.target, exc.budget, screened_out)
        raise exc


def _screening_matters(conflict, shortfall) -> bool:
    """Whether instrument caps are short of what the others demand: then the instruments screening
    removed took their caps with them."""
    return shortfall > 0 and any(e["kind"] in ("default_upper", "instrument_upper") for e in conflict)


# ---------------------------------------------------------------- the problem in arrays


@dataclass(frozen=True)
class _Problem:
    ids: list
    lower: np.ndarray
    upper: np.ndarray
    rows: np.ndarray  # group rows only
    lo: np.ndarray
    hi: np.ndarray
    labels: list
    source: list  # per instrument: "*", "" or its own id
    budget: tuple[np.ndarray, float, float] | None  # (row, lo_b, hi_b) or None when there is no budget row
    rules: list | None = None  # per instrument: the trading rule that set its bound, or None
    holdings: np.ndarray | None = None  # with caps on what is bought and sold
    max_buy: float = math.inf
    max_sell: float = math.inf

    @property
    def turnover(self) -> list:
        """The caps on what is bought and sold that hold: ("buy" | "sell", cap)."""
        if self.holdings is None:
            return []
        return [(kind, cap) for kind, cap in (("buy", self.max_buy), ("sell", self.max_sell)) if math.isfinite(cap)]

    @property
    def n(self):
        return len(self.ids)

    @property
    def groups(self):
        return len(self.labels)


def _problem(limits: Limits) -> _Problem:
    ids = list(limits.ids)
    n = len(ids)
    lower = np.asarray(limits.lower, dtype=float).reshape(-1)
    upper = np.asarray(limits.upper, dtype=float).reshape(-1)
    A = np.asarray(limits.A, dtype=float)
    lo = np.asarray(limits.lo, dtype=float).reshape(-1)
    hi = np.asarray(limits.hi, dtype=float).reshape(-1)
    if A.size == 0:
        A = A.reshape(len(lo), n)
    m = A.shape[0]
    labels = list(limits.row_labels)
    if lower.shape != (n,) or upper.shape != (n,) or A.shape != (m, n) or lo.shape != (m,) or hi.shape != (m,):
        raise ValueError(
            f"limits: shapes disagree (n = {n}, lower {lower.shape}, upper {upper.shape}, "
            f"A {A.shape}, lo {lo.shape}, hi {hi.shape})"
        )
    if len(labels) != m:
        raise ValueError(f"limits: {len(labels)} row labels for {m} rows")
    for name, v in (("lower", lower), ("upper", upper), ("A", A), ("lo", lo), ("hi", hi)):
        if np.isnan(v).any():
            raise ValueError(f"limits: {name} contains NaN")
    if np.isinf(A).any():
        raise ValueError("limits: A contains an infinite coefficient")
    if (lower == np.inf).any() or (lo == np.inf).any():
        raise ValueError("limits: a floor of +inf")
    if (upper == -np.inf).any() or (hi == -np.inf).any():
        raise ValueError("limits: a cap of -inf")
    budget = None
    if m and labels[-1] is None:
        if lo[-1] > hi[-1]:
            raise ValueError(f"limits: the budget's floor {lo[-1]} is above its cap {hi[-1]}")
        budget = (A[-1], float(lo[-1]), float(hi[-1]))
        A, lo, hi, labels = A[:-1], lo[:-1], hi[:-1], labels[:-1]
    src = list(limits.bound_source)
    source = [s if s in ("*", "") else None for s in src] if len(src) == n else [None] * n
    source = [ids[i] if s is None else s for i, s in enumerate(source)]
    rules = [s if s in _RULES else None for s in src] if len(src) == n else [None] * n
    holdings, max_buy, max_sell = _turnover(limits, n)
    return _Problem(ids, lower, upper, A, lo, hi, labels, source, budget, rules, holdings, max_buy, max_sell)


def _turnover(limits: Limits, n: int):
    """(holdings, max_buy, max_sell) of ``limits``, checked; holdings None without a cap."""
    max_buy, max_sell = float(getattr(limits, "max_buy", math.inf)), float(getattr(limits, "max_sell", math.inf))
    if math.isnan(max_buy) or math.isnan(max_sell) or max_buy < 0 or max_sell < 0:
        raise ValueError(
            f"limits: caps on what is bought and sold must be >= 0 (max_buy {max_buy}, max_sell {max_sell})"
        )
    holdings = getattr(limits, "holdings", None)
    if holdings is None:
        if math.isfinite(max_buy) or math.isfinite(max_sell):
            raise ValueError("limits: caps on what is bought and sold need the holdings")
        return None, max_buy, max_sell
    holdings = np.asarray(holdings, dtype=float).reshape(-1)
    if holdings.shape != (n,) or not np.isfinite(holdings).all():
        raise ValueError(f"limits: holdings must be {n} finite weights, got shape {holdings.shape}")
    if not (math.isfinite(max_buy) or math.isfinite(max_sell)):
        return None, max_buy, max_sell
    return holdings, max_buy, max_sell


def _disjoint_groups(p: _Problem):
    """Each instrument's group row (-1 for none), or None when the closed form does not apply."""
    if p.turnover:
        return None
    if p.budget is not None and not np.all(p.budget[0] == 1.0):
        return None
    if p.rows.size and not np.all((p.rows == 0.0) | (p.rows == 1.0)):
        return None
    member = np.full(p.n, -1)
    if p.rows.size:
        if np.any(p.rows.sum(axis=0) > 1):
            return None
        r, c = np.nonzero(p.rows)
        member[c] = r
    return member


def _tol(*magnitudes) -> float:
    return REL_TOL * max(1.0, *magnitudes)


# A found conflict before it is named: its limits ("lower"|"upper", instrument) and
# ("floor"|"cap", group row), their certificate multipliers, the gap in the multipliers' units,
# and the limit the others miss: an atom, or "budget" with the side it stands on.
@dataclass
class _Found:
    atoms: list[_Atom]
    y: list[float]
    gap: float
    target: _Atom  # an atom, or ("budget", +1 | -1): +1 when the budget is the floor the caps miss


# ---------------------------------------------------------------- closed form (disjoint groups)


@dataclass(frozen=True)
class _End:
    """One way a sum is bounded on one side: the bound, the limits that set it (none for the
    budget, which is held and never named) and the magnitude its rounding is judged against."""

    value: float
    parts: tuple  # (kind, positions) pairs: the limits, listed only when a conflict is named
    magnitude: float
    budget: bool = False

    @property
    def count(self) -> int:
        return sum(len(k) for _, k in self.parts)

    @property
    def atoms(self) -> list[_Atom]:
        return [(kind, int(k)) for kind, ks in self.parts for k in ks]


def _limit_end(value, kind, k) -> _End:
    return _End(float(value), ((kind, (k,)),), abs(float(value)))


def _sum_end(values: np.ndarray, kind, positions) -> _End:
    values = values.tolist()
    return _End(math.fsum(values), ((kind, positions),), math.fsum(map(abs, values)))


def _total(ends) -> _End:
    """The bound on a sum of independent components' sums, set by each component's end."""
    return _End(
        math.fsum(e.value for e in ends),
        tuple(part for e in ends for part in e.parts),
        math.fsum(e.magnitude for e in ends),
    )


def _tightest(ends, floor: bool) -> _End:
    """The highest floor (or lowest cap); of ends within a quarter of the relative tolerance of
    it, the one that names the fewest limits (a group limit rather than its members' bounds).
    The quarter keeps a conflict just above tolerance a conflict among the ends chosen."""
    best = max(e.value for e in ends) if floor else min(e.value for e in ends)
    tie = REL_TOL * abs(best) / 4 if math.isfinite(best) else 0.0
    close = [e for e in ends if e.value == best or abs(e.value - best) <= tie]
    return min(close, key=lambda e: e.count)


def _gap(floor: _End, cap: _End) -> float:
    """How far ``floor`` is above ``cap``, when beyond tolerance (else 0)."""
    gap = floor.value - cap.value
    return gap if gap > _tol(floor.magnitude, cap.magnitude) else 0.0


def _found(floor: _End, cap: _End) -> _Found:
    atoms = list(cap.atoms) + list(floor.atoms)
    if floor.budget:
        target = ("budget", 1)
    elif cap.budget:
        target = ("budget", -1)
    elif cap.count == 1 and cap.atoms[0][0] == "cap":
        target = cap.atoms[0]
    elif floor.count == 1 and floor.atoms[0][0] == "floor":
        target = floor.atoms[0]
    else:
        target = cap.atoms[0]  # an instrument's floor above its own cap
    return _Found(atoms, [1.0] * len(atoms), floor.value - cap.value, target)


def _worst(floors, caps) -> _Found | None:
    """The widest conflict between one of ``floors`` and one of ``caps`` on the same sum.

    Each conflicting pair is an infeasible set with unit multipliers; a pair whose limits
    contain another conflicting pair's is not irreducible and is passed over (a floor and a cap
    of a group holding every instrument, when the budget alone already contradicts one of them).
    Of the rest, the widest gap, so that moving its limits clears the narrower conflicts too;
    near ties (a quarter tolerance) go to the pair naming fewer limits.
    """
    gaps = [(f, c, _gap(f, c)) for f in floors for c in caps if not (f.budget and c.budget)]
    pairs = [(f, c, g, set(f.atoms) | set(c.atoms)) for f, c, g in gaps if g > 0]
    pairs = [q for q in pairs if not any(o[3] < q[3] for o in pairs)]
    if not pairs:
        return None
    widest = max(q[2] for q in pairs)
    close = [q for q in pairs if q[2] >= widest - REL_TOL * widest / 4]
    f, c, _, _ = min(close, key=lambda q: len(q[3]))
    return _found(f, c)


def _closed_form(p: _Problem, member: np.ndarray) -> _Found | None:
    lower, upper, n = p.lower, p.upper, p.n
    order = np.argsort(member, kind="stable")
    starts = np.searchsorted(member[order], np.arange(-1, p.groups + 1))
    members = [order[starts[g + 1] : starts[g + 2]] for g in range(p.groups)]
    free = order[starts[0] : starts[1]]
    # A group holding every instrument bounds the same sum as the budget, and so does a lone
    # instrument: their limits are weighed together with the budget's, or a conflict named at
    # their level could keep a limit that the budget makes unnecessary.
    covering = [g for g, idx in enumerate(members) if p.budget is not None and len(idx) == n]
    alone = p.budget is not None and n == 1

    if not alone:
        over = lower - upper
        for i in np.flatnonzero(over > REL_TOL * np.maximum(1.0, np.maximum(np.abs(lower), np.abs(upper)))):
            return _found(_limit_end(lower[i], "lower", i), _limit_end(upper[i], "upper", i))

    def floors_of(g, idx):
        return [_limit_end(p.lo[g], "floor", g), _sum_end(lower[idx], "lower", idx)]

    def caps_of(g, idx):
        return [_limit_end(p.hi[g], "cap", g), _sum_end(upper[idx], "upper", idx)]

    bottoms, tops = [], []  # each component's tightest floor and cap: groups, then free instruments
    for g, idx in enumerate(members):
        if g in covering:
            continue
        floors, caps = floors_of(g, idx), caps_of(g, idx)
        found = _worst(floors, caps)
        if found:
            return found
        bottoms.append(_tightest(floors, True))
        tops.append(_tightest(caps, False))
    bottoms.append(_sum_end(lower[free], "lower", free))  # instruments in no group: their own bounds
    tops.append(_sum_end(upper[free], "upper", free))
    if p.budget is None:
        return None

    _, lo_b, hi_b = p.budget
    b_floor, b_cap = _End(lo_b, (), abs(lo_b), budget=True), _End(hi_b, (), abs(hi_b), budget=True)
    if covering:
        g = covering[0]
        return _worst([b_floor] + floors_of(g, members[g]), [b_cap] + caps_of(g, members[g]))
    if alone:
        return _worst([b_floor, bottoms[-1]], [b_cap, tops[-1]])
    # The components' sums range over their intervals independently, so the total ranges over
    # [sum of floors, sum of caps]; only the budget can fall outside it.
    top, bottom = _total(tops), _total(bottoms)
    return _worst([b_floor], [top]) or _worst([bottom], [b_cap])


# ---------------------------------------------------------------- general path (elastic LP)


def _all_atoms(p: _Problem) -> list[_Atom]:
    atoms = [("lower", int(i)) for i in np.flatnonzero(np.isfinite(p.lower))]
    atoms += [("upper", int(i)) for i in np.flatnonzero(np.isfinite(p.upper))]
    atoms += [("floor", int(r)) for r in np.flatnonzero(np.isfinite(p.lo))]
    atoms += [("cap", int(r)) for r in np.flatnonzero(np.isfinite(p.hi))]
    atoms += [(kind, 0) for kind, _ in p.turnover]
    return atoms


def _elastic(p: _Problem, atoms) -> tuple[float, dict, float]:
    """Minimise the total relaxation of ``atoms`` with the budget held.

    Variables: z (n) and one slack s >= 0 per atom. An instrument bound is relaxed without a row
    of its own: z_i lies within it and the weight is w_i = z_i - s_lower + s_upper. (An
    instrument whose floor is above its cap has no such z; its bounds become rows
    -w_i - s <= -lower_i and w_i - s <= upper_i.) Group rows: a_r w - s <= hi_r (cap) and
    -a_r w - s <= -lo_r (floor); the budget row holds without slack. A cap on what is bought adds
    t >= 0 (n) with w_i - t_i <= h_i and sum t - s <= max_buy (what is sold: -w_i - t_i <= -h_i).

    Returns the optimal total, the multiplier of each atom (its dual, in [0, 1]) and the budget's
    signed multiplier (positive when the budget stands as a floor the caps cannot reach).
    """
    n, k = p.n, len(atoms)
    kind = np.array([_KIND_CODES[a[0]] for a in atoms], dtype=int).reshape(k)
    pos = np.array([a[1] for a in atoms], dtype=int).reshape(k)
    turn = np.flatnonzero(kind >= 4)  # caps on what is bought and sold, each with n variables t
    cols = n + k + n * turn.size
    on_instrument = kind < 2
    has = np.zeros((2, n), dtype=bool)
    has[kind[on_instrument], pos[on_instrument]] = True
    inverted = has[0] & has[1] & (p.lower > p.upper)
    in_bounds = on_instrument.copy()
    in_bounds[on_instrument] = ~inverted[pos[on_instrument]]
    bound_atoms = np.flatnonzero(in_bounds)
    z_lo, z_hi = np.full(n, -np.inf), np.full(n, np.inf)
    lows, highs = bound_atoms[kind[bound_atoms] == 0], bound_atoms[kind[bound_atoms] == 1]
    z_lo[pos[lows]] = p.lower[pos[lows]]
    z_hi[pos[highs]] = p.upper[pos[highs]]
    # w = W x: z plus, for each instrument bound, its slack (- below the floor, + above the cap)
    sub_rows = np.r_[np.arange(n), pos[bound_atoms]]
    sub_cols = np.r_[np.arange(n), n + bound_atoms]
    sub_vals = np.r_[np.ones(n), np.where(kind[bound_atoms] == 0, -1.0, 1.0)]
    row_atoms = np.flatnonzero(~in_bounds & (kind < 4))  # rows over w, each with its atom's slack
    upper_side = (kind[row_atoms] == 1) | (kind[row_atoms] == 3)
    grouped = kind[row_atoms] >= 2
    rows = np.zeros((len(row_atoms), n))
    rows[grouped] = p.rows[pos[row_atoms[grouped]]]
    rows[np.flatnonzero(~grouped), pos[row_atoms[~grouped]]] = 1.0
    bound = np.empty(len(row_atoms))
    for code, values in enumerate((p.lower, p.upper, p.lo, p.hi)):
        chosen = kind[row_atoms] == code
        bound[chosen] = values[pos[row_atoms[chosen]]]
    sign = np.where(upper_side, 1.0, -1.0)
    ub_rows = list(rows * sign[:, None])
    ub_rhs = list(bound * sign)
    slack_of_row = row_atoms.tolist()
    W = scipy.sparse.csr_array((sub_vals, (sub_rows, sub_cols)), shape=(n, cols))
    nrow = len(ub_rows)
    budget_rows = []  # +1 for the budget as a floor row, -1 as a cap row
    if p.budget is not None:
        row, lo_b, hi_b = p.budget
        if lo_b != hi_b:
            for side, side_sign, b in ((1, -1.0, lo_b), (-1, 1.0, hi_b)):
                if math.isfinite(b):
                    ub_rows.append(side_sign * row)
                    ub_rhs.append(side_sign * b)
                    budget_rows.append(side)
    A_ub = b_ub = A_eq = b_eq = None
    blocks, rhs_blocks = [], []
    if ub_rows:
        own = scipy.sparse.csr_array(
            (-np.ones(nrow), (np.arange(nrow), [n + j for j in slack_of_row])), shape=(len(ub_rows), cols)
        )
        blocks.append(scipy.sparse.csr_array(np.array(ub_rows)) @ W + own)
        rhs_blocks.append(np.array(ub_rhs, dtype=float))
    for a, j in enumerate(turn.tolist()):
        # _problem keeps holdings whenever a cap on what is bought or sold holds, and only such
        # a cap makes a "buy" or "sell" atom.
        assert p.holdings is not None
        blocks.append(_turnover_rows(p, W, atoms[j][0], n + j, n + k + a * n, cols))
        cap = p.max_buy if atoms[j][0] == "buy" else p.max_sell
        rhs_blocks.append(np.r_[p.holdings if atoms[j][0] == "buy" else -p.holdings, cap])
    if blocks:
        A_ub = scipy.sparse.vstack(blocks, format="csr")
        b_ub = np.concatenate(rhs_blocks)
    if p.budget is not None and p.budget[1] == p.budget[2]:
        A_eq = scipy.sparse.csr_array(p.budget[0].reshape(1, -1)) @ W
        b_eq = np.array([p.budget[1]])
    c = np.r_[np.zeros(n), np.ones(k), np.zeros(cols - n - k)]
    bounds = np.column_stack([np.r_[z_lo, np.zeros(cols - n)], np.r_[z_hi, np.full(cols - n, np.inf)]])
    res = scipy.optimize.linprog(
        c, A_ub=A_ub, b_ub=b_ub, A_eq=A_eq, b_eq=b_eq, bounds=bounds, method="highs", options=_HIGHS_OPTIONS
    )
    if res.status != 0:
        # The elastic LP is always feasible and bounded below by 0: anything else is a failure.
        raise OptimizationFailed(f"OPTIMIZER: 约束可行性检查的线性规划未能完成：{res.message}")
    y_all = np.zeros(k)
    y_all[lows] = res.lower.marginals[pos[lows]]
    y_all[highs] = -res.upper.marginals[pos[highs]]
    marg = -res.ineqlin.marginals if A_ub is not None else np.empty(0)
    y_all[slack_of_row] = marg[:nrow]
    after = len(ub_rows)  # the rows of the caps on trades follow the group and budget rows
    for a, j in enumerate(turn.tolist()):
        y_all[j] = marg[after + a * (n + 1) + n]
    y = dict(zip(atoms, y_all.tolist()))
    y_b = (
        float(res.eqlin.marginals[0])
        if A_eq is not None
        else sum(side * float(m) for side, m in zip(budget_rows, marg[nrow:after]))
    )
    return float(res.fun), y, y_b


def _turnover_rows(p: _Problem, W, kind: str, slack: int, first: int, cols: int):
    """The lifted rows of a cap on what is bought (``kind`` "buy": w_i - t_i <= h_i) or sold
    ("sell": -w_i - t_i <= -h_i), then sum t - s <= cap; t in columns ``first``.. of ``cols``,
    the atom's slack s in column ``slack``."""
    n = p.n
    sign = 1.0 if kind == "buy" else -1.0
    t = scipy.sparse.csr_array((-np.ones(n), (np.arange(n), first + np.arange(n))), shape=(n, cols))
    total = scipy.sparse.csr_array(
        (np.r_[np.ones(n), -1.0], (np.zeros(n + 1, dtype=int), np.r_[first + np.arange(n), slack])), shape=(1, cols)
    )
    return scipy.sparse.vstack([sign * W + t, total], format="csr")


def _unique_certificate(p: _Problem, atoms) -> bool:
    """Whether the rows of ``atoms`` and the budget have a one-dimensional left null space, so
    that a certificate supported on them is unique up to scale and ``atoms`` is irreducible.

    Instrument bounds are unit rows: they span their own coordinates, so the rank is the number
    of distinct instruments bounded plus the rank of the other rows on the remaining columns."""
    if any(kind in ("buy", "sell") for kind, _ in atoms):
        return False  # a cap on trades is many lifted rows: leave it to the deletion filter
    bounded = sorted({i for kind, i in atoms if kind in ("lower", "upper")})
    others = [p.rows[i] for kind, i in atoms if kind in ("floor", "cap")]
    if p.budget is not None:
        others.append(p.budget[0])
    rest = np.delete(np.array(others).reshape(len(others), p.n), bounded, axis=1)
    rank = len(bounded) + (np.linalg.matrix_rank(rest) if rest.size else 0)
    return len(atoms) + (p.budget is not None) - rank == 1


def _holdings_fit(limits: Limits) -> bool:
    """Whether the holdings are themselves a portfolio of ``limits`` (no trade at all): a
    rebalance whose holdings meet every bound, group limit and the budget has nothing to
    diagnose, and the LP a cap on trades needs is left out. Their total relaxation, which bounds
    the LP's, is held to half its tolerance."""
    h, A = limits.holdings, limits.A
    if h is None or h.shape != limits.lower.shape or A.ndim != 2 or A.shape[1] != h.size or not np.isfinite(h).all():
        return False
    ah = A @ h
    parts = (limits.lower - h, h - limits.upper, limits.lo - ah, ah - limits.hi)
    total = math.fsum(float(np.maximum(p, 0.0).sum()) for p in parts)
    return total <= LP_TOL / 2 and limits.max_buy >= 0.0 and limits.max_sell >= 0.0


def _lp_path(p: _Problem) -> _Found | None:
    if p.n == 0:  # no weights, no LP: only the budget and empty groups' limits can conflict
        return _closed_form(p, np.full(0, -1))
    every = _all_atoms(p)
    total, y, _ = _elastic(p, every)
    if total <= LP_TOL:
        return None
    S = [a for a in every if y[a] > _Y_EPS]
    if _elastic(p, S)[0] <= LP_TOL:
        S = every  # the support lost a multiplier to round-off; filter from everything
    if not _unique_certificate(p, S):
        S = _deletion_filter(p, S)
    gap, y, y_b = _elastic(p, S)
    ys = [max(y[a], _Y_EPS) for a in S]
    if p.budget is not None and abs(y_b) > _Y_EPS:
        return _Found(S, [v / abs(y_b) for v in ys], gap / abs(y_b), ("budget", 1 if y_b > 0 else -1))
    target = max(S, key=lambda a: _target_rank(p, a))
    yt = ys[S.index(target)]
    return _Found(S, [v / yt for v in ys], gap / yt, target)


def _deletion_filter(p: _Problem, S: list) -> list:
    """An irreducible subset of the conflicting limits ``S`` (with the budget held).

    Each limit in turn is dropped; when the rest still conflict it stays out and the set
    shrinks to the support of the rest's certificate (a conflict itself), else it is needed.
    Instrument bounds are tried first so that a group limit, which covers several instruments,
    is kept in their place; the filter stops early once the certificate is unique.

    The instrument bounds are dropped a run at a time, halving a run whose drop ends the conflict
    until one bound is left (that one is needed). Conflicts shrink as limits go, so a run whose
    drop keeps one would have been dropped bound by bound as well: the decisions are those of one
    at a time, at one LP per run dropped and a few per bound kept. Under a cap on trades the
    certificate rests on the floor of every instrument not held in a capped group (hundreds over
    an index, thousands over the market) while what remains is a few group caps and the cap: one
    at a time that was two LPs a floor (28 s at 4,900 stocks). Group limits, few and mostly
    needed, are still tried one at a time.
    """
    bounds = [a for a in S if a[0] in ("lower", "upper")]
    others = [a for a in S if a[0] not in ("lower", "upper")]
    runs = [[a] for a in reversed(others)] + ([bounds] if bounds else [])  # a stack: bounds first
    while runs:
        kept = set(S)
        run = [a for a in runs.pop() if a in kept]
        if not run:
            continue
        out = set(run)
        rest = [a for a in S if a not in out]
        total, y, _ = _elastic(p, rest)
        if total > LP_TOL:
            support = [a for a in rest if y[a] > _Y_EPS]
            S = support if _elastic(p, support)[0] > LP_TOL else rest
            if _unique_certificate(p, S):
                break
        elif len(run) > 1:
            half = len(run) // 2
            runs += [run[half:], run[:half]]
    return S


def _target_rank(p: _Problem, atom):
    """Without the budget, the limit the others miss is the widest group limit (a cap before a
    floor on the same row), else an instrument's cap."""
    kind, k = atom
    if kind in ("floor", "cap"):
        return (1, int(p.rows[k].astype(bool).sum()), kind == "cap")
    if kind in ("buy", "sell"):
        return (0, 0, False)
    return (0, 1, kind == "upper")


# ---------------------------------------------------------------- naming


def _diagnose(limits: Limits, path: str = "auto") -> LimitConflict | None:
    """The conflict among ``limits`` (None when they are consistent); ``path`` forces
    ``"closed"`` (disjoint groups only) or ``"lp"``."""
    p = _problem(limits)
    member = _disjoint_groups(p) if path in ("auto", "closed") else None
    if path == "closed" and member is None:
        raise ValueError("limits: the closed form needs disjoint 0/1 groups and an all-ones budget row")
    found = _closed_form(p, member) if member is not None else _lp_path(p)
    return None if found is None else _name(p, found)


def _name(p: _Problem, f: _Found) -> LimitConflict:
    entries: dict[_Key, dict[str, Any]] = {}  # entry key -> entry
    totals: dict[_Key, float] = {}  # entry key -> total multiplier
    key: _Key
    entry: dict[str, Any]
    for (kind, k), y in zip(f.atoms, f.y):
        if kind in ("buy", "sell"):
            key = (_KINDS[kind], 0)
            entry = {
                "kind": _KINDS[kind],
                "label": "turnover",
                "bound": p.max_buy if kind == "buy" else p.max_sell,
                "count": 0,
                "ids": [],
            }
        elif kind in ("floor", "cap"):
            members = np.flatnonzero(p.rows[k]).tolist()
            bound = float(p.lo[k] if kind == "floor" else p.hi[k])
            key = (_KINDS[kind], k)
            entry = {
                "kind": _KINDS[kind],
                "label": p.labels[k],
                "bound": bound,
                "count": len(members),
                "ids": [p.ids[i] for i in members],
            }
        else:
            bound = float(p.lower[k] if kind == "lower" else p.upper[k])
            src = p.source[k]
            if src in ("*", ""):
                key = ("default_" + kind, src, bound)
                entry = {"kind": "default_" + kind, "label": src, "bound": bound, "count": 0, "ids": []}
            else:
                key = (_KINDS[kind], k)
                entry = {"kind": _KINDS[kind], "label": src, "bound": bound, "count": 1, "ids": [p.ids[k]]}
                if p.rules is not None and p.rules[k] is not None:
                    entry["rule"] = p.rules[k]
        if key not in entries:
            entries[key] = entry
            totals[key] = 0.0
        totals[key] += y
        if entry["kind"].startswith("default_"):
            entries[key]["count"] += 1
            entries[key]["ids"].append(p.ids[k])

    target_key: _Key | None = None
    if f.target[0] != "budget":
        kind, k = f.target
        if kind in ("floor", "cap", "buy", "sell"):
            target_key = (_KINDS[kind], k)
        else:
            src = p.source[k]
            bound = float(p.lower[k] if kind == "lower" else p.upper[k])
            target_key = ("default_" + kind, src, bound) if src in ("*", "") else (_KINDS[kind], k)

    def order(key):
        entry = entries[key]
        rank = (
            0
            if key == target_key
            else 1
            if entry["kind"].startswith(("group", "turnover"))
            else 3
            if entry["kind"].startswith("default")
            else 2
        )
        position = key[1] if isinstance(key[1], int) else 0
        return (rank, position, entry["kind"])

    keys = sorted(entries, key=order)
    conflict = []
    for key in keys:
        entry = entries[key]
        entry["relaxation"] = f.gap / totals[key]
        conflict.append(
            {k: entry[k] for k in ("kind", "label", "bound", "relaxation", "count", "ids", "rule") if k in entry}
        )

    if target_key is None:
        side = f.target[1]
        # Both paths set a conflict against the budget only when there is a budget row.
        assert p.budget is not None
        row, lo_b, hi_b = p.budget
        budget = lo_b if side > 0 else hi_b
        _count_held(p, conflict, conflict, np.flatnonzero(row == 1), row.size, budget - side * f.gap)
        return LimitConflict(conflict, side * f.gap, None, budget)
    target_kind = entries[target_key]["kind"]
    sign = 1 if target_kind.endswith("lower") else -1
    if target_kind.startswith("group"):
        row = p.rows[int(target_key[1])]
        total = conflict[0]["bound"] - sign * f.gap
        _count_held(p, conflict, conflict[1:], np.flatnonzero(row == 1), int(np.count_nonzero(row)), total)
    return LimitConflict(conflict, sign * f.gap, 0, 1.0)


def _count_held(p: _Problem, conflict: list, side: list, members: np.ndarray, nonzero: int, total: float) -> None:
    """Where a cap on trades stands with caps alone against a floor the total must reach (what is
    bought beside the holdings), or with floors alone against a cap (what is sold of them), the
    holdings are a term of the total the message states: give the cap on trades that weight
    (``held``), so that the figures add up on the line. ``members`` are the instruments the
    target sums (each with a weight of 1; ``nonzero`` of them weighted at all), ``total`` what
    the named limits allow at most, or require at least. Left out where the figures do not add up
    to ``total`` (limits that overlap, weights other than 1)."""
    trades = [e for e in side if e["kind"].startswith("turnover")]
    if p.holdings is None or len(trades) != 1 or len(members) != nonzero:
        return
    buys = trades[0]["kind"] == "turnover_buy"
    others = [e for e in side if e is not trades[0]]
    if not all(e["kind"].endswith("upper" if buys else "lower") for e in others):
        return
    covered = {i for e in others for i in e["ids"]}
    free = [float(p.holdings[i]) for i in members if p.ids[i] not in covered]
    held = math.fsum(free)
    named = math.fsum(e["bound"] * (e["count"] if e["kind"].startswith("default") else 1) for e in others)
    trade = trades[0]["bound"] if buys else -trades[0]["bound"]
    if abs(named + held + trade - total) > 1e-8:
        return
    for e in conflict:
        if e is trades[0]:
            e.update(held=held, held_rest=bool(covered))


# ---------------------------------------------------------------- messages


def _decimals(exc: LimitConflict) -> int:
    """Figures have 4 decimals, or as many as show the gap (at most 12): a conflict of 1e-6
    printed as 0.0000 would read as none."""
    gap = abs(exc.shortfall)
    if gap >= 5e-5 or gap == 0:
        return 4
    return min(12, math.ceil(-math.log10(gap)) + 1)


def _figure(x: float, d: int = 4) -> str:
    return f"{x:.{d}f}"


def _budget_figure(x: float, d: int = 4) -> str:
    return str(int(x)) if float(x).is_integer() else _figure(x, d)


def _side_items(exc: LimitConflict, zh: bool, d: int) -> list:
    """The limits other than the target, as message items; instruments with their own bounds
    of one kind and value are listed together. A default bound counts the instruments it
    covers: "other" ones beside instruments named by id or group, and "members" when they all
    belong to the group whose limit is the target."""
    side = [e for i, e in enumerate(exc.conflict) if i != exc.target]
    others = any(not e["kind"].startswith("default") for e in side)
    group = (
        set(exc.conflict[exc.target]["ids"])
        if exc.target is not None and exc.conflict[exc.target]["kind"].startswith("group")
        else set()
    )
    # Each item is a finished text, or the (kind, bound) key of instruments listed together.
    items: list[str | tuple[str, float]] = []
    merged: dict[tuple[str, float], list[str]] = {}
    for e in side:
        kind, bound = e["kind"], e["bound"]
        upper = kind.endswith("upper")
        if kind.startswith("turnover") or e.get("rule"):
            items.append(_special_text(e, zh, d))
        elif kind.startswith("instrument"):
            key = (kind, bound)
            if key in merged:
                merged[key].append(e["label"])
                continue
            merged[key] = [e["label"]]
            items.append(key)
        elif kind.startswith("group"):
            items.append(_group_text(e, zh, d))
        else:
            c = e["count"]
            members = bool(group) and set(e["ids"]) <= group
            if zh:
                each = "各" if c > 1 else ""
                text = (
                    f"{'其余 ' if others else ''}{c} 个{'成员' if members else '合约'}默认"
                    f"{'上限' if upper else '下限'}{each} {_figure(bound, d)}"
                )
            else:
                noun = ("member" if members else "instrument") + ("" if c == 1 else "s")
                text = (
                    f"default {'cap' if upper else 'floor'} {_figure(bound, d)} on {c} "
                    f"{'other ' if others else ''}{noun}"
                )
            items.append(text)
    out = []
    for item in items:
        if isinstance(item, str):
            out.append(item)
            continue
        kind, bound = item
        ids = merged[item]
        upper = kind.endswith("upper")
        if zh:
            each = "各" if len(ids) > 1 else ""
            out.append(f"合约 {'、'.join(ids)} {'上限' if upper else '下限'}{each} {_figure(bound, d)}")
        else:
            out.append(f"{'cap' if upper else 'floor'} {_figure(bound, d)} on {', '.join(ids)}")
    return out


def _join(items: list, zh: bool) -> str:
    if not items:
        return "没有合约" if zh else "no instruments"
    shown = items[:_MESSAGE_ITEMS]
    text = ("、" if zh else ", ").join(shown)
    if len(items) > len(shown):
        more = len(items) - len(shown)
        text += f" 等共 {len(items)} 项" if zh else f" and {more} more"
    return text


def _special_text(e: dict, zh: bool, d: int) -> str:
    """A cap on trades ("换手上限 0.1000", "turnover cap 0.1000"), or an instrument held by a
    trading rule ("600000.XSHG 停牌，持有 3.20%", "600000.XSHG suspended, held at 3.20 %")."""
    if e["kind"].startswith("turnover"):
        if e.get("sold_outside"):
            # the sell cap left once the held ids outside the universe are sold: the cap as given
            # and what those sales leave of it, not a figure the caller never gave
            cap, left, ids = _figure(e["cap"], d), _figure(e["bound"], d), _names(e["sold_outside"], zh)
            if zh:
                return f"换手上限 {cap}（卖出组合外的 {ids} 后余 {left}{_held_text(e, zh, d, '；')}）"
            held = _held_text(e, zh, d)
            return f"turnover cap {cap} ({left} of it left after selling {ids} outside the universe){held}"
        if zh:
            held = _held_text(e, zh, d)
            return f"换手上限 {_figure(e['bound'], d)}" + (f"（{held}）" if held else "")
        return f"turnover cap {_figure(e['bound'], d)}{_held_text(e, zh, d)}"
    pct = 100 * e["bound"]
    zh_rule = {"suspended": "停牌，持有", "limit_up": "涨停，最多", "limit_down": "跌停，至少"}
    en_rule = {
        "suspended": "suspended, held at",
        "limit_up": "closed at its up-limit, at most",
        "limit_down": "closed at its down-limit, at least",
    }
    if zh:
        return f"{e['label']} {zh_rule[e['rule']]} {pct:.2f}%"
    return f"{e['label']} {en_rule[e['rule']]} {pct:.2f} %"


def _held_text(e: dict, zh: bool, d: int, lead: str = "") -> str:
    """What a cap on trades works on, where the holdings are a term of the stated total: bought
    beside what is held (" on buys beside 0.8751 held"; "买入，另持有 0.8751", to go in brackets
    after ``lead``), or sold of it (" on sales of 0.6000 held"); "" where they are not."""
    if "held" not in e:
        return ""
    held, rest = _figure(e["held"], d), e["held_rest"]
    if e["kind"] == "turnover_buy":
        if zh:
            return f"{lead}买入，{'其余' if rest else '另'}持有 {held}"
        return f" on buys beside {held} held{' in the rest' if rest else ''}"
    if zh:
        return f"{lead}卖出，{'其余' if rest else ''}持有 {held}"
    return f" on sales of {held} held{' in the rest' if rest else ''}"


def _group_text(e: dict, zh: bool, d: int) -> str:
    """A group's floor or cap ("cap 0.1000 on Utilities"); where weight held outside the
    optimisation is in the group, the limit as given and what that weight leaves of it, not a
    figure the caller never gave."""
    upper = e["kind"].endswith("upper")
    if "kept_ids" not in e:
        return (
            f"类别 {e['label']} {'上限' if upper else '下限'} {_figure(e['bound'], d)}"
            if zh
            else f"{'cap' if upper else 'floor'} {_figure(e['bound'], d)} on {e['label']}"
        )
    given, left, ids = _figure(e["given"], d), _figure(e["bound"], d), _names(e["kept_ids"], zh)
    if zh:
        return f"类别 {e['label']} {'上限' if upper else '下限'} {given}（组合外不能交易的 {ids} 占用后余 {left}）"
    return (
        f"{'cap' if upper else 'floor'} {given} on {e['label']} ({left} of it left beside {ids}, held outside the "
        "optimisation as it cannot be traded)"
    )


def _names(ids: list, zh: bool) -> str:
    """Up to :data:`_MESSAGE_ITEMS` ids, then how many more."""
    shown = ids[:_MESSAGE_ITEMS]
    if zh:
        return "、".join(shown) + (f" 等共 {len(ids)} 个" if len(ids) > len(shown) else "")
    return ", ".join(shown) + (f" and {len(ids) - len(shown)} more" if len(ids) > len(shown) else "")


def _target_text(exc: LimitConflict, zh: bool, d: int) -> str:
    e = exc.conflict[exc.target]
    if e["kind"].startswith("turnover") or e.get("rule"):
        return _special_text(e, zh, d)
    upper = e["kind"].endswith("upper")
    if e["kind"].startswith("group"):
        return _group_text(e, zh, d)
    who = e["label"] if e["kind"].startswith("instrument") else ", ".join(e["ids"])
    return (
        f"合约 {who} {'上限' if upper else '下限'} {_figure(e['bound'], d)}"
        if zh
        else f"{'cap' if upper else 'floor'} {_figure(e['bound'], d)} on {who}"
    )


def _single(exc: LimitConflict) -> bool:
    """Whether one limit of one figure stands against the target (no total to state)."""
    side = [e for i, e in enumerate(exc.conflict) if i != exc.target]
    return len(side) == 1 and (side[0]["count"] == 1 or side[0]["kind"].startswith("group"))


def _kept_only(exc: LimitConflict) -> bool:
    """Whether the conflict is a cap on a group no instrument of the optimisation belongs to, broken
    by weight held outside it, standing alone."""
    e = exc.conflict[0]
    return len(exc.conflict) == 1 and e["kind"] == "group_upper" and e["count"] == 0 and "kept_ids" in e


def _empty_group(exc: LimitConflict) -> bool:
    """Whether the conflict is a floor on a group no instrument belongs to, standing alone."""
    return len(exc.conflict) == 1 and exc.conflict[0]["kind"] == "group_lower" and exc.conflict[0]["count"] == 0


def _message_zh(exc: LimitConflict) -> str:
    d = _decimals(exc)
    items = _side_items(exc, True, d)
    short = exc.shortfall > 0
    gap = _figure(abs(exc.shortfall), d)
    if exc.target is None:
        b = _budget_figure(exc.budget, d)
        total = _figure(exc.budget - exc.shortfall, d)
        return (
            f"OPTIMIZER: 约束相互冲突，无法满足权重之和为{b}：{_join(items, True)} "
            f"合计{'最多' if short else '至少'} {total}（比 {b} {'少' if short else '多'} {gap}）"
            + _screened_text(exc, True)
        )
    if _kept_only(exc):
        e = exc.conflict[0]
        held = _figure(e["given"] - e["bound"], d)
        return (
            f"OPTIMIZER: 约束相互冲突，无法满足类别 {e['label']} 上限 {_figure(e['given'], d)}：组合外不能交易的 "
            f"{_names(e['kept_ids'], True)} 占 {held}（多 {gap}）"
        )
    if _empty_group(exc):
        return f"OPTIMIZER: 约束相互冲突，无法满足{_target_text(exc, True, d)}：没有合约属于该类别（少 {gap}）"
    bound = exc.conflict[exc.target]["bound"]
    total = "" if _single(exc) else f" 合计{'最多' if short else '至少'} {_figure(bound - exc.shortfall, d)}"
    return (
        f"OPTIMIZER: 约束相互冲突，无法满足{_target_text(exc, True, d)}：{_join(items, True)}{total}"
        f"（{'少' if short else '多'} {gap}）" + _screened_text(exc, True)
    )


def _message_en(exc: LimitConflict) -> str:
    d = _decimals(exc)
    items = _side_items(exc, False, d)
    short = exc.shortfall > 0
    gap = _figure(abs(exc.shortfall), d)
    verb = "allow at most" if short else "require at least"
    if len(items) == 1:  # one limit: "turnover cap 0.2000 allows at most"
        verb = "allows at most" if short else "requires at least"
    if exc.target is None:
        b = _budget_figure(exc.budget, d)
        total = _figure(exc.budget - exc.shortfall, d)
        return (
            f"limits conflict: {_join(items, False)} {verb} {total} in total "
            f"({gap} {'short of' if short else 'over'} {b})" + _screened_text(exc, False)
        )
    if _kept_only(exc):
        e = exc.conflict[0]
        held = _figure(e["given"] - e["bound"], d)
        return (
            f"limits conflict: cap {_figure(e['given'], d)} on {e['label']} cannot be met: "
            f"{_names(e['kept_ids'], False)}, held outside the optimisation as it cannot be traded, holds {held} "
            f"({gap} over)"
        )
    if _empty_group(exc):
        return (
            f"limits conflict: {_target_text(exc, False, d)} cannot be met: no instrument of the portfolio "
            f"is in {exc.conflict[0]['label']} ({gap} short)"
        )
    bound = exc.conflict[exc.target]["bound"]
    total = "" if _single(exc) else f" {verb} {_figure(bound - exc.shortfall, d)} in total"
    return (
        f"limits conflict: {_target_text(exc, False, d)} cannot be met: {_join(items, False)}{total} "
        f"({gap} {'short' if short else 'over'})" + _screened_text(exc, False)
    )


def _screened_text(exc: LimitConflict, zh: bool) -> str:
    ids = exc.screened_out
    if not ids:
        return ""
    if zh:
        return f"；筛选剔除了 {_names(ids, True)}"
    noun = "instrument" if len(ids) == 1 else "instruments"
    return f"; screening removed {len(ids)} {noun}: {_names(ids, False)}"
