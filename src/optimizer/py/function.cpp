#include "py/function.hpp"

#include <structmember.h>

#include <cstddef>
#include <new>

namespace vela::py {

namespace {

PyTypeObject *FunctionType = nullptr;  // heap type, created once by ready_function_type()

Function *as_function(PyObject *o) { return reinterpret_cast<Function *>(o); }

// ---- argument binding, with the same TypeError texts as the host's own functions ----

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
PyObject *join_missing(const std::vector<PyObject *> &names) {
    pyb::list reprs;
    for (PyObject *n : names) reprs.append(pyb::repr(n));
    const std::size_t k = names.size();
    if (k == 1) return reprs[0].cast<pyb::object>().release().ptr();
    if (k == 2) return pyb::str("{} and {}").format(reprs[0], reprs[1]).release().ptr();
    pyb::list head;
    for (std::size_t i = 0; i + 1 < k; ++i) head.append(reprs[i]);
    pyb::str joined = pyb::str(", ").attr("join")(head);
    return pyb::str("{}, and {}").format(joined, reprs[k - 1]).release().ptr();
}

void raise_missing(Function *f, const std::vector<PyObject *> &names) {
    pyb::object joined = pyb::reinterpret_steal<pyb::object>(join_missing(names));
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname,
                 static_cast<Py_ssize_t>(names.size()), names.size() == 1 ? "" : "s", joined.ptr());
}

void raise_too_many(Function *f, Py_ssize_t given) {
    const Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    const Py_ssize_t n = f->nparams;
    pyb::str sig = ndef ? pyb::str("from {} to {}").format(n - ndef, n) : pyb::str(std::to_string(n));
    const bool plural = ndef ? true : n != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname, sig.ptr(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
}

PyObject *invoke(Function *f, PyObject *const *args) {
    try {
        return f->impl(*f, args).release().ptr();
    } catch (pyb::error_already_set &e) {
        e.restore();
    } catch (pyb::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    }
    return nullptr;
}

// Binds positional and keyword arguments to parameter slots in the host's order of checks:
// keywords (unknown, repeated), then the positional count, then the missing ones.
PyObject *bind_and_invoke(Function *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) try {
    const Py_ssize_t n = f->nparams;
    std::vector<PyObject *> slots(static_cast<std::size_t>(n), nullptr);
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = 0;
        for (; j < n; ++j)
            if (PyTuple_GET_ITEM(f->params, j) == key) break;
        if (j == n) {
            for (j = 0; j < n; ++j) {
                const int eq = PyObject_RichCompareBool(key, PyTuple_GET_ITEM(f->params, j), Py_EQ);
                if (eq < 0) return nullptr;
                if (eq) break;
            }
        }
        if (j == n) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            return nullptr;
        }
        if (slots[j]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            return nullptr;
        }
        slots[j] = args[nargs + k];
    }
    if (nargs > n) {
        raise_too_many(f, nargs);
        return nullptr;
    }
    const Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    std::vector<PyObject *> missing;
    for (Py_ssize_t i = nargs; i < n - ndef; ++i)
        if (!slots[i]) missing.push_back(PyTuple_GET_ITEM(f->params, i));
    if (!missing.empty()) {
        raise_missing(f, missing);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < ndef; ++i)
        if (!slots[n - ndef + i]) slots[n - ndef + i] = PyTuple_GET_ITEM(f->defaults, i);
    return invoke(f, slots.data());
} catch (pyb::error_already_set &e) {  // raised while composing an argument error's text
    e.restore();
    return nullptr;
} catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return nullptr;
} catch (const std::exception &e) {  // nothing may unwind into the interpreter's C frames
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
} catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    return nullptr;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Function *f = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The objective and gradient path: exactly the parameters, by position.
    if (!kwnames && nargs == f->nparams) return invoke(f, args);
    return bind_and_invoke(f, args, nargs, kwnames);
}

// ---- type slots ----

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Function *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->params);
    Py_VISIT(f->defaults);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    if (f->data) return f->data->traverse(visit, arg);
    return 0;
}

int function_clear(PyObject *self) {
    Function *f = as_function(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    Function *f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->data;
    f->data = nullptr;
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Functions bind to instances like the host's functions, so the constraint classes' methods
// receive `self`.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }
PyObject *get_module(PyObject *self, void *) { return Py_NewRef(as_function(self)->module); }
PyObject *get_doc(PyObject *self, void *) { return Py_NewRef(as_function(self)->doc); }
PyObject *get_defaults(PyObject *self, void *) {
    PyObject *d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

int set_str(PyObject **slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *v, void *) { return set_str(&as_function(self)->name, v, "__name__"); }
int set_qualname(PyObject *self, PyObject *v, void *) {
    return set_str(&as_function(self)->qualname, v, "__qualname__");
}
int set_any(PyObject **slot, PyObject *value) {
    Py_SETREF(*slot, Py_NewRef(value ? value : Py_None));
    return 0;
}
int set_module(PyObject *self, PyObject *v, void *) { return set_any(&as_function(self)->module, v); }
int set_doc(PyObject *self, PyObject *v, void *) { return set_any(&as_function(self)->doc, v); }

// inspect.signature and help() read this: every parameter is positional-or-keyword.
PyObject *get_signature(PyObject *self, void *) {
    Function *f = as_function(self);
    try {
        pyb::module_ inspect = pyb::module_::import("inspect");
        pyb::object Parameter = inspect.attr("Parameter");
        pyb::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
        const Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        pyb::list params;
        for (Py_ssize_t i = 0; i < f->nparams; ++i) {
            pyb::handle name = PyTuple_GET_ITEM(f->params, i);
            if (i >= f->nparams - ndef)
                params.append(Parameter(
                    name, kind,
                    pyb::arg("default") = pyb::handle(PyTuple_GET_ITEM(f->defaults, i - (f->nparams - ndef)))));
            else
                params.append(Parameter(name, kind));
        }
        return inspect.attr("Signature")(params).release().ptr();
    } catch (pyb::error_already_set &e) {
        e.restore();
        return nullptr;
    } catch (const std::exception &e) {  // a getter is called from C: nothing may unwind through it
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// Pickled by reference, like the host's module-level functions.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

pyb::object Function::global(const char *key) const {
    PyObject *value = PyDict_GetItemString(globals, key);  // borrowed
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", key);
        throw pyb::error_already_set();
    }
    return pyb::reinterpret_borrow<pyb::object>(value);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

void ready_function_type() {
    if (FunctionType) return;
    PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
        {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
        {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
        {Py_tp_getset, function_getset},
        {Py_tp_methods, function_methods},
        {Py_tp_members, function_members},
        {0, nullptr},
    };
    // Immutable and not subclassable: instances are only made here, and the vectorcall slot
    // must not be shadowed by a Python-level __call__. Not instantiable from Python either: an
    // instance made by the inherited object.__new__ would have no name, parameters or body.
    PyType_Spec type_def = {"vela_optimizer.optimizer.native_function", static_cast<int>(sizeof(Function)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            slots};
    PyObject *type = PyType_FromSpec(&type_def);
    if (!type) throw pyb::error_already_set();
    FunctionType = reinterpret_cast<PyTypeObject *>(type);  // kept for the life of the process
}

bool is_function(PyObject *obj) { return Py_IS_TYPE(obj, FunctionType); }

pyb::object make_function(PyObject *globals, const FunctionSpec &def, std::unique_ptr<ClosureData> data) {
    pyb::tuple params(def.params.size());
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        PyObject *s = PyUnicode_InternFromString(def.params[i]);
        if (!s) throw pyb::error_already_set();
        PyTuple_SET_ITEM(params.ptr(), static_cast<Py_ssize_t>(i), s);
    }
    pyb::str name(def.name.data(), def.name.size());
    pyb::str qualname = def.qualname.empty() ? name : pyb::str(def.qualname.data(), def.qualname.size());
    pyb::object module = pyb::reinterpret_borrow<pyb::object>(PyDict_GetItemString(globals, "__name__"));
    if (!module) module = pyb::none();
    pyb::object doc = def.doc ? pyb::object(pyb::str(def.doc)) : pyb::object(pyb::none());

    Function *f = PyObject_GC_New(Function, FunctionType);
    if (!f) throw pyb::error_already_set();
    f->vectorcall = function_vectorcall;
    f->impl = def.impl;
    f->nparams = static_cast<Py_ssize_t>(def.params.size());
    f->params = params.release().ptr();
    f->defaults = def.defaults.empty() ? nullptr : Py_NewRef(def.defaults.ptr());
    f->name = name.release().ptr();
    f->qualname = qualname.release().ptr();
    f->module = module.release().ptr();
    f->doc = doc.release().ptr();
    f->globals = Py_NewRef(globals);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->data = data.release();
    PyObject_GC_Track(f);
    return pyb::reinterpret_steal<pyb::object>(reinterpret_cast<PyObject *>(f));
}

pyb::object publish(pyb::module_ &m, const FunctionSpec &def) {
    pyb::object f = make_function(m.attr("__dict__").ptr(), def);
    m.add_object(std::string(def.name).c_str(), f);
    return f;
}

pyb::object make_closure(const Function &parent, std::string_view name, std::vector<const char *> params, Impl impl,
                         std::unique_ptr<ClosureData> data) {
    // Composed from the str objects: the parent's __qualname__ is writable and may hold any
    // str, also one with no UTF-8 form.
    const std::string own(name);
    PyObject *composed = PyUnicode_FromFormat("%U.<locals>.%s", parent.qualname, own.c_str());
    if (!composed) throw pyb::error_already_set();
    pyb::object qualname = pyb::reinterpret_steal<pyb::object>(composed);
    FunctionSpec def{name, "", std::move(params), impl};
    pyb::object f = make_function(parent.globals, def, std::move(data));
    Py_SETREF(as_function(f.ptr())->qualname, qualname.release().ptr());
    return f;
}

}  // namespace vela::py
