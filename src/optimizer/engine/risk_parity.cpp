// risk_parity_barrier: the native minimiser of the log-barrier risk-parity objective.
// Converts only: the arithmetic is in core/risk_parity.
#include "core/risk_parity.hpp"
#include "engine/bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace vela::engine {

namespace pyb = pybind11;

namespace {

using Matrix = pyb::array_t<double, pyb::array::c_style | pyb::array::forcecast>;

core::RiskParityMethod method_named(const std::string &name) {
    if (name == "auto") return core::RiskParityMethod::automatic;
    if (name == "ccd") return core::RiskParityMethod::coordinate_descent;
    if (name == "newton") return core::RiskParityMethod::newton;
    throw std::invalid_argument("risk parity: method must be 'auto', 'ccd' or 'newton', not '" + name + "'");
}

pyb::tuple risk_parity_barrier(const Matrix &c, int max_iteration, double tol, double barrier,
                               const std::string &method) {
    if (c.ndim() != 2 || c.shape(0) != c.shape(1))
        throw std::invalid_argument("risk parity: the covariance must be a square 2-D array");
    const auto n = static_cast<std::size_t>(c.shape(0));
    const core::RiskParityMethod how = method_named(method);
    // Read (into the scaled copy) while the GIL is held: another thread may write into the array.
    const core::CorrelationScaled problem(c.data(), n);
    core::RiskParityResult result;
    {
        pyb::gil_scoped_release release;
        result = core::risk_parity_barrier(problem, max_iteration, barrier, tol, how);
    }
    pyb::array_t<double> x(static_cast<pyb::ssize_t>(n));
    std::copy(result.x.begin(), result.x.end(), x.mutable_data());
    return pyb::make_tuple(x, result.iterations, result.converged);
}

}  // namespace

void bind_risk_parity(pyb::module_ &m) {
    m.def("risk_parity_barrier", &risk_parity_barrier, pyb::arg("C"), pyb::arg("max_iteration"),
          pyb::arg("tol") = 1e-12, pyb::arg("barrier") = 15.0, pyb::arg("method") = "auto",
          "Minimise xᵀCx − barrier·Σ ln x_i over x > 0 (equal risk contributions x_i(Cx)_i = barrier/2).\n\n"
          "Returns (x, iterations, converged); x is not normalised. method: 'auto' (coordinate descent,\n"
          "Newton when the sweeps slow down), 'ccd' or 'newton'. converged is False when max_iteration\n"
          "sweeps or steps did not reach max_i |x_i(Cx)_i / (barrier/2) − 1| <= tol. ValueError for a\n"
          "matrix that is not square, has a non-finite entry or a variance that is not positive.");
}

}  // namespace vela::engine
