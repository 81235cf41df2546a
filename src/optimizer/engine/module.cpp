// vela_optimizer._engine: what the package level needs from the module's pipeline.
//
// check(<portfolio_optimize's parameters>) runs the opening checks of the numeric arguments;
// prepare(<parameters>, progress=None, covariance=True) the shared data steps (no bounds, no
// constraint records: the package states its limits as data; covariance=False leaves out the
// covariance too, c_m None, for the package's factored estimate); solve_scipy(<parameters>,
// prepared, constraints=None) the module's own bounds step and solve on what prepare returned.
// Its functions are made over the optimizer module's namespace, so a replaced `veladatac` or
// `sc_opt` there serves both paths.
#include "engine/bindings.hpp"

#include "driver/pipeline.hpp"
#include "methods/solver.hpp"

#include <cmath>
#include <string>

namespace vela::engine {

namespace pyb = pybind11;
using py::Function;

namespace {

constexpr Py_ssize_t kProgress = QUIET + 1, kCovariance = QUIET + 2, kPrepared = QUIET + 1, kConstraints = QUIET + 2;

pyb::dict as_dict(const Prepared &p) {
    pyb::list dropped = dropped_with_reasons(p.screening);
    pyb::dict d;
    d["start_date"] = p.start_date;
    d["benchmark"] = p.benchmark;
    d["instrument_type"] = p.instrument_type;
    d["df"] = p.df;
    d["columns"] = p.columns;
    d["c_m"] = p.c_m;
    d["dropped"] = dropped;
    d["last_day"] = p.screening.last_day;
    return d;
}

// The inputs of the module's solve from what prepare() returned: the same objects, not copies.
Prepared from_dict(pyb::handle d) {
    Prepared p;
    p.start_date = d["start_date"];
    p.benchmark = d["benchmark"];
    p.instrument_type = d["instrument_type"];
    p.df = d["df"];
    p.columns = d["columns"];
    p.c_m = d["c_m"];
    const std::size_t n = p.columns.size();
    for (std::size_t i = 0; i < n; ++i) p.init_weight.append(1.0 / static_cast<double>(n));
    return p;
}

pyb::dict solve_info(const methods::SolveRecord &r) {
    pyb::dict info;
    info["solves"] = r.solves;
    if (!r.last.is_none()) {
        for (const char *key : {"nit", "status", "success", "message", "fun"})
            info[key] = pyb::getattr(r.last, key, pyb::none());
    }
    return info;
}

pyb::object check(Function &f, PyObject *const *a) {
    check_arguments(f, a);
    return pyb::none();
}

pyb::object prepare_data(Function &f, PyObject *const *a) {
    Progress progress;
    progress.callback = pyb::reinterpret_borrow<pyb::object>(a[kProgress]);
    const int covariance = PyObject_IsTrue(a[kCovariance]);
    if (covariance < 0) throw pyb::error_already_set();
    return as_dict(prepare(f, a, progress, covariance ? Steps::Data : Steps::Returns));
}

// {"weights": the method function's result, "scipy": what the last minimizer call reported}.
// `constraints` None: the module's own constraint step (the budget record, or cons.to_constraint).
pyb::object solve_scipy(Function &f, PyObject *const *a) {
    Prepared p = from_dict(a[kPrepared]);
    module_bounds(f, a, p);
    if (pyb::handle(a[kConstraints]).is_none())
        module_constraints(f, a, p);
    else
        p.constraints = pyb::reinterpret_borrow<pyb::object>(a[kConstraints]);
    methods::SolveRecord record;
    pyb::dict out;
    {
        methods::ObserveSolves observe(record);
        out["weights"] = dispatch(f, a, p);
    }
    out["scipy"] = solve_info(record);
    return out;
}

pyb::list with_defaults(pyb::module_ &optimizer, std::initializer_list<pyb::object> extra) {
    pyb::list defaults;
    for (pyb::handle d : portfolio_optimize_defaults(optimizer)) defaults.append(d);
    for (const pyb::object &d : extra) defaults.append(d);
    return defaults;
}

std::vector<const char *> params_with(std::initializer_list<const char *> extra) {
    std::vector<const char *> params = portfolio_optimize_params();
    params.insert(params.end(), extra);
    return params;
}

}  // namespace

void create_engine_module(pyb::module_ &optimizer) {
    const std::string full = pyb::str(optimizer.attr("__name__"));
    const std::string name = full.substr(0, full.rfind('.') + 1) + "_engine";
    pyb::module_ engine = pyb::reinterpret_steal<pyb::module_>(PyModule_New(name.c_str()));
    if (!engine) throw pyb::error_already_set();
    engine.attr("__doc__") = "Private: the shared pipeline's steps for the package level, and the native solvers.";
    PyObject *globals = optimizer.attr("__dict__").ptr();

    const py::FunctionSpec functions[] = {
        {"check", "", portfolio_optimize_params(), check, portfolio_optimize_defaults(optimizer)},
        {"prepare", "", params_with({"progress", "covariance"}), prepare_data,
         pyb::tuple(with_defaults(optimizer, {pyb::none(), pyb::bool_(true)}))},
        {"solve_scipy", "", params_with({"prepared", "constraints"}), solve_scipy,
         pyb::tuple(with_defaults(optimizer, {pyb::none(), pyb::none()}))},
    };
    for (const py::FunctionSpec &def : functions) {
        pyb::object fn = py::make_function(globals, def);
        fn.attr("__module__") = name;
        engine.attr(std::string(def.name).c_str()) = fn;
    }
    engine.attr("RISK_PARITY_DEFAULT_BOUND") = pyb::make_tuple(kRiskParityLower, pyb::none());
    bind_risk_parity(engine);
    bind_shrinkage(engine);
    bind_small_qp(engine);
    bind_multipliers(engine);
    pyb::module_::import("sys").attr("modules")[pyb::str(name)] = engine;
}

}  // namespace vela::engine
