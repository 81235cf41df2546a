"""Readers of float64 arrays: the numbers do not depend on the memory layout, one dtype rule
decides what is read in place, and each kind of failure has one text naming the input."""

import re
import types

import numpy as np
import pandas as pd
import pytest

from conftest import stock
from driver_support import Spy, expected_returns
from vela_optimizer import optimizer as opt

M = opt.OptimizeMethod
IDS = ["A", "B", "C", "D"]


def unaligned(a):
    """The values of `a` in a buffer that starts one byte past an 8-byte boundary."""
    raw = np.frombuffer(bytearray(a.size * 8 + 1), dtype=np.uint8)[1:]
    out = raw.view(np.float64).reshape(a.shape)
    out[...] = a
    assert out.ctypes.data % 8 != 0
    return out


def read_only(a):
    out = np.array(a)
    out.flags.writeable = False
    return out


# Each turns a float64 array into one holding the same numbers in another layout or dtype (the
# test values are dyadic fractions with few significant bits, exact in float32).
LAYOUTS = {
    "C order": np.ascontiguousarray,
    "Fortran order": np.asfortranarray,
    "negative strides": lambda a: np.flip(np.flip(a).copy()),
    "every other row": lambda a: np.repeat(a, 2, axis=0)[::2],
    "unaligned": unaligned,
    "read-only": read_only,
    "byte-swapped": lambda a: a.astype(a.dtype.newbyteorder()),
    "float32": lambda a: a.astype(np.float32),
}
NATIVE = {"C order", "Fortran order", "negative strides", "every other row", "unaligned", "read-only"}


def dyadic(shape, seed):
    """Multiples of 2⁻¹⁰ in (0, 1)."""
    return np.random.default_rng(seed).integers(1, 2**10, shape) / 1024.0


def positive_definite(n, seed):
    f = dyadic((n, n), seed)
    return (f + f.T) / 2 + n * np.eye(n)  # diagonally dominant


class Labelled:
    """An array-like with labels, as a DataFrame offers them to the methods."""

    def __init__(self, values, labels):
        self.values, self.index, self.columns = values, pd.Index(labels), pd.Index(labels[: values.shape[-1]])

    def __array__(self, dtype=None, copy=None):
        return self.values if dtype is None else self.values.astype(dtype, copy=False)


class Minimizer:
    """Stands in for scipy.optimize: keeps the objective and gradient it is handed, evaluates
    them at x0 and stops."""

    def __init__(self):
        self.seen, self.closures = [], []

    def minimize(self, fun, x0, **kwargs):
        x = np.asarray(x0, dtype=float)
        jac = kwargs.get("jac")
        self.closures.append((fun, jac))
        self.seen.append((fun(x), jac(x) if callable(jac) else None))
        return types.SimpleNamespace(success=True, nit=1, status=0, message="", x=x)


@pytest.fixture
def minimizer(monkeypatch):
    m = Minimizer()
    monkeypatch.setattr(opt, "sc_opt", m)
    return m


C = positive_definite(4, 1)
MU = dyadic(4, 2) / 1024
TABLE = dyadic((9, 4), 3) / 1024
BENCH = dyadic(9, 4) / 1024
X = np.array([0.25, 0.125, 0.5, 0.125])
W = [0.25] * 4
BOUNDS = [(0, 1)] * 4
BUDGET = {"type": "eq", "fun": lambda x: sum(x) - 1}

# What each method hands the minimizer, with one input in the layout under test.
METHOD_READERS = {
    "c_m": lambda lay: opt.min_variance_optimize(Labelled(lay(C), IDS), W, BOUNDS, BUDGET, 100, 1e-8),
    "expected_return": lambda lay: opt.mean_variance_optimize(
        Labelled(C, IDS), W, 2.0, lay(MU), BOUNDS, BUDGET, 100, 1e-8
    ),
    "df": lambda lay: opt.min_tracking_error_optimize(W, BENCH, Labelled(lay(TABLE), IDS), BOUNDS, BUDGET, 100, 1e-8),
    "benchmark": lambda lay: opt.min_tracking_error_optimize(
        W, lay(BENCH), Labelled(TABLE, IDS), BOUNDS, BUDGET, 100, 1e-8
    ),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("argument", METHOD_READERS)
def test_method_inputs_read_the_same_numbers_in_any_layout(minimizer, argument, layout):
    METHOD_READERS[argument](LAYOUTS[layout])
    METHOD_READERS[argument](np.ascontiguousarray)
    (value, gradient), (plain_value, plain_gradient) = minimizer.seen
    assert value == plain_value
    np.testing.assert_array_equal(gradient, plain_gradient)
    if argument == "c_m":  # and they are the closed form at x0, x'Cx over the mean variance
        w, scale = np.asarray(W), np.mean(np.diag(C))
        assert value == pytest.approx(w @ C @ w / scale, rel=1e-12)
        np.testing.assert_allclose(gradient, 2 * C @ w / scale, rtol=1e-12)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_objective_closures_read_x_in_any_layout(minimizer, layout):
    opt.min_variance_optimize(Labelled(C, IDS), W, BOUNDS, BUDGET, 100, 1e-8)
    fun, jac = minimizer.closures[0]
    x = LAYOUTS[layout](X)
    scale = np.mean(np.diag(C))
    assert fun(x) == fun(X) == pytest.approx(X @ C @ X / scale, rel=1e-12)
    np.testing.assert_array_equal(jac(x), jac(X))
    np.testing.assert_allclose(jac(X), 2 * C @ X / scale, rtol=1e-12)


def frame_type(layout):
    """A DataFrame (and Series) whose to_numpy hands its values over in `layout`."""

    class Frame(pd.DataFrame):
        @property
        def _constructor(self):
            return Frame

        def to_numpy(self, *args, **kwargs):
            return layout(super().to_numpy(*args, **kwargs))

    class Series(pd.Series):
        def to_numpy(self, *args, **kwargs):
            return layout(super().to_numpy(*args, **kwargs))

    return Frame, Series


def client_tables(fake_client, layout):
    rng = np.random.default_rng(5)
    index = pd.bdate_range("2020-01-02", periods=133)
    closes = 10 + np.cumsum(rng.integers(-40, 41, (133, 4)) / 1024, axis=0)
    closes[:20, 1] = np.nan  # a listing inside the window, so missing values are read as well
    frame, series = frame_type(layout)
    fake_client.close = frame(closes, index=index, columns=IDS)
    fake_client.volume = frame(np.full((133, 4), 1000.0), index=index, columns=IDS)
    fake_client.benchmarks["IDX"] = series(closes.mean(axis=1), index=index, name="IDX")
    fake_client.stocks = {i: stock(i) for i in IDS}
    return pd.DataFrame(closes, index=index, columns=IDS), pd.Series(closes.mean(axis=1), index=index)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_client_tables_read_the_same_numbers_in_any_layout(fake_client, monkeypatch, layout):
    plain, bench = client_tables(fake_client, LAYOUTS[layout])
    spy = Spy(monkeypatch)
    opt.portfolio_optimize(IDS, "2020-07-15", method=M.MIN_TRACKING_ERROR, benchmark="IDX", quiet=True)
    pd.testing.assert_frame_equal(spy.df, expected_returns(plain), check_freq=False, rtol=1e-14)
    benchmark = spy.args[1]
    filled = bench.ffill()
    np.testing.assert_allclose(benchmark.to_numpy(), (filled / filled.shift(1) - 1).iloc[1:], rtol=1e-14)


def shrink_in(layout, df):
    frame, _ = frame_type(layout)
    return opt._cov_shrinkage(frame(df))


@pytest.mark.parametrize("layout", LAYOUTS)
def test_cov_shrinkage_reads_native_float64_in_place_and_refuses_other_items(layout):
    # Byte-swapped doubles passed the old format test ("d" anywhere in the format) and were
    # read as native ones: a covariance of garbage without a word.
    df = pd.DataFrame(TABLE, columns=IDS)
    if layout in NATIVE:
        matrix, delta = shrink_in(LAYOUTS[layout], df)
        plain_matrix, plain_delta = opt._cov_shrinkage(df)
        pd.testing.assert_frame_equal(matrix, plain_matrix, check_exact=True)
        assert delta == plain_delta
    else:
        expected = ">d" if layout == "byte-swapped" else "f"
        with pytest.raises(
            TypeError,
            match=re.escape(f"df.to_numpy() must be an array of float64 values, got items of format '{expected}'"),
        ):
            shrink_in(LAYOUTS[layout], df)


@pytest.mark.parametrize(
    "empty",
    [
        pytest.param(lambda shape, dtype: np.empty(shape, dtype=np.dtype(dtype).newbyteorder()), id="byte-swapped"),
        pytest.param(lambda shape, dtype: unaligned(np.zeros(shape)), id="unaligned"),
        pytest.param(lambda shape, dtype: np.empty(shape, dtype=np.float32), id="float32"),
        pytest.param(lambda shape, dtype: np.empty((shape[0] + 1, shape[1]), dtype=dtype), id="too big"),
    ],
)
def test_cov_shrinkage_writes_only_into_a_native_aligned_n_by_n_buffer(monkeypatch, empty):
    # The kernel stores native doubles through a double*: byte-swapped storage came back as
    # garbage, and an unaligned one is undefined behaviour.
    monkeypatch.setattr(opt, "np", types.SimpleNamespace(float64=np.float64, nan=np.nan, empty=empty))
    with pytest.raises(TypeError, match="n×n float64"):
        opt._cov_shrinkage(pd.DataFrame(TABLE, columns=IDS))


NOT_FLOAT64 = r"{} must be an array of float64 values, got (an object of type|items of format) '[^']+'"
WRONG_NDIM = (
    r"{} must be a (one-dimensional sequence|two-dimensional table) of numbers, "
    r"got an array with {} dimensions?"
)


def stand_in_numpy(asarray):
    return types.SimpleNamespace(**{**vars(np), "asarray": asarray})


def shrink_table_in(layout):
    return lambda: shrink_in(layout, pd.DataFrame(TABLE, columns=IDS))


FAILURES = {
    # what is wrong: (call, error, message pattern)
    "c_m of one dimension": (
        lambda: opt.min_variance_optimize(pd.Series(MU, index=IDS), W, BOUNDS, BUDGET, 100, 1e-8),
        ValueError,
        WRONG_NDIM.format("c_m", 1),
    ),
    "expected_return of two": (
        lambda: opt.mean_variance_optimize(Labelled(C, IDS), W, 1, C, BOUNDS, BUDGET, 100, 1e-8),
        ValueError,
        WRONG_NDIM.format("expected_return", 2),
    ),
    "df of three": (
        lambda: opt.min_tracking_error_optimize(W, BENCH, TABLE[None], BOUNDS, BUDGET, 100, 1e-8),
        ValueError,
        WRONG_NDIM.format("df", 3),
    ),
    "benchmark of none": (
        lambda: opt.min_tracking_error_optimize(W, 0.5, Labelled(TABLE, IDS), BOUNDS, BUDGET, 100, 1e-8),
        ValueError,
        WRONG_NDIM.format("benchmark", 0),
    ),
    "table values of one": (
        shrink_table_in(lambda a: a.ravel()),
        ValueError,
        WRONG_NDIM.format(re.escape("df.to_numpy()"), 1),
    ),
    "table values of int": (
        shrink_table_in(lambda a: a.astype(np.int64)),
        TypeError,
        NOT_FLOAT64.format(re.escape("df.to_numpy()")),
    ),
    "table values no buffer": (
        shrink_table_in(lambda a: a.tolist()),
        TypeError,
        NOT_FLOAT64.format(re.escape("df.to_numpy()")),
    ),
}


@pytest.mark.parametrize("what", FAILURES)
def test_each_failure_has_one_text_naming_the_input(minimizer, what):
    call, error, pattern = FAILURES[what]
    with pytest.raises(error) as e:
        call()
    assert re.fullmatch(pattern, str(e.value)), str(e.value)
    assert minimizer.seen == []


@pytest.mark.parametrize(
    "asarray, pattern",
    [
        (lambda obj, dtype=None: np.asarray(obj, dtype=np.float32), NOT_FLOAT64),
        (lambda obj, dtype=None: np.asarray(obj, dtype=">f8"), NOT_FLOAT64),
        (lambda obj, dtype=None: np.asarray(obj).tolist(), NOT_FLOAT64),
    ],
)
@pytest.mark.parametrize("argument", METHOD_READERS)
def test_what_a_replaced_np_asarray_gives_must_be_float64(minimizer, monkeypatch, asarray, pattern, argument):
    monkeypatch.setattr(opt, "np", stand_in_numpy(asarray))
    with pytest.raises(TypeError) as e:
        METHOD_READERS[argument](np.ascontiguousarray)
    assert re.fullmatch(pattern.format(r"(c_m|expected_return|df|benchmark)"), str(e.value)), str(e.value)
    assert minimizer.seen == []


@pytest.mark.parametrize("closes", [np.ones((3, 2)), np.float64(1.0)], ids=["2-D", "0-D"])
def test_benchmark_closes_of_another_shape_are_refused(fake_client, closes):
    client_tables(fake_client, np.ascontiguousarray)
    fake_client.benchmarks["IDX"] = types.SimpleNamespace(to_numpy=lambda dtype=None: closes, index=[], name="IDX")
    with pytest.raises(ValueError) as e:
        opt.portfolio_optimize(IDS, "2020-07-15", method=M.MIN_TRACKING_ERROR, benchmark="IDX")
    assert re.fullmatch(WRONG_NDIM.format("the benchmark's closes", np.ndim(closes)), str(e.value)), str(e.value)


def test_a_client_table_of_one_dimension_is_refused(fake_client):
    client_tables(fake_client, lambda a: a[:, 0] if a.ndim == 2 else a)
    with pytest.raises(ValueError) as e:
        opt.portfolio_optimize(IDS, "2020-07-15", quiet=True)
    assert re.fullmatch(WRONG_NDIM.format("the client's table", 1), str(e.value)), str(e.value)
