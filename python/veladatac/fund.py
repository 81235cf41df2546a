"""Fund operations: ``veladatac.fund.get_nav`` and ``veladatac.fund.instruments``."""

from ._api import fund_instruments as instruments, get_nav

__all__ = ["get_nav", "instruments"]
