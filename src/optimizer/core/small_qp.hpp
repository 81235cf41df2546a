// Small convex QPs made ready for a dense dual active-set solver, and the certificate of its answer.
//
//   min ½ xᵀPx + qᵀx         s.t.  lower ≤ x ≤ upper,  lo ≤ A x ≤ hi           (covariance form)
//   min ½ ‖F x − d‖²          s.t.  the same                                    (least-squares form)
//
// Preparing a problem does, in one pass, what the package's general path does step by step:
//
// 1. Scale. Covariance form: P = c·C/s and q/s with c the curvature (2 for xᵀCx, λ for
//    λ/2·xᵀCx) and s = c·tr(C)/n, the Hessian's mean diagonal. Least-squares form (tracking
//    error over the days where the benchmark b and every column of R are finite, objective
//    ‖b − R x‖² = ½‖√2·(R x − b)‖²): s is the equal-weight error Σ_t (b_t − mean_j R_tj)², or the
//    Hessian's mean diagonal 2·mean_j Σ_t R_tj² where that error is below 1e-6 of it, and
//    F = √(2/s)·R, d = √(2/s)·b. The argmin does not change; the objective is reported unscaled.
// 2. Reduce. Variables with lower = upper are fixed there: their part of A x moves into the
//    rows' sides, their part of the gradient into q (covariance form: q_K += P_KF·x_F) or into d
//    (least squares: d −= F_F·x_F). Rows with no coefficient left, or no finite side, are
//    dropped when they hold (to primal_tol) at the fixed values.
// 3. Hand over: H = P_KK or F_KᵀF_K, f = q_K or −F_Kᵀd, the bounds then the rows side by side,
//    sides beyond 1e30 clipped to it (the solver's infinity), rows with lo = hi marked equalities.
//
// Anything this path does not decide itself is declined (`usable` false) and left to the general
// path, which reports it: inputs of the wrong shape or with non-finite values, limits that
// admit no point, a Hessian whose mean diagonal is not positive, more kept variables than the
// caller allows, fewer factor rows than kept variables (FᵀF singular), every variable fixed.
//
// The certificate (certify_small) puts the solver's answer on the bounds it holds or breaks,
// where it lies within primal_tol of them (a bound it holds comes out a few 1e-16 off), and
// accepts that x with multipliers λ (bounds, then rows; H x + f + λ_b + Aᵀν = 0, λ > 0 where an
// upper side holds, < 0 a lower one) when
//
//   broken   = max(0, max_i (lower_i − z_i), max_i (z_i − upper_i)) ≤ primal_tol,  z = (x, A x)
//   residual = max(stat, comp) / g ≤ 10⁻³·dual_tol, where r = ∇f(x) + Aᵀν computed afresh,
//   stat     = max over free variables of |r_i|, over held bounds of sign(λ_i)·r_i,
//   comp     = max |multiplier × slack| over the held bounds (r_i) and the rows (ν_j),
//   g        = max(‖H x‖∞, ‖q‖∞, |mean diag H|·‖x‖∞, 1e−300),
//
// a NaN anywhere refusing. The solver ends on its active set's KKT point, its residual 1e−16 to
// 1e−15 where it converges; the thousandth of the polish's tolerance keeps a margin.
#pragma once

#include <cstddef>
#include <vector>

namespace vela::core {

// The limits, row-major: lower ≤ x ≤ upper (n each), lo ≤ A x ≤ hi (A m × n).
struct SmallLimits {
    const double *lower, *upper, *A, *lo, *hi;
    std::size_t n, m;
};

// A prepared problem. The full problem's data are kept for the objective, the expansion of the
// answer and the limits' violation at it; the reduced problem is what the solver reads.
struct SmallQp {
    bool usable = false;
    bool least_squares = false;
    double scale = 1.0;                           // the objective was divided by it
    double curvature = 0.0;                       // mean diagonal of the reduced, scaled Hessian
    std::size_t n = 0, m = 0;                     // variables and rows of the full problem
    std::size_t k = 0, rows = 0;                  // kept variables, live rows
    std::size_t t = 0;                            // least squares: complete days
    std::vector<double> lower, upper, A, lo, hi;  // the full limits (copies)
    std::vector<double> P, q;                     // covariance form: scaled P (n × n) and q (n)
    std::vector<double> F, d;                     // least squares: scaled F (t × n) and d (t)
    std::vector<std::size_t> kept;                // positions of the kept variables
    std::vector<double> x_fixed;                  // n: the fixed values, 0 where kept
    std::vector<double> qr, Fr, dr;               // reduced q (k); least squares: F_K (t × k), d (t)
                                                  // when some variable is fixed
    // What the solver reads.
    std::vector<double> H, f;    // k × k (covariance form: when some variable is fixed), k
    std::vector<double> Ar;      // rows × k
    std::vector<double> bu, bl;  // k + rows: upper then lower sides, bounds before rows
    std::vector<int> sense;      // k + rows: 5 for an equality row, 0 otherwise

    // The reduced Hessian (k × k), factor (t × k) and target (t): the full problem's own arrays
    // when nothing is fixed, not copied.
    const double *hessian() const { return !least_squares && k == n ? P.data() : H.data(); }
    const double *factor() const { return k == n ? F.data() : Fr.data(); }
    const double *target() const { return k == n ? d.data() : dr.data(); }
};

// Covariance form: C (n × n, row-major) times `curvature` > 0, linear term `q` (n, nullptr: 0).
SmallQp small_covariance(const double *C, double curvature, const double *q, const SmallLimits &lim,
                         std::size_t max_kept, double primal_tol);

// Least-squares form for the tracking error ‖b − R x‖²: R (days × n, row-major, NaN where missing),
// b (days).
SmallQp small_tracking(const double *R, const double *b, std::size_t days, const SmallLimits &lim, std::size_t max_kept,
                       double primal_tol);

// The certified answer over all n variables, or certified = false.
struct SmallAnswer {
    bool certified = false;
    std::vector<double> x;            // n: the fixed variables at their values
    double broken = 0.0;              // the reduced limits' violation at x
    double residual = 0.0;            // the KKT residual under the solver's multipliers
    double objective = 0.0;           // in the caller's units
    std::vector<std::size_t> zeros;   // |x_i| ≤ 1e-12
    std::vector<bool> zero_at_bound;  // ... and a bound of that variable is 0 (to 1e-12)
};

// x (k) and lam (k + rows) from the solver.
SmallAnswer certify_small(const SmallQp &qp, const double *x, const double *lam, double primal_tol, double dual_tol);

// The largest amount x (all n) breaks a bound or row of the full limits by, 0 if none, given the
// rows' values ax = A x (m) as the caller computes them, so that the figure is the caller's own.
double limits_broken(const SmallQp &qp, const double *x, const double *ax);

}  // namespace vela::core
