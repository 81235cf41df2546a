"""The shared pipeline run for a request, and its typed product.

The extension runs the steps every optimisation shares (checks, window, benchmark, instrument
check, screening and returns, covariance); this module adds what the package states as data
instead of the module's closures: the bounds of every retained instrument with where each came
from, the group limits as rows (floor and cap of a group together), the limits that no retained
instrument is subject to, and the benchmark's returns. The native solvers and the feasibility
check read the product's :meth:`Product.limits`; the scipy path gets the module's own bounds
and records, built from the same groups, only when it solves.
"""

from __future__ import annotations

import contextlib
import functools
import importlib
import time
import warnings
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import pandas as pd

from veladatac.errors import CalendarRangeError

from . import classification, optimizer, rebalance
from .limits import Limits
from .native import factored
from .optimizer import OptimizeMethod
from .rebalance import Plan
from .request import Request, Rule, check_in_calendar, check_kind, check_priced
from .result import Dropped, Lazy, LazyFields

# Importing the extension (above) registers its private engine module.
_engine = importlib.import_module(f"{__package__}._engine")

# Where an instrument's bounds came from when the caller did not name it: the module's default
# (0, 1), or risk parity's (1e-6, no cap) when there are no bnds at all.
DEFAULT, RISK_PARITY_DEFAULT = "", "risk_parity"


class Stages:
    """Times the pipeline's stages and passes each on to the caller's progress callback."""

    def __init__(self, progress=None):
        self.progress = progress
        self.timings: dict = {}
        self._stage = None
        self._started = time.perf_counter()

    @property
    def stage(self) -> str | None:
        """The stage running (the last one announced), None before the first."""
        return self._stage

    def __call__(self, stage: str, info=None) -> None:
        now = time.perf_counter()
        if self._stage is not None:
            self.timings[self._stage] = self.timings.get(self._stage, 0.0) + now - self._started
        self._stage, self._started = stage, now
        if self.progress is not None:
            self.progress(stage, {} if info is None else info)


@dataclass(frozen=True)
class Bounds:
    """The bounds of the retained instruments, in weight-vector order.

    Attributes
    ----------
    lower, upper : numpy.ndarray
        ``upper`` is ``+inf`` where there is no cap (risk parity without bnds).
    source : list of str
        Per instrument: its own id (an entry of its own in ``bnds``), ``"*"`` (the wildcard),
        ``""`` (the default (0, 1)) or ``"risk_parity"`` (risk parity's default without bnds).
    ignored : list
        Keys of ``bnds`` that are neither ``"*"`` nor a retained id, in the order given.
    """

    lower: np.ndarray
    upper: np.ndarray
    source: list
    ignored: list

    @classmethod
    def of(cls, request: Request, ids: list) -> Bounds:
        """The bounds ``request`` sets on ``ids``."""
        n = len(ids)
        if request.bnds is None:
            if request.method == OptimizeMethod.RISK_PARITY:
                low, high = _engine.RISK_PARITY_DEFAULT_BOUND
                return cls(
                    np.full(n, float(low)),
                    np.full(n, np.inf if high is None else float(high)),
                    [RISK_PARITY_DEFAULT] * n,
                    [],
                )
            return cls(np.zeros(n), np.ones(n), [DEFAULT] * n, [])
        retained = set(ids)
        sources = [i if i in request.bnds else ("*" if "*" in request.bnds else DEFAULT) for i in ids]
        pairs = [request.bnds[s] if s else (0, 1) for s in sources]
        return cls(
            np.array([float(lo) for lo, _ in pairs]),
            np.array([float(hi) for _, hi in pairs]),
            sources,
            [k for k in request.bnds if k != "*" and k not in retained],
        )

    def given(self, ids) -> dict:
        """id -> (low, high) for the instruments whose bounds the caller set (by id or by "*")."""
        return {
            i: (float(lo), float(hi))
            for i, lo, hi, s in zip(ids, self.lower, self.upper, self.source)
            if s not in (DEFAULT, RISK_PARITY_DEFAULT)
        }


@dataclass(frozen=True)
class Group:
    """One group limit over the retained instruments.

    Attributes
    ----------
    rule : Rule
        The limit as given and resolved.
    positions : numpy.ndarray
        Positions of its members in the weight vector (empty for a label no retained instrument
        carries: such a group has only a floor above 0 to speak of, which no portfolio meets).
    """

    rule: Rule
    positions: np.ndarray

    @property
    def label(self):
        """The group's label."""
        return self.rule.label

    @property
    def floor(self) -> float:
        return float(self.rule.low)

    @property
    def cap(self) -> float:
        return float(self.rule.high)


@dataclass(frozen=True)
class Product(LazyFields):
    """What the pipeline prepared for one request.

    Attributes
    ----------
    request : Request
    ids : list of str
        Retained ids, in weight-vector order (the return table's columns).
    instrument_type : str
        ``"CS"`` for stocks, otherwise the funds' kind code.
    start_date, trading_date : datetime.date or as the client gives them
        First and last trading day of the window.
    returns : pandas.DataFrame
        Daily simple returns (retained ids as columns).
    covariance : pandas.DataFrame
        The module's estimate (``_cov_shrinkage``, or the sample covariance); formed when first
        read where the native solve works on ``factors``.
    factors : vela_optimizer.native.factored.FactoredCovariance or None
        The same estimate as a diagonal plus a low-rank term (the block among stocks with missing
        days raised to positive semi-definite), for a native solve of many instruments; None when
        the native solve takes the dense matrix.
    dropped : list of Dropped
    bounds : Bounds
    groups : list of Group
        Every rule whose label a retained instrument carries, in the caller's order.
    unused : list of Rule
        Rules whose label no retained instrument carries.
    labels : list or None
        Each retained instrument's label under the limits' scheme (None without limits).
    benchmark_returns : pandas.Series or None
        The benchmark's daily returns over the window, when a benchmark was given.
    rebalance : vela_optimizer.rebalance.Plan or None
        With holdings or a turnover cap: the day's trading rules, what is kept outside the
        optimisation, the caps on buys and sells (``bounds`` already carry the rules).
    stale : dict
        Retained funds whose net values stop before the window's last day -> the last day with
        one (None: no value in the window); see :func:`stale_funds`.
    kept_labels : list
        Labels of the ids kept outside the optimisation (with group limits), in the order of
        ``rebalance.kept``.
    """

    request: Request
    ids: list
    instrument_type: str
    start_date: Any
    trading_date: Any
    returns: pd.DataFrame
    covariance: pd.DataFrame
    dropped: list
    bounds: Bounds
    groups: list
    unused: list
    labels: list | None
    benchmark_returns: pd.Series | None
    rebalance: Plan | None = None
    kept_labels: list = field(default_factory=list)
    factors: Any = None
    stale: dict = field(default_factory=dict)

    @property
    def kind(self) -> str:
        """``"stock"`` or ``"fund"``."""
        return "stock" if self.instrument_type == "CS" else "fund"

    @property
    def unclassified(self) -> list:
        """Retained ids whose label no rule names: no group limit applies to them."""
        if self.labels is None:
            return []
        named = {g.label for g in self.groups}
        return [i for i, label in zip(self.ids, self.labels) if label not in named]

    @functools.cached_property
    def native_covariance(self) -> tuple:
        """(C, ids raised): the covariance a native solve uses, ``factors`` or the dense estimate,
        with the block among stocks with missing days raised where the pairwise estimate is not
        positive semi-definite (:mod:`vela_optimizer.native.factored`), and the ids of those stocks
        when it was (else [])."""
        if self.factors is not None:
            C, raised = self.factors, self.factors.raised
        else:
            C = self.covariance.to_numpy(dtype=float)
            C, raised = factored.raise_gaps_dense(C, self.gap_positions()) if np.isfinite(C).all() else (C, 0.0)
        return C, [self.ids[i] for i in self.gap_positions()] if raised > 0.0 else []

    def gap_positions(self) -> np.ndarray:
        """Positions of the retained instruments with a missing return in the window."""
        return np.flatnonzero(~np.isfinite(self.returns.to_numpy(dtype=float)).all(axis=0))

    @property
    def kept_in_groups(self) -> dict:
        """Group label -> (weight, ids) held outside the optimisation (untradable) in that group."""
        kept: dict = {}
        if self.rebalance is not None:
            for label, (oid, weight) in zip(self.kept_labels, self.rebalance.kept.items()):
                w, ids = kept.get(label, (0.0, []))
                kept[label] = (w + weight, [*ids, oid])
        return kept

    @property
    def idle(self) -> list:
        """The rules that limit nothing: no retained instrument and no weight kept outside the
        optimisation carries their label."""
        kept = self.kept_in_groups
        return [r for r in self.unused if r.label not in kept]

    def limits(self) -> Limits:
        """Bounds, group rows (a floor on an unused label as an empty row, which no portfolio
        meets; a rule on a label only weight kept outside the optimisation carries, as an empty
        row that weight counts against) and the budget as one linear form."""
        kept = {label: w for label, (w, _) in self.kept_in_groups.items()}
        plan = self.rebalance
        if plan is None:
            return Limits.build(self.ids, self.bounds.lower, self.bounds.upper, self.group_limits(), self.bounds.source)
        # what is kept outside the optimisation counts towards its group's floor and cap; a limit
        # the turnover cap lets the holdings approach only part of the way is today's
        groups = []
        for label, positions, floor, cap in self.group_limits():
            floor, cap = plan.groups.get(label, (floor, cap))
            groups.append((label, positions, floor - kept.get(label, 0.0), cap - kept.get(label, 0.0)))
        return Limits.build(
            self.ids,
            self.bounds.lower,
            self.bounds.upper,
            groups,
            self.bounds.source,
            holdings=plan.h,
            max_buy=plan.max_buy,
            max_sell=plan.max_sell,
            budget=plan.budget,
        )

    def group_limits(self) -> list:
        """(label, positions, floor, cap) of every group row as given: the groups, then a floor on a
        label no retained instrument carries (an empty row, which no portfolio meets) and a rule on
        a label only weight kept outside the optimisation carries (an empty row it counts against)."""
        kept = self.kept_in_groups
        empty = [Group(r, np.zeros(0, dtype=int)) for r in self.unused if float(r.low) > 0 or r.label in kept]
        return [(g.label, g.positions, g.floor, g.cap) for g in [*self.groups, *empty]]

    def module_constraints(self):
        """The module's constraint records for these groups (None without group limits), as the
        module's constraint class would build them: same grouping, same rules, same checks."""
        if self.request.limits is None:
            return None
        return optimizer._to_constraint(classification.grouping(self.labels), self.request.limits.module_rules())


def _as_date(value):
    """A day the client gave (a date, a datetime, a Timestamp) as a ``datetime.date``; anything the
    store's date reader does not read is kept as it is."""
    from veladatac import to_date

    try:
        return to_date(value, "date")
    except (TypeError, ValueError):
        return value


def _benchmark_returns(request: Request, prepared: dict, client):
    """The tracking-error method's benchmark returns as the module computed them; for another
    method, the benchmark's returns over the same window, computed the same way."""
    if request.method == OptimizeMethod.MIN_TRACKING_ERROR:
        return prepared["benchmark"]
    if request.benchmark is None:
        return None
    closes = client.get_price(request.benchmark, prepared["start_date"], request.date, fields="close").ffill()
    return (closes / closes.shift(1) - 1).iloc[1:]


def stale_funds(ids: list, start, last, client) -> dict:
    """Funds among ``ids`` whose net values stop before ``last`` (the window's last day) -> the
    last day with one up to it, or None when the window has none.

    The return table carries a net value forward over the days after it (funds are not screened),
    and those days read as returns of 0: a fund wound up, or a store missing its last weeks, looks
    riskless, and a minimum-variance solve loads it. The caller is told; the universe is kept.
    The net values are read again here: in the return table a carried day is a return of 0, as a
    flat day is."""
    nav = client.fund.get_nav(ids, start, last, fields="adjusted_net_value")
    out = {}
    for i in ids:
        values = nav[i] if i in nav.columns else pd.Series(dtype=float)
        present = values.index[values.notna().to_numpy()]
        day = _as_date(present[-1]) if len(present) else None
        if day is None or day < _as_date(last):
            out[i] = day
    return out


def _groups(request: Request, ids: list, labels: list | None):
    """(groups, unused rules) of the request's limits over the retained ids."""
    if request.limits is None:
        return [], []
    members = classification.grouping(labels)
    groups = [Group(r, np.asarray(members[r.label], dtype=int)) for r in request.limits.rules if r.label in members]
    unused = [r for r in request.limits.rules if r.label not in members]
    if unused and not request.limits.resolved:
        # Without a catalogue an absent label cannot be told from a typo: refuse rather than ignore.
        from .request import UnknownLabel

        present = [str(x) for x in members]
        raise UnknownLabel(request.limits.scheme, [(r.given, classification.suggest(r.given, present)) for r in unused])
    return groups, unused


def run(request: Request, stages: Stages | None = None) -> Product:
    """Run the shared pipeline for ``request``.

    Raises
    ------
    InvalidArgument
        The module's checks (dates, ids, screening leaving fewer than two instruments, ...),
        limits of a scheme that does not classify the instruments (:class:`LimitKindMismatch`).
    """
    client = optimizer.veladatac
    # One store version for the whole request (a client without versions reads as it always does).
    with getattr(client, "one_version", contextlib.nullcontext)():
        return _run(request, stages or Stages(), client)


def _run(request: Request, stages: Stages, client) -> Product:
    native = request.solver == "native" and not request.own_constraint
    # Before any price is read: a day past the store's last prices would be solved on a window of
    # prices carried forward (funds) or refused as if every stock had been de-listed.
    check_priced(request.date, client)
    try:
        prepared = _engine.prepare(*request.arguments(), progress=stages, covariance=not native)
    except CalendarRangeError:
        # The window's calendar lookup is the module's first read (stage "window"); there the
        # client's error means the date, or its window, lies outside the store's calendar. The
        # date is checked here rather than before the call so that the package reads the client
        # exactly as the module does.
        if stages.stage != "window":
            raise
        check_in_calendar(request.date, client, "date", int(request.window))
        raise
    ids = list(prepared["columns"])
    fc = None
    if native:
        prepared["c_m"], fc = _covariance(request, prepared["df"], stages)
    kind = "stock" if prepared["instrument_type"] == "CS" else "fund"
    check_kind(request.limits, kind, ids)

    stages("bounds")
    bounds = Bounds.of(request, ids)
    for key in bounds.ignored:
        # The module's own notice for a bound it ignores.
        warnings.warn(f"OPTIMIZER: 约束 {key} 不在经剔除后的合约列表中，被忽略", stacklevel=3)

    stages("constraints")
    labels = None
    if request.limits is not None:
        labels = classification.labels_of(request.limits.scheme, ids, client, request.date)
    groups, unused = _groups(request, ids, labels)
    if request.benchmark is not None and request.method != OptimizeMethod.MIN_TRACKING_ERROR:
        stages("benchmark")
    product = Product(
        request=request,
        ids=ids,
        instrument_type=prepared["instrument_type"],
        start_date=_as_date(prepared["start_date"]),
        trading_date=_as_date(prepared["last_day"]),
        returns=prepared["df"],
        covariance=prepared["c_m"],
        factors=fc,
        dropped=[Dropped(i, reason) for i, reason in prepared["dropped"]],
        bounds=bounds,
        groups=groups,
        unused=unused,
        labels=labels,
        benchmark_returns=_benchmark_returns(request, prepared, client),
        stale=stale_funds(ids, prepared["start_date"], prepared["last_day"], client) if kind == "fund" else {},
    )
    if request.rebalancing:
        stages("trading rules")
        product = _with_rebalance(product, client)
    return product


def _covariance(request: Request, df: pd.DataFrame, stages: Stages) -> tuple:
    """(the module's covariance, or a :class:`Lazy` of it; the factored form or None) of the
    returns ``df``, for a native solve: the factored form from ``native.factored.MIN_RATIO``
    times as many instruments as days on (where it holds), else the module's own estimate, as
    its pipeline computes it (``_cov_shrinkage``, or ``DataFrame.cov``, read from the module at
    call time)."""
    stages("covariance")
    shrink = bool(request.cov_shrinkage)

    def module_estimate():
        return optimizer._cov_shrinkage(df)[0] if shrink else df.cov()

    T, n = df.shape
    if shrink and n >= factored.MIN_RATIO * T:
        if request.method == OptimizeMethod.MIN_TRACKING_ERROR:
            # The tracking error's solve reads the returns alone: the covariance (of the result's
            # risk figures) is formed when first read, factored where that holds, else dense.
            return Lazy(module_estimate), Lazy(lambda: _factored_or_none(df))
        fc = _factored_or_none(df)
        if fc is not None:
            return Lazy(module_estimate), fc
    return module_estimate(), None


def _factored_or_none(df: pd.DataFrame):
    found = factored.from_returns(df.to_numpy(dtype=float))
    return None if found is None else found[0]


def _with_rebalance(product: Product, client) -> Product:
    """``product`` with the rebalancing plan of its request, and the day's rules in its bounds."""
    request, b = product.request, product.bounds
    plan, lower, upper, source = rebalance.plan(
        request, product.ids, product.trading_date, b.lower, b.upper, b.source, client, implicit=RISK_PARITY_DEFAULT
    )
    kept_labels = []
    if request.limits is not None and plan.kept:
        kept_labels = classification.labels_of(request.limits.scheme, list(plan.kept), client, request.date)
    product = product.replaced(
        bounds=replace(b, lower=lower, upper=upper, source=source), rebalance=plan, kept_labels=kept_labels
    )
    if not request.invest_within_cap:
        return product
    eased = rebalance.eased_groups(plan, product.group_limits(), product.kept_in_groups, lower, upper)
    return product if eased is plan else product.replaced(rebalance=eased)


def solve_scipy(product: Product) -> tuple:
    """(weights in the order of ``product.ids``, the minimizer's report) from the module's own solve.

    The module's bounds step sees only the entries of ``bnds`` for retained ids (and ``"*"``),
    whose ignored entries the pipeline has already reported; the module's group records come from
    the product's groups (:meth:`Product.module_constraints`), or from a caller's own constraint
    object's ``to_constraint``.
    """
    request = product.request
    bnds = request.bnds
    if bnds is not None:
        retained = set(product.ids)
        bnds = {k: v for k, v in bnds.items() if k == "*" or k in retained}
    cons = request.cons
    if request.limits is not None:
        cons = getattr(optimizer, classification.CLASSES[request.limits.scheme])(request.limits.module_rules())
    prepared = {
        "start_date": product.start_date,
        "benchmark": product.benchmark_returns
        if request.method == OptimizeMethod.MIN_TRACKING_ERROR
        else request.benchmark,
        "instrument_type": product.instrument_type,
        "df": product.returns,
        "columns": list(product.ids),
        "c_m": product.covariance,
    }
    out = _engine.solve_scipy(
        *request.arguments(bnds=bnds, cons=cons), prepared=prepared, constraints=product.module_constraints()
    )
    weights = out["weights"]
    return np.array([weights[i] for i in product.ids], dtype=float), out["scipy"]
