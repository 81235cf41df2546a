"""One request: what an optimisation is asked for, checked once, whoever asks.

The package-level ``optimize`` / ``portfolio_optimize`` and both commands build the same
:class:`Request`: arguments (or command-line options) in, a validated request out. A refusal is
written here once: an :class:`vela_optimizer.exception.InvalidArgument` whose ``str`` is a line in
the module's style and whose :meth:`Refusal.describe` is the one English line a command prints.

Checked here, before any price is read: the solver, the ids and the benchmark (read as the
store's ids: ``600000.SH`` is 600000.XSHG), the date's form, the numeric arguments (the module's
own opening checks), every bound as given, every group rule as given, and the labels the rules name
against the store's classification (a Shenwan industry by name or by code). What can only be
checked against the instruments (the kind of limit for stocks or funds, labels that no retained
instrument carries) is checked by the pipeline with the same exceptions.
"""

from __future__ import annotations

import datetime
import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import pandas as pd

from veladatac import store_id, to_date
from veladatac.errors import CalendarRangeError

from . import classification, native, optimizer, universe
from .classification import CLASSES, KINDS, NOUNS, NOUNS_ZH
from .exception import InvalidArgument
from .optimizer import OptimizeMethod
from .phrases import either, plural, some, weight_sum
from .universe import UsageError

SOLVERS = ("native", "scipy")

# A bound's or a rule's side out of range, as the English line says it.
NOT_A_FRACTION = "is not a fraction from 0 to 1"

# The date forms the market-data client reads (veladatac.to_date), as refusals name them.
# numpy.datetime64 is read here, not by the client (its own reader, and so the module, refuses it).
DATE_FORMS = (
    "'YYYY-MM-DD' 或 'YYYYMMDD' 文本、整数 YYYYMMDD、datetime.date、datetime.datetime、pandas.Timestamp "
    "或 numpy.datetime64"
)

# The module's own defaults, read from its portfolio_optimize: every entry point shares them.
PARAMS = (
    "method",
    "bnds",
    "cons",
    "cov_shrinkage",
    "benchmark",
    "risk_aversion_coefficient",
    "window",
    "max_iteration",
    "tol",
    "quiet",
)
DEFAULTS = dict(zip(PARAMS, optimizer.portfolio_optimize.__defaults__ or ()))


def _engine():
    import importlib

    # Importing the extension (above) registers its private engine module.
    return importlib.import_module(f"{__package__}._engine")


# ---------------------------------------------------------------- refusals


class Refusal(InvalidArgument):
    """A request that cannot be served as asked. ``str``: the module-style line; :meth:`describe`:
    one English line, naming the command-line option when one is given."""

    scheme: str = ""

    def describe(self, option: str | None = None) -> str:
        """One English line; ``option`` (e.g. ``"--gics"``) names where the limits were given."""
        return str(self)

    def _where(self, option):
        return option or CLASSES[self.scheme]


class Worded(Refusal):
    """A refusal whose English line is given beside its module-style one (a bound or rule out of
    range, a date the calendar cannot serve ...): the API keeps raising the module's text, and a
    command prints :meth:`describe`.

    Attributes
    ----------
    line : str
        The English line, without the option it came from.
    scheme : str
        For a group rule, its scheme (``"gics"`` ...), so that a command names its option; else "".
    """

    def __init__(self, text: str, line: str, scheme: str = ""):
        self.line, self.scheme = line, scheme
        super().__init__(text)

    def __reduce__(self):
        return type(self), (str(self), self.line, self.scheme)

    def describe(self, option=None) -> str:
        """The English line, after ``option`` when one is given."""
        return f"{option}: {self.line}" if option else self.line


class UnknownLabel(Refusal):
    """Group limits name labels the store's classification does not know.

    Attributes
    ----------
    scheme : str
        ``"gics"``, ``"shenwan"`` or ``"fund_type"``.
    unknown : list of (label, list of str)
        Each unknown label as given, with up to three labels it may have meant.
    """

    def __init__(self, scheme: str, unknown):
        self.scheme, self.unknown = scheme, [(label, list(near)) for label, near in unknown]
        parts = [
            f"{label} 不存在" + (f"（是否为 {'、'.join(near)}？）" if near else "") for label, near in self.unknown
        ]
        super().__init__(f"OPTIMIZER: {CLASSES[scheme]} 中的{NOUNS_ZH[scheme]} {'；'.join(parts)}")

    def __reduce__(self):
        return type(self), (self.scheme, self.unknown)

    def describe(self, option=None) -> str:
        """The unknown labels with close matches, as one English line."""
        parts = [
            f"'{label}'" + (f" (did you mean {either([repr(n) for n in near])}?)" if near else "")
            for label, near in self.unknown
        ]
        return f"{self._where(option)}: unknown {NOUNS[self.scheme]} {', '.join(parts)}"


class LimitKindMismatch(Refusal):
    """Limits of a scheme that does not classify the instruments (fund types on stocks, sectors on funds).

    Attributes
    ----------
    scheme : str
    kind : str
        The instruments' kind, ``"stock"`` or ``"fund"``.
    ids : list of str
    """

    def __init__(self, scheme: str, kind: str, ids):
        self.scheme, self.kind, self.ids = scheme, kind, list(ids)
        wanted = {"stock": "股票", "fund": "基金"}
        super().__init__(
            f"OPTIMIZER: {CLASSES[scheme]} 只适用于{wanted[KINDS[scheme]]}，而传入的合约是"
            f"{wanted[kind]}：{some(self.ids, 5)}"
        )

    def __reduce__(self):
        return type(self), (self.scheme, self.kind, self.ids)

    def describe(self, option=None) -> str:
        """The scheme, the kind it classifies and the instruments it cannot, as one English line."""
        wanted = KINDS[self.scheme]
        return (
            f"{self._where(option)} limits apply to {wanted}s, and no id of the universe is a {wanted}: "
            f"{plural(len(self.ids), self.kind)} lack a {NOUNS[self.scheme]} ({some(self.ids)})"
        )


class RepeatedLabel(Refusal):
    """Two rules of one scheme name the same label (a Shenwan industry by its name and by its code).

    Attributes
    ----------
    scheme : str
    label : str
        The label both rules name.
    given : list of str
        The rules' labels as given.
    """

    def __init__(self, scheme: str, label, given):
        self.scheme, self.label, self.given = scheme, label, list(given)
        super().__init__(
            f"OPTIMIZER: {CLASSES[scheme]} 对{NOUNS_ZH[scheme]} {label} 的约束给出了两次"
            f"（{'、'.join(map(str, self.given))}）"
        )

    def __reduce__(self):
        return type(self), (self.scheme, self.label, self.given)

    def describe(self, option=None) -> str:
        """The label limited twice, as one English line."""
        again = " and ".join(map(str, self.given)) if any(g != self.label for g in self.given) else ""
        return f"{self._where(option)}: the limit on {self.label} is given twice" + (f" (as {again})" if again else "")


def shown_date(value) -> str:
    """A date as a message shows it: a date, datetime or Timestamp as its text (2026-11-30), anything
    else by its repr (text in quotes, so that '2026-11-30 ' shows its space)."""
    return str(value) if isinstance(value, datetime.date) else repr(value)


class InvalidDate(InvalidArgument, ValueError):
    """A date that is none of the accepted forms, or a day that does not exist.

    Also a ``ValueError`` (and :class:`DateOfWrongType` a ``TypeError``), as the client's own
    refusals were when such a date reached it.

    Attributes
    ----------
    value
        The date as given.
    what : str
        The argument's name (``"date"``, ``"start"`` ...).
    """

    def __init__(self, value, what: str = "date"):
        self.value, self.what = value, what
        super().__init__(f"OPTIMIZER: {what} 不是有效日期，传入值为：{value!r}（可用的形式：{DATE_FORMS}）")

    def __reduce__(self):
        return type(self), (self.value, self.what)

    def describe(self, option=None) -> str:
        """One English line: the value and the forms a date is read in."""
        return f"{self.what} {self.value!r} is not a date (give 'YYYY-MM-DD' or 'YYYYMMDD')"


class DateOfWrongType(InvalidDate, TypeError):
    """A date of a type no entry point reads (None, a float, bytes ...)."""


class DateOutsideCalendar(InvalidArgument, CalendarRangeError):
    """A date past either end of the store's trading calendar, or whose window of ``window`` trading
    days would start before its first day. Also the client's ``CalendarRangeError``, which such a
    date raised when it reached the client.

    Attributes
    ----------
    value
        The date as given.
    what : str
    window : int
        Trading days that must precede the date (0: the date itself must be in the calendar).
    span : tuple of datetime.date or None
        The calendar's first and last day, when the client tells them.
    """

    def __init__(self, value, what: str = "date", window: int = 0, span=None):
        self.value, self.what, self.window, self.span = value, what, window, span
        where = f"（数据的交易日历为 {span[0]} 至 {span[1]}）" if span else ""
        if window:
            text = f"{what} {shown_date(value)} 之前的交易日不足 window={window} 天{where}"
        else:
            text = f"{what} {shown_date(value)} 不在数据的交易日历内{where}"
        super().__init__(f"OPTIMIZER: {text}")

    def __reduce__(self):
        return type(self), (self.value, self.what, self.window, self.span)

    def describe(self, option=None) -> str:
        """One English line: the date, the window it lacks, and the calendar's span when known."""
        where = f" ({self.span[0]} .. {self.span[1]})" if self.span else ""
        day = shown_date(self.value)
        if self.window:
            return (
                f"{self.what} {day} has fewer than window={self.window} trading days before it in the "
                f"store's trading calendar{where}"
            )
        return f"{self.what} {day} is outside the store's trading calendar{where}"


class DateAfterPrices(DateOutsideCalendar):
    """A date inside the store's calendar whose trading day comes after the store's last day with
    prices (an imported store's calendar runs on past its last bars): a window ending there would
    end on stale prices, carried forward or missing. A :class:`DateOutsideCalendar`, so that
    callers catching that (or the client's ``CalendarRangeError``) keep working.

    Attributes
    ----------
    value, what, span
        As :class:`DateOutsideCalendar` (``window`` is 0).
    prices : tuple of datetime.date
        The store's first and last day with prices (a close or a net value).
    """

    def __init__(self, value, what: str = "date", prices=None, span=None):
        self.value, self.what, self.window, self.span, self.prices = value, what, 0, span, prices
        InvalidArgument.__init__(
            self,
            f"OPTIMIZER: {what} {shown_date(value)} 晚于数据中最后一个有价格的交易日 {prices[1]}"
            f"（数据的价格为 {prices[0]} 至 {prices[1]}）",
        )

    def __reduce__(self):
        return type(self), (self.value, self.what, self.prices, self.span)

    def describe(self, option=None) -> str:
        """One English line: the date, and the store's last day with prices."""
        first, last = self.prices
        return (
            f"{self.what} {shown_date(self.value)} is past the store's last day with prices, {last} "
            f"(the store has prices for {first} .. {last})"
        )


# ---------------------------------------------------------------- checks


def check_solver(solver) -> None:
    """Refuse a solver other than ``"native"`` or ``"scipy"`` (InvalidArgument naming the choices)."""
    if not isinstance(solver, str) or solver not in SOLVERS:
        raise InvalidArgument(f"OPTIMIZER: solver 只能是 'native' 或 'scipy'，传入值为：{solver}")


def _real(x) -> bool:
    return isinstance(x, numbers.Real) and not isinstance(x, bool)


def _pair(value, what: str) -> tuple:
    try:
        low, high = value
    except (TypeError, ValueError):
        raise InvalidArgument(f"OPTIMIZER: {what} 的上下限必须是两个数 (下限, 上限)，传入值为：{value!r}") from None
    if not (_real(low) and _real(high)):
        raise InvalidArgument(f"OPTIMIZER: {what} 的上下限必须是两个数 (下限, 上限)，传入值为：{value!r}")
    return low, high


def read_date(value, what: str = "date") -> datetime.date:
    """``value`` as a date, read as the client reads it, and a ``numpy.datetime64`` of any unit as
    its calendar day (:data:`DATE_FORMS`).

    Raises
    ------
    InvalidDate
        Text or an int not of the accepted form, a day that does not exist, NaT (pandas' or
        numpy's).
    DateOfWrongType
        A value of no accepted type.
    """
    if isinstance(value, np.datetime64):
        return _day_of(value, what)
    try:
        return to_date(value, what)
    except TypeError:
        raise DateOfWrongType(value, what) from None
    except ValueError:
        raise InvalidDate(value, what) from None


def _day_of(value: np.datetime64, what: str) -> datetime.date:
    """The calendar day of a ``numpy.datetime64`` (the time of day dropped, as for a datetime; a
    coarser unit, a month or a year, is its first day)."""
    if np.isnat(value):
        raise InvalidDate(value, what)
    # to days first: .item() of a unit finer than microseconds is an int of nanoseconds, not a date
    day = value.astype("datetime64[D]").item()
    if not isinstance(day, datetime.date):  # outside years 1..9999: not a day any calendar holds
        raise InvalidDate(value, what)
    return day


def as_given(value, what: str = "date"):
    """``value`` as the entry points pass a date on: a ``numpy.datetime64`` as its calendar day (a
    ``datetime.date``: the client, and so the module, read no datetime64), any other value as
    given, so that a refusal names it as the caller wrote it."""
    return read_date(value, what) if isinstance(value, np.datetime64) else value


def check_in_calendar(value, client, what: str = "date", window: int = 0) -> None:
    """Refuse a date past either end of ``client``'s trading calendar, or one with fewer than
    ``window`` trading days before it there (:class:`DateOutsideCalendar`). ``value`` is a date in
    an accepted form; only the calendar is read (``trading_date_offset``)."""
    try:
        client.trading_date_offset(value, -window)
    except CalendarRangeError:
        pass
    else:
        return
    if window:
        try:
            client.trading_date_offset(value, 0)
        except CalendarRangeError:
            window = 0  # the day itself is outside: say that, not that the window is short
    raise DateOutsideCalendar(value, what, window, _calendar_span(client))


def check_priced(value, client, what: str = "date") -> None:
    """Refuse a date whose trading day comes after the last day with prices of ``client``'s store
    (:class:`DateAfterPrices`). A date outside the calendar is left to :func:`check_in_calendar`,
    and a client without a catalogue (one serving only the query operations) is not asked."""
    extent = getattr(getattr(client, "catalog", None), "extent", None)
    if not callable(extent):
        return
    found = extent()
    if found.data_last is None:
        return
    try:
        # a non-trading day's window ends on the trading day before it, which may have prices
        day = to_date(client.trading_date_offset(read_date(value, what), 0), what)
    except CalendarRangeError:
        return
    if day > found.data_last:
        raise DateAfterPrices(
            value, what, (found.data_first, found.data_last), (found.calendar_first, found.calendar_last)
        )


def _calendar_span(client):
    """(first, last) day of the client's trading calendar; None for a client that does not say."""
    extent = getattr(getattr(client, "catalog", None), "extent", None)
    if not callable(extent):
        return None
    found = extent()
    return found.calendar_first, found.calendar_last


def check_date(date) -> None:
    """Refuse an optimisation's ``date`` in no accepted form, or before the module's earliest date,
    before anything is read; the client refused the first with its own TypeError or ValueError
    part-way through the call. A date the store's calendar cannot serve is refused by the
    pipeline at the module's first read, the window's calendar lookup (:func:`check_in_calendar`)."""
    day = read_date(date)
    if day < optimizer.MIN_OPTIMIZE_DATE.date():
        floor = optimizer.MIN_OPTIMIZE_DATE_STR
        raise Worded(
            f"OPTIMIZER: 日期不能早于{floor}（之前没有足够的数据），传入值为：{shown_date(date)}",
            f"date {shown_date(date)} is before {floor}, the earliest the optimiser serves (too little data before it)",
        )


def check_bounds(bnds) -> None:
    """Refuse a bound that is not a pair of numbers in [0, 1] with the lower side not above the upper.

    Every entry is checked, also those for instruments that screening will remove, in the
    module's order and with its messages: inversion, then the lower side, then the upper side.
    """
    if bnds is None:
        return
    if not isinstance(bnds, Mapping):
        raise InvalidArgument(f"OPTIMIZER: bnds 必须是 {{合约: (下限, 上限)}} 形式的字典，传入值为：{bnds!r}")
    for key, value in bnds.items():
        low, high = _pair(value, f"合约 {key}")
        where = "the default bound (*)" if key == "*" else f"the bound of {key}"
        if low > high:
            raise Worded(
                f"OPTIMIZER: 合约 {key} 的下限 {low} 高于上限 {high}",
                f"{where}: the lower side {low} is above the upper side {high}",
            )
        if not 0 <= low <= 1:
            raise Worded(f"OPTIMIZER: 合约 {key} 的下限 {low} 无效", f"{where}: the lower side {low} {NOT_A_FRACTION}")
        if not 0 <= high <= 1:
            raise Worded(
                f"OPTIMIZER: 合约 {key} 的上限 {high} 无效", f"{where}: the upper side {high} {NOT_A_FRACTION}"
            )


def bounds_in_store(bnds):
    """``bnds`` keyed by the store's ids (``000816.SZ`` and ``000816.xshe`` are 000816.XSHE; ``"*"`` as
    it is), as the commands read ``--bound``: a bound written with an exchange suffix was dropped
    as if screening had removed its instrument.

    Raises
    ------
    InvalidArgument
        One instrument bounded twice, in two forms.
    """
    if not bnds:
        return bnds
    return _in_store_form(bnds, "合约 {} 的上下限")[0]


def _in_store_form(entries: dict, what: str) -> tuple:
    """(``entries`` keyed by the store's ids, store id -> the key as written); keys that are not ids
    (``"*"``, a key that is not text) as they are.

    Raises
    ------
    InvalidArgument
        Two keys naming one instrument: "OPTIMIZER: {what}给出了两次（...）", ``what`` formatted
        with the store's id.
    """
    out: dict = {}
    written: dict = {}
    for key, value in entries.items():
        oid = store_id(key) if isinstance(key, str) and key != "*" else key
        if oid in out:
            raise InvalidArgument(f"OPTIMIZER: {what.format(oid)}给出了两次（{written[oid]}、{key}）")
        out[oid], written[oid] = value, key
    return out, written


def _check_rule(label, value, scheme: str = "") -> tuple:
    low, high = _pair(value, f"约束 {label}")
    where = f"the limit on {label}"
    if not 0 <= low <= 1:
        raise Worded(f"OPTIMIZER: 约束 {label} 的下限 {low} 无效", f"{where}: the floor {low} {NOT_A_FRACTION}", scheme)
    if not 0 <= high <= 1:
        raise Worded(f"OPTIMIZER: 约束 {label} 的上限 {high} 无效", f"{where}: the cap {high} {NOT_A_FRACTION}", scheme)
    if low > high:
        raise Worded(
            f"OPTIMIZER: 约束的下限 {low} 高于上限 {high}", f"{where}: the floor {low} is above the cap {high}", scheme
        )
    return low, high


def check_ids(order_book_ids) -> None:
    """Refuse one id given as text where a list of ids is asked for: the module reads a string as the
    list of its characters and refused it as a repeated id ("合约 0 重复出现")."""
    if isinstance(order_book_ids, (str, bytes)):
        raise InvalidArgument(
            f"OPTIMIZER: order_book_ids 必须是合约代码的列表，传入值为字符串：{order_book_ids!r}"
            f"（一个合约请写作 [{order_book_ids!r}]）"
        )


def ids_in_store(order_book_ids):
    """``order_book_ids`` as a list of the store's ids (``600000.SH`` and ``600000.xshg`` are
    600000.XSHG, ``000001.SZ`` is 000001.XSHE, ``430047.BJ`` is 430047.BJSE), in the order given
    (a set's in sorted order).
    A value that cannot be iterated is returned as it is, for the module's own refusal.

    Raises
    ------
    InvalidArgument
        An entry that is not text; one instrument given twice in two forms
        ("合约 600000.XSHG 给出了两次（600000.SH、600000.XSHG）"); the same text twice is left
        to the module's check ("合约 ... 重复出现").
    """
    try:
        given = list(order_book_ids)
    except TypeError:
        return order_book_ids
    for k, oid in enumerate(given, 1):
        if not isinstance(oid, str):
            # the client refused it with a TypeError about the whole list
            raise InvalidArgument(f"OPTIMIZER: 合约代码必须是字符串，第 {k} 个传入值为：{oid!r}")
    if isinstance(order_book_ids, (set, frozenset)):
        # a set's order is its hashes', which change from one process to the next: sorted, the
        # same set gives the same columns, and the same solve, in every run
        given.sort()
    out = [store_id(str(i)) for i in given]
    written: dict = {}
    for oid, key in zip(out, given):
        first = written.setdefault(oid, key)
        if first != key:
            raise InvalidArgument(f"OPTIMIZER: 合约 {oid} 给出了两次（{first}、{key}）")
    return out


def benchmark_in_store(benchmark):
    """``benchmark`` as the store's id (``000300.SH`` is 000300.XSHG); None as it is.

    Raises
    ------
    InvalidArgument
        A benchmark that is not one id as text (a list of ids, a number): the client refused it
        with its own TypeError or ValueError part-way through the call.
    """
    if benchmark is None:
        return None
    if not isinstance(benchmark, str):
        raise InvalidArgument(f"OPTIMIZER: benchmark 必须是一个合约代码（字符串），传入值为：{benchmark!r}")
    return store_id(str(benchmark))


def check_risk_aversion(value) -> None:
    """Refuse a risk aversion that is not a number: the module read True as 1, and refused text
    or an array as if it were below 0. Numbers are left to the module's own check."""
    if not _real(value):
        raise InvalidArgument(f"OPTIMIZER: risk_aversion_coefficient 必须是不小于0的数，传入值为：{value!r}")
    if not math.isfinite(float(value)):
        # NaN passed the module's "not below 0" test and was refused as if it were negative; an
        # infinite λ weighs the expected returns at nothing
        raise InvalidArgument(f"OPTIMIZER: risk_aversion_coefficient 必须是有限的数，传入值为：{value!r}")


def check_switch(value, name: str) -> None:
    """Refuse a switch (``cov_shrinkage``, ``quiet``, ``trading_rules``) that is not True or False (numpy's booleans and
    the integers 0 and 1 are taken as such). The module reads any value by its truth, so
    ``cov_shrinkage="False"`` shrank the covariance, and ``None`` switched the default on off."""
    if isinstance(value, (bool, np.bool_)) or (isinstance(value, numbers.Integral) and value in (0, 1)):
        return
    raise InvalidArgument(f"OPTIMIZER: {name} 必须为 True 或 False，传入值为：{value!r}")


def check_cons(cons, scheme) -> None:
    """Refuse a ``cons`` that is neither one of the module's constraint classes nor an object with its
    own ``to_constraint``: a list of them, or a bare ``{label: (lower, upper)}`` dict, failed in the
    middle of the solve with an AttributeError."""
    if cons is None or scheme is not None or callable(getattr(cons, "to_constraint", None)):
        return
    hint = ""
    if isinstance(cons, Mapping):
        hint = "（分组上下限请写作 GICSConstraint({...})、ShenWanConstraint({...}) 或 FundTypeConstraint({...})）"
    elif isinstance(cons, (list, tuple, set)):
        hint = "（一次只能给出一个约束对象）"
    raise InvalidArgument(
        "OPTIMIZER: cons 必须是 GICSConstraint、ShenWanConstraint、FundTypeConstraint 或带有 to_constraint "
        f"方法的约束对象，传入值为：{cons!r}{hint}"
    )


def check_holdings(holdings) -> dict | None:
    """Current weights checked: ids as text, weights finite and at least 0, summing (exactly) to at
    most 1; returned as ``{id: float}`` without the zero weights. A pandas Series of weights (a
    result's ``weights``, a column of a holdings table) is read as its ``{index: value}``."""
    if holdings is None:
        return None
    if isinstance(holdings, pd.Series):
        if not holdings.index.is_unique:
            twice = list(dict.fromkeys(holdings.index[holdings.index.duplicated()]))
            raise InvalidArgument(f"OPTIMIZER: 持仓 {'、'.join(map(str, twice[:5]))} 给出了两次")
        holdings = holdings.to_dict()
    if not isinstance(holdings, Mapping):
        raise InvalidArgument(f"OPTIMIZER: holdings 必须是 {{合约: 权重}} 形式的字典，传入值为：{holdings!r}")
    out = {}
    for key, value in holdings.items():
        if not isinstance(key, str):
            raise InvalidArgument(f"OPTIMIZER: 持仓合约代码必须是字符串，传入值为：{key!r}")
        if not _real(value) or not math.isfinite(value) or value < 0:
            raise InvalidArgument(f"OPTIMIZER: 持仓 {key} 的权重 {value!r} 无效（须为不小于0的有限数）")
        if value > 0:
            out[key] = float(value)
    total = math.fsum(out.values())
    if total > 1 + 1e-12:
        raise InvalidArgument(f"OPTIMIZER: 持仓权重之和 {weight_sum(total)} 大于1（其余为现金，不能为负）")
    return out


def held_in_store(holdings: dict, ids, client) -> dict:
    """``holdings`` keyed by the store's ids (``001240.SZ`` and ``001240.xshe`` are 001240.XSHE).

    A held id in another form than the universe's was taken for one outside it and sold, a
    suspended one included; an id the store does not know was sold without a word.

    Raises
    ------
    InvalidArgument
        An id held twice (in two forms), or held ids outside ``ids`` that the store knows neither as
        a stock nor as a fund.
    """
    out, written = _in_store_form(holdings, "持仓 {} ")
    universe = set(ids)
    outside = [i for i in out if i not in universe]
    if outside:
        unknown = [i for i, r in zip(outside, client.instruments(outside)) if r is None]
        # one id a call, as a fund's records are read everywhere else (a replacement client's form)
        unknown = [i for i in unknown if client.fund.instruments(i) is None]
        if unknown:
            named = "、".join(written[i] for i in unknown[:5])
            raise InvalidArgument(f"OPTIMIZER: 持仓合约 {named} 不在数据中（既非股票也非基金）")
    return out


def check_turnover(max_turnover) -> float | None:
    """A one-way turnover cap: a finite number from 0 to 2, or None."""
    if max_turnover is None:
        return None
    if not _real(max_turnover) or not math.isfinite(max_turnover) or not 0 <= max_turnover <= 2:
        raise InvalidArgument(f"OPTIMIZER: max_turnover 必须是 0 到 2 之间的数，传入值为：{max_turnover!r}")
    return float(max_turnover) + 0.0  # -0.0 is the cap 0, and says so ("-0.0000" in a conflict)


# ---------------------------------------------------------------- group limits


@dataclass(frozen=True)
class Rule:
    """One group limit.

    Attributes
    ----------
    given : object
        The label as the caller wrote it (a Shenwan industry may be given by its code).
    label : object
        The label the classification gives the instruments (a Shenwan industry's name on the date).
    code : str or None
        The Shenwan industry code, when known.
    low, high : number
        Floor and cap on the group's total weight, as given.
    """

    given: Any
    label: Any
    code: str | None
    low: Any
    high: Any


@dataclass(frozen=True)
class GroupLimits:
    """The group limits of one classification scheme, each label resolved.

    ``resolved`` is False when the client has no catalogue to check labels against: the labels
    are then taken as given and checked against the instruments' own labels instead.
    """

    scheme: str
    rules: tuple
    resolved: bool = True

    @property
    def noun(self) -> str:
        """``"sector"``, ``"Shenwan industry"`` or ``"fund type"``."""
        return NOUNS[self.scheme]

    def module_rules(self) -> dict:
        """label -> (low, high), the rules map the module's group builder takes."""
        return {r.label: (r.low, r.high) for r in self.rules}

    def unused_note(self, rule: Rule) -> str:
        """What a rule whose label no instrument of the portfolio carries means, in one line: a cap
        there limits nothing (a floor there is a conflict, never a note)."""
        code = f"{rule.code} " if rule.code and rule.code != rule.label else ""
        return (
            f"the cap {rule.high} on {code}{rule.label} limits nothing: no instrument of the portfolio is in that "
            f"{self.noun}"
        )

    def record(self) -> dict:
        """The limits as given and as resolved, plain data for a saved record."""
        return {
            "by": self.noun,
            "scheme": self.scheme,
            "given": {str(r.given): [r.low, r.high] for r in self.rules},
            "resolved": [{"label": r.label, "code": r.code, "low": r.low, "high": r.high} for r in self.rules],
        }


def resolve_limits(scheme: str, rules, client, date) -> GroupLimits:
    """The rules of ``scheme`` checked, with each label resolved against the client's catalogue.

    Raises
    ------
    InvalidArgument
        A rule that is not a pair of numbers in [0, 1] with the floor not above the cap (the
        module's messages), a rules value that is not a mapping.
    UnknownLabel
        Labels the store's classification does not know (every one named, with close matches).
    RepeatedLabel
        Two rules naming one label.
    """
    if not isinstance(rules, Mapping):
        raise InvalidArgument(
            f"OPTIMIZER: {CLASSES[scheme]} 的约束必须是 {{类别: (下限, 上限)}} 形式的字典，传入值为：{rules!r}"
        )
    pairs = [(given, _check_rule(given, value, scheme)) for given, value in rules.items()]
    cat = classification.catalogue(scheme, client)
    resolved: list = []
    unknown: list = []
    seen: dict = {}
    for given, (low, high) in pairs:
        label, code = given, None
        if cat is not None:
            if scheme == "shenwan" and given not in cat.names and isinstance(given, str) and given in cat.codes:
                label, code = cat.name_of(given, date), given
            elif given not in cat.names:
                unknown.append((given, classification.suggest(given, cat.candidates())))
                continue
            elif scheme == "shenwan":
                code = next((c for c, spans in cat.codes.items() if any(n == given for n, _, _ in spans)), None)
                # the industry as named on the date: a name it had before or after a rename (化工 and
                # 基础化工 for 801030) matched no instrument that day, and the limit was dropped
                label = (cat.name_of(code, date) if code is not None else None) or given
        if label in seen:
            raise RepeatedLabel(scheme, label, [seen[label], given])
        seen[label] = given
        resolved.append(Rule(given, label, code, low, high))
    if unknown:
        raise UnknownLabel(scheme, unknown)
    return GroupLimits(scheme, tuple(resolved), resolved=cat is not None)


def check_kind(limits: GroupLimits | None, kind: str, ids) -> None:
    """Refuse limits whose scheme does not classify instruments of ``kind`` ("stock" or "fund")."""
    if limits is not None and KINDS[limits.scheme] != kind:
        raise LimitKindMismatch(limits.scheme, kind, ids)


# ---------------------------------------------------------------- the request


@dataclass(frozen=True)
class Request:
    """One optimisation as asked, checked.

    Attributes
    ----------
    ids : list of str
        The instruments, in the order given.
    date
        The last day of the window, as given.
    method : OptimizeMethod
    bnds : dict or None
        Per-instrument bounds as given (checked).
    limits : GroupLimits or None
        Group limits of the module's classes, labels resolved.
    cons : object or None
        The ``cons`` argument as given: one of the module's classes (then ``limits`` holds its
        rules) or a caller's own constraint object, whose records only the scipy path can honour.
    cov_shrinkage, benchmark, risk_aversion, window, max_iteration, tol, quiet
        As the module's ``portfolio_optimize`` takes them.
    solver : str
        ``"native"`` or ``"scipy"``.
    holdings : dict or None
        Current weights ``{id: weight}`` (fractions of the portfolio's value, the rest cash) when
        the optimisation rebalances a held portfolio.
    max_turnover : float or None
        Cap on the one-way turnover, max(total bought, total sold), as a fraction of the value.
    trading_rules : bool
        Whether the day's suspensions and price limits bound the trades (with holdings).
    time_limit : float or None
        Seconds a native solve may take (None: no limit).
    invest_within_cap : bool
        With a turnover cap, when the cash held is more than the cap lets the buys invest: invest
        what the cap allows and leave the rest in cash, instead of a conflict with the budget.
    notes : list of str
        Notes for a command's report (bounds given for ids outside the universe).
    """

    ids: list
    date: Any
    method: Any = DEFAULTS["method"]
    bnds: dict | None = None
    limits: GroupLimits | None = None
    cons: Any = None
    cov_shrinkage: Any = DEFAULTS["cov_shrinkage"]
    benchmark: Any = None
    risk_aversion: Any = DEFAULTS["risk_aversion_coefficient"]
    window: Any = DEFAULTS["window"]
    max_iteration: Any = DEFAULTS["max_iteration"]
    tol: Any = DEFAULTS["tol"]
    quiet: Any = DEFAULTS["quiet"]
    solver: str = "native"
    holdings: dict | None = None
    max_turnover: float | None = None
    trading_rules: bool = True
    time_limit: float | None = None
    invest_within_cap: bool = False
    notes: list = field(default_factory=list)

    @property
    def rebalancing(self) -> bool:
        """Whether the optimisation starts from holdings (given, or a turnover cap from cash)."""
        return self.holdings is not None or self.max_turnover is not None

    @property
    def own_constraint(self) -> bool:
        """Whether ``cons`` is a caller's own constraint object (its records are its own)."""
        return self.cons is not None and self.limits is None

    @property
    def plain_risk_parity(self) -> bool:
        """Risk parity without bounds, group limits or holdings: the equal-contribution problem."""
        return (
            self.method == OptimizeMethod.RISK_PARITY
            and self.bnds is None
            and self.cons is None
            and not self.rebalancing
        )

    def _module_values(self) -> dict:
        """The module's ``portfolio_optimize`` arguments by name, in its order."""
        return dict(
            order_book_ids=self.ids,
            date=self.date,
            method=self.method,
            bnds=self.bnds,
            cons=self.cons,
            cov_shrinkage=self.cov_shrinkage,
            benchmark=self.benchmark,
            risk_aversion_coefficient=self.risk_aversion,
            window=self.window,
            max_iteration=self.max_iteration,
            tol=self.tol,
            quiet=self.quiet,
        )

    def arguments(self, **changes) -> tuple:
        """The module's ``portfolio_optimize`` arguments, in order (with ``changes`` by name)."""
        values = self._module_values()
        values.update(changes)
        return tuple(values.values())

    def keywords(self) -> dict:
        """The request as keyword arguments of :func:`vela_optimizer.optimize` (all but ids and date;
        the rebalancing ones only when it rebalances)."""
        out = self._module_values()
        del out["order_book_ids"], out["date"]
        out.update(solver=self.solver)
        if self.time_limit is not None:
            out.update(time_limit=self.time_limit)
        if self.rebalancing:
            out.update(holdings=self.holdings, max_turnover=self.max_turnover, trading_rules=self.trading_rules)
            if self.invest_within_cap:
                out.update(invest_within_cap=True)
        return out

    def on(self, date, ids=None) -> Request:
        """The same request on another date (and universe)."""
        return replace(self, date=date, ids=list(self.ids if ids is None else ids))


def from_arguments(
    order_book_ids,
    date,
    method=DEFAULTS["method"],
    bnds=None,
    cons=None,
    cov_shrinkage=DEFAULTS["cov_shrinkage"],
    benchmark=None,
    risk_aversion_coefficient=DEFAULTS["risk_aversion_coefficient"],
    window=DEFAULTS["window"],
    max_iteration=DEFAULTS["max_iteration"],
    tol=DEFAULTS["tol"],
    quiet=DEFAULTS["quiet"],
    *,
    solver="native",
    holdings=None,
    max_turnover=None,
    trading_rules=True,
    time_limit=None,
    client=None,
    invest_within_cap=False,
) -> Request:
    """The request of a package-level call, checked; ``client`` defaults to the module's client.

    Raises
    ------
    InvalidArgument
        An unknown solver, ids or a benchmark that are not text, one id in two forms, the
        module's opening checks (risk aversion, tol, window, max_iteration), a date in no
        accepted form (:class:`InvalidDate`) or before the module's earliest, a bad bound or
        group rule, bad holdings or turnover cap, holdings or a
        turnover cap with a solve that cannot honour them (the scipy path, a caller's own
        constraint object); :class:`UnknownLabel` and :class:`RepeatedLabel` for group labels.
    """
    check_solver(solver)
    check_ids(order_book_ids)
    order_book_ids = ids_in_store(order_book_ids)
    benchmark = benchmark_in_store(benchmark)
    check_risk_aversion(risk_aversion_coefficient)
    check_switch(cov_shrinkage, "cov_shrinkage")
    check_switch(quiet, "quiet")
    holdings = check_holdings(holdings)
    max_turnover = check_turnover(max_turnover)
    check_switch(trading_rules, "trading_rules")
    trading_rules = bool(trading_rules)
    check_switch(invest_within_cap, "invest_within_cap")
    invest_within_cap = bool(invest_within_cap)
    if time_limit is not None:
        if solver == "scipy":
            raise InvalidArgument("OPTIMIZER: solver='scipy' 无法限制求解时间（time_limit），请使用 solver='native'")
        native.Settings(time_limit=time_limit)  # its checks, with their messages
    _engine().check(
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
    )
    check_date(date)
    date = as_given(date)
    check_bounds(bnds)
    bnds = bounds_in_store(bnds)
    client = client if client is not None else optimizer.veladatac
    scheme = classification.scheme_of(cons, optimizer)
    check_cons(cons, scheme)
    limits = None
    if scheme is not None:
        limits = resolve_limits(scheme, cons._rules, client, date)
    request = Request(
        order_book_ids,
        date,
        method,
        bnds,
        limits,
        cons,
        cov_shrinkage,
        benchmark,
        risk_aversion_coefficient,
        window,
        max_iteration,
        tol,
        quiet,
        solver,
        holdings,
        max_turnover,
        trading_rules,
        None if time_limit is None else float(time_limit),
        invest_within_cap,
    )
    if request.rebalancing and (solver == "scipy" or request.own_constraint):
        why = "solver='scipy'" if solver == "scipy" else "自定义约束（只能由 scipy 路径求解）"
        raise InvalidArgument(
            f"OPTIMIZER: {why} 无法满足 holdings 与 max_turnover，请使用 solver='native' 与本包的约束类"
        )
    if holdings:
        request = replace(request, holdings=held_in_store(holdings, order_book_ids, client))
    return request


# ---------------------------------------------------------------- from command-line options


def resolve_date(asked, client, extent, today):
    """The trading day a command optimises on.

    Parameters
    ----------
    asked : datetime.date or None
        ``--date``; None means the latest trading day with data, not after ``today``.
    extent : veladatac.catalog.Extent
        The days the store covers.

    Raises
    ------
    UsageError
        A store without daily values, or a date after today or past the last day with data
        (the message gives the store's range).
    """
    if extent.data_last is None:
        raise UsageError(f"the store {extent.path} holds no daily data")
    span = f"the store {extent.path} has data for {extent.data_first} .. {extent.data_last}"
    if asked is None:
        return client.trading_date_offset(min(today, extent.data_last), 0)
    if asked > today:
        raise UsageError(f"--date {asked} is after today ({today}); {span}")
    if asked <= extent.data_last:
        return client.trading_date_offset(asked, 0)
    # A day past the last prices whose trading day is not (the weekend after the last Friday with
    # prices) stands for that trading day, as at the package level.
    try:
        day = client.trading_date_offset(asked, 0)
    except (CalendarRangeError, ValueError):
        day = None
    if day is None or day > extent.data_last:
        raise UsageError(f"--date {asked} is past the last day in the store; {span}")
    return day


def check_benchmark(benchmark, client) -> None:
    """Refuse a benchmark the store does not know (with close matches) or cannot price (a fund)."""
    if benchmark is None:
        return
    kinds = universe.classify([benchmark], client)
    if kinds.unknown:
        # a benchmark is most often an index: those first, any id when no index is close
        near = universe.close_ids(benchmark, universe.known_ids(indices_only=True)) or universe.close_ids(
            benchmark, universe.known_ids()
        )
        guess = f" (did you mean {either(near)}?)" if near else ""
        raise UsageError(f"unknown benchmark {benchmark}{guess}")
    if kinds.funds:
        raise UsageError(f"the benchmark {benchmark} is a fund; a benchmark is an index or a stock")


def from_options(
    args, client, day, ids, kind: str, *, bnds=None, cons=None, holdings=None, max_turnover=None
) -> Request:
    """The request of the shared command-line options on ``day`` over the universe ``ids``.

    ``bnds`` and ``cons`` are the options' bounds and constraint object (see
    :mod:`vela_optimizer.cli.options`). Bounds for ids outside the universe become notes, each
    with its close matches in the universe; bounds for ids the store does not know are refused.

    Raises
    ------
    InvalidArgument
        As :func:`from_arguments`; :class:`LimitKindMismatch` for limits of a scheme that does
        not classify ``kind``.
    UsageError
        An unknown benchmark, or one that is a fund; a bound for an id the store does not know
        (all of them named, with close matches).
    """
    # the optimiser's own checks of these say so in its words; a command speaks English
    if args.window < 2:
        raise UsageError(f"--window {args.window}: give a whole number of trading days, at least 2")
    if not 0 <= args.risk_aversion < math.inf:
        raise UsageError(f"--risk-aversion {args.risk_aversion}: give a number of at least 0")
    # a bound on an id the store does not know is a typo, not an instrument outside the universe:
    # a command refuses it (the package level, as the module, ignores it with a warning)
    universe.check_known([k for k in bnds or {} if k != "*"], client, "--bound")
    benchmark = store_id(args.benchmark) if args.benchmark else None
    request = from_arguments(
        ids,
        day,
        OptimizeMethod(args.method),
        bnds,
        cons,
        not args.no_shrinkage,
        benchmark,
        args.risk_aversion,
        args.window,
        args.max_iteration,
        args.tol,
        True,
        solver=args.solver,
        holdings=holdings,
        max_turnover=max_turnover,
        time_limit=getattr(args, "time_limit", None),  # vela-optimize's own option
        client=client,
    )
    check_kind(request.limits, kind, ids)
    check_benchmark(benchmark, client)
    return replace(request, notes=option_notes(args) + outside_notes(bnds, ids))


def option_notes(args) -> list:
    """The notes on options given that the solve does not read (any other value than the default is
    taken as given): ``--risk-aversion`` weighs the mean return of mean-variance only; ``--tol`` is
    the scipy path's accuracy and risk parity's step, where the native QPs are solved exactly."""
    method = OptimizeMethod(args.method)
    notes = []
    if method != OptimizeMethod.MEAN_VARIANCE and args.risk_aversion != DEFAULTS["risk_aversion_coefficient"]:
        notes.append(
            f"--risk-aversion {args.risk_aversion:g} had no effect: it weighs the mean return of "
            f"{OptimizeMethod.MEAN_VARIANCE.value} only, not {method.value}"
        )
    if args.solver == "native" and method != OptimizeMethod.RISK_PARITY and args.tol != DEFAULTS["tol"]:
        notes.append(
            f"--tol {args.tol:g} had no effect: the native solve of {method.value} is exact (--tol sets the "
            "scipy path's accuracy and the steps of risk parity under limits)"
        )
    return notes


def outside_notes(bnds, ids) -> list:
    """The note on ``bnds``' ids (``"*"`` aside) that are not among ``ids``, each with its close matches
    in ``ids``; [] when there is none."""
    members = set(ids)
    outside = [k for k in (bnds or {}) if k != "*" and k not in members]
    if not outside:
        return []
    parts = []
    for oid in outside:
        near = universe.close_ids(oid, ids)
        parts.append(f"{oid} (did you mean {either(near)}?)" if near else oid)
    return [f"--bound for {plural(len(outside), 'id')} outside the universe had no effect: " + ", ".join(parts)]
