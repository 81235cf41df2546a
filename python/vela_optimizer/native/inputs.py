"""Input checks shared by the native solvers: arrays of numbers, finite values, readable limits.

A bad input raises :class:`~vela_optimizer.exception.InvalidArgument` with an "OPTIMIZER: " message
naming it.
"""

from __future__ import annotations

import numpy as np

from ..exception import InvalidArgument
from ..limits import Limits


def check_limits(limits, n, against="目标函数"):
    """Refuse limits that are not a :class:`Limits` over ``n`` instruments with readable values;
    ``against`` names what fixes n in the message (the covariance matrix, the objective)."""
    if not isinstance(limits, Limits):
        raise InvalidArgument(f"OPTIMIZER: limits 必须为 Limits，传入值的类型为：{type(limits).__name__}")
    if limits.lower.shape != (n,) or limits.upper.shape != (n,):
        raise InvalidArgument(f"OPTIMIZER: 约束的合约数 {limits.lower.shape[0]} 与{against}的维数 {n} 不一致")
    if limits.A.ndim != 2 or limits.A.shape[1] != n or limits.lo.shape != (limits.A.shape[0],) or \
            limits.hi.shape != (limits.A.shape[0],):
        raise InvalidArgument(f"OPTIMIZER: 约束矩阵 A 的形状 {limits.A.shape} 必须为 (m, {n})，lo 与 hi 的长度必须为 m")
    for name in ("lower", "upper", "lo", "hi"):
        if np.any(np.isnan(getattr(limits, name))):
            raise InvalidArgument(f"OPTIMIZER: 约束 {name} 含有 NaN")
    if np.any(np.isposinf(limits.lower)) or np.any(np.isneginf(limits.upper)):
        raise InvalidArgument("OPTIMIZER: 约束的下限不能为 +inf，上限不能为 -inf")
    if not np.all(np.isfinite(limits.A)):
        raise InvalidArgument("OPTIMIZER: 约束矩阵 A 含有 NaN 或 inf")


def as_array(name, a):
    """``a`` as an array of floats; InvalidArgument naming it when it cannot be read as numbers."""
    try:
        return np.asarray(a, dtype=float)
    except (TypeError, ValueError):
        raise InvalidArgument(f"OPTIMIZER: {name} 必须为数值数组，传入值的类型为：{type(a).__name__}") from None


def finite(name, a):
    """``a`` as an array of floats when every value is finite; InvalidArgument naming it otherwise."""
    a = as_array(name, a)
    if not np.all(np.isfinite(a)):
        raise InvalidArgument(f"OPTIMIZER: {name} 含有 NaN 或 inf")
    return a
