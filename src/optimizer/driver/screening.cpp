#include "driver/screening.hpp"

#include "core/screening.hpp"
#include "driver/table.hpp"
#include "py/errors.hpp"
#include "py/pyops.hpp"

#include <cmath>
#include <vector>

namespace vela {

namespace pyb = pybind11;
using namespace pybind11::literals;

namespace {

void warn_each(const py::Function &f, const char *fmt, const pyb::list &ids) {
    for (pyb::handle o : ids) py::warn(f, py::format(fmt, o));
}

// The client answers with exactly one column per requested id, in any order. A foreign, missing
// or repeated column would key weights by an id nobody asked for, drop an instrument without a
// word, or count one instrument twice: each is a ValueError naming the operation. The ids are
// distinct and hashable here (the driver has refused repeated ids). Returns the column labels.
pyb::list check_columns(pyb::handle table, pyb::handle ids, const char *operation) {
    pyb::list labels = table.attr("columns").attr("tolist")();
    pyb::set wanted, seen;
    for (pyb::handle o : ids)
        if (!wanted.add(o)) throw pyb::error_already_set();
    bool ok = labels.size() == wanted.size();
    for (std::size_t j = 0; ok && j < labels.size(); ++j) {
        ok = wanted.contains(labels[j]) && !seen.contains(labels[j]);
        if (!seen.add(labels[j])) throw pyb::error_already_set();
    }
    if (!ok) {
        PyErr_Format(PyExc_ValueError, "%s returned the columns %R for the ids %R", operation, labels.ptr(), ids.ptr());
        throw pyb::error_already_set();
    }
    return labels;
}

// Forward-filled simple returns of the chosen columns, as a labelled table.
pyb::object returns_frame(const py::Function &f, const Columns &prices, const std::vector<std::size_t> &keep,
                          pyb::handle index, pyb::handle columns, Screening &screening) {
    if (pyb::len(index) > 0) screening.last_day = index[pyb::int_(-1)];
    const std::size_t out_rows = prices.rows > 0 ? prices.rows - 1 : 0;
    std::vector<double> out(out_rows * keep.size());
    {
        pyb::gil_scoped_release nogil;
        for (std::size_t k = 0; k < keep.size(); ++k)
            core::filled_returns(prices.column(keep[k]), prices.rows, out.data() + k * out_rows);
    }
    pyb::object rows = index[pyb::slice(1, {}, {})];
    return f.global("pd").attr("DataFrame")(to_ndarray(out.data(), out_rows, keep.size()), "index"_a = rows,
                                            "columns"_a = columns);
}

pyb::object stock_returns(const py::Function &f, pyb::handle ids, pyb::handle start_date, pyb::handle date,
                          double threshold, bool quiet, Screening &screening) {
    pyb::list fields;
    fields.append("close");
    fields.append("volume");
    pyb::object panel =
        f.global("veladatac").attr("get_price")(ids, start_date, date, "frequency"_a = "1d", "fields"_a = fields);
    pyb::object close = panel["close"];
    pyb::object volume = panel["volume"];
    check_columns(close, ids, "veladatac.get_price");
    const pyb::list vol_labels = check_columns(volume, ids, "veladatac.get_price");

    // Suspension: more than `threshold` days with volume exactly 0.
    const Columns vol = read_columns(volume);
    pyb::list &suspended = screening.suspended;
    pyb::list non_suspended;
    for (std::size_t j = 0; j < vol.cols; ++j) {
        const double days = static_cast<double>(core::count_zero(vol.column(j), vol.rows));
        (days > threshold ? suspended : non_suspended).append(vol_labels[j]);
    }
    if (!quiet) warn_each(f, "OPTIMIZER: {} 停牌太多导致数据不足，被剔除", suspended);
    close = close[non_suspended];

    // History: fewer than `threshold` closes present.
    const Columns prices = read_columns(close);
    pyb::object labels = close.attr("columns");
    std::vector<std::size_t> long_enough;
    pyb::list &not_enough = screening.short_history;
    for (std::size_t j = 0; j < prices.cols; ++j) {
        if (static_cast<double>(core::count_present(prices.column(j), prices.rows)) < threshold)
            not_enough.append(labels[pyb::int_(j)]);
        else
            long_enough.push_back(j);
    }
    if (!quiet) warn_each(f, "OPTIMIZER: {} 上市时间过短或已退市，被剔除", not_enough);

    // Delisted: no close on the last day of the window.
    std::vector<std::size_t> keep;
    pyb::list &de_listed = screening.delisted;
    for (std::size_t j : long_enough) {
        if (prices.rows > 0 && std::isnan(prices.column(j)[prices.rows - 1]))
            de_listed.append(labels[pyb::int_(j)]);
        else
            keep.push_back(j);
    }
    if (!quiet) warn_each(f, "OPTIMIZER: {} 已退市，被剔除", de_listed);

    pyb::list positions;
    for (std::size_t j : keep) positions.append(j);
    return returns_frame(f, prices, keep, close.attr("index"), labels.attr("take")(positions), screening);
}

pyb::object fund_returns(const py::Function &f, pyb::handle ids, pyb::handle start_date, pyb::handle date,
                         Screening &screening) {
    pyb::object data =
        f.global("veladatac").attr("fund").attr("get_nav")(ids, start_date, date, "fields"_a = "adjusted_net_value");
    check_columns(data, ids, "veladatac.fund.get_nav");
    const Columns nav = read_columns(data);
    std::vector<std::size_t> all(nav.cols);
    for (std::size_t j = 0; j < nav.cols; ++j) all[j] = j;
    return returns_frame(f, nav, all, data.attr("index"), data.attr("columns"), screening);
}

}  // namespace

pyb::list dropped_with_reasons(const Screening &s) {
    pyb::list dropped;
    const std::pair<const pyb::list *, const char *> screens[] = {
        {&s.suspended, "suspended"}, {&s.short_history, "short_history"}, {&s.delisted, "delisted"}};
    for (const auto &[ids, reason] : screens)
        for (pyb::handle o : *ids) dropped.append(pyb::make_tuple(o, reason));
    return dropped;
}

pyb::object return_table(const py::Function &f, pyb::handle order_book_ids, pyb::handle instrument_type,
                         pyb::handle start_date, pyb::handle date, double threshold, bool quiet, Screening &screening) {
    if (py::compare(instrument_type, pyb::str("CS"), Py_EQ))
        return stock_returns(f, order_book_ids, start_date, date, threshold, quiet, screening);
    return fund_returns(f, order_book_ids, start_date, date, screening);
}

}  // namespace vela
