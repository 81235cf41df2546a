// The shared steps of one optimisation. Checks run in a fixed order and the first failing one
// ends the call. The window's start and, for tracking error, the benchmark's closes are fetched
// before the date, id-count and instrument checks; the instruments' prices only after them.
#include "driver/pipeline.hpp"

#include "constraints/records.hpp"
#include "core/screening.hpp"
#include "driver/date_floor.hpp"
#include "driver/table.hpp"
#include "py/checks.hpp"
#include "py/errors.hpp"
#include "py/pyops.hpp"

#include <pybind11/numpy.h>

#include <cmath>

namespace vela {

namespace pyb = pybind11;
using namespace pybind11::literals;
using py::Function;

void Progress::operator()(const char *stage, pyb::dict info) const {
    if (!callback.is_none()) callback(stage, info);
}

bool is_member(const Function &f, pyb::handle method, const char *member) {
    return py::compare(method, f.global("OptimizeMethod").attr(member), Py_EQ);
}

namespace {

// A finite real number, as a double; nothing for anything else.
bool finite_real(pyb::handle v, double &out) {
    if (!py::is_real(v)) return false;
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

}  // namespace

void check_arguments(const Function &f, PyObject *const *a) {
    // A NaN or infinite coefficient would pass a plain "< 0" test and poison the objective.
    double value;
    if (!finite_real(a[RISK_AVERSION], value) || !(value >= 0))
        py::invalid_argument(f, "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}",
                             pyb::handle(a[RISK_AVERSION]));
    py::check_tol(f, a[TOL], py::Admit::Real);
    // Returns need at least two prices.
    if (!integer_at_least(a[WINDOW], 2))
        py::invalid_argument(f, "OPTIMIZER: window 必须为不小于2的整数，传入值为：{}", pyb::handle(a[WINDOW]));
    py::check_max_iteration(f, a[MAX_ITERATION]);
}

namespace {

// The first id that occurs twice in `ids`, in iteration order, is refused. An id's own error
// (an unhashable id, a raising __hash__ or __eq__) propagates as it is.
void refuse_duplicates(const Function &f, pyb::handle ids) {
    pyb::set seen;
    for (pyb::handle o : ids) {
        if (seen.contains(o)) py::invalid_argument(f, "OPTIMIZER: 合约 {} 重复出现", o);
        if (!seen.add(o)) throw pyb::error_already_set();
    }
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

// (id, reason) for every dropped stock, in the order of the screens.
pyb::dict screening_info(const Prepared &p) {
    pyb::list dropped = dropped_with_reasons(p.screening);
    pyb::dict info;
    info["retained"] = p.columns;
    info["dropped"] = dropped;
    return info;
}

}  // namespace

Prepared prepare(const Function &f, PyObject *const *a, const Progress &progress, Steps steps) {
    pyb::handle order_book_ids = a[IDS], date = a[DATE], method = a[METHOD];
    Prepared p;
    check_arguments(f, a);
    progress("window");
    pyb::object client = f.global("veladatac");
    pyb::object minus_window = pyb::reinterpret_steal<pyb::object>(PyNumber_Negative(a[WINDOW]));
    if (!minus_window) throw pyb::error_already_set();
    p.start_date = client.attr("trading_date_offset")(date, minus_window);

    p.benchmark = pyb::reinterpret_borrow<pyb::object>(a[BENCHMARK]);
    if (is_member(f, method, "MIN_TRACKING_ERROR")) {
        if (p.benchmark.is_none()) py::invalid_argument(f, "使用 MIN_TRACKING_ERROR 方法时，必须传入 benchmark 参数");
        progress("benchmark");
        p.benchmark = benchmark_returns(f, p.benchmark, p.start_date, date);
    }
    if (before_min_date(f, date)) py::invalid_argument(f, "日期不能早于2005-07-01（之前没有足够的数据）");
    if (pyb::len(order_book_ids) < 2) py::invalid_argument(f, "合约数目太少");
    refuse_duplicates(f, order_book_ids);

    progress("instruments");
    p.instrument_type = f.global("_ensure_same_type_instruments")(order_book_ids);
    const double threshold = 0.5 * pyb::cast<double>(pyb::float_(pyb::reinterpret_borrow<pyb::object>(a[WINDOW])));
    const int quiet = PyObject_IsTrue(a[QUIET]);
    if (quiet < 0) throw pyb::error_already_set();
    progress("prices");
    p.df = return_table(f, order_book_ids, p.instrument_type, p.start_date, date, threshold, quiet != 0, p.screening);
    p.columns = p.df.attr("columns").attr("tolist")();
    progress("screening", screening_info(p));

    const std::size_t n = p.columns.size();
    if (n < 2) py::invalid_argument(f, "OPTIMIZER: 经过剔除后，合约数目不足2个");

    if (steps == Steps::Module) {
        progress("bounds");
        module_bounds(f, a, p);
    }

    if (steps != Steps::Returns) {
        progress("covariance");
        const int shrink = PyObject_IsTrue(a[COV_SHRINKAGE]);
        if (shrink < 0) throw pyb::error_already_set();
        p.c_m = shrink ? pyb::object(f.global("_cov_shrinkage")(p.df)[pyb::int_(0)]) : p.df.attr("cov")();
    } else {
        p.c_m = pyb::none();
    }

    if (steps == Steps::Module) {
        progress("constraints");
        module_constraints(f, a, p);
    }

    for (std::size_t i = 0; i < n; ++i) p.init_weight.append(1.0 / static_cast<double>(n));
    return p;
}

void module_bounds(const Function &f, PyObject *const *a, Prepared &p) {
    if (is_member(f, a[METHOD], "RISK_PARITY") && pyb::handle(a[BNDS]).is_none()) {
        pyb::list bounds;
        pyb::tuple pair = pyb::make_tuple(kRiskParityLower, pyb::none());
        for (std::size_t i = 0, n = p.columns.size(); i < n; ++i) bounds.append(pair);
        p.bounds = bounds;
    } else {
        p.bounds = f.global("_general_bnds")(p.columns, pyb::handle(a[BNDS]));
    }
}

void module_constraints(const Function &f, PyObject *const *a, Prepared &p) {
    pyb::handle cons = a[CONS];
    p.constraints = cons.is_none() ? pyb::object(budget_record(f))
                                   : pyb::object(cons.attr("to_constraint")(p.columns, pyb::handle(a[DATE])));
}

}  // namespace vela
