"""Instrument ids: the exchange suffixes users type and the ones the store uses.

The store names a listed security ``<6-digit code>.<market>``, the market being the ISO 10383
market identifier code of its exchange: XSHG (Shanghai Stock Exchange), XSHE (Shenzhen Stock
Exchange) and BJSE (Beijing Stock Exchange, open since 15 November 2021). Terminals and
spreadsheets mostly write the exchanges' short suffixes instead (``600000.SH``, ``000001.SZ``,
``430047.BJ``); :func:`store_id` turns those into store ids. Funds are ``<code>.OF`` and are
left as they are, as is any other id.
"""

from __future__ import annotations

import re

# Short suffix (and the store's own, so that a lower-case 'xshg' is mended too) -> the store's.
EXCHANGE_SUFFIXES = {
    "SH": "XSHG",
    "XSHG": "XSHG",
    "SZ": "XSHE",
    "XSHE": "XSHE",
    "BJ": "BJSE",
    "BJSE": "BJSE",
}

# First digits of Beijing Stock Exchange codes, for sources that give bare codes of stocks:
# 43x/83x/87x (companies moved up from the NEEQ) and 920 (the exchange's own segment for new
# listings), as its stock list shows them. Shanghai and Shenzhen boards are told by
# veladatac.rules.board_of, which knows Beijing stocks by their suffix only.
BJ_CODE_PREFIXES = ("43", "83", "87", "92")

FUND_SUFFIX = "OF"

_SUFFIXED = re.compile(r"([0-9]{6})\.([A-Za-z]+)", re.ASCII)


def store_id(text: str) -> str:
    """The store's id for an id as a user may write it.

    ``600000.SH`` → ``600000.XSHG``, ``000001.SZ`` → ``000001.XSHE``, ``430047.BJ`` →
    ``430047.BJSE``; suffixes in any letter case (``600000.sh``, ``600000.xshg``). Any other
    text — a fund id, an id already in the store's form, a bare code, a typo — is returned
    unchanged: a bare ``000001`` could be the Shanghai index or the Shenzhen stock, so it is
    not guessed.

    Parameters
    ----------
    text : str

    Returns
    -------
    str

    Raises
    ------
    TypeError
        ``text`` is not a str.
    """
    if not isinstance(text, str):
        raise TypeError(f"an id must be a str; got {type(text).__name__} {text!r}")
    m = _SUFFIXED.fullmatch(text)
    if m is None:
        return text
    market = EXCHANGE_SUFFIXES.get(m[2].upper())
    return f"{m[1]}.{market}" if market is not None else text


def stock_id_of_code(code: str) -> str | None:
    """Store id of a bare 6-digit A-share stock code, or None for a code no A-share board uses
    (B shares, funds, and indices, whose codes overlap stock codes: never pass those here)."""
    from . import rules

    if not (isinstance(code, str) and len(code) == 6 and code.isascii() and code.isdigit()):
        return None
    for market in ("XSHG", "XSHE"):
        if rules.board_of(f"{code}.{market}") is not None:
            return f"{code}.{market}"
    return f"{code}.BJSE" if code.startswith(BJ_CODE_PREFIXES) else None
