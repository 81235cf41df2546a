"""Conversion of the accepted date forms into ``datetime.date``.

Accepted: 'YYYY-MM-DD' and 'YYYYMMDD' text (ASCII digits), int YYYYMMDD,
``datetime.date``, ``datetime.datetime`` (time of day dropped) and ``pandas.Timestamp``.
Anything else is refused: a wrong type with TypeError, a bad value with ValueError.
``to_date`` is published as ``veladatac.to_date``: the one date reader of the Python side.
"""

from __future__ import annotations

import datetime as _dt
import re

import numpy as np
import numpy.typing as npt
import pandas as pd

# ASCII digits only: a bare \d also matches other scripts' digits ('２００５０６３０'), which the
# optimizer's date floor does not read, so such text would slip past it.
_ISO = re.compile(r"(\d{4})-(\d{2})-(\d{2})", re.ASCII)
_COMPACT = re.compile(r"(\d{4})(\d{2})(\d{2})", re.ASCII)

_ACCEPTED = "'YYYY-MM-DD' or 'YYYYMMDD' text, int YYYYMMDD, datetime.date, datetime.datetime or pandas.Timestamp"


def _make(y: int, m: int, d: int, original, what: str) -> _dt.date:
    try:
        return _dt.date(y, m, d)
    except ValueError:
        raise ValueError(f"{what} {original!r} is not a valid calendar date") from None


def to_date(value, what: str = "date") -> _dt.date:
    """Read a date in any form the client accepts.

    Parameters
    ----------
    value : str, int, datetime.date, datetime.datetime or pandas.Timestamp
        'YYYY-MM-DD' or 'YYYYMMDD' text (ASCII digits), an int YYYYMMDD, a date, or a
        datetime or Timestamp (its calendar day; the time of day and time zone are dropped).
    what : str, default "date"
        The name of the value in error messages.

    Returns
    -------
    datetime.date

    Raises
    ------
    TypeError
        ``value`` is of no accepted type (bool, float, ``numpy.datetime64``, None ...).
    ValueError
        Text or an int not of the accepted form, a day that does not exist, or NaT.
    """
    if value is pd.NaT:
        raise ValueError(f"{what} is NaT, not a date")
    if isinstance(value, _dt.datetime):  # includes pandas.Timestamp
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, str):
        m = _ISO.fullmatch(value) or _COMPACT.fullmatch(value)
        if m is None:
            raise ValueError(f"{what} {value!r} is not in the form 'YYYY-MM-DD' or 'YYYYMMDD'")
        return _make(int(m[1]), int(m[2]), int(m[3]), value, what)
    # bool is an int subclass but True is never meant as a date
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        v = int(value)
        if not 10000101 <= v <= 99991231:
            raise ValueError(f"{what} {value!r} is not an integer of the form YYYYMMDD")
        return _make(v // 10000, v // 100 % 100, v % 100, value, what)
    raise TypeError(f"{what} must be {_ACCEPTED}; got {type(value).__name__} {value!r}")


def to_day(value, what: str = "date") -> np.datetime64:
    """Return ``value`` as ``numpy.datetime64[D]``."""
    return np.datetime64(to_date(value, what), "D")


def date_to_int(d: _dt.date) -> int:
    """YYYYMMDD integer, the form dates take inside the store."""
    return d.year * 10000 + d.month * 100 + d.day


def int_to_date(v: int) -> _dt.date:
    return _dt.date(v // 10000, v // 100 % 100, v % 100)


def ints_to_days(values) -> np.ndarray:
    """Vector of YYYYMMDD ints to ``datetime64[D]``."""
    a = np.asarray(values, dtype=np.int64)
    if a.size == 0:
        return np.empty(0, dtype="datetime64[D]")
    years = (a // 10000 - 1970).astype("datetime64[Y]")
    months = (a // 100 % 100 - 1).astype("timedelta64[M]")
    days = (a % 100 - 1).astype("timedelta64[D]")
    return (years.astype("datetime64[M]") + months).astype("datetime64[D]") + days


def days_to_ints(days: npt.ArrayLike) -> np.ndarray:
    """Vector of ``datetime64[D]`` (or what reads as such: a list of them) to YYYYMMDD ints."""
    arr = np.asarray(days, dtype="datetime64[D]")
    y = arr.astype("datetime64[Y]").astype(np.int64) + 1970
    m = arr.astype("datetime64[M]").astype(np.int64) % 12 + 1
    d = (arr - arr.astype("datetime64[M]").astype("datetime64[D]")).astype(np.int64) + 1
    return y * 10000 + m * 100 + d
