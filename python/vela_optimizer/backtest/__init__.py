"""Backtests: optimise on every rebalancing date of a period, hold the weights as they drift, score the result.

The public names live here; ``runner`` runs a backtest, ``schedule`` finds its dates,
``executors`` runs the dates' optimisations (serially, on local processes, on a Dask cluster),
``accounts`` does the accounting and statistics, ``results`` holds what it produced, and
``cli`` is the command line ``vela-backtest`` (also ``python -m vela_optimizer.backtest``).
"""

from vela_optimizer.backtest.results import BacktestError, BacktestResult, Failure, Rebalance, RebalanceFailed
from vela_optimizer.backtest.runner import MAX_COSTS_BPS, SOLVERS, IndexUniverse, run_backtest
from vela_optimizer.backtest.schedule import FREQUENCIES, rebalance_dates

__all__ = ["BacktestError", "BacktestResult", "Failure", "FREQUENCIES", "IndexUniverse", "MAX_COSTS_BPS",
           "Rebalance", "RebalanceFailed", "SOLVERS", "rebalance_dates", "run_backtest"]
