// portfolio_optimize: one optimisation from arguments to weights. Checks run in a fixed order,
// the first failing one ends the call; data are fetched only after the argument checks.
#include "bindings.hpp"
#include "constraints/records.hpp"
#include "core/screening.hpp"
#include "driver/date_floor.hpp"
#include "driver/screening.hpp"
#include "driver/table.hpp"
#include "py/errors.hpp"
#include "py/pyops.hpp"

#include <pybind11/numpy.h>

#include <cmath>

namespace vela {

namespace pyb = pybind11;
using namespace pybind11::literals;
using py::Function;

namespace {

enum Param { IDS, DATE, METHOD, BNDS, CONS, COV_SHRINKAGE, BENCHMARK, RISK_AVERSION, WINDOW, MAX_ITERATION, TOL, QUIET };

// Looked up per call rather than cached in a function-local static: the static's guard would be
// held across an import that may let other threads run, and its object would outlive the
// interpreter that made it.
bool is_real(pyb::handle v) {
    pyb::object real = pyb::module_::import("numbers").attr("Real");
    const int r = PyObject_IsInstance(v.ptr(), real.ptr());
    if (r < 0) throw pyb::error_already_set();
    return r == 1;
}

// A finite real number, as a double; nothing for anything else.
bool finite_real(pyb::handle v, double &out) {
    if (!is_real(v)) return false;
    out = PyFloat_AsDouble(v.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return std::isfinite(out);
}

// An integer (int or numpy integer, not bool) of at least `least`.
bool integer_at_least(pyb::handle v, long least) {
    if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) return false;
    return py::compare(v, pyb::int_(least), Py_GE);
}

void check_arguments(const Function &f, PyObject *const *a) {
    // A NaN or infinite coefficient would pass a plain "< 0" test and poison the objective.
    double value;
    if (!finite_real(a[RISK_AVERSION], value) || !(value >= 0))
        py::invalid_argument(f, "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}", pyb::handle(a[RISK_AVERSION]));
    // The tolerance relaxation multiplies tol by 10 until it reaches 1e-5: it must be positive.
    if (!finite_real(a[TOL], value) || !(value > 0))
        py::invalid_argument(f, "OPTIMIZER: tol 必须为正数，传入值为：{}", pyb::handle(a[TOL]));
    // Returns need at least two prices.
    if (!integer_at_least(a[WINDOW], 2))
        py::invalid_argument(f, "OPTIMIZER: window 必须为不小于2的整数，传入值为：{}", pyb::handle(a[WINDOW]));
    // With a limit below 1 every solve would count as having reached it.
    if (!integer_at_least(a[MAX_ITERATION], 1))
        py::invalid_argument(f, "OPTIMIZER: max_iteration 必须为正整数，传入值为：{}", pyb::handle(a[MAX_ITERATION]));
}

// The first id that occurs twice in `ids`, in iteration order, is refused. An id's own error
// (an unhashable id, a raising __hash__ or __eq__) propagates as it is.
void refuse_duplicates(const Function &f, pyb::handle ids) {
    pyb::set seen;
    for (pyb::handle o : ids) {
        if (seen.contains(o)) py::invalid_argument(f, "OPTIMIZER: 合约 {} 重复出现", o);
        if (!seen.add(o)) throw pyb::error_already_set();
    }
}

bool is_member(const Function &f, pyb::handle method, const char *member) {
    return py::compare(method, f.global("OptimizeMethod").attr(member), Py_EQ);
}

// The benchmark's daily simple returns over the window (forward-filled closes, first day dropped),
// as a date-indexed series.
pyb::object benchmark_returns(const Function &f, pyb::handle benchmark, pyb::handle start_date, pyb::handle date) {
    pyb::object closes = f.global("veladatac").attr("get_price")(benchmark, start_date, date, "fields"_a = "close");
    const std::vector<double> values = read_series(closes, "the benchmark's closes");
    const std::size_t rows = values.size();
    pyb::array_t<double> out(rows > 0 ? rows - 1 : 0);
    core::filled_returns(values.data(), rows, out.mutable_data());
    return f.global("pd").attr("Series")(out, "index"_a = closes.attr("index")[pyb::slice(1, {}, {})],
                                         "name"_a = closes.attr("name"));
}

pyb::object portfolio_optimize(Function &f, PyObject *const *a) {
    pyb::handle order_book_ids = a[IDS], date = a[DATE], method = a[METHOD], bnds = a[BNDS], cons = a[CONS];
    check_arguments(f, a);
    pyb::object client = f.global("veladatac");
    pyb::object minus_window = pyb::reinterpret_steal<pyb::object>(PyNumber_Negative(a[WINDOW]));
    if (!minus_window) throw pyb::error_already_set();
    pyb::object start_date = client.attr("trading_date_offset")(date, minus_window);

    pyb::object benchmark = pyb::reinterpret_borrow<pyb::object>(a[BENCHMARK]);
    if (is_member(f, method, "MIN_TRACKING_ERROR")) {
        if (benchmark.is_none()) py::invalid_argument(f, "使用 MIN_TRACKING_ERROR 方法时，必须传入 benchmark 参数");
        benchmark = benchmark_returns(f, benchmark, start_date, date);
    }
    if (before_min_date(f, date)) py::invalid_argument(f, "日期不能早于2005-07-01（之前没有足够的数据）");
    if (pyb::len(order_book_ids) < 2) py::invalid_argument(f, "合约数目太少");
    refuse_duplicates(f, order_book_ids);

    pyb::object instrument_type = f.global("_ensure_same_type_instruments")(order_book_ids);
    const double threshold = 0.5 * pyb::cast<double>(pyb::float_(pyb::reinterpret_borrow<pyb::object>(a[WINDOW])));
    const int quiet = PyObject_IsTrue(a[QUIET]);
    if (quiet < 0) throw pyb::error_already_set();
    pyb::object df = return_table(f, order_book_ids, instrument_type, start_date, date, threshold, quiet != 0);

    pyb::list columns = df.attr("columns").attr("tolist")();
    const std::size_t n = columns.size();
    if (n < 2) py::invalid_argument(f, "OPTIMIZER: 经过剔除后，合约数目不足2个");

    pyb::list bounds;
    if (is_member(f, method, "RISK_PARITY") && bnds.is_none()) {
        pyb::tuple pair = pyb::make_tuple(1e-6, pyb::none());
        for (std::size_t i = 0; i < n; ++i) bounds.append(pair);
    } else {
        bounds = f.global("_general_bnds")(columns, bnds);
    }

    const int shrink = PyObject_IsTrue(a[COV_SHRINKAGE]);
    if (shrink < 0) throw pyb::error_already_set();
    pyb::object c_m = shrink ? pyb::object(f.global("_cov_shrinkage")(df)[pyb::int_(0)]) : df.attr("cov")();

    pyb::object constraints = cons.is_none() ? pyb::object(budget_record(f))
                                             : pyb::object(cons.attr("to_constraint")(columns, date));

    pyb::list init_weight;
    for (std::size_t i = 0; i < n; ++i) init_weight.append(1.0 / static_cast<double>(n));

    pyb::handle max_iteration = a[MAX_ITERATION], tol = a[TOL];
    if (is_member(f, method, "RISK_PARITY")) {
        if (cons.is_none() && bnds.is_none())
            return f.global("risk_parity_optimize")(c_m, init_weight, bounds, max_iteration);
        return f.global("risk_parity_with_cons_optimize")(c_m, init_weight, bounds, constraints, max_iteration, tol);
    }
    if (is_member(f, method, "MIN_VARIANCE"))
        return f.global("min_variance_optimize")(c_m, init_weight, bounds, constraints, max_iteration, tol);
    if (is_member(f, method, "MEAN_VARIANCE")) {
        pyb::object expected_return = df.attr("mean")();
        return f.global("mean_variance_optimize")(c_m, init_weight, pyb::handle(a[RISK_AVERSION]), expected_return, bounds,
                                                  constraints, max_iteration, tol);
    }
    if (is_member(f, method, "MIN_TRACKING_ERROR"))
        return f.global("min_tracking_error_optimize")(init_weight, benchmark, df, bounds, constraints, max_iteration,
                                                       tol);
    py::optimization_failed(f, "OPTIMIZE: unknown method {}", method);
}

}  // namespace

void bind_portfolio_optimize(pyb::module_ &m) {
    pyb::object risk_parity = m.attr("OptimizeMethod").attr("RISK_PARITY");
    pyb::tuple defaults = pyb::make_tuple(risk_parity, pyb::none(), pyb::none(), true, pyb::none(), 1, 132, 1000,
                                          1e-08, false);
    py::publish(m, {"portfolio_optimize",
                    "",
                    {"order_book_ids", "date", "method", "bnds", "cons", "cov_shrinkage", "benchmark",
                     "risk_aversion_coefficient", "window", "max_iteration", "tol", "quiet"},
                    portfolio_optimize,
                    defaults});
}

}  // namespace vela
