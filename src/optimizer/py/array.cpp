#include "py/array.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vela::py {

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8, "float64 is an IEEE double");

namespace {

constexpr char kHostOrder = std::endian::native == std::endian::little ? '<' : '>';

// One text per failure, naming the input. Sets the error only: a constructor that fails must
// give its buffer back before it throws (its destructor will not run).
void set_not_float64(const char *what, const char *got_kind, const char *got) {
    PyErr_Format(PyExc_TypeError, "%s must be an array of float64 values, got %s '%s'", what, got_kind, got);
}

}  // namespace

bool holds_float64(const Py_buffer &view) {
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(double))) return false;
    const char *format = view.format ? view.format : "B";  // no format means unsigned bytes
    if (*format == '@' || *format == '=' || *format == kHostOrder) ++format;
    return std::strcmp(format, "d") == 0;
}

Float64View::Float64View(pyb::handle obj, const char *what) : what_(what) {
    if (!acquire(obj.ptr())) {
        set_not_float64(what, "an object of type", Py_TYPE(obj.ptr())->tp_name);
        throw pyb::error_already_set();
    }
    if (!holds_float64(view_)) {
        set_not_float64(what, "items of format", view_.format ? view_.format : "B");  // before the release
        PyBuffer_Release(&view_);
        throw pyb::error_already_set();
    }
}

Float64View::Float64View(pyb::handle obj, IfFloat64) {
    try {
        if (acquire(obj.ptr()) && holds_float64(view_)) return;
    } catch (const pyb::error_already_set &) {
        PyErr_Clear();  // an exporter that fails is no float64 buffer either
    }
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
}

Float64View Float64View::converted(pyb::handle obj, const char *what) {
    using Converted = pyb::array_t<double, pyb::array::c_style | pyb::array::forcecast>;
    // The converting constructor keeps numpy's own error (ensure() would clear it). The view
    // holds a reference to the converted array.
    return Float64View(Converted(pyb::reinterpret_borrow<pyb::object>(obj)), what);
}

Float64View::~Float64View() {
    if (held_) PyBuffer_Release(&view_);
}

bool Float64View::acquire(PyObject *obj) {
    if (!PyObject_CheckBuffer(obj)) return false;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) throw pyb::error_already_set();
    held_ = true;
    ndim_ = view_.ndim;
    // Axes 0 and 1 only: a view of more dimensions is refused by require_ndim before any read.
    Py_ssize_t step = view_.itemsize;
    for (int axis = std::min(ndim_, 2) - 1; axis >= 0; --axis) {
        extent_[axis] = static_cast<std::size_t>(view_.shape[axis]);
        step_[axis] = view_.strides ? view_.strides[axis] : step;  // no strides: C-contiguous
        step *= view_.shape[axis];
    }
    return true;
}

double Float64View::at(std::size_t i, std::size_t j) const {
    const char *p = static_cast<const char *>(view_.buf) + static_cast<Py_ssize_t>(i) * step_[0] +
                    static_cast<Py_ssize_t>(j) * step_[1];
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool Float64View::contiguous() const {
    if (ndim_ > 2) return false;
    // An axis of extent 1 may have any stride.
    constexpr auto item = static_cast<Py_ssize_t>(sizeof(double));
    const bool inner = ndim_ < 1 || extent_[ndim_ - 1] <= 1 || step_[ndim_ - 1] == item;
    const bool outer = ndim_ < 2 || extent_[0] <= 1 || step_[0] == static_cast<Py_ssize_t>(extent_[1]) * item;
    return inner && outer;
}

const double *Float64View::contiguous_data() const {
    if (!held_ || !contiguous()) return nullptr;
    if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) return nullptr;
    return static_cast<const double *>(view_.buf);
}

const Float64View &Float64View::require_ndim(int ndim) const {
    if (ndim_ != ndim) {
        PyErr_Format(PyExc_ValueError, "%s must be %s of numbers, got an array with %d dimension%s", what_,
                     ndim == 1 ? "a one-dimensional sequence" : "a two-dimensional table", ndim_,
                     ndim_ == 1 ? "" : "s");
        throw pyb::error_already_set();
    }
    return *this;
}

std::vector<double> Float64View::to_vector() const {
    std::vector<double> out(extent_[0]);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = at(i);
    return out;
}

template <Layout L>
Matrix<L> Float64View::to_matrix() const {
    Matrix<L> m{extent_[0], extent_[1], std::vector<double>(extent_[0] * extent_[1])};
    // Rows outer: the source is usually row-major.
    for (std::size_t i = 0; i < m.rows; ++i)
        for (std::size_t j = 0; j < m.cols; ++j)
            m.values[L == Layout::row_major ? i * m.cols + j : j * m.rows + i] = at(i, j);
    return m;
}

template RowMajor Float64View::to_matrix<Layout::row_major>() const;
template ColumnMajor Float64View::to_matrix<Layout::column_major>() const;

}  // namespace vela::py
