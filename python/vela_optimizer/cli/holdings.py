"""``--holdings FILE``: a held portfolio as a desk exports it, weights or shares by id.

The file is CSV with a header: ``order_book_id`` and either ``weight`` (fractions of the
portfolio's value, the rest cash; or every one in percent, ``3.2%``) or ``shares`` (whole numbers,
at most :data:`vela_optimizer.tradelist.MAX_SHARES`; ``"1,000"`` with thousands separators as
Excel quotes them), the columns' names in any letter case; UTF-8 (with or without a BOM) or GBK /
GB18030, as Excel saves it on Chinese Windows. A row with more fields than the header (a number
cut at an unquoted comma) is refused, not read in part. Ids may carry the exchange suffixes ``.SH`` / ``.SZ`` / ``.BJ``.
Lines starting with ``#`` are comments and the ids' column may be ``id``: the weight table ``--csv``
writes reads back as holdings.
With shares, the weights are their values at the trading day's closes over the portfolio's value:
the positions' value, or ``--capital`` when it is given (the rest being cash). A position without a
close that day (de-listed, or no bar) is valued at its last close, and the report says so.
"""

from __future__ import annotations

import csv
import io
import math
import re
from dataclasses import dataclass, field

from vela_optimizer import phrases, universe
from vela_optimizer.tradelist import MAX_SHARES, MAX_VALUE
from vela_optimizer.universe import UsageError


@dataclass(frozen=True)
class Holdings:
    """A held portfolio read from a file.

    Attributes
    ----------
    weights : dict
        id -> weight.
    shares : dict or None
        id -> shares, when the file gave shares.
    value : float or None
        The portfolio's value in yuan, when the file gave shares (or ``--capital``).
    notes : list of str
        Positions valued at a close before the day, having none on it.
    """

    weights: dict
    shares: dict | None = None
    value: float | None = None
    notes: list = field(default_factory=list)


# "1,000" as Excel writes a number formatted with thousands separators (quoted, the comma being the
# field separator): groups of three digits after the first, so that a decimal comma ("0,030") is
# not one
_THOUSANDS = re.compile(r"[+]?[1-9][0-9]{0,2}(?:,[0-9]{3})+(?:\.[0-9]*)?", re.ASCII)
_PERCENT = ("%", "\uff05")  # the full-width sign a Chinese input method types


def _number(path, line: int, column: str, text: str) -> float:
    """The amount in a cell: a plain number; shares also with thousands separators ("1,000"), a
    weight also in percent ("3.2%", as Excel writes a cell formatted as a percentage)."""
    plain = text
    if column == "shares" and _THOUSANDS.fullmatch(text):
        plain = text.replace(",", "")
    percent = column == "weight" and text.endswith(_PERCENT)
    if percent:
        plain = text[:-1].strip()
    try:
        x = float(plain)
    except ValueError:
        raise UsageError(f"--holdings {path}, line {line}: {column} {text!r} is not a number") from None
    if not math.isfinite(x) or x < 0:
        raise UsageError(f"--holdings {path}, line {line}: {column} {text!r} must be a number of at least 0")
    return x / 100 if percent else x


def _one_way(path, rows) -> None:
    """Weights all in percent or all as fractions: a plain 5 beside 3.2% may mean either 5 or 5 %."""
    percent = [(line, text) for line, _, text in rows if text.endswith(_PERCENT)]
    plain = [(line, text) for line, _, text in rows if not text.endswith(_PERCENT) and float(text) != 0]
    if percent and plain:
        raise UsageError(
            f"--holdings {path}, line {plain[0][0]}: weight {plain[0][1]!r} is a fraction where line "
            f"{percent[0][0]} has a percentage ({percent[0][1]!r}): write every weight one way"
        )


def _rows(path) -> tuple:
    """(kind of amount, [(line, id, amount text)]) of the file."""
    from veladatac import store_id

    text = universe.read_text(path, "--holdings")
    # lines starting with '#' are comments: the "# key: value" lines --csv writes before its table
    kept = [(n, line) for n, line in enumerate(io.StringIO(text, newline=None), 1) if not line.lstrip().startswith("#")]
    while kept and not kept[0][1].strip():  # blank lines before the header
        kept.pop(0)
    numbers = [n for n, _ in kept]
    reader = zip(numbers[1:], csv.reader(line for _, line in kept[1:]))
    first = numbers[0] if numbers else 1
    header = [h.strip() for h in next(csv.reader([kept[0][1]]), [])] if kept else []
    # the columns' names in any letter case ("Order_Book_ID", "Weight"): the same names
    names = [h.lower() for h in header]
    if "side" in names:
        raise UsageError(
            f"--holdings {path}, line {first}: a trade list (it has a side column), not holdings: "
            "give the positions held"
        )
    # the ids' column: order_book_id, or id as vela-optimize's --csv table names it
    column = next((c for c in ("order_book_id", "id") if c in names), None)
    amount = next((c for c in ("weight", "shares") if c in names), None)
    if column is None or amount is None or ("weight" in names and "shares" in names):
        raise UsageError(
            f"--holdings {path}, line {first}: the header must have order_book_id and one of weight, shares; "
            f"it has {', '.join(header) or 'nothing'}"
        )
    for c in (column, amount):
        if names.count(c) > 1:
            raise UsageError(f"--holdings {path}, line {first}: the header has {c} twice; give it once")
    i, j = names.index(column), names.index(amount)
    rows = []
    for line, row in reader:
        if not any(c.strip() for c in row):
            continue
        # a field past the header's is a column without a name or a number cut at its comma (1,000
        # unquoted reads as 1 and 000): either way the row's amount is not known; empty ones are
        # the commas Excel pads short rows with
        if len(row) <= max(i, j) or any(c.strip() for c in row[len(header) :]):
            hint = ' (a number with a comma in it is quoted: "1,000")' if len(row) > len(header) else ""
            raise UsageError(f"--holdings {path}, line {line}: {len(row)} fields, the header has {len(header)}{hint}")
        if not row[i].strip():
            raise UsageError(f"--holdings {path}, line {line}: {column} is empty")
        rows.append((line, store_id(row[i].strip()), row[j].strip()))
    return amount, rows


def read(path, client, day, capital=None) -> Holdings:
    """The holdings in ``path``, checked: known ids (close matches named), numbers of at least 0, an id
    once, weights summing to at most 1, shares priced at ``day``'s closes.

    Raises
    ------
    UsageError
        One line naming the file, the line and the problem.
    """
    amount, rows = _rows(path)
    seen: dict = {}
    for line, oid, _ in rows:
        if oid in seen:
            raise UsageError(f"--holdings {path}, line {line}: {oid} is held twice (first on line {seen[oid]})")
        seen[oid] = line
    kinds = universe.classify(list(seen), client)
    if kinds.unknown:
        universe.check_kinds(universe.Kinds([], [], [], kinds.unknown), f"--holdings {path}")
    if kinds.indices:  # an index's own row in a desk's export (its level beside the positions)
        oid = kinds.indices[0]
        raise UsageError(
            f"--holdings {path}, line {seen[oid]}: {oid} is an index, not a position; leave it out "
            f"(--benchmark {oid} measures the portfolio against it)"
        )
    values = {oid: _number(path, line, amount, text) for line, oid, text in rows}
    if amount == "shares":
        for line, oid, text in rows:
            if values[oid] > MAX_SHARES:
                raise UsageError(
                    f"--holdings {path}, line {line}: shares {text!r} is more than any real position "
                    f"(at most {MAX_SHARES:g})"
                )
    if amount == "weight":
        _one_way(path, rows)
        total = math.fsum(values.values())
        if total > 1 + 1e-12:
            # weights in percent without their sign sum to about 100
            hint = "; percentages are written with their sign (3.2%)" if total <= 100 + 1e-9 else ""
            raise UsageError(
                f"--holdings {path}: the weights sum to {phrases.weight_sum(total)}, above 1 (the rest of the "
                f"portfolio is cash){hint}"
            )
        return Holdings({k: v for k, v in values.items() if v > 0})
    return _priced(path, {k: v for k, v in values.items() if v > 0}, client, day, capital)


def _priced(path, shares: dict, client, day, capital) -> Holdings:
    from vela_optimizer.tradelist import held_closes

    bad = [f"{k} ({v:g})" for k, v in shares.items() if v != int(v)]
    if bad:
        raise UsageError(f"--holdings {path}: shares must be whole numbers: {universe.some(bad)}")
    closes, notes = held_closes(list(shares), list(shares), day, client)
    missing = [k for k in shares if k not in closes]
    if missing:
        raise UsageError(f"--holdings {path}: no close on {day} to value {universe.some(missing)}")
    held = math.fsum(shares[k] * closes[k] for k in shares)
    value = held if capital is None else float(capital)
    if not value > 0:
        raise UsageError(f"--holdings {path}: the positions are worth nothing on {day}")
    if held > MAX_VALUE:
        raise UsageError(
            f"--holdings {path}: the positions are worth {held:.6g} yuan on {day}, more than {MAX_VALUE:g}"
        )
    if held > value * (1 + 1e-12):
        raise UsageError(f"--capital {capital:g} is less than the positions' value {held:.2f} on {day}")
    return Holdings(
        {k: shares[k] * closes[k] / value for k in shares}, {k: int(v) for k, v in shares.items()}, value, notes
    )
