"""Input checks shared by the native solvers: arrays of numbers, finite values, readable limits.

A bad input raises :class:`~vela_optimizer.exception.InvalidArgument` with an "OPTIMIZER: " message
naming it.
"""

from __future__ import annotations

import math

import numpy as np

from ..exception import InvalidArgument
from ..limits import Limits
from .settings import as_real


def check_limits(limits, n, against="目标函数"):
    """Refuse limits that are not a :class:`Limits` over ``n`` instruments with readable values;
    ``against`` names what fixes n in the message (the covariance matrix, the objective)."""
    if not isinstance(limits, Limits):
        raise InvalidArgument(f"OPTIMIZER: limits 必须为 Limits，传入值的类型为：{type(limits).__name__}")
    if limits.lower.shape != (n,) or limits.upper.shape != (n,):
        raise InvalidArgument(f"OPTIMIZER: 约束的合约数 {limits.lower.shape[0]} 与{against}的维数 {n} 不一致")
    if (
        limits.A.ndim != 2
        or limits.A.shape[1] != n
        or limits.lo.shape != (limits.A.shape[0],)
        or limits.hi.shape != (limits.A.shape[0],)
    ):
        raise InvalidArgument(f"OPTIMIZER: 约束矩阵 A 的形状 {limits.A.shape} 必须为 (m, {n})，lo 与 hi 的长度必须为 m")
    # One comparison per array when all is well (a NaN fails every comparison), the checks one by
    # one for the message otherwise.
    if not (
        (limits.lower < np.inf).all()
        and (limits.upper > -np.inf).all()
        and (limits.lo == limits.lo).all()
        and (limits.hi == limits.hi).all()
        and np.isfinite(limits.A).all()
    ):
        _refuse_values(limits)
    if limits.holdings is not None or not (_no_cap(limits.max_buy) and _no_cap(limits.max_sell)):
        _check_turnover(limits, n)


def _no_cap(cap):
    """A cap that is a float +inf: no cap, nothing to check without holdings."""
    return isinstance(cap, float) and cap == math.inf


def _refuse_values(limits):
    """Raise for the first NaN or misplaced infinity in the limits' values."""
    for name in ("lower", "upper", "lo", "hi"):
        if np.any(np.isnan(getattr(limits, name))):
            raise InvalidArgument(f"OPTIMIZER: 约束 {name} 含有 NaN")
    if np.any(np.isposinf(limits.lower)) or np.any(np.isneginf(limits.upper)):
        raise InvalidArgument("OPTIMIZER: 约束的下限不能为 +inf，上限不能为 -inf")
    if not np.all(np.isfinite(limits.A)):
        raise InvalidArgument("OPTIMIZER: 约束矩阵 A 含有 NaN 或 inf")


def _check_turnover(limits, n):
    """Caps on what is bought and sold need the holdings they are measured against."""
    caps = {"max_buy": limits.max_buy, "max_sell": limits.max_sell}
    for name, cap in caps.items():
        if not as_real(cap) >= 0:  # NaN, and what is not a real number, fail too
            raise InvalidArgument(f"OPTIMIZER: 约束 {name} 必须为不小于0的数（inf 表示不限），传入值为：{cap!r}")
    if limits.holdings is None:
        capped = [name for name, cap in caps.items() if np.isfinite(cap)]
        if capped:
            raise InvalidArgument(f"OPTIMIZER: 约束 {'、'.join(capped)} 限制买卖的数量，必须同时指定当前持仓 holdings")
        return
    h = np.asarray(limits.holdings)
    if h.shape != (n,):
        raise InvalidArgument(f"OPTIMIZER: 当前持仓 holdings 的形状必须为 ({n},)，传入的形状为：{h.shape}")
    if not (np.issubdtype(h.dtype, np.number) and np.all(np.isfinite(h))):
        raise InvalidArgument("OPTIMIZER: 当前持仓 holdings 含有 NaN 或 inf")


def as_array(name, a):
    """``a`` as an array of floats; InvalidArgument naming it when it cannot be read as numbers."""
    try:
        return np.asarray(a, dtype=float)
    except (TypeError, ValueError):
        raise InvalidArgument(f"OPTIMIZER: {name} 必须为数值数组，传入值的类型为：{type(a).__name__}") from None


def finite(name, a):
    """``a`` as an array of floats when every value is finite; InvalidArgument naming it otherwise."""
    a = as_array(name, a)
    if not np.isfinite(a).all():
        raise InvalidArgument(f"OPTIMIZER: {name} 含有 NaN 或 inf")
    return a
