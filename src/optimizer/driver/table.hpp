// The client's tables and series read once into owned double buffers (NaN for missing),
// through numpy's conversion and py::Float64View.
#pragma once

#include "py/array.hpp"
#include "py/function.hpp"

#include <cstddef>
#include <vector>

namespace vela {

// A table by columns: column j occupies [j * rows, (j + 1) * rows) of values.
using Columns = py::ColumnMajor;

// The values of a DataFrame (or 2-D array-like) as float64, missing values as NaN.
Columns read_columns(pybind11::handle table);

// series.to_numpy(dtype="float64"), which must be one-dimensional; `what` names it in errors.
std::vector<double> read_series(pybind11::handle series, const char *what);

// A new (rows x cols) float64 ndarray holding column-major `values`.
pybind11::object to_ndarray(const double *values, std::size_t rows, std::size_t cols);

}  // namespace vela
