#include "core/shrinkage.hpp"

#include "core/pair_sums.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace vela::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Below this magnitude of every centred entry no product of the fourth-moment sums can overflow
// (|p|, |a| < 3e100, every term < 1e201): a term is then NaN only where an entry is missing.
constexpr double kNoOverflow = 1e50;

struct Columns {
    std::vector<double> mean;  // over the non-NaN entries; NaN for a column with none
    bool any_nan = false;
};

Columns column_means(const double *y, std::size_t rows, std::size_t cols) {
    Columns c{std::vector<double>(cols, 0.0), false};
    std::vector<double> count(cols, 0.0);
    for (std::size_t t = 0; t < rows; ++t)
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = y[t * cols + j];
            if (std::isnan(v)) {
                c.any_nan = true;
                continue;
            }
            c.mean[j] += v;
            count[j] += 1.0;
        }
    for (std::size_t j = 0; j < cols; ++j) c.mean[j] /= count[j];
    return c;
}

// Masked terms are exact only when a NaN term can come from a missing entry alone: every
// present ỹ finite and below kNoOverflow. Otherwise (∞, or magnitudes that overflow a product)
// each term is tested.
Presence classify(const double *y, std::size_t rows, std::size_t cols, const Columns &c) {
    for (std::size_t t = 0; t < rows; ++t)
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = y[t * cols + j];
            if (!std::isnan(v) && !(std::fabs(v - c.mean[j]) <= kNoOverflow)) return Presence::checked;
        }
    return c.any_nan ? Presence::masked : Presence::all;
}

// The pairwise covariance's inputs when entries are not all finite: z = y − (finite shift),
// 0 where y is not finite, and the 0/1 finiteness mask.
void finite_parts(const double *y, const Columns &c, Twofold &z, Twofold &m) {
    for (std::size_t t = 0; t < z.rows; ++t)
        for (std::size_t j = 0; j < z.cols; ++j) {
            const double v = y[t * z.cols + j];
            const double shift = std::isfinite(c.mean[j]) ? c.mean[j] : 0.0;
            const bool present = std::isfinite(v);
            z.set(t, j, present ? v - shift : 0.0);
            m.set(t, j, present ? 1.0 : 0.0);
        }
}

// The target and what is derived from S alone.
struct Target {
    std::size_t n;
    std::vector<double> sigma;  // √s_ii
    double rbar;

    // φ_ij as the masked sum (1 − I)∘(r̄·σσᵀ) + diag(σσᵀ)ᵀ∘I, so that a NaN r̄ or σ_j reaches
    // every entry it multiplies, zero weights included.
    double phi(std::size_t i, std::size_t j) const {
        const double off = i != j ? 1.0 : 0.0, on = i == j ? 1.0 : 0.0;
        return off * (rbar * (sigma[i] * sigma[j])) + (sigma[j] * sigma[j]) * on;
    }
};

Target make_target(const PanelMatrix &s) {
    const std::size_t n = s.n;
    Target f{n, std::vector<double>(n), 0.0};
    std::vector<double> inv_sigma(n);
    for (std::size_t i = 0; i < n; ++i) {
        f.sigma[i] = std::sqrt(s.diagonal(i));
        inv_sigma[i] = std::pow(s.diagonal(i), -0.5);
    }
    // r̄ = 2·(Σ_{i≤j} R_ij − N)/((N − 1)·N) with R_ij = d_i·(s_ij·d_j), d_i = s_ii^−½. N itself is
    // subtracted, not the computed diagonal. One non-finite R_ij (a zero or missing variance)
    // makes r̄ NaN, as it does when D·S·D is formed as a matrix product.
    double upper = 0.0;
    bool finite = true;
    s.for_upper([&](std::size_t i, std::size_t j, double sij) {
        const double r = inv_sigma[i] * (sij * inv_sigma[j]);
        finite = finite && std::isfinite(r);
        upper += r;
    });
    const double dn = static_cast<double>(n);
    f.rbar = finite ? 2.0 * (upper - dn) / ((dn - 1.0) * dn) : kNaN;
    return f;
}

// γ̂ = Σ_ij (φ_ij − s_ij)², NaN terms skipped; Φ and S are symmetric, so each i < j counts twice.
double distance_to_target(const Target &f, const PanelMatrix &s) {
    double gamma = 0.0;
    s.for_upper([&](std::size_t i, std::size_t j, double sij) {
        const double d = f.phi(i, j) - sij;
        const double term = d * d;
        if (!std::isnan(term)) gamma += i == j ? term : 2.0 * term;
    });
    return gamma;
}

}  // namespace

Shrinkage cov_shrinkage(const double *y, std::size_t rows, std::size_t cols, double *out) {
    const std::size_t n = cols;
    const Columns c = column_means(y, rows, cols);
    const Presence presence = classify(y, rows, cols, c);
    const bool masked = presence == Presence::masked;

    // ỹ: each column minus its own mean; a missing entry stays NaN, or becomes 0 with mask 0
    // when masked.
    Twofold centred(rows, cols), mask(masked ? rows : 0, masked ? cols : 0);
    for (std::size_t t = 0; t < rows; ++t)
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = y[t * cols + j];
            const bool missing = std::isnan(v);
            centred.set(t, j, masked && missing ? 0.0 : v - c.mean[j]);
            if (masked) mask.set(t, j, missing ? 0.0 : 1.0);
        }

    // S: nothing missing, the two-pass estimator over all rows (∞ spreads as it does there);
    // otherwise pairwise over the rows where both entries are finite.
    PanelMatrix sp(n);
    if (!c.any_nan) {
        dense_covariance(centred, sp);
    } else if (masked) {
        pairwise_covariance(centred, mask, sp);
    } else {
        Twofold z(rows, cols), m(rows, cols);
        finite_parts(y, c, z, m);
        pairwise_covariance(z, m, sp);
    }

    const Target f = make_target(sp);
    const double gamma = distance_to_target(f, sp);
    if (gamma == 0.0) {
        sp.to_rows(out, [](std::size_t, std::size_t, double sij) { return sij; });
        return {ShrinkageKind::sample, 0.0};
    }

    Twofold a(rows, cols);  // a_ti = ỹ_ti² − s_ii, 0 where missing when masked
    std::vector<double> var(n);
    for (std::size_t j = 0; j < n; ++j) var[j] = sp.diagonal(j);
    for (std::size_t t = 0; t < rows; ++t)
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = centred.at(t, j);
            a.set(t, j, masked && mask.at(t, j) == 0.0 ? 0.0 : v * v - var[j]);
        }
    const Moments m = fourth_moments(presence, centred, a, masked ? &mask : nullptr, sp, f.sigma.data());
    const double rho = m.pi_diag + f.rbar / 2.0 * m.theta_weighted;

    const double kappa = (m.pi_total - rho) / gamma;
    const double x = kappa / (static_cast<double>(n) + 1.0);
    Shrinkage result;
    if (1.0 < x)
        result = {ShrinkageKind::clamped_one, 1.0};
    else if (x > 0.0)
        result = {ShrinkageKind::interior, x};
    else  // x ≤ 0 or NaN
        result = {ShrinkageKind::clamped_zero, 0.0};

    const double delta = result.delta;
    sp.to_rows(out,
               [&](std::size_t i, std::size_t j, double sij) { return delta * f.phi(i, j) + (1.0 - delta) * sij; });
    return result;
}

}  // namespace vela::core
