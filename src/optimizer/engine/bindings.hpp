// The package's private native module, vela_optimizer._engine: the shared pipeline with a
// progress callback and a pluggable solve, the records' linear form, and the native solvers.
#pragma once

#include <pybind11/pybind11.h>

namespace vela::engine {

// Creates vela_optimizer._engine over the namespace of `optimizer` (whose globals its functions
// read at call time) and registers it in sys.modules; `optimizer`'s own namespace is untouched.
void create_engine_module(pybind11::module_ &optimizer);

// Adds risk_parity_barrier (core/risk_parity) to the engine module.
void bind_risk_parity(pybind11::module_ &m);

// Adds shrinkage_factors (core/shrinkage's factored estimate) to the engine module.
void bind_shrinkage(pybind11::module_ &m);

// Adds recover_multipliers (core/multipliers) to the engine module.
void bind_multipliers(pybind11::module_ &m);

// Adds small_covariance, small_tracking and small_certify (core/small_qp) to the engine module.
void bind_small_qp(pybind11::module_ &m);

}  // namespace vela::engine
