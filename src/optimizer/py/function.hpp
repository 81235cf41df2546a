// The module's own function type: every published function, method and every objective,
// gradient and constraint closure is one of these. It behaves like a Python function to
// its callers (names, module, doc, defaults, signature, method binding, argument errors)
// while its body is native code.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vela::py {

namespace pyb = pybind11;

// Native state captured by a closure (copied inputs, positions, bounds). Owned by the function
// object and destroyed with it.
struct ClosureData {
    virtual ~ClosureData() = default;
    // Report Python references held by the data to the cycle collector.
    virtual int traverse(visitproc, void *) { return 0; }
};

struct Function;

// A body receives exactly one borrowed reference per parameter, defaults already filled in.
// It reports Python errors by throwing (pybind11::error_already_set or a C++ exception);
// the call wrapper converts every exception, so none escapes into the interpreter.
using Impl = pyb::object (*)(Function &self, PyObject *const *args);

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    Py_ssize_t nparams;
    PyObject *params;    // tuple of interned parameter names
    PyObject *defaults;  // tuple for the last parameters, or nullptr
    PyObject *name;      // str
    PyObject *qualname;  // str
    PyObject *module;    // any object, "vela_optimizer.optimizer" for ours
    PyObject *doc;       // any object, None by default
    PyObject *globals;   // the module's namespace, read at call time
    PyObject *dict;      // __dict__, created on demand
    PyObject *weakrefs;
    ClosureData *data;

    template <class T>
    T &closure() const {
        return *static_cast<T *>(data);
    }

    // The module global `name`, read now (a replaced global takes effect on the next call).
    // A missing name raises the host's NameError.
    pyb::object global(const char *name) const;
};

struct FunctionSpec {
    std::string_view name;
    std::string_view qualname;  // empty: same as name
    std::vector<const char *> params;
    Impl impl = nullptr;
    pyb::tuple defaults = pyb::tuple();  // values for the last len(defaults) parameters
    const char *doc = nullptr;
};

// Ready the type; called once by the module's initialisation before any function is made.
void ready_function_type();

// A new function object over `globals` (the module's namespace dict).
pyb::object make_function(PyObject *globals, const FunctionSpec &def, std::unique_ptr<ClosureData> data = nullptr);

// Bind a module-level function: qualified name = name, module = the module's __name__.
pyb::object publish(pyb::module_ &m, const FunctionSpec &def);

// A closure created inside `parent`: qualified name "<parent qualname>.<locals>.<name>",
// same module and globals as the parent.
pyb::object make_closure(const Function &parent, std::string_view name, std::vector<const char *> params, Impl impl,
                         std::unique_ptr<ClosureData> data);

bool is_function(PyObject *obj);

}  // namespace vela::py
