"""The package's optimisation: a checked request, the shared pipeline, then an exact native solve
or the scipy path's.

Both solvers run the same request checks and the same pipeline (client calls, screening and its
warnings, bounds, group limits, covariance); the limits are checked for a portfolio that meets
them all before either solves. A caller's own constraint object (a class with its own records)
cannot be read as linear limits: that call is solved by the scipy path, so its constraints are
honoured.
"""

from __future__ import annotations

import functools

import numpy as np
import pandas as pd

from . import feasibility, metrics, native, pipeline, rebalance
from .exception import InvalidArgument, OptimizationFailed
from .optimizer import OptimizeMethod
from .pipeline import Product, Stages
from .request import DEFAULTS, SOLVERS, check_solver, from_arguments  # noqa: F401  (SOLVERS, check_solver: API)
from .result import Lazy, OptimizeResult

DEFAULT_WINDOW = DEFAULTS["window"]
DEFAULT_MAX_ITERATION = DEFAULTS["max_iteration"]
DEFAULT_TOL = DEFAULTS["tol"]

# The native solvers certify feasibility to about 1e-11; an answer off by more is refused.
_FEASIBILITY_TOL = 1e-9


def _tracking_rows(product: Product) -> tuple[np.ndarray, np.ndarray]:
    R = product.returns.to_numpy(dtype=float)
    b = np.asarray(product.benchmark_returns, dtype=float)
    if b.shape != (R.shape[0],):
        raise ValueError(f"the benchmark has {b.size} returns for {R.shape[0]} days")
    return R, b


def _objective(product: Product, Cw, w, mu) -> float:
    """The method's objective at ``w``, given ``Cw`` = C·w."""
    method = product.request.method
    if method == OptimizeMethod.MIN_VARIANCE:
        return float(w @ Cw)
    if method == OptimizeMethod.MEAN_VARIANCE:
        return float(product.request.risk_aversion / 2 * (w @ Cw) - w @ mu)
    if method == OptimizeMethod.MIN_TRACKING_ERROR:
        R, b = _tracking_rows(product)
        keep = np.isfinite(b) & np.isfinite(R).all(axis=1)
        d = b[keep] - R[keep] @ w
        return float(d @ d)
    return metrics.pairwise_spread(w * Cw)


class IterationLimitReached(OptimizationFailed):
    """A native solve stopped at ``max_iteration`` before converging (the scipy path returns its
    last iterate instead)."""

    def __init__(self, max_iteration: int):
        self.max_iteration = max_iteration
        super().__init__(f"OPTIMIZER: 达到最大迭代次数 {max_iteration} 仍未收敛")

    def __reduce__(self):
        return type(self), (self.max_iteration,)

    def describe(self) -> str:
        """One English line, for the commands."""
        return (
            f"the native solve reached the iteration limit ({self.max_iteration}) without converging: "
            "raise --max-iteration"
        )


class TimeLimitReached(OptimizationFailed):
    """A native solve stopped at ``time_limit`` (seconds) before converging; ``detail`` says where."""

    def __init__(self, time_limit: float, detail: str):
        self.time_limit, self.detail = time_limit, detail
        super().__init__(f"OPTIMIZER: 达到时间上限 {time_limit} 秒仍未收敛（{detail}）")

    def __reduce__(self):
        return type(self), (self.time_limit, self.detail)

    def describe(self) -> str:
        """One English line, for the commands."""
        return (
            f"the native solve reached the time limit ({self.time_limit:g} s) without converging "
            f"({self.detail}): give a longer --time-limit"
        )


def _not_converged(max_iteration) -> OptimizationFailed:
    return IterationLimitReached(max_iteration)


def _native_solve(product: Product, limits):
    """(weights, iterations, zeros) from the exact native solver of the request's method; None for a
    covariance the native solvers do not take (the scipy path then solves).

    With part of a held portfolio kept outside the optimisation (budget s < 1) the solve is over
    x = w / s, whose limits are ``limits.scaled(s)`` and budget 1: the variance and the risk
    contributions scale by s² (same minimiser), mean-variance's λ/2·s²·xᵀCx − s·μᵀx is s times
    its problem with λ·s, and the tracking error's returns are s·R.
    """
    request = product.request
    method = request.method
    # The tracking error's solve reads the returns, not the covariance (formed only if read).
    C = None if method == OptimizeMethod.MIN_TRACKING_ERROR else product.native_covariance[0]
    if isinstance(C, np.ndarray) and not np.isfinite(C).all():
        return None  # a covariance with missing entries: leave it to the scipy path
    s = float(limits.hi[-1])
    extra = {}
    if method == OptimizeMethod.MEAN_VARIANCE:
        extra = dict(mu=product.returns.mean().to_numpy(dtype=float), risk_aversion=float(request.risk_aversion) * s)
    elif method == OptimizeMethod.MIN_TRACKING_ERROR:
        R, b = _tracking_rows(product)
        extra = dict(R=R * s, b=b)
    settings = native.Settings(max_iteration=request.max_iteration, tol=request.tol, time_limit=request.time_limit)
    sol = native.solve(method, C, None if request.plain_risk_parity else limits.scaled(s), settings, **extra)
    if sol.status == native.MAX_ITERATION:
        raise _not_converged(request.max_iteration)
    if sol.status == native.TIME_LIMIT and request.time_limit is not None:  # only a limit given stops a solve
        raise TimeLimitReached(request.time_limit, sol.message)
    if not sol.converged:
        raise OptimizationFailed(f"OPTIMIZER: 求解失败（{sol.status}）")
    w = sol.x * s
    # Weights that break a limit are never returned: a limit honoured only in name is the worst
    # fault an optimiser can have.
    broken = limits.violation(w)
    if broken > _FEASIBILITY_TOL:
        raise OptimizationFailed(f"OPTIMIZER: 求解结果违反约束 {broken:.3g}（{sol.solver}）")
    return w, sol.iterations, [(product.ids[k], why) for k, why in sol.zeros]


def _covariance_of(product: Product, solver: str):
    """(the covariance the solve used, as the result gives it: a DataFrame or a :class:`Lazy` of one;
    C as the solve read it; the ids whose block was raised)."""
    if solver != "native":
        return product.covariance, product.covariance.to_numpy(dtype=float), []
    C, raised = product.native_covariance
    if isinstance(C, np.ndarray) and not raised:
        return product.covariance, C, []
    ids = pd.Index(list(product.ids), dtype=object)
    dense = C.dense if not isinstance(C, np.ndarray) else C.copy
    return Lazy(lambda: pd.DataFrame(dense(), index=ids, columns=ids.copy())), C, raised


def _result(
    product: Product, limits, x, solver: str, iterations: int, converged: bool, stages: Stages, zeros=()
) -> OptimizeResult:
    request = product.request
    ids = list(product.ids)
    index = pd.Index(ids, dtype=object)
    mu = product.returns.mean() if request.method == OptimizeMethod.MEAN_VARIANCE else None
    risk, Cx = _risk_fields(product, solver, x, index)
    return OptimizeResult(
        weights=pd.Series(x, index=index, name="weight"),
        method=request.method,
        solver=solver,
        date=request.date,
        trading_date=product.trading_date,
        start_date=product.start_date,
        window=int(request.window),
        instrument_type=product.instrument_type,
        retained=ids,
        dropped=list(product.dropped),
        ignored_bounds=list(product.bounds.ignored),
        returns=product.returns,
        expected_returns=mu,
        benchmark_returns=product.benchmark_returns,
        objective=_objective(product, Cx, x, None if mu is None else mu.to_numpy(dtype=float)),
        iterations=iterations,
        converged=converged,
        timings=stages.timings,
        bounds=product.bounds,
        limits=request.limits,
        groups=list(product.groups),
        unused_limits=list(product.idle),
        stale_funds=dict(product.stale),
        labels=product.labels,
        linear_limits=limits,
        zeros=list(zeros),
        **risk,
        **_rebalancing(product, x),
    )


def _risk_fields(product: Product, solver: str, x, index) -> tuple:
    """(the result's covariance, risk contributions, volatility and raised ids; C·x, or None where
    those fields are left to be formed when first read). The tracking error's solve never reads
    the covariance: for it they wait for a caller who reads one of them (the covariance of
    thousands of instruments is the costliest step of its call), and its objective needs no C·x."""

    def formed():
        covariance, C, raised = _covariance_of(product, solver)
        Cx = C @ x
        return covariance, Cx, float(x @ Cx), raised

    def fields(covariance, Cx, variance, raised):
        return dict(
            covariance=covariance,
            risk_contributions=pd.Series(x * Cx, index=index, name="risk_contribution"),
            volatility=float(np.sqrt(variance)) if variance >= 0 else float("nan"),
            covariance_raised=raised,
        )

    if product.request.method != OptimizeMethod.MIN_TRACKING_ERROR:
        found = formed()
        return fields(*found), found[1]
    once = functools.cache(lambda: fields(*formed()))

    def field_of(name):
        value = once()[name]
        return value.make() if isinstance(value, Lazy) else value

    names = ("covariance", "risk_contributions", "volatility", "covariance_raised")
    return {name: Lazy(functools.partial(field_of, name)) for name in names}, None


def _rebalancing(product: Product, x) -> dict:
    """The result's rebalancing fields: holdings, what was traded, what the rules kept from trading."""
    plan = product.rebalance
    if plan is None:
        return {}
    return dict(
        holdings=dict(plan.holdings),
        kept=dict(plan.kept),
        sold_outside=dict(plan.sold),
        kept_labels={oid: label for label, (_, ids) in product.kept_in_groups.items() for oid in ids},
        untradable=list(plan.untradable),
        **rebalance.trades(plan, product.ids, x),
        rebalance_notes=list(plan.notes),
        eased_bounds=dict(plan.eased),
        eased_groups={g[0]: (float(g[2]), float(g[3])) for g in product.group_limits() if g[0] in plan.groups},
    )


_D = DEFAULTS


def optimize(
    order_book_ids,
    date,
    method=_D["method"],
    bnds=_D["bnds"],
    cons=_D["cons"],
    cov_shrinkage=_D["cov_shrinkage"],
    benchmark=_D["benchmark"],
    risk_aversion_coefficient=_D["risk_aversion_coefficient"],
    window=_D["window"],
    max_iteration=_D["max_iteration"],
    tol=_D["tol"],
    quiet=_D["quiet"],
    *,
    solver="native",
    holdings=None,
    max_turnover=None,
    trading_rules=True,
    time_limit=None,
    progress=None,
    invest_within_cap=False,
) -> OptimizeResult:
    """Optimise and return everything the optimisation produced.

    Parameters are those of :func:`vela_optimizer.portfolio_optimize`, plus ``progress``, a
    callable ``progress(stage, info)`` called as each stage starts: "window", "benchmark"
    (tracking error only), "instruments", "prices", "screening" (info: ``{"retained": [...],
    "dropped": [(id, reason), ...]}``, reported before a failing count check), "covariance",
    "bounds", "constraints", "benchmark" (another method with a benchmark), "trading rules"
    (with holdings), "feasibility", "solve", "done".

    ``invest_within_cap=True`` (with a turnover cap): when the cash held, with the forced sales of
    held ids outside the universe, is more than the cap lets the buys invest, the weights sum to
    what the cap can reach (the holdings plus the cap) and the rest stays in cash, with a note in
    ``rebalance_notes``; by default that is a ``LimitConflict`` naming the turnover cap. A backtest
    passes it: the cash its whole lots leave must not stop every later rebalancing.
    Held ids outside the universe worth more than the cap are then sold as far as the cap allows,
    the largest first (:func:`vela_optimizer.rebalance.sold_within`), and the rest is kept outside
    the optimisation (``kept``, counted in its group's limits) with a note naming it; by default
    that is a :class:`vela_optimizer.rebalance.ForcedSalesConflict`. A backtest's later dates sell
    more of it: a name that left its universe for good must not freeze the run.

    The request is checked before any data is read: the solver, the numeric arguments, every
    bound and group rule as given, and each group label against the store's classification (a
    Shenwan industry by name or by index code). Before either solver runs, the bounds, group
    limits and budget are checked for a portfolio that satisfies them all; when there is none,
    :class:`vela_optimizer.feasibility.LimitConflict` (an ``InvalidArgument``) names a smallest set
    of limits in conflict. A cap on a label no retained instrument carries limits nothing and is
    reported in ``unused_limits``; a floor above 0 there is a conflict.

    Returns
    -------
    OptimizeResult

    Raises
    ------
    InvalidArgument
        For arguments the caller can correct (as the module's own ``portfolio_optimize``), an
        unknown ``solver``, ids given as one string, an id or a benchmark that is not text, one
        id in two forms (``600000.SH`` and ``600000.XSHG``), a date in no accepted form
        (:class:`vela_optimizer.request.InvalidDate`) or that the store's calendar cannot serve
        (:class:`vela_optimizer.request.DateOutsideCalendar`; for a day past the store's last day
        with prices its :class:`vela_optimizer.request.DateAfterPrices`), a risk aversion that is not a
        number, ``cov_shrinkage``, ``quiet`` or ``trading_rules`` other than True or False, a
        ``cons`` that is no constraint object (a list of them, a bare dict), a
        ``progress`` that cannot be called, an unknown group label (:class:`vela_optimizer.request.UnknownLabel`),
        limits of the wrong kind for the instruments, or limits that admit no portfolio.
    OptimizationFailed
        When the scipy path's solve is not accepted, or the native solve stops at
        ``max_iteration`` without meeting its tolerance.
    """
    if progress is not None and not callable(progress):
        # checked before any data is read: it failed at the first stage, after the request's checks
        raise InvalidArgument(
            f"OPTIMIZER: progress 必须是可调用对象 progress(stage, info) 或 None，传入值为：{progress!r}"
        )
    request = from_arguments(
        order_book_ids,
        date,
        method,
        bnds,
        cons,
        cov_shrinkage,
        benchmark,
        risk_aversion_coefficient,
        window,
        max_iteration,
        tol,
        quiet,
        solver=solver,
        holdings=holdings,
        max_turnover=max_turnover,
        trading_rules=trading_rules,
        time_limit=time_limit,
        invest_within_cap=invest_within_cap,
    )
    return solve(request, progress)


def solve(request, progress=None) -> OptimizeResult:
    """:func:`optimize` for a checked :class:`vela_optimizer.request.Request`."""
    stages = Stages(progress)
    product = pipeline.run(request, stages)
    limits = product.limits()
    stages("feasibility")
    plan = product.rebalance
    try:
        _check_limits(product, limits)
    except feasibility.LimitConflict:
        # the budget is lowered only where the limits, the turnover cap among them, miss it
        lowered = rebalance.within_cap(plan, limits) if plan is not None and request.invest_within_cap else plan
        if lowered is plan:
            raise
        product = product.replaced(rebalance=lowered)
        limits = product.limits()
        _check_limits(product, limits)
    stages("solve")
    answer = None
    if request.solver == "native" and not request.own_constraint:
        answer = _native_solve(product, limits)
    if answer is not None:
        x, iterations, zeros = answer
        result = _result(product, limits, np.asarray(x, dtype=float), "native", iterations, True, stages, zeros)
    else:
        x, info = pipeline.solve_scipy(product)
        result = _result(product, limits, x, "scipy", int(info.get("nit") or 0), bool(info.get("success")), stages)
    stages("done")
    return result


def _check_limits(product: Product, limits) -> None:
    plan = product.rebalance
    feasibility.check_limits(
        limits,
        screened_out=[d.id for d in product.dropped],
        sold_outside=plan.sold if plan is not None else None,
        kept=product.kept_in_groups,
    )


def portfolio_optimize(
    order_book_ids,
    date,
    method=_D["method"],
    bnds=_D["bnds"],
    cons=_D["cons"],
    cov_shrinkage=_D["cov_shrinkage"],
    benchmark=_D["benchmark"],
    risk_aversion_coefficient=_D["risk_aversion_coefficient"],
    window=_D["window"],
    max_iteration=_D["max_iteration"],
    tol=_D["tol"],
    quiet=_D["quiet"],
    *,
    solver="native",
    holdings=None,
    max_turnover=None,
    trading_rules=True,
    time_limit=None,
) -> dict:
    """Portfolio weights of the retained instruments, ``{order_book_id: weight}``.

    Parameters
    ----------
    order_book_ids : list of str
        Instruments: all stocks, or all funds. Ids with the exchanges' short suffixes
        (``600000.SH``, ``000001.SZ``, ``430047.BJ``, any letter case) are read as the store's
        (``600000.XSHG``, ``000001.XSHE``, ``430047.BJSE``): results are keyed by the store's ids,
        and one instrument given in two forms is refused.
    date : str, int, datetime.date, datetime.datetime, pandas.Timestamp or numpy.datetime64
        Last day of the estimation window: 'YYYY-MM-DD' or 'YYYYMMDD' text, an int YYYYMMDD, or
        a date (a datetime, Timestamp or datetime64 of any unit as its calendar day). Any other
        form, a day that does not exist, NaT, a day the store's calendar cannot serve with
        ``window`` trading days before it, or one past the store's last day with prices is
        refused (``InvalidArgument``).
    method : OptimizeMethod
        ``RISK_PARITY`` (default), ``MIN_VARIANCE``, ``MEAN_VARIANCE`` or ``MIN_TRACKING_ERROR``.
    bnds : dict, optional
        Per-instrument ``(lower, upper)`` weight bounds, keyed by id or ``"*"`` for every other one.
    cons : GICSConstraint, ShenWanConstraint or FundTypeConstraint, optional
        Group limits ``{label: (lower, upper)}`` on total weights. Labels are checked against the
        store's classification; a Shenwan industry may be named by its name or its index code.
    cov_shrinkage : bool
        Shrink the covariance towards a constant-correlation target (default) or use the sample one.
    benchmark : str, optional
        Benchmark id, required by ``MIN_TRACKING_ERROR`` (``000300.SH`` is read as 000300.XSHG).
    risk_aversion_coefficient : float
        λ of mean-variance, ``λ/2·wᵀCw − μᵀw`` with C and μ daily: λ is in units of 1 / daily
        return, so λ = 1 weighs a daily variance of 1e-4 like a mean daily return of 5e-5.
    window : int
        Trading days of history ending on ``date``.
    max_iteration : int
        Iteration limit of the solve.
    tol : float
        The scipy path's accuracy goal (SLSQP's ftol); for native risk parity under limits, the
        weight change below which its successive convex approximation stops.
    quiet : bool
        Silence the screening notices.
    solver : {"native", "scipy"}
        ``"native"`` (default): solved exactly by the native solvers. ``"scipy"``: the module's
        own SLSQP / L-BFGS-B solve of the same inputs (the weights of
        ``vela_optimizer.optimizer.portfolio_optimize`` bit for bit, after the package's checks).
    holdings : dict or pandas.Series, optional
        Current weights ``{id: weight}`` (a Series such as a result's ``weights`` too; fractions
        of the portfolio's value, at least 0, summing to at most 1; the rest is cash): the
        optimisation rebalances this portfolio. Held ids outside the universe, or removed by
        screening, are sold when the day's rules allow.
    max_turnover : float, optional
        Cap on the one-way turnover, max(total bought, total sold), as a fraction of the value
        (from 0 to 2). Every method honours it exactly, the native solvers only.
    trading_rules : bool
        With holdings (default True; numpy's booleans, 0 and 1 are taken as such): on the
        trading day a suspended stock keeps its weight, one at its up-limit is not bought, one
        at its down-limit not sold; a held id that must be sold but cannot be keeps its weight
        and the rest of the portfolio sums to 1 less it.
    time_limit : float, optional
        Seconds the native solve may take; past them it stops and raises ``OptimizationFailed``
        (every inner solver call is bounded by it and by ``max_iteration``).

    Returns
    -------
    dict
        Weight per retained id (and per held id kept outside the optimisation); ids screening
        removed are absent.

    Raises
    ------
    InvalidArgument, OptimizationFailed
        As :func:`optimize`.
    """
    return optimize(
        order_book_ids,
        date,
        method,
        bnds,
        cons,
        cov_shrinkage,
        benchmark,
        risk_aversion_coefficient,
        window,
        max_iteration,
        tol,
        quiet,
        solver=solver,
        holdings=holdings,
        max_turnover=max_turnover,
        trading_rules=trading_rules,
        time_limit=time_limit,
    ).to_dict()
