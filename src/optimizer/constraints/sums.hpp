// Sums of bounds against the budget of 1: the host's sum, then, where it refuses, the exact sum.
#pragma once

#include "py/function.hpp"

#include <vector>

namespace vela {

// The sign of (sum of xs) - target, computed exactly: Shewchuk's partials (as math.fsum keeps
// them) hold the running sum as non-overlapping doubles of increasing magnitude, whose sum is the
// exact sum, and whose sign is that of the largest non-zero one. -1, 0 or +1.
int exact_sign_of_sum(const std::vector<double> &xs, double target);

// Whether the bounds `values` sum beyond 1: below it for op == Py_LT (caps), above it for
// op == Py_GT (floors). Their sum as the host computes it (`host_sum`: sum(), or a left-to-right
// chain of +) decides first; a refusal stands only when,
// with every value a Python float or int, their exact sum is beyond 1 too: the rounding of a long
// sum (2,953 caps of 1/2953 sum to 0.999999999999944 in floats, 1 + 5e-17 exactly) refuses no
// bounds that meet the budget. Values of other types (numpy scalars, fractions) keep the host's sum.
bool sum_beyond_one(pybind11::handle host_sum, const pybind11::list &values, int op);

}  // namespace vela
