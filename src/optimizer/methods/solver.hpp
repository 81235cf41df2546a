// The contract every method keeps with the minimizer `sc_opt.minimize` (read from the module's
// globals at each solve): the call, the acceptance rule, the tolerance relaxation of the SLSQP
// methods, the failure path, and the weights returned.
#pragma once

#include "py/checks.hpp"
#include "py/function.hpp"

namespace vela::methods {

namespace pyb = pybind11;

// The methods admit any number but a bool as tol (the driver, numbers.Real).
inline void check_tol(const py::Function &f, pyb::handle tol) { py::check_tol(f, tol, py::Admit::NumberNotBool); }
using py::check_max_iteration;

// The objective and its gradient as handed to the minimizer; `jac` empty when none is passed.
struct Objective {
    pyb::object fun;
    pyb::object jac;
};

// The minimizer's results as a method call makes them, for callers that want more than the
// weights (iterations, whether the accepted solve met its tolerance). Solves on this thread are
// recorded while an ObserveSolves lives; nothing is recorded otherwise.
struct SolveRecord {
    int solves = 0;
    pyb::object last = pyb::none();  // the latest scipy result
};

class ObserveSolves {
  public:
    explicit ObserveSolves(SolveRecord &record);
    ~ObserveSolves();
    ObserveSolves(const ObserveSolves &) = delete;
    ObserveSolves &operator=(const ObserveSolves &) = delete;

  private:
    SolveRecord *previous_;
};

// SLSQP from init_weight with options {"maxiter": max_iteration, "ftol": tol}, built once and
// relaxed in place (ftol ×10 after each status-8 exit while ftol < 1e-5). Returns the accepted
// result's x; raises OptimizationFailed otherwise.
pyb::object solve_slsqp(const py::Function &f, const Objective &objective, pyb::handle init_weight, pyb::handle bounds,
                        pyb::handle cons, pyb::handle max_iteration, pyb::handle tol);

// One L-BFGS-B solve with options {"maxiter": max_iteration}; returns the accepted result's x,
// raises OptimizationFailed(result.message) otherwise.
pyb::object solve_lbfgsb(const py::Function &f, const Objective &objective, pyb::handle init_weight, pyb::handle bounds,
                         pyb::handle max_iteration);

// dict(zip(labels, w)) with Python float values, where w = x, or x / sum(x) (summed left to
// right) when `normalise`. A non-finite weight, or a zero or non-finite sum, is no answer:
// OptimizationFailed.
pyb::dict weights_by_label(const py::Function &f, pyb::handle labels, pyb::handle x, bool normalise);

}  // namespace vela::methods
