// Constraint records for the minimizer: {"type": "ineq"|"eq", "fun": f(x)}, with native bodies.
#pragma once

#include "py/function.hpp"

namespace vela {

// {"type": "eq", "fun": sum(x) - 1}: the weights sum to one. `parent` names the closure.
pybind11::dict budget_record(const py::Function &parent);

}  // namespace vela
