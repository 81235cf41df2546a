// Row multipliers of a QP's active rows recovered under their sign conditions, from the gradient
// at a point and the bounds it holds.
//
// With ∇f = g at x, active rows A_W (m × n) with sign conditions (ν_j ≥ 0 at a cap, ≤ 0 at a
// floor, free for an equality) and each variable free, at a lower or an upper bound, or fixed,
// the multipliers minimise the stationarity residual
//
//   h(ν) = ½ Σ_i φ_i(r_i),   r = g + A_Wᵀν,
//   φ_i(r) = r² (free), min(r, 0)² (at a lower bound), max(r, 0)² (at an upper bound), 0 (fixed)
//
// (each bound takes the multiplier that closes its own component when its sign allows). h is
// convex and piecewise quadratic in m unknowns (a few: the budget, group limits, caps on trades).
// At a vertex of the limits the free variables leave ν undetermined, and an active-set method
// needs these multipliers to tell which bound or row to release; a round of it over a few hundred
// instruments is otherwise dominated by this search.
//
// The search: Newton steps on the current piece (a sign-constrained least-squares problem over
// the components whose φ is quadratic there, solved by Lawson and Hanson's non-negative least
// squares with a free ν_j split into two non-negative parts) with an exact line search over the
// piece's kinks, from the least-squares answer over the free variables (the minimum-norm one
// where no sign is constrained); it stops once every component is within 1e-15·scale, when a
// step no longer lowers h, or after 50 steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vela::core {

// How a variable enters h: free, held at its lower or its upper bound, or fixed (no condition).
enum class BoundState : std::uint8_t { kFree = 0, kLower = 1, kUpper = 2, kFixed = 3 };

// ν (m) minimising h. g: n; A: m × n row-major; signs: m (> 0: ν_j ≥ 0, < 0: ν_j ≤ 0, 0: free);
// state: n; scale: the gradient's size, for the stopping test.
std::vector<double> recover_row_multipliers(const double *g, const double *A, const double *signs,
                                            const BoundState *state, std::size_t n, std::size_t m, double scale);

// min ‖M z − b‖ over z ≥ 0 (M p × k, column-major: column j at M + j·p), Lawson and Hanson.
std::vector<double> nonnegative_least_squares(const std::vector<double> &M, const std::vector<double> &b, std::size_t p,
                                              std::size_t k);

// The minimum-norm least-squares answer of M z ≈ b (M p × k column-major), singular values
// below eps·max(p, k)·σ_max dropped.
std::vector<double> min_norm_least_squares(const std::vector<double> &M, const std::vector<double> &b, std::size_t p,
                                           std::size_t k);

}  // namespace vela::core
