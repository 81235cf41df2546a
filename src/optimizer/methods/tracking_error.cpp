// min_tracking_error_optimize: Σ_t (b_t − Σ_i R_ti·x_i)² over the complete days (SLSQP,
// finite-difference gradient).
//
// A day counts when the benchmark and every instrument have a return: one instrument listed
// inside the window would otherwise make every objective value NaN. The benchmark is matched
// to the table's rows by position, not by date. Like the variance objectives, the value handed
// to the minimizer is divided by a scale fixed once per call, here the mean over the columns
// of Σ_t R_ti², because SLSQP's "ftol" is an absolute test.
#include "core/objectives.hpp"
#include "methods/arrays.hpp"
#include "methods/closures.hpp"
#include "methods/methods.hpp"
#include "methods/solver.hpp"
#include "py/errors.hpp"

#include <memory>
#include <optional>
#include <utility>

namespace vela::methods {

namespace {

// The tracking-error problem, or, for a benchmark whose length differs from the table's row
// count, the shape error that the first evaluation raises (as the array arithmetic would).
struct BenchmarkedTable {
    std::size_t n = 0;
    std::size_t benchmark_days = 0, table_days = 0;
    std::optional<core::TrackingError> problem;

    std::size_t size() const { return n; }
    double value(const double *x) const {
        if (!problem) {
            PyErr_Format(PyExc_ValueError, "operands could not be broadcast together with shapes (%zu,) (%zu,)",
                         benchmark_days, table_days);
            throw pyb::error_already_set();
        }
        return problem->value(x);
    }
};

}  // namespace

pyb::object min_tracking_error_optimize(py::Function &self, PyObject *const *args) {
    pyb::handle init_weight = args[0], benchmark = args[1], df = args[2], bounds = args[3], cons = args[4],
                max_iteration = args[5], tol = args[6];
    check_max_iteration(self, max_iteration);
    check_tol(self, tol);
    const py::RowMajor table = read_matrix(self, df, "df");
    pyb::object labels = read_labels(df, "columns", table.cols);
    const std::vector<double> b = read_vector(self, benchmark, "benchmark");

    auto data = std::make_shared<BenchmarkedTable>();
    data->n = table.cols;
    data->benchmark_days = b.size();
    data->table_days = table.rows;
    double scale = 1.0;
    if (b.size() == table.rows) {
        data->problem.emplace(table.values.data(), b.data(), table.rows, table.cols);
        if (data->problem->complete_days() < 2)
            py::invalid_argument(self, "OPTIMIZER: 基准与合约的共同有效交易日不足2天");
        scale = core::usable_scale(data->problem->mean_column_square_sum());
    }
    const Objective objective = make_objective(self, data, scale, "min_TE_obj_fun");
    pyb::object x = solve_slsqp(self, objective, init_weight, bounds, cons, max_iteration, tol);
    return weights_by_label(self, labels, x, false);
}

}  // namespace vela::methods
