#include "core/pair_sums.hpp"

#include <cstring>
#include <limits>

// The entry points are compiled twice on x86-64 with GCC: for the baseline ISA and for AVX2 with
// FMA, chosen once at load time by the CPU's features; the kernels are inlined into each clone
// (flatten) so that the whole loop nest uses the wider registers.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define VELA_SIMD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default"), flatten))
#else
#define VELA_SIMD_CLONES
#endif

namespace vela::core {

namespace {

// A pack of four doubles: one AVX register in the AVX2 clone, two SSE2 registers otherwise.
// Spelled out because left alone the compiler vectorises across rows (strided gathers and
// horizontal sums) rather than across the panel's columns.
#if defined(__GNUC__)
typedef double Pack __attribute__((vector_size(4 * sizeof(double))));
#else
using Pack = double;
#endif

template <class V>
constexpr std::size_t kLanes = sizeof(V) / sizeof(double);

constexpr std::size_t kPacks = kPanelWidth / kLanes<Pack>;  // per panel row
static_assert(kPacks * kLanes<Pack> == kPanelWidth);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Vectors are passed by reference: by value their ABI depends on the ISA.
template <class V>
inline void load(V &v, const double *p) {
    std::memcpy(&v, p, sizeof v);
}

template <class V>
inline void broadcast(V &v, double x) {
    v = V{} + x;
}

// Calls k.run(i, j0) for every column i and panel [j0, j0 + kPanelWidth) holding a column
// j ≥ i. The kernel keeps the results with i ≤ j < N only (the padding of the last panel and
// the panel's columns left of i are computed and dropped).
template <class Kernel>
void for_upper_panels(std::size_t n, Kernel &k) {
    for (std::size_t j0 = 0; j0 < n; j0 += kPanelWidth)
        for (std::size_t i = 0; i < n && i < j0 + kPanelWidth; ++i) k.run(i, j0);
}

// Row i of S over the panel from j0, zero in the padding.
inline void s_panel(const double *s, std::size_t n, std::size_t i, std::size_t j0, double *out) {
    for (std::size_t k = 0; k < kPanelWidth; ++k) out[k] = j0 + k < n ? s[i * n + j0 + k] : 0.0;
}

constexpr std::size_t L = kLanes<Pack>;
constexpr std::size_t W = kPanelWidth;

struct DenseCross {
    const Twofold &y;
    double *s;
    double scale;  // 1/(T − 1), multiplied as the two-pass estimator does

    void run(std::size_t i, std::size_t j0) const {
        Pack acc[kPacks] = {};
        const double *yi = y.col(i);
        for (std::size_t t = 0; t < y.rows; ++t) {
            const double *r = y.panel_row(j0, t);
            Pack b, yr;
            broadcast(b, yi[t]);
            for (std::size_t q = 0; q < kPacks; ++q) {
                load(yr, r + q * L);
                acc[q] += b * yr;
            }
        }
        double sum[W];
        std::memcpy(sum, acc, sizeof sum);
        const std::size_t n = y.cols;
        for (std::size_t j = j0 < i ? i : j0; j < j0 + W && j < n; ++j) s[i * n + j] = s[j * n + i] = sum[j - j0] * scale;
    }
};

struct PairwiseCross {
    const Twofold &z, &m;
    double *s;

    void run(std::size_t i, std::size_t j0) const {
        Pack c[kPacks] = {}, zi_sum[kPacks] = {}, zj_sum[kPacks] = {}, count[kPacks] = {};
        const double *zi = z.col(i), *mi = m.col(i);
        for (std::size_t t = 0; t < z.rows; ++t) {
            if (mi[t] == 0.0) continue;  // column i missing: row t holds no pair with it
            const double *zr = z.panel_row(j0, t), *mr = m.panel_row(j0, t);
            Pack b, zv, mv;
            broadcast(b, zi[t]);
            for (std::size_t q = 0; q < kPacks; ++q) {
                load(zv, zr + q * L);
                load(mv, mr + q * L);
                c[q] += b * zv;  // z_j = 0 where j is missing
                zi_sum[q] += b * mv;
                zj_sum[q] += zv;
                count[q] += mv;
            }
        }
        double cs[W], is[W], js[W], ns[W];
        std::memcpy(cs, c, sizeof cs);
        std::memcpy(is, zi_sum, sizeof is);
        std::memcpy(js, zj_sum, sizeof js);
        std::memcpy(ns, count, sizeof ns);
        const std::size_t n = z.cols;
        for (std::size_t j = j0 < i ? i : j0; j < j0 + W && j < n; ++j) {
            const std::size_t k = j - j0;
            double v = kNaN;
            if (ns[k] >= 2.0) {
                v = (cs[k] - is[k] * js[k] / ns[k]) / (ns[k] - 1.0);
                if (j == i && v < 0.0) v = 0.0;  // a variance; rounding of a constant column
            }
            s[i * n + j] = s[j * n + i] = v;
        }
    }
};

// Sums of p², a_i·p and a_j·p over a panel, and the number of terms in each.
struct Sums {
    double pp[W], ap_i[W], ap_j[W];
    double n_pp[W], n_ap_i[W], n_ap_j[W];
};

template <Presence P>
struct FourthMoments {
    const Twofold &y, &a;
    const Twofold *m;
    const double *s;
    const double *sigma;
    Moments totals;

    // Presence::all and ::masked: the terms need no test, so they are accumulated in packs.
    void packed(std::size_t i, std::size_t j0, Sums &out) const {
        double srow[W];
        s_panel(s, y.cols, i, j0, srow);
        Pack sij[kPacks], pp[kPacks] = {}, ap_i[kPacks] = {}, ap_j[kPacks] = {}, count[kPacks] = {};
        for (std::size_t q = 0; q < kPacks; ++q) load(sij[q], srow + q * L);
        const double *yi = y.col(i), *ai = a.col(i);
        const double *mi = P == Presence::masked ? m->col(i) : nullptr;
        for (std::size_t t = 0; t < y.rows; ++t) {
            if constexpr (P == Presence::masked)
                if (mi[t] == 0.0) continue;  // column i missing: no term of row t is present
            const double *yr = y.panel_row(j0, t), *ar = a.panel_row(j0, t);
            Pack by, ba, yv, av, p;
            broadcast(by, yi[t]);
            broadcast(ba, ai[t]);
            for (std::size_t q = 0; q < kPacks; ++q) {
                load(yv, yr + q * L);
                load(av, ar + q * L);
                if constexpr (P == Presence::masked) {
                    // y_j = a_j = 0 and m_j = 0 where j is missing, so p = 0 there
                    Pack mv;
                    load(mv, m->panel_row(j0, t) + q * L);
                    p = by * yv - sij[q] * mv;
                    count[q] += mv;
                } else {
                    p = by * yv - sij[q];
                }
                pp[q] += p * p;
                ap_i[q] += ba * p;
                ap_j[q] += av * p;
            }
        }
        std::memcpy(out.pp, pp, sizeof pp);
        std::memcpy(out.ap_i, ap_i, sizeof ap_i);
        std::memcpy(out.ap_j, ap_j, sizeof ap_j);
        if constexpr (P == Presence::all)
            for (double &c : out.n_pp) c = static_cast<double>(y.rows);
        else
            std::memcpy(out.n_pp, count, sizeof count);
        std::memcpy(out.n_ap_i, out.n_pp, sizeof out.n_pp);
        std::memcpy(out.n_ap_j, out.n_pp, sizeof out.n_pp);
    }

    // Presence::checked: each term tested; x == x is false exactly for NaN (a missing entry,
    // or ∞ − ∞ and 0·∞).
    void checked(std::size_t i, std::size_t j0, Sums &out) const {
        double srow[W];
        s_panel(s, y.cols, i, j0, srow);
        out = {};
        const double *yi = y.col(i), *ai = a.col(i);
        for (std::size_t t = 0; t < y.rows; ++t) {
            const double *yr = y.panel_row(j0, t), *ar = a.panel_row(j0, t);
            for (std::size_t k = 0; k < W; ++k) {
                const double p = yi[t] * yr[k] - srow[k];
                const double t1 = p * p, t2 = ai[t] * p, t3 = ar[k] * p;
                out.pp[k] += t1 == t1 ? t1 : 0.0;
                out.n_pp[k] += t1 == t1 ? 1.0 : 0.0;
                out.ap_i[k] += t2 == t2 ? t2 : 0.0;
                out.n_ap_i[k] += t2 == t2 ? 1.0 : 0.0;
                out.ap_j[k] += t3 == t3 ? t3 : 0.0;
                out.n_ap_j[k] += t3 == t3 ? 1.0 : 0.0;
            }
        }
    }

    void run(std::size_t i, std::size_t j0) {
        Sums sums;
        if constexpr (P == Presence::checked)
            checked(i, j0, sums);
        else
            packed(i, j0, sums);
        const std::size_t n = y.cols;
        for (std::size_t j = j0 < i ? i : j0; j < j0 + W && j < n; ++j) {
            const std::size_t k = j - j0;
            // A mean over no term is 0/0 = NaN, as the mean of an empty selection is.
            const double pi_ij = sums.pp[k] / sums.n_pp[k];
            if (pi_ij == pi_ij) totals.pi_total += j == i ? pi_ij : 2.0 * pi_ij;  // π̂ is symmetric
            if (j == i) {
                totals.pi_diag += pi_ij;
                continue;
            }
            const double theta_ij = sums.ap_i[k] / sums.n_ap_i[k], theta_ji = sums.ap_j[k] / sums.n_ap_j[k];
            totals.theta_weighted += 2.0 * (sigma[j] * theta_ij / sigma[i] + theta_ji / sigma[j] * sigma[i]);
        }
    }
};

template <Presence P>
Moments run_moments(const Twofold &y, const Twofold &a, const Twofold *m, const double *s, const double *sigma) {
    FourthMoments<P> k{y, a, m, s, sigma, {}};
    for_upper_panels(y.cols, k);
    return k.totals;
}

}  // namespace

VELA_SIMD_CLONES void dense_covariance(const Twofold &y, double *s) {
    const double scale = y.rows >= 2 ? 1.0 / static_cast<double>(y.rows - 1) : kNaN;
    DenseCross k{y, s, scale};
    for_upper_panels(y.cols, k);
}

VELA_SIMD_CLONES void pairwise_covariance(const Twofold &z, const Twofold &m, double *s) {
    PairwiseCross k{z, m, s};
    for_upper_panels(z.cols, k);
}

VELA_SIMD_CLONES Moments fourth_moments(Presence presence, const Twofold &y, const Twofold &a, const Twofold *m,
                                        const double *s, const double *sigma) {
    switch (presence) {
        case Presence::all:
            return run_moments<Presence::all>(y, a, m, s, sigma);
        case Presence::masked:
            return run_moments<Presence::masked>(y, a, m, s, sigma);
        case Presence::checked:
            break;
    }
    return run_moments<Presence::checked>(y, a, m, s, sigma);
}

}  // namespace vela::core
