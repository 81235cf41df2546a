#include "py/pyops.hpp"

namespace vela::py {

bool compare(pyb::handle a, pyb::handle b, int op) {
    // PyObject_RichCompare (not ...Bool): no identity shortcut, so NaN compares like the host.
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw pyb::error_already_set();
    const int truth = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (truth < 0) throw pyb::error_already_set();
    return truth != 0;
}

bool is_nan_like(pyb::handle v) { return compare(v, v, Py_NE); }

std::pair<pyb::object, pyb::object> unpack2(pyb::handle value) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyIter_Check(value.ptr())) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw pyb::error_already_set();
    }
    pyb::object iter = pyb::reinterpret_steal<pyb::object>(it);
    pyb::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(it);
        if (!item) {
            if (PyErr_Occurred()) throw pyb::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw pyb::error_already_set();
        }
        items[i] = pyb::reinterpret_steal<pyb::object>(item);
    }
    PyObject *extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw pyb::error_already_set();
    }
    if (PyErr_Occurred()) throw pyb::error_already_set();
    return {std::move(items[0]), std::move(items[1])};
}

// builtins.sum, looked up per call: a cached object would outlive the interpreter that made it,
// and a function-local static's guard would be held across an import.
pyb::object builtin_sum(pyb::handle iterable) { return pyb::module_::import("builtins").attr("sum")(iterable); }

}  // namespace vela::py
