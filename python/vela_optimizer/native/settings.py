"""The tolerances and limits of every native solve, in one object checked once."""

from __future__ import annotations

import contextlib
import contextvars
import dataclasses
import math
import numbers
import time
from dataclasses import dataclass

from .._blas import one_blas_thread
from ..exception import InvalidArgument

__all__ = [
    "ENGINE_MAX_ITERATION",
    "Settings",
    "Stopped",
    "as_real",
    "blas_threads",
    "daqp_time_limit",
    "out_of_time",
    "seconds_left",
    "settings_for",
    "time_budget",
]

# The compiled solvers count iterations in a C int: a larger max_iteration is no limit in
# practice, and is passed on to them as this one.
ENGINE_MAX_ITERATION = 2**31 - 1


@dataclass(frozen=True)
class Settings:
    """Tolerances and iteration limits of the native solvers (frozen; build another with
    :func:`dataclasses.replace`). Every field is checked when the object is made; a bad value
    raises :class:`~vela_optimizer.exception.InvalidArgument` naming the field.

    Attributes
    ----------
    max_iteration : int
        Interior-point iterations of a QP; coordinate sweeps plus Newton steps of plain risk
        parity; and, separately, the QPs of risk parity under limits. Reaching it gives
        ``status == "max_iteration"``.
        Every call of an inner solver is bounded by it as well: PIQP's iterations and DAQP's
        active-set iterations per QP.
    tol : float
        Risk parity under limits stops when a step changes no weight by more than this and the
        block structure is settled.
    time_limit : float or None
        Seconds a solve may take (None: no limit). Checked between the steps of a solve (the
        interior point's runs, the active-set rounds, every QP of risk parity) and passed to DAQP,
        which stops within it; a PIQP run cannot be stopped once started (its settings have no
        time limit), only not started. Reaching it gives ``status == "time_limit"`` with the last
        iterate (risk parity: the last feasible one).
    one_blas_thread : bool
        Hold BLAS to one thread during the dense algebra of a solve (see ``vela_optimizer._blas``).

    QP (minimum variance, mean-variance, minimum tracking error):

    eps_loose, eps : float
        The interior point's stopping tolerances on the scaled problem (absolute and relative;
        the scaled objective and weights are of order one). A first pass stops at ``eps_loose``,
        where the active set is plain in nearly every problem measured and the polish makes the
        answer exact; only when that polish fails does the interior point run again to ``eps``.
        ``eps_loose <= eps`` leaves the loose pass out.
    primal_tol : float
        A polished point is accepted when it breaks no bound or limit by more than this (weights)...
    dual_tol : float
        ...and no multiplier has the wrong sign by more than this, relative to the gradient's size.
    polish_rounds : int
        Active-set corrections tried by the polish.
    turnover_eps : float
        Under caps on what is bought and sold: the interior point's tolerance on the problem
        restricted to the guessed sides of the holdings, whose active set the active set over
        the weights and their holdings starts from (``eps`` when that fails). Looser than
        ``eps_loose`` leaves that active set too often unusable: the weights held at their
        holdings are many and their boxes narrow.
    turnover_rounds : int
        Active-set rounds over the weights and their holdings tried from each start.
    guess_rounds, guess_rounds_per : int
        Active-set rounds tried from the greedy vertex (mean-variance) before the interior point
        takes over: ``guess_rounds`` plus one per ``guess_rounds_per`` instruments. A round costs
        a KKT solve over the free weights: the cap keeps a failed guess to a fraction of the
        interior point's time while a vertex optimum (few free weights) is reached well inside
        it. ``guess_rounds = 0`` switches the guess off.
    small_n : int
        Up to this many free variables DAQP's dual active set is tried first (certified as the
        polish is): at 50 instruments it took a sixth of the interior point and polish's time.
    guess_min_n : int
        Below this many instruments the guess is not tried: the interior point is fast there and
        the guess was measured slower even when right.
    screen_min_n : int
        A factored covariance from this many instruments is first solved over the best
        ``screen_share`` of them by their gradient at equal weights, the others held at their
        floors, and that answer's active set is certified over all (:mod:`.qp.screen`); failing
        that, the whole problem is solved. 0 switches screening off.
    screen_share : float
        The share of the instruments the screened problem keeps (above 1: none screened out).
    turnover_screen_min_n, turnover_screen_share : int, float
        Under caps on what is bought and sold, from ``turnover_screen_min_n`` instruments the
        rebalance is first solved over the instruments held (or bound to trade) and the best
        ``turnover_screen_share`` of the others by their gradient at the holdings, the rest kept
        at their floors, and that answer is certified over all (:mod:`.qp.screen`); failing
        that, the whole problem is solved. 0 switches it off.
    sparse_ratio : float
        Least-squares form: the lifted sparse problem is posed for PIQP once the instruments
        outnumber the factor's rows by this much (measured faster there than the dense FᵀF form).
    wide_ratio : float
        Least-squares form: once the instruments outnumber the factor's rows by this much, the
        interior point whose Newton systems are of the size of the days and rows
        (:mod:`.qp.wide`, every bound finite, no caps on trades) is tried first. Against PIQP on
        the dense FᵀF form (131 days, bench/qp_problems.py, three seeds) it took 0.3–0.6 of the time
        at 400 and 500 instruments, and between 0.85 and 1.7 times at 300.
    wide_eps : float
        The tolerance that interior point stops at before the polish (its own measure: the rows
        and stationarity relative, the mean complementarity of the scaled problem absolute). At
        ``eps_loose`` the active set it reads on the market-size sample was one industry cap too
        many where the polish then took three rounds; one iteration later it took one.

    Risk parity:

    unconstrained_tol : float
        The unconstrained solve stops when ``max_i |x_i·(C·x)_i / 7.5 − 1|`` is at most this (or
        at the rounding floor of that product): contributions then agree to about 2e-12 relative.
    feasibility_tol : float
        An iterate under limits may break a bound or limit by at most this (weights summing to 1).
    squared_progress : float
        The squared-deviation phase (a starting point) stops once a step lowers ‖g‖² by less
        than this fraction.
    tied : float
        A block whose contributions differ by more than this (relative to their mean size) is
        not tied.
    reuse : int
        The factors of J serve up to this many further QPs while the model's predictions hold
        and the blocks keep changing; settling steps always refactor.
    chord_step : float
        ...but not after a step that moved no weight by more than this fraction of an average
        weight: there the blocks change by a few instruments at a time and a chord step is
        mostly rejected.
    tau_floor : float
        The prox weight τ of the spread phase shrinks after good steps, but not below this
        fraction of its start: a flatter QP gains nothing near a sharp minimum and makes the
        active-set solver cycle.
    trade_tau_floor : float
        ``tau_floor`` under caps on what is bought and sold: weights held at their holdings make
        many more variables of a block QP, which DAQP then fails to solve when it is flat. It
        holds while the blocks change; once a step leaves them as they were, ``tau_floor`` does.
    """

    max_iteration: int = 1000
    tol: float = 1e-8
    one_blas_thread: bool = True
    eps_loose: float = 1e-3
    eps: float = 1e-10
    primal_tol: float = 1e-11
    dual_tol: float = 1e-9
    polish_rounds: int = 8
    turnover_eps: float = 1e-6
    turnover_rounds: int = 30
    guess_rounds: int = 8
    guess_rounds_per: int = 25
    guess_min_n: int = 100
    small_n: int = 100
    screen_min_n: int = 500
    screen_share: float = 0.25
    turnover_screen_min_n: int = 200
    turnover_screen_share: float = 0.1
    sparse_ratio: float = 6.0
    wide_ratio: float = 3.0
    wide_eps: float = 1e-5
    unconstrained_tol: float = 1e-12
    feasibility_tol: float = 1e-12
    squared_progress: float = 0.1
    tied: float = 1e-9
    reuse: int = 3
    chord_step: float = 0.01
    tau_floor: float = 1e-6
    trade_tau_floor: float = 1e-2
    time_limit: float | None = None

    def __post_init__(self):
        for f in dataclasses.fields(self):
            kind = _KINDS[f.name]
            object.__setattr__(self, f.name, _CHECKS[kind](f.name, getattr(self, f.name)))


def _positive_integer(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise InvalidArgument(f"OPTIMIZER: {name} 必须为正整数，传入值为：{value}")
    return int(value)


def _count(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 0:
        raise InvalidArgument(f"OPTIMIZER: {name} 必须为非负整数，传入值为：{value}")
    return int(value)


def as_real(value) -> float:
    """``value`` as a float when it is a real number (not a bool), NaN otherwise; an integer too
    large for a float is +inf or -inf."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return math.nan
    try:
        return float(value)
    except OverflowError:
        return math.inf if value > 0 else -math.inf


def _positive(name, value):
    real = as_real(value)
    if not (math.isfinite(real) and real > 0):
        raise InvalidArgument(f"OPTIMIZER: {name} 必须为正数，传入值为：{value}")
    return real


def _nonnegative(name, value):
    # +inf is allowed: a ratio never reached.
    real = as_real(value)
    if not real >= 0:
        raise InvalidArgument(f"OPTIMIZER: {name} 必须为非负数，传入值为：{value}")
    return real


def _seconds(name, value):
    # None or +inf: no limit.
    if value is None:
        return None
    real = as_real(value)
    if not real > 0:
        raise InvalidArgument(f"OPTIMIZER: {name} 必须为正数（秒）或 None，传入值为：{value}")
    return None if math.isinf(real) else real


def _flag(name, value):
    if not isinstance(value, bool):
        raise InvalidArgument(f"OPTIMIZER: {name} 必须为 True 或 False，传入值为：{value}")
    return value


_CHECKS = {
    "positive integer": _positive_integer,
    "count": _count,
    "positive": _positive,
    "nonnegative": _nonnegative,
    "flag": _flag,
    "seconds": _seconds,
}
_KINDS = {
    "max_iteration": "positive integer",
    "tol": "positive",
    "time_limit": "seconds",
    "one_blas_thread": "flag",
    "eps_loose": "positive",
    "eps": "positive",
    "primal_tol": "positive",
    "dual_tol": "positive",
    "polish_rounds": "count",
    "turnover_eps": "positive",
    "turnover_rounds": "count",
    "guess_rounds": "count",
    "guess_rounds_per": "positive integer",
    "guess_min_n": "count",
    "small_n": "count",
    "screen_min_n": "count",
    "screen_share": "positive",
    "turnover_screen_min_n": "count",
    "turnover_screen_share": "positive",
    "sparse_ratio": "nonnegative",
    "wide_ratio": "nonnegative",
    "wide_eps": "positive",
    "unconstrained_tol": "positive",
    "feasibility_tol": "positive",
    "squared_progress": "nonnegative",
    "tied": "positive",
    "reuse": "count",
    "chord_step": "nonnegative",
    "tau_floor": "positive",
    "trade_tau_floor": "positive",
}


_DEFAULT = Settings()  # frozen: one instance serves every call without settings


def settings_for(settings=None, *, max_iteration=None, tol=None, tol_field="tol") -> Settings:
    """``settings`` (default: ``Settings()``) with a solver's own keywords put in, checked.

    ``max_iteration`` replaces ``Settings.max_iteration`` and ``tol`` the field ``tol_field``
    (``"tol"``, or ``"unconstrained_tol"`` for plain risk parity); None leaves a field as it is.
    A keyword is checked under its own name, by the rule of the field it replaces.
    """
    if settings is None:
        settings = _DEFAULT
    elif not isinstance(settings, Settings):
        raise InvalidArgument(f"OPTIMIZER: settings 必须为 Settings，传入值为：{settings!r}")
    given = {}
    if max_iteration is not None:
        given["max_iteration"] = _CHECKS[_KINDS["max_iteration"]]("max_iteration", max_iteration)
    if tol is not None:
        given[tol_field] = _CHECKS[_KINDS[tol_field]]("tol", tol)
    return dataclasses.replace(settings, **given) if given else settings


def blas_threads(settings: Settings):
    """The context a solve's dense algebra runs in: BLAS on one thread unless the settings say not."""
    return one_blas_thread() if settings.one_blas_thread else contextlib.nullcontext()


class Stopped(Exception):
    """Raised inside a solve when an inner solver reached its iteration or time limit: ``status``
    (``"max_iteration"`` or ``"time_limit"``) and what it was doing (``what``), for the solve to
    return its last iterate with."""

    def __init__(self, status, what):
        super().__init__(what)
        self.status, self.what = status, what


# The end of the solve under way in this thread (time.monotonic()), inf without a time limit.
_END = contextvars.ContextVar("vela_native_deadline", default=math.inf)


@contextlib.contextmanager
def time_budget(settings: Settings):
    """The solve's clock: ``settings.time_limit`` seconds from now, or what is left of an enclosing
    solve's (a solve inside another, such as risk parity's start, shares its deadline)."""
    end = _END.get()
    if settings.time_limit is not None:
        end = min(end, time.monotonic() + settings.time_limit)
    token = _END.set(end)
    try:
        yield
    finally:
        _END.reset(token)


def seconds_left() -> float:
    """Seconds left to the solve under way (inf without a time limit; 0 once it has passed)."""
    return max(_END.get() - time.monotonic(), 0.0)


def daqp_time_limit() -> float:
    """What is left of the solve's time limit as DAQP's ``time_limit`` reads it (0 is none)."""
    left = seconds_left()
    return 0.0 if math.isinf(left) else max(left, 1e-9)


def out_of_time() -> bool:
    """Whether the solve under way has reached its time limit."""
    return time.monotonic() >= _END.get()
