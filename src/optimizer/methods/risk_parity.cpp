// risk_parity_optimize: log-barrier objective under box bounds (L-BFGS-B), weights rescaled to
// sum to 1. risk_parity_with_cons_optimize: the spread of the risk contributions under bounds
// and constraint records (SLSQP, finite-difference gradient). Neither objective is scaled:
// the barrier fixes its own scale, and the non-smooth spread already stops near equal
// contributions unscaled while a scaled one runs to the iteration limit.
#include "core/objectives.hpp"
#include "methods/arrays.hpp"
#include "methods/closures.hpp"
#include "methods/methods.hpp"
#include "methods/solver.hpp"

#include <memory>
#include <utility>

namespace vela::methods {

namespace {

constexpr double kBarrier = 15.0;  // c in f(x) = xᵀ·C·x − c·Σ ln x_i

}  // namespace

pyb::object risk_parity_optimize(py::Function &self, PyObject *const *args) {
    pyb::handle c_m = args[0], init_weight = args[1], bounds = args[2], max_iteration = args[3];
    check_max_iteration(self, max_iteration);
    CovarianceInput in = read_covariance(self, c_m);
    auto problem =
        std::make_shared<core::LogBarrierRiskParity>(core::LogBarrierRiskParity{std::move(in.cov), kBarrier});
    const Objective objective =
        make_objective(self, problem, 1.0, "log_barrier_risk_parity_obj_fun", "log_barrier_risk_parity_gradient");
    pyb::object x = solve_lbfgsb(self, objective, init_weight, bounds, max_iteration);
    return weights_by_label(self, in.labels, x, true);
}

pyb::object risk_parity_with_cons_optimize(py::Function &self, PyObject *const *args) {
    pyb::handle c_m = args[0], init_weight = args[1], bounds = args[2], cons = args[3], max_iteration = args[4],
                tol = args[5];
    check_max_iteration(self, max_iteration);
    check_tol(self, tol);
    CovarianceInput in = read_covariance(self, c_m);
    auto problem = std::make_shared<core::RiskContributionSpread>(std::move(in.cov));
    const Objective objective = make_objective(self, problem, 1.0, "risk_parity_with_con_obj_fun");
    pyb::object x = solve_slsqp(self, objective, init_weight, bounds, cons, max_iteration, tol);
    return weights_by_label(self, in.labels, x, false);
}

}  // namespace vela::methods
