"""Limits that admit no portfolio: which limits conflict, by how much, and that consistent limits pass.

Every named set is checked with an LP written here (scipy's HiGHS on the explicit rows), not with
the module's own code: the set with the budget has no solution, and dropping any one of its limits
gives one.
"""

import pickle
import re

import numpy as np
import pytest
from hypothesis import given, strategies as st
from scipy.optimize import linprog

from vela_optimizer import feasibility
from vela_optimizer.exception import InvalidArgument
from vela_optimizer.feasibility import LimitConflict, _diagnose, check_limits
from vela_optimizer.limits import Limits


def make_limits(ids, own=None, default=None, groups=None, budget=(1.0, 1.0)):
    """Limits as the pipeline builds them: ``own`` bounds by id, the wildcard ``default`` for
    the rest (or, without one, the method's (0, 1)), one 0/1 row per group, the budget last."""
    own, groups = own or {}, groups or {}
    rest = default if default is not None else (0.0, 1.0)
    lower = np.array([own.get(i, rest)[0] for i in ids], dtype=float)
    upper = np.array([own.get(i, rest)[1] for i in ids], dtype=float)
    source = [i if i in own else ("*" if default is not None else "") for i in ids]
    rows, lo, hi = [], [], []
    for members, g_lo, g_hi in groups.values():
        rows.append([1.0 if i in members else 0.0 for i in ids])
        lo.append(g_lo)
        hi.append(g_hi)
    rows.append([1.0] * len(ids))
    lo.append(budget[0])
    hi.append(budget[1])
    return Limits(
        list(ids),
        lower,
        upper,
        np.array(rows).reshape(len(rows), len(ids)),
        np.array(lo, dtype=float),
        np.array(hi, dtype=float),
        list(groups) + [None],
        source,
    )


def atoms_of(limits, conflict):
    """The named limits one by one as (row, sense, bound): a default bound stands for one limit
    per instrument it covers. Each figure is checked against the limits it names."""
    ids = list(limits.ids)
    out = []
    for e in conflict:
        upper = e["kind"].endswith("upper")
        if e["kind"].startswith("group"):
            r = limits.row_labels.index(e["label"])
            assert e["bound"] == (limits.hi[r] if upper else limits.lo[r])
            assert e["count"] == int(limits.A[r].sum()) == len(e["ids"])
            assert e["ids"] == [ids[i] for i in np.flatnonzero(limits.A[r])]
            out.append((limits.A[r], upper, e["bound"]))
            continue
        assert e["count"] == len(e["ids"])
        for i in map(ids.index, e["ids"]):
            assert limits.bound_source[i] == e["label"]
            assert e["bound"] == (limits.upper[i] if upper else limits.lower[i])
            out.append((np.eye(1, len(ids), i)[0], upper, e["bound"]))
    return out


TIGHT = {"primal_feasibility_tolerance": 1e-10}  # the cases' smallest conflict is 1e-6


def feasible(limits, atoms):
    """Whether ``atoms`` and the budget (held as given) admit a point: a plain LP, weights free."""
    n = limits.n
    rows = [r if upper else -r for r, upper, _ in atoms]
    rhs = [b if upper else -b for _, upper, b in atoms]
    lo_b, hi_b = limits.lo[-1], limits.hi[-1]
    res = (
        linprog(
            np.zeros(n),
            A_ub=np.array(rows).reshape(-1, n) if rows else None,
            b_ub=rhs or None,
            A_eq=np.ones((1, n)),
            b_eq=[lo_b],
            bounds=[(None, None)] * n,
            method="highs",
            options=TIGHT,
        )
        if lo_b == hi_b
        else linprog(
            np.zeros(n),
            A_ub=np.array(rows + [np.ones(n), -np.ones(n)]),
            b_ub=rhs + [hi_b, -lo_b],
            bounds=[(None, None)] * n,
            method="highs",
            options=TIGHT,
        )
    )
    assert res.status in (0, 2), res.message
    return res.status == 0


def all_atoms(limits):
    ids = list(limits.ids)
    out = [(np.eye(1, len(ids), i)[0], True, u) for i, u in enumerate(limits.upper) if np.isfinite(u)]
    out += [(np.eye(1, len(ids), i)[0], False, lo) for i, lo in enumerate(limits.lower) if np.isfinite(lo)]
    for r in limits.group_rows:
        out += [(limits.A[r], True, limits.hi[r]), (limits.A[r], False, limits.lo[r])]
    return out


def assert_irreducible(limits, conflict):
    atoms = atoms_of(limits, conflict)
    assert not feasible(limits, atoms)
    for k in range(len(atoms)):
        assert feasible(limits, atoms[:k] + atoms[k + 1 :]), f"limit {k} of {conflict} is not needed"


IDS = ["M1", "M2", "I1", "A", "B"]

# name: (limits, {(kind, label, count)}, shortfall, target kind or None for the budget)
CONFLICTS = {
    "two group caps and two own caps": (
        make_limits(
            IDS,
            own={"A": (0, 0.3), "B": (0, 0.3)},
            default=(0, 1),
            groups={"Materials": (["M1", "M2"], 0, 0.1), "Industrials": (["I1"], 0, 0.1)},
        ),
        {
            ("group_upper", "Materials", 2),
            ("group_upper", "Industrials", 1),
            ("instrument_upper", "A", 1),
            ("instrument_upper", "B", 1),
        },
        0.2,
        None,
    ),
    "two group caps and the wildcard cap": (
        make_limits(
            IDS, default=(0, 0.3), groups={"Materials": (["M1", "M2"], 0, 0.1), "Industrials": (["I1"], 0, 0.1)}
        ),
        {("group_upper", "Materials", 2), ("group_upper", "Industrials", 1), ("default_upper", "*", 2)},
        0.2,
        None,
    ),
    "eight stocks, default cap 0.2, two sectors capped at 0.05": (
        make_limits(
            [f"S{i}" for i in range(8)],
            default=(0, 0.2),
            groups={"Industrials": (["S0", "S1", "S2"], 0, 0.05), "Communication Services": (["S3"], 0, 0.05)},
        ),
        {("group_upper", "Industrials", 3), ("group_upper", "Communication Services", 1), ("default_upper", "*", 4)},
        0.1,
        None,
    ),
    "a group floor above its members' caps": (
        make_limits(
            IDS, own={"M1": (0, 0.1), "M2": (0, 0.15)}, default=(0, 1), groups={"Materials": (["M1", "M2"], 0.3, 0.5)}
        ),
        {("group_lower", "Materials", 2), ("instrument_upper", "M1", 1), ("instrument_upper", "M2", 1)},
        0.05,
        "group_lower",
    ),
    "a floor on one instrument above its sector's cap": (
        make_limits(IDS, own={"I1": (0.2, 0.5)}, default=(0, 1), groups={"Industrials": (["M1", "M2", "I1"], 0, 0.1)}),
        {("group_upper", "Industrials", 3), ("instrument_lower", "I1", 1), ("default_lower", "*", 2)},
        -0.1,
        "group_upper",
    ),
    "group floors just over the budget": (
        make_limits(IDS, groups={"Materials": (["M1", "M2"], 0.5, 1), "Industrials": (["I1", "A", "B"], 0.50001, 1)}),
        {("group_lower", "Materials", 2), ("group_lower", "Industrials", 3)},
        -1e-5,
        None,
    ),
    "a group floor just over its members' caps": (
        make_limits(IDS, own={"I1": (0, 1)}, default=(0, 0.15), groups={"Materials": (["M1", "M2"], 0.300001, 1)}),
        {("group_lower", "Materials", 2), ("default_upper", "*", 2)},
        1e-6,
        "group_lower",
    ),
    "the wildcard cap on too few instruments": (
        make_limits(["a", "b", "c", "d"], default=(0, 0.2)),
        {("default_upper", "*", 4)},
        0.2,
        None,
    ),
    "a fixed group and a fixed member above it": (
        make_limits(IDS, own={"M1": (0.4, 0.4)}, default=(0, 1), groups={"Materials": (["M1", "M2"], 0.3, 0.3)}),
        {("group_upper", "Materials", 2), ("instrument_lower", "M1", 1), ("default_lower", "*", 1)},
        -0.1,
        "group_upper",
    ),
    "a fixed group and a fixed outsider over the budget": (
        make_limits(IDS, own={"A": (0.8, 0.8)}, default=(0, 1), groups={"Materials": (["M1", "M2"], 0.3, 0.3)}),
        {("group_lower", "Materials", 2), ("instrument_lower", "A", 1), ("default_lower", "*", 2)},
        -0.1,
        None,
    ),
    "a fixed group whose members' caps fall short": (
        make_limits(
            IDS, own={"M1": (0.1, 0.1), "M2": (0, 0.1)}, default=(0, 1), groups={"Materials": (["M1", "M2"], 0.3, 0.3)}
        ),
        {("group_lower", "Materials", 2), ("instrument_upper", "M1", 1), ("instrument_upper", "M2", 1)},
        0.1,
        "group_lower",
    ),
    "group caps without bnds (the method's default bounds)": (
        make_limits(IDS, groups={"Materials": (["M1", "M2"], 0, 0.3), "Industrials": (["I1", "A", "B"], 0, 0.3)}),
        {("group_upper", "Materials", 2), ("group_upper", "Industrials", 3)},
        0.4,
        None,
    ),
    "a caps-only group set by its members": (
        make_limits(
            IDS, own={"M1": (0, 0.05), "M2": (0, 0.05)}, default=(0, 0.2), groups={"Materials": (["M1", "M2"], 0, 0.5)}
        ),
        {("instrument_upper", "M1", 1), ("instrument_upper", "M2", 1), ("default_upper", "*", 3)},
        0.3,
        None,
    ),
    "a floor above its own cap": (
        make_limits(IDS, groups={"Materials": (["M1", "M2"], 0.4, 0.3)}),
        {("group_upper", "Materials", 2), ("group_lower", "Materials", 2)},
        -0.1,
        "group_upper",
    ),
    "a group with no members and a floor": (
        make_limits(IDS, groups={"Empty": ([], 0.1, 1)}),
        {("group_lower", "Empty", 0)},
        0.1,
        "group_lower",
    ),
    "a budget below what the floors demand": (
        make_limits(IDS, default=(0.1, 1), budget=(0.3, 0.4)),
        {("default_lower", "*", 5)},
        -0.1,
        None,
    ),
}


def expected_relaxation(entry, shortfall):
    """With unit multipliers, one limit moves by the whole gap; a default bound moves for every
    instrument it covers, so each moves by the gap shared out."""
    return abs(shortfall) / (entry["count"] if entry["kind"].startswith("default") else 1)


@pytest.mark.parametrize("path", ["auto", "lp"])
@pytest.mark.parametrize("name", list(CONFLICTS))
def test_conflicts_are_named(name, path):
    limits, named, shortfall, target = CONFLICTS[name]
    exc = _diagnose(limits, path)
    assert isinstance(exc, LimitConflict)
    assert {(e["kind"], e["label"], e["count"]) for e in exc.conflict} == named
    assert len(exc.conflict) == len(named)
    assert exc.shortfall == pytest.approx(shortfall, rel=1e-9 if path == "auto" else 1e-6, abs=1e-12)
    if target is None:
        assert exc.target is None
    else:
        assert exc.conflict[exc.target]["kind"] == target
    for e in exc.conflict:
        assert e["relaxation"] == pytest.approx(expected_relaxation(e, shortfall), rel=1e-6, abs=1e-12)


@pytest.mark.parametrize("name", list(CONFLICTS))
def test_check_limits_raises_an_irreducible_set(name):
    limits = CONFLICTS[name][0]
    with pytest.raises(LimitConflict) as info:
        check_limits(limits)
    assert isinstance(info.value, InvalidArgument)
    assert_irreducible(limits, info.value.conflict)


def moved(limits, atoms, entry, conflict, by):
    """``atoms`` with every limit of ``entry`` moved outwards (a cap up, a floor down) by ``by``."""
    start = sum(len(atoms_of(limits, [e])) for e in conflict[: conflict.index(entry)])
    out = list(atoms)
    for k in range(start, start + len(atoms_of(limits, [entry]))):
        row, upper, b = out[k]
        out[k] = (row, upper, b + by if upper else b - by)
    return out


@pytest.mark.parametrize("name", [n for n in CONFLICTS if abs(CONFLICTS[n][2]) >= 1e-3])
def test_each_relaxation_alone_resolves_the_conflict(name):
    limits = CONFLICTS[name][0]
    exc = _diagnose(limits)
    atoms = atoms_of(limits, exc.conflict)
    for entry in exc.conflict:
        r = entry["relaxation"]
        assert feasible(limits, moved(limits, atoms, entry, exc.conflict, r * (1 + 1e-9) + 1e-12))
        assert not feasible(limits, moved(limits, atoms, entry, exc.conflict, 0.9 * r))


FEASIBLE = {
    "ten caps of 0.1": make_limits([f"s{i}" for i in range(10)], default=(0, 0.1)),
    "caps 0.3, 0.3, 0.4": make_limits(["a", "b", "c"], own={"a": (0, 0.3), "b": (0, 0.3), "c": (0, 0.4)}),
    "three caps of 1/3": make_limits(["a", "b", "c"], default=(0, 1 / 3)),
    "floors 0.7, 0.2, 0.1": make_limits(["a", "b", "c"], own={"a": (0.7, 1), "b": (0.2, 1), "c": (0.1, 1)}),
    "ten floors of 0.1": make_limits([f"s{i}" for i in range(10)], default=(0.1, 1)),
    "every weight fixed, summing to 1": make_limits(
        ["a", "b", "c"], own={"a": (0.1, 0.1), "b": (0.2, 0.2), "c": (0.7, 0.7)}
    ),
    "a group fixed at 0.3, attainable": make_limits(
        IDS, default=(0, 0.25), groups={"Materials": (["M1", "M2"], 0.3, 0.3)}
    ),
    "a group floor equal to its members' caps 0.1 + 0.2": make_limits(
        IDS, own={"M1": (0, 0.1), "M2": (0, 0.2)}, groups={"Materials": (["M1", "M2"], 0.3, 1)}
    ),
    "a group cap equal to its members' floors 0.1 + 0.2": make_limits(
        IDS, own={"M1": (0.1, 1), "M2": (0.2, 1)}, groups={"Materials": (["M1", "M2"], 0, 0.3)}
    ),
    "group caps summing exactly to 1": make_limits(
        IDS,
        groups={"Materials": (["M1", "M2"], 0, 0.3), "Industrials": (["I1"], 0, 0.3), "Other": (["A", "B"], 0, 0.4)},
    ),
    "group floors summing exactly to 1": make_limits(
        IDS,
        groups={"Materials": (["M1", "M2"], 0.3, 1), "Industrials": (["I1"], 0.3, 1), "Other": (["A", "B"], 0.4, 1)},
    ),
    "risk parity's default bounds": make_limits([f"s{i}" for i in range(50)], default=(1e-6, np.inf)),
    "an uncapped instrument beside tight caps": make_limits(
        ["a", "b", "c"], own={"a": (0, 0.1), "b": (0, 0.1), "c": (0, np.inf)}
    ),
    "a budget range reached by the caps": make_limits(IDS, default=(0, 0.1), budget=(0.5, 0.9)),
}


@pytest.mark.parametrize("path", ["auto", "lp"])
@pytest.mark.parametrize("name", list(FEASIBLE))
def test_consistent_limits_pass(name, path):
    limits = FEASIBLE[name]
    assert _diagnose(limits, path) is None
    assert feasible(limits, all_atoms(limits))


def test_check_limits_returns_none_when_consistent():
    assert check_limits(FEASIBLE["a group fixed at 0.3, attainable"]) is None


@pytest.mark.parametrize("n", [3, 7, 10, 49, 1000])
def test_caps_of_one_nth_are_not_refused(n):
    # n * fl(1/n) misses 1 by up to n/2 units in the last place when summed naively.
    assert _diagnose(make_limits([f"s{i}" for i in range(n)], default=(0, 1 / n))) is None
    assert _diagnose(make_limits([f"s{i}" for i in range(n)], default=(1 / n, 1))) is None


@pytest.mark.parametrize("n, excess", [(3, 1e-9), (1000, 1e-9), (1000, 1e-11)])
def test_the_closed_form_sees_conflicts_far_below_the_solvers_tolerance(n, excess):
    exc = _diagnose(make_limits([f"s{i}" for i in range(n)], default=(0, (1 - excess) / n)))
    assert exc.shortfall == pytest.approx(excess, rel=1e-3)


# ---------------------------------------------------------------- overlapping groups (the LP path)


def overlapping(c_cap):
    return make_limits(
        ["A", "B", "C", "D"],
        own={"D": (0, c_cap)},
        default=(0, 1),
        groups={"G1": (["A", "B"], 0, 0.3), "G2": (["A", "C"], 0, 0.3)},
    )


def test_overlapping_groups_conflict_through_a_shared_member():
    # (wA + wB) + (wA + wC) - wA + wD <= 0.3 + 0.3 - 0 + 0.2: the floor of A is in the certificate.
    limits = overlapping(0.2)
    exc = _diagnose(limits)
    assert {(e["kind"], e["label"]) for e in exc.conflict} == {
        ("group_upper", "G1"),
        ("group_upper", "G2"),
        ("default_lower", "*"),
        ("instrument_upper", "D"),
    }
    assert exc.shortfall == pytest.approx(0.2, rel=1e-6)
    assert_irreducible(limits, exc.conflict)
    with pytest.raises(ValueError, match="closed form"):
        _diagnose(limits, "closed")


def test_overlapping_groups_consistent():
    assert _diagnose(overlapping(0.4)) is None


def test_weighted_rows_take_the_lp_path():
    # 0.5 (wM1 + wM2) <= 0.2 with both floored at 0.45: the cap misses by 0.25 in its own units,
    # and each floor counts half, so the two floors must each move by 0.25 to close it.
    base = make_limits(IDS, default=(0, 1), groups={"Half": (["M1", "M2"], 0, 0.2)})
    A = base.A.copy()
    A[0] *= 0.5
    limits = Limits(
        base.ids, np.array([0.45, 0.45, 0, 0, 0]), base.upper, A, base.lo, base.hi, base.row_labels, base.bound_source
    )
    exc = _diagnose(limits)
    assert [(e["kind"], e["label"], e["bound"], e["count"]) for e in exc.conflict] == [
        ("group_upper", "Half", 0.2, 2),
        ("default_lower", "*", 0.45, 2),
    ]
    assert exc.target == 0 and exc.shortfall == pytest.approx(-0.25, rel=1e-6)
    assert [e["relaxation"] for e in exc.conflict] == pytest.approx([0.25, 0.25], rel=1e-6)


def test_two_separate_conflicts_are_narrowed_to_one():
    # Materials cannot reach its floor and Industrials cannot stay under its cap: the elastic
    # LP relaxes both, and the filter keeps one irreducible set.
    limits = make_limits(
        IDS,
        own={"M1": (0, 0.1), "M2": (0, 0.1), "I1": (0.3, 1)},
        groups={"Materials": (["M1", "M2"], 0.3, 1), "Industrials": (["I1"], 0, 0.2)},
    )
    for path in ("auto", "lp"):
        exc = _diagnose(limits, path)
        assert_irreducible(limits, exc.conflict)
        assert abs(exc.shortfall) == pytest.approx(0.1, rel=1e-6)


@pytest.mark.parametrize("name", list(CONFLICTS))
def test_the_deletion_filter_alone_finds_irreducible_sets(name, monkeypatch):
    # Without the shortcut that accepts a unique certificate, every set comes from dropping
    # limits one at a time.
    monkeypatch.setattr(feasibility, "_unique_certificate", lambda p, atoms: False)
    limits, _, shortfall, _ = CONFLICTS[name]
    exc = _diagnose(limits, "lp")
    assert_irreducible(limits, exc.conflict)
    assert exc.shortfall == pytest.approx(shortfall, rel=1e-6)


# ---------------------------------------------------------------- closed form against the LP


@st.composite
def disjoint_limits(draw):
    """Small problems on a 0.05 grid, so that ties and exactly tight sums are common."""
    n = draw(st.integers(1, 8))
    ids = [f"s{i}" for i in range(n)]
    grid = st.integers(0, 20).map(lambda k: k / 20)
    pairs = [sorted(draw(st.tuples(grid, grid))) for _ in ids]
    own = {i: tuple(p) for i, p in zip(ids, pairs) if draw(st.booleans())}
    default = tuple(sorted(draw(st.tuples(grid, grid))))
    label = draw(st.lists(st.integers(-1, 2), min_size=n, max_size=n))
    groups = {}
    for g in range(3):
        members = [i for i, k in zip(ids, label) if k == g]
        if members:
            groups[f"G{g}"] = (members, *sorted(draw(st.tuples(grid, grid))))
    return make_limits(ids, own=own, default=default, groups=groups)


@given(disjoint_limits())
def test_closed_form_agrees_with_the_lp(limits):
    closed, lp = _diagnose(limits, "closed"), _diagnose(limits, "lp")
    assert (closed is None) == (lp is None) == feasible(limits, all_atoms(limits))
    for exc in (closed, lp):
        if exc is not None:
            assert_irreducible(limits, exc.conflict)
            assert abs(exc.shortfall) >= 0.05 - 1e-9  # conflicts on the grid are whole steps


@st.composite
def overlapping_limits(draw):
    """Two classifications at once (a sector and a style), so that groups overlap and the LP
    path decides."""
    n = draw(st.integers(2, 7))
    ids = [f"s{i}" for i in range(n)]
    grid = st.integers(0, 20).map(lambda k: k / 20)
    own = {i: tuple(sorted(draw(st.tuples(grid, grid)))) for i in ids if draw(st.booleans())}
    default = tuple(sorted(draw(st.tuples(grid, grid))))
    groups = {}
    for scheme in ("sector", "style"):
        label = draw(st.lists(st.integers(-1, 1), min_size=n, max_size=n))
        for g in range(2):
            members = [i for i, k in zip(ids, label) if k == g]
            if members:
                groups[f"{scheme} {g}"] = (members, *sorted(draw(st.tuples(grid, grid))))
    return make_limits(ids, own=own, default=default, groups=groups)


@given(overlapping_limits())
def test_the_lp_path_names_irreducible_sets(limits):
    exc = _diagnose(limits)
    assert (exc is None) == feasible(limits, all_atoms(limits))
    if exc is not None:
        assert_irreducible(limits, exc.conflict)
        assert abs(exc.shortfall) >= 0.05 - 1e-9


# ---------------------------------------------------------------- messages and data


MESSAGES = [
    (
        "two group caps and two own caps",
        (
            "OPTIMIZER: 约束相互冲突，无法满足权重之和为1：类别 Materials 上限 0.1000、类别 Industrials 上限 0.1000、"
            "合约 A、B 上限各 0.3000 合计最多 0.8000（比 1 少 0.2000）"
        ),
        (
            "limits conflict: cap 0.1000 on Materials, cap 0.1000 on Industrials, cap 0.3000 on A, B "
            "allow at most 0.8000 in total (0.2000 short of 1)"
        ),
    ),
    (
        "two group caps and the wildcard cap",
        (
            "OPTIMIZER: 约束相互冲突，无法满足权重之和为1：类别 Materials 上限 0.1000、类别 Industrials 上限 0.1000、"
            "其余 2 个合约默认上限各 0.3000 合计最多 0.8000（比 1 少 0.2000）"
        ),
        (
            "limits conflict: cap 0.1000 on Materials, cap 0.1000 on Industrials, default cap 0.3000 on 2 other "
            "instruments allow at most 0.8000 in total (0.2000 short of 1)"
        ),
    ),
    (
        "a floor on one instrument above its sector's cap",
        (
            "OPTIMIZER: 约束相互冲突，无法满足类别 Industrials 上限 0.1000：合约 I1 下限 0.2000、"
            "其余 2 个成员默认下限各 0.0000 合计至少 0.2000（多 0.1000）"
        ),
        (
            "limits conflict: cap 0.1000 on Industrials cannot be met: floor 0.2000 on I1, default floor 0.0000 on 2 "
            "other members require at least 0.2000 in total (0.1000 over)"
        ),
    ),
    (
        "the wildcard cap on too few instruments",
        ("OPTIMIZER: 约束相互冲突，无法满足权重之和为1：4 个合约默认上限各 0.2000 合计最多 0.8000（比 1 少 0.2000）"),
        "limits conflict: default cap 0.2000 on 4 instruments allows at most 0.8000 in total (0.2000 short of 1)",
    ),
    (
        "a group floor just over its members' caps",
        (
            "OPTIMIZER: 约束相互冲突，无法满足类别 Materials 下限 0.3000010：2 个成员默认上限各 0.1500000 "
            "合计最多 0.3000000（少 0.0000010）"
        ),
        (
            "limits conflict: floor 0.3000010 on Materials cannot be met: default cap 0.1500000 on 2 members "
            "allows at most 0.3000000 in total (0.0000010 short)"
        ),
    ),
    (
        "a floor above its own cap",
        "OPTIMIZER: 约束相互冲突，无法满足类别 Materials 上限 0.3000：类别 Materials 下限 0.4000（多 0.1000）",
        "limits conflict: cap 0.3000 on Materials cannot be met: floor 0.4000 on Materials (0.1000 over)",
    ),
    (
        "a budget below what the floors demand",
        (
            "OPTIMIZER: 约束相互冲突，无法满足权重之和为0.4000：5 个合约默认下限各 0.1000 合计至少 0.5000"
            "（比 0.4000 多 0.1000）"
        ),
        "limits conflict: default floor 0.1000 on 5 instruments requires at least 0.5000 in total (0.1000 over 0.4000)",
    ),
]


@pytest.mark.parametrize("name, zh, en", MESSAGES)
def test_messages(name, zh, en):
    exc = _diagnose(CONFLICTS[name][0])
    assert str(exc) == zh
    assert exc.describe() == en


@pytest.mark.parametrize("name", list(CONFLICTS))
def test_every_message_is_one_line_with_its_figures(name):
    exc = _diagnose(CONFLICTS[name][0])
    gaps = [
        re.search(r"（(?:比 \S+ )?[少多] ([0-9.]+)）$", str(exc)),
        re.search(r"\(([0-9.]+) (?:short of|over|short)(?: \S+)?\)$", exc.describe()),
    ]
    for text, gap in zip((str(exc), exc.describe()), gaps):
        assert "\n" not in text and "nan" not in text and "inf" not in text
        # The gap is printed to at least 4 decimals, and to as many as keep it from reading 0.
        figure = gap.group(1)
        decimals = len(figure.split(".")[1])
        assert decimals >= 4 and float(figure) > 0
        assert float(figure) == pytest.approx(abs(exc.shortfall), abs=0.5 * 10**-decimals)
    assert str(exc).startswith("OPTIMIZER: ")
    assert exc.describe().isascii()


def test_long_conflicts_are_cut_in_the_message_but_kept_as_data():
    ids = [f"s{i:02d}" for i in range(20)]
    exc = _diagnose(make_limits(ids, own={i: (0, 0.001 * (k + 1)) for k, i in enumerate(ids)}))
    assert len(exc.conflict) == 20
    assert exc.shortfall == pytest.approx(1 - 0.001 * 210, abs=1e-12)
    assert "等共 20 项" in str(exc) and "and 12 more" in exc.describe()
    assert "s08" not in str(exc) and "s07" in str(exc)


def test_the_conflict_survives_pickling():
    exc = _diagnose(CONFLICTS["two group caps and the wildcard cap"][0])
    back = pickle.loads(pickle.dumps(exc))
    assert type(back) is LimitConflict
    assert (str(back), back.conflict, back.shortfall, back.target, back.describe()) == (
        str(exc),
        exc.conflict,
        exc.shortfall,
        exc.target,
        exc.describe(),
    )


# ---------------------------------------------------------------- malformed limits


def spoiled(**changes):
    base = make_limits(IDS, default=(0, 0.5), groups={"Materials": (["M1", "M2"], 0, 0.3)})
    fields = {
        "ids": base.ids,
        "lower": base.lower,
        "upper": base.upper,
        "A": base.A,
        "lo": base.lo,
        "hi": base.hi,
        "row_labels": base.row_labels,
        "bound_source": base.bound_source,
    }
    fields.update(changes)
    return Limits(**fields)


@pytest.mark.parametrize(
    "changes, match",
    [
        ({"lower": np.array([np.nan, 0, 0, 0, 0])}, "NaN"),
        ({"hi": np.array([np.nan, 1])}, "NaN"),
        ({"upper": np.zeros(4)}, "shapes"),
        ({"row_labels": ["Materials"]}, "row labels"),
        ({"lower": np.array([np.inf, 0, 0, 0, 0])}, r"\+inf"),
        ({"hi": np.array([-np.inf, 1])}, "-inf"),
        ({"lo": np.array([0, 1.0]), "hi": np.array([0.3, 0.9])}, "budget"),
    ],
)
def test_malformed_limits_are_refused(changes, match):
    with pytest.raises(ValueError, match=match):
        check_limits(spoiled(**changes))


# ---------------------------------------------------------------- caps on what is bought and sold


def traded(limits, h, max_buy=np.inf, max_sell=np.inf, sources=None):
    return Limits(
        limits.ids,
        limits.lower,
        limits.upper,
        limits.A,
        limits.lo,
        limits.hi,
        limits.row_labels,
        list(sources) if sources is not None else limits.bound_source,
        np.asarray(h, dtype=float),
        max_buy,
        max_sell,
    )


def feasible_with_trades(limits, atoms, caps):
    """Whether ``atoms``, the budget and the caps on trades ``caps`` ({"buy": cap, "sell": cap})
    admit a point: a plain LP over (w, t_buy, t_sell), lifted here (t_buy >= w − h, t_sell >= h − w,
    t >= 0, Σt <= cap)."""
    n, h = limits.n, limits.holdings
    width = 3 * n
    rows = [np.r_[r if upper else -r, np.zeros(2 * n)] for r, upper, _ in atoms]
    rhs = [b if upper else -b for _, upper, b in atoms]
    for j, (kind, sign) in enumerate((("buy", 1.0), ("sell", -1.0))):
        if kind in caps:
            block = np.zeros((n + 1, width))
            block[:n, :n] = sign * np.eye(n)
            block[:n, n * (1 + j) : n * (2 + j)] = -np.eye(n)
            block[n, n * (1 + j) : n * (2 + j)] = 1.0
            rows += list(block)
            rhs += list(sign * h) + [caps[kind]]
    res = linprog(
        np.zeros(width),
        A_ub=np.array(rows).reshape(-1, width) if rows else None,
        b_ub=rhs or None,
        A_eq=np.r_[np.ones(n), np.zeros(2 * n)][None, :],
        b_eq=[limits.lo[-1]],
        bounds=[(None, None)] * n + [(0, None)] * (2 * n),
        method="highs",
        options=TIGHT,
    )
    assert res.status in (0, 2), res.message
    return res.status == 0


def split_conflict(limits, conflict):
    """(the limits named as rows, the caps on trades named)."""
    plain, caps = [], {}
    ids = list(limits.ids)
    for e in conflict:
        if e["kind"].startswith("turnover"):
            caps[e["kind"][len("turnover_") :]] = e["bound"]
        elif e.get("rule"):
            i = ids.index(e["label"])
            upper = e["kind"].endswith("upper")
            assert limits.bound_source[i] == e["rule"] and e["bound"] == (limits.upper[i] if upper else limits.lower[i])
            plain.append((np.eye(1, len(ids), i)[0], upper, e["bound"]))
        else:
            plain += atoms_of(limits, [e])
    return plain, caps


def assert_irreducible_with_trades(limits, conflict):
    plain, caps = split_conflict(limits, conflict)
    assert not feasible_with_trades(limits, plain, caps)
    for k in range(len(plain)):
        assert feasible_with_trades(limits, plain[:k] + plain[k + 1 :], caps), f"{conflict[k]} is not needed"
    for kind in caps:
        assert feasible_with_trades(limits, plain, {c: v for c, v in caps.items() if c != kind}), kind


H5 = [0.3, 0.3, 0.2, 0.1, 0.1]  # M1, M2, I1, A, B
RULES = ["*", "*", "limit_up", "suspended", "limit_down"]

# name: (limits, {(kind, label)}, shortfall, zh message, en message); irreducible and named.
TRADED = {
    "a group cap the holdings break by more than the sell cap": (
        traded(make_limits(IDS, default=(0, 0.5), groups={"Materials": (["M1", "M2"], 0, 0.4)}), H5, 0.1, 0.1),
        {("group_upper", "Materials"), ("turnover_sell", "turnover")},
        -0.1,
        "OPTIMIZER: 约束相互冲突，无法满足类别 Materials 上限 0.4000：换手上限 0.1000（卖出，持有 0.6000） 合计至少 "
        "0.5000（多 0.1000）",
        "limits conflict: cap 0.4000 on Materials cannot be met: turnover cap 0.1000 on sales of 0.6000 held requires "
        "at least 0.5000 in total (0.1000 over)",
    ),
    "holdings short of the budget by more than the buy cap": (
        traded(make_limits(IDS, default=(0, 0.5)), [0.2, 0.2, 0.1, 0.1, 0.1], 0.2, 0.2),
        {("turnover_buy", "turnover")},
        0.1,
        "OPTIMIZER: 约束相互冲突，无法满足权重之和为1：换手上限 0.2000（买入，另持有 0.7000） 合计最多 0.9000（比 1 少 "
        "0.1000）",
        "limits conflict: turnover cap 0.2000 on buys beside 0.7000 held allows at most 0.9000 in total (0.1000 short "
        "of 1)",
    ),
    "a group floor out of reach of the buy cap": (
        traded(make_limits(IDS, default=(0, 0.5), groups={"Other": (["A", "B"], 0.5, 1)}), H5, 0.2, np.inf),
        {("group_lower", "Other"), ("turnover_buy", "turnover")},
        0.1,
        "OPTIMIZER: 约束相互冲突，无法满足类别 Other 下限 0.5000：换手上限 0.2000（买入，另持有 0.2000） 合计最多 "
        "0.4000（少 0.1000）",
        "limits conflict: floor 0.5000 on Other cannot be met: turnover cap 0.2000 on buys beside 0.2000 held allows "
        "at most 0.4000 in total (0.1000 short)",
    ),
    # 0.05 in cash, and a group cap the holdings break: the sales out of Materials cannot all be
    # bought back elsewhere, 0.25 + 0.30 held in the rest + 0.10 bought = 0.65
    "cash and a group cap the holdings break, beyond the buy cap": (
        traded(
            make_limits(IDS, default=(0, 0.5), groups={"Materials": (["M1", "M2"], 0, 0.25)}),
            [0.35, 0.3, 0.15, 0.1, 0.05],
            0.1,
            0.1,
        ),
        {("group_upper", "Materials"), ("turnover_buy", "turnover")},
        0.35,
        "OPTIMIZER: 约束相互冲突，无法满足权重之和为1：类别 Materials 上限 0.2500、换手上限 0.1000（买入，其余持有 "
        "0.3000） 合计最多 0.6500（比 1 少 0.3500）",
        "limits conflict: cap 0.2500 on Materials, turnover cap 0.1000 on buys beside 0.3000 held in the rest allow at "
        "most 0.6500 in total (0.3500 short of 1)",
    ),
    "a suspended holding above a group cap": (
        traded(
            make_limits(
                IDS,
                own={"A": (0.1, 0.1), "B": (0.1, 1), "I1": (0, 0.2)},
                default=(0, 0.5),
                groups={"Other": (["A", "B"], 0, 0.15)},
            ),
            H5,
            sources=RULES,
        ),
        {("group_upper", "Other"), ("instrument_lower", "A"), ("instrument_lower", "B")},
        -0.05,
        "OPTIMIZER: 约束相互冲突，无法满足类别 Other 上限 0.1500：A 停牌，持有 10.00%、B 跌停，至少 10.00% "
        "合计至少 0.2000（多 0.0500）",
        "limits conflict: cap 0.1500 on Other cannot be met: A suspended, held at 10.00 %, B closed at its "
        "down-limit, at least 10.00 % require at least 0.2000 in total (0.0500 over)",
    ),
    "a stock at its up-limit below a group floor": (
        traded(
            make_limits(IDS, own={"I1": (0, 0.2)}, default=(0, 0.5), groups={"Industrials": (["I1"], 0.25, 1)}),
            H5,
            sources=RULES,
        ),
        {("group_lower", "Industrials"), ("instrument_upper", "I1")},
        0.05,
        "OPTIMIZER: 约束相互冲突，无法满足类别 Industrials 下限 0.2500：I1 涨停，最多 20.00%（少 0.0500）",
        "limits conflict: floor 0.2500 on Industrials cannot be met: I1 closed at its up-limit, at most 20.00 % "
        "(0.0500 short)",
    ),
}


@pytest.mark.parametrize("name", list(TRADED))
def test_caps_on_trades_are_named_in_irreducible_conflicts(name):
    limits, named, shortfall, zh, en = TRADED[name]
    with pytest.raises(LimitConflict) as info:
        check_limits(limits)
    exc = info.value
    assert {(e["kind"], e["label"]) for e in exc.conflict} == named
    assert exc.shortfall == pytest.approx(shortfall, rel=1e-6)
    assert (str(exc), exc.describe()) == (zh, en)
    assert_irreducible_with_trades(limits, exc.conflict)
    back = pickle.loads(pickle.dumps(exc))
    assert (str(back), back.conflict) == (str(exc), exc.conflict)


@pytest.mark.parametrize("name", [n for n in TRADED if "turnover" in str(TRADED[n][1])])
def test_moving_a_cap_on_trades_by_its_relaxation_resolves_the_conflict(name):
    limits = TRADED[name][0]
    exc = _diagnose(limits)
    plain, caps = split_conflict(limits, exc.conflict)
    for e in exc.conflict:
        if e["kind"].startswith("turnover"):
            kind = e["kind"][len("turnover_") :]
            assert feasible_with_trades(limits, plain, {**caps, kind: caps[kind] + e["relaxation"] * (1 + 1e-9)})
            assert not feasible_with_trades(limits, plain, {**caps, kind: caps[kind] + 0.9 * e["relaxation"]})


@pytest.mark.parametrize(
    "h, buy, sell",
    [
        (H5, 0.0, 0.0),  # the holdings meet every limit: no trade needed
        ([0.6, 0.2, 0.1, 0.05, 0.05], 0.1, 0.1),  # 0.6 above its cap of 0.5: the caps just allow the forced sale
        ([0.2, 0.2, 0.1, 0.1, 0.1], 0.3, np.inf),  # 0.3 short of the budget: the buy cap just allows it
    ],
)
def test_caps_on_trades_that_can_hold_pass(h, buy, sell):
    limits = traded(make_limits(IDS, default=(0, 0.5)), h, buy, sell)
    check_limits(limits)
    assert _diagnose(limits) is None


@pytest.mark.parametrize(
    "h, lp",
    [
        (H5, False),  # every limit met by the holdings: nothing to decide
        ([0.3, 0.3, 0.2, 0.1, 0.1 - 1e-13], False),  # cash of 1e-13: within the LP's tolerance
        ([0.3, 0.3, 0.2, 0.1, 0.1 - 1e-6], True),  # cash to invest: the LP decides whether the buy cap allows it
        ([0.6, 0.2, 0.1, 0.05, 0.05], True),  # a holding above its cap
    ],
)
def test_holdings_that_meet_every_limit_need_no_lp(h, lp, monkeypatch):
    calls = []
    diagnose = feasibility._diagnose
    monkeypatch.setattr(feasibility, "_diagnose", lambda *a: calls.append(1) or diagnose(*a))
    check_limits(traded(make_limits(IDS, default=(0, 0.5)), h, 0.1, 0.1))
    assert bool(calls) == lp


def held_over_a_cap(n):
    """A cap on trades against holdings that break a group cap: the first third of ``n``
    instruments is capped at 0.4 and holds 0.5 in half of its names, the rest holds the other 0.5;
    0.05 may be bought and sold. The certificate also rests on the floor of every name of the group
    not held (n / 6 of them), none of them in the conflict."""
    ids = [f"s{i}" for i in range(n)]
    group = n // 3
    h = np.zeros(n)
    h[: group // 2] = 0.5 / (group // 2)
    h[group:] = 0.5 / (n - group)
    base = make_limits(ids, default=(0.0, 0.1), groups={"G": (ids[:group], 0.0, 0.4)})
    return traded(base, h, 0.05, 0.05)


@pytest.mark.parametrize("n", [60, 600])
def test_a_conflict_under_a_cap_on_trades_takes_lps_by_the_limits_kept_not_the_instruments(n, monkeypatch):
    # Dropping the floors one at a time was two LPs a floor: over the market, most of a minute
    # to name a conflict of two limits.
    calls = []
    elastic = feasibility._elastic
    monkeypatch.setattr(feasibility, "_elastic", lambda p, atoms: calls.append(len(atoms)) or elastic(p, atoms))
    limits = held_over_a_cap(n)
    exc = _diagnose(limits, "lp")
    assert {(e["kind"], e["label"]) for e in exc.conflict} == {("group_upper", "G"), ("turnover_sell", "turnover")}
    assert exc.shortfall == pytest.approx(-0.05, rel=1e-6)
    assert_irreducible_with_trades(limits, exc.conflict)
    assert len(calls) <= 10, calls


def test_holdings_without_caps_keep_the_closed_form():
    base = CONFLICTS["two group caps and the wildcard cap"][0]
    plain, held = _diagnose(base), _diagnose(traded(base, np.full(base.n, 1 / base.n)))
    assert (str(held), held.conflict, held.shortfall) == (str(plain), plain.conflict, plain.shortfall)


@pytest.mark.parametrize(
    "changes, match",
    [
        ({"max_buy": 0.1}, "holdings"),
        ({"holdings": np.full(5, 0.2), "max_sell": -0.1}, ">= 0"),
        ({"holdings": np.full(5, 0.2), "max_buy": float("nan")}, ">= 0"),
        ({"holdings": np.full(4, 0.2), "max_buy": 0.1}, "holdings"),
    ],
)
def test_malformed_caps_on_trades_are_refused(changes, match):
    with pytest.raises(ValueError, match=match):
        check_limits(spoiled(**changes))


@pytest.mark.parametrize(
    "n, below, refused",
    [(2953, 0.0, False), (2000, 0.0, False), (3000, 0.0, False), (2953, 1e-15, True), (2000, 1e-15, True)],
)
def test_long_sums_of_caps_against_the_budget(n, below, refused):
    """Caps of 1/n (less ``below``) on n >= 2000 instruments, decided from their sum: their float
    sum left to right falls short of 1 by 6e-14, their exact sum by at most 4e-17; 1e-15 less each
    falls short by n·1e-15. (The LP path decides to its own tolerance, 1e-9.)"""
    limits = make_limits([f"s{i:04d}" for i in range(n)], default=(0, 1 / n - below))
    found = _diagnose(limits, "closed")
    assert (found is not None) == refused
    if refused:
        assert found.shortfall == pytest.approx(n * below, rel=1e-2)
