// Times the core's sorted pairwise sum Σ_(i<j) |v_i − v_j| without any interpreter in the
// loop; loaded by bench_methods.py through ctypes. Not part of the extension.
#include "core/objectives.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>

extern "C" double vela_pairwise_seconds(const double *vectors, std::size_t n, std::size_t count, int repeats,
                                        double *sums) {
    vela::core::PairwiseAbsDiff pairwise(n);
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < count; ++k) sums[k] = pairwise(vectors + k * n);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / static_cast<double>(count));
    }
    return best;
}
