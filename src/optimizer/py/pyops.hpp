// Small Python-semantics helpers: comparisons, truth, unpacking, sums, each raising exactly what
// the host would raise for the same expression.
#pragma once

#include "py/function.hpp"

#include <utility>

namespace vela::py {

// bool(a <op> b) for a rich-comparison opcode (Py_LT, Py_GT, ...).
bool compare(pyb::handle a, pyb::handle b, int op);

// `v != v`: true for a float NaN (and anything else unequal to itself).
bool is_nan_like(pyb::handle v);

// `a, b = value`, with the host's unpacking errors.
std::pair<pyb::object, pyb::object> unpack2(pyb::handle value);

// The host's built-in sum(iterable) (start 0, left to right).
pyb::object builtin_sum(pyb::handle iterable);

}  // namespace vela::py
