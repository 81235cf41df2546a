// Constraint records for the minimizer: {"type": "ineq"|"eq", "fun": f(x)}, with native bodies.
#pragma once

#include "py/function.hpp"

#include <vector>

namespace vela {

// {"type": "eq", "fun": sum(x) - 1}: the weights sum to one. `parent` names the closure.
pybind11::dict budget_record(const py::Function &parent);

// A record this module made, read back as a linear limit on the weights:
// floor: sum(x[positions]) >= bound; cap: sum(x[positions]) <= bound; budget: sum(x) == 1.
struct LinearRow {
    enum Kind { Floor, Cap, Budget } kind;
    pybind11::object label;             // the group's label (None for the budget)
    std::vector<Py_ssize_t> positions;  // empty for the budget: every position
    double bound = 1.0;
};

// The linear form of `record` when it is one of this module's group or budget records, with
// the "type" it was made with; false for anything else (a caller's own record).
bool linear_row(pybind11::handle record, LinearRow &row);
bool is_budget_fun(PyObject *fun);

}  // namespace vela
