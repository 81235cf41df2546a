"""vela-optimize's checks before any solve, run in-process: universe, kinds, labels, store, dates, listings.

Hand-computed figures come from the hand-written store of client_fixtures (KNOWN_CSV).
"""

import argparse
import datetime as dt
import os
import re
import sys

import pytest

import vela_optimizer
import veladatac
from vela_optimizer import request, universe
from vela_optimizer.cli import optimize as cli, options
from veladatac import catalog

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation, known_store, run, store  # noqa: E402,F401  (fixtures are found by name)

D = dt.date
KNOWN_IDS = ["600001.XSHG", "600002.XSHG", "000003.XSHE"]


def one_error(result) -> str:
    status, out, err = result
    lines = err.strip().splitlines()
    assert status == 2 and len(lines) == 1 and lines[0].startswith("vela-optimize: error: "), result
    return lines[0]


def table_rows(text: str) -> list:
    """The rows of the first table in ``text`` (the lines after the dashes), cells split on 2+ spaces."""
    lines = text.splitlines()
    start = next(i for i, ln in enumerate(lines) if ln.startswith("---")) + 1
    rows = []
    for ln in lines[start:]:
        if not ln.strip():
            break
        rows.append(re.split(r"\s{2,}", ln.strip()))
    return rows


def args_of(*argv) -> argparse.Namespace:
    return cli.build_parser().parse_args(list(argv))


def resolve_universe(args, date):
    return universe.resolve(args.ids, args.ids_file, args.universe, args.limit, veladatac, date)


def request_of(args, ids, date):
    """The command line's request on ``date`` over ``ids``."""
    kind = universe.classify(ids, veladatac).kind
    return request.from_options(
        args, veladatac, date, ids, kind, bnds=options.bounds_of(args), cons=options.constraint_of(args, vela_optimizer)
    )


# ---------------------------------------------------------------- parsing


@pytest.mark.parametrize(
    "argv, attribute, expected",
    [
        (["--default-bound", "-0.1:0.5"], "default_bound", (-0.1, 0.5)),
        (["--default-bound", "-.1:0.5"], "default_bound", (-0.1, 0.5)),
        (["--bound", "600001.XSHG=-0.2:0.3"], "bound", [("600001.XSHG", (-0.2, 0.3))]),
        (["--gics", "Money Market=0:0.25"], "gics", [("Money Market", (0.0, 0.25))]),
        (["--risk-aversion", "-1"], "risk_aversion", -1.0),
        (["--date", "20260105"], "date", D(2026, 1, 5)),
        (["--date", "2026-01-05"], "date", D(2026, 1, 5)),
        (["--", "-0.5"], "ids", ["-0.5"]),
    ],
)
def test_values_that_start_like_options_are_values(argv, attribute, expected):
    assert getattr(args_of(*argv), attribute) == expected


# ---------------------------------------------------------------- universe


def test_ids_from_every_source_are_merged_in_first_occurrence_order(known_store, tmp_path):
    veladatac.init(known_store)
    f = tmp_path / "ids.txt"
    f.write_text("# mine\n600002.XSHG\n000003.XSHE\n\n600001.XSHG\n", encoding="utf-8")
    args = args_of("600002.XSHG", "600002.XSHG", "--ids-file", str(f), "--universe", "000300.XSHG")
    # the index has 600001 and 600002 on 2025-01-08
    assert resolve_universe(args, D(2025, 1, 8)) == ["600002.XSHG", "000003.XSHE", "600001.XSHG"]


def test_traded_value_by_hand(known_store):
    # 20 trading days to 2025-01-08 reach back to 2024-12-11; the bars present (close x volume):
    # 600001: 9.8x900, 10x100, 10x0, 11x300, 11.5x400 -> 17720 / 5 days; 600002: 5x50, 5.1x60 -> 556 / 2;
    # 000003: 20x1000 on its only day
    veladatac.init(known_store)
    got = universe.traded_value(KNOWN_IDS, veladatac, D(2025, 1, 8))
    assert got.tolist() == pytest.approx([17720 / 5, 556 / 2, 20000.0], rel=1e-15)


@pytest.mark.parametrize(
    "date, limit, expected",
    [
        (D(2025, 1, 8), 1, ["000003.XSHE"]),
        (D(2025, 1, 8), 2, ["000003.XSHE", "600001.XSHG"]),
        (D(2025, 1, 8), 9, ["000003.XSHE", "600001.XSHG", "600002.XSHG"]),
        # on 2025-01-03 000003 and 600002 have no bar yet: both 0, kept in the order given
        (D(2025, 1, 3), 3, ["600001.XSHG", "600002.XSHG", "000003.XSHE"]),
    ],
)
def test_limit_keeps_the_largest_by_traded_value(known_store, date, limit, expected):
    veladatac.init(known_store)
    assert resolve_universe(args_of(*KNOWN_IDS, "--limit", str(limit)), date) == expected


@pytest.mark.parametrize(
    "ids, pieces",
    [
        (["600001", "600001.XSHG"], ["1 unknown id", "600001 (did you mean 600001.XSHG?)"]),
        (["600003.XSHG", "999999.XSHG", "600001.XSHG"], ["2 unknown ids", "999999.XSHG", "600003.XSHG (did you mean"]),
        (["600001.XSHG", "000300.XSHG"], ["000300.XSHG is an index", "--universe 000300.XSHG"]),
        (
            ["600001.XSHG", "000001.OF"],
            ["stocks and funds cannot be optimised together: 1 stock (600001.XSHG) and 1 fund (000001.OF)"],
        ),
    ],
)
def test_ids_of_the_wrong_kind_are_named(known_store, ids, pieces):
    veladatac.init(known_store)
    with pytest.raises(universe.UsageError) as e:
        resolve_universe(args_of(*ids), D(2025, 1, 8))
    for piece in pieces:
        assert piece in str(e.value)
    if "600003.XSHG (did you mean" in pieces:
        near = re.search(r"600003\.XSHG \(did you mean ([^?]*)\?\)", str(e.value)).group(1)
        assert {"600001.XSHG", "600002.XSHG"} <= set(re.split(r", | or ", near))
        assert "999999.XSHG (" not in str(e.value)


@pytest.mark.parametrize(
    "index, error, said",
    [
        # one digit off the store's index: refused with it, as an unknown id is
        ("000301.XSHG", universe.UsageError, "is not in store"),
        ("000301.SH", universe.UsageError, "is not in store"),
        # nothing close: the store's own refusal, without a guess
        ("999999.XSHG", veladatac.UnknownIdError, "is not in store"),
    ],
)
def test_an_unknown_index_is_refused_with_the_indices_it_may_mean(known_store, index, error, said):
    veladatac.init(known_store)
    with pytest.raises(error) as e:
        resolve_universe(args_of("--universe", index), D(2025, 1, 8))
    guess = re.search(r"\(did you mean ([^?]*)\?\)", str(e.value))
    assert said in str(e.value)
    assert (guess.group(1) if guess else None) == ("000300.XSHG" if error is universe.UsageError else None)


# ---------------------------------------------------------------- labels of group limits


@pytest.mark.parametrize(
    "ids, argv, date, rules, codes",
    [
        (KNOWN_IDS, ["--gics", "Energy=0:0.5"], D(2025, 1, 8), {"Energy": (0, 0.5)}, [None]),
        # a sector the store knows but no instrument of the universe carries: a cap there is kept (unused)
        (KNOWN_IDS, ["--gics", "Utilities=0:0.5"], D(2025, 1, 8), {"Utilities": (0, 0.5)}, [None]),
        # 600001 is in 银行 (801780) until 2025-01-06, in 非银金融 (801790) from 2025-01-07
        (KNOWN_IDS, ["--shenwan", "801780=0:0.5"], D(2025, 1, 6), {"银行": (0, 0.5)}, ["801780"]),
        (KNOWN_IDS, ["--shenwan", "银行=0:0.5"], D(2025, 1, 6), {"银行": (0, 0.5)}, ["801780"]),
        # a code no stock carries on the day resolves to its name all the same (the cap is then unused)
        (KNOWN_IDS, ["--shenwan", "801780=0:0.5"], D(2025, 1, 8), {"银行": (0, 0.5)}, ["801780"]),
        (
            KNOWN_IDS,
            ["--shenwan", "801790=0:0.4", "--shenwan", "石油石化=0.1:0.3"],
            D(2025, 1, 8),
            {"非银金融": (0, 0.4), "石油石化": (0.1, 0.3)},
            ["801790", "801960"],
        ),
        (KNOWN_IDS, ["--shenwan", "__NONE__=0:0.2"], D(2025, 1, 8), {"__NONE__": (0, 0.2)}, [None]),
        (["000001.OF"], ["--fund-type", "Stock=0:1"], D(2025, 1, 8), {"Stock": (0, 1)}, [None]),
    ],
)
def test_limit_labels_resolve_to_the_names_the_optimizer_groups_by(known_store, ids, argv, date, rules, codes):
    veladatac.init(known_store)
    args = args_of(*ids, *argv)
    limits = request_of(args, ids, date).limits
    assert limits.module_rules() == rules and [r.code for r in limits.rules] == codes
    assert [r.given for r in limits.rules] == [label for label, _ in getattr(args, options.limit_scheme(args))]
    assert vars(args) == vars(args_of(*ids, *argv))  # the caller's arguments are left as they were


@pytest.mark.parametrize(
    "ids, argv, date, line",
    [
        (
            KNOWN_IDS,
            ["--gics", "Financial=0:0.5"],
            D(2025, 1, 8),
            "--gics: unknown sector 'Financial' (did you mean 'Financials'?)",
        ),
        (
            KNOWN_IDS,
            ["--gics", "energy=0:0.5", "--gics", "Utilities=0:0.5", "--gics", "Finance=0:1"],
            D(2025, 1, 8),
            "--gics: unknown sector 'energy' (did you mean 'Energy'?), 'Finance' (did you mean 'Financials'?)",
        ),
        (KNOWN_IDS, ["--shenwan", "Banks=0:0.5"], D(2025, 1, 6), "--shenwan: unknown Shenwan industry 'Banks'"),
        # one character of two mistyped
        (
            KNOWN_IDS,
            ["--shenwan", "银航=0:0.5"],
            D(2025, 1, 6),
            "--shenwan: unknown Shenwan industry '银航' (did you mean '银行'?)",
        ),
        (
            KNOWN_IDS,
            ["--shenwan", "801781=0:0.5"],
            D(2025, 1, 6),
            "--shenwan: unknown Shenwan industry '801781' (did you mean",
        ),
        (
            KNOWN_IDS,
            ["--shenwan", "801780=0:0.5", "--shenwan", "银行=0:0.4"],
            D(2025, 1, 6),
            "--shenwan: the limit on 银行 is given twice (as 801780 and 银行)",
        ),
        (
            KNOWN_IDS,
            ["--gics", "Energy=0:0.5", "--gics", "Energy=0:0.4"],
            D(2025, 1, 6),
            "--gics: the limit on Energy is given twice",
        ),
        (
            KNOWN_IDS,
            ["--fund-type", "Stock=0:0.5"],
            D(2025, 1, 8),
            "--fund-type limits apply to funds, and no id of the universe is a fund: 3 stocks lack a fund type "
            "(600001.XSHG, 600002.XSHG, 000003.XSHE)",
        ),
        (
            KNOWN_IDS,
            ["--fund-type", "Stok=0:0.5"],
            D(2025, 1, 8),
            "--fund-type: unknown fund type 'Stok' (did you mean 'Stock'?)",
        ),
        (["000001.OF"], ["--gics", "Energy=0:0.5"], D(2025, 1, 8), "--gics limits apply to stocks"),
        (["000001.OF"], ["--shenwan", "银行=0:0.5"], D(2025, 1, 8), "--shenwan limits apply to stocks"),
        (
            KNOWN_IDS,
            ["--gics", "Energy=0.5:0.2"],
            D(2025, 1, 8),
            "--gics: the limit on Energy: the floor 0.5 is above the cap 0.2",
        ),
        (
            KNOWN_IDS,
            ["--gics", "Nowhere=2:3"],
            D(2025, 1, 8),
            "--gics: the limit on Nowhere: the floor 2.0 is not a fraction from 0 to 1",
        ),
    ],
)
def test_limits_that_name_no_real_label_or_the_wrong_kind_are_refused(known_store, ids, argv, date, line):
    veladatac.init(known_store)
    args = args_of(*ids, *argv)
    with pytest.raises(vela_optimizer.InvalidArgument) as e:
        request_of(args, ids, date)
    assert options.refusal_line(e.value, args).startswith(line)


# ---------------------------------------------------------------- store and dates


def test_window_coverage_by_hand(known_store):
    # a 10-day window to 2025-01-10 starts 2024-12-26: 11 trading days, bars from 2024-12-31 on (8 days)
    veladatac.init(known_store)
    assert cli.window_coverage(veladatac, catalog.extent(), D(2025, 1, 10), 10) == (D(2024, 12, 26), 11, 8)


@pytest.mark.parametrize(
    "asked, today, expected",
    [
        (None, D(2026, 12, 8), D(2025, 1, 10)),  # today is past the data: the last day with data
        (None, D(2025, 1, 5), D(2025, 1, 3)),  # a Sunday: the Friday before
        (D(2025, 1, 4), D(2026, 12, 8), D(2025, 1, 3)),
        (D(2025, 1, 9), D(2025, 1, 9), D(2025, 1, 9)),
        (D(2025, 1, 10), D(2025, 1, 9), "--date 2025-01-10 is after today (2025-01-09); the store"),
        (D(2025, 1, 13), D(2026, 12, 8), "--date 2025-01-13 is past the last day in the store; the store"),
    ],
)
def test_the_date_used(known_store, asked, today, expected):
    veladatac.init(known_store)
    extent = catalog.extent()
    if isinstance(expected, str):
        with pytest.raises(universe.UsageError) as e:
            request.resolve_date(asked, veladatac, extent, today)
        assert str(e.value).startswith(expected) and str(e.value).endswith("has data for 2024-12-31 .. 2025-01-10")
    else:
        assert request.resolve_date(asked, veladatac, extent, today) == expected


@pytest.mark.parametrize(
    "content, piece",
    [
        (None, "does not exist"),
        ("not a store\n", "is not a store file"),
    ],
)
def test_a_store_that_cannot_be_read_is_one_line(tmp_path, run, content, piece):
    path = tmp_path / "store.sqlite"
    if content is not None:
        path.write_text(content, encoding="utf-8")
    line = one_error(run(path, "600000.XSHG", "600004.XSHG"))
    assert piece in line and str(path) in line


def test_dates_outside_the_store_are_refused_with_its_range(store, run):
    today = dt.date.today()
    later = one_error(run(store.path, "600000.XSHG", "600004.XSHG", "--date", today + dt.timedelta(days=30)))
    assert "is after today" in later and f"has data for {store.start} .. {store.end}" in later
    if today > D(2026, 7, 15):
        past = one_error(run(store.path, "600000.XSHG", "600004.XSHG", "--date", "2026-07-15"))
        assert "past the last day in the store" in past and f"{store.start} .. {store.end}" in past


def test_a_negative_bound_reaches_the_optimizers_own_check(store, run):
    line = one_error(run(store.path, "600000.XSHG", "600004.XSHG", "--default-bound", "-0.1:0.5"))
    assert line == "vela-optimize: error: the default bound (*): the lower side -0.1 is not a fraction from 0 to 1"


# ---------------------------------------------------------------- listings


@pytest.mark.parametrize(
    "argv, rows",
    [
        (["--list", "indices"], [["000300.XSHG", "沪深300", "2"]]),
        (["--list", "sectors"], [["Energy", "1"], ["Financials", "1"], ["Information Technology", "1"]]),
        (["--list", "industries"], [["801790", "非银金融", "1"], ["801960", "石油石化", "1"]]),
        (["--list", "fund-types"], [["Stock", "1"]]),
        (
            ["--list", "ids", "--universe", "000300.XSHG"],
            [["600001.XSHG", "甲股份", "stock", "Financials"], ["600002.XSHG", "乙股份", "stock", "Energy"]],
        ),
        (["--list", "sectors", "600001.XSHG"], [["Financials", "1"]]),
        (
            ["--list", "ids"],
            [
                ["000003.XSHE", "丙科技", "stock", "Information Technology"],
                ["600001.XSHG", "甲股份", "stock", "Financials"],
                ["600002.XSHG", "乙股份", "stock", "Energy"],
                ["000001.OF", "甲基金", "fund", "Stock"],
            ],
        ),
    ],
)
def test_listings_on_a_day(known_store, run, argv, rows):
    status, out, err = run(known_store, *argv, "--date", "2025-01-08")
    assert status == 0 and err == ""
    assert table_rows(out) == rows


def test_listing_names_the_unclassified(known_store, run):
    status, out, _ = run(known_store, "--list", "industries", "--date", "2025-01-08")
    assert status == 0 and out.rstrip().endswith("1 id without a Shenwan industry")


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--bound", "600001.XSHG=0:0.5"], []),
        # ids the store does not know are no instruments outside the universe: refused, not noted
        (
            ["--bound", "600011.XSHG=0:0.5", "--bound", "900000.XSHG=0:0.2"],
            "--bound: 2 unknown ids in store {store}: 600011.XSHG (did you mean 600001.XSHG?), 900000.XSHG",
        ),
        (["--bound", "600001.XSHG=0:0.5", "--bound", "600001.XSHG=0:0.4"], "--bound is given twice for 600001.XSHG"),
        # the default bound given both ways: one of them had been dropped without a word
        (
            ["--bound", "*=0:0.3", "--default-bound", "0:0.12"],
            "--bound '*=0:0.3' and --default-bound 0:0.12 both give the bound of every other instrument",
        ),
        (["--bound", "*=0:0.3", "--bound", "*=0:0.2"], "--bound is given twice for *"),
    ],
)
def test_bounds_outside_the_universe_or_given_twice(known_store, argv, expected):
    veladatac.init(known_store)
    args = args_of(*KNOWN_IDS, *argv)
    if isinstance(expected, str):
        with pytest.raises(universe.UsageError, match=re.escape(expected.format(store=known_store))):
            request_of(args, KNOWN_IDS, D(2025, 1, 8))
    else:
        assert request_of(args, KNOWN_IDS, D(2025, 1, 8)).notes == expected


# The universe is 600001.XSHG and 600002.XSHG; the store knows 000003.XSHE (a stock), 000001.OF (a
# fund) and 000300.XSHG (an index) besides.
@pytest.mark.parametrize(
    "bounds, expected",
    [
        # malformed: a suffix misspelt, none at all, a name
        (["600001.XSG"], "1 unknown id in store {store}: 600001.XSG (did you mean 600001.XSHG or 600002.XSHG?)"),
        (["600001"], "1 unknown id in store {store}: 600001 (did you mean 600001.XSHG?)"),
        (["浦发银行"], "1 unknown id in store {store}: 浦发银行"),
        # well-formed, in any spelling, but no such id (600002 is on the other exchange); every one is
        # named, a known one beside them is not
        (["699999.XSHG"], "1 unknown id in store {store}: 699999.XSHG"),
        (
            ["699999.sh", "000003.XSHE", "600002.xshe"],
            "2 unknown ids in store {store}: 699999.XSHG, 600002.XSHE (did you mean 600002.XSHG?)",
        ),
        # known to the store, outside the universe, in any spelling: the note
        (["000003.SZ"], ["--bound for 1 id outside the universe had no effect: 000003.XSHE"]),
        (
            ["000003.xshe", "000001.OF", "000300.XSHG"],
            ["--bound for 3 ids outside the universe had no effect: 000003.XSHE, 000001.OF, 000300.XSHG"],
        ),
        # in the universe, in any spelling: bound, without a word
        (["600001.sh", "600002.XSHG"], []),
    ],
    ids=[
        "suffix-misspelt",
        "no-suffix",
        "a-name",
        "no-such-id",
        "two-unknown",
        "known-outside",
        "three-kinds-outside",
        "inside",
    ],
)
def test_a_bound_on_an_id_the_store_does_not_know_is_refused(known_store, bounds, expected):
    veladatac.init(known_store)
    ids = KNOWN_IDS[:2]
    args = args_of(*ids, *[a for oid in bounds for a in ("--bound", f"{oid}=0:0.5")])
    if isinstance(expected, str):
        with pytest.raises(universe.UsageError) as e:
            request_of(args, ids, D(2025, 1, 8))
        assert str(e.value) == "--bound: " + expected.format(store=known_store)
    else:
        assert request_of(args, ids, D(2025, 1, 8)).notes == expected


def test_a_window_without_any_data_is_refused_with_the_stores_range(known_store, run):
    # bars run 2024-12-31 .. 2025-01-10; a 10-day window to 2024-06-03 holds none of them
    line = one_error(run(known_store, "600001.XSHG", "000003.XSHE", "--date", "2024-06-03", "--window", "10"))
    assert line.endswith(f"has no data in the store {known_store}, which has data for 2024-12-31 .. 2025-01-10")


# ---------------------------------------------------------------- files as desks save them

HELD = "order_book_id,名称,weight\n600000.SH,浦发银行,0.3\n000001.SZ,平安银行,0.3\n"
NAMES_FIRST = "名称,order_book_id,weight\n浦发银行,600000.SH,0.3\n"


@pytest.mark.parametrize(
    "data, text",
    [
        (HELD.encode("gbk"), HELD),  # Excel's 'CSV (逗号分隔)' on Chinese Windows
        (HELD.encode("utf-8-sig"), HELD),  # Excel's 'CSV UTF-8'
        (HELD.encode("utf-8"), HELD),
        # GBK behind a UTF-8 byte-order mark: the mark is not text, whichever column comes first
        (b"\xef\xbb\xbf" + HELD.encode("gbk"), HELD),
        (b"\xef\xbb\xbf" + NAMES_FIRST.encode("gbk"), NAMES_FIRST),
    ],
)
def test_a_file_a_desk_gives_reads_as_its_text(tmp_path, data, text):
    path = tmp_path / "held.csv"
    path.write_bytes(data)
    assert universe.read_text(path, "--holdings") == text


# ---------------------------------------------------------------- refusals in the command's words


@pytest.mark.parametrize(
    "argv, line",
    [
        (["--window", "1"], "--window 1: give a whole number of trading days, at least 2"),
        (["--risk-aversion", "-1"], "--risk-aversion -1.0: give a number of at least 0"),
        (["--risk-aversion", "inf"], "--risk-aversion inf: give a number of at least 0"),
        (["--tol", "0"], "argument --tol: invalid tolerance '0': give a number above 0 (see vela-optimize --help)"),
        (["--tol", "nan"], "argument --tol: invalid tolerance 'nan': give a number above 0 (see vela-optimize --help)"),
        (
            ["--max-iteration", "0"],
            "argument --max-iteration: invalid count '0': give a whole number of at least 1 (see vela-optimize --help)",
        ),
        (["--default-bound", "0.5:0.2"], "the default bound (*): the lower side 0.5 is above the upper side 0.2"),
        (["--bound", "600000.SH=0:2"], "the bound of 600000.XSHG: the upper side 2.0 is not a fraction from 0 to 1"),
        (["--gics", "Energy=0:1.5"], "--gics: the limit on Energy: the cap 1.5 is not a fraction from 0 to 1"),
        (["--shenwan", "银行=0.3:0.2"], "--shenwan: the limit on 银行: the floor 0.3 is above the cap 0.2"),
        # one instrument, named or left by --limit: the optimiser's own refusal was in its words
        (["--ids", "600000.SH"], "one instrument (600000.XSHG): an optimisation needs at least two"),
        (["--ids", "600000.SH", "600000.XSHG"], "one instrument (600000.XSHG): an optimisation needs at least two"),
        (
            ["--window", "100000"],
            "date 2026-06-30 has fewer than window=100000 trading days before it in the store's trading calendar (",
        ),
        (
            ["--time-limit", "0"],
            "argument --time-limit: invalid time limit '0': give a number of seconds above 0",
        ),
        (["--time-limit", "5", "--solver", "scipy"], "--solver scipy cannot take --time-limit: the module's own solve"),
        # two weights capped at a half: equal contributions are out of reach, so the solve goes past the start
        (
            ["--time-limit", "1e-9", "--method", "risk_parity", "--default-bound", "0:0.5"],
            "the native solve reached the time limit (1e-09 s) without converging (",
        ),
    ],
)
def test_refusals_of_option_values_are_english_lines(store, run, capsys, argv, line):
    ids = ["600000.XSHG", "600004.XSHG"] if "--ids" not in argv else []
    argv = [a for a in argv if a != "--ids"]
    try:
        result = run(store.path, *ids, "--date", store.end, *argv)
    except SystemExit as e:  # a value argparse refuses
        result = (e.code, *capsys.readouterr())
    assert one_error(result).startswith(f"vela-optimize: error: {line}")
