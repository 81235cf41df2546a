"""vela-optimize, the command line of one optimisation.

``options`` holds the options both commands share, ``optimize`` the command itself (``main``),
``report``, ``plot`` and ``listing`` what it prints and writes. ``vela-backtest`` lives in
:mod:`vela_optimizer.backtest.cli` and adds its own options to the shared ones.
"""

from .optimize import main

__all__ = ["main"]
