#include "driver/table.hpp"

#include <pybind11/numpy.h>

#include <algorithm>

namespace vela {

namespace pyb = pybind11;

Columns read_columns(pyb::handle table) {
    pyb::object raw = pyb::hasattr(table, "to_numpy")
                          ? table.attr("to_numpy")(pyb::arg("dtype") = "float64")
                          : pyb::module_::import("numpy").attr("asarray")(table, pyb::arg("dtype") = "float64");
    const auto values = py::Float64View::converted(raw, "the client's table");
    values.require_ndim(2);
    pyb::gil_scoped_release nogil;  // the view keeps the converted array exported until it goes
    return values.to_matrix<py::Layout::column_major>();
}

std::vector<double> read_series(pyb::handle series, const char *what) {
    const auto values = py::Float64View::converted(series.attr("to_numpy")(pyb::arg("dtype") = "float64"), what);
    return values.require_ndim(1).to_vector();
}

pyb::object to_ndarray(const double *values, std::size_t rows, std::size_t cols) {
    pyb::array_t<double, pyb::array::f_style> arr({rows, cols});
    std::copy(values, values + rows * cols, arr.mutable_data());
    return arr;
}

}  // namespace vela
