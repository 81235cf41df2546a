// min_variance_optimize and mean_variance_optimize (SLSQP with exact gradients).
//
// SLSQP's "ftol" is an absolute test on the objective, while a daily variance is of the order
// of 1e-4: unscaled, the default tol of 1e-8 stops at or next to the starting point. Both
// objectives are therefore handed to the minimizer divided by a scale fixed once per call,
// which leaves the argmin unchanged: d = mean(diag(C)) for minimum variance, d·max(λ, 1) for
// mean-variance (λ/2·xᵀCx dominates for a large λ, xᵀμ ~ d for a small one).
#include "core/objectives.hpp"
#include "methods/arrays.hpp"
#include "methods/closures.hpp"
#include "methods/methods.hpp"
#include "methods/solver.hpp"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace vela::methods {

pyb::object min_variance_optimize(py::Function &self, PyObject *const *args) {
    pyb::handle c_m = args[0], init_weight = args[1], bounds = args[2], cons = args[3], max_iteration = args[4],
                tol = args[5];
    check_max_iteration(self, max_iteration);
    check_tol(self, tol);
    CovarianceInput in = read_covariance(self, c_m);
    const double scale = core::usable_scale(in.cov.mean_diagonal());
    auto problem = std::make_shared<core::MinVariance>(core::MinVariance{std::move(in.cov)});
    const Objective objective = make_objective(self, problem, scale, "min_variance_obj_fun", "min_variance_gradient");
    pyb::object x = solve_slsqp(self, objective, init_weight, bounds, cons, max_iteration, tol);
    return weights_by_label(self, in.labels, x, false);
}

pyb::object mean_variance_optimize(py::Function &self, PyObject *const *args) {
    pyb::handle c_m = args[0], init_weight = args[1], risk_aversion_coefficient = args[2], expected_return = args[3],
                bounds = args[4], cons = args[5], max_iteration = args[6], tol = args[7];
    check_max_iteration(self, max_iteration);
    check_tol(self, tol);
    const double lambda = PyFloat_AsDouble(risk_aversion_coefficient.ptr());
    if (lambda == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
    CovarianceInput in = read_covariance(self, c_m);
    std::vector<double> mu = read_vector(self, expected_return, "expected_return");
    const std::size_t n = in.cov.size();
    if (mu.size() != n) {
        PyErr_Format(PyExc_ValueError, "expected_return has %zu values for %zu instruments", mu.size(), n);
        throw pyb::error_already_set();
    }
    const double scale = core::usable_scale(in.cov.mean_diagonal() * std::max(lambda, 1.0));
    std::vector<double> transposed = in.cov.transposed();
    auto problem = std::make_shared<core::MeanVariance>(
        core::MeanVariance{std::move(in.cov), std::move(transposed), std::move(mu), lambda});
    const Objective objective = make_objective(self, problem, scale, "mean_variance_obj_fun", "mean_variance_gradient");
    pyb::object x = solve_slsqp(self, objective, init_weight, bounds, cons, max_iteration, tol);
    return weights_by_label(self, in.labels, x, false);
}

}  // namespace vela::methods
