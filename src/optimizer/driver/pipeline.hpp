// The steps every optimisation shares, from the caller's arguments to the solver's inputs:
// argument checks, the window, the benchmark, the instrument check, screening and returns,
// bounds, covariance, constraint records and the starting point. The module's own
// portfolio_optimize runs them and hands the result to its method functions; the package's
// native path runs the same steps and swaps only the solve.
#pragma once

#include "driver/screening.hpp"
#include "py/function.hpp"

#include <vector>

namespace vela {

// The parameters of portfolio_optimize, in order (one borrowed reference each).
enum Param {
    IDS,
    DATE,
    METHOD,
    BNDS,
    CONS,
    COV_SHRINKAGE,
    BENCHMARK,
    RISK_AVERSION,
    WINDOW,
    MAX_ITERATION,
    TOL,
    QUIET
};

// Where the pipeline reports each stage as it starts: a Python callable progress(stage, info)
// or None. Screening is reported with what it decided before any later check can fail.
struct Progress {
    pybind11::object callback = pybind11::none();
    void operator()(const char *stage, pybind11::dict info = pybind11::dict()) const;
};

struct Prepared {
    pybind11::object start_date;       // trading_date_offset(date, -window)
    pybind11::object benchmark;        // the benchmark's daily returns (tracking error), else the caller's value
    pybind11::object instrument_type;  // "CS" for stocks
    pybind11::object df;               // daily returns of the retained instruments
    pybind11::list columns;            // df's column labels: the retained ids, in weight-vector order
    pybind11::object bounds;           // one (lower, upper) pair per retained id
    pybind11::object c_m;              // covariance, labelled by `columns` on both axes
    pybind11::object constraints;      // the budget record alone, or the caller's records
    pybind11::list init_weight;        // n copies of 1/n
    Screening screening;
};

// The checks of the numeric arguments (risk aversion, tol, window, max_iteration) that open every
// call, before any data is requested.
void check_arguments(const py::Function &f, PyObject *const *a);

// Which steps prepare() runs after screening: every step in the module's order (Module), or the
// data steps only (Data: no bounds, no constraint records), for a caller that states its limits
// itself and asks for the module's bounds and records only when the module's own solve runs;
// Returns: the data steps without the covariance (c_m None), for a caller that estimates it in
// another form.
enum class Steps { Module, Data, Returns };

// Runs the shared steps in the module's order; the first failing check ends the call with its
// exception. `a` holds the portfolio_optimize arguments, defaults filled in.
Prepared prepare(const py::Function &f, PyObject *const *a, const Progress &progress = Progress(),
                 Steps steps = Steps::Module);

// The module's bounds step: n copies of (1e-6, None) for risk parity without bnds, else
// _general_bnds(columns, bnds). Sets p.bounds.
void module_bounds(const py::Function &f, PyObject *const *a, Prepared &p);

// The module's constraint step: the budget record alone, or cons.to_constraint(columns, date).
// Sets p.constraints.
void module_constraints(const py::Function &f, PyObject *const *a, Prepared &p);

// The lower bound every instrument gets in risk parity without bnds (no upper bound).
constexpr double kRiskParityLower = 1e-6;

// The method's function called on the prepared inputs, as portfolio_optimize calls it; its
// weights are returned unchanged. An unknown method raises OptimizationFailed.
pybind11::object dispatch(const py::Function &f, PyObject *const *a, const Prepared &p);

// portfolio_optimize's parameter names and defaults (shared with the package's entry points).
const std::vector<const char *> &portfolio_optimize_params();
pybind11::tuple portfolio_optimize_defaults(pybind11::module_ &m);

// method == OptimizeMethod.<member>, by equality.
bool is_member(const py::Function &f, pybind11::handle method, const char *member);

}  // namespace vela
