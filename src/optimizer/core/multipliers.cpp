// Row multipliers recovered under their signs (see multipliers.hpp).
#include "core/multipliers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vela::core {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();

double dot(const double *a, const double *b, std::size_t p) {
    double s = 0.0;
    for (std::size_t i = 0; i < p; ++i) s += a[i] * b[i];
    return s;
}

// The problem's data over its n components, and the pieces of h along a line.
struct Pieces {
    const double *g, *A;
    const BoundState *state;
    std::size_t n, m;

    // r = g + Aᵀν.
    void residual(const std::vector<double> &nu, std::vector<double> &r) const {
        r.assign(g, g + n);
        for (std::size_t j = 0; j < m; ++j) {
            const double v = nu[j];
            if (v == 0.0) continue;
            const double *a = A + j * n;
            for (std::size_t i = 0; i < n; ++i) r[i] += v * a[i];
        }
    }

    // Whether φ_i is quadratic at r_i. A component on its kink (r = 0 at a bound) counts as
    // quadratic: the Newton model then sees both sides of a bound whose sign conflicts with a row's.
    bool on(std::size_t i, double r) const {
        switch (state[i]) {
            case BoundState::kFree:
                return true;
            case BoundState::kLower:
                return r <= 0.0;
            case BoundState::kUpper:
                return r >= 0.0;
            default:
                return false;
        }
    }

    double value(const std::vector<double> &r) const {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            if (on(i, r[i])) s += r[i] * r[i];
        return 0.5 * s;
    }

    // d/dt h(ν + t·step) with δ = Aᵀstep: piecewise linear and nondecreasing in t (h is convex).
    double slope(const std::vector<double> &r, const std::vector<double> &delta, double t) const {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double rt = r[i] + t * delta[i];
            double psi = 0.0;
            switch (state[i]) {
                case BoundState::kFree:
                    psi = rt;
                    break;
                case BoundState::kLower:
                    psi = std::min(rt, 0.0);
                    break;
                case BoundState::kUpper:
                    psi = std::max(rt, 0.0);
                    break;
                default:
                    break;
            }
            s += psi * delta[i];
        }
        return s;
    }
};

// argmin ‖M ν − rhs‖ over the components `rows` (M's row i is column i of A) with ν_j ≥ 0 where
// signs > 0, ≤ 0 where signs < 0, free where 0: non-negative least squares on ν = S·u, a free ν_j
// split into u⁺ − u⁻; with no sign constrained, the minimum-norm answer.
std::vector<double> signed_lstsq(const Pieces &pc, const std::vector<std::size_t> &rows, const double *signs) {
    const std::size_t p = rows.size(), m = pc.m;
    std::vector<double> rhs(p);
    for (std::size_t k = 0; k < p; ++k) rhs[k] = -pc.g[rows[k]];
    bool any_sign = false;
    std::size_t n_free = 0;
    for (std::size_t j = 0; j < m; ++j) {
        any_sign = any_sign || signs[j] != 0.0;
        n_free += signs[j] == 0.0;
    }
    const std::size_t k = any_sign ? m + n_free : m;
    std::vector<double> M(p * k);
    std::size_t extra = m;
    for (std::size_t j = 0; j < m; ++j) {
        const double *a = pc.A + j * pc.n;
        const double s = signs[j] > 0.0 ? 1.0 : (signs[j] < 0.0 ? -1.0 : 1.0);
        double *col = M.data() + j * p;
        for (std::size_t r = 0; r < p; ++r) col[r] = s * a[rows[r]];
        if (any_sign && signs[j] == 0.0) {
            double *neg = M.data() + extra++ * p;
            for (std::size_t r = 0; r < p; ++r) neg[r] = -col[r];
        }
    }
    if (!any_sign) return min_norm_least_squares(M, rhs, p, m);
    const std::vector<double> u = nonnegative_least_squares(M, rhs, p, k);
    std::vector<double> nu(m);
    extra = m;
    for (std::size_t j = 0; j < m; ++j) {
        if (signs[j] == 0.0)
            nu[j] = u[j] - u[extra++];
        else
            nu[j] = signs[j] > 0.0 ? u[j] : -u[j];
    }
    return nu;
}

// The t ≥ 0 minimising h(ν + t·step) as far as the signs of ν allow: the slope is linear between
// the kinks t_i = −r_i/δ_i of the bound components, so bisect over the kinks for the last one with
// a slope ≤ 0 and solve the linear piece after it. The minimiser of one piece (the Newton target,
// t = 1) often lies short of the true one when the pieces change.
double exact_step(const Pieces &pc, const std::vector<double> &r, const std::vector<double> &delta,
                  const std::vector<double> &nu, const std::vector<double> &step, const double *signs) {
    double t_max = kInf;
    for (std::size_t j = 0; j < pc.m; ++j)
        if ((signs[j] > 0.0 && step[j] < 0.0) || (signs[j] < 0.0 && step[j] > 0.0))
            t_max = std::min(t_max, -nu[j] / step[j]);
    t_max = std::max(t_max, 0.0);
    std::vector<double> grid{0.0};
    for (std::size_t i = 0; i < pc.n; ++i) {
        const BoundState s = pc.state[i];
        if ((s == BoundState::kLower || s == BoundState::kUpper) && delta[i] != 0.0) {
            const double kink = -r[i] / delta[i];
            if (kink > 0.0 && kink < t_max) grid.push_back(kink);
        }
    }
    std::sort(grid.begin() + 1, grid.end());
    if (std::isfinite(t_max)) grid.push_back(t_max);
    const double s0 = pc.slope(r, delta, 0.0);
    if (!(s0 < 0.0)) return 0.0;
    // Invariant: slope(grid[lo]) < 0, slope(grid[hi]) >= 0 (grid[size] = beyond the last).
    std::size_t lo = 0, hi = grid.size();
    double s_lo = s0, s_hi = 0.0;
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        const double s_mid = pc.slope(r, delta, grid[mid]);
        if (s_mid < 0.0) {
            lo = mid;
            s_lo = s_mid;
        } else {
            hi = mid;
            s_hi = s_mid;
        }
    }
    if (hi == grid.size()) {
        if (std::isfinite(t_max)) return t_max;
        // Beyond the last kink the slope grows linearly with the curvature of that piece.
        const double curvature = pc.slope(r, delta, grid[lo] + 1.0) - s_lo;
        return curvature > 0.0 ? grid[lo] - s_lo / curvature : grid[lo];
    }
    return s_hi > s_lo ? grid[lo] - s_lo * (grid[hi] - grid[lo]) / (s_hi - s_lo) : grid[hi];
}

// One-sided Jacobi: M = U·Σ·Vᵀ with U's columns (scaled by σ) left in `W` (p × k, column-major)
// and V (k × k, column-major). Accurate to rounding in every singular value, and cheap at the
// few columns these problems have.
void jacobi_svd(std::vector<double> &W, std::vector<double> &V, std::size_t p, std::size_t k) {
    V.assign(k * k, 0.0);
    for (std::size_t j = 0; j < k; ++j) V[j * k + j] = 1.0;
    for (int sweep = 0; sweep < 60; ++sweep) {
        bool rotated = false;
        for (std::size_t i = 0; i + 1 < k; ++i) {
            for (std::size_t j = i + 1; j < k; ++j) {
                double *ai = W.data() + i * p, *aj = W.data() + j * p;
                const double alpha = dot(ai, ai, p), beta = dot(aj, aj, p), gamma = dot(ai, aj, p);
                if (gamma == 0.0 || std::abs(gamma) <= kEps * std::sqrt(alpha * beta)) continue;
                rotated = true;
                const double zeta = (beta - alpha) / (2.0 * gamma);
                const double t = (zeta >= 0.0 ? 1.0 : -1.0) / (std::abs(zeta) + std::sqrt(1.0 + zeta * zeta));
                const double c = 1.0 / std::sqrt(1.0 + t * t), s = c * t;
                for (std::size_t r = 0; r < p; ++r) {
                    const double x = ai[r], y = aj[r];
                    ai[r] = c * x - s * y;
                    aj[r] = s * x + c * y;
                }
                double *vi = V.data() + i * k, *vj = V.data() + j * k;
                for (std::size_t r = 0; r < k; ++r) {
                    const double x = vi[r], y = vj[r];
                    vi[r] = c * x - s * y;
                    vj[r] = s * x + c * y;
                }
            }
        }
        if (!rotated) break;
    }
}

}  // namespace

std::vector<double> min_norm_least_squares(const std::vector<double> &M, const std::vector<double> &b, std::size_t p,
                                           std::size_t k) {
    std::vector<double> W(M), V, z(k, 0.0);
    jacobi_svd(W, V, p, k);
    std::vector<double> sigma(k);
    double top = 0.0;
    for (std::size_t j = 0; j < k; ++j) top = std::max(top, sigma[j] = std::sqrt(dot(&W[j * p], &W[j * p], p)));
    const double cut = kEps * static_cast<double>(std::max(p, k)) * top;
    for (std::size_t j = 0; j < k; ++j) {
        if (!(sigma[j] > cut)) continue;
        // W's column j is σ_j·u_j: (u_jᵀb)/σ_j = (w_jᵀb)/σ_j².
        const double c = dot(&W[j * p], b.data(), p) / (sigma[j] * sigma[j]);
        for (std::size_t r = 0; r < k; ++r) z[r] += c * V[j * k + r];
    }
    return z;
}

std::vector<double> nonnegative_least_squares(const std::vector<double> &M, const std::vector<double> &b, std::size_t p,
                                              std::size_t k) {
    std::vector<double> x(k, 0.0), w(k), res(b);
    std::vector<char> passive(k, 0), blocked(k, 0);
    double norm1 = 0.0;  // the largest column sum: the scale of Mᵀr
    for (std::size_t j = 0; j < k; ++j) {
        double s = 0.0;
        for (std::size_t r = 0; r < p; ++r) s += std::abs(M[j * p + r]);
        norm1 = std::max(norm1, s);
    }
    double b_max = 0.0;
    for (double v : b) b_max = std::max(b_max, std::abs(v));
    const double tol = 10.0 * kEps * static_cast<double>(std::max(p, k)) * norm1 * b_max;
    const auto gradient = [&] {
        res = b;
        for (std::size_t j = 0; j < k; ++j)
            if (x[j] != 0.0)
                for (std::size_t r = 0; r < p; ++r) res[r] -= x[j] * M[j * p + r];
        for (std::size_t j = 0; j < k; ++j) w[j] = dot(&M[j * p], res.data(), p);
    };
    gradient();
    for (std::size_t outer = 0; outer < 3 * k + 3; ++outer) {
        std::size_t t = k;
        for (std::size_t j = 0; j < k; ++j)
            if (!passive[j] && !blocked[j] && w[j] > tol && (t == k || w[j] > w[t])) t = j;
        if (t == k) break;
        passive[t] = 1;
        for (std::size_t inner = 0; inner < 3 * k + 3; ++inner) {
            std::vector<std::size_t> cols;
            for (std::size_t j = 0; j < k; ++j)
                if (passive[j]) cols.push_back(j);
            std::vector<double> sub(p * cols.size());
            for (std::size_t c = 0; c < cols.size(); ++c) std::copy_n(M.data() + cols[c] * p, p, sub.data() + c * p);
            const std::vector<double> zc = min_norm_least_squares(sub, b, p, cols.size());
            std::vector<double> z(k, 0.0);
            for (std::size_t c = 0; c < cols.size(); ++c) z[cols[c]] = zc[c];
            if (inner == 0 && !(z[t] > 0.0)) {
                // Rounding made the column just taken useless: leave it out until x moves.
                passive[t] = 0;
                blocked[t] = 1;
                break;
            }
            double alpha = kInf;
            std::size_t hit = k;
            for (std::size_t j : cols)
                if (!(z[j] > 0.0)) {
                    const double a = x[j] / (x[j] - z[j]);
                    if (a < alpha) alpha = a, hit = j;
                }
            if (hit == k) {
                x = z;
                std::fill(blocked.begin(), blocked.end(), 0);
                break;
            }
            for (std::size_t j : cols) x[j] += alpha * (z[j] - x[j]);
            x[hit] = 0.0;
            for (std::size_t j : cols)
                if (!(x[j] > 0.0)) x[j] = 0.0, passive[j] = 0;
        }
        gradient();
    }
    return x;
}

std::vector<double> recover_row_multipliers(const double *g, const double *A, const double *signs,
                                            const BoundState *state, std::size_t n, std::size_t m, double scale) {
    std::vector<double> nu(m, 0.0);
    if (m == 0) return nu;
    const Pieces pc{g, A, state, n, m};
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < n; ++i)
        if (state[i] == BoundState::kFree) rows.push_back(i);
    if (!rows.empty()) nu = signed_lstsq(pc, rows, signs);
    std::vector<double> r, delta(n), step(m), trial(m), r_trial;
    pc.residual(nu, r);  // kept with ν: an accepted step's residual is the next round's
    for (int it = 0; it < 50; ++it) {
        rows.clear();
        double worst = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            if (pc.on(i, r[i])) {
                rows.push_back(i);
                worst = std::max(worst, std::abs(r[i]));
            }
        if (rows.empty() || worst <= 1e-15 * scale) break;
        const double h0 = pc.value(r);
        const std::vector<double> target = signed_lstsq(pc, rows, signs);
        for (std::size_t j = 0; j < m; ++j) step[j] = target[j] - nu[j];
        std::fill(delta.begin(), delta.end(), 0.0);
        for (std::size_t j = 0; j < m; ++j) {
            const double *a = A + j * n;
            for (std::size_t i = 0; i < n; ++i) delta[i] += step[j] * a[i];
        }
        const double t = exact_step(pc, r, delta, nu, step, signs);
        for (std::size_t j = 0; j < m; ++j) trial[j] = nu[j] + t * step[j];
        pc.residual(trial, r_trial);
        if (!(t > 0.0 && pc.value(r_trial) < h0)) break;
        nu = trial;
        r.swap(r_trial);
    }
    return nu;
}

}  // namespace vela::core
