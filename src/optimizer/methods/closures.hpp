// Objective and gradient closures over a problem copied once per method call. Both closures of
// a method share the problem; an evaluation reads x in place and allocates only its result.
#pragma once

#include "methods/solver.hpp"
#include "py/vector.hpp"

#include <cstddef>
#include <memory>
#include <utility>

namespace vela::methods {

// A weight vector of another length than the problem's is the host's shape error (ValueError).
void check_length(const py::VectorView &x, std::size_t n);

// `scale` > 0 divides every value and gradient handed to the minimizer (1: unscaled).
template <class Problem>
struct Shared : py::ClosureData {
    Shared(std::shared_ptr<Problem> p, double s) : problem(std::move(p)), scale(s) {}
    std::shared_ptr<Problem> problem;
    double scale;
};

// f(x) / scale, a Python float.
template <class Problem>
pyb::object value_of(py::Function &self, PyObject *const *args) {
    auto &c = self.closure<Shared<Problem>>();
    py::VectorView x(args[0]);
    check_length(x, c.problem->size());
    return pyb::float_(c.problem->value(x.data()) / c.scale);
}

// ∇f(x) / scale, a new one-dimensional float64 array.
template <class Problem>
pyb::object gradient_of(py::Function &self, PyObject *const *args) {
    auto &c = self.closure<Shared<Problem>>();
    py::VectorView x(args[0]);
    const std::size_t n = c.problem->size();
    check_length(x, n);
    double *g = nullptr;
    pyb::object out = py::new_vector(n, g);
    c.problem->gradient(x.data(), g);
    if (c.scale != 1.0)
        for (std::size_t i = 0; i < n; ++i) g[i] /= c.scale;
    return out;
}

// The closure `<parent>.<locals>.<fun_name>` alone (the minimizer differentiates it).
template <class Problem>
Objective make_objective(const py::Function &parent, std::shared_ptr<Problem> problem, double scale,
                         const char *fun_name) {
    Objective o;
    o.fun = py::make_closure(parent, fun_name, {"x"}, value_of<Problem>,
                             std::make_unique<Shared<Problem>>(std::move(problem), scale));
    return o;
}

// The objective closure and its gradient `<parent>.<locals>.<jac_name>`, sharing the problem.
template <class Problem>
Objective make_objective(const py::Function &parent, std::shared_ptr<Problem> problem, double scale,
                         const char *fun_name, const char *jac_name) {
    Objective o = make_objective(parent, problem, scale, fun_name);
    o.jac = py::make_closure(parent, jac_name, {"x"}, gradient_of<Problem>,
                             std::make_unique<Shared<Problem>>(std::move(problem), scale));
    return o;
}

}  // namespace vela::methods
