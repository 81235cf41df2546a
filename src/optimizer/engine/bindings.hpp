// Each native solver binds its functions into the private module vela_optimizer._engine;
// module.cpp calls these.
#pragma once

#include <pybind11/pybind11.h>

namespace vela::engine {

void bind_risk_parity(pybind11::module_ &m);

}  // namespace vela::engine
