// Raising the module's exceptions and issuing its notices. Messages are built with the host's
// str.format, so numbers print as format() prints them (np.float64(0.5) as "0.5").
#pragma once

#include "py/function.hpp"

#include <utility>

namespace vela::py {

// Construct the module global `exc_name` (an exception class) with `message` as its only
// argument, set it as the current error and throw.
[[noreturn]] void raise_global(const Function &f, const char *exc_name, pyb::handle message);

template <class... A>
pyb::str format(const char *fmt, A &&...args) {
    return pyb::str(fmt).format(std::forward<A>(args)...);
}

template <class... A>
[[noreturn]] void invalid_argument(const Function &f, const char *fmt, A &&...args) {
    raise_global(f, "InvalidArgument", format(fmt, std::forward<A>(args)...));
}

template <class... A>
[[noreturn]] void optimization_failed(const Function &f, const char *fmt, A &&...args) {
    raise_global(f, "OptimizationFailed", format(fmt, std::forward<A>(args)...));
}

// warnings.warn(message), through the module's `warnings` global (default category).
void warn(const Function &f, pyb::handle message);

}  // namespace vela::py
