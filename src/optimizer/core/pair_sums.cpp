#include "core/pair_sums.hpp"
#include "core/simd.hpp"

#include <cstring>
#include <limits>

namespace vela::core {

namespace {

// A pack of four doubles: one AVX register in the AVX2 clone, two SSE2 registers otherwise.
// Spelled out because left alone the compiler vectorises across rows (strided gathers and
// horizontal sums) rather than across the panel's columns.
#if defined(__GNUC__)
typedef double Pack __attribute__((vector_size(4 * sizeof(double))));
// The same pack read from any double address: one unaligned vector load.
typedef double UnalignedPack __attribute__((vector_size(4 * sizeof(double)), aligned(alignof(double)), may_alias));
#else
using Pack = double;
using UnalignedPack = double;
#endif

template <class V>
constexpr std::size_t kLanes = sizeof(V) / sizeof(double);

constexpr std::size_t kPacks = kPanelWidth / kLanes<Pack>;  // per panel row
static_assert(kPacks * kLanes<Pack> == kPanelWidth);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Vectors are passed by reference: by value their ABI depends on the ISA.
inline void load(Pack &v, const double *p) { v = *reinterpret_cast<const UnalignedPack *>(p); }

template <class V>
inline void broadcast(V &v, double x) {
    if constexpr (kLanes<V> == 4)
        v = V{x, x, x, x};  // one vbroadcastsd
    else
        v = x;
}

// Calls k.template run<R>(i, j0) for every block of R columns from i and panel
// [j0, j0 + kPanelWidth) holding a column j ≥ i. The kernel keeps the results with i ≤ j < N
// only (the padding of the last panel and the panel's columns left of i are computed and
// dropped). With R = 2 each panel row is loaded once for two columns and the accumulators form
// twice as many independent chains, hiding an FMA's latency; kernels with more accumulators
// than registers allow use R = 1.
template <std::size_t R, class Kernel>
void for_upper_panels(std::size_t n, Kernel &k) {
    for (std::size_t j0 = 0; j0 < n; j0 += kPanelWidth) {
        const std::size_t end = n < j0 + kPanelWidth ? n : j0 + kPanelWidth;
        std::size_t i = 0;
        for (; i + R <= end; i += R) k.template run<R>(i, j0);
        for (; i < end; ++i) k.template run<1>(i, j0);
    }
}

constexpr std::size_t L = kLanes<Pack>;
constexpr std::size_t W = kPanelWidth;

// Where a mask's missing entries end: every row from col[j] on is present in column j, every
// row from panel[j0 / W] on in all the real columns of panel j0. Leading gaps, the usual kind,
// leave the long tail of the table complete, where the kernels run without masks.
struct CompleteFrom {
    std::vector<std::size_t> col, panel;

    explicit CompleteFrom(const Twofold &m) : col(m.cols, 0), panel((m.cols + W - 1) / W, 0) {
        for (std::size_t j = 0; j < m.cols; ++j) {
            const double *mj = m.col(j);
            for (std::size_t t = m.rows; t > 0; --t)
                if (mj[t - 1] == 0.0) {
                    col[j] = t;
                    break;
                }
            std::size_t &p = panel[j / W];
            p = p < col[j] ? col[j] : p;
        }
    }
    std::size_t start(std::size_t i, std::size_t j0) const {
        const std::size_t a = col[i], b = panel[j0 / W];
        return a < b ? b : a;
    }
};

struct DenseCross {
    const Twofold &y;
    PanelMatrix &s;
    double scale;  // 1/(T − 1), multiplied as the two-pass estimator does

    template <std::size_t R>
    void run(std::size_t i, std::size_t j0) const {
        Pack acc[R][kPacks] = {};
        for (std::size_t t = 0; t < y.rows; ++t) {
            const double *row = y.panel_row(j0, t);
            Pack yv[kPacks];
            for (std::size_t q = 0; q < kPacks; ++q) load(yv[q], row + q * L);
            for (std::size_t r = 0; r < R; ++r) {
                Pack b;
                broadcast(b, y.col(i + r)[t]);
                for (std::size_t q = 0; q < kPacks; ++q) acc[r][q] += b * yv[q];
            }
        }
        for (std::size_t r = 0; r < R; ++r) {
            double sum[W];
            std::memcpy(sum, acc[r], sizeof sum);
            double *out = s.block(i + r, j0);
            for (std::size_t k = 0; k < W; ++k) out[k] = j0 + k < y.cols ? sum[k] * scale : 0.0;
        }
    }
};

struct PairwiseCross {
    const Twofold &z, &m;
    const CompleteFrom &from;
    PanelMatrix &s;

    template <std::size_t R>
    void run(std::size_t i, std::size_t j0) const {
        static_assert(R == 1);
        Pack c[kPacks] = {}, zi_sum[kPacks] = {}, zj_sum[kPacks] = {}, count[kPacks] = {};
        const double *zi = z.col(i), *mi = m.col(i);
        const std::size_t complete = from.start(i, j0);
        for (std::size_t t = 0; t < complete; ++t) {
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
        // The complete rows: every mask is 1, so Σ z_i and the count are the same in each lane.
        double zi_tail = 0.0;
        for (std::size_t t = complete; t < z.rows; ++t) {
            const double *zr = z.panel_row(j0, t);
            Pack b, zv;
            broadcast(b, zi[t]);
            zi_tail += zi[t];
            for (std::size_t q = 0; q < kPacks; ++q) {
                load(zv, zr + q * L);
                c[q] += b * zv;
                zj_sum[q] += zv;
            }
        }
        for (std::size_t q = 0; q < kPacks; ++q) {
            zi_sum[q] += zi_tail;
            count[q] += static_cast<double>(z.rows - complete);
        }
        double cs[W], is[W], js[W], ns[W];
        std::memcpy(cs, c, sizeof cs);
        std::memcpy(is, zi_sum, sizeof is);
        std::memcpy(js, zj_sum, sizeof js);
        std::memcpy(ns, count, sizeof ns);
        double *out = s.block(i, j0);
        for (std::size_t k = 0; k < W; ++k) {
            const std::size_t j = j0 + k;
            double v = j < z.cols ? kNaN : 0.0;
            if (j < z.cols && ns[k] >= 2.0) {
                v = (cs[k] - is[k] * js[k] / ns[k]) / (ns[k] - 1.0);
                if (j == i && v < 0.0) v = 0.0;  // a variance; rounding of a constant column
            }
            out[k] = v;
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
    const CompleteFrom *from;  // Presence::masked only
    const PanelMatrix &s;
    const double *sigma;
    Moments totals;

    // Presence::all and ::masked: the terms need no test, so they are accumulated in packs.
    // Masked, the rows before `complete` weigh s_ij with the mask (y and a are 0 where
    // missing, so p = 0 there); from `complete` on nothing is missing.
    template <std::size_t R>
    void packed(std::size_t i, std::size_t j0, Sums (&out)[R]) const {
        Pack sij[R][kPacks], pp[R][kPacks] = {}, ap_i[R][kPacks] = {}, ap_j[R][kPacks] = {}, count[R][kPacks] = {};
        for (std::size_t r = 0; r < R; ++r)
            for (std::size_t q = 0; q < kPacks; ++q) load(sij[r][q], s.block(i + r, j0) + q * L);
        std::size_t complete = 0;
        if constexpr (P == Presence::masked) {
            for (std::size_t r = 0; r < R; ++r) {
                const std::size_t c = from->start(i + r, j0);
                complete = complete < c ? c : complete;
            }
            for (std::size_t t = 0; t < complete; ++t) {
                const double *yr = y.panel_row(j0, t), *ar = a.panel_row(j0, t), *mr = m->panel_row(j0, t);
                for (std::size_t r = 0; r < R; ++r) {
                    if (m->col(i + r)[t] == 0.0) continue;  // column i + r missing: no term present
                    Pack by, ba, yv, av, mv, p;
                    broadcast(by, y.col(i + r)[t]);
                    broadcast(ba, a.col(i + r)[t]);
                    for (std::size_t q = 0; q < kPacks; ++q) {
                        load(yv, yr + q * L);
                        load(av, ar + q * L);
                        load(mv, mr + q * L);
                        p = by * yv - sij[r][q] * mv;
                        count[r][q] += mv;
                        pp[r][q] += p * p;
                        ap_i[r][q] += ba * p;
                        ap_j[r][q] += av * p;
                    }
                }
            }
        }
        for (std::size_t t = complete; t < y.rows; ++t) {
            const double *yr = y.panel_row(j0, t), *ar = a.panel_row(j0, t);
            Pack yv[kPacks], av[kPacks];
            for (std::size_t q = 0; q < kPacks; ++q) {
                load(yv[q], yr + q * L);
                load(av[q], ar + q * L);
            }
            for (std::size_t r = 0; r < R; ++r) {
                Pack by, ba, p;
                broadcast(by, y.col(i + r)[t]);
                broadcast(ba, a.col(i + r)[t]);
                for (std::size_t q = 0; q < kPacks; ++q) {
                    p = by * yv[q] - sij[r][q];
                    pp[r][q] += p * p;
                    ap_i[r][q] += ba * p;
                    ap_j[r][q] += av[q] * p;
                }
            }
        }
        for (std::size_t r = 0; r < R; ++r) {
            for (std::size_t q = 0; q < kPacks; ++q) count[r][q] += static_cast<double>(y.rows - complete);
            Sums &o = out[r];
            std::memcpy(o.pp, pp[r], sizeof o.pp);
            std::memcpy(o.ap_i, ap_i[r], sizeof o.ap_i);
            std::memcpy(o.ap_j, ap_j[r], sizeof o.ap_j);
            std::memcpy(o.n_pp, count[r], sizeof o.n_pp);
            std::memcpy(o.n_ap_i, o.n_pp, sizeof o.n_pp);
            std::memcpy(o.n_ap_j, o.n_pp, sizeof o.n_pp);
        }
    }

    // Presence::checked: each term tested; x == x is false exactly for NaN (a missing entry,
    // or ∞ − ∞ and 0·∞).
    void checked(std::size_t i, std::size_t j0, Sums &out) const {
        const double *srow = s.block(i, j0);
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

    template <std::size_t R>
    void run(std::size_t i, std::size_t j0) {
        Sums sums[R];
        if constexpr (P == Presence::checked)
            for (std::size_t r = 0; r < R; ++r) checked(i + r, j0, sums[r]);
        else
            packed<R>(i, j0, sums);
        for (std::size_t r = 0; r < R; ++r) finish(i + r, j0, sums[r]);
    }

    // π̂ and the weighted ϑ̂ of the pairs (i, j), i ≤ j, of one panel.
    void finish(std::size_t i, std::size_t j0, const Sums &sums) {
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
Moments run_moments(const Twofold &y, const Twofold &a, const Twofold *m, const PanelMatrix &s, const double *sigma) {
    const CompleteFrom *from = nullptr;
    std::vector<CompleteFrom> owner;
    if (P == Presence::masked) from = &owner.emplace_back(*m);
    FourthMoments<P> k{y, a, m, from, s, sigma, {}};
    for_upper_panels<P == Presence::all ? 2 : 1>(y.cols, k);
    return k.totals;
}

}  // namespace

VELA_SIMD_CLONES void dense_covariance(const Twofold &y, PanelMatrix &s) {
    const double scale = y.rows >= 2 ? 1.0 / static_cast<double>(y.rows - 1) : kNaN;
    DenseCross k{y, s, scale};
    for_upper_panels<2>(y.cols, k);
}

VELA_SIMD_CLONES void pairwise_covariance(const Twofold &z, const Twofold &m, PanelMatrix &s) {
    const CompleteFrom from(m);
    PairwiseCross k{z, m, from, s};
    for_upper_panels<1>(z.cols, k);
}

VELA_SIMD_CLONES Moments fourth_moments(Presence presence, const Twofold &y, const Twofold &a, const Twofold *m,
                                        const PanelMatrix &s, const double *sigma) {
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
