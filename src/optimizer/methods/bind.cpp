// Publishes the five methods in their import order. Every parameter is required.
#include "bindings.hpp"
#include "methods/methods.hpp"

namespace vela {

void bind_methods(pybind11::module_ &m) {
    using namespace methods;
    py::publish(m,
                {"risk_parity_optimize", "", {"c_m", "init_weight", "bounds", "max_iteration"}, risk_parity_optimize});
    py::publish(m, {"risk_parity_with_cons_optimize",
                    "",
                    {"c_m", "init_weight", "bounds", "cons", "max_iteration", "tol"},
                    risk_parity_with_cons_optimize});
    py::publish(m, {"min_variance_optimize",
                    "",
                    {"c_m", "init_weight", "bounds", "cons", "max_iteration", "tol"},
                    min_variance_optimize});
    py::publish(m, {"mean_variance_optimize",
                    "",
                    {"c_m", "init_weight", "risk_aversion_coefficient", "expected_return", "bounds", "cons",
                     "max_iteration", "tol"},
                    mean_variance_optimize});
    py::publish(m, {"min_tracking_error_optimize",
                    "",
                    {"init_weight", "benchmark", "df", "bounds", "cons", "max_iteration", "tol"},
                    min_tracking_error_optimize});
}

}  // namespace vela
