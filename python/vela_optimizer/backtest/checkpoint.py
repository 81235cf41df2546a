"""A backtest's checkpoint: every finished rebalancing kept in a folder as soon as it is done.

Layout of the folder::

    backtest.json          {"format": 1, "key": {...}}: what the backtest is (see :func:`key_of`)
    dates/YYYY-MM-DD.json  one finished rebalancing: its weights, solver, dropped ids and notes

Every file is written whole or not at all (:func:`vela_optimizer.backtest.files.write_atomic`),
so a crash leaves finished entries and at most a temporary file, which is never read. Weights
are written as JSON numbers, which ``repr`` writes with the shortest digits that read back as
the same double: an entry read back is the same bits as the rebalancing that wrote it, and a
resumed backtest reports exactly what an uninterrupted one does.

Only rebalancings that succeeded are kept: a failed date is optimised again by the next run,
in case what failed was the machine rather than the date.
"""

from __future__ import annotations

import datetime as _dt
import hashlib
import json
import os
from pathlib import Path

from vela_optimizer.backtest import files
from vela_optimizer.backtest.results import BacktestError

FORMAT = 1
KEY_FILE = "backtest.json"
ENTRIES = "dates"

# The key's fields in the order a refusal names them, with the words it uses.
FIELDS = {
    "dates": "rebalancing dates",
    "end": "end",
    "universe": "universe",
    "method": "method",
    "bounds": "bounds",
    "limits": "group limits",
    "cov_shrinkage": "shrinkage",
    "benchmark": "benchmark",
    "risk_aversion": "risk aversion",
    "window": "window",
    "max_iteration": "iteration limit",
    "tol": "tolerance",
    "solver": "solver",
    "costs_bps": "costs",
    "trading_rules": "trading rules",
    "max_turnover": "turnover cap",
    "capital": "capital",
    "store": "store",
    "version": "version",
}


class CheckpointError(BacktestError):
    """A checkpoint folder that cannot be used.

    Attributes
    ----------
    folder : str
    reason : str
        What is wrong, as a phrase (``str`` of the error is ``"checkpoint FOLDER: REASON"``).
    """

    def __init__(self, folder, reason: str):
        self.folder, self.reason = os.fspath(folder), reason
        super().__init__(f"checkpoint {self.folder}: {reason}")


class CheckpointMismatch(CheckpointError):
    """A checkpoint folder made by another backtest.

    Attributes
    ----------
    differences : list of (str, object, object)
        Each field of the key that differs: its name, the checkpoint's value, this run's.
    """

    def __init__(self, folder, differences):
        self.differences = list(differences)
        parts = [_difference(*d) for d in self.differences[:3]]
        more = f"; and {len(self.differences) - 3} more" if len(self.differences) > 3 else ""
        super().__init__(
            folder,
            f"made by another backtest ({'; '.join(parts)}{more}): give another folder, "
            "or the settings it was made with",
        )


def _difference(name: str, theirs, ours) -> str:
    words = FIELDS.get(name, name)
    if name == "universe":
        return "another universe on some dates"
    if name == "dates":
        return f"{words} {_span(theirs)} there, {_span(ours)} here"
    if name == "costs_bps":  # no flat rate: the dated schedule
        return f"{words} {_plain(theirs or 'China schedule')} there, {_plain(ours or 'China schedule')} here"
    return f"{words} {_plain(theirs)} there, {_plain(ours)} here"


def _span(dates) -> str:
    if not dates:
        return "none"
    return f"{dates[0]} .. {dates[-1]} ({len(dates)})" if len(dates) > 1 else str(dates[0])


def _plain(value) -> str:
    return (
        "none"
        if value is None
        else json.dumps(value, ensure_ascii=False)
        if isinstance(value, (dict, list))
        else str(value)
    )


def key_of(schedule, end: _dt.date, universes, request, trading: dict, store: str, version: str) -> dict:
    """What makes a backtest's rebalancings and report what they are, as plain data.

    Where and how the dates run (workers, cluster, the store's path) is left out, and so is
    ``keep_going``: it decides what a failure does, not what a date gives, so a run stopped by a
    failed date can be resumed with it. The universe of every date (``universes``: the ids as read
    on each date, or None where they could not be read) enters as a digest; ``trading`` is
    :meth:`vela_optimizer.backtest.trading.Trading.record` (rules, turnover cap, capital, fees).

    Raises
    ------
    ValueError
        A caller's own constraint object, whose rules cannot be recorded.
    """
    if request.own_constraint:
        raise ValueError("a caller's own constraint object cannot be recorded")
    pairs = [[d.isoformat(), None if ids is None else list(ids)] for d, ids in zip(schedule, universes, strict=True)]
    listed = json.dumps(pairs, ensure_ascii=False, separators=(",", ":"))
    key = {
        "dates": [d.isoformat() for d in schedule],
        "end": end.isoformat(),
        "universe": hashlib.sha256(listed.encode("utf-8")).hexdigest(),
        "method": request.method.value,
        "bounds": {str(k): [float(v[0]), float(v[1])] for k, v in request.bnds.items()} if request.bnds else None,
        "limits": request.limits.record() if request.limits is not None else None,
        "cov_shrinkage": bool(request.cov_shrinkage),
        "benchmark": request.benchmark,
        "risk_aversion": float(request.risk_aversion),
        "window": int(request.window),
        "max_iteration": int(request.max_iteration),
        "tol": float(request.tol),
        "solver": request.solver,
        **trading,
        "store": store,
        "version": version,
    }
    return json.loads(json.dumps(key, ensure_ascii=False))  # tuples as lists, as read back from the file


class Checkpoint:
    """An open checkpoint folder of one backtest (see the module's docstring).

    Parameters
    ----------
    folder : str or os.PathLike
        Created (with its parents) when it does not exist; an existing folder must be empty or a
        checkpoint of the same backtest.
    key : dict
        :func:`key_of` this backtest.

    Raises
    ------
    CheckpointMismatch
        The folder is the checkpoint of another backtest.
    CheckpointError
        The folder is a file, holds other files, or cannot be read or written.
    """

    def __init__(self, folder, key: dict):
        self.folder = Path(folder)
        self.key = key
        self.digest = hashlib.sha256(json.dumps(key, sort_keys=True).encode("utf-8")).hexdigest()
        try:
            self._open()
        except OSError as e:
            raise CheckpointError(folder, f"cannot be used: {e.strerror or e}") from None

    def _open(self) -> None:
        head = self.folder / KEY_FILE
        if self.folder.exists() and not self.folder.is_dir():
            raise CheckpointError(self.folder, "is a file, not a folder")
        if head.is_file():
            self._compare(head)
        elif self.folder.is_dir() and any(self.folder.iterdir()):
            raise CheckpointError(
                self.folder, f"holds other files and no {KEY_FILE}: not a checkpoint (give a new or empty folder)"
            )
        else:
            self.folder.mkdir(parents=True, exist_ok=True)
            files.write_atomic(head, lambda fh: _dump({"format": FORMAT, "key": self.key}, fh))
        entries = self.folder / ENTRIES
        entries.mkdir(exist_ok=True)
        # a file written and removed now: a read-only folder is refused before any date runs
        files.write_atomic(entries / ".probe", lambda fh: fh.write(""))
        os.unlink(entries / ".probe")

    def _compare(self, head: Path) -> None:
        try:
            with open(head, encoding="utf-8") as fh:
                doc = json.load(fh)
            theirs = doc["key"]
            if doc.get("format") != FORMAT or not isinstance(theirs, dict):
                raise ValueError(f"format {doc.get('format')!r}")
        except (ValueError, KeyError, TypeError) as e:
            raise CheckpointError(self.folder, f"{KEY_FILE} is not a checkpoint of this version ({e})") from None
        differences = [(name, theirs.get(name), ours) for name, ours in self.key.items() if theirs.get(name) != ours]
        if differences:
            raise CheckpointMismatch(self.folder, differences)

    def _entry(self, day: _dt.date) -> Path:
        return self.folder / ENTRIES / f"{day.isoformat()}.json"

    def load(self, day: _dt.date) -> dict | None:
        """The entry of ``day`` (the fields of :class:`vela_optimizer.backtest.executors.Outcome` but
        ``index``), or None when the date is not kept (or its entry cannot be read)."""
        try:
            with open(self._entry(day), encoding="utf-8") as fh:
                doc = json.load(fh)
            if doc.get("key") != self.digest or doc.get("date") != day.isoformat():
                return None
            return {
                "date": day,
                "weights": dict(doc["weights"]),
                "solver": doc["solver"],
                "dropped": [tuple(d) for d in doc["dropped"]],
                "notes": list(doc["notes"]),
                "seconds": float(doc["seconds"]),
                "store": doc["store"],
                "untradable": [tuple(u) for u in doc.get("untradable", [])],
                "shares": None if doc.get("shares") is None else {k: int(v) for k, v in doc["shares"].items()},
            }
        except (OSError, ValueError, KeyError, TypeError):
            return None

    def keep(self, outcome) -> None:
        """Store a rebalancing that succeeded (an ``Outcome`` without error).

        Raises
        ------
        CheckpointError
            It cannot be written (the dates kept so far stay).
        """
        doc = {
            "key": self.digest,
            "date": outcome.date.isoformat(),
            "weights": outcome.weights,
            "solver": outcome.solver,
            "dropped": [list(d) for d in outcome.dropped],
            "notes": list(outcome.notes),
            "seconds": outcome.seconds,
            "store": outcome.store,
            "untradable": [list(u) for u in outcome.untradable],
            "shares": outcome.shares,
        }
        try:
            files.write_atomic(self._entry(outcome.date), lambda fh: _dump(doc, fh))
        except OSError as e:
            raise CheckpointError(
                self.folder, f"the rebalancing of {outcome.date} cannot be written: {e.strerror or e}"
            ) from None

    def kept(self) -> int:
        """Rebalancing dates whose entry is in the folder."""
        try:
            return sum(
                1 for p in (self.folder / ENTRIES).iterdir() if p.suffix == ".json" and not files.is_temporary(p.name)
            )
        except OSError:
            return 0


def _dump(doc: dict, fh) -> None:
    json.dump(doc, fh, ensure_ascii=False, indent=0)
    fh.write("\n")
