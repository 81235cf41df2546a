#include "core/objectives.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace vela::core {

namespace {

// Σ_(k=1..n−1) k·(n − k)·(s_k − s_(k−1)) over sorted values: all terms ≥ 0.
double weighted_gaps(const double *s, std::size_t n) {
    const double dn = static_cast<double>(n);
    double acc[4] = {};
    std::size_t k = 1;
    for (; k + 4 <= n; k += 4)
        for (std::size_t l = 0; l < 4; ++l) {
            const double dk = static_cast<double>(k + l);
            acc[l] += dk * (dn - dk) * (s[k + l] - s[k + l - 1]);
        }
    double sum = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    for (; k < n; ++k) {
        const double dk = static_cast<double>(k);
        sum += dk * (dn - dk) * (s[k] - s[k - 1]);
    }
    return sum;
}

}  // namespace

double usable_scale(double s) { return (std::isfinite(s) && s > 0.0) ? s : 1.0; }

// ---- Covariance ----

Covariance::Covariance(std::vector<double> rows, std::size_t n) : n_(n), rows_(std::move(rows)) {
    packed_.reserve(n * (n + 1) / 2);
    for (std::size_t i = 0; i < n; ++i) {
        packed_.push_back(rows_[i * n + i]);
        for (std::size_t j = i + 1; j < n; ++j) packed_.push_back(rows_[i * n + j] + rows_[j * n + i]);
    }
}

double Covariance::quad(const double *x) const {
    double s = 0.0;
    const double *row = packed_.data();
    for (std::size_t i = 0; i < n_; ++i) {
        const std::size_t m = n_ - i;  // row i holds P_ii, P_i(i+1), …, P_i(n−1)
        s += x[i] * (row[0] * x[i] + dot(row + 1, x + i + 1, m - 1));
        row += m;
    }
    return s;
}

double Covariance::mean_diagonal() const {
    double s = 0.0;
    for (std::size_t i = 0; i < n_; ++i) s += rows_[i * n_ + i];
    return s / static_cast<double>(n_);
}

std::vector<double> Covariance::transposed() const {
    std::vector<double> t(n_ * n_);
    for (std::size_t i = 0; i < n_; ++i)
        for (std::size_t j = 0; j < n_; ++j) t[j * n_ + i] = rows_[i * n_ + j];
    return t;
}

// ---- risk parity ----

double LogBarrierRiskParity::value(const double *x) const {
    double logs = 0.0;
    for (std::size_t i = 0; i < cov.size(); ++i) logs += std::log(x[i]);
    return cov.quad(x) - barrier * logs;
}

void LogBarrierRiskParity::gradient(const double *x, double *g) const {
    cov.times(x, g);
    for (std::size_t i = 0; i < cov.size(); ++i) g[i] = 2.0 * g[i] - barrier * (1.0 / x[i]);
}

PairwiseAbsDiff::PairwiseAbsDiff(std::size_t n) : n_(n), sorted_(n), bucket_end_(2 * n + 1), bucket_of_(n) {}

// Bucket sort: value v goes to bucket ⌊(v − lo)·scale⌋ of 2n equal-width buckets spanning
// [lo, hi]. Rounding is monotone, so the buckets are in order; only values sharing a bucket
// can be out of order. Small buckets are finished by one insertion pass (O(n) moves in
// all); if any bucket holds more than 16 values, each bucket is sorted on its own instead,
// which keeps the worst case at O(n log n) for clustered values.
void PairwiseAbsDiff::sort_into_buckets(const double *v, double lo, double scale) {
    const std::size_t buckets = 2 * n_;
    const double top = static_cast<double>(buckets - 1);
    std::uint32_t *end = bucket_end_.data();
    std::fill(end, end + buckets + 1, 0u);
    for (std::size_t i = 0; i < n_; ++i) {
        const double f = std::min((v[i] - lo) * scale, top);  // ≥ 0, as v ≥ lo
        const auto b = static_cast<std::uint32_t>(f);
        bucket_of_[i] = b;
        ++end[b + 1];
    }
    std::uint32_t largest = 0;
    for (std::size_t b = 1; b <= buckets; ++b) {
        largest = std::max(largest, end[b]);
        end[b] += end[b - 1];
    }
    for (std::size_t i = 0; i < n_; ++i) sorted_[end[bucket_of_[i]]++] = v[i];  // end[b]: end of bucket b
    double *s = sorted_.data();
    if (largest <= 16) {
        for (std::size_t i = 1; i < n_; ++i) {
            const double t = s[i];
            std::size_t j = i;
            while (j > 0 && s[j - 1] > t) {
                s[j] = s[j - 1];
                --j;
            }
            s[j] = t;
        }
        return;
    }
    std::size_t start = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        if (end[b] - start > 1) std::sort(s + start, s + end[b]);
        start = end[b];
    }
}

double PairwiseAbsDiff::operator()(const double *v) {
    if (n_ < 2) return 0.0;
    // Range and NaN test in four independent lanes, so that the loop vectorises.
    double lo4[4] = {v[0], v[0], v[0], v[0]}, hi4[4] = {v[0], v[0], v[0], v[0]};
    bool nan4[4] = {};
    std::size_t i = 0;
    for (; i + 4 <= n_; i += 4)
        for (std::size_t l = 0; l < 4; ++l) {
            const double t = v[i + l];
            lo4[l] = t < lo4[l] ? t : lo4[l];
            hi4[l] = t > hi4[l] ? t : hi4[l];
            nan4[l] |= t != t;
        }
    for (; i < n_; ++i) {
        lo4[0] = std::min(lo4[0], v[i]);
        hi4[0] = std::max(hi4[0], v[i]);
        nan4[0] |= std::isnan(v[i]);
    }
    if (nan4[0] || nan4[1] || nan4[2] || nan4[3]) return std::numeric_limits<double>::quiet_NaN();
    const double lo = std::min(std::min(lo4[0], lo4[1]), std::min(lo4[2], lo4[3]));
    const double hi = std::max(std::max(hi4[0], hi4[1]), std::max(hi4[2], hi4[3]));
    const double scale = static_cast<double>(2 * n_) / (hi - lo);
    if (hi > lo && std::isfinite(hi - lo) && std::isfinite(scale)) {
        sort_into_buckets(v, lo, scale);
    } else {  // all equal, infinite, or too close for the bucket scale: a plain sort
        std::copy(v, v + n_, sorted_.begin());
        std::sort(sorted_.begin(), sorted_.end());
    }
    return weighted_gaps(sorted_.data(), n_);
}

RiskContributionSpread::RiskContributionSpread(Covariance cov)
    : cov_(std::move(cov)), rc_(cov_.size()), pairwise_(cov_.size()) {}

double RiskContributionSpread::value(const double *x) {
    cov_.times(x, rc_.data());
    for (std::size_t i = 0; i < rc_.size(); ++i) rc_[i] *= x[i];
    return pairwise_(rc_.data());
}

// ---- variance ----

void MinVariance::gradient(const double *x, double *g) const {
    cov.times(x, g);
    for (std::size_t i = 0; i < cov.size(); ++i) g[i] *= 2.0;
}

double MeanVariance::value(const double *x) const {
    return (lambda / 2.0) * cov.quad(x) - dot(x, mu.data(), mu.size());
}

void MeanVariance::gradient(const double *x, double *g) const {
    mat_vec(transposed.data(), x, g, mu.size());
    for (std::size_t j = 0; j < mu.size(); ++j) g[j] = lambda * g[j] - mu[j];
}

// ---- tracking error ----

TrackingError::TrackingError(const double *table, const double *benchmark, std::size_t days, std::size_t n) : n_(n) {
    for (std::size_t t = 0; t < days; ++t) {
        const double *row = table + t * n;
        bool complete = !std::isnan(benchmark[t]);
        for (std::size_t i = 0; i < n && complete; ++i) complete = !std::isnan(row[i]);
        if (!complete) continue;
        rows_.insert(rows_.end(), row, row + n);
        bench_.push_back(benchmark[t]);
    }
}

double TrackingError::value(const double *x) const {
    double s = 0.0;
    for (std::size_t t = 0; t < bench_.size(); ++t) {
        const double d = bench_[t] - dot(rows_.data() + t * n_, x, n_);
        s += d * d;
    }
    return s;
}

double TrackingError::mean_column_square_sum() const {
    double s = 0.0;
    for (double r : rows_) s += r * r;
    return s / static_cast<double>(n_);
}

}  // namespace vela::core
