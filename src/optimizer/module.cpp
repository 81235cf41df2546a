// PyInit_optimizer: the import sequence. Each step completes before the next; the first
// failing step fails the import with that step's exception and binds nothing after it.
#include "bindings.hpp"
#include "driver/date_floor.hpp"
#include "engine/bindings.hpp"
#include "py/function.hpp"

#include <cctype>
#include <cstdlib>
#include <string>

namespace pyb = pybind11;

namespace {

constexpr const char *kModuleName = "vela_optimizer.optimizer";

// The extension is compiled against one interpreter release; a different major.minor at run
// time is reported (not refused), as the host does for mismatched compiled modules.
void check_version() {
    const char *running = Py_GetVersion();  // "3.11.7 (main, ...)"
    char *end = nullptr;
    const long major = std::strtol(running, &end, 10);
    const long minor = (end && *end == '.') ? std::strtol(end + 1, &end, 10) : -1;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    const std::string built = std::to_string(PY_MAJOR_VERSION) + "." + std::to_string(PY_MINOR_VERSION);
    const std::string run = std::to_string(major) + "." + std::to_string(minor);
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compiletime version %s of module '%.100s' does not match runtime version %s", built.c_str(),
                         kModuleName, run.c_str()) < 0)
        throw pyb::error_already_set();
}

// `from .exception import InvalidArgument, OptimizationFailed`, relative to our package.
void import_exceptions(pyb::module_ &m) {
    const std::string full = pyb::str(m.attr("__name__"));
    const std::string package = full.substr(0, full.rfind('.'));
    pyb::dict globals;
    globals["__name__"] = full;
    globals["__package__"] = package;
    pyb::tuple names = pyb::make_tuple("InvalidArgument", "OptimizationFailed");
    PyObject *raw = PyImport_ImportModuleLevel("exception", globals.ptr(), nullptr, names.ptr(), 1);
    if (!raw) throw pyb::error_already_set();
    pyb::object mod = pyb::reinterpret_steal<pyb::object>(raw);
    for (pyb::handle name : names) {
        if (!pyb::hasattr(mod, name)) {
            PyErr_Format(PyExc_ImportError, "cannot import name %R from '%s.exception'", name.ptr(), package.c_str());
            throw pyb::error_already_set();
        }
        m.add_object(pyb::str(name).cast<std::string>().c_str(), mod.attr(name));
    }
}

void create_optimize_method(pyb::module_ &m) {
    pyb::list members;
    for (const char *v : {"risk_parity", "min_variance", "mean_variance", "min_tracking_error"}) {
        std::string key(v);
        for (char &c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        members.append(pyb::make_tuple(key, v));
    }
    m.add_object("OptimizeMethod", m.attr("Enum")("OptimizeMethod", members, pyb::arg("module") = kModuleName,
                                                  pyb::arg("qualname") = "OptimizeMethod"));
}

void import_sequence(pyb::module_ &m) {
    vela::py::ready_function_type();

    m.add_object("datetime", pyb::module_::import("datetime"));
    m.add_object("warnings", pyb::module_::import("warnings"));
    m.add_object("Enum", pyb::module_::import("enum").attr("Enum"));
    m.add_object("defaultdict", pyb::module_::import("collections").attr("defaultdict"));

    m.add_object("pd", pyb::module_::import("pandas"));
    m.add_object("np", pyb::module_::import("numpy"));
    m.add_object("sc_opt", pyb::module_::import("scipy.optimize"));
    m.add_object("scsp", pyb::module_::import("scipy.spatial"));

    m.add_object("veladatac", pyb::module_::import("veladatac"));
    import_exceptions(m);
    create_optimize_method(m);

    vela::bind_to_constraint(m);
    vela::bind_constraint_classes(m);

    const vela::CivilDate floor = vela::kMinOptimizeDate;
    m.add_object("MIN_OPTIMIZE_DATE", m.attr("datetime").attr("datetime")(floor.year, floor.month, floor.day));
    m.add_object("MIN_OPTIMIZE_DATE_STR", pyb::str(vela::kMinOptimizeDateText.data()));

    vela::bind_general_bnds(m);
    vela::bind_cov_shrinkage(m);
    vela::bind_ensure_same_type_instruments(m);
    vela::bind_portfolio_optimize(m);
    vela::bind_methods(m);

    // Last, and outside the module's namespace: the package's private engine module.
    vela::engine::create_engine_module(m);
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_optimizer() {
    static PyModuleDef def = {
        PyModuleDef_HEAD_INIT, "optimizer", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
    try {
        check_version();
        PyObject *raw = PyModule_Create(&def);
        if (!raw) return nullptr;
        pyb::module_ m = pyb::reinterpret_steal<pyb::module_>(raw);
        import_sequence(m);
        return m.release().ptr();
    } catch (pyb::error_already_set &e) {
        e.restore();
    } catch (pyb::builtin_exception &e) {
        e.set_error();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    } catch (...) {  // the interpreter's import machinery is C: nothing may unwind into it
        PyErr_SetString(PyExc_ImportError, "vela_optimizer.optimizer: unknown native error during import");
    }
    return nullptr;
}
