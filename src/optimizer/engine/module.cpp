// vela_optimizer._engine: the native solvers of the package level, beside (not inside) the
// finished vela_optimizer.optimizer.
#include "engine/bindings.hpp"

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Native solvers used by vela_optimizer's solver='native' path (private).";
    vela::engine::bind_risk_parity(m);
}
