#include "core/pair_sums.hpp"

#include <cmath>
#include <limits>

namespace vela::core {

namespace {

// Panel width: eight doubles are one cache line per row, and two AVX (four SSE2) registers per
// accumulator array.
constexpr std::size_t kPanel = 8;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Calls k.template run<W>(i, j0) for every column i and panel [j0, j0 + W) holding a column
// j ≥ i; the kernel keeps the results with j ≥ i only. Full panels first, then the last
// columns one by one.
template <class Kernel>
void for_upper_panels(std::size_t n, Kernel &k) {
    std::size_t j0 = 0;
    for (; j0 + kPanel <= n; j0 += kPanel)
        for (std::size_t i = 0; i < j0 + kPanel; ++i) k.template run<kPanel>(i, j0);
    for (std::size_t j = j0; j < n; ++j)
        for (std::size_t i = 0; i <= j; ++i) k.template run<1>(i, j);
}

struct DenseCross {
    const Twofold &y;
    double *s;
    double scale;  // 1/(T − 1), multiplied like the two-pass estimator does

    template <std::size_t W>
    void run(std::size_t i, std::size_t j0) const {
        double acc[W] = {};
        const double *yi = y.col(i);
        for (std::size_t t = 0; t < y.rows; ++t) {
            const double *r = y.row(t) + j0;
            for (std::size_t k = 0; k < W; ++k) acc[k] += yi[t] * r[k];
        }
        const std::size_t n = y.cols;
        for (std::size_t k = 0; k < W; ++k) {
            const std::size_t j = j0 + k;
            if (j >= i) s[i * n + j] = s[j * n + i] = acc[k] * scale;
        }
    }
};

struct PairwiseCross {
    const Twofold &z, &m;
    double *s;

    template <std::size_t W>
    void run(std::size_t i, std::size_t j0) const {
        double c[W] = {}, zi_sum[W] = {}, zj_sum[W] = {}, count[W] = {};
        const double *zi = z.col(i), *mi = m.col(i);
        for (std::size_t t = 0; t < z.rows; ++t) {
            const double *zr = z.row(t) + j0, *mr = m.row(t) + j0;
            for (std::size_t k = 0; k < W; ++k) {
                c[k] += zi[t] * zr[k];  // zero unless both are present
                zi_sum[k] += zi[t] * mr[k];
                zj_sum[k] += mi[t] * zr[k];
                count[k] += mi[t] * mr[k];
            }
        }
        const std::size_t n = z.cols;
        for (std::size_t k = 0; k < W; ++k) {
            const std::size_t j = j0 + k;
            if (j < i) continue;
            double v = kNaN;
            if (count[k] >= 2.0) {
                v = (c[k] - zi_sum[k] * zj_sum[k] / count[k]) / (count[k] - 1.0);
                if (j == i && v < 0.0) v = 0.0;  // a variance; rounding of a constant column
            }
            s[i * n + j] = s[j * n + i] = v;
        }
    }
};

template <bool Checked>
struct FourthMoments {
    const Twofold &y, &a;
    const double *s;
    double *theta;
    Moments sums;

    template <std::size_t W>
    void run(std::size_t i, std::size_t j0) {
        const std::size_t n = y.cols;
        double sij[W];
        for (std::size_t k = 0; k < W; ++k) sij[k] = s[i * n + j0 + k];
        double pp[W] = {}, ap_i[W] = {}, ap_j[W] = {};
        double n_pp[W] = {}, n_ap_i[W] = {}, n_ap_j[W] = {};
        const double *yi = y.col(i), *ai = a.col(i);
        for (std::size_t t = 0; t < y.rows; ++t) {
            const double *yr = y.row(t) + j0, *ar = a.row(t) + j0;
            for (std::size_t k = 0; k < W; ++k) {
                const double p = yi[t] * yr[k] - sij[k];
                const double t1 = p * p, t2 = ai[t] * p, t3 = ar[k] * p;
                if constexpr (Checked) {
                    // x == x is false exactly for NaN: a missing entry, or ∞ − ∞ and 0·∞.
                    pp[k] += t1 == t1 ? t1 : 0.0;
                    n_pp[k] += t1 == t1 ? 1.0 : 0.0;
                    ap_i[k] += t2 == t2 ? t2 : 0.0;
                    n_ap_i[k] += t2 == t2 ? 1.0 : 0.0;
                    ap_j[k] += t3 == t3 ? t3 : 0.0;
                    n_ap_j[k] += t3 == t3 ? 1.0 : 0.0;
                } else {
                    pp[k] += t1;
                    ap_i[k] += t2;
                    ap_j[k] += t3;
                }
            }
        }
        const double rows = static_cast<double>(y.rows);
        for (std::size_t k = 0; k < W; ++k) {
            const std::size_t j = j0 + k;
            if (j < i) continue;
            // A mean over no term is 0/0 = NaN, as the mean of an empty selection is.
            const double pi_ij = pp[k] / (Checked ? n_pp[k] : rows);
            if (pi_ij == pi_ij) sums.pi_total += j == i ? pi_ij : 2.0 * pi_ij;  // π̂ is symmetric
            if (j == i) {
                sums.pi_diag += pi_ij;
                continue;
            }
            theta[i * n + j] = ap_i[k] / (Checked ? n_ap_i[k] : rows);
            theta[j * n + i] = ap_j[k] / (Checked ? n_ap_j[k] : rows);
        }
    }
};

}  // namespace

void dense_covariance(const Twofold &y, double *s) {
    const double scale = y.rows >= 2 ? 1.0 / static_cast<double>(y.rows - 1) : kNaN;
    DenseCross k{y, s, scale};
    for_upper_panels(y.cols, k);
}

void pairwise_covariance(const Twofold &z, const Twofold &m, double *s) {
    PairwiseCross k{z, m, s};
    for_upper_panels(z.cols, k);
}

Moments fourth_moments(const Twofold &y, const Twofold &a, const double *s, bool checked, double *theta) {
    if (checked) {
        FourthMoments<true> k{y, a, s, theta, {}};
        for_upper_panels(y.cols, k);
        return k.sums;
    }
    FourthMoments<false> k{y, a, s, theta, {}};
    for_upper_panels(y.cols, k);
    return k.sums;
}

}  // namespace vela::core
