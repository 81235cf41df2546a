"""What one optimisation produced, for programs that want more than the weights."""

from __future__ import annotations

import dataclasses
import datetime as _dt
from dataclasses import dataclass, field, fields
from typing import Any, NamedTuple

import pandas as pd

from . import metrics

# Why screening dropped a stock, in the order the screens run.
DROP_REASONS = {
    "suspended": "suspended on too many days",
    "short_history": "too short a price history",
    "delisted": "no close on the last day (delisted)",
}


class Lazy:
    """A field's value formed when it is first read (:class:`LazyFields`): ``make()`` gives it.
    The covariance of thousands of instruments is an N × N matrix a solve in factored form never
    needs; it is formed only for a caller who reads it."""

    def __init__(self, make):
        self.make = make


class LazyFields:
    """For frozen dataclasses: a field given as a :class:`Lazy` is formed on its first read and
    kept (reading it as an attribute, comparing, ``repr``, ``dataclasses.replace``, pickling and
    ``copy`` all form it)."""

    def __post_init__(self):
        lazy = {f.name: getattr(self, f.name) for f in fields(self)}
        lazy = {name: v for name, v in lazy.items() if isinstance(v, Lazy)}
        for name in lazy:
            object.__delattr__(self, name)  # read through __getattr__ from now on
        object.__setattr__(self, "_lazy", lazy)

    def replaced(self, **changes):
        """``dataclasses.replace(self, **changes)``, leaving the fields not yet formed unformed."""
        pending = {name: v for name, v in self.__dict__.get("_lazy", {}).items() if name not in changes}
        return dataclasses.replace(self, **pending, **changes)

    def __getstate__(self):
        # A field not yet formed holds a closure over the solve, which pickle cannot carry (a
        # tracking-error result could not be pickled at all): form every one, and the state is data.
        for name in list(self.__dict__.get("_lazy", ())):
            getattr(self, name)
        return dict(self.__dict__)

    def __getattr__(self, name):
        lazy = self.__dict__.get("_lazy")
        if lazy and name in lazy:
            value = lazy[name].make()
            object.__setattr__(self, name, value)
            del lazy[name]
            return value
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")


class Dropped(NamedTuple):
    """A stock screening removed: its id and the screen that removed it (a key of ``DROP_REASONS``)."""

    id: str
    reason: str


@dataclass(frozen=True)
class OptimizeResult(LazyFields):
    """The weights of one optimisation and everything that went into them.

    Attributes
    ----------
    weights : pandas.Series
        Weight per retained id, in the return table's column order (the order of every vector below).
    method : OptimizeMethod
        The method solved.
    solver : str
        ``"native"`` or ``"scipy"``: what actually solved (a caller's own constraint records are
        solved by the scipy path even when ``"native"`` was asked for).
    date
        The date as the caller gave it (a ``numpy.datetime64`` as its calendar day, a
        ``datetime.date``).
    trading_date : datetime.date or None
        The last trading day of the window: the date itself, or the trading day before a date
        that is not one.
    start_date : datetime.date
        The first trading day of the window.
    window : int
        Trading days in the window.
    instrument_type : str
        ``"CS"`` for stocks, otherwise the funds' kind code.
    retained : list of str
        Ids kept by screening, in weight order.
    dropped : list of Dropped
        Ids screening removed, with the reason for each.
    ignored_bounds : list of str
        Keys of ``bnds`` that are neither ``"*"`` nor a retained id (bounds that had no effect).
    returns : pandas.DataFrame
        The daily simple returns the estimates used (retained ids as columns).
    covariance : pandas.DataFrame
        The covariance matrix of daily returns (shrunk unless ``cov_shrinkage=False``) the solve
        used. A native solve of many instruments works on it in factored form and forms this
        matrix only when it is read. Where screening kept stocks with missing days the estimate is
        pairwise, and a native solve uses it with the block among those stocks raised by the least
        that makes the matrix positive semi-definite (``covariance_raised`` names them).
    expected_returns : pandas.Series or None
        Mean daily returns (mean-variance only).
    benchmark_returns : pandas.Series or None
        The benchmark's daily returns over the window, whenever a benchmark was given.
    risk_contributions : pandas.Series
        ``w_i (C w)_i`` per id; they sum to the portfolio variance.
    volatility : float
        Daily volatility ``sqrt(wᵀ C w)`` (not annualised).
    objective : float
        The method's objective at the weights: ``wᵀCw`` (minimum variance), ``λ/2·wᵀCw − μᵀw``
        (mean-variance), ``‖b − Rw‖²`` over the days with every return present (tracking error),
        ``Σ_{i<j} |RC_i − RC_j|`` (risk parity).
    iterations : int
        Iterations of the solve (scipy: of the accepted solve).
    converged : bool
        Whether the solve met its tolerance; False when the scipy path accepted a solve that
        stopped at ``max_iteration``.
    timings : dict
        Seconds spent per stage.
    bounds : vela_optimizer.pipeline.Bounds or None
        Each retained instrument's bounds and where they came from.
    limits : vela_optimizer.request.GroupLimits or None
        The group limits asked for, each label as given and as resolved.
    groups : list of vela_optimizer.pipeline.Group
        The group limits that apply: each rule with the positions of its members.
    unused_limits : list of vela_optimizer.request.Rule
        Group limits whose label no retained instrument carries (a cap there limits nothing).
    stale_funds : dict
        Funds whose net values stop before the window's last day -> the last day with one (None:
        none in the window). Their last value is carried forward, and those days read as returns
        of 0, no risk: a weight on such a fund rests on values it no longer has.
    labels : list or None
        Each retained instrument's label under the limits' scheme (None without group limits).
    linear_limits : vela_optimizer.limits.Limits or None
        Bounds, group rows and budget as the one linear form both the feasibility check and the
        native solvers read (``violation(w)`` measures how far weights break them).
    holdings : dict or None
        With holdings: the current weights ``{id: weight}`` the rebalancing started from.
    kept : dict
        Held ids outside the optimised instruments that could not be sold: they keep their weight,
        and ``weights`` sum to 1 less theirs. With ``invest_within_cap``, also what the turnover cap
        left unsold of the forced sales, at the weight left.
    sold_outside : dict
        Held ids outside the optimised instruments that are sold -> the weight sold: in full, or with
        ``invest_within_cap`` where the turnover cap leaves part unsold (the id is then in ``kept``
        too, with the part left).
    kept_labels : dict
        With group limits, each id of ``kept`` -> its group label (its weight counts against that
        group's floor and cap).
    untradable : list of vela_optimizer.rebalance.Untradable
        Stocks the day's rules kept from trading freely (suspended, at a price limit), with why.
    bought, sold, turnover : float or None
        With holdings: the totals bought and sold (fractions of the value) and the one-way
        turnover, max(bought, sold).
    rebalance_notes : list of str
        Bounds the day's trading rules overrode.
    eased_bounds, eased_groups : dict
        With ``invest_within_cap``: each id (each group label) whose limit the holdings were past
        by more than the turnover cap can trade -> its (floor, cap) as given; ``linear_limits``
        carry today's, what the cap reaches. Whole lots keep the turnover cap before those.
    covariance_raised : list of str
        Native solves: the stocks with missing days whose covariance block was raised because the
        pairwise estimate was not positive semi-definite (see ``covariance``); empty otherwise.
    zeros : list of (str, str)
        The instruments a native solve set to weight 0, each with why: ``"bound"`` (it sits at a
        bound of 0), ``"group_cap"`` (risk parity: a binding group cap took its weight, and its risk
        contribution with it, to 0) or ``"optimal"`` (0 is inside its bounds and is where the
        optimum puts it).
    """

    weights: pd.Series
    method: Any
    solver: str
    date: Any
    trading_date: _dt.date | None
    start_date: Any
    window: int
    instrument_type: str
    retained: list
    dropped: list
    ignored_bounds: list
    returns: pd.DataFrame
    covariance: pd.DataFrame
    expected_returns: pd.Series | None
    benchmark_returns: pd.Series | None
    risk_contributions: pd.Series
    volatility: float
    objective: float
    iterations: int
    converged: bool
    timings: dict = field(default_factory=dict)
    bounds: Any = None
    limits: Any = None
    groups: list = field(default_factory=list)
    unused_limits: list = field(default_factory=list)
    stale_funds: dict = field(default_factory=dict)
    labels: list | None = None
    linear_limits: Any = None
    holdings: dict | None = None
    kept: dict = field(default_factory=dict)
    sold_outside: dict = field(default_factory=dict)
    kept_labels: dict = field(default_factory=dict)
    untradable: list = field(default_factory=list)
    bought: float | None = None
    sold: float | None = None
    turnover: float | None = None
    rebalance_notes: list = field(default_factory=list)
    eased_bounds: dict = field(default_factory=dict)
    eased_groups: dict = field(default_factory=dict)
    zeros: list = field(default_factory=list)
    covariance_raised: list = field(default_factory=list)

    def to_dict(self) -> dict:
        """The portfolio as ``{id: weight}``, what ``portfolio_optimize`` returns: the weights, and
        the held ids kept outside the optimisation with theirs."""
        out = {k: float(v) for k, v in self.weights.items()}
        out.update({k: float(v) for k, v in self.kept.items()})
        return out

    def stale_note(self) -> str:
        """One line naming :attr:`stale_funds`, each with its weight and the days its last net value
        was carried over (those days read as returns of 0: the fund looks riskless); "" without any."""
        from .phrases import plural, some

        if not self.stale_funds:
            return ""
        days = [d.date() for d in pd.to_datetime(self.returns.index)]
        parts = []
        for fid, last in self.stale_funds.items():
            weight = f"{100 * float(self.weights.get(fid, 0.0)):.2f} %"
            if last is None:
                parts.append(f"{fid} at {weight} (no net value in the window)")
            else:
                carried = sum(d > last for d in days)
                parts.append(f"{fid} at {weight} (none after {last}: {plural(carried, 'day')} carried)")
        n = len(parts)
        return (
            f"{plural(n, 'fund')} without a net value at the window's end, {'its' if n == 1 else 'their'} last "
            f"value carried forward and read as no risk: {some(parts)}"
        )

    @property
    def tracking_error(self) -> float | None:
        """Daily tracking error against the benchmark (None without one): the standard deviation of
        the active return over the days on which the benchmark and every instrument have a return."""
        if self.benchmark_returns is None:
            return None
        return metrics.tracking_error(metrics.active_returns(self.returns, self.weights, self.benchmark_returns))
