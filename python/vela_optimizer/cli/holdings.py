"""``--holdings FILE``: a held portfolio as a desk exports it, weights or shares by id.

The file is CSV with a header: ``order_book_id`` and either ``weight`` (fractions of the
portfolio's value, the rest cash) or ``shares`` (whole numbers, at most
:data:`vela_optimizer.tradelist.MAX_SHARES`); UTF-8 (with or without a BOM) or GBK / GB18030,
as Excel saves it on Chinese Windows. Ids may carry the exchange suffixes ``.SH`` / ``.SZ`` / ``.BJ``.
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
from dataclasses import dataclass, field

from vela_optimizer import universe
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


def _number(path, line: int, column: str, text: str) -> float:
    try:
        x = float(text)
    except ValueError:
        raise UsageError(f"--holdings {path}, line {line}: {column} {text!r} is not a number") from None
    if not math.isfinite(x) or x < 0:
        raise UsageError(f"--holdings {path}, line {line}: {column} {text!r} must be a number of at least 0")
    return x


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
    if "side" in header:
        raise UsageError(
            f"--holdings {path}, line {first}: a trade list (it has a side column), not holdings: "
            "give the positions held"
        )
    # the ids' column: order_book_id, or id as vela-optimize's --csv table names it
    column = next((c for c in ("order_book_id", "id") if c in header), None)
    amount = next((c for c in ("weight", "shares") if c in header), None)
    if column is None or amount is None or ("weight" in header and "shares" in header):
        raise UsageError(
            f"--holdings {path}, line {first}: the header must have order_book_id and one of weight, shares; "
            f"it has {', '.join(header) or 'nothing'}"
        )
    i, j = header.index(column), header.index(amount)
    rows = []
    for line, row in reader:
        if not any(c.strip() for c in row):
            continue
        if len(row) <= max(i, j):
            raise UsageError(f"--holdings {path}, line {line}: {len(row)} fields, the header has {len(header)}")
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
    if kinds.unknown or kinds.indices:
        universe.check_kinds(universe.Kinds([], [], kinds.indices, kinds.unknown), f"--holdings {path}")
    values = {oid: _number(path, line, amount, text) for line, oid, text in rows}
    if amount == "shares":
        for line, oid, text in rows:
            if values[oid] > MAX_SHARES:
                raise UsageError(
                    f"--holdings {path}, line {line}: shares {text!r} is more than any real position "
                    f"(at most {MAX_SHARES:g})"
                )
    if amount == "weight":
        total = math.fsum(values.values())
        if total > 1 + 1e-12:
            raise UsageError(
                f"--holdings {path}: the weights sum to {total:.6f}, above 1 (the rest of the portfolio is cash)"
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
