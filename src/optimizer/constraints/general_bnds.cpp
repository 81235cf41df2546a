// _general_bnds(order_book_ids, bounds): the caller's per-instrument bounds turned into one
// (lower, upper) pair per retained instrument, in the retained order.
#include "bindings.hpp"
#include "constraints/sums.hpp"
#include "py/errors.hpp"
#include "py/pyops.hpp"

namespace vela {

namespace {

namespace pyb = pybind11;
using py::compare;
using py::Function;
using py::invalid_argument;

// Entry checks in their fixed order: inversion, then the lower bound's range, then the upper
// bound's. A NaN side passes every comparison, so it is refused with its range message.
void check_pair(const Function &f, pyb::handle k, pyb::handle lower, pyb::handle upper) {
    if (compare(lower, upper, Py_GT)) invalid_argument(f, "OPTIMIZER: 合约 {} 的下限 {} 高于上限 {}", k, lower, upper);
    if (compare(lower, pyb::int_(1), Py_GT) || compare(lower, pyb::int_(0), Py_LT) || py::is_nan_like(lower))
        invalid_argument(f, "OPTIMIZER: 合约 {} 的下限 {} 无效", k, lower);
    if (compare(upper, pyb::int_(0), Py_LT) || compare(upper, pyb::int_(1), Py_GT) || py::is_nan_like(upper))
        invalid_argument(f, "OPTIMIZER: 合约 {} 的上限 {} 无效", k, upper);
}

pyb::object general_bnds(Function &f, PyObject *const *args) {
    pyb::handle order_book_ids = args[0], bounds = args[1];
    if (bounds.is_none()) {
        const Py_ssize_t n = PyObject_Length(order_book_ids.ptr());
        if (n < 0) throw pyb::error_already_set();
        pyb::tuple unit = pyb::make_tuple(0, 1);
        pyb::list out(n);
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(out.ptr(), i, unit.inc_ref().ptr());
        return out;
    }
    const pyb::str wildcard("*");
    pyb::dict result;  // retained id -> pair, in insertion order (the order the sums run in)
    pyb::object general_lower = pyb::int_(0), general_upper = pyb::int_(1);
    for (pyb::handle entry : bounds.attr("items")()) {
        auto [k, value] = py::unpack2(entry);
        auto [lower, upper] = py::unpack2(value);
        const bool is_wildcard = compare(k, wildcard, Py_EQ);
        if (!is_wildcard) {
            const int present = PySequence_Contains(order_book_ids.ptr(), k.ptr());
            if (present < 0) throw pyb::error_already_set();
            if (!present) {
                py::warn(f, py::format("OPTIMIZER: 约束 {} 不在经剔除后的合约列表中，被忽略", k));
                continue;
            }
        }
        check_pair(f, k, lower, upper);
        if (is_wildcard) {
            general_lower = lower;
            general_upper = upper;
        } else {
            result[k] = pyb::make_tuple(lower, upper);
        }
    }
    for (pyb::handle o : order_book_ids)
        if (!result.contains(o)) result[o] = pyb::make_tuple(general_lower, general_upper);

    pyb::list lowers, uppers;
    for (auto item : result) {
        pyb::tuple pair = pyb::reinterpret_borrow<pyb::tuple>(item.second);
        lowers.append(pair[0]);
        uppers.append(pair[1]);
    }
    if (sum_beyond_one(py::builtin_sum(lowers), lowers, Py_GT)) invalid_argument(f, "OPTIMIZER: bnds 下限之和大于1");
    if (sum_beyond_one(py::builtin_sum(uppers), uppers, Py_LT))
        invalid_argument(f, "OPTIMIZER: 经过剔除后，bnds 上限之和小于1");

    pyb::list out;
    for (pyb::handle o : order_book_ids) out.append(result[o]);
    return out;
}

}  // namespace

void bind_general_bnds(pyb::module_ &m) {
    py::publish(m, {"_general_bnds", "", {"order_book_ids", "bounds"}, general_bnds});
}

}  // namespace vela
