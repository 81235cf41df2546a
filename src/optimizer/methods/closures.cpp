#include "methods/closures.hpp"

namespace vela::methods {

void check_length(const py::VectorView &x, std::size_t n) {
    if (x.size() == n) return;
    PyErr_Format(PyExc_ValueError, "x has %zu elements but the problem has %zu instruments", x.size(), n);
    throw pyb::error_already_set();
}

}  // namespace vela::methods
