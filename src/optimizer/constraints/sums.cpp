// Sums of bounds against the budget of 1 (see sums.hpp).
#include "constraints/sums.hpp"

#include "py/pyops.hpp"

#include <cmath>

namespace vela {

namespace pyb = pybind11;

int exact_sign_of_sum(const std::vector<double> &xs, double target) {
    std::vector<double> partials;
    auto add = [&partials](double x) {
        std::size_t kept = 0;
        for (double y : partials) {
            if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
            const double hi = x + y;
            const double lo = y - (hi - x);  // the rounding error of hi, exactly (two-sum, |x| >= |y|)
            if (lo != 0.0) partials[kept++] = lo;
            x = hi;
        }
        partials.resize(kept);
        partials.push_back(x);
    };
    for (double x : xs) add(x);
    add(-target);
    for (auto it = partials.rbegin(); it != partials.rend(); ++it)
        if (*it != 0.0) return *it > 0.0 ? 1 : -1;
    return 0;
}

bool sum_beyond_one(pyb::handle host_sum, const pyb::list &values, int op) {
    if (!py::compare(host_sum, pyb::int_(1), op)) return false;
    std::vector<double> xs;
    xs.reserve(values.size());
    for (pyb::handle v : values) {
        // Exactly float or int (not bool, not a subclass): their value is the double read here. An
        // int is a bound of 0 or 1 here (the range is checked before the sums).
        if (PyFloat_CheckExact(v.ptr())) {
            xs.push_back(PyFloat_AS_DOUBLE(v.ptr()));
        } else if (PyLong_CheckExact(v.ptr())) {
            const double d = PyLong_AsDouble(v.ptr());
            if (d == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
            xs.push_back(d);
        } else {
            return true;
        }
    }
    const int sign = exact_sign_of_sum(xs, 1.0);
    return op == Py_LT ? sign < 0 : sign > 0;
}

}  // namespace vela
