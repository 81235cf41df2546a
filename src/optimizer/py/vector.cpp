#include "py/vector.hpp"

#include <pybind11/numpy.h>

namespace vela::py {

VectorView::VectorView(PyObject *x) : view_(x, Float64View::IfFloat64{}) {
    if (view_.valid() && view_.ndim() == 1) {
        size_ = view_.extent(0);
        data_ = view_.contiguous_data();
        if (data_) return;
        copy_ = view_.to_vector();
    } else {
        copy_ = to_doubles(x);
    }
    data_ = copy_.data();
    size_ = copy_.size();
}

std::size_t checked_index(Py_ssize_t i, std::size_t n) {
    const Py_ssize_t size = static_cast<Py_ssize_t>(n);
    const Py_ssize_t j = i < 0 ? i + size : i;
    if (j < 0 || j >= size) {
        PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", i, size);
        throw pyb::error_already_set();
    }
    return static_cast<std::size_t>(j);
}

pyb::object new_vector(std::size_t n, double *&data) {
    pyb::array_t<double> arr(static_cast<pyb::ssize_t>(n));  // through numpy's C API, no Python call
    data = arr.mutable_data();
    return arr;
}

std::vector<double> to_doubles(pyb::handle values) {
    PyObject *seq = PySequence_Fast(values.ptr(), "expected a one-dimensional sequence of numbers");
    if (!seq) throw pyb::error_already_set();
    pyb::object owner = pyb::reinterpret_steal<pyb::object>(seq);
    // PySequence_Fast hands a list back as itself, and an element's __float__ may change that
    // list: a tuple snapshot owns every element for as long as they are read.
    if (PyList_Check(seq)) {
        owner = pyb::reinterpret_steal<pyb::object>(PyList_AsTuple(seq));
        if (!owner) throw pyb::error_already_set();
        seq = owner.ptr();
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    std::vector<double> out(static_cast<std::size_t>(n));
    PyObject **items = PySequence_Fast_ITEMS(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double v = PyFloat_AsDouble(items[i]);
        if (v == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
        out[static_cast<std::size_t>(i)] = v;
    }
    return out;
}

}  // namespace vela::py
