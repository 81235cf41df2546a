// Covariance shrinkage towards the constant-correlation target (Ledoit and Wolf, 2003), over a
// table of returns with NaN for missing entries.
//
//   S      pairwise-complete sample covariance, divisor (rows where both are present) - 1
//   r̄      2·(Σ_{i≤j} R_ij − N) / ((N − 1)·N),  R = D·S·D,  D = diag(s_ii^−½)
//   Φ      φ_ii = σ_i·σ_i,  φ_ij = r̄·σ_i·σ_j,  σ_i = √s_ii
//   γ̂      Σ_ij (φ_ij − s_ij)²                                  (NaN terms skipped)
//   π̂_ij   mean_t (ỹ_ti·ỹ_tj − s_ij)²,  π̂ = Σ_ij π̂_ij             (NaN terms skipped)
//   ϑ̂_ij   mean_t (ỹ_ti² − s_ii)·(ỹ_ti·ỹ_tj − s_ij)
//   ρ̂      Σ_i π̂_ii + r̄/2 · Σ_i Σ_{j≠i} (σ_j/σ_i·ϑ̂_ij + σ_i/σ_j·ϑ̂_ji)
//   δ      clamp((π̂ − ρ̂)/γ̂ / (N + 1)) to [0, 1], 0 for NaN;  result δ·Φ + (1 − δ)·S
//
// ỹ_ti = y_ti − ȳ_i with ȳ_i the mean of column i over its present entries; every "mean_t" is
// over the rows where the averaged term is not NaN.
#pragma once

#include <cstddef>
#include <vector>

namespace vela::core {

// How the intensity was decided. The caller reports the clamped and degenerate cases as the
// integers 0 and 1, the interior case as a float.
enum class ShrinkageKind {
    sample,        // γ̂ = 0: the matrix is S itself, intensity 0
    clamped_zero,  // κ̂/(N + 1) ≤ 0 or NaN: intensity 0
    clamped_one,   // κ̂/(N + 1) > 1: intensity 1
    interior,      // 0 < δ ≤ 1
};

struct Shrinkage {
    ShrinkageKind kind;
    double delta;  // 0 or 1 for the integer kinds
};

// y: rows × cols returns, row-major, NaN for missing. out: cols × cols, row-major, receives the
// shrunk covariance matrix. Never throws except std::bad_alloc; degenerate inputs (zero
// variance, fewer than two present rows, cols < 2) yield NaN-carrying or sample results.
Shrinkage cov_shrinkage(const double *y, std::size_t rows, std::size_t cols, double *out);

}  // namespace vela::core

namespace vela::core {

// The same estimate without the N×N matrix, for N well above T. With no entry missing
//
//     S = ỸᵀỸ/(T − 1),   Φ = r̄·σσᵀ + (1 − r̄)·diag(σ²),   C = δ·Φ + (1 − δ)·S
//       = diag(δ·(1 − r̄)·σ²) + (1 − δ)/(T − 1)·ỸᵀỸ + δ·r̄·σσᵀ,
//
// a diagonal plus a term of rank at most T + 1, and r̄, γ̂, π̂ and ρ̂ are sums over pairs that
// reduce to sums over the T×T Gram matrix ỸỸᵀ and over columns: O(N·T²) in all. A column with a
// missing entry (a gap column) is pairwise: its covariances with every column are computed
// pair by pair (O(N·T) per gap column), and so are its terms of the sums. Every sum, count and
// clamp is the one cov_shrinkage makes, so δ and r̄ agree with it to rounding.
struct ShrinkageFactors {
    // False where the dense estimator's own handling of odd inputs is needed: entries that are
    // ∞ or so large that a product overflows, a variance that is 0 or missing, a pair of columns
    // with fewer than two rows in common, γ̂ at the level of rounding (Φ equals S, up to it).
    bool usable = false;
    Shrinkage shrinkage{ShrinkageKind::sample, 0.0};
    double rbar = 0.0;
    std::vector<double> sigma;      // √s_ii
    std::vector<double> centred;    // N × T, row j: column j minus its mean over its present rows, 0 where missing
    std::vector<double> count;      // present rows of each column
    std::vector<std::size_t> gaps;  // the columns with a missing entry, increasing
    std::vector<double> gap_cov;    // g × N: row a holds s_ij for j = gaps[a] and every column i (pairwise)
};

// y: rows × cols returns, row-major, NaN for missing. Never throws except std::bad_alloc.
ShrinkageFactors cov_shrinkage_factors(const double *y, std::size_t rows, std::size_t cols);

}  // namespace vela::core
