// recover_multipliers: core/multipliers for the package's active sets. Converts only.
#include "core/multipliers.hpp"
#include "engine/bindings.hpp"

#include <pybind11/numpy.h>

#include <stdexcept>
#include <vector>

namespace vela::engine {

namespace pyb = pybind11;

namespace {

using Reals = pyb::array_t<double, pyb::array::c_style | pyb::array::forcecast>;
using Flags = pyb::array_t<bool, pyb::array::c_style | pyb::array::forcecast>;

pyb::array_t<double> recover_multipliers(const Reals &g, const Reals &A, const Reals &signs, const Flags &at_lower,
                                         const Flags &at_upper, const Flags &fixed, double scale) {
    if (g.ndim() != 1 || A.ndim() != 2 || signs.ndim() != 1 || at_lower.ndim() != 1 || at_upper.ndim() != 1 ||
        fixed.ndim() != 1)
        throw std::invalid_argument("recover_multipliers: g, signs and the masks are 1-D, A is 2-D");
    const auto n = g.shape(0), m = A.shape(0);
    if (A.shape(1) != n || signs.shape(0) != m || at_lower.shape(0) != n || at_upper.shape(0) != n ||
        fixed.shape(0) != n)
        throw std::invalid_argument("recover_multipliers: A is (m, n) for g of n and signs of m, masks of n");
    std::vector<core::BoundState> state(static_cast<std::size_t>(n));
    const bool *lo = at_lower.data(), *hi = at_upper.data(), *fx = fixed.data();
    for (pyb::ssize_t i = 0; i < n; ++i)
        state[static_cast<std::size_t>(i)] = lo[i]   ? core::BoundState::kLower
                                             : hi[i] ? core::BoundState::kUpper
                                             : fx[i] ? core::BoundState::kFixed
                                                     : core::BoundState::kFree;
    std::vector<double> nu;
    {
        pyb::gil_scoped_release release;
        nu = core::recover_row_multipliers(g.data(), A.data(), signs.data(), state.data(), static_cast<std::size_t>(n),
                                           static_cast<std::size_t>(m), scale);
    }
    pyb::array_t<double> out(m);
    std::copy(nu.begin(), nu.end(), out.mutable_data());
    return out;
}

}  // namespace

void bind_multipliers(pyb::module_ &m) {
    m.def("recover_multipliers", &recover_multipliers, pyb::arg("g"), pyb::arg("A"), pyb::arg("signs"),
          pyb::arg("at_lower"), pyb::arg("at_upper"), pyb::arg("fixed"), pyb::arg("scale"),
          "Row multipliers ν (m) under their signs (signs > 0: ν ≥ 0, < 0: ν ≤ 0, 0: free) minimising\n"
          "½ Σ φ_i((g + Aᵀν)_i), φ_i = r² for a free variable, min(r, 0)² at a lower bound, max(r, 0)²\n"
          "at an upper one, 0 for a fixed one; scale: the gradient's size, for the stopping test.");
}

}  // namespace vela::engine
