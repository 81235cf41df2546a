// The O(N²·T) part of the shrinkage estimator: sums over rows for every pair of columns.
//
// A T×N table is held twice (Twofold): by row, so that a panel of W adjacent columns is W
// contiguous doubles per row and a micro-kernel streams it with vector loads into W register
// accumulators; and by column, so that column i's T values, broadcast one at a time against the
// panel, are contiguous too. Panels are visited in the outer loop so that each stays in L1 while
// every column i ≤ j meets it.
#pragma once

#include <cstddef>
#include <vector>

namespace vela::core {

struct Twofold {
    std::size_t rows, cols;
    std::vector<double> by_row;  // [t·cols + j]
    std::vector<double> by_col;  // [j·rows + t]

    Twofold(std::size_t r, std::size_t c) : rows(r), cols(c), by_row(r * c), by_col(r * c) {}
    void set(std::size_t t, std::size_t j, double v) {
        by_row[t * cols + j] = v;
        by_col[j * rows + t] = v;
    }
    const double *row(std::size_t t) const { return by_row.data() + t * cols; }
    const double *col(std::size_t j) const { return by_col.data() + j * rows; }
};

// s_ij = Σ_t y_ti·y_tj / (T − 1) over all rows, y already centred (nothing missing): the
// two-pass sample covariance. NaN when T < 2. Fills both triangles of s (N×N, row-major).
void dense_covariance(const Twofold &y, double *s);

// s_ij over the rows where both columns are finite, from z = y − c (c a finite per-column shift,
// z = 0 and m = 0 where y is not finite, m = 1 elsewhere):
//   s_ij = (Σ z_i z_j − Σ z_i · Σ z_j / n_ij) / (n_ij − 1),   NaN when n_ij < 2.
// The shift keeps the correction term small, so the difference loses no precision.
void pairwise_covariance(const Twofold &z, const Twofold &m, double *s);

// Fourth-moment sums of the estimator, with p_tij = y_ti·y_tj − s_ij and a_ti = y_ti² − s_ii:
//   π̂_ij = mean_t p²,  ϑ̂_ij = mean_t a_ti·p,  ϑ̂_ji = mean_t a_tj·p,
// each mean over the rows where its term is not NaN (`checked`) or over all T rows (the caller
// guarantees then that no term can be NaN).
struct Moments {
    double pi_total = 0.0;  // Σ_ij π̂_ij, NaN entries skipped
    double pi_diag = 0.0;   // Σ_i π̂_ii, NaN propagates
};
// theta (N×N, row-major) receives ϑ̂_ij off the diagonal; its diagonal is left unspecified.
Moments fourth_moments(const Twofold &y, const Twofold &a, const double *s, bool checked, double *theta);

}  // namespace vela::core
