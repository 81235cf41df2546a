"""_cov_shrinkage against the estimator's formulas computed with pandas and numpy."""

import types
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from vela_optimizer import optimizer

shrink = optimizer._cov_shrinkage

DOC = (
    "\n"
    "    Based on Ledoit and Wolf(2003). No r.v.s should have zero sample variance.\n"
    "    :param clean_period_prices: pandas DataFrame. Sample data after clean.\n"
    "    :return: pandas DataFrame. Covariance matrix after shrinkage.\n"
    "             float. Optimal shrinkage intensity.\n"
    "    "
)


def expected(df):
    """The estimator from its formulas: pandas' pairwise covariance and column means, then numpy
    over all (t, i, j) at once with NaN-skipping means. Returns the result and its ingredients."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        s = df.cov().to_numpy()
        n = s.shape[0]
        var = np.diag(s)
        sigma, inv = np.power(var, 0.5), np.power(var, -0.5)
        rbar = 2 * (np.triu(inv[:, None] * s * inv[None, :]).sum() - n) / ((n - 1) * n)
        eye = np.eye(n)
        outer = np.outer(sigma, sigma)
        phi = (1 - eye) * (rbar * outer) + np.diag(outer)[None, :] * eye
        gamma = np.nansum((phi - s) ** 2)
        y = (df - df.mean()).to_numpy(dtype=float)
        p = y[:, :, None] * y[:, None, :] - s  # p[t, i, j] = ỹ_ti·ỹ_tj − s_ij
        pi = np.nanmean(p**2, axis=0)
        theta = np.nanmean((y**2 - var)[:, :, None] * p, axis=0)
        ratio = sigma[None, :] / sigma[:, None]  # σ_j/σ_i at (i, j)
        off = ~np.eye(n, dtype=bool)
        rho = np.sum(np.diag(pi)) + rbar / 2 * np.sum((ratio * theta + ratio.T * theta.T)[off])
        kappa = (np.nansum(pi) - rho) / gamma
    if gamma == 0:
        return types.SimpleNamespace(matrix=s, delta=0, regime="sample", kappa=kappa, gamma=gamma, phi=phi, s=s)
    x = kappa / (n + 1)
    delta = 1 if x > 1 else x
    delta = delta if delta > 0 else 0
    regime = "nan" if np.isnan(x) else "one" if x > 1 else "zero" if x <= 0 else "interior"
    return types.SimpleNamespace(
        matrix=delta * phi + (1 - delta) * s, delta=delta, regime=regime, kappa=kappa, gamma=gamma, phi=phi, s=s
    )


def sectors(n, rows=131, seed=0, scale=0.01, market_only=False):
    """Returns of two sectors driven by two factors: correlations far from constant. With
    market_only, one factor loads on all: correlations close to constant, so γ̂ is small."""
    rng = np.random.default_rng(seed)
    load = np.zeros((2, n))
    load[0, : n // 2], load[1, n // 2 :], load[0, n // 2 :] = 2.0, 2.0, -1.0
    if market_only:
        load[0], load[1] = 1.0, 0.0
    values = scale * (rng.standard_normal((rows, 2)) @ load + rng.standard_normal((rows, n)))
    return pd.DataFrame(values, columns=[f"{600000 + 3 * j:06d}.XSHG" for j in range(n)])


def gaps(df, seed, leading_only=True):
    rng = np.random.default_rng(seed)
    values = df.to_numpy(copy=True)
    rows, n = values.shape
    for j in rng.choice(n, max(1, n // 2), replace=False):
        values[: rng.integers(1, max(2, rows // 2)), j] = np.nan
    if not leading_only:
        values[rng.random(values.shape) < 0.05] = np.nan
    return pd.DataFrame(values, columns=df.columns)


# κ̂ < 0: π̂ below ρ̂ (found by minimising κ̂ over small tables).
NEGATIVE_KAPPA = 0.01 * pd.DataFrame(
    [
        [0.84, 3.07, -1.3],
        [-0.37, 10.8, -1.31],
        [-0.44, 3.08, -0.42],
        [-1.43, 3.41, -1.21],
        [-0.34, 3.38, -2.23],
        [-0.32, -4.31, -1.27],
    ]
)
# Squares of 1e100-sized deviations overflow: π̂ = ∞ and ρ̂ = ∞ or NaN, so κ̂ is NaN.
HUGE = sectors(4, seed=5, scale=1e100)
WITH_INFINITY = gaps(sectors(5, seed=6), seed=6)
WITH_INFINITY.iloc[100, 2] = np.inf


@pytest.mark.parametrize(
    "df, regime",
    [
        pytest.param(sectors(6), "interior", id="complete"),
        pytest.param(sectors(43, seed=3), "interior", id="complete, last panel partial"),
        pytest.param(gaps(sectors(10, seed=1), seed=1), "interior", id="leading gaps"),
        pytest.param(gaps(sectors(19, seed=2), seed=2, leading_only=False), "interior", id="scattered gaps"),
        pytest.param(sectors(3, seed=4, market_only=True), "one", id="clamped at 1"),
        pytest.param(gaps(sectors(8, seed=4, market_only=True), seed=4), "one", id="clamped at 1, leading gaps"),
        pytest.param(NEGATIVE_KAPPA, "zero", id="clamped at 0"),
        pytest.param(HUGE, "nan", id="kappa NaN"),
        pytest.param(gaps(HUGE, seed=5), "nan", id="kappa NaN, leading gaps"),
        pytest.param(WITH_INFINITY, "nan", id="infinite entry"),
    ],
)
def test_matches_formulas(df, regime):
    ref = expected(df)
    assert ref.regime == regime  # the case exercises what it is named for
    matrix, delta = shrink(df)
    scale = np.nanmax(np.abs(ref.matrix))
    np.testing.assert_allclose(matrix.to_numpy(), ref.matrix, rtol=1e-12, atol=1e-12 * scale)
    assert type(delta) is type(ref.delta)  # int 0 and 1 when clamped, np.float64 between
    assert delta == pytest.approx(ref.delta, rel=1e-12)
    if regime == "one":
        np.testing.assert_allclose(matrix.to_numpy(), ref.phi, rtol=1e-12)
    elif regime in ("zero", "nan"):
        np.testing.assert_allclose(matrix.to_numpy(), ref.s, rtol=1e-12, atol=1e-12 * scale)


@settings(max_examples=40, deadline=None)
@given(st.integers(3, 19), st.integers(3, 40), st.integers(0, 2**32 - 1), st.booleans())
def test_matches_formulas_on_random_tables(n, rows, seed, leading_only):
    df = gaps(sectors(n, rows, seed), seed, leading_only)
    ref = expected(df)
    matrix, delta = shrink(df)
    scale = np.nanmax(np.abs(ref.matrix))
    np.testing.assert_allclose(matrix.to_numpy(), ref.matrix, rtol=1e-10, atol=1e-10 * scale)
    if ref.regime != "nan" and ref.gamma > 1e-8 * np.nansum(ref.s**2):  # γ̂ not a rounding residue
        assert delta == pytest.approx(ref.delta, rel=1e-9, abs=1e-12)


# Built so that every step is exact and Φ equals S: unit variances, one common covariance.
UNCORRELATED = pd.DataFrame({"a": [1, -1, 1, -1, 0], "b": [1, 1, -1, -1, 0], "c": [1, -1, -1, 1, 0]}) + 0.5
EQUICORRELATED = (
    0.5
    * pd.DataFrame(
        {
            "a": [-1, -1, -1, -1, 0, 1, 1, 1, 1],
            "b": [-1, -1, -1, 1, 0, -1, 1, 1, 1],
            "c": [-1, -1, -1, 1, 0, 1, -1, 1, 1],
        }
    )
    + 0.125
)


@pytest.mark.parametrize("df", [UNCORRELATED, EQUICORRELATED], ids=["r = 0", "r = 1/2"])
def test_target_equal_to_sample_returns_sample_and_integer_zero(df):
    assert expected(df).gamma == 0
    matrix, delta = shrink(df)
    assert type(delta) is int and delta == 0
    np.testing.assert_array_equal(matrix.to_numpy(), df.cov().to_numpy())


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_two_instruments_give_the_sample_covariance(seed):
    df = sectors(2, seed=seed)
    matrix, delta = shrink(df)
    np.testing.assert_allclose(matrix.to_numpy(), df.cov().to_numpy(), rtol=1e-12)
    assert 0 <= delta <= 1


@pytest.mark.parametrize("rows", [40, 131, 400])
def test_intensity_divides_kappa_by_instruments_plus_one(rows):
    n = 10
    df = sectors(n, rows, seed=7)
    kappa = expected(df).kappa
    assert 0 < kappa / (n + 1) < 1 and abs(kappa / (n + 1) - kappa / rows) > 0.05
    assert shrink(df)[1] == pytest.approx(kappa / (n + 1), rel=1e-12)


@pytest.mark.parametrize(
    "labels, name",
    [
        (["600519.XSHG", "000001.XSHE", "300750.XSHE", "000858.XSHE"], "order_book_id"),
        ([7, 3, 11, 5], None),
        (["510300.XSHG", "159915.XSHE", "510300.XSHG", "512880.XSHG"], None),  # repeated label
    ],
)
@pytest.mark.parametrize("df", [sectors(4, seed=8), UNCORRELATED.iloc[:, [0, 1, 2, 0]]], ids=["blend", "sample"])
def test_result_carries_the_columns_in_order(df, labels, name):
    df = df.set_axis(pd.Index(labels, name=name), axis=1)
    matrix, _ = shrink(df=df)
    for axis in (matrix.index, matrix.columns):
        assert list(axis) == labels and axis.name == name
    order = [2, 0, 3, 1]
    permuted, _ = shrink(df.iloc[:, order])
    np.testing.assert_allclose(permuted.to_numpy(), matrix.to_numpy()[np.ix_(order, order)], rtol=1e-12)


def test_documentation_string():
    assert shrink.__doc__ == DOC


def test_nullable_missing_values_count_as_missing():
    df = gaps(sectors(5, seed=9), seed=9)
    matrix, delta = shrink(df.astype("Float64"))
    expected_matrix, expected_delta = shrink(df)
    np.testing.assert_array_equal(matrix.to_numpy(), expected_matrix.to_numpy())
    assert delta == expected_delta


ZERO_VARIANCE = sectors(4, seed=10).assign(**{"000000.XSHG": 0.0})
ALL_MISSING = sectors(4, seed=11).assign(**{"000000.XSHG": np.nan})


@pytest.mark.parametrize(
    "df",
    [
        pytest.param(ZERO_VARIANCE, id="zero variance"),
        pytest.param(ZERO_VARIANCE.assign(**{"000000.XSHG": 0.5}), id="constant column"),
        pytest.param(ALL_MISSING, id="all-missing column"),
        pytest.param(sectors(1), id="one column"),
        pytest.param(sectors(3).iloc[:, :0], id="no columns"),
        pytest.param(sectors(3).iloc[:0], id="no rows"),
        pytest.param(sectors(3).iloc[:1], id="one row"),
    ],
)
def test_broken_preconditions_do_not_raise(df):
    matrix, delta = shrink(df)  # warnings are errors here too
    assert type(delta) is int and delta == 0
    assert list(matrix.index) == list(df.columns) == list(matrix.columns)
    np.testing.assert_allclose(matrix.to_numpy(), expected(df).s, rtol=1e-12)  # NaN where S has NaN


@pytest.mark.parametrize(
    "arg, error",
    [
        (np.ones((5, 2)), TypeError),
        ([[1.0, 2.0], [3.0, 4.0]], TypeError),
        (pd.Series([1.0, 2.0, 3.0]), TypeError),
        (None, TypeError),
        (pd.DataFrame({"a": ["x", "y"], "b": [1.0, 2.0]}), ValueError),  # pandas' own conversion error
    ],
)
def test_non_numeric_tables_raise(arg, error):
    with pytest.raises(error):
        shrink(arg)


def test_pandas_is_read_when_called(monkeypatch):
    class Frame(pd.DataFrame):
        pass

    monkeypatch.setattr(optimizer, "pd", types.SimpleNamespace(DataFrame=Frame))
    matrix, _ = shrink(Frame(sectors(3)))
    assert type(matrix) is Frame
