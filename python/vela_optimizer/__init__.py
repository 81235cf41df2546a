"""Portfolio weights for Chinese-mainland stocks and funds.

The package level::

    import vela_optimizer as vo
    w = vo.portfolio_optimize(ids, "2026-11-30", method=vo.OptimizeMethod.MIN_VARIANCE)   # {id: weight}
    r = vo.optimize(ids, "2026-11-30", method=vo.OptimizeMethod.MIN_VARIANCE)             # OptimizeResult

solves with exact native solvers by default (``solver="native"``) over the same pipeline as the
extension module ``vela_optimizer.optimizer``, whose own ``portfolio_optimize`` (scipy's SLSQP and
L-BFGS-B) is ``solver="scipy"``. The names below are loaded on first use, so importing
``vela_optimizer.optimizer`` or ``vela_optimizer.exception`` alone loads nothing else.
"""

import importlib

# name -> module that defines it
_LAZY = {
    "portfolio_optimize": "engine",
    "optimize": "engine",
    "SOLVERS": "engine",
    "Request": "request",
    "DEFAULT_WINDOW": "engine",
    "DEFAULT_MAX_ITERATION": "engine",
    "DEFAULT_TOL": "engine",
    "OptimizeResult": "result",
    "Dropped": "result",
    "Limits": "limits",
    "LimitConflict": "feasibility",
    "OptimizeMethod": "optimizer",
    "GICSConstraint": "optimizer",
    "ShenWanConstraint": "optimizer",
    "FundTypeConstraint": "optimizer",
    "InvalidArgument": "exception",
    "OptimizationFailed": "exception",
}

__all__ = sorted(_LAZY)


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
