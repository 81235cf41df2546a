// The five published optimisation methods; bodies of the module's function type.
#pragma once

#include "py/function.hpp"

namespace vela::methods {

namespace pyb = pybind11;

pyb::object risk_parity_optimize(py::Function &self, PyObject *const *args);
pyb::object risk_parity_with_cons_optimize(py::Function &self, PyObject *const *args);
pyb::object min_variance_optimize(py::Function &self, PyObject *const *args);
pyb::object mean_variance_optimize(py::Function &self, PyObject *const *args);
pyb::object min_tracking_error_optimize(py::Function &self, PyObject *const *args);

}  // namespace vela::methods
