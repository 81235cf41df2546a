// The contract every method keeps with the minimizer `sc_opt.minimize` (read from the module's
// globals at each solve): the call, the acceptance rule, the tolerance relaxation of the SLSQP
// methods, the failure path, and the weights returned.
#pragma once

#include "py/function.hpp"

namespace vela::methods {

namespace pyb = pybind11;

// max_iteration must be an integer (not a bool) of at least 1: below 1, `nit >= max_iteration`
// would accept the first solve whatever its state.
void check_max_iteration(const py::Function &f, pyb::handle max_iteration);

// tol must be a finite number greater than 0: otherwise ×10 never reaches 1e-5 and the
// relaxation loop would not end.
void check_tol(const py::Function &f, pyb::handle tol);

// The objective and its gradient as handed to the minimizer; `jac` empty when none is passed.
struct Objective {
    pyb::object fun;
    pyb::object jac;
};

// SLSQP from init_weight with options {"maxiter": max_iteration, "ftol": tol}, built once and
// relaxed in place (ftol ×10 after each status-8 exit while ftol < 1e-5). Returns the accepted
// result's x; raises OptimizationFailed otherwise.
pyb::object solve_slsqp(const py::Function &f, const Objective &objective, pyb::handle init_weight,
                        pyb::handle bounds, pyb::handle cons, pyb::handle max_iteration, pyb::handle tol);

// One L-BFGS-B solve with options {"maxiter": max_iteration}; returns the accepted result's x,
// raises OptimizationFailed(result.message) otherwise.
pyb::object solve_lbfgsb(const py::Function &f, const Objective &objective, pyb::handle init_weight,
                         pyb::handle bounds, pyb::handle max_iteration);

// dict(zip(labels, w)) with Python float values, where w = x, or x / sum(x) (summed left to
// right) when `normalise`. A non-finite weight, or a zero or non-finite sum, is no answer:
// OptimizationFailed.
pyb::dict weights_by_label(const py::Function &f, pyb::handle labels, pyb::handle x, bool normalise);

}  // namespace vela::methods
