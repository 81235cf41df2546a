#include "methods/solver.hpp"

#include "py/errors.hpp"
#include "py/pyops.hpp"
#include "py/vector.hpp"

#include <cmath>

namespace vela::methods {

namespace {

constexpr const char *kNotConverged = "OPTIMIZER: 优化无法收敛到足够精度";
constexpr const char *kInvalidResult = "OPTIMIZER: 优化结果包含无效数值（NaN 或 inf）";
constexpr int kStatusLinesearch = 8;  // SLSQP: positive directional derivative in the line search
constexpr double kFtolCeiling = 1e-5;

thread_local SolveRecord *observed = nullptr;

pyb::object minimize(const py::Function &f, const Objective &objective, pyb::handle init_weight,
                     const pyb::dict &kwargs) {
    pyb::object call = f.global("sc_opt").attr("minimize");
    pyb::object result = call(*pyb::make_tuple(objective.fun, init_weight), **kwargs);
    if (observed) {
        ++observed->solves;
        observed->last = result;
    }
    return result;
}

// result.success, or failing that result.nit >= max_iteration: the iteration limit is no failure.
bool accepted(pyb::handle result, pyb::handle max_iteration) {
    if (pyb::bool_(result.attr("success"))) return true;
    return py::compare(result.attr("nit"), max_iteration, Py_GE);
}

[[noreturn]] void fail_with_message(const py::Function &f, pyb::handle result) {
    py::raise_global(f, "OptimizationFailed", result.attr("message"));
}

}  // namespace

ObserveSolves::ObserveSolves(SolveRecord &record) : previous_(observed) { observed = &record; }
ObserveSolves::~ObserveSolves() { observed = previous_; }

pyb::object solve_slsqp(const py::Function &f, const Objective &objective, pyb::handle init_weight, pyb::handle bounds,
                        pyb::handle cons, pyb::handle max_iteration, pyb::handle tol) {
    pyb::dict options;
    options["maxiter"] = max_iteration;
    options["ftol"] = tol;
    pyb::dict kwargs;
    kwargs["method"] = "SLSQP";
    if (objective.jac) kwargs["jac"] = objective.jac;
    kwargs["bounds"] = bounds;
    kwargs["constraints"] = cons;
    kwargs["options"] = options;
    const pyb::float_ ceiling(kFtolCeiling);
    const pyb::int_ ten(10);
    for (;;) {
        pyb::object result = minimize(f, objective, init_weight, kwargs);
        if (accepted(result, max_iteration)) return result.attr("x");
        if (!py::compare(result.attr("status"), pyb::int_(kStatusLinesearch), Py_EQ)) fail_with_message(f, result);
        // The host's `options["ftol"] *= 10` on the value as it stands (1e-8 → … →
        // 9.999999999999999e-05); the test comes first, so a tol ≥ 1e-5 allows one solve.
        pyb::object ftol = options["ftol"];
        if (py::compare(ftol, ceiling, Py_GE)) py::optimization_failed(f, kNotConverged);
        options["ftol"] = ftol * ten;
    }
}

pyb::object solve_lbfgsb(const py::Function &f, const Objective &objective, pyb::handle init_weight, pyb::handle bounds,
                         pyb::handle max_iteration) {
    pyb::dict options;
    options["maxiter"] = max_iteration;
    pyb::dict kwargs;
    kwargs["method"] = "L-BFGS-B";
    kwargs["jac"] = objective.jac;
    kwargs["bounds"] = bounds;
    kwargs["options"] = options;
    pyb::object result = minimize(f, objective, init_weight, kwargs);
    if (!accepted(result, max_iteration)) fail_with_message(f, result);
    return result.attr("x");
}

pyb::dict weights_by_label(const py::Function &f, pyb::handle labels, pyb::handle x_obj, bool normalise) {
    py::VectorView x(x_obj.ptr());
    const std::size_t n = x.size();
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) py::optimization_failed(f, kInvalidResult);
    double sum = 1.0;
    if (normalise) {
        sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) sum += x[i];
        if (!std::isfinite(sum) || sum == 0.0) py::optimization_failed(f, kInvalidResult);
    }
    pyb::dict out;  // a repeated label keeps the weight of its later position, as dict(zip(...)) does
    std::size_t i = 0;
    for (pyb::handle label : labels) {
        if (i == n) break;
        const double w = normalise ? x[i] / sum : x[i];
        if (!std::isfinite(w)) py::optimization_failed(f, kInvalidResult);  // x / sum overflowed
        out[label] = pyb::float_(w);
        ++i;
    }
    return out;
}

}  // namespace vela::methods
