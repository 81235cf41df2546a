"""Portfolio weights for Chinese-mainland stocks and funds (type stub of the extension module).

The module keeps its runtime ``__doc__`` values as they are; this stub carries the signatures
and the documentation that editors and type checkers show.
"""

import datetime
import types
from collections.abc import Mapping, Sequence
from enum import Enum
from typing import Any

import pandas as pd

from vela_optimizer.exception import InvalidArgument as InvalidArgument, OptimizationFailed as OptimizationFailed

# The market-data client the module reads at call time (replaceable: tests and the package put
# their own client here).
veladatac: types.ModuleType

DateLike = str | int | datetime.date | datetime.datetime | pd.Timestamp
"""Any date the market-data client accepts: 'YYYY-MM-DD' or 'YYYYMMDD' text, int YYYYMMDD, a date."""

Bound = tuple[float | None, float | None]
"""(lower, upper) weight of one instrument or group, fractions of the portfolio."""

ConstraintRecord = dict[str, Any]
"""One scipy constraint record: {"type": "ineq" | "eq", "fun": callable of the weight vector}."""

MIN_OPTIMIZE_DATE: datetime.datetime
"""The earliest date an optimisation may end on (2005-07-01): the data before it are too thin."""

MIN_OPTIMIZE_DATE_STR: str
"""MIN_OPTIMIZE_DATE as 'YYYY-MM-DD' text."""

class OptimizeMethod(Enum):
    """The objective of an optimisation."""

    RISK_PARITY = "risk_parity"
    """Equal risk contributions w_i (C w)_i."""
    MIN_VARIANCE = "min_variance"
    """Minimum portfolio variance wᵀCw."""
    MEAN_VARIANCE = "mean_variance"
    """Minimum (λ/2)·wᵀCw − μᵀw: variance weighted by the risk aversion λ, less the mean return."""
    MIN_TRACKING_ERROR = "min_tracking_error"
    """Minimum squared daily return difference to a benchmark."""

class GICSConstraint:
    """Sector limits: labels are the GICS sector names of ``veladatac.instruments`` (e.g. "Financials").
    Stocks only.
    """

    def __init__(self, rules: Mapping[Any, Bound]) -> None:
        """Sector limits.

        Parameters
        ----------
        rules : mapping
            label -> (lower, upper): the total weight of the retained instruments carrying the
            label lies in [lower, upper], both within [0, 1]. Labels no retained instrument
            carries are ignored; instruments whose label has no rule are not limited.
        """
    @staticmethod
    def _verify_rules(rules: Mapping[Any, Bound]) -> None:
        """Hook for subclasses to check ``rules`` when the object is made; accepts everything."""
    def to_constraint(self, order_book_ids: Sequence[str], date: DateLike) -> list[ConstraintRecord]:
        """The minimizer's constraint records for the instruments ``order_book_ids`` on ``date``.

        A floor and a cap record for every label that has a rule and a retained instrument, in
        the order the labels first appear among ``order_book_ids``, then the budget record
        (weights sum to 1).

        Raises
        ------
        InvalidArgument
            A rule side outside [0, 1] or NaN, a lower side above its upper side, floors summing
            above 1, or (when every label present has a rule) caps summing below 1.
        """

class ShenWanConstraint:
    """Industry limits: labels are the Chinese names of the Shenwan level-1 industries on the date
    (``veladatac.shenwan_instrument_industry(...)["index_name"]``, e.g. "银行"); stocks without an
    industry on the date are grouped under "__NONE__". Stocks only.
    """

    def __init__(self, rules: Mapping[Any, Bound]) -> None:
        """Industry limits.

        Parameters
        ----------
        rules : mapping
            label -> (lower, upper): the total weight of the retained instruments carrying the
            label lies in [lower, upper], both within [0, 1]. Labels no retained instrument
            carries are ignored; instruments whose label has no rule are not limited.
        """
    @staticmethod
    def _verify_rules(rules: Mapping[Any, Bound]) -> None:
        """Hook for subclasses to check ``rules`` when the object is made; accepts everything."""
    def to_constraint(self, order_book_ids: Sequence[str], date: DateLike) -> list[ConstraintRecord]:
        """The minimizer's constraint records for the instruments ``order_book_ids`` on ``date``.

        A floor and a cap record for every label that has a rule and a retained instrument, in
        the order the labels first appear among ``order_book_ids``, then the budget record
        (weights sum to 1).

        Raises
        ------
        InvalidArgument
            A rule side outside [0, 1] or NaN, a lower side above its upper side, floors summing
            above 1, or (when every label present has a rule) caps summing below 1.
        """

class FundTypeConstraint:
    """Fund-type limits: labels are ``veladatac.fund.instruments(id).fund_type`` (e.g. "Bond").
    Funds only.
    """

    def __init__(self, rules: Mapping[Any, Bound]) -> None:
        """Fund-type limits.

        Parameters
        ----------
        rules : mapping
            label -> (lower, upper): the total weight of the retained instruments carrying the
            label lies in [lower, upper], both within [0, 1]. Labels no retained instrument
            carries are ignored; instruments whose label has no rule are not limited.
        """
    @staticmethod
    def _verify_rules(rules: Mapping[Any, Bound]) -> None:
        """Hook for subclasses to check ``rules`` when the object is made; accepts everything."""
    def to_constraint(self, order_book_ids: Sequence[str], date: DateLike) -> list[ConstraintRecord]:
        """The minimizer's constraint records for the instruments ``order_book_ids`` on ``date``.

        A floor and a cap record for every label that has a rule and a retained instrument, in
        the order the labels first appear among ``order_book_ids``, then the budget record
        (weights sum to 1).

        Raises
        ------
        InvalidArgument
            A rule side outside [0, 1] or NaN, a lower side above its upper side, floors summing
            above 1, or (when every label present has a rule) caps summing below 1.
        """

def portfolio_optimize(
    order_book_ids: Sequence[str],
    date: DateLike,
    method: OptimizeMethod = OptimizeMethod.RISK_PARITY,
    bnds: Mapping[str, Bound | None] | None = None,
    cons: GICSConstraint | ShenWanConstraint | FundTypeConstraint | None = None,
    cov_shrinkage: bool = True,
    benchmark: str | None = None,
    risk_aversion_coefficient: float = 1,
    window: int = 132,
    max_iteration: int = 1000,
    tol: float = 1e-08,
    quiet: bool = False,
) -> dict[str, float]:
    """Portfolio weights of ``order_book_ids`` from their daily history up to ``date``.

    The history window runs from ``window`` trading days before ``date`` through ``date``
    (``veladatac.trading_date_offset``). Stocks are screened first: a stock with volume 0 on
    more than window/2 days, with fewer than window/2 closes, or with no close on the last day
    is dropped (a ``UserWarning`` for each, unless ``quiet``). The covariance of the
    forward-filled daily simple returns is shrunk towards a constant-correlation target
    (Ledoit and Wolf 2003) unless ``cov_shrinkage`` is False, and the method's objective is
    minimised with scipy (SLSQP, or L-BFGS-B for risk parity without bounds and limits).

    Parameters
    ----------
    order_book_ids : sequence of str
        At least two distinct ids, all stocks or all funds of one kind.
    date : date-like
        Last day of the window; not before MIN_OPTIMIZE_DATE.
    method : OptimizeMethod
    bnds : mapping, optional
        id -> (lower, upper), with "*" for every instrument not named; each side within
        [0, 1]. Entries for instruments not retained are ignored with a ``UserWarning``.
        Default: (0, 1) each, or (1e-6, None) for risk parity.
    cons : GICSConstraint, ShenWanConstraint or FundTypeConstraint, optional
        Group limits; the weights always sum to 1.
    cov_shrinkage : bool
    benchmark : str, optional
        Benchmark id (read with ``veladatac.get_price``); required by MIN_TRACKING_ERROR,
        unused by the other methods.
    risk_aversion_coefficient : float
        MEAN_VARIANCE only; finite and not negative.
    window : int
        Trading days of history, at least 2.
    max_iteration : int
        The minimizer's iteration limit, at least 1. Reaching it is not a failure: the
        weights of the last iterate are returned.
    tol : float
        The minimizer's tolerance, positive. When SLSQP stops on a line-search failure the
        solve is repeated with ten times the tolerance, up to 1e-5.
    quiet : bool
        Silence the screening warnings.

    Returns
    -------
    dict
        id -> weight for the retained instruments, in their order; weights sum to 1.

    Raises
    ------
    InvalidArgument
        A bad argument, bound or rule, unknown or mixed instrument kinds, repeated ids, fewer
        than two ids before or after screening, a date before MIN_OPTIMIZE_DATE, or a missing
        benchmark for MIN_TRACKING_ERROR. Errors of the market-data client (an unknown
        benchmark, a date outside its calendar) arrive as the client's own exceptions.
    OptimizationFailed
        The minimizer stopped without an accepted answer, or the weights are not finite.
    """

def risk_parity_optimize(
    c_m: pd.DataFrame, init_weight: Sequence[float], bounds: Sequence[Bound], max_iteration: int
) -> dict[str, float]:
    """Risk parity without limits: minimise wᵀCw − 15·Σ ln w_i under box ``bounds`` (L-BFGS-B),
    then rescale the weights to sum to 1.

    Parameters
    ----------
    c_m : pandas.DataFrame
        Covariance matrix labelled by id.
    init_weight : sequence of float
        Starting point.
    bounds : sequence of (lower, upper)
        One pair per instrument.
    max_iteration : int

    Returns
    -------
    dict
        id -> weight.
    """

def risk_parity_with_cons_optimize(
    c_m: pd.DataFrame,
    init_weight: Sequence[float],
    bounds: Sequence[Bound],
    cons: Sequence[ConstraintRecord],
    max_iteration: int,
    tol: float,
) -> dict[str, float]:
    """Risk parity under bounds and constraint records: minimise the sum of absolute differences
    of the risk contributions w_i (C w)_i over all pairs (SLSQP, finite-difference gradient).

    Returns
    -------
    dict
        id -> weight.
    """

def min_variance_optimize(
    c_m: pd.DataFrame,
    init_weight: Sequence[float],
    bounds: Sequence[Bound],
    cons: Sequence[ConstraintRecord],
    max_iteration: int,
    tol: float,
) -> dict[str, float]:
    """Minimise wᵀCw under ``bounds`` and ``cons`` (SLSQP with the analytic gradient).

    Returns
    -------
    dict
        id -> weight.
    """

def mean_variance_optimize(
    c_m: pd.DataFrame,
    init_weight: Sequence[float],
    risk_aversion_coefficient: float,
    expected_return: pd.Series | Sequence[float],
    bounds: Sequence[Bound],
    cons: Sequence[ConstraintRecord],
    max_iteration: int,
    tol: float,
) -> dict[str, float]:
    """Minimise (λ/2)·wᵀCw − μᵀw, λ = ``risk_aversion_coefficient``, under ``bounds`` and ``cons`` (SLSQP).

    ``expected_return`` holds one mean daily return μ_i per instrument, in ``c_m``'s order.

    Returns
    -------
    dict
        id -> weight.
    """

def min_tracking_error_optimize(
    init_weight: Sequence[float],
    benchmark: pd.Series,
    df: pd.DataFrame,
    bounds: Sequence[Bound],
    cons: Sequence[ConstraintRecord],
    max_iteration: int,
    tol: float,
) -> dict[str, float]:
    """Minimise Σ_t (b_t − Σ_i R_ti·w_i)², the squared daily return difference to the benchmark,
    over the days on which the benchmark and every instrument have a return (SLSQP).

    Parameters
    ----------
    benchmark : pandas.Series
        The benchmark's daily returns, indexed by date.
    df : pandas.DataFrame
        The instruments' daily returns, days x ids.

    Returns
    -------
    dict
        id -> weight.

    Raises
    ------
    InvalidArgument
        Fewer than two days shared by the benchmark and the instruments.
    """

def _cov_shrinkage(df: pd.DataFrame) -> tuple[pd.DataFrame, float]:
    """Covariance of the columns of ``df`` shrunk towards a constant-correlation target
    (Ledoit and Wolf 2003), and the shrinkage intensity in [0, 1]."""

def _general_bnds(order_book_ids: Sequence[str], bounds: Mapping[str, Bound | None]) -> list[Bound]:
    """One (lower, upper) pair per id from ``bnds`` (see :func:`portfolio_optimize`)."""

def _to_constraint(reversed_index: Mapping[Any, Sequence[int]], rules: Mapping[Any, Bound]) -> list[ConstraintRecord]:
    """Floor and cap records for each label of ``reversed_index`` (label -> positions) that has a rule,
    then the budget record."""

def _ensure_same_type_instruments(order_book_ids: Sequence[str]) -> str:
    """The kind code shared by all ``order_book_ids`` ("CS" for stocks); InvalidArgument otherwise."""
