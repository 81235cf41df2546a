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

namespace vela::core {

namespace {

// The table by column, centred: z_j = y_j − ȳ_j over its present rows, 0 where missing.
struct CentredColumns {
    std::size_t rows = 0, cols = 0;
    std::vector<double> z;               // cols × rows
    std::vector<unsigned char> present;  // cols × rows, gap columns only (else empty rows)
    std::vector<double> count;           // present rows per column
    std::vector<std::size_t> gaps;
    std::vector<std::size_t> gap_index;  // per column: its place in gaps, or cols for a full column

    const double *col(std::size_t j) const { return z.data() + j * rows; }
    bool full(std::size_t j) const { return gap_index[j] == cols; }
    bool at(std::size_t j, std::size_t t) const { return full(j) || present[j * rows + t] != 0; }
};

CentredColumns centre(const double *y, std::size_t rows, std::size_t cols, const Columns &c) {
    CentredColumns z{rows,
                     cols,
                     std::vector<double>(rows * cols),
                     std::vector<unsigned char>(rows * cols, 1),
                     std::vector<double>(cols, 0.0),
                     {},
                     std::vector<std::size_t>(cols, cols)};
    for (std::size_t t = 0; t < rows; ++t)
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = y[t * cols + j];
            const bool here = !std::isnan(v);
            z.z[j * rows + t] = here ? v - c.mean[j] : 0.0;
            z.present[j * rows + t] = here ? 1 : 0;
            z.count[j] += here ? 1.0 : 0.0;
        }
    for (std::size_t j = 0; j < cols; ++j)
        if (z.count[j] < static_cast<double>(rows)) {
            z.gap_index[j] = z.gaps.size();
            z.gaps.push_back(j);
        }
    return z;
}

// s_ij over the rows both columns have, as pairwise_covariance computes it:
// (Σ z_i z_j − Σ z_i · Σ z_j / n) / (n − 1), NaN for n < 2; a variance below 0 (rounding) is 0.
double pair_cov(const CentredColumns &z, std::size_t i, std::size_t j) {
    const double *zi = z.col(i), *zj = z.col(j);
    double c = 0.0, si = 0.0, sj = 0.0, n = 0.0;
    for (std::size_t t = 0; t < z.rows; ++t) {
        if (!z.at(i, t) || !z.at(j, t)) continue;
        c += zi[t] * zj[t];
        si += zi[t];
        sj += zj[t];
        n += 1.0;
    }
    if (n < 2.0) return kNaN;
    const double v = (c - si * sj / n) / (n - 1.0);
    return i == j && v < 0.0 ? 0.0 : v;
}

// The sums of the estimator over pairs of columns: R_ij over ordered pairs i ≠ j (for r̄),
// (φ_ij − s_ij)² (γ̂), π̂_ij, and σ_j/σ_i·ϑ̂_ij over ordered pairs i ≠ j (ρ̂'s weighted sum,
// before its factor 2).
struct PairSums {
    double r = 0.0, gamma = 0.0, pi_total = 0.0, theta = 0.0;
    double size = 0.0;  // Σ of the magnitudes whose difference γ̂ is, to judge it against rounding
};

// Every pair with at least one gap column, term by term over the rows both have; ordered pairs
// (i, j) and (j, i) of a full column i and a gap column j are visited once, a pair of two gap
// columns twice (once from each).
void gap_pairs(const CentredColumns &z, const std::vector<double> &s_diag, const std::vector<double> &sigma,
               double rbar, const std::vector<double> &gap_cov, PairSums &p) {
    const std::size_t n = z.cols, T = z.rows;
    for (std::size_t a = 0; a < z.gaps.size(); ++a) {
        const std::size_t j = z.gaps[a];
        const double *zj = z.col(j);
        for (std::size_t i = 0; i < n; ++i) {
            if (i == j) continue;
            const double sij = gap_cov[a * n + i];
            const double *zi = z.col(i);
            double pp = 0.0, api = 0.0, apj = 0.0, count = 0.0;
            for (std::size_t t = 0; t < T; ++t) {
                if (!z.at(i, t) || !z.at(j, t)) continue;
                const double q = zi[t] * zj[t] - sij;
                pp += q * q;
                api += (zi[t] * zi[t] - s_diag[i]) * q;
                apj += (zj[t] * zj[t] - s_diag[j]) * q;
                count += 1.0;
            }
            const double twice = z.full(i) ? 2.0 : 1.0;  // (i, j) and (j, i) at once for a full column
            const double phi = rbar * (sigma[i] * sigma[j]);
            p.gamma += twice * (phi - sij) * (phi - sij);
            p.size += twice * (phi * phi + sij * sij);
            p.pi_total += twice * (pp / count);
            p.theta += sigma[j] / sigma[i] * (api / count) + (z.full(i) ? sigma[i] / sigma[j] * (apj / count) : 0.0);
        }
    }
}

// The pairs of full columns, through the Gram matrix G = Σ_{i full} z_i z_iᵀ (T × T) and a few
// column sums: with s_ij = z_iᵀz_j/(T − 1),
//   Σ s_ij²          = ‖G‖²/(T − 1)²
//   Σ π̂_ij          = (1/T)·Σ_t G_tt² + (1 − 2(T − 1)/T)·Σ s_ij²
//   Σ_j σ_j·ϑ̂_ij    = (1/T)·(Σ_t a_ti·z_ti·h_t − (S·σ)_i·Σ_t a_ti),   h = Σ_j σ_j z_j
//   Σ R_ij           = ‖Σ_i z_i/σ_i‖²/(T − 1),   σᵀSσ = ‖h‖²/(T − 1)
// (sums over full columns i, j; the diagonal included, and taken out where the sum is over i ≠ j).
void full_pairs(const CentredColumns &z, const std::vector<double> &s_diag, const std::vector<double> &sigma,
                PairSums &p, double &sigma_s_sigma, double &s_frob, double &sig2, double &sig4, double &sig2_s) {
    const std::size_t n = z.cols, T = z.rows;
    const double dt = static_cast<double>(T);
    std::vector<double> G(T * T, 0.0), u(T, 0.0), h(T, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (!z.full(i)) continue;
        const double *zi = z.col(i);
        for (std::size_t t = 0; t < T; ++t) {
            const double v = zi[t];
            double *g = G.data() + t * T;
            for (std::size_t s = 0; s <= t; ++s) g[s] += v * zi[s];
            u[t] += v / sigma[i];
            h[t] += v * sigma[i];
        }
    }
    double frob = 0.0, diag4 = 0.0, uu = 0.0, hh = 0.0, self = 0.0;
    for (std::size_t t = 0; t < T; ++t) {
        for (std::size_t s = 0; s < t; ++s) frob += 2.0 * G[t * T + s] * G[t * T + s];
        frob += G[t * T + t] * G[t * T + t];
        diag4 += G[t * T + t] * G[t * T + t];
        uu += u[t] * u[t];
        hh += h[t] * h[t];
    }
    const double scale = 1.0 / (dt - 1.0);
    s_frob = frob * scale * scale;
    sigma_s_sigma = hh * scale;
    sig2 = sig4 = sig2_s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!z.full(i)) continue;
        double ss = 0.0;
        for (std::size_t t = 0; t < T; ++t) ss += z.col(i)[t] * z.col(i)[t];
        self += ss * scale / (sigma[i] * sigma[i]);  // the i = j terms of ‖Σ_i z_i/σ_i‖²/(T − 1)
    }
    p.r += uu * scale - self;
    p.pi_total += diag4 / dt + (1.0 - 2.0 * (dt - 1.0) / dt) * s_frob;
    for (std::size_t i = 0; i < n; ++i) {
        if (!z.full(i)) continue;
        const double *zi = z.col(i);
        double azh = 0.0, zh = 0.0, a_sum = 0.0, aa = 0.0;
        for (std::size_t t = 0; t < T; ++t) {
            const double a = zi[t] * zi[t] - s_diag[i];
            azh += a * zi[t] * h[t];
            zh += zi[t] * h[t];
            a_sum += a;
            aa += a * a;
        }
        // Σ_{j ≠ i} σ_j·ϑ̂_ij: the j = i term is σ_i·ϑ̂_ii = σ_i·mean_t a_ti².
        const double theta_row = (azh - zh * scale * a_sum) / dt - sigma[i] * aa / dt;
        p.theta += theta_row / sigma[i];
        const double s2 = sigma[i] * sigma[i];
        sig2 += s2;
        sig4 += s2 * s2;
        sig2_s += s2 * s_diag[i];
    }
}

}  // namespace

ShrinkageFactors cov_shrinkage_factors(const double *y, std::size_t rows, std::size_t cols) {
    ShrinkageFactors out;
    if (rows < 2 || cols < 2) return out;
    const Columns c = column_means(y, rows, cols);
    if (classify(y, rows, cols, c) == Presence::checked) return out;
    const CentredColumns z = centre(y, rows, cols, c);
    const std::size_t n = cols, g = z.gaps.size();
    const double dt = static_cast<double>(rows);

    // Variances: the two-pass estimator when nothing is missing, else pairwise (as cov_shrinkage).
    std::vector<double> s_diag(n), sigma(n);
    for (std::size_t j = 0; j < n; ++j) {
        double ss = 0.0;
        for (std::size_t t = 0; t < rows; ++t) ss += z.col(j)[t] * z.col(j)[t];
        s_diag[j] = c.any_nan ? pair_cov(z, j, j) : ss / (dt - 1.0);
        sigma[j] = std::sqrt(s_diag[j]);
        if (!(s_diag[j] > 0.0) || !std::isfinite(s_diag[j])) return out;
    }
    std::vector<double> gap_cov(g * n);
    for (std::size_t a = 0; a < g; ++a)
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t j = z.gaps[a];
            gap_cov[a * n + i] = i == j ? s_diag[j] : pair_cov(z, i, j);
            if (!std::isfinite(gap_cov[a * n + i])) return out;
        }

    // r̄ first (γ̂ and ρ̂ need it): 2·(Σ_{i≤j} R_ij − N) = Σ_{i≠j} R_ij + 2·Σ_i R_ii − 2N, the
    // diagonal as make_target computes it (d_i·(s_ii·d_i)), N subtracted rather than it.
    PairSums full, gapped;
    double sigma_s_sigma, s_frob, sig2, sig4, sig2_s;
    full_pairs(z, s_diag, sigma, full, sigma_s_sigma, s_frob, sig2, sig4, sig2_s);
    double r_off = full.r, r_diag = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double d = std::pow(s_diag[j], -0.5);
        r_diag += d * (s_diag[j] * d);
    }
    for (std::size_t a = 0; a < g; ++a)
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t j = z.gaps[a];
            if (i == j) continue;
            // (i, j) and (j, i) at once for a full column i; a gap column's pairs come twice.
            r_off += (z.full(i) ? 2.0 : 1.0) * (gap_cov[a * n + i] / (sigma[i] * sigma[j]));
        }
    const double dn = static_cast<double>(n);
    const double rbar = (r_off + 2.0 * r_diag - 2.0 * dn) / ((dn - 1.0) * dn);
    if (!std::isfinite(rbar)) return out;
    gap_pairs(z, s_diag, sigma, rbar, gap_cov, gapped);

    // π̂_jj = mean_t (z_tj² − s_jj)² over the present rows; the full columns' are also in the
    // Gram sum, the gap columns' are added to π̂ here.
    double full_s_diag2 = 0.0, diag_gamma = 0.0, pi_diag = 0.0, pi_gap_diag = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double d = sigma[j] * sigma[j] - s_diag[j];
        diag_gamma += d * d;
        double pd = 0.0;
        for (std::size_t t = 0; t < rows; ++t) {
            const double a = z.col(j)[t] * z.col(j)[t] - s_diag[j];
            if (z.at(j, t)) pd += a * a;
        }
        pi_diag += pd / z.count[j];
        if (z.full(j))
            full_s_diag2 += s_diag[j] * s_diag[j];
        else
            pi_gap_diag += pd / z.count[j];
    }
    // γ̂ over the full columns: Σ_{i≠j}(r̄σ_iσ_j − s_ij)² expanded; the diagonal (σ_i² − s_ii)².
    const double gamma_full =
        rbar * rbar * (sig2 * sig2 - sig4) - 2.0 * rbar * (sigma_s_sigma - sig2_s) + (s_frob - full_s_diag2);
    const double gamma = gamma_full + gapped.gamma + diag_gamma;
    const double size = rbar * rbar * sig2 * sig2 + s_frob + gapped.size;
    if (!(gamma > 1e-10 * size)) return out;
    const double pi_total = full.pi_total + gapped.pi_total + pi_gap_diag;
    const double rho = pi_diag + rbar / 2.0 * (2.0 * (full.theta + gapped.theta));
    const double x = (pi_total - rho) / gamma / (dn + 1.0);
    if (1.0 < x)
        out.shrinkage = {ShrinkageKind::clamped_one, 1.0};
    else if (x > 0.0)
        out.shrinkage = {ShrinkageKind::interior, x};
    else
        out.shrinkage = {ShrinkageKind::clamped_zero, 0.0};
    out.usable = true;
    out.rbar = rbar;
    out.sigma = std::move(sigma);
    out.centred = z.z;
    out.count = z.count;
    out.gaps = z.gaps;
    out.gap_cov = std::move(gap_cov);
    return out;
}

}  // namespace vela::core
