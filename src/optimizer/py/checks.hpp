// Argument checks shared by the driver and the method functions: one test per fact, one message
// per argument. The two callers admit slightly different kinds of object (the driver tests
// numbers.Real, so True counts as 1; the methods take any number but a bool) and keep doing so.
#pragma once

#include "py/function.hpp"

namespace vela::py {

enum class Admit {
    Real,          // isinstance(value, numbers.Real), bool included
    NumberNotBool  // any object with the number protocol except a bool
};

// tol must be a finite number greater than 0: otherwise ×10 never reaches 1e-5 and the
// relaxation loop would not end. InvalidArgument "OPTIMIZER: tol 必须为正数，传入值为：{}".
void check_tol(const Function &f, pyb::handle tol, Admit admit);

// max_iteration must be an integer (not a bool) of at least 1: below 1, `nit >= max_iteration`
// would accept the first solve whatever its state. InvalidArgument
// "OPTIMIZER: max_iteration 必须为正整数，传入值为：{}".
void check_max_iteration(const Function &f, pyb::handle max_iteration);

// isinstance(v, numbers.Real), looked up per call.
bool is_real(pyb::handle v);

}  // namespace vela::py
