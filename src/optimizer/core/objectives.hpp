// Objectives and gradients of the optimisation methods over contiguous row-major buffers.
// Inputs are copied once when a problem is built; value() and gradient() allocate nothing.
// Every value is the plain daily figure of the formula named beside it (no ½, no annualising).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vela::core {

// a·b, with independent partial sums so that the loop vectorises. Inline, so that a caller
// compiled in several variants (VELA_SIMD_CLONES) gets it at each variant's vector width. Eight
// running sums: enough independent chains to hide the add latency.
inline double dot(const double *a, const double *b, std::size_t n) {
    constexpr std::size_t lanes = 8;
    double acc[lanes] = {};
    std::size_t j = 0;
    for (; j + lanes <= n; j += lanes)
        for (std::size_t k = 0; k < lanes; ++k) acc[k] += a[j + k] * b[j + k];
    double s = ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
    for (; j < n; ++j) s += a[j] * b[j];
    return s;
}

// y = A·x for the row-major n×n matrix A: y_i = Σ_j A_ij·x_j.
inline void mat_vec(const double *a, const double *x, double *y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = dot(a + i * n, x, n);
}

// A positive scale, or 1 where `s` is not a finite number greater than 0.
double usable_scale(double s);

// An n×n matrix C held twice: row-major for C·x, and as its packed upper triangle with
// P_ii = C_ii and P_ij = C_ij + C_ji (j > i), so that xᵀ·C·x reads half the memory.
class Covariance {
  public:
    // `rows` is C in row-major order (n·n values).
    Covariance(std::vector<double> rows, std::size_t n);

    std::size_t size() const { return n_; }
    // xᵀ·C·x = Σ_i x_i·(P_ii·x_i + Σ_(j>i) P_ij·x_j).
    double quad(const double *x) const;
    // y = C·x: y_i = Σ_j C_ij·x_j.
    void times(const double *x, double *y) const { mat_vec(rows_.data(), x, y, n_); }
    // The mean of the diagonal, (1/n)·Σ_i C_ii.
    double mean_diagonal() const;
    // Cᵀ in row-major order.
    std::vector<double> transposed() const;

  private:
    std::size_t n_;
    std::vector<double> rows_;
    std::vector<double> packed_;
};

// f(x) = xᵀ·C·x − c·Σ_i ln x_i, the logarithms added in index order;
// ∇f(x) = 2·C·x − c·(1/x_1, …, 1/x_n).
struct LogBarrierRiskParity {
    Covariance cov;
    double barrier;

    std::size_t size() const { return cov.size(); }
    double value(const double *x) const;
    void gradient(const double *x, double *g) const;
};

// Σ over i < j of |v_i − v_j|, in O(n log n). With s the sorted values and the gaps
// g_k = s_k − s_(k−1) ≥ 0, every gap lies inside exactly k·(n − k) pairs, so the sum is
// Σ_k k·(n − k)·g_k. Its terms are non-negative, so nearly equal values lose no accuracy
// (the equivalent Σ_k (2k − n + 1)·s_k cancels catastrophically there). NaN anywhere gives
// NaN; infinities give what the pairwise differences give (inf, or NaN for inf − inf).
class PairwiseAbsDiff {
  public:
    explicit PairwiseAbsDiff(std::size_t n);
    double operator()(const double *v);  // uses the scratch space, hence not const

  private:
    void sort_into_buckets(const double *v, double lo, double scale);

    std::size_t n_;
    std::vector<double> sorted_;
    std::vector<std::uint32_t> bucket_end_;  // 2n + 1 bucket boundaries
    std::vector<std::uint32_t> bucket_of_;   // the bucket of each value
};

// f(x) = Σ over i < j of |RC_i − RC_j| with the risk contributions RC_i = x_i·(C·x)_i.
class RiskContributionSpread {
  public:
    explicit RiskContributionSpread(Covariance cov);
    std::size_t size() const { return cov_.size(); }
    double value(const double *x);

  private:
    Covariance cov_;
    std::vector<double> rc_;
    PairwiseAbsDiff pairwise_;
};

// f(x) = xᵀ·C·x; ∇f(x) = 2·C·x.
struct MinVariance {
    Covariance cov;

    std::size_t size() const { return cov.size(); }
    double value(const double *x) const { return cov.quad(x); }
    void gradient(const double *x, double *g) const;
};

// f(x) = (λ/2)·xᵀ·C·x − xᵀ·μ; ∇f(x) = λ·(xᵀ·C) − μ. The row vector xᵀ·C is computed as Cᵀ·x
// from a transposed copy (the same numbers when C is symmetric).
struct MeanVariance {
    Covariance cov;
    std::vector<double> transposed;  // Cᵀ, row-major
    std::vector<double> mu;
    double lambda;

    std::size_t size() const { return cov.size(); }
    double value(const double *x) const;
    void gradient(const double *x, double *g) const;
};

// The days on which the benchmark and every instrument have a return (no NaN), kept once.
class TrackingError {
  public:
    // `table` is T×n row-major (day by instrument), `benchmark` its T daily returns.
    TrackingError(const double *table, const double *benchmark, std::size_t days, std::size_t n);

    std::size_t size() const { return n_; }
    std::size_t complete_days() const { return bench_.size(); }
    // f(x) = Σ_t (b_t − Σ_i R_ti·x_i)² over the complete days.
    double value(const double *x) const;
    // (1/n)·Σ_i Σ_t R_ti² over the complete days: the mean squared size of a column.
    double mean_column_square_sum() const;

  private:
    std::size_t n_;
    std::vector<double> rows_;  // complete days only, row-major
    std::vector<double> bench_;
};

}  // namespace vela::core
