#include "core/screening.hpp"

#include <cmath>

namespace vela::core {

std::size_t count_zero(const double *column, std::size_t rows) {
    std::size_t n = 0;
    for (std::size_t t = 0; t < rows; ++t) n += column[t] == 0.0;
    return n;
}

std::size_t count_present(const double *column, std::size_t rows) {
    std::size_t n = 0;
    for (std::size_t t = 0; t < rows; ++t) n += !std::isnan(column[t]);
    return n;
}

void filled_returns(const double *prices, std::size_t rows, double *out) {
    if (rows < 2) return;
    double prev = prices[0];  // NaN until the first present price
    for (std::size_t t = 1; t < rows; ++t) {
        const double p = std::isnan(prices[t]) ? prev : prices[t];
        out[t - 1] = p / prev - 1.0;  // NaN while prev is still missing
        prev = p;
    }
}

}  // namespace vela::core
