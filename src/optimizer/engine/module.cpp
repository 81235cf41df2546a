// vela_optimizer._engine: what the package level needs from the module's pipeline.
//
// run(<portfolio_optimize's parameters>, progress=None, solve=None) runs the shared pipeline and
// then either the module's own solve (solve None, or solve(prepared) returning NotImplemented,
// as for a caller's own constraint records) or the caller's `solve`. Its functions are made over
// the optimizer module's namespace, so a replaced `veladatac` or `sc_opt` there serves both paths.
#include "engine/bindings.hpp"

#include "constraints/records.hpp"
#include "driver/pipeline.hpp"
#include "methods/solver.hpp"

#include <cmath>
#include <string>

namespace vela::engine {

namespace pyb = pybind11;
using py::Function;

namespace {

constexpr Py_ssize_t kProgress = QUIET + 1, kSolve = QUIET + 2;

pyb::dict as_dict(const Prepared &p) {
    pyb::list dropped = dropped_with_reasons(p.screening);
    pyb::dict d;
    d["start_date"] = p.start_date;
    d["benchmark"] = p.benchmark;
    d["instrument_type"] = p.instrument_type;
    d["df"] = p.df;
    d["columns"] = p.columns;
    d["bounds"] = p.bounds;
    d["c_m"] = p.c_m;
    d["constraints"] = p.constraints;
    d["init_weight"] = p.init_weight;
    d["dropped"] = dropped;
    d["last_day"] = p.screening.last_day;
    return d;
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

pyb::object run(Function &f, PyObject *const *a) {
    Progress progress;
    progress.callback = pyb::reinterpret_borrow<pyb::object>(a[kProgress]);
    const Prepared p = prepare(f, a, progress);
    pyb::dict out = as_dict(p);
    pyb::handle solve = a[kSolve];
    if (!solve.is_none()) {
        pyb::object native = pyb::reinterpret_borrow<pyb::object>(solve)(out);
        if (!native.is(pyb::handle(Py_NotImplemented))) {
            out["native"] = native;
            return out;
        }
    }
    progress("solve");
    methods::SolveRecord record;
    {
        methods::ObserveSolves observe(record);
        out["weights"] = dispatch(f, a, p);
    }
    out["scipy"] = solve_info(record);
    return out;
}

// [(kind, label, positions, bound), ...] for the constraint records (one record or a list), kind
// "floor", "cap" or "budget"; None when any record is not one of the module's own.
pyb::object linear_form(Function &, PyObject *const *a) {
    pyb::handle constraints = a[0];
    pyb::list records;
    if (PyDict_Check(constraints.ptr())) {
        records.append(constraints);
    } else {
        for (pyb::handle r : constraints) records.append(r);
    }
    static const char *const kinds[] = {"floor", "cap", "budget"};
    pyb::list rows;
    for (pyb::handle r : records) {
        LinearRow row;
        if (!linear_row(r, row)) return pyb::none();
        pyb::list positions;
        for (Py_ssize_t i : row.positions) positions.append(i);
        rows.append(pyb::make_tuple(kinds[row.kind], row.label, positions, row.bound));
    }
    return rows;
}

}  // namespace

void create_engine_module(pyb::module_ &optimizer) {
    const std::string full = pyb::str(optimizer.attr("__name__"));
    const std::string name = full.substr(0, full.rfind('.') + 1) + "_engine";
    pyb::module_ engine = pyb::reinterpret_steal<pyb::module_>(PyModule_New(name.c_str()));
    if (!engine) throw pyb::error_already_set();
    engine.attr("__doc__") = "Private: the shared pipeline with a pluggable solve, and the native solvers.";
    PyObject *globals = optimizer.attr("__dict__").ptr();

    std::vector<const char *> params = portfolio_optimize_params();
    params.push_back("progress");
    params.push_back("solve");
    pyb::tuple base = portfolio_optimize_defaults(optimizer);
    pyb::list defaults;
    for (pyb::handle d : base) defaults.append(d);
    defaults.append(pyb::none());
    defaults.append(pyb::none());
    const py::FunctionSpec functions[] = {
        {"run", "", params, run, pyb::tuple(defaults)},
        {"linear_form", "", {"constraints"}, linear_form},
    };
    for (const py::FunctionSpec &def : functions) {
        pyb::object fn = py::make_function(globals, def);
        fn.attr("__module__") = name;
        engine.attr(std::string(def.name).c_str()) = fn;
    }
    bind_risk_parity(engine);
    pyb::module_::import("sys").attr("modules")[pyb::str(name)] = engine;
}

}  // namespace vela::engine
