"""Backtests: optimise on every rebalancing date of a period, hold the weights as they drift, score the result.

The public names live here; ``runner`` runs a backtest, ``schedule`` finds its dates,
``presence`` keeps each date's universe to the instruments that exist then, ``executors`` runs
the dates' optimisations (serially or on local processes) and ``cluster`` on a Dask cluster,
``checkpoint`` keeps each finished date in a folder, ``trading`` holds the trading rules, turnover
cap, capital and fees and runs the dates as a chain when they need the holdings, ``accounts`` does
the accounting, ``statistics`` the figures and the per-year table, ``results`` holds what it
produced, ``outputs`` prints and writes it (``plot`` draws the chart), ``files`` writes files
whole or not at all, and ``cli`` is the command line ``vela-backtest`` (also
``python -m vela_optimizer.backtest``).
"""

from vela_optimizer.backtest.checkpoint import CheckpointError, CheckpointMismatch
from vela_optimizer.backtest.results import (
    BacktestError,
    BacktestInterrupted,
    BacktestResult,
    Failure,
    Rebalance,
    RebalanceFailed,
)
from vela_optimizer.backtest.runner import CLUSTER_WAIT, MAX_COSTS_BPS, SOLVERS, IndexUniverse, run_backtest
from vela_optimizer.backtest.schedule import FREQUENCIES, rebalance_dates
from vela_optimizer.backtest.trading import MAX_CAPITAL, MIN_CAPITAL

__all__ = [
    "BacktestError",
    "BacktestInterrupted",
    "BacktestResult",
    "CLUSTER_WAIT",
    "CheckpointError",
    "CheckpointMismatch",
    "Failure",
    "FREQUENCIES",
    "IndexUniverse",
    "MAX_CAPITAL",
    "MAX_COSTS_BPS",
    "MIN_CAPITAL",
    "Rebalance",
    "RebalanceFailed",
    "SOLVERS",
    "rebalance_dates",
    "run_backtest",
]
