#include "core/risk_parity.hpp"

#include "core/objectives.hpp"
#include "core/simd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace vela::core {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
// Newton takes the full step once the Newton decrement λ = sqrt(gᵀ·H⁻¹·g) is below this; above
// it the damped step 1/(1 + λ) keeps y inside the positive orthant (F is self-concordant).
constexpr double kFullStepDecrement = 0.25;
// Automatic: sweeps that fail to halve the residual this many times in a row hand over to Newton.
constexpr int kSlowSweeps = 3;
// The incrementally kept R·y is recomputed this often, so rounding cannot pile up over sweeps.
constexpr int kRefreshEvery = 10;

// Tile edge of the symmetrisation: C_ij and C_ji are read from two tiles that both stay in cache.
constexpr std::size_t kTile = 64;

using Problem = CorrelationScaled;

// max_i |y_i·(R·y)_i − 1|; NaN when any product is not finite.
double residual(const std::vector<double> &y, const std::vector<double> &ry) {
    double worst = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double e = std::fabs(y[i] * ry[i] - 1.0);
        if (!(e <= std::numeric_limits<double>::max())) return std::numeric_limits<double>::quiet_NaN();
        if (e > worst) worst = e;
    }
    return worst;
}

// Whether every |y_i·(R·y)_i − 1| is within tol plus the rounding bound of the product itself,
// 4·n·ε·y_i·(|R|·y)_i (the dot product's error bound): below that no method can do better.
// `ry` is refreshed from scratch as a side effect, and `floor` set to the smallest of those
// bounds (no residual below it can be told from rounding; it moves little once y is close).
bool verified(const Problem &p, const std::vector<double> &y, std::vector<double> &ry, double tol, double &floor) {
    const std::size_t n = p.size();
    const double bound = 4.0 * static_cast<double>(n) * kEps;
    bool ok = true;
    floor = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        const double *row = p.row(i);
        double abs_sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) abs_sum += std::fabs(row[j]) * y[j];
        ry[i] = dot(row, y.data(), n);
        const double e = std::fabs(y[i] * ry[i] - 1.0);
        const double allowed = bound * y[i] * abs_sum;
        floor = std::fmin(floor, allowed);
        if (!(e <= tol + allowed)) ok = false;
    }
    return ok;
}

// One sweep of cyclical coordinate descent. Coordinate i minimises F with the others fixed:
// y_i² + a·y_i − 1 = 0 with a = Σ_(j≠i) R_ij·y_j = (R·y)_i − y_i, whose positive root is
// (−a + sqrt(a² + 4)) / 2, written 2 / (a + sqrt(a² + 4)) for a > 0 to avoid cancellation.
// R·y is kept current with one row update per changed coordinate: O(n²) per sweep.
void sweep(const Problem &p, std::vector<double> &y, std::vector<double> &ry) {
    const std::size_t n = p.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double a = ry[i] - y[i];
        const double root = std::sqrt(a * a + 4.0);
        const double next = a > 0.0 ? 2.0 / (a + root) : 0.5 * (root - a);
        const double delta = next - y[i];
        if (delta == 0.0) continue;
        y[i] = next;
        const double *row = p.row(i);  // column i of the symmetric R
        for (std::size_t j = 0; j < n; ++j) ry[j] += delta * row[j];
    }
}

// In-place Cholesky factor H = L·Lᵀ, L lower-triangular row-major; false if H is not
// numerically positive definite.
bool cholesky(std::vector<double> &h, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        double *li = h.data() + i * n;
        for (std::size_t j = 0; j <= i; ++j) {
            const double *lj = h.data() + j * n;
            const double s = li[j] - dot(li, lj, j);
            if (j == i) {
                if (!(s > 0.0) || !std::isfinite(s)) return false;
                li[i] = std::sqrt(s);
            } else {
                li[j] = s / lj[j];
            }
        }
    }
    return true;
}

// Solves L·Lᵀ·d = b in place (b becomes d).
void cholesky_solve(const std::vector<double> &l, std::size_t n, std::vector<double> &b) {
    for (std::size_t i = 0; i < n; ++i) b[i] = (b[i] - dot(l.data() + i * n, b.data(), i)) / l[i * n + i];
    for (std::size_t i = n; i-- > 0;) {
        b[i] /= l[i * n + i];
        const double *li = l.data() + i * n;
        for (std::size_t k = 0; k < i; ++k) b[k] -= b[i] * li[k];
    }
}

// One damped Newton step on F: g = R·y − 1/y, H = R + diag(1/y²), d = −H⁻¹·g,
// λ² = −gᵀ·d; y ← y + t·d with t = 1 when λ < 1/4, else t = 1/(1 + λ), which keeps
// |t·d_i| < y_i because H ⪰ diag(1/y²). False if H could not be factored.
bool newton_step(const Problem &p, std::vector<double> &y, std::vector<double> &ry, std::vector<double> &h,
                 std::vector<double> &d) {
    const std::size_t n = p.size();
    h.assign(p.data(), p.data() + n * n);
    for (std::size_t i = 0; i < n; ++i) {
        h[i * n + i] += 1.0 / (y[i] * y[i]);
        d[i] = 1.0 / y[i] - ry[i];  // −g
    }
    const std::vector<double> minus_g = d;
    if (!cholesky(h, n)) return false;
    cholesky_solve(h, n, d);
    const double decrement = std::sqrt(std::fmax(0.0, dot(minus_g.data(), d.data(), n)));
    const double t = decrement < kFullStepDecrement ? 1.0 : 1.0 / (1.0 + decrement);
    for (std::size_t i = 0; i < n; ++i) y[i] += t * d[i];
    mat_vec(p.data(), y.data(), ry.data(), n);
    return true;
}

bool all_finite(const std::vector<double> &v) {
    for (double e : v)
        if (!std::isfinite(e)) return false;
    return true;
}

}  // namespace

CorrelationScaled::CorrelationScaled(const double *c, std::size_t n) : n_(n), r_(n * n), scale_(n) {
    if (n == 0) throw std::invalid_argument("risk parity: the covariance matrix is empty");
    for (std::size_t i = 0; i < n; ++i) {
        const double v = c[i * n + i];
        if (!std::isfinite(v))
            throw std::invalid_argument("risk parity: variance " + std::to_string(i) + " is not finite");
        if (!(v > 0.0)) throw std::invalid_argument("risk parity: variance " + std::to_string(i) + " is not positive");
        scale_[i] = 1.0 / std::sqrt(v);
    }
    // R_ij = ((C_ij + C_ji) / 2 · d_i) · d_j in this order: for a covariance |C_ij| ≤ sqrt(C_ii·C_jj),
    // so the partial product is at most sqrt(C_jj) and nothing overflows even when d_i·d_j would.
    // Tile by tile, so that the column-wise reads of C_ji stay in cache; a non-finite C_ij gives a
    // non-finite R_ij, found in the same pass.
    bool finite = true;
    for (std::size_t i0 = 0; i0 < n; i0 += kTile)
        for (std::size_t j0 = 0; j0 < n; j0 += kTile) {
            const std::size_t i1 = std::min(n, i0 + kTile), j1 = std::min(n, j0 + kTile);
            for (std::size_t i = i0; i < i1; ++i) {
                const double di = scale_[i];
                double *out = r_.data() + i * n;
                for (std::size_t j = j0; j < j1; ++j) {
                    const double v = (0.5 * c[i * n + j] + 0.5 * c[j * n + i]) * di * scale_[j];
                    out[j] = v;
                    finite &= std::isfinite(v);
                }
            }
        }
    if (!finite) {
        for (std::size_t i = 0; i < n * n; ++i)
            if (!std::isfinite(r_[i]))
                throw std::invalid_argument("risk parity: covariance entry (" + std::to_string(i / n) + ", " +
                                            std::to_string(i % n) + ") is not finite");
    }
    for (std::size_t i = 0; i < n; ++i) r_[i * n + i] = 1.0;
    double acc[4] = {};
    for (std::size_t k = 0; k + 4 <= n * n; k += 4)
        for (std::size_t l = 0; l < 4; ++l) acc[l] += r_[k + l];
    total_ = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    for (std::size_t k = n * n - (n * n) % 4; k < n * n; ++k) total_ += r_[k];
}

RiskParityResult risk_parity_barrier(const double *c, std::size_t n, int max_iteration, double barrier, double tol,
                                     RiskParityMethod method) {
    return risk_parity_barrier(CorrelationScaled(c, n), max_iteration, barrier, tol, method);
}

VELA_SIMD_CLONES RiskParityResult risk_parity_barrier(const CorrelationScaled &p, int max_iteration, double barrier,
                                                      double tol, RiskParityMethod method) {
    if (max_iteration < 1) throw std::invalid_argument("risk parity: max_iteration must be at least 1");
    if (!(barrier > 0.0) || !std::isfinite(barrier))
        throw std::invalid_argument("risk parity: the barrier weight must be a positive number");
    if (!(tol >= 0.0) || !std::isfinite(tol)) throw std::invalid_argument("risk parity: tol must be a number >= 0");
    const std::size_t n = p.size();

    // Start on the ray y = s·1 that satisfies the condition on average: s²·1ᵀ·R·1 = n.
    const double total = p.total();
    const double start = (total > 0.0 && std::isfinite(total)) ? std::sqrt(static_cast<double>(n) / total) : 1.0;
    std::vector<double> y(n, start), ry(n);
    mat_vec(p.data(), y.data(), ry.data(), n);

    RiskParityResult out;
    bool use_newton = method == RiskParityMethod::newton;
    std::vector<double> h, d(n);
    double last = residual(y, ry);
    double floor = std::numeric_limits<double>::infinity();  // see verified()
    int slow = 0;
    bool fresh = false;  // whether ry was last computed from scratch for the current y
    while (out.iterations < max_iteration) {
        if (use_newton) {
            if (!newton_step(p, y, ry, h, d)) {
                if (method == RiskParityMethod::newton) break;
                use_newton = false;  // H not positive definite: R is no covariance; sweeps still apply
            }
        } else {
            sweep(p, y, ry);
            if ((out.iterations + 1) % kRefreshEvery == 0) mat_vec(p.data(), y.data(), ry.data(), n);
        }
        ++out.iterations;
        fresh = false;
        if (!all_finite(y)) break;  // no minimiser: F is unbounded below along a direction of R's null space
        const double r = residual(y, ry);
        if (!(r == r)) break;
        // The check from scratch costs two sweeps' worth: it runs once the residual is within
        // reach of the tolerance or of rounding, and after a failed check only once the residual
        // is down to tol plus the smallest rounding bound that check found.
        if (r <= tol || (r < 1e3 * static_cast<double>(n) * kEps && r <= tol + floor)) {
            fresh = true;
            if (verified(p, y, ry, tol, floor)) {
                out.converged = true;
                break;
            }
        }
        if (method == RiskParityMethod::automatic && !use_newton) {
            slow = r > 0.5 * last ? slow + 1 : 0;
            if (slow >= kSlowSweeps) use_newton = true;
        }
        last = r;
    }
    if (!fresh) mat_vec(p.data(), y.data(), ry.data(), n);
    out.residual = residual(y, ry);
    const double unit = std::sqrt(0.5 * barrier);
    out.x.resize(n);
    for (std::size_t i = 0; i < n; ++i) out.x[i] = unit * p.scale(i) * y[i];
    return out;
}

}  // namespace vela::core
