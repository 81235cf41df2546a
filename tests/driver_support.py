"""Spies for the driver's callees, installed on the module (the driver reads its globals per call)."""

import numpy as np
import pandas as pd

from conftest import price_tables, stock
from vela_optimizer import optimizer as opt

METHODS = [
    "risk_parity_optimize",
    "risk_parity_with_cons_optimize",
    "min_variance_optimize",
    "mean_variance_optimize",
    "min_tracking_error_optimize",
]


class Spy:
    """Records which method ran with which arguments, and the return table seen by the covariance step."""

    def __init__(self, monkeypatch):
        self.method = None
        self.args = None
        self.df = None
        for name in METHODS:
            monkeypatch.setattr(opt, name, self._method(name), raising=False)
        monkeypatch.setattr(opt, "_cov_shrinkage", self._shrink, raising=False)

    def _method(self, name):
        def run(*args):
            self.method, self.args = name, args
            return {"result of": name}

        return run

    def _shrink(self, df):
        self.df = df
        return df.cov() * 2, 0.5


def stock_universe(client, n=3, rows=133, seed=0):
    """n stocks with random-walk closes over `rows` days, all trading."""
    rng = np.random.default_rng(seed)
    ids = [f"S{i}" for i in range(n)]
    closes = {i: 10 * np.exp(np.cumsum(rng.normal(0, 0.02, rows))) for i in ids}
    client.close, client.volume = price_tables(closes)
    client.stocks = {i: stock(i) for i in ids}
    return ids


def expected_returns(close: pd.DataFrame) -> pd.DataFrame:
    """Forward-filled simple returns, first row dropped: the reference for the return table."""
    filled = close.ffill()
    return (filled / filled.shift(1) - 1).iloc[1:]
