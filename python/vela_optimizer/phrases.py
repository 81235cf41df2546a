"""Small pieces of English for messages: lists of names, counts with their nouns."""

from __future__ import annotations

import re

# How many ids a message names before it only counts the rest.
SHOWN = 10


def either(items) -> str:
    """``"a"``, ``"a or b"``, ``"a, b or c"``."""
    items = list(items)
    return items[0] if len(items) == 1 else ", ".join(items[:-1]) + " or " + items[-1]


def some(ids, shown: int = SHOWN, sep: str = ", ") -> str:
    """``ids`` joined with ``sep``, at most ``shown`` of them and the count of the rest."""
    ids = list(ids)
    head = sep.join(map(str, ids[:shown]))
    return head + (f" and {len(ids) - shown} more" if len(ids) > shown else "")


def weight_sum(x: float) -> str:
    """A sum of weights for a message: six decimals, or every digit where six would hide how far
    it is from 1 (``1.0000000001`` is not ``1.000000``; weights written to ten digits sum so)."""
    return f"{x:.6f}" if abs(x - 1.0) >= 1e-6 else repr(x)


def plural(n: int, noun: str) -> str:
    """``"1 stock"``, ``"2 stocks"``, ``"2 Shenwan industries"`` (``"2 days"``)."""
    if n == 1:
        return f"{n} {noun}"
    if noun.endswith("y") and noun[-2:-1] not in ("a", "e", "i", "o", "u", ""):
        return f"{n} {noun[:-1]}ies"
    return f"{n} {noun}s"


# The optimiser's fixed refusals, as the commands say them: its own texts are a contract the Python
# API keeps, and a command speaks English.
MODULE_LINES = {
    "合约数目太少": "fewer than two instruments: an optimisation needs at least two",
    "OPTIMIZER: 经过剔除后，合约数目不足2个": (
        "screening left fewer than two instruments: an optimisation needs at least two"
    ),
    "日期不能早于2005-07-01（之前没有足够的数据）": (
        "the date is before 2005-07-01, the earliest with enough data before it"
    ),
}


def module_line(message: str) -> str:
    """The English line of one of the optimiser's fixed refusals, or "" for any other message."""
    return MODULE_LINES.get(message, "")


# The optimiser's warnings, as the commands' notes say them: each text but for the one id it
# names ("{}" in both). The module's texts stay the Python API's; only these are put in English.
MODULE_NOTES = {
    "OPTIMIZER: 约束 {} 不在经剔除后的合约列表中，被忽略": (
        "the bound on {} was ignored: it is not among the instruments left after screening"
    ),
    "OPTIMIZER: {} 停牌太多导致数据不足，被剔除": "{} dropped: suspended on too many days, too little data",
    "OPTIMIZER: {} 上市时间过短或已退市，被剔除": "{} dropped: listed too recently or de-listed",
    "OPTIMIZER: {} 已退市，被剔除": "{} dropped: de-listed",
}
# An id holds no white space; the whole text must match, so that a longer message is never read
# as a shorter one ("已退市，被剔除" ends "上市时间过短或已退市，被剔除" too).
_NOTE_PATTERNS = [(re.compile(re.escape(zh).replace(re.escape("{}"), r"(\S+)")), en) for zh, en in MODULE_NOTES.items()]


def module_note(message: str) -> str:
    """The English line of one of the optimiser's warnings, or "" for any other message."""
    for pattern, english in _NOTE_PATTERNS:
        found = pattern.fullmatch(message)
        if found:
            return english.format(found.group(1))
    return ""
