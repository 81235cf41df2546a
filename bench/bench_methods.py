"""Per-evaluation cost of the methods' objectives and gradients against the numpy expressions
they stand for, the pairwise sum against pdist, and one full minimum-variance solve; N = 300
instruments, T = 131 trading days, all measured in this run.

    PYTHONPATH=python:/tmp/fakeclient python bench/bench_methods.py
"""

import ctypes
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit
from types import SimpleNamespace

import numpy as np
import pandas as pd
import scipy.optimize
import scipy.spatial as scsp

from vela_optimizer import optimizer

N, T, FACTORS = 300, 131, 5
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUDGET = {"type": "eq", "fun": lambda x: sum(x) - 1}


def factor_model_returns(rng):
    """Daily returns of N stocks from a market factor, four style factors and idiosyncratic
    noise, at A-share magnitudes (about 2 % daily volatility)."""
    loadings = np.column_stack([rng.normal(1.0, 0.3, N), rng.normal(0, 0.5, (N, FACTORS - 1))])
    factors = rng.normal(0, [0.012, 0.005, 0.004, 0.004, 0.003], (T, FACTORS))
    noise = rng.normal(0, 1, (T, N)) * rng.uniform(0.008, 0.025, N)
    ids = [f"{600000 + i:06d}.XSHG" for i in range(N)]
    return pd.DataFrame(factors @ loadings.T + noise, columns=ids)


def shrunk_covariance(df, intensity=0.5):
    """The sample covariance pulled half-way towards its constant-correlation target: full rank
    although T < N, as the driver's covariance is."""
    s = df.cov().values
    sd = np.sqrt(np.diag(s))
    corr = s / np.outer(sd, sd)
    mean_corr = (corr.sum() - N) / (N * (N - 1))
    target = mean_corr * np.outer(sd, sd)
    np.fill_diagonal(target, np.diag(s))
    return pd.DataFrame(intensity * target + (1 - intensity) * s, index=df.columns, columns=df.columns)


def best_seconds(fun, number):
    return min(timeit.repeat(fun, number=number, repeat=7)) / number


def capture_closures(c_m, df, mu, bench):
    """Run every method once against a recording minimizer and keep what it was handed."""
    seen = {}

    def minimize(fun, x0, **kwargs):
        seen[fun.__name__] = fun
        if kwargs.get("jac") is not None:
            seen[kwargs["jac"].__name__] = kwargs["jac"]
        return SimpleNamespace(success=True, nit=1, status=0, message="", x=np.asarray(x0, dtype=float))

    real = optimizer.sc_opt
    optimizer.sc_opt = SimpleNamespace(minimize=minimize)
    try:
        init, box = [1 / N] * N, [(0, 1)] * N
        optimizer.risk_parity_optimize(c_m, init, [(1e-6, None)] * N, 1000)
        optimizer.risk_parity_with_cons_optimize(c_m, init, box, BUDGET, 1000, 1e-8)
        optimizer.min_variance_optimize(c_m, init, box, BUDGET, 1000, 1e-8)
        optimizer.mean_variance_optimize(c_m, init, 1, mu, box, BUDGET, 1000, 1e-8)
        optimizer.min_tracking_error_optimize(init, bench, df, box, BUDGET, 1000, 1e-8)
    finally:
        optimizer.sc_opt = real
    return seen


def evaluation_table(c_m, df, mu, bench, x):
    f = capture_closures(c_m, df, mu, bench)
    c, lam = 15, 1
    cases = [
        ("log_barrier_risk_parity_obj_fun", lambda: np.dot(x, np.dot(c_m, x)) - c * sum(np.log(x))),
        ("log_barrier_risk_parity_gradient", lambda: np.multiply(2, np.dot(c_m, x)) - np.multiply(c, np.reciprocal(x))),
        (
            "risk_parity_with_con_obj_fun",
            lambda: np.sum(scsp.distance.pdist(np.multiply(x, np.dot(c_m, x))[:, None], "euclidean")),
        ),
        ("min_variance_obj_fun", lambda: np.dot(np.dot(x, c_m), x)),
        ("min_variance_gradient", lambda: np.multiply(2, np.dot(c_m, x))),
        ("mean_variance_obj_fun", lambda: np.multiply(lam / 2, np.dot(np.dot(x, c_m), x)) - np.dot(x, mu)),
        (
            "mean_variance_gradient",
            lambda: np.asarray(np.multiply(lam, np.dot(x, c_m)).transpose() - mu, dtype=np.float64).flatten(),
        ),
        ("min_TE_obj_fun", lambda: np.dot(np.subtract(bench, np.dot(df, x)).T, np.subtract(bench, np.dot(df, x)))),
    ]
    print(f"Per evaluation at N = {N} (best of 7 runs; target: native at least 5x faster)")
    print(f"  {'closure':34s} {'numpy us':>9s} {'native us':>10s} {'ratio':>7s}")
    for name, expression in cases:
        reference = best_seconds(expression, 300)
        ours = best_seconds(lambda name=name: f[name](x), 3000)
        print(f"  {name:34s} {reference * 1e6:9.1f} {ours * 1e6:10.2f} {reference / ours:6.1f}x")


def pairwise_table(c_m, rng):
    """The sorted pairwise sum alone, timed inside C++, against pdist + np.sum on the same
    risk-contribution vectors."""
    cxx = shutil.which(os.environ.get("CXX", "") or (sysconfig.get_config_var("CXX") or "c++").split()[0])
    if not cxx:
        print("Pairwise sum: skipped (no C++ compiler to build bench/pairwise_timer.cpp)")
        return
    with tempfile.TemporaryDirectory() as tmp:
        lib = os.path.join(tmp, "pairwise_timer.so")
        subprocess.run(
            [
                cxx,
                "-std=c++20",
                "-O3",
                "-DNDEBUG",
                "-shared",
                "-fPIC",
                "-I",
                os.path.join(ROOT, "src", "optimizer"),
                os.path.join(ROOT, "bench", "pairwise_timer.cpp"),
                os.path.join(ROOT, "src", "optimizer", "core", "objectives.cpp"),
                "-o",
                lib,
            ],
            check=True,
        )
        timer = ctypes.CDLL(lib).vela_pairwise_seconds
        timer.restype = ctypes.c_double
        timer.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_int, ctypes.c_void_p]
        weights = rng.dirichlet(np.full(N, 20.0), 64)  # trial points around 1/N
        rc = np.ascontiguousarray(weights * (weights @ c_m.values))
        sums = np.empty(len(rc))
        native = timer(rc.ctypes.data, N, len(rc), 200, sums.ctypes.data)
        k = iter(range(10**9))
        reference = best_seconds(lambda: np.sum(scsp.distance.pdist(rc[next(k) % len(rc)][:, None], "euclidean")), 200)
        exact = np.array([np.sum(scsp.distance.pdist(v[:, None], "euclidean")) for v in rc])
    print(f"Pairwise sum over {N} risk contributions (target: at least 50x faster than pdist + np.sum)")
    print(
        f"  pdist + np.sum {reference * 1e6:.1f} us, sorted sum {native * 1e6:.2f} us, "
        f"ratio {reference / native:.0f}x, largest relative difference {np.max(np.abs(sums / exact - 1)):.1e}"
    )


def full_solve(c_m):
    """min_variance_optimize through the real SLSQP, and the same problem unscaled for contrast."""
    runs = []
    real = optimizer.sc_opt

    def minimize(*args, **kwargs):
        r = real.minimize(*args, **kwargs)
        runs.append(r)
        return r

    optimizer.sc_opt = SimpleNamespace(minimize=minimize)
    try:
        start = time.perf_counter()
        w = optimizer.min_variance_optimize(c_m, [1 / N] * N, [(0, 1)] * N, BUDGET, 1000, 1e-8)
        took = time.perf_counter() - start
    finally:
        optimizer.sc_opt = real
    w = np.array(list(w.values()))
    cov = c_m.values
    d = np.mean(np.diag(cov))
    options = {"maxiter": 5000, "ftol": 1e-15}
    best = scipy.optimize.minimize(
        lambda v: v @ cov @ v / d,
        [1 / N] * N,
        method="SLSQP",
        jac=lambda v: 2 * cov @ v / d,
        bounds=[(0, 1)] * N,
        constraints=BUDGET,
        options=options,
    ).x
    unscaled = scipy.optimize.minimize(
        lambda v: v @ cov @ v,
        [1 / N] * N,
        method="SLSQP",
        jac=lambda v: 2 * cov @ v,
        bounds=[(0, 1)] * N,
        constraints=BUDGET,
        options={"maxiter": 1000, "ftol": 1e-8},
    )
    optimum = best @ cov @ best
    print(f"Full minimum-variance solve, N = {N}, T = {T}, tol 1e-8")
    print(
        f"  {took * 1e3:.0f} ms wall, {sum(r.nit for r in runs)} iterations in {len(runs)} solve(s); variance "
        f"{w @ cov @ w / optimum - 1:.1e} above the optimum, weights within {np.abs(w - best).max():.1e}"
    )
    excess = unscaled.x @ cov @ unscaled.x / optimum - 1
    print(
        f"  unscaled for contrast: {unscaled.nit} iterations, variance {excess:.1e} above the optimum, "
        f"weights within {np.abs(unscaled.x - best).max():.1e}"
    )


def main():
    rng = np.random.default_rng(2024)
    df = factor_model_returns(rng)
    c_m = shrunk_covariance(df)
    mu = df.mean()
    bench = df.mean(axis=1) + rng.normal(0, 0.003, T)
    x = rng.dirichlet(np.full(N, 20.0))
    print(
        f"numpy {np.__version__}, pandas {pd.__version__}, scipy {scipy.__version__}, Python {sys.version.split()[0]}"
    )
    evaluation_table(c_m, df, mu, bench, x)
    pairwise_table(c_m, rng)
    full_solve(c_m)


if __name__ == "__main__":
    main()
