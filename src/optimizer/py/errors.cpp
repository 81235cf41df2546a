#include "py/errors.hpp"

namespace vela::py {

void raise_global(const Function &f, const char *exc_name, pyb::handle message) {
    pyb::object exc = f.global(exc_name)(message);
    // What `raise InvalidArgument(message)` does when the global no longer makes an exception.
    if (!PyExceptionInstance_Check(exc.ptr()))
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    else
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw pyb::error_already_set();
}

void warn(const Function &f, pyb::handle message) { f.global("warnings").attr("warn")(message); }

}  // namespace vela::py
