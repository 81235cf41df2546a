// shrinkage_factors: the shrunk covariance in factored form (core/shrinkage), for the package's
// native solves at many instruments. Converts only.
#include "core/shrinkage.hpp"
#include "engine/bindings.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace vela::engine {

namespace pyb = pybind11;

namespace {

using Matrix = pyb::array_t<double, pyb::array::c_style | pyb::array::forcecast>;

pyb::array_t<double> array_of(const std::vector<double> &v, std::vector<pyb::ssize_t> shape) {
    pyb::array_t<double> a(shape);
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

pyb::object shrinkage_factors(const Matrix &returns) {
    if (returns.ndim() != 2) throw std::invalid_argument("shrinkage_factors: the returns must be a 2-D array");
    const auto rows = static_cast<std::size_t>(returns.shape(0)), cols = static_cast<std::size_t>(returns.shape(1));
    // A copy of our own, read while the GIL is held: another thread may write into the array.
    const std::vector<double> y(returns.data(), returns.data() + rows * cols);
    core::ShrinkageFactors f;
    {
        pyb::gil_scoped_release release;
        f = core::cov_shrinkage_factors(y.data(), rows, cols);
    }
    if (!f.usable) return pyb::none();
    const auto n = static_cast<pyb::ssize_t>(cols), t = static_cast<pyb::ssize_t>(rows);
    const auto g = static_cast<pyb::ssize_t>(f.gaps.size());
    pyb::array_t<pyb::ssize_t> gaps(g);
    std::copy(f.gaps.begin(), f.gaps.end(), gaps.mutable_data());
    pyb::dict out;
    // The intensity as _cov_shrinkage reports it: 0 and 1 as integers where clamped or γ̂ = 0.
    switch (f.shrinkage.kind) {
        case core::ShrinkageKind::clamped_one:
            out["delta"] = pyb::int_(1);
            break;
        case core::ShrinkageKind::interior:
            out["delta"] = pyb::float_(f.shrinkage.delta);
            break;
        default:
            out["delta"] = pyb::int_(0);
    }
    out["rbar"] = f.rbar;
    out["sigma"] = array_of(f.sigma, {n});
    out["centred"] = array_of(f.centred, {n, t});
    out["count"] = array_of(f.count, {n});
    out["gaps"] = gaps;
    out["gap_cov"] = array_of(f.gap_cov, {g, n});
    return out;
}

}  // namespace

void bind_shrinkage(pyb::module_ &m) {
    m.def("shrinkage_factors", &shrinkage_factors, pyb::arg("returns"),
          "The covariance _cov_shrinkage estimates from a (T, N) table of returns (NaN for missing), in\n"
          "factored form: a dict with 'delta' (the intensity, as _cov_shrinkage reports it), 'rbar' (the\n"
          "mean correlation), 'sigma' (N,), 'centred' (N, T: each column minus its mean over its present\n"
          "rows, 0 where missing), 'count' (N,: present rows), 'gaps' (the columns with a missing entry)\n"
          "and 'gap_cov' (g, N: the pairwise covariances of each gap column with every column). None where\n"
          "the dense estimator's own handling is needed (infinite or huge entries, a zero or missing\n"
          "variance, a pair with fewer than two common rows, the target equal to S up to rounding).");
}

}  // namespace vela::engine
