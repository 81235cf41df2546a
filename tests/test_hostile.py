"""Hostile inputs: every published function, and every function it hands out, answers with a
Python exception (the system's own, with its exact text, where one is decided) or with a sound
result; never a crash, a hang, or a result carrying garbage.

`make test` runs the short hypothesis profile, `make test-heavy` the long one; `make test-asan`
runs this file under AddressSanitizer, which turns a silent memory fault into a failure.
"""

import contextlib
import datetime
import math
import os
import re
import subprocess
import sys
import textwrap
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import event, given, strategies as st
from hypothesis.control import currently_in_test_context
from hypothesis.extra import numpy as hnp

from conftest import FakeClient, fund, price_tables, stock
from vela_optimizer import optimizer as opt

IA, OF = opt.InvalidArgument, opt.OptimizationFailed
M = opt.OptimizeMethod

# Every InvalidArgument text the system raises; "{}" stands for a substituted value.
TEMPLATES = [
    "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}",
    "OPTIMIZER: tol 必须为正数，传入值为：{}",
    "OPTIMIZER: window 必须为不小于2的整数，传入值为：{}",
    "OPTIMIZER: max_iteration 必须为正整数，传入值为：{}",
    "使用 MIN_TRACKING_ERROR 方法时，必须传入 benchmark 参数",
    "日期不能早于2005-07-01（之前没有足够的数据）",
    "合约数目太少",
    "OPTIMIZER: 合约 {} 重复出现",
    "unknown instrument: {}",
    "unknown instrument {} for type {}",
    "传入的合约应该为统一类型，{}({}) 和 {}({}) 类型不同",
    "OPTIMIZER: 经过剔除后，合约数目不足2个",
    "OPTIMIZER: 合约 {} 的下限 {} 高于上限 {}",
    "OPTIMIZER: 合约 {} 的下限 {} 无效",
    "OPTIMIZER: 合约 {} 的上限 {} 无效",
    "OPTIMIZER: bnds 下限之和大于1",
    "OPTIMIZER: 经过剔除后，bnds 上限之和小于1",
    "OPTIMIZER: 约束 {} 的下限 {} 无效",
    "OPTIMIZER: 约束 {} 的上限 {} 无效",
    "OPTIMIZER: 约束的下限 {} 高于上限 {}",
    "OPTIMIZER: 约束的下限之和大于1",
    "OPTIMIZER: 约束的上限之和小于1",
    "OPTIMIZER: 基准与合约的共同有效交易日不足2天",
]
KNOWN_TEXT = re.compile("|".join(re.escape(t).replace(r"\{\}", ".*") for t in TEMPLATES), re.S)


class Boom(Exception):
    """Raised by the hostile objects below: reaching the caller unchanged is the right answer."""


def _boom(*_args, **_kwargs):
    raise Boom()


class Hostile:
    """Every protocol it may be asked for raises Boom: length, iteration, items, hashing,
    comparison, conversion, truth, formatting and any ordinary attribute."""

    __len__ = __iter__ = __getitem__ = __contains__ = __hash__ = _boom
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _boom
    __float__ = __index__ = __int__ = __bool__ = __format__ = __str__ = _boom

    def __getattr__(self, name):  # special names stay absent: tools probe them with getattr()
        raise AttributeError(name) if name.startswith("__") else Boom(name)

    def __repr__(self):
        return "Hostile()"


def among(*values):
    """One of `values` (sampled_from and just() hash them, and a Hostile() refuses)."""
    return st.one_of(*(st.builds(Hostile) if isinstance(v, Hostile) else st.just(v) for v in values))


def outcome(call):
    """(result, None) or (None, exception) of call(), with any warnings recorded, not raised.

    The exception must be one the caller can handle: never SystemError (a Python error left
    set or lost by native code) and never RuntimeError (what a C++ exception becomes at the
    boundary). The system's own exceptions carry exactly one argument, a known text."""
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        try:
            result = call()
        except Exception as e:  # judged below
            assert type(e) not in (SystemError, RuntimeError), repr(e)
            if isinstance(e, IA):
                assert len(e.args) == 1 and KNOWN_TEXT.fullmatch(e.args[0]), e.args
            if isinstance(e, OF):
                assert len(e.args) == 1 and isinstance(e.args[0], str), e.args
            tally(type(e).__name__)
            return None, e
    tally("answered")
    return result, None


def tally(what):
    """The mix of outcomes, shown by --hypothesis-show-statistics."""
    if currently_in_test_context():
        event(what)


def assert_weights(result, labels, budget=True):
    """A method result: one finite float per label, summing to 1 when the budget record holds."""
    assert isinstance(result, dict) and set(result) <= set(labels)
    assert all(type(w) is float and math.isfinite(w) for w in result.values()), result
    if budget and len(set(labels)) == len(labels):
        assert abs(sum(result.values()) - 1) < 1e-4, result


# ---- building blocks ------------------------------------------------------------------------


def mostly(valid, spoiled, odds=6):
    """`valid` in `odds` draws out of odds + 1, else `spoiled`: a bad value among sound ones
    reaches further into the code than a draw that is wrong everywhere."""
    return st.integers(0, odds).flatmap(lambda k: spoiled if k == 0 else valid)


def one_spoiled(data, **choices):
    """{name: value} where at most one name, chosen by the draw, gets its spoiled value;
    choices are name=(valid, spoiled) strategies."""
    bad = data.draw(st.sampled_from([None, *choices]), label="spoiled")
    return {
        name: data.draw(spoiled if name == bad else valid, label=name) for name, (valid, spoiled) in choices.items()
    }


finite = st.floats(-1e3, 1e3, allow_nan=False)
any_float = st.floats(allow_nan=True, allow_infinity=True)
fraction = st.sampled_from([0, 1, 0.0, 0.1, 0.25, 0.3, 0.5, 0.7, 1.0, np.float64(0.2), np.int64(1)])
number = mostly(
    fraction,
    st.one_of(
        any_float,
        st.integers(-2, 3),
        st.fractions(0, 2),
        st.none(),
        st.builds(Hostile),
        st.text(max_size=2),
        st.just(np.float64("nan")),
    ),
)
pair = mostly(
    st.tuples(fraction, fraction).map(sorted).map(tuple),
    st.one_of(st.tuples(number, number), st.lists(number, max_size=3), number),
)
label = mostly(
    st.sampled_from(["a", "b", "c", "*"]),
    st.one_of(st.text(max_size=2), st.integers(-2, 2), st.none(), st.tuples(st.text(max_size=1))),
)

# A weight vector as the minimizer, a user or a stranger might pass it.
hostile_x = st.one_of(
    st.none(),
    st.builds(Hostile),
    st.text(max_size=4),
    st.integers(),
    any_float,
    st.lists(any_float, max_size=6),
    st.lists(st.one_of(finite, st.none(), st.text(max_size=1), st.builds(Hostile), st.just([1.0])), max_size=5),
    hnp.arrays(
        st.one_of(hnp.floating_dtypes(), hnp.integer_dtypes(), hnp.complex_number_dtypes(), hnp.boolean_dtypes()),
        hnp.array_shapes(min_dims=0, max_dims=3, max_side=6),
    ),
    hnp.arrays(np.float64, st.integers(0, 12), elements=finite).map(lambda a: a[::2]),  # strided
    hnp.arrays(">f8", 3, elements=finite),  # byte-swapped
)


@contextlib.contextmanager
def installed(name, value):
    """The module global `name` replaced for a block (the module reads its globals per call).
    Hypothesis tests cannot use the function-scoped monkeypatch fixture."""
    real = getattr(opt, name)
    setattr(opt, name, value)
    try:
        yield value
    finally:
        setattr(opt, name, real)


def with_minimizer(minimize, call):
    with installed("sc_opt", types.SimpleNamespace(minimize=minimize)):
        return call()


def handed_out():
    """Every function the five methods and _to_constraint hand to the minimizer, N = 3."""
    seen = []

    def minimize(fun, x0, **kw):
        seen.extend([fun, kw.get("jac")] + [r["fun"] for r in kw.get("constraints") or []])
        return types.SimpleNamespace(success=True, nit=1, status=0, message="", x=np.asarray(x0, float))

    ids = list("abc")
    c = pd.DataFrame(np.diag([1e-4, 2e-4, 3e-4]), index=ids, columns=ids)
    df = pd.DataFrame(np.random.default_rng(1).normal(0, 0.01, (30, 3)), columns=ids)
    cons = opt._to_constraint({"A": [0, 2], "B": [1]}, {"A": (0.2, 0.6), "B": (0.4, 0.8)})
    w, b = [1 / 3] * 3, [(0, 1)] * 3
    with_minimizer(
        minimize,
        lambda: [
            opt.risk_parity_optimize(c, w, b, 50),
            opt.risk_parity_with_cons_optimize(c, w, b, cons, 50, 1e-8),
            opt.min_variance_optimize(c, w, b, cons, 50, 1e-8),
            opt.mean_variance_optimize(c, w, 2, pd.Series([1e-3, 2e-3, 3e-3], index=ids), b, cons, 50, 1e-8),
            opt.min_tracking_error_optimize(w, df.mean(axis=1), df, b, cons, 50, 1e-8),
        ],
    )
    return {f.__qualname__: f for f in seen if f is not None}


CLOSURES = handed_out()


def test_every_kind_of_closure_is_exercised():
    names = {q.rsplit(".", 1)[1] for q in CLOSURES}
    assert names == {
        "log_barrier_risk_parity_obj_fun",
        "log_barrier_risk_parity_gradient",
        "risk_parity_with_con_obj_fun",
        "min_variance_obj_fun",
        "min_variance_gradient",
        "mean_variance_obj_fun",
        "mean_variance_gradient",
        "min_TE_obj_fun",
        "group_floor_fun",
        "group_cap_fun",
        "budget_fun",
    }


@pytest.mark.parametrize("name", sorted(CLOSURES))
@given(x=hostile_x)
def test_closures_called_with_anything(name, x):
    fun = CLOSURES[name]
    result, error = outcome(lambda: fun(x))
    if error is not None:
        return
    if name.endswith("_gradient"):
        assert isinstance(result, np.ndarray) and result.dtype == np.float64 and result.shape == (3,)
    else:
        assert type(result) is float
    # Any one-dimensional numeric layout (strided, byte-swapped, integer, float32) reads as the
    # same numbers: the answer is the one for a plain float64 copy.
    if isinstance(x, np.ndarray) and x.ndim == 1 and x.dtype.kind in "biuf":
        again = fun(np.ascontiguousarray(x, dtype=np.float64))
        np.testing.assert_array_equal(result, again)


@given(
    ids=mostly(st.lists(label, max_size=6), st.one_of(st.none(), st.builds(Hostile), st.text(max_size=3))),
    bounds=mostly(
        st.dictionaries(label, pair, max_size=5), st.one_of(st.none(), st.builds(Hostile), st.lists(pair, max_size=2))
    ),
)
def test_general_bnds_with_anything(ids, bounds):
    result, error = outcome(lambda: opt._general_bnds(ids, bounds))
    if error is None:
        assert len(result) == len(ids)
        for lower, upper in result:
            assert 0 <= lower <= upper <= 1  # NaN fails this too


positions = mostly(
    st.lists(st.integers(0, 4), max_size=4, unique=True).map(sorted),
    st.one_of(
        st.lists(st.integers(-7, 7), max_size=4),
        st.builds(Hostile),
        st.none(),
        st.lists(st.sampled_from([0.5, "1", None]), min_size=1, max_size=2),
    ),
)


@given(
    reversed_index=mostly(st.dictionaries(label, positions, max_size=4), st.one_of(st.none(), st.builds(Hostile))),
    rules=mostly(st.dictionaries(label, pair, max_size=4), st.one_of(st.none(), st.builds(Hostile))),
    x=hnp.arrays(np.float64, 5, elements=finite),
)
def test_to_constraint_with_anything(reversed_index, rules, x):
    records, error = outcome(lambda: opt._to_constraint(reversed_index, rules))
    if error is not None:
        return
    assert len(records) % 2 == 1 and records[-1]["type"] == "eq"
    assert records[-1]["fun"](x) == pytest.approx(x.sum() - 1)
    for floor, cap in zip(records[:-1:2], records[1:-1:2]):
        assert floor["type"] == cap["type"] == "ineq"
        values, error = outcome(lambda floor=floor, cap=cap: (floor["fun"](x), cap["fun"](x)))
        if error is None:  # floor + cap = upper − lower, a checked rule: within [0, 1]
            assert -1e-9 <= sum(values) <= 1 + 1e-9
        else:
            assert isinstance(error, IndexError)  # a position beyond x


def frame(data, labels):
    return pd.DataFrame(data, columns=pd.Index(labels, dtype=object, tupleize_cols=False))


@st.composite
def return_tables(draw, max_cols=8, min_rows=0, min_cols=0):
    """Returns of a few columns over a few rows, with missing, infinite and huge entries, and
    labels that may repeat or be no strings at all."""
    rows, cols = draw(st.integers(min_rows, 30)), draw(st.integers(min_cols, max_cols))
    data = np.random.default_rng(draw(st.integers(0, 2**32 - 1))).normal(0, 0.01, (rows, cols))
    mark = st.tuples(
        st.integers(0, max(rows - 1, 0)),
        st.integers(0, max(cols - 1, 0)),
        st.sampled_from([np.nan, np.inf, -np.inf, 1e300, 0.0]),
    )
    marks = draw(mostly(st.just([]), st.lists(mark, min_size=1, max_size=6), odds=1))
    for r, c, v in marks:
        if rows and cols:
            data[r, c] = v
    labels = draw(st.lists(label, min_size=cols, max_size=cols))
    return frame(data, labels), not marks


@given(return_tables(max_cols=19))  # panels of 8 columns: whole, partial and several
def test_cov_shrinkage_with_missing_infinite_and_odd_labels(table):
    df, clean = table
    (shrunk, delta), error = outcome(lambda: opt._cov_shrinkage(df))
    assert error is None, error
    n = df.shape[1]
    assert shrunk.shape == (n, n) and shrunk.index.equals(df.columns) and shrunk.columns.equals(df.columns)
    assert delta in (0, 1) if type(delta) is int else 0 < delta <= 1
    values = shrunk.to_numpy()
    assert np.array_equal(values, values.T, equal_nan=True)
    if clean and df.shape[0] >= 3 and n >= 2:
        assert np.isfinite(values).all()


@pytest.mark.parametrize(
    "df",
    [
        None,
        Hostile(),
        [[0.1, 0.2], [0.3, 0.4]],
        pd.Series([0.1, 0.2]),
        pd.DataFrame({"a": ["x", "y"], "b": ["z", "w"]}),
        pd.DataFrame({"a": [Hostile(), Hostile()]}),
    ],
)
def test_cov_shrinkage_refuses_what_is_no_table_of_numbers(df):
    assert outcome(lambda: opt._cov_shrinkage(df))[1] is not None


def test_cov_shrinkage_at_2000_instruments():
    data = np.random.default_rng(3).normal(0, 0.01, (25, 2000))
    data[:5, ::7] = np.nan  # leading gaps: the masked kernels
    shrunk, delta = opt._cov_shrinkage(frame(data, [f"S{i}" for i in range(2000)]))
    values = shrunk.to_numpy()
    assert np.isfinite(values).all() and np.array_equal(values, values.T) and 0 <= delta <= 1


# ---- methods ----------------------------------------------------------------------------------


@st.composite
def covariances(draw):
    """A covariance table of 1 to 4 instruments, now and then with bad entries, odd labels, a
    wrong shape, or no table at all."""
    n = draw(st.integers(1, 4))
    a = np.random.default_rng(draw(st.integers(0, 2**32 - 1))).normal(0, 0.01, (n + 3, n))
    c = a.T @ a + 1e-5 * np.eye(n)
    for i, j, v in draw(
        mostly(
            st.just([]),
            st.lists(
                st.tuples(st.integers(0, n - 1), st.integers(0, n - 1), st.sampled_from([np.nan, np.inf, -1.0, 0.0])),
                min_size=1,
                max_size=2,
            ),
        )
    ):
        c[i, j] = v
    labels = draw(mostly(st.just([f"S{i}" for i in range(n)]), st.lists(label, min_size=n, max_size=n)))
    c_m = pd.DataFrame(c, index=pd.Index(labels, dtype=object, tupleize_cols=False), columns=list(range(n)))
    return draw(mostly(st.just(c_m), among(c_m.iloc[:, :-1], c_m.astype(object), None, Hostile())))


def size_of(c_m):
    return c_m.shape[0] if isinstance(c_m, pd.DataFrame) else 2


iteration_limit = (st.integers(1, 60), st.one_of(st.integers(-1, 0), among(True, 5.0, None, "5", Hostile())))
tolerance = (st.floats(1e-12, 1e-3), among(1e-5, 0, -1e-8, math.nan, math.inf, True, "1e-8", None, Hostile()))
budget = {"type": "eq", "fun": lambda x: sum(x) - 1}
constraint_sets = (
    among(budget, [budget]),
    among(None, [], Hostile(), [{"type": "eq"}], [{"type": "ineq", "fun": _boom}, budget]),
)


def bounds_for(n):
    return (
        mostly(
            st.just([(0, 1)] * n),
            st.lists(st.tuples(fraction, fraction).map(sorted).map(tuple), min_size=n, max_size=n),
            odds=2,
        ),
        st.one_of(st.none(), st.builds(Hostile), st.lists(st.tuples(number, number), max_size=5)),
    )


def weights_for(n):
    return st.just([1 / max(n, 1)] * n), st.one_of(st.none(), st.builds(Hostile), st.lists(number, max_size=5))


@given(data=st.data(), c_m=covariances(), which=st.sampled_from(["rp", "rpc", "mv", "mean"]))
def test_covariance_methods_with_anything(data, c_m, which):
    n = size_of(c_m)
    a = one_spoiled(
        data,
        weights=weights_for(n),
        bounds=bounds_for(n),
        cons=constraint_sets,
        max_iteration=iteration_limit,
        tol=tolerance,
        lam=(st.floats(0, 1e6), number),
        mu=(
            st.lists(st.floats(-1e-2, 1e-2), min_size=n, max_size=n),
            st.one_of(st.none(), st.lists(finite, max_size=5)),
        ),
    )
    calls = {
        "rp": lambda: opt.risk_parity_optimize(c_m, a["weights"], a["bounds"], a["max_iteration"]),
        "rpc": lambda: opt.risk_parity_with_cons_optimize(
            c_m, a["weights"], a["bounds"], a["cons"], a["max_iteration"], a["tol"]
        ),
        "mv": lambda: opt.min_variance_optimize(
            c_m, a["weights"], a["bounds"], a["cons"], a["max_iteration"], a["tol"]
        ),
        "mean": lambda: opt.mean_variance_optimize(
            c_m, a["weights"], a["lam"], a["mu"], a["bounds"], a["cons"], a["max_iteration"], a["tol"]
        ),
    }
    result, error = outcome(calls[which])
    if error is None:
        assert_weights(result, list(c_m.index), budget=which == "rp")


@given(
    data=st.data(),
    table=return_tables(max_cols=4, min_rows=3, min_cols=1),
    shift=mostly(st.just(0), st.integers(-2, 2)),
)
def test_tracking_error_with_anything(data, table, shift):
    df, _ = table
    n = df.shape[1]
    with np.errstate(all="ignore"):  # inf − inf in the mean
        benchmark = df.mean(axis=1).iloc[: max(len(df) + shift, 0)]  # may be shorter than the table
    a = one_spoiled(
        data,
        weights=weights_for(n),
        bounds=bounds_for(n),
        cons=constraint_sets,
        max_iteration=iteration_limit,
        tol=tolerance,
    )
    result, error = outcome(
        lambda: opt.min_tracking_error_optimize(
            a["weights"], benchmark, df, a["bounds"], a["cons"], a["max_iteration"], a["tol"]
        )
    )
    if error is None:
        assert_weights(result, list(df.columns), budget=False)


def test_methods_at_2000_instruments_with_a_stand_in_minimizer():
    n, ids = 2000, [f"S{i}" for i in range(2000)]
    rng = np.random.default_rng(5)
    c_m = pd.DataFrame(np.diag(rng.uniform(1e-4, 4e-4, n)), index=ids, columns=ids)
    df = pd.DataFrame(rng.normal(0, 0.01, (40, n)), columns=ids)
    w, b, x = [1 / n] * n, [(0, 1)] * n, np.full(n, 1 / n)
    checked = []

    def minimize(fun, x0, **kw):  # evaluates what it is given, then answers with the start
        checked.append(math.isfinite(fun(x)) and (kw.get("jac") is None or np.isfinite(kw["jac"](x)).all()))
        return types.SimpleNamespace(success=True, nit=1, status=0, message="", x=np.asarray(x0, float))

    results = with_minimizer(
        minimize,
        lambda: [
            opt.risk_parity_optimize(c_m, w, [(1e-6, None)] * n, 10),
            opt.risk_parity_with_cons_optimize(c_m, w, b, budget, 10, 1e-8),
            opt.min_variance_optimize(c_m, w, b, budget, 10, 1e-8),
            opt.mean_variance_optimize(c_m, w, 1, df.mean(), b, budget, 10, 1e-8),
            opt.min_tracking_error_optimize(w, df.mean(axis=1), df, b, budget, 10, 1e-8),
        ],
    )
    assert checked == [True] * 5
    for r in results:
        assert list(r) == ids and r["S1999"] == pytest.approx(1 / n)


# ---- the data client's answers ----------------------------------------------------------------

IDS = ["A", "B", "C"]


def universe(rows=41, seed=0):
    """A fake client serving three stocks and a benchmark over `rows` days."""
    client = FakeClient()
    rng = np.random.default_rng(seed)
    client.close, client.volume = price_tables({i: 10 * np.exp(np.cumsum(rng.normal(0, 0.02, rows))) for i in IDS})
    client.stocks = {i: stock(i, sector=s) for i, s in zip(IDS, ["X", "Y", "X"])}
    client.funds = {"F": fund("F")}
    client.benchmarks = {"BM": client.close.mean(axis=1)}
    client.industries = {"A": "银行"}
    return client


def malformed_tables(client):
    """What a broken client might answer instead of a {field: table} mapping."""
    c, v = client.close, client.volume
    return {
        "none": None,
        "text": "close",
        "list": [c, v],
        "frame": c,
        "hostile": Hostile(),
        "no tables": {"close": None, "volume": None},
        "hostile tables": {"close": Hostile(), "volume": Hostile()},
        "missing column": {"close": c[["A", "B"]], "volume": v},
        "other ids": {"close": c.set_axis(["X", "Y", "Z"], axis=1), "volume": v.set_axis(["X", "Y", "Z"], axis=1)},
        "twice each": {"close": pd.concat([c, c], axis=1), "volume": pd.concat([v, v], axis=1)},
        "one row": {"close": c.iloc[:1], "volume": v.iloc[:1]},
        "empty": {"close": c.iloc[:0], "volume": v.iloc[:0]},
        "short volume": {"close": c, "volume": v.iloc[:5]},
        "text prices": {"close": c.astype(str), "volume": v},
        "words": {"close": c.map(lambda _: "x"), "volume": v},
        "nan": {"close": c * np.nan, "volume": v},
        "inf": {"close": c.replace(c.iat[7, 0], np.inf), "volume": v},
        "zero": {"close": c * 0, "volume": v},
        "negative": {"close": -c, "volume": v},
        "constant": {"close": c * 0 + 1, "volume": v},
        "series": {"close": c["A"], "volume": v["A"]},
        "arrays": {"close": c.to_numpy(), "volume": v.to_numpy()},
        "nullable": {"close": c.astype("Float64"), "volume": v.astype("Float64")},
    }


MALFORMED = sorted(malformed_tables(universe()))


def raises(*_args, **_kwargs):
    raise Boom()


@given(data=st.data(), method=st.sampled_from(list(M)), cov_shrinkage=st.booleans())
def test_portfolio_optimize_against_a_malformed_client(data, method, cov_shrinkage):
    a = one_spoiled(
        data,
        kind=(st.just("sound"), st.sampled_from(MALFORMED)),
        method=(st.just(method), among("risk_parity", Hostile())),
        bnds=(among(None, {"*": (0, 0.6)}, {"A": (0.1, 0.5), "Q": (2, 3)}), st.builds(Hostile)),
        cons=(among(None, "gics", "shenwan", "fund"), st.builds(Hostile)),
        benchmark=(st.just("BM"), st.sampled_from([None, "bad length", "words", "frame", "none"])),
        broken=(st.none(), st.sampled_from(["trading_date_offset", "instruments", "shenwan_instrument_industry"])),
    )
    kind, bnds, cons, broken = a["kind"], a["bnds"], a["cons"], a["broken"]
    client = universe()
    tables = {"close": client.close, "volume": client.volume} if kind == "sound" else malformed_tables(client)[kind]
    client.get_price = lambda ids, start, end, **kw: (
        tables
        if not isinstance(ids, str)
        else {
            "BM": client.benchmarks["BM"],
            "bad length": client.benchmarks["BM"].iloc[:9],
            "words": client.benchmarks["BM"].map(lambda _: "x"),
            "frame": client.close,
            "none": None,
        }[ids]
    )
    if broken:
        setattr(client, broken, raises)
    if isinstance(cons, str):
        cons = {
            "gics": opt.GICSConstraint({"X": (0, 0.7)}),
            "shenwan": opt.ShenWanConstraint({"__NONE__": (0, 0.9)}),
            "fund": opt.FundTypeConstraint({"Stock": (0, 1)}),
        }[cons]
    with installed("veladatac", client):
        result, error = outcome(
            lambda: opt.portfolio_optimize(
                IDS,
                "2020-06-01",
                method=a["method"],
                bnds=bnds,
                cons=cons,
                benchmark=a["benchmark"],
                cov_shrinkage=cov_shrinkage,
                window=40,
                max_iteration=200,
            )
        )
    if error is None:
        assert_weights(result, IDS)


dates = st.one_of(
    st.sampled_from(["2020-06-01", "20200601", 20200601, "2005-06-30", "2005-07-01", "\ud800", "", "x" * 9]),
    st.dates().map(lambda d: d),
    st.datetimes(),
    st.integers(),
    st.text(max_size=10),
    among(None, math.nan, pd.NaT, pd.Timestamp("2020-06-01"), np.datetime64("2020-06-01"), Hostile()),
)


@given(data=st.data())
def test_portfolio_optimize_with_anything(data):
    a = one_spoiled(
        data,
        ids=(
            st.just(IDS),
            st.one_of(
                st.lists(
                    st.one_of(
                        st.sampled_from(IDS),
                        st.integers(),
                        st.builds(Hostile),
                        st.lists(st.text(max_size=1)),
                        st.text(max_size=2),
                    ),
                    max_size=4,
                ),
                among(None, "ABC", Hostile(), iter(IDS), {"A": 1, "B": 2}, np.array(IDS), pd.Index(IDS)),
            ),
        ),
        date=(st.just("2020-06-01"), dates),
        window=(
            st.integers(2, 41),
            st.one_of(
                st.integers(-3, 1), st.integers(10**6, 10**30), among(41.0, True, None, "41", np.int64(40), Hostile())
            ),
        ),
        max_iteration=iteration_limit,
        tol=tolerance,
        risk_aversion_coefficient=(st.floats(0, 10), number),
        quiet=(st.booleans(), among(Hostile(), None, np.bool_(True))),
        cov_shrinkage=(st.booleans(), among(Hostile(), None, 0, "")),
    )
    with installed("veladatac", universe()):
        result, error = outcome(
            lambda: opt.portfolio_optimize(
                a["ids"],
                a["date"],
                method=data.draw(st.sampled_from(list(M))),
                benchmark="BM",
                window=a["window"],
                max_iteration=a["max_iteration"],
                tol=a["tol"],
                risk_aversion_coefficient=a["risk_aversion_coefficient"],
                quiet=a["quiet"],
                cov_shrinkage=a["cov_shrinkage"],
            )
        )
    if error is None:
        assert_weights(result, IDS)


# What a broken client might answer to each classification's lookup.
WRONG_ANSWERS = {
    "instruments": [
        None,
        5,
        Hostile(),
        [],
        [stock("A")],
        [None] * 3,
        [Hostile()] * 3,
        [types.SimpleNamespace()] * 3,
        [stock(i) for i in "ABCD"],
    ],
    "shenwan_instrument_industry": [
        None,
        5,
        Hostile(),
        pd.DataFrame({"other": ["x"]}, index=["A"]),
        pd.DataFrame({"index_name": [Hostile()]}, index=["A"]),
    ],
}


@given(
    data=st.data(),
    cls=st.sampled_from(["GICSConstraint", "ShenWanConstraint", "FundTypeConstraint"]),
    x=hnp.arrays(np.float64, 4, elements=st.floats(0, 1)),
)
def test_constraint_classes_with_anything(data, cls, x):
    a = one_spoiled(
        data,
        rules=(
            st.dictionaries(st.sampled_from(["X", "Y", "银行", "__NONE__", "Stock", "Bond"]), pair, max_size=3),
            st.one_of(st.none(), st.builds(Hostile), st.lists(pair, max_size=2)),
        ),
        ids=(st.permutations(IDS + ["F"]).map(lambda p: list(p[:3])), st.one_of(st.none(), st.builds(Hostile))),
        wrong=(
            st.none(),
            st.sampled_from([(op, k) for op, answers in WRONG_ANSWERS.items() for k in range(len(answers))]),
        ),
    )
    client = universe()
    client.funds.update({i: fund(i, t) for i, t in zip(IDS, ["Stock", "Bond", "Stock"])})
    if a["wrong"]:
        op, k = a["wrong"]
        setattr(client, op, lambda *args: WRONG_ANSWERS[op][k])
    with installed("veladatac", client):
        records, error = outcome(lambda: getattr(opt, cls)(a["rules"]).to_constraint(a["ids"], "2020-06-01"))
    if error is None:
        assert records[-1]["type"] == "eq" and all(r["type"] == "ineq" for r in records[:-1])
        assert all(type(r["fun"](x)) is float for r in records)


@given(
    ids=mostly(
        st.lists(
            mostly(
                st.sampled_from(IDS + ["F", "Q"]),
                st.one_of(st.integers(), st.builds(Hostile), st.lists(st.text(max_size=1), max_size=1)),
            ),
            max_size=5,
        ),
        st.one_of(st.none(), st.builds(Hostile)),
    ),
    record_type=among("CS", "PublicFund", None, Hostile()),
)
def test_ensure_same_type_instruments_with_anything(ids, record_type):
    client = universe()
    client.stocks["B"] = types.SimpleNamespace(type=record_type)
    with installed("veladatac", client):
        kind, error = outcome(lambda: opt._ensure_same_type_instruments(ids))
    if error is None:
        assert isinstance(kind, Hostile) or kind in ("CS", "PublicFund", None)


def test_portfolio_optimize_at_2000_instruments_with_a_stand_in_minimizer(fake_client):
    ids = [f"S{i:04d}" for i in range(2000)]
    rng = np.random.default_rng(9)
    fake_client.close, fake_client.volume = price_tables({i: 10 + rng.normal(0, 0.1, 41).cumsum() for i in ids})
    fake_client.stocks = {i: stock(i) for i in ids}

    def minimize(fun, x0, **kw):
        return types.SimpleNamespace(success=True, nit=1, status=0, message="", x=np.asarray(x0))

    result = with_minimizer(
        minimize, lambda: opt.portfolio_optimize(ids, "2020-06-01", window=40, method=M.MIN_VARIANCE)
    )
    assert list(result) == ids and sum(result.values()) == pytest.approx(1)


# ---- regressions: each of these used to crash, hang, corrupt or report garbage ---------------


def test_a_list_emptied_by_its_own_element_is_read_without_use_after_free():
    # An element's __float__ cleared the list while the native loop still read its item array.
    x = []

    class Clearing:
        def __float__(self):
            x.clear()
            return 0.5

    x.extend([Clearing(), 0.25, 0.125])
    assert CLOSURES["_to_constraint.<locals>.budget_fun"](x) == pytest.approx(-0.125)


def test_an_id_whose_hash_fails_the_second_time_raises_its_own_error(fake_client):
    # The duplicate check ignored a failed set insertion: the error stayed set and surfaced
    # later as a SystemError.
    class HashOnce:
        calls = 0

        def __hash__(self):
            HashOnce.calls += 1
            if HashOnce.calls > 1:
                raise Boom()
            return 1

    with pytest.raises(Boom):
        opt.portfolio_optimize([HashOnce(), "B"], "2020-06-01")


class FarFutureDate(datetime.date):
    @property
    def year(self):
        return 10**30


@pytest.mark.parametrize(
    "date",
    ["\ud800", "２０２０-０６-０１", FarFutureDate(2020, 6, 1)],
    ids=["lone-surrogate", "wide-digits", "year-beyond-long"],
)
def test_a_date_the_floor_cannot_read_goes_to_the_client_unchecked(fake_client, date):
    # These raised RuntimeError ("Unable to cast ...") from the date floor.
    with pytest.raises(IA, match="unknown instrument: A"):
        opt.portfolio_optimize(IDS, date)
    assert fake_client.ops() == ["trading_date_offset", "instruments", "fund.instruments"]


def words(**_kwargs):
    return [["x"] * 3] * 41


@pytest.mark.parametrize("method, benchmark", [(M.MIN_TRACKING_ERROR, "BM"), (M.MIN_VARIANCE, None)])
def test_values_numpy_cannot_convert_raise_numpys_error(monkeypatch, method, benchmark):
    # A conversion failure was cleared and replaced by RuntimeError("Internal error: ...").
    client = universe()
    table = types.SimpleNamespace(to_numpy=words, columns=client.close.columns, index=client.close.index, name="BM")
    client.get_price = lambda ids, *a, **k: table if isinstance(ids, str) else {"close": table, "volume": table}
    monkeypatch.setattr(opt, "veladatac", client)
    with pytest.raises(ValueError, match="could not convert string to float"):
        opt.portfolio_optimize(IDS, "2020-06-01", method=method, benchmark=benchmark)


def test_cov_shrinkage_refuses_a_replaced_np_empty_that_gives_too_small_a_buffer(monkeypatch):
    # The kernel wrote N·N doubles into whatever np.empty returned: a heap overflow.
    stand_in = types.SimpleNamespace(float64=np.float64, nan=np.nan, empty=lambda *a, **k: bytearray(8))
    monkeypatch.setattr(opt, "np", stand_in)
    with pytest.raises(TypeError, match="n×n float64"):
        opt._cov_shrinkage(pd.DataFrame(np.random.default_rng(0).normal(size=(20, 30))))


def test_first_calls_on_two_threads_under_a_python_import_hook_finish():
    # Cached lookups were made under a C++ static's guard: with an import hook that lets other
    # threads run, a second thread blocked on the guard holding the GIL, and both hung.
    code = textwrap.dedent("""
        import builtins, threading, time
        from vela_optimizer import optimizer as opt
        real = builtins.__import__
        def hook(*a, **k):
            time.sleep(0.05)
            return real(*a, **k)
        builtins.__import__ = hook
        calls = [lambda: opt._general_bnds(["a", "b"], {"*": (0, 0.6)}),
                 lambda: opt.portfolio_optimize(["a", "b"], "2020-01-02", tol=0)]
        def run(k):
            try:
                calls[k % 2]()
            except opt.InvalidArgument:
                pass
        threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        print("done")
    """)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert done.stdout.strip() == "done", done.stderr


@pytest.mark.parametrize("kind", ["twice each", "other ids", "missing column"])
def test_a_client_answering_with_other_columns_than_the_ids_is_refused(monkeypatch, kind):
    # Taken as they came, these gave a success whose weights summed to 0.5, were keyed by ids
    # nobody asked for, or left an instrument out without a warning.
    client = universe()
    client.get_price = lambda ids, *a, **k: malformed_tables(client)[kind]
    monkeypatch.setattr(opt, "veladatac", client)
    with pytest.raises(ValueError, match=r"veladatac.get_price returned the columns .* for the ids \['A', 'B', 'C'\]"):
        opt.portfolio_optimize(IDS, "2020-06-01", method=M.MIN_VARIANCE)


def test_gics_records_fewer_than_the_ids_are_refused(fake_client):
    # The instruments past the last record escaped every group limit, silently.
    fake_client.instruments = lambda ids: [stock("A", "X"), stock("B", "Y")]
    with pytest.raises(ValueError, match="returned 2 records for 3 ids"):
        opt.GICSConstraint({"X": (0, 0.2)}).to_constraint(IDS, "2020-06-01")


@pytest.mark.parametrize(
    "make",
    [lambda T: T(), lambda T: object.__new__(T), lambda T: T.__new__(T)],
    ids=["call", "object.__new__", "__new__"],
)
def test_the_function_type_makes_no_instances_from_python(make):
    # type(f)() gave an instance with no name, parameters or body, whose repr() crashed.
    with pytest.raises(TypeError):
        make(type(opt.portfolio_optimize))


class HostileName(str):
    """A keyword name that cannot be compared."""

    __eq__ = _boom
    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "call",
    [
        lambda: opt.GICSConstraint.to_constraint(5, IDS, "2020-06-01"),
        lambda: opt.GICSConstraint.__init__(None, {}),
        lambda: opt.portfolio_optimize.__get__(Hostile())(),
        lambda: opt._to_constraint({}, **{HostileName("rules"): {}}),
        lambda: opt._to_constraint({}, **{"".join(["ru", "les"]): {}, "x": 1}),
    ],
)
def test_functions_bound_or_called_oddly(call):
    assert outcome(call)[1] is not None


def test_a_renamed_function_with_no_utf8_form_still_names_its_closures(monkeypatch):
    # __qualname__ is writable; composing the closures' names through UTF-8 raised RuntimeError.
    monkeypatch.setattr(opt._to_constraint, "__qualname__", "\ud800")
    record = opt._to_constraint({"A": [0]}, {"A": (0, 1)})[-1]
    assert record["fun"].__qualname__ == "\ud800.<locals>.budget_fun"


@pytest.mark.parametrize("name", ["InvalidArgument", "OptimizationFailed"])
def test_an_exception_global_replaced_by_something_else_raises_type_error(monkeypatch, name):
    # Raising what the replaced global returned left a SystemError ("not a BaseException subclass").
    monkeypatch.setattr(opt, name, lambda message: message)
    c_m = pd.DataFrame(np.eye(2), index=["a", "b"], columns=["a", "b"])
    fail = types.SimpleNamespace(
        minimize=lambda *a, **k: types.SimpleNamespace(success=False, nit=0, status=9, message="stop", x=np.ones(2))
    )
    monkeypatch.setattr(opt, "sc_opt", fail)
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        if name == "InvalidArgument":
            opt._general_bnds(["a"], {"a": (2, 3)})
        else:
            opt.min_variance_optimize(c_m, [0.5, 0.5], [(0, 1)] * 2, {}, 10, 1e-8)


# ---- the native solvers ------------------------------------------------------------------------


def native_outcome(call):
    """(result, None) or (None, exception) of a native solve: the only exceptions are
    InvalidArgument with one "OPTIMIZER: " text, and a hostile object's own Boom."""
    from vela_optimizer.exception import InvalidArgument

    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        try:
            result = call()
        except (InvalidArgument, Boom) as e:
            if isinstance(e, InvalidArgument):
                assert len(e.args) == 1 and e.args[0].startswith("OPTIMIZER: "), e.args
            tally(type(e).__name__)
            return None, e
    tally(result.status)
    return result, None


def native_limits(n):
    """Limits over n instruments: bounds from fractions, one group row, the budget; spoiled: bounds
    with NaN or inf, another length, a floor above its cap, or no Limits at all."""
    from vela_optimizer.limits import Limits

    def build(lower, upper, members, floor, cap):
        return Limits.build([f"S{i}" for i in range(n)], lower, upper, [("g", members, floor, cap)])

    sound = st.builds(
        build,
        st.lists(st.sampled_from([0.0, 0.0, 0.05]), min_size=n, max_size=n),
        st.lists(st.sampled_from([1.0, 0.6, 0.4, None]), min_size=n, max_size=n),
        st.lists(st.integers(0, n - 1), max_size=n, unique=True),
        fraction,
        st.sampled_from([1.0, 0.5]),
    )
    spoiled = st.one_of(
        st.builds(
            build,
            st.lists(st.sampled_from([math.nan, -math.inf, 0.0, 2.0]), min_size=n, max_size=n),
            st.lists(st.sampled_from([math.nan, math.inf, -math.inf, 0.0]), min_size=n, max_size=n),
            st.just([0]),
            any_float,
            any_float,
        ),
        st.builds(build, st.just([0.0] * (n + 1)), st.just([1.0] * (n + 1)), st.just([0]), st.just(0.0), st.just(1.0)),
        among(None, {"lower": [0.0] * n}, Hostile()),
    )
    return mostly(sound, spoiled, odds=3)


@given(
    data=st.data(),
    n=st.integers(1, 5),
    method=mostly(
        st.sampled_from(["risk_parity", "min_variance", "mean_variance", "min_tracking_error"]),
        among("max_sharpe", None, 3, M.MIN_VARIANCE, Hostile()),
    ),
)
def test_native_solve_with_anything(data, n, method):
    from vela_optimizer.native import STATUSES, Settings, Solution, solve

    rng = np.random.default_rng(data.draw(st.integers(0, 2**16), label="seed"))
    returns = rng.normal(0, 0.01, (20, n))
    cov = np.cov(returns, rowvar=False).reshape(n, n) + 1e-6 * np.eye(n)
    a = one_spoiled(
        data,
        C=(
            st.just(cov),
            st.one_of(
                hnp.arrays(np.float64, st.sampled_from([(n, n), (n,), (n, n + 1), (0, 0)]), elements=any_float),
                hostile_x,
            ),
        ),
        limits=(native_limits(n), native_limits(n)),
        settings=(
            among(None, Settings(max_iteration=2), Settings(guess_min_n=0, guess_rounds=1)),
            among(Hostile(), {"tol": 1e-8}, "fast"),
        ),
        mu=(st.just(returns.mean(axis=0)), hostile_x),
        risk_aversion=(st.sampled_from([0, 1, 3.5, np.float64(100)]), number),
        R=(st.just(returns), hostile_x),
        b=(st.just(returns @ np.full(n, 1 / n) + rng.normal(0, 1e-3, 20)), hostile_x),
    )
    result, error = native_outcome(
        lambda: solve(
            method, a["C"], a["limits"], a["settings"], mu=a["mu"], risk_aversion=a["risk_aversion"], R=a["R"], b=a["b"]
        )
    )
    if error is None:
        assert isinstance(result, Solution) and result.status in STATUSES and result.x.shape == (n,)
        assert isinstance(result.message, str) and result.message.isascii() and "\n" not in result.message
        if result.converged:
            assert np.all(np.isfinite(result.x)) and math.isfinite(result.objective)
            L = a["limits"]
            if L is not None:  # to the solvers' accuracy, relative to the limits' own size
                values = np.concatenate([L.lower, L.upper, L.lo, L.hi])
                assert L.violation(result.x) <= 1e-9 * max(1.0, np.abs(values[np.isfinite(values)]).max())
