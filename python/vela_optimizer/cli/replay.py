"""``vela-optimize --replay FILE.json``: the run a ``--json`` record holds, run again as it ran.

The record's inputs hold what was asked and what was read: every option, the trading day used, the
ids named (``--ids-file`` as it was read), the holdings (their weights, and their shares and the
portfolio's value where a file gave shares) and the store's identity. An index's members and the
``--limit`` largest are read anew from the same store on the same day, so they are the ones the run
had; a store holding other data is refused. Beside ``--replay`` only the outputs, ``--store`` and
``--quiet`` may be given: any other option would make it another run.
"""

from __future__ import annotations

import argparse
import json
import os

from vela_optimizer.cli import options

# what a command line may give beside --replay: where the recorded run's report goes and where it runs
REPLAY_TAKES = ("json", "csv", "plot", "trades", "store", "quiet", "replay")


def replayed(build_parser, parser, given, argv):
    """The options of the run recorded in ``given.replay``, with this command line's outputs, store
    and ``--quiet``; the recorded holdings and store identity ride along (``replay_holdings``,
    ``replay_store``) for the run to use and check."""
    from vela_optimizer.cli.holdings import Holdings

    others = options.given_besides(build_parser, argv, REPLAY_TAKES)
    if others:
        parser.error(
            f"--replay runs the recorded options: leave out {', '.join(others)} (with --replay only the "
            "outputs, --store and --quiet may be given)"
        )

    def refuse(why: str):
        parser.exit(
            options.EXIT_USAGE,
            f"vela-optimize: error: --replay {given.replay}: not a record of vela-optimize --json ({why})\n",
        )

    if not os.path.isfile(given.replay):
        parser.exit(options.EXIT_USAGE, f"vela-optimize: error: --replay {given.replay}: no such file\n")
    try:
        # utf-8-sig: a record opened and saved again in Windows Notepad may start with a BOM
        with open(given.replay, encoding="utf-8-sig") as fh:
            inputs = json.load(fh)["report"]["inputs"]
        argv = argv_of(inputs)
        if not isinstance(inputs["store_identity"], dict):
            raise TypeError(f"store_identity {inputs['store_identity']!r} is not a store's identity")
        held = _holdings(inputs)
        recorded = given_of(inputs)
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
        refuse(f"{type(e).__name__}: {e}")
    args = options.parse_recorded(parser, argv, given, REPLAY_TAKES, refuse)
    args.replay_holdings = None if held is None else Holdings(*held)
    args.replay_holdings_file = inputs.get("holdings_file")  # what the record says they were read from
    args.replay_store = inputs["store_identity"]
    args.replay_given = recorded
    return args


def given_of(inputs: dict) -> dict:
    """What the recorded run was given, as its record says it (the replay runs on the ids the run read
    and the day it used): the day asked for (None: the latest), the ids named and ``--ids-file``."""
    asked = inputs.get("date_requested")
    if not (asked is None or isinstance(asked, str)):
        raise TypeError(f"date_requested {asked!r} is not a date")
    u = inputs["universe"]
    return {"date_requested": asked, **recorded_ids(u["ids"], u["ids_file"], "universe.")}


def recorded_ids(ids, ids_file, where: str = "") -> dict:
    """{"ids", "ids_file"} as a record gives them (``where``: their place in it, for the message).

    Raises
    ------
    TypeError
        The ids are not a list of ids, or the file is not a file name (an edited record).
    """
    if not (isinstance(ids, list) and all(isinstance(i, str) for i in ids)):
        raise TypeError(f"{where}ids must be a list of ids")
    if not (ids_file is None or isinstance(ids_file, str)):
        raise TypeError(f"{where}ids_file {ids_file!r} is not a file name")
    return {"ids": list(ids), "ids_file": ids_file}


def _holdings(inputs: dict):
    """(weights, shares or None, value or None, notes) of the recorded holdings, or None without any."""
    weights = inputs.get("holdings")
    if not weights:
        return None
    if not all(isinstance(k, str) and isinstance(v, (int, float)) for k, v in weights.items()):
        raise TypeError("holdings must map ids to weights")
    shares, value = inputs.get("holdings_shares"), inputs.get("holdings_value")
    whole = isinstance(shares, dict) and all(isinstance(v, int) for v in shares.values())
    if shares is not None and not (whole and isinstance(value, (int, float))):
        raise TypeError("holdings_shares must map ids to whole shares, beside the holdings' value")
    notes = inputs.get("holdings_notes") or []
    if not (isinstance(notes, list) and all(isinstance(n, str) for n in notes)):
        raise TypeError("holdings_notes must be a list of texts")
    return dict(weights), (None if shares is None else dict(shares)), value if shares is not None else None, notes


def argv_of(inputs: dict) -> list:
    """The command line of a recorded run (see :func:`vela_optimizer.cli.optimize.inputs_of`)."""
    u = inputs["universe"]
    if "named_ids" in inputs:
        argv = list(inputs["named_ids"])
    else:  # a record from before the ids read from --ids-file were kept: the file as it is now
        argv = list(u["ids"]) + (["--ids-file", u["ids_file"]] if u["ids_file"] else [])
    if u["index"]:
        argv += ["--universe", u["index"]]
    if u["limit"] is not None:
        argv += ["--limit", str(u["limit"])]
    # the day asked for (a holiday, a weekend) resolves on the same store to the day used, and the
    # replay's report and record then say what the run's said
    argv += ["--date", inputs.get("date_requested") or inputs["date_used"], *options.solve_argv(inputs)]
    for key, option in (("max_turnover", "--max-turnover"), ("capital", "--capital"), ("time_limit", "--time-limit")):
        argv += [option, repr(inputs[key])] if inputs.get(key) is not None else []
    return argv + options.limits_argv(inputs["bounds"], inputs["limits"])


def add_argument(p: argparse._ActionsContainer) -> None:
    """``--replay FILE.json`` on the parser or argument group ``p``."""
    p.add_argument(
        "--replay",
        metavar="FILE.json",
        help="run again the run a --json record holds, on the same store and day (only the outputs, "
        "--store and --quiet may be given beside it)",
    )
