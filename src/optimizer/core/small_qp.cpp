// Small QPs for a dense dual active-set solver: scaling, reduction, hand-over and certificate
// (the arithmetic is stated in small_qp.hpp).
#include "core/small_qp.hpp"

#include "core/simd.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vela::core {

namespace {

constexpr double kSolverInf = 1e30;  // the solver's infinity: sides beyond it are absent
constexpr double kZero = 1e-12;      // a weight at most this far from 0 is zero
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The larger of a and b, NaN when either is NaN (as numpy's maximum).
double nan_max(double a, double b) { return (std::isnan(a) || std::isnan(b)) ? kNaN : std::max(a, b); }

// Every value finite: no exponent field all ones (∞ and NaN), tested without a branch per value.
VELA_SIMD_CLONES bool all_finite(const double *v, std::size_t len) {
    constexpr std::uint64_t exponent = 0x7ff0000000000000ULL;
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < len; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, v + i, sizeof bits);
        bad |= static_cast<std::uint64_t>((bits & exponent) == exponent);
    }
    return bad == 0;
}

// A scale that can divide an objective: finite and positive.
bool usable_scale(double s) { return std::isfinite(s) && s > 0.0; }

// At most max_kept and at least one variable not fixed by its bounds: checked before any other
// work, so that a large problem is declined at the cost of one pass over its bounds.
bool few_kept(const SmallLimits &lim, std::size_t max_kept) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < lim.n; ++i) kept += lim.lower[i] < lim.upper[i];
    return kept > 0 && kept <= max_kept;
}

// The limits can be read (no NaN side, no lower bound at +∞ or upper at −∞, A finite); copied.
bool copy_limits(const SmallLimits &lim, SmallQp &qp) {
    const std::size_t n = lim.n, m = lim.m;
    for (std::size_t i = 0; i < n; ++i)
        if (!(lim.lower[i] < kInf) || !(lim.upper[i] > -kInf)) return false;
    for (std::size_t j = 0; j < m; ++j)
        if (std::isnan(lim.lo[j]) || std::isnan(lim.hi[j])) return false;
    if (!all_finite(lim.A, m * n)) return false;
    qp.n = n;
    qp.m = m;
    qp.lower.assign(lim.lower, lim.lower + n);
    qp.upper.assign(lim.upper, lim.upper + n);
    qp.A.assign(lim.A, lim.A + m * n);
    qp.lo.assign(lim.lo, lim.lo + m);
    qp.hi.assign(lim.hi, lim.hi + m);
    return true;
}

// Step 2 on the limits: the kept variables, the fixed values, the live rows with the fixed
// variables' part moved into their sides, and the sides handed to the solver. False when the
// limits admit no point or nothing is left to solve.
bool reduce_limits(SmallQp &qp, std::size_t max_kept, double primal_tol) {
    const std::size_t n = qp.n, m = qp.m;
    for (std::size_t j = 0; j < m; ++j)
        if (qp.lo[j] > qp.hi[j]) return false;
    qp.x_fixed.assign(n, 0.0);
    qp.kept.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (qp.lower[i] > qp.upper[i]) return false;
        if (qp.lower[i] < qp.upper[i])
            qp.kept.push_back(i);
        else
            qp.x_fixed[i] = qp.lower[i];
    }
    const std::size_t k = qp.kept.size();
    if (k == 0 || k > max_kept) return false;
    std::vector<double> row_lo, row_hi;
    qp.Ar.clear();
    for (std::size_t j = 0; j < m; ++j) {
        const double *a = &qp.A[j * n];
        double offset = 0.0;  // Σ over fixed i of A_ji·x_i
        bool live = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (qp.lower[i] < qp.upper[i])
                live = live || a[i] != 0.0;
            else
                offset += a[i] * qp.x_fixed[i];
        }
        const double lo = qp.lo[j] - offset, hi = qp.hi[j] - offset;
        live = live && (lo != -kInf || hi != kInf);
        if (!live) {
            if (lo > primal_tol || hi < -primal_tol) return false;
            continue;
        }
        for (std::size_t i : qp.kept) qp.Ar.push_back(a[i]);
        row_lo.push_back(lo);
        row_hi.push_back(hi);
    }
    qp.k = k;
    qp.rows = row_lo.size();
    const std::size_t sides = k + qp.rows;
    qp.bu.resize(sides);
    qp.bl.resize(sides);
    qp.sense.assign(sides, 0);
    for (std::size_t a = 0; a < k; ++a) {
        qp.bu[a] = std::min(qp.upper[qp.kept[a]], kSolverInf);
        qp.bl[a] = std::max(qp.lower[qp.kept[a]], -kSolverInf);
    }
    for (std::size_t j = 0; j < qp.rows; ++j) {
        qp.bu[k + j] = std::min(row_hi[j], kSolverInf);
        qp.bl[k + j] = std::max(row_lo[j], -kSolverInf);
        if (row_lo[j] == row_hi[j]) qp.sense[k + j] = 5;
    }
    return true;
}

// out (rows) = M (rows × cols, row-major) times v (cols); four partial sums per row, so that the
// additions do not wait on one another.
VELA_SIMD_CLONES void mat_vec(const double *M, std::size_t rows, std::size_t cols, const double *v, double *out) {
    for (std::size_t r = 0; r < rows; ++r) {
        const double *row = M + r * cols;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        std::size_t c = 0;
        for (; c + 4 <= cols; c += 4) {
            s0 += row[c] * v[c];
            s1 += row[c + 1] * v[c + 1];
            s2 += row[c + 2] * v[c + 2];
            s3 += row[c + 3] * v[c + 3];
        }
        for (; c < cols; ++c) s0 += row[c] * v[c];
        out[r] = (s0 + s1) + (s2 + s3);
    }
}

// out (cols) = Mᵀ (M rows × cols, row-major) times v (rows): rank-one updates along M's rows.
VELA_SIMD_CLONES void mat_t_vec(const double *M, std::size_t rows, std::size_t cols, const double *v, double *out) {
    std::fill(out, out + cols, 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
        const double *row = M + r * cols;
        const double w = v[r];
        for (std::size_t c = 0; c < cols; ++c) out[c] += w * row[c];
    }
}

#if defined(__GNUC__)
// Four doubles: one AVX register in the AVX2 clone, two SSE2 registers otherwise.
typedef double Quad __attribute__((vector_size(4 * sizeof(double))));

// H (k × k) = FᵀF for F (t × k, row-major), by blocks of 4 × 8 entries on and above the diagonal:
// H_IJ = Σ_t F_tIᵀ F_tJ with the 32 sums in eight registers over all t (each row of F read once
// per block, H written once), on a copy of F padded with zero columns to a multiple of 8; the
// lower triangle mirrored. Twice the speed of rank-four updates of H's rows at 50 and 100 columns.
VELA_SIMD_CLONES void gram(const double *F, std::size_t t, std::size_t k, double *H) {
    const std::size_t kp = (k + 7) / 8 * 8;
    std::vector<double> padded(t * kp, 0.0);
    for (std::size_t r = 0; r < t; ++r) std::copy(F + r * k, F + (r + 1) * k, padded.begin() + r * kp);
    for (std::size_t i0 = 0; i0 < k; i0 += 4) {
        for (std::size_t j0 = i0 / 8 * 8; j0 < k; j0 += 8) {
            Quad acc[4][2] = {};
            for (std::size_t r = 0; r < t; ++r) {
                const double *row = padded.data() + r * kp;
                Quad x0, x1;
                std::memcpy(&x0, row + j0, sizeof x0);  // unaligned loads
                std::memcpy(&x1, row + j0 + 4, sizeof x1);
                for (std::size_t a = 0; a < 4; ++a) {
                    const double w = row[i0 + a];
                    acc[a][0] += w * x0;
                    acc[a][1] += w * x1;
                }
            }
            for (std::size_t a = 0; a < 4 && i0 + a < k; ++a)
                for (std::size_t b = 0; b < 8 && j0 + b < k; ++b)
                    if (j0 + b >= i0 + a) H[(i0 + a) * k + j0 + b] = acc[a][b / 4][b % 4];
        }
    }
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j < i; ++j) H[i * k + j] = H[j * k + i];
}
#else
// H (k × k) = FᵀF for F (t × k, row-major): the upper triangle by rank-one updates along F's rows,
// then mirrored.
void gram(const double *F, std::size_t t, std::size_t k, double *H) {
    std::fill(H, H + k * k, 0.0);
    for (std::size_t r = 0; r < t; ++r)
        for (std::size_t i = 0; i < k; ++i)
            for (std::size_t j = i; j < k; ++j) H[i * k + j] += F[r * k + i] * F[r * k + j];
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j < i; ++j) H[i * k + j] = H[j * k + i];
}
#endif

// Σ_j row_j, and row_j² added to col_sq_j, over one day's n returns (four partial sums: no chain
// of dependent additions).
VELA_SIMD_CLONES double day_sums(const double *row, std::size_t n, double *col_sq) {
    for (std::size_t j = 0; j < n; ++j) col_sq[j] += row[j] * row[j];
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        s0 += row[j];
        s1 += row[j + 1];
        s2 += row[j + 2];
        s3 += row[j + 3];
    }
    for (; j < n; ++j) s0 += row[j];
    return (s0 + s1) + (s2 + s3);
}

// Steps 2 and 3 of the covariance form, on the scaled P and q (P itself is H when nothing is fixed).
void hand_over_covariance(SmallQp &qp) {
    const std::size_t n = qp.n, k = qp.k;
    if (k == n) {
        qp.qr = qp.q;
    } else {
        qp.qr.resize(k);
        qp.H.resize(k * k);
        for (std::size_t a = 0; a < k; ++a) {
            const double *p = &qp.P[qp.kept[a] * n];
            double moved = 0.0;  // (P_KF·x_F)_a
            for (std::size_t i = 0; i < n; ++i)
                if (!(qp.lower[i] < qp.upper[i])) moved += p[i] * qp.x_fixed[i];
            qp.qr[a] = qp.q[qp.kept[a]] + moved;
            for (std::size_t b = 0; b < k; ++b) qp.H[a * k + b] = p[qp.kept[b]];
        }
    }
    qp.f = qp.qr;
    const double *h = qp.hessian();
    double trace = 0.0;
    for (std::size_t a = 0; a < k; ++a) trace += h[a * k + a];
    qp.curvature = trace / static_cast<double>(k);
}

// Steps 2 and 3 of the least-squares form (q = 0), on the scaled F and d (themselves F_K and d
// when nothing is fixed); `curvature` is the whole problem's mean diagonal, kept then. False when
// FᵀF is singular.
bool hand_over_least_squares(SmallQp &qp, double curvature) {
    const std::size_t n = qp.n, k = qp.k, t = qp.t;
    if (t < k) return false;
    if (k < n) {
        qp.Fr.resize(t * k);
        qp.dr.resize(t);
        for (std::size_t r = 0; r < t; ++r) {
            const double *row = &qp.F[r * n];
            double moved = 0.0;  // (F_F·x_F)_r
            for (std::size_t i = 0; i < n; ++i)
                if (!(qp.lower[i] < qp.upper[i])) moved += row[i] * qp.x_fixed[i];
            qp.dr[r] = qp.d[r] - moved;
            for (std::size_t a = 0; a < k; ++a) qp.Fr[r * k + a] = row[qp.kept[a]];
        }
    }
    qp.qr.assign(k, 0.0);
    qp.H.resize(k * k);
    gram(qp.factor(), t, k, qp.H.data());
    qp.f.resize(k);
    mat_t_vec(qp.factor(), t, k, qp.target(), qp.f.data());
    for (double &v : qp.f) v = -v;
    if (k == n) {
        qp.curvature = curvature;
    } else {
        double sum = 0.0;
        for (std::size_t a = 0; a < k; ++a) sum += qp.H[a * k + a];
        qp.curvature = sum / static_cast<double>(k);
    }
    return true;
}

}  // namespace

SmallQp small_covariance(const double *C, double curvature, const double *q, const SmallLimits &lim,
                         std::size_t max_kept, double primal_tol) {
    SmallQp qp;
    const std::size_t n = lim.n;
    if (!few_kept(lim, max_kept) || !all_finite(C, n * n) || (q && !all_finite(q, n)) || !copy_limits(lim, qp))
        return qp;
    double trace = 0.0;
    for (std::size_t i = 0; i < n; ++i) trace += C[i * n + i];
    // The Hessian's mean diagonal scales the objective; where it is not positive (λ = 0, a zero
    // matrix) the Hessian is not positive definite and the general path takes the problem.
    const double scale = curvature * (trace / static_cast<double>(n));
    if (!(curvature > 0.0) || !usable_scale(scale)) return qp;
    qp.scale = scale;
    const double c = curvature / scale;
    qp.P.resize(n * n);
    for (std::size_t i = 0; i < n * n; ++i) qp.P[i] = C[i] * c;
    qp.q.assign(n, 0.0);
    if (q)
        for (std::size_t i = 0; i < n; ++i) qp.q[i] = q[i] / scale;
    if (!all_finite(qp.P.data(), n * n) || !all_finite(qp.q.data(), n)) return qp;
    // ½xᵀPx sees only the symmetric part of P.
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) {
            const double a = qp.P[i * n + j], b = qp.P[j * n + i];
            if (a != b) qp.P[i * n + j] = qp.P[j * n + i] = 0.5 * (a + b);
        }
    if (!reduce_limits(qp, max_kept, primal_tol)) return qp;
    hand_over_covariance(qp);
    qp.usable = true;
    return qp;
}

SmallQp small_tracking(const double *R, const double *b, std::size_t days, const SmallLimits &lim, std::size_t max_kept,
                       double primal_tol) {
    SmallQp qp;
    qp.least_squares = true;
    const std::size_t n = lim.n;
    if (!few_kept(lim, max_kept) || !copy_limits(lim, qp)) return qp;
    // The complete days: the benchmark and every column finite.
    std::vector<std::size_t> complete;
    for (std::size_t r = 0; r < days; ++r)
        if (std::isfinite(b[r]) && all_finite(R + r * n, n)) complete.push_back(r);
    const std::size_t t = complete.size();
    if (t == 0) return qp;
    // Σ_t R_tj² per column (the Hessian's diagonal before scaling) and Σ_t (b_t − mean_j R_tj)².
    std::vector<double> col_sq(n, 0.0);
    double ew = 0.0;
    for (std::size_t r : complete) {
        const double e = b[r] - day_sums(R + r * n, n, col_sq.data()) / static_cast<double>(n);
        ew += e * e;
    }
    double sum_sq = 0.0;
    for (double v : col_sq) sum_sq += v;
    const double curvature = 2.0 * (sum_sq / static_cast<double>(n));
    const double chosen = ew > 1e-6 * curvature ? ew : curvature;
    const double scale = usable_scale(chosen) ? chosen : 1.0;
    const double root = std::sqrt(2.0 / scale);
    qp.scale = scale;
    qp.t = t;
    qp.F.resize(t * n);
    qp.d.resize(t);
    for (std::size_t a = 0; a < t; ++a) {
        const double *row = R + complete[a] * n;
        for (std::size_t j = 0; j < n; ++j) qp.F[a * n + j] = root * row[j];
        qp.d[a] = root * b[complete[a]];
    }
    if (!all_finite(qp.F.data(), t * n) || !all_finite(qp.d.data(), t)) return qp;
    qp.q.assign(n, 0.0);
    if (!reduce_limits(qp, max_kept, primal_tol) || !hand_over_least_squares(qp, curvature / scale)) return qp;
    qp.usable = true;
    return qp;
}

namespace {

// The Hessian times x (k) and, least squares, F x (t): the certificate's products, which the
// objective reuses when nothing is fixed.
struct Products {
    std::vector<double> hx, fx;
};

// The KKT residual of the solver's answer (small_qp.hpp): r = ∇f(x) + Aᵀν afresh, the signs of
// the held bounds' r, and multiplier × slack, over the gradient's scale. NaN carried through.
double kkt_residual(const SmallQp &qp, const double *x, const double *lam, const std::vector<double> &below,
                    const std::vector<double> &above, Products &out) {
    const std::size_t k = qp.k, rows = qp.rows;
    std::vector<double> &hx = out.hx, g(k), r(k);
    hx.resize(k);
    if (qp.least_squares) {
        std::vector<double> &fx = out.fx;
        fx.resize(qp.t);
        const double *F = qp.factor(), *d = qp.target();
        mat_vec(F, qp.t, k, x, fx.data());
        mat_t_vec(F, qp.t, k, fx.data(), hx.data());
        std::vector<double> res(qp.t);
        for (std::size_t a = 0; a < qp.t; ++a) res[a] = fx[a] - d[a];
        mat_t_vec(F, qp.t, k, res.data(), g.data());
        for (std::size_t a = 0; a < k; ++a) g[a] += qp.qr[a];
    } else {
        mat_vec(qp.hessian(), k, k, x, hx.data());
        for (std::size_t a = 0; a < k; ++a) g[a] = hx[a] + qp.qr[a];
    }
    const double *nu = lam + k;
    mat_t_vec(qp.Ar.data(), rows, k, nu, r.data());
    double stat = -kInf, comp = 0.0, hx_max = 0.0, q_max = 0.0, x_max = 0.0;
    for (std::size_t a = 0; a < k; ++a) {
        r[a] += g[a];
        const double side = lam[a] > 0.0 ? 1.0 : lam[a] < 0.0 ? -1.0 : lam[a];  // NaN stays NaN
        const bool free = side == 0.0;
        stat = nan_max(stat, free ? std::abs(r[a]) : side * r[a]);
        const double slack = lam[a] > 0.0 ? above[a] : below[a];
        comp = nan_max(comp, std::abs(slack * (free ? 0.0 : r[a])));
        hx_max = nan_max(hx_max, std::abs(hx[a]));
        q_max = std::max(q_max, std::abs(qp.qr[a]));
        x_max = std::max(x_max, std::abs(x[a]));
    }
    for (std::size_t j = 0; j < rows; ++j) {
        const double slack = lam[k + j] > 0.0 ? above[k + j] : below[k + j];
        comp = nan_max(comp, std::abs(slack * nu[j]));
    }
    const double scale = std::max({hx_max, q_max, std::abs(qp.curvature) * x_max, 1e-300});
    return nan_max(stat, comp) / scale;
}

// The objective at x (all n) in the caller's units: s·(½xᵀPx + qᵀx), or s/2·‖F x − d‖²; the
// certificate's products are P x or F x themselves when nothing is fixed.
double objective(const SmallQp &qp, const std::vector<double> &x, Products &made) {
    const std::size_t n = qp.n;
    if (qp.least_squares) {
        std::vector<double> &fx = made.fx;
        if (qp.k < n) mat_vec(qp.F.data(), qp.t, n, x.data(), fx.data());
        double s = 0.0;
        for (std::size_t a = 0; a < qp.t; ++a) s += (qp.d[a] - fx[a]) * (qp.d[a] - fx[a]);
        return qp.scale * s / 2.0;
    }
    std::vector<double> &px = made.hx;
    if (qp.k < n) {
        px.resize(n);
        mat_vec(qp.P.data(), n, n, x.data(), px.data());
    }
    double quad = 0.0, lin = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        quad += x[i] * px[i];
        lin += qp.q[i] * x[i];
    }
    return qp.scale * (0.5 * quad + lin);
}

}  // namespace

SmallAnswer certify_small(const SmallQp &qp, const double *x_in, const double *lam, double primal_tol,
                          double dual_tol) {
    SmallAnswer out;
    const std::size_t k = qp.k, rows = qp.rows;
    if (!qp.usable || !all_finite(x_in, k)) return out;
    // A bound the solver holds (its multiplier nonzero) comes out a few 1e-16 off it, either side
    // (weights of −3e-15 or 2e-31 at a floor of 0); so may one it does not hold but meets. Within
    // primal_tol of such a bound the answer is put on it, and that point is the one certified and
    // returned; one further beyond is refused below as broken.
    std::vector<double> clipped(x_in, x_in + k);
    for (std::size_t a = 0; a < k; ++a) {
        double &v = clipped[a];
        const bool at_lo = lam[a] < 0.0 || v < qp.bl[a], at_hi = lam[a] > 0.0 || v > qp.bu[a];
        if (at_lo && std::abs(v - qp.bl[a]) <= primal_tol) v = qp.bl[a];
        if (at_hi && std::abs(v - qp.bu[a]) <= primal_tol) v = qp.bu[a];
    }
    const double *x = clipped.data();
    std::vector<double> z(k + rows), below(k + rows), above(k + rows);
    std::copy(x, x + k, z.begin());
    mat_vec(qp.Ar.data(), rows, k, x, z.data() + k);
    double broken = 0.0;
    for (std::size_t a = 0; a < k + rows; ++a) {
        below[a] = z[a] - qp.bl[a];  // slack to each side, negative where broken
        above[a] = qp.bu[a] - z[a];
        broken = nan_max(broken, nan_max(-below[a], -above[a]));
    }
    if (!(broken <= primal_tol)) return out;
    Products made;
    const double residual = kkt_residual(qp, x, lam, below, above, made);
    if (!(residual <= 1e-3 * dual_tol)) return out;
    out.x = qp.x_fixed;
    for (std::size_t a = 0; a < k; ++a) out.x[qp.kept[a]] = x[a];
    out.broken = broken;
    out.residual = residual;
    out.objective = objective(qp, out.x, made);
    for (std::size_t i = 0; i < qp.n; ++i) {
        if (!(std::abs(out.x[i]) <= kZero)) continue;
        out.zeros.push_back(i);
        out.zero_at_bound.push_back(std::abs(qp.lower[i]) <= kZero || std::abs(qp.upper[i]) <= kZero);
    }
    out.certified = true;
    return out;
}

double limits_broken(const SmallQp &qp, const double *x, const double *ax) {
    double worst = 0.0;
    for (std::size_t i = 0; i < qp.n; ++i) worst = nan_max(worst, nan_max(qp.lower[i] - x[i], x[i] - qp.upper[i]));
    for (std::size_t j = 0; j < qp.m; ++j) worst = nan_max(worst, nan_max(qp.lo[j] - ax[j], ax[j] - qp.hi[j]));
    return worst;
}

}  // namespace vela::core
