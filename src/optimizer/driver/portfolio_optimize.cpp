// portfolio_optimize: one optimisation from arguments to weights. The shared pipeline (checks,
// data, screening, bounds, covariance, records) prepares the inputs; this function hands them to
// the method's function and returns its weights unchanged.
#include "bindings.hpp"
#include "driver/pipeline.hpp"
#include "py/errors.hpp"

namespace vela {

namespace pyb = pybind11;
using py::Function;

pyb::object dispatch(const Function &f, PyObject *const *a, const Prepared &p) {
    pyb::handle method = a[METHOD], max_iteration = a[MAX_ITERATION], tol = a[TOL];
    if (is_member(f, method, "RISK_PARITY")) {
        if (pyb::handle(a[CONS]).is_none() && pyb::handle(a[BNDS]).is_none())
            return f.global("risk_parity_optimize")(p.c_m, p.init_weight, p.bounds, max_iteration);
        return f.global("risk_parity_with_cons_optimize")(p.c_m, p.init_weight, p.bounds, p.constraints, max_iteration,
                                                          tol);
    }
    if (is_member(f, method, "MIN_VARIANCE"))
        return f.global("min_variance_optimize")(p.c_m, p.init_weight, p.bounds, p.constraints, max_iteration, tol);
    if (is_member(f, method, "MEAN_VARIANCE")) {
        pyb::object expected_return = p.df.attr("mean")();
        return f.global("mean_variance_optimize")(p.c_m, p.init_weight, pyb::handle(a[RISK_AVERSION]), expected_return,
                                                  p.bounds, p.constraints, max_iteration, tol);
    }
    if (is_member(f, method, "MIN_TRACKING_ERROR"))
        return f.global("min_tracking_error_optimize")(p.init_weight, p.benchmark, p.df, p.bounds, p.constraints,
                                                       max_iteration, tol);
    py::optimization_failed(f, "OPTIMIZE: unknown method {}", method);
}

namespace {

pyb::object portfolio_optimize(Function &f, PyObject *const *a) { return dispatch(f, a, prepare(f, a)); }

}  // namespace

pyb::tuple portfolio_optimize_defaults(pyb::module_ &m) {
    pyb::object risk_parity = m.attr("OptimizeMethod").attr("RISK_PARITY");
    return pyb::make_tuple(risk_parity, pyb::none(), pyb::none(), true, pyb::none(), 1, 132, 1000, 1e-08, false);
}

const std::vector<const char *> &portfolio_optimize_params() {
    static const std::vector<const char *> params = {
        "order_book_ids", "date",          "method",    "bnds",
        "cons",           "cov_shrinkage", "benchmark", "risk_aversion_coefficient",
        "window",         "max_iteration", "tol",       "quiet"};
    return params;
}

void bind_portfolio_optimize(pyb::module_ &m) {
    py::publish(
        m, {"portfolio_optimize", "", portfolio_optimize_params(), portfolio_optimize, portfolio_optimize_defaults(m)});
}

}  // namespace vela
