// Equal risk contributions without limits: the minimiser of the log-barrier objective
//
//     f(x) = xᵀ·C·x − c·Σ_i ln x_i,   x > 0,
//
// whose stationary point 2·(C·x)_i = c / x_i makes every risk contribution x_i·(C·x)_i equal
// to c / 2. Scaled to sum 1 it is the portfolio whose risk contributions w_i·(C·w)_i are all
// equal (unique among long-only portfolios when C is positive definite).
//
// The work is done on the correlation scale. With d_i = 1 / sqrt(C_ii), R = D·C·D (unit
// diagonal) and x = sqrt(c / 2)·D·y,
//
//     x_i·(C·x)_i = (c / 2)·y_i·(R·y)_i,
//
// so the problem becomes y_i·(R·y)_i = 1 for all i: the stationary condition of the convex
//
//     F(y) = ½·yᵀ·R·y − Σ_i ln y_i.
//
// Variances of very different sizes (a money-market fund at 1e-12 beside stocks at 1e-4) then
// cost no accuracy: y is of order one and the size of x_i comes only from d_i.
#pragma once

#include <cstddef>
#include <vector>

namespace vela::core {

enum class RiskParityMethod {
    // Cyclical coordinate descent: O(n²) per sweep, linear convergence. Each coordinate solves
    // its own one-dimensional problem exactly.
    coordinate_descent,
    // Damped Newton on F: O(n³) per step, quadratic convergence near the answer.
    newton,
    // Coordinate descent, switching to Newton when the sweeps stop contracting.
    automatic,
};

struct RiskParityResult {
    std::vector<double> x;  // the minimiser of f on the original scale (not normalised)
    int iterations = 0;     // sweeps plus Newton steps
    bool converged = false;
    double residual = 0.0;  // max_i |y_i·(R·y)_i − 1| at x
};

// The problem on the correlation scale, built once from the row-major n×n covariance `c` (its
// symmetric part is used): R = D·C·D and d. Building it is the only read of `c`, so a caller can
// build it while it owns the buffer and solve afterwards. Throws std::invalid_argument for n = 0,
// a non-finite entry or a variance that is not positive.
class CorrelationScaled {
  public:
    CorrelationScaled(const double *c, std::size_t n);

    std::size_t size() const { return n_; }
    const double *data() const { return r_.data(); }
    const double *row(std::size_t i) const { return r_.data() + i * n_; }
    double scale(std::size_t i) const { return scale_[i]; }
    double total() const { return total_; }  // 1ᵀ·R·1

  private:
    std::size_t n_;
    std::vector<double> r_;      // R, symmetric, unit diagonal, row-major
    std::vector<double> scale_;  // d_i = 1 / sqrt(C_ii)
    double total_ = 0.0;
};

// Minimises f(x) = xᵀ·C·x − barrier·Σ ln x_i. Stops when max_i |y_i·(R·y)_i − 1| ≤ tol, or at the
// rounding floor of that product, or after max_iteration sweeps / steps (converged = false).
// Throws std::invalid_argument for a barrier that is not positive, tol < 0 or max_iteration < 1.
RiskParityResult risk_parity_barrier(const CorrelationScaled &p, int max_iteration, double barrier = 15.0,
                                     double tol = 1e-12, RiskParityMethod method = RiskParityMethod::automatic);

// The same from the covariance itself.
RiskParityResult risk_parity_barrier(const double *c, std::size_t n, int max_iteration, double barrier = 15.0,
                                     double tol = 1e-12, RiskParityMethod method = RiskParityMethod::automatic);

}  // namespace vela::core
