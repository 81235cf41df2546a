// The O(N²·T) part of the shrinkage estimator: sums over rows for every pair of columns.
//
// A T×N table is held twice (Twofold): in panels of kPanelWidth adjacent columns, each panel
// contiguous over its T rows (row t of a panel is one cache line, loaded as vector packs into
// register accumulators, and a panel spans a few pages, not T), the last panel padded with
// zeros; and by column, so that column i's T values, broadcast one at a time against a panel,
// are contiguous too. Panels are visited in the outer loop so that each stays in L1 while every
// column i ≤ j meets it.
#pragma once

#include <cstddef>
#include <vector>

namespace vela::core {

constexpr std::size_t kPanelWidth = 8;

struct Twofold {
    std::size_t rows, cols;
    std::vector<double> by_panel;  // [(j / W · rows + t) · W + j mod W], W = kPanelWidth
    std::vector<double> by_col;    // [j · rows + t]

    Twofold(std::size_t r, std::size_t c)
        : rows(r), cols(c), by_panel((c + kPanelWidth - 1) / kPanelWidth * kPanelWidth * r), by_col(r * c) {}
    void set(std::size_t t, std::size_t j, double v) {
        by_panel[(j / kPanelWidth * rows + t) * kPanelWidth + j % kPanelWidth] = v;
        by_col[j * rows + t] = v;
    }
    double at(std::size_t t, std::size_t j) const { return by_col[j * rows + t]; }
    // Row t of the panel starting at column j0 (a multiple of kPanelWidth).
    const double *panel_row(std::size_t j0, std::size_t t) const {
        return by_panel.data() + (j0 / kPanelWidth * rows + t) * kPanelWidth;
    }
    const double *col(std::size_t j) const { return by_col.data() + j * rows; }
};

// An N×N symmetric matrix laid out like a Twofold's panels: the kPanelWidth entries (i, j0..)
// of row i in panel j0 are contiguous, and so are consecutive rows i, so the kernels, which
// visit the rows i for one panel after another, read and write it sequentially. Only the
// blocks with i < j0 + kPanelWidth (those holding some j ≥ i) are filled; padding is 0.
struct PanelMatrix {
    std::size_t n;
    std::vector<double> v;

    explicit PanelMatrix(std::size_t size) : n(size), v((size + kPanelWidth - 1) / kPanelWidth * kPanelWidth * size) {}
    double *block(std::size_t i, std::size_t j0) { return v.data() + (j0 / kPanelWidth * n + i) * kPanelWidth; }
    const double *block(std::size_t i, std::size_t j0) const {
        return v.data() + (j0 / kPanelWidth * n + i) * kPanelWidth;
    }
    double diagonal(std::size_t i) const { return block(i, i - i % kPanelWidth)[i % kPanelWidth]; }

    // f(i, j, s_ij) for every i ≤ j, in storage order.
    template <class F>
    void for_upper(F &&f) const {
        for (std::size_t j0 = 0; j0 < n; j0 += kPanelWidth)
            for (std::size_t i = 0; i < n && i < j0 + kPanelWidth; ++i) {
                const double *b = block(i, j0);
                for (std::size_t j = j0 < i ? i : j0; j < j0 + kPanelWidth && j < n; ++j) f(i, j, b[j - j0]);
            }
    }

    // out_ij = out_ji = f(i, j, s_ij) for i ≤ j into a row-major N×N array, by 8×8 tiles so
    // that the writes of both triangles stay within a few cache lines at a time.
    template <class F>
    void to_rows(double *out, F &&f) const {
        for (std::size_t i0 = 0; i0 < n; i0 += kPanelWidth)
            for (std::size_t j0 = i0; j0 < n; j0 += kPanelWidth)
                for (std::size_t i = i0; i < i0 + kPanelWidth && i < n; ++i) {
                    const double *b = block(i, j0);
                    for (std::size_t j = j0 < i ? i : j0; j < j0 + kPanelWidth && j < n; ++j)
                        out[i * n + j] = out[j * n + i] = f(i, j, b[j - j0]);
                }
    }
};

// s_ij = Σ_t y_ti·y_tj / (T − 1) over all rows, y already centred (nothing missing): the
// two-pass sample covariance. NaN when T < 2.
void dense_covariance(const Twofold &y, PanelMatrix &s);

// s_ij over the rows where both columns are present, from z = y − c (c a finite per-column
// shift; z = 0 and m = 0 where y is missing, m = 1 elsewhere):
//   s_ij = (Σ z_i z_j − Σ z_i · Σ z_j / n_ij) / (n_ij − 1),   NaN when n_ij < 2.
// The shift keeps the correction term small, so the difference loses no precision.
void pairwise_covariance(const Twofold &z, const Twofold &m, PanelMatrix &s);

// Fourth-moment sums of the estimator, with p_tij = y_ti·y_tj − s_ij and a_ti = y_ti² − s_ii:
//   π̂_ij = mean_t p²,  ϑ̂_ij = mean_t a_ti·p,  ϑ̂_ji = mean_t a_tj·p,
// each mean over the rows where its term is not NaN.
struct Moments {
    double pi_total = 0.0;  // Σ_ij π̂_ij, NaN entries skipped
    double pi_diag = 0.0;   // Σ_i π̂_ii, NaN propagates
    // Σ_i Σ_{j≠i} (σ_j·ϑ̂_ij/σ_i + ϑ̂_ji/σ_j·σ_i), NaN propagates. Each unordered pair enters it
    // twice (once from each row), as 2·(σ_j/σ_i·ϑ̂_ij + σ_i/σ_j·ϑ̂_ji).
    double theta_weighted = 0.0;
};

// How the terms' presence is known.
enum class Presence {
    all,      // nothing missing and no term can overflow: every mean is over T rows
    masked,   // y and a hold 0 where missing, m the 0/1 mask; no term can overflow
    checked,  // y and a hold NaN where missing; each term is tested (∞ or huge entries)
};

// `sigma` holds σ_i = √s_ii; `m` is read for Presence::masked only.
Moments fourth_moments(Presence presence, const Twofold &y, const Twofold &a, const Twofold *m, const PanelMatrix &s,
                       const double *sigma);

}  // namespace vela::core
