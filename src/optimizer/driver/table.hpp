// Labelled tables read once into column-major double buffers (NaN for missing).
#pragma once

#include "py/function.hpp"

#include <pybind11/numpy.h>

#include <cstddef>
#include <vector>

namespace vela {

struct Columns {
    std::size_t rows = 0, cols = 0;
    std::vector<double> values;  // column j occupies [j * rows, (j + 1) * rows)
    const double *column(std::size_t j) const { return values.data() + j * rows; }
};

using Float64Array = pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

// `values` as a C-contiguous float64 array; a value numpy cannot convert raises numpy's error.
Float64Array as_float_array(pybind11::handle values);

// The values of a DataFrame (or 2-D array-like) as float64, missing values as NaN.
Columns read_columns(pybind11::handle table);

// A new (rows x cols) float64 ndarray holding column-major `values`.
pybind11::object to_ndarray(const double *values, std::size_t rows, std::size_t cols);

}  // namespace vela
