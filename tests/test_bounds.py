"""Per-instrument bounds: defaults, wildcard, ignored ids, check order and exact sums."""

import math

import numpy as np
import pytest

from vela_optimizer import optimizer as opt

IA = opt.InvalidArgument


@pytest.mark.parametrize(
    "ids, bounds, expected",
    [
        (["a", "b", "c"], None, [(0, 1)] * 3),
        ([], None, []),
        (["a", "b"], {}, [(0, 1)] * 2),
        (["a", "b", "c"], {"*": (0, 0.5), "a": (0.1, 0.2)}, [(0.1, 0.2), (0, 0.5), (0, 0.5)]),
        (["a", "b", "c"], {"a": (0.1, 0.2), "*": (0, 0.5)}, [(0.1, 0.2), (0, 0.5), (0, 0.5)]),
        (["a", "b", "c", "d"], {"*": (0.25, 0.25)}, [(0.25, 0.25)] * 4),
        (["a", "b"], {"a": (0.3, 0.3), "b": (0.7, 0.7)}, [(0.3, 0.3), (0.7, 0.7)]),
        (["a", "b"], {"a": (np.float64(0.5), 1)}, [(0.5, 1), (0, 1)]),
    ],
)
def test_bounds_list(ids, bounds, expected):
    out = opt._general_bnds(ids, bounds)
    assert out == expected
    assert all(type(p) is tuple and len(p) == 2 for p in out)


def test_callers_values_pass_unchanged_and_ints_stay_ints():
    low = np.float64(0.125)
    out = opt._general_bnds(["a", "b"], {"a": [low, 1]})
    assert out[0][0] is low and type(out[0][1]) is int and out[1] == (0, 1)


@pytest.mark.parametrize(
    "ids, bounds, message",
    [
        (list("abcde"), {"*": (0, 0.1)}, "OPTIMIZER: 经过剔除后，bnds 上限之和小于1"),
        (list("abcd"), {"*": (0.3, 1)}, "OPTIMIZER: bnds 下限之和大于1"),
        (["a", "b"], {"*": (0, 0.5), "a": (0.1, 0.2)}, "OPTIMIZER: 经过剔除后，bnds 上限之和小于1"),
        (["a", "b"], {"a": (1.5, 0.5)}, "OPTIMIZER: 合约 a 的下限 1.5 高于上限 0.5"),
        (["a", "b"], {"a": (1.2, 1.5)}, "OPTIMIZER: 合约 a 的下限 1.2 无效"),
        (["a", "b"], {"a": (0.2, 1.2)}, "OPTIMIZER: 合约 a 的上限 1.2 无效"),
        (["a", "b"], {"a": (-0.1, 0.5)}, "OPTIMIZER: 合约 a 的下限 -0.1 无效"),
        (["a", "b"], {"a": (0, 0.5), "b": (0, 0.5), "*": (2, 3)}, "OPTIMIZER: 合约 * 的下限 2 无效"),
        (["a", "b"], {"a": (math.nan, 0.5)}, "OPTIMIZER: 合约 a 的下限 nan 无效"),
        (["a", "b"], {"a": (0.1, math.nan)}, "OPTIMIZER: 合约 a 的上限 nan 无效"),
        (["a", "b"], {"*": (np.float64("nan"), 1)}, "OPTIMIZER: 合约 * 的下限 nan 无效"),
    ],
)
def test_refusals(ids, bounds, message):
    with pytest.raises(IA) as e:
        opt._general_bnds(ids, bounds)
    assert e.value.args == (message,)


def test_inversion_is_reported_before_nan_range():
    # NaN fails every comparison, so the pair (0.6, 0.5) still reports inversion first.
    with pytest.raises(IA, match="高于上限"):
        opt._general_bnds(["a", "b"], {"a": (0.6, 0.5), "b": (math.nan, 1)})


def test_ids_not_retained_warn_and_are_not_counted():
    with pytest.warns(UserWarning) as rec:
        out = opt._general_bnds(["a", "b"], {"x": (2, 3), "a": (0.5, 0.5), "y": (0, 0)})
    assert [str(w.message) for w in rec] == [
        "OPTIMIZER: 约束 x 不在经剔除后的合约列表中，被忽略",
        "OPTIMIZER: 约束 y 不在经剔除后的合约列表中，被忽略",
    ]
    assert out == [(0.5, 0.5), (0, 1)]


@pytest.mark.parametrize(
    "value, exc, text",
    [
        ((0.1,), ValueError, "not enough values to unpack (expected 2, got 1)"),
        ((0.1, 0.2, 0.3), ValueError, "too many values to unpack (expected 2)"),
        (0.5, TypeError, "cannot unpack non-iterable float object"),
    ],
)
def test_malformed_pairs_raise_the_hosts_unpacking_error(value, exc, text):
    with pytest.raises(exc) as e:
        opt._general_bnds(["a", "b"], {"a": value})
    assert str(e.value) == text


def test_sums_are_exact_and_run_in_entry_order():
    # 0.7 + 0.2 + 0.1 == 0.9999999999999999 but 0.1 + 0.2 + 0.7 == 1.0: no tolerance, and the
    # caller's entries are summed in their order before the filled-in ones.
    ids = ["a", "b", "c"]
    with pytest.raises(IA, match="上限之和小于1"):
        opt._general_bnds(ids, {"a": (0, 0.7), "b": (0, 0.2), "c": (0, 0.1)})
    assert opt._general_bnds(ids, {"c": (0, 0.1), "b": (0, 0.2), "a": (0, 0.7)}) == [(0, 0.7), (0, 0.2), (0, 0.1)]
    assert opt._general_bnds(ids, {"c": (0, 0.1), "*": (0, 0.7), "b": (0, 0.2)})[0] == (0, 0.7)


# Long sums: a refusal stands only when the exact sum of the bounds (all Python floats or ints) is
# beyond 1 too. 2953 floats 1/2953 sum to 0.999999999999944 left to right, to 1 + 5.5e-17
# exactly; 2006 floors of 1/2006 sum to 1.000000000000047, to 1 - 8e-17 exactly. Caps 1e-15 below
# 1/N fall short by N·1e-15 exactly, far beyond any rounding.
@pytest.mark.parametrize(
    "n, side, value, refused",
    [
        (2953, "cap", lambda n: 1 / n, None),
        (2000, "cap", lambda n: 1 / n, None),
        (2953, "cap", lambda n: 1 / n - 1e-15, "OPTIMIZER: 经过剔除后，bnds 上限之和小于1"),
        (2000, "cap", lambda n: 1 / n - 1e-15, "OPTIMIZER: 经过剔除后，bnds 上限之和小于1"),
        (2006, "floor", lambda n: 1 / n, None),
        (2006, "floor", lambda n: 1 / n + 1e-15, "OPTIMIZER: bnds 下限之和大于1"),
        # Not Python floats: the host's sum, as before.
        (2953, "cap", lambda n: np.float64(1 / n), "OPTIMIZER: 经过剔除后，bnds 上限之和小于1"),
    ],
)
def test_long_sums_of_bounds_are_compared_exactly(n, side, value, refused):
    ids = [f"s{i:04d}" for i in range(n)]
    pair = (0, value(n)) if side == "cap" else (value(n), 1)
    if refused is None:
        assert opt._general_bnds(ids, {"*": pair}) == [pair] * n
    else:
        with pytest.raises(IA) as e:
            opt._general_bnds(ids, {"*": pair})
        assert e.value.args == (refused,)
