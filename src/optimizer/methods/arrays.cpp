#include "methods/arrays.hpp"

#include <utility>

namespace vela::methods {

namespace {

// np.asarray(obj, dtype=np.float64), through the module's `np`, viewed.
py::Float64View asarray(const py::Function &f, pyb::handle obj, const char *what) {
    pyb::object np = f.global("np");
    return py::Float64View(np.attr("asarray")(obj, pyb::arg("dtype") = np.attr("float64")), what);
}

}  // namespace

py::RowMajor read_matrix(const py::Function &f, pyb::handle obj, const char *what) {
    return asarray(f, obj, what).require_ndim(2).to_matrix<py::Layout::row_major>();
}

std::vector<double> read_vector(const py::Function &f, pyb::handle obj, const char *what) {
    return asarray(f, obj, what).require_ndim(1).to_vector();
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
    py::RowMajor m = read_matrix(f, c_m, "c_m");
    if (m.rows != m.cols) {
        PyErr_Format(PyExc_ValueError, "c_m must be a square matrix, got %zu rows and %zu columns", m.rows, m.cols);
        throw pyb::error_already_set();
    }
    pyb::object labels = read_labels(c_m, "index", m.rows);
    return {core::Covariance(std::move(m.values), m.rows), std::move(labels)};
}

}  // namespace vela::methods
