#include "py/checks.hpp"

#include "py/errors.hpp"
#include "py/pyops.hpp"

#include <cmath>
#include <limits>

namespace vela::py {

// Looked up per call rather than cached in a function-local static: the static's guard would be
// held across an import that may let other threads run, and its object would outlive the
// interpreter that made it.
bool is_real(pyb::handle v) {
    pyb::object real = pyb::module_::import("numbers").attr("Real");
    const int r = PyObject_IsInstance(v.ptr(), real.ptr());
    if (r < 0) throw pyb::error_already_set();
    return r == 1;
}

namespace {

// The value as a double, NaN when it is not admitted or does not convert. Conversion errors
// of the driver's numbers.Real are all absorbed; for other numbers only the errors that say
// "not convertible" are, anything else propagates.
double as_double(pyb::handle v, Admit admit) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    PyObject *o = v.ptr();
    if (admit == Admit::Real ? !is_real(v) : (PyBool_Check(o) || !PyNumber_Check(o))) return nan;
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        if (admit == Admit::NumberNotBool && !PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
            throw pyb::error_already_set();
        PyErr_Clear();
        return nan;
    }
    return d;
}

}  // namespace

void check_tol(const Function &f, pyb::handle tol, Admit admit) {
    const double d = as_double(tol, admit);
    if (!(std::isfinite(d) && d > 0.0)) invalid_argument(f, "OPTIMIZER: tol 必须为正数，传入值为：{}", tol);
}

void check_max_iteration(const Function &f, pyb::handle max_iteration) {
    PyObject *v = max_iteration.ptr();
    bool ok = !PyBool_Check(v) && PyIndex_Check(v);
    if (ok) {
        pyb::object i = pyb::reinterpret_steal<pyb::object>(PyNumber_Index(v));
        if (!i) throw pyb::error_already_set();
        ok = compare(i, pyb::int_(1), Py_GE);
    }
    if (!ok) invalid_argument(f, "OPTIMIZER: max_iteration 必须为正整数，传入值为：{}", max_iteration);
}

}  // namespace vela::py
