// Screening arithmetic on price and volume columns (column-major, NaN for missing).
#pragma once

#include <cstddef>

namespace vela::core {

// Days with volume exactly 0 (a missing volume is not 0).
std::size_t count_zero(const double *column, std::size_t rows);

// Days with a value present (not NaN).
std::size_t count_present(const double *column, std::size_t rows);

// Daily simple returns of a price column after forward filling: out[t-1] = p[t] / p[t-1] - 1
// for t = 1..rows-1 on the filled prices. Gaps before the first present price stay missing, so
// a return is NaN where either filled price is. Writes rows - 1 values (none when rows < 2).
void filled_returns(const double *prices, std::size_t rows, double *out);

}  // namespace vela::core
