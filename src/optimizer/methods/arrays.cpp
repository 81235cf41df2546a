#include "methods/arrays.hpp"

#include <cstring>
#include <utility>

namespace vela::methods {

namespace {

// np.asarray(obj, dtype=np.float64) and a strided view of its buffer.
class FloatArray {
  public:
    FloatArray(const py::Function &f, pyb::handle obj) {
        pyb::object np = f.global("np");
        array_ = np.attr("asarray")(obj, pyb::arg("dtype") = np.attr("float64"));
        if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) throw pyb::error_already_set();
        if (view_.itemsize != sizeof(double) || !view_.format || std::strcmp(view_.format, "d") != 0) {
            PyBuffer_Release(&view_);
            throw pyb::type_error("np.asarray(..., dtype=float64) did not give float64 values");
        }
    }
    ~FloatArray() { PyBuffer_Release(&view_); }
    FloatArray(const FloatArray &) = delete;
    FloatArray &operator=(const FloatArray &) = delete;

    int ndim() const { return view_.ndim; }
    std::size_t extent(int axis) const { return static_cast<std::size_t>(view_.shape[axis]); }
    // Element (i, j) (j ignored for one dimension); strides may be negative or zero.
    double at(std::size_t i, std::size_t j = 0) const {
        const char *p = static_cast<const char *>(view_.buf) + static_cast<Py_ssize_t>(i) * view_.strides[0];
        if (view_.ndim == 2) p += static_cast<Py_ssize_t>(j) * view_.strides[1];
        double v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

  private:
    pyb::object array_;
    Py_buffer view_{};
};

[[noreturn]] void wrong_shape(const char *what, const char *expected, int ndim) {
    PyErr_Format(PyExc_ValueError, "%s must be %s of numbers, got an array with %d dimension%s", what, expected, ndim,
                 ndim == 1 ? "" : "s");
    throw pyb::error_already_set();
}

}  // namespace

Matrix read_matrix(const py::Function &f, pyb::handle obj, const char *what) {
    FloatArray a(f, obj);
    if (a.ndim() != 2) wrong_shape(what, "a two-dimensional table", a.ndim());
    Matrix m{a.extent(0), a.extent(1), {}};
    m.values.resize(m.rows * m.cols);
    for (std::size_t i = 0; i < m.rows; ++i)
        for (std::size_t j = 0; j < m.cols; ++j) m.values[i * m.cols + j] = a.at(i, j);
    return m;
}

std::vector<double> read_vector(const py::Function &f, pyb::handle obj, const char *what) {
    FloatArray a(f, obj);
    if (a.ndim() != 1) wrong_shape(what, "a one-dimensional sequence", a.ndim());
    std::vector<double> v(a.extent(0));
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = a.at(i);
    return v;
}

pyb::object read_labels(pyb::handle obj, const char *attr, std::size_t n) {
    pyb::object labels = obj.attr(attr);
    const Py_ssize_t count = PyObject_Length(labels.ptr());
    if (count < 0) throw pyb::error_already_set();
    if (static_cast<std::size_t>(count) != n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd labels for %zu instruments", attr, count, n);
        throw pyb::error_already_set();
    }
    return labels;
}

CovarianceInput read_covariance(const py::Function &f, pyb::handle c_m) {
    Matrix m = read_matrix(f, c_m, "c_m");
    if (m.rows != m.cols) {
        PyErr_Format(PyExc_ValueError, "c_m must be a square matrix, got %zu rows and %zu columns", m.rows, m.cols);
        throw pyb::error_already_set();
    }
    pyb::object labels = read_labels(c_m, "index", m.rows);
    return {core::Covariance(std::move(m.values), m.rows), std::move(labels)};
}

}  // namespace vela::methods
