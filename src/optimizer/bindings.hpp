// Each subsystem binds its published names; module.cpp calls these in the import order.
#pragma once

#include <pybind11/pybind11.h>

namespace vela {

void bind_to_constraint(pybind11::module_ &m);
void bind_constraint_classes(pybind11::module_ &m);
void bind_general_bnds(pybind11::module_ &m);
void bind_cov_shrinkage(pybind11::module_ &m);
void bind_ensure_same_type_instruments(pybind11::module_ &m);
void bind_portfolio_optimize(pybind11::module_ &m);
void bind_methods(pybind11::module_ &m);

}  // namespace vela
