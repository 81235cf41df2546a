// Method inputs read as float64 numbers, the way np.asarray(obj, dtype=np.float64) reads them
// (through the module's `np`, so a DataFrame, Series, list or ndarray all work), then copied
// once into contiguous row-major storage owned by the caller. What np.asarray gives back must
// be an array of float64 values (py::Float64View's rule and errors).
#pragma once

#include "core/objectives.hpp"
#include "py/array.hpp"
#include "py/function.hpp"

#include <cstddef>
#include <vector>

namespace vela::methods {

namespace pyb = pybind11;

// A two-dimensional table of numbers; anything else raises ValueError naming `what`.
py::RowMajor read_matrix(const py::Function &f, pyb::handle obj, const char *what);

// A one-dimensional sequence of numbers; anything else raises ValueError naming `what`.
std::vector<double> read_vector(const py::Function &f, pyb::handle obj, const char *what);

// obj.<attr> as the labels of a result over n instruments; a count other than n raises
// ValueError, since pairing would silently drop weights.
pyb::object read_labels(pyb::handle obj, const char *attr, std::size_t n);

// c_m as an n×n covariance, with its labels c_m.index.
struct CovarianceInput {
    core::Covariance cov;
    pyb::object labels;
};
CovarianceInput read_covariance(const py::Function &f, pyb::handle c_m);

}  // namespace vela::methods
