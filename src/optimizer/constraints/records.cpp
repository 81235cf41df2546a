#include "constraints/records.hpp"

#include "py/vector.hpp"

namespace vela {

namespace pyb = pybind11;

namespace {

// sum(x) - 1, summed left to right like the host's sum().
pyb::object budget_fun(py::Function &, PyObject *const *args) {
    py::VectorView x(args[0]);
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += x[i];
    return pyb::float_(s - 1.0);
}

}  // namespace

pyb::dict budget_record(const py::Function &parent) {
    pyb::dict record;
    record["type"] = "eq";
    record["fun"] = py::make_closure(parent, "budget_fun", {"x"}, budget_fun, nullptr);
    return record;
}

}  // namespace vela
