"""Group constraint records and the three classification constraint classes."""

import math

import numpy as np
import pytest

from conftest import fund, stock
from vela_optimizer import optimizer as opt

IA = opt.InvalidArgument


def values(records, x):
    return [(r["type"], r["fun"](np.asarray(x, dtype=float))) for r in records]


def test_records_evaluate_their_own_group():
    recs = opt._to_constraint({"A": [0, 2], "B": [1]}, {"A": (0.2, 0.6), "B": (0.4, 0.8)})
    x = [0.3, 0.5, 0.2]
    got = values(recs, x)
    # Each value equals the host's expression over the same floats.
    expected = [
        ("ineq", (0 + 0.3 + 0.2) - 0.2),
        ("ineq", 0.6 - (0 + 0.3 + 0.2)),
        ("ineq", (0 + 0.5) - 0.4),
        ("ineq", 0.8 - (0 + 0.5)),
        ("eq", sum(np.asarray(x)) - 1),
    ]
    assert got == expected
    assert all(set(r) == {"type", "fun"} for r in recs)
    # Called again, in another order, on another x: still each its own group.
    assert recs[2]["fun"](np.array([0.0, 0.25, 0.0])) == 0.25 - 0.4
    assert recs[0]["fun"]([0.1, 0.0, 0.1]) == 0.1 + 0.1 - 0.2
    assert recs[-1]["fun"].__qualname__.startswith("_to_constraint.<locals>.")


@pytest.mark.parametrize(
    "groups, rules, n_records",
    [
        ({"A": [0], "B": [1]}, {"A": (0, 0.3), "B": (0, 0.3), "Z": (2, 3)}, None),
        ({"A": [0], "B": [1], "C": [2]}, {"A": (0, 0.3), "B": (0, 0.3)}, 5),
        ({"A": [0, 1]}, {"Z": (2, 3)}, 1),
        ({"A": [0], "B": [1]}, {"A": (0.5, 0.6), "B": (0.5, 0.5)}, 5),
        ({"A": [0], "B": [1]}, {"A": (0.3, 0.3), "B": (0.7, 0.7)}, 5),
    ],
)
def test_sum_rules(groups, rules, n_records):
    if n_records is None:
        with pytest.raises(IA) as e:
            opt._to_constraint(groups, rules)
        assert e.value.args == ("OPTIMIZER: 约束的上限之和小于1",)
    else:
        assert len(opt._to_constraint(groups, rules)) == n_records


@pytest.mark.parametrize(
    "rules, message",
    [
        ({"A": (0.5, 0.6), "B": (0.6, 0.7)}, "OPTIMIZER: 约束的下限之和大于1"),
        ({"A": (1.5, 0.5)}, "OPTIMIZER: 约束 A 的下限 1.5 无效"),
        ({"A": (-0.1, 0.5)}, "OPTIMIZER: 约束 A 的下限 -0.1 无效"),
        ({"A": (0.1, 1.5)}, "OPTIMIZER: 约束 A 的上限 1.5 无效"),
        ({"A": (0.8, 0.5)}, "OPTIMIZER: 约束的下限 0.8 高于上限 0.5"),
        ({"A": (math.nan, 0.5)}, "OPTIMIZER: 约束 A 的下限 nan 无效"),
        ({"A": (0.2, np.float64("nan"))}, "OPTIMIZER: 约束 A 的上限 nan 无效"),
        ({"A": (0, 0.5), "B": (2, 0.1)}, "OPTIMIZER: 约束 B 的下限 2 无效"),
    ],
)
def test_rule_refusals_in_check_order(rules, message):
    with pytest.raises(IA) as e:
        opt._to_constraint({"A": [0], "B": [1]}, rules)
    assert e.value.args == (message,)


def test_empty_grouping_fails_the_cap_sum():
    with pytest.raises(IA, match="上限之和小于1"):
        opt._to_constraint({}, {"A": (0, 1)})


def test_only_key_errors_mean_no_rule():
    class Rules(dict):
        def __getitem__(self, k):
            if k == "B":
                raise RuntimeError("broken rules")
            return super().__getitem__(k)

    with pytest.raises(RuntimeError, match="broken rules"):
        opt._to_constraint({"A": [0], "B": [1]}, Rules(A=(0, 1)))


def test_record_rejects_positions_outside_x():
    rec = opt._to_constraint({"A": [0, 5]}, {"A": (0, 1)})[0]
    with pytest.raises(IndexError):
        rec["fun"](np.zeros(3))


# ---- classification classes, on the fake client ----

IDS = ["A", "B", "C"]


@pytest.fixture
def client(fake_client):
    fake_client.stocks = {"A": stock("A", "X"), "B": stock("B", "Y"), "C": stock("C", "X")}
    fake_client.funds = {"A": fund("A", "Bond"), "B": fund("B", "Stock"), "C": fund("C", "Bond")}
    fake_client.industries = {"A": "银行", "B": "电子"}
    return fake_client


@pytest.mark.parametrize(
    "cls, rules, x, expected, calls",
    [
        (opt.GICSConstraint, {"X": (0, 0.5)}, [0.2, 0.5, 0.3], [0.5 - 0, 0.5 - 0.5, 0.0], [("instruments", (IDS,))]),
        (
            opt.FundTypeConstraint,
            {"Stock": (0.1, 0.4)},
            [0.2, 0.5, 0.3],
            [0.5 - 0.1, 0.4 - 0.5, 0.0],
            [("fund.instruments", ("A",)), ("fund.instruments", ("B",)), ("fund.instruments", ("C",))],
        ),
        (
            opt.ShenWanConstraint,
            {"__NONE__": (0, 0)},
            [0.2, 0.5, 0.3],
            [0.3, -0.3, 0.0],
            [("shenwan_instrument_industry", (IDS, "2024-01-02"))],
        ),
    ],
)
def test_classification(client, cls, rules, x, expected, calls):
    recs = cls(rules).to_constraint(IDS, "2024-01-02")
    assert [r["fun"](np.array(x)) for r in recs] == pytest.approx(expected, abs=1e-15)
    assert [(op, args) for op, args, _ in client.calls] == calls


def test_groups_follow_first_appearance(client):
    rules = {"X": (0, 1), "Y": (0, 1)}
    recs = opt.GICSConstraint(rules).to_constraint(IDS, None)
    # X (positions 0, 2) first, then Y (1): floor of X at e_2 is 1, floor of Y is 0.
    e2 = np.array([0.0, 0.0, 1.0])
    assert [r["fun"](e2) for r in recs[:4]] == [1.0, 0.0, 0.0, 1.0]


def test_rules_are_kept_by_reference(client):
    rules = {"X": (0, 1)}
    c = opt.GICSConstraint(rules)
    assert c._rules is rules and len(c.to_constraint(IDS, None)) == 3
    rules["X"] = (0.9, 0.5)
    with pytest.raises(IA, match="高于上限"):
        c.to_constraint(IDS, None)


def test_subclass_verify_rules_runs_through_the_instance(client):
    seen = []

    class Checked(opt.GICSConstraint):
        @staticmethod
        def _verify_rules(rules):
            seen.append(rules)

    rules = {"X": (0, 1)}
    Checked(rules)
    assert seen == [rules]
    assert opt.GICSConstraint._verify_rules(object()) is None


def test_missing_attribute_from_client_propagates(client):
    client.funds["B"] = None
    with pytest.raises(AttributeError):
        opt.FundTypeConstraint({}).to_constraint(IDS, None)


def test_date_only_matters_to_shenwan(client):
    gics = opt.GICSConstraint({"X": (0, 0.6)})
    x = np.array([0.1, 0.6, 0.3])
    a = [r["fun"](x) for r in gics.to_constraint(IDS, "2020-01-01")]
    b = [r["fun"](x) for r in gics.to_constraint(IDS, object())]
    assert a == b


@pytest.mark.parametrize(
    "n, side, value, refused",
    [
        (2953, "cap", lambda n: 1 / n, None),
        (2953, "cap", lambda n: 1 / n - 1e-15, "OPTIMIZER: 约束的上限之和小于1"),
        (2006, "floor", lambda n: 1 / n, None),
        (2006, "floor", lambda n: 1 / n + 1e-15, "OPTIMIZER: 约束的下限之和大于1"),
        (2953, "cap", lambda n: np.float64(1 / n), "OPTIMIZER: 约束的上限之和小于1"),
    ],
)
def test_long_sums_of_group_limits_are_compared_exactly(n, side, value, refused):
    """One group per instrument, each capped (or floored) at about 1/n: refused only when the
    exact sum of the limits is beyond 1 too (see test_bounds for the figures)."""
    groups = {f"g{i}": [i] for i in range(n)}
    rules = {g: ((0, value(n)) if side == "cap" else (value(n), 1)) for g in groups}
    if refused is None:
        assert len(opt._to_constraint(groups, rules)) == 2 * n + 1
    else:
        with pytest.raises(IA) as e:
            opt._to_constraint(groups, rules)
        assert e.value.args == (refused,)
