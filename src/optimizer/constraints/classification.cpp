// GICSConstraint, ShenWanConstraint, FundTypeConstraint: classify the retained instruments by
// one scheme, group their positions by label (first appearance order) and hand the grouping
// with the caller's rules to _to_constraint.
#include "bindings.hpp"
#include "py/function.hpp"

#include <string>

namespace vela {

namespace pyb = pybind11;
using py::Function;

namespace {

// __init__(self, rules): the rules are checked through the instance, so a subclass's
// _verify_rules runs, and kept by reference.
pyb::object init(Function &, PyObject *const *args) {
    pyb::handle self = args[0], rules = args[1];
    self.attr("_verify_rules")(rules);
    self.attr("_rules") = rules;
    return pyb::none();
}

pyb::object verify_rules(Function &, PyObject *const *) { return pyb::none(); }

pyb::list gics_labels(const Function &f, pyb::handle ids, pyb::handle) {
    pyb::list classified;
    for (pyb::handle ins : f.global("veladatac").attr("instruments")(ids))
        classified.append(ins.attr("sector_type_name"));
    // Positions come from the order of the records: with fewer records than ids the last
    // instruments would silently escape every group limit.
    const Py_ssize_t n = PyObject_Length(ids.ptr());
    if (n < 0) {  // an unsized iterable of ids: nothing to compare with
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw pyb::error_already_set();
        PyErr_Clear();
    } else if (static_cast<Py_ssize_t>(classified.size()) != n) {
        PyErr_Format(PyExc_ValueError, "veladatac.instruments returned %zd records for %zd ids",
                     static_cast<Py_ssize_t>(classified.size()), n);
        throw pyb::error_already_set();
    }
    return classified;
}

pyb::list shenwan_labels(const Function &f, pyb::handle ids, pyb::handle date) {
    pyb::object series = f.global("veladatac").attr("shenwan_instrument_industry")(ids, date)["index_name"];
    pyb::object get = series.attr("get");
    const pyb::str none_label("__NONE__");
    pyb::list classified;
    for (pyb::handle o : ids) classified.append(get(o, none_label));
    return classified;
}

pyb::list fund_type_labels(const Function &f, pyb::handle ids, pyb::handle) {
    pyb::object lookup = f.global("veladatac").attr("fund").attr("instruments");
    pyb::list classifed;
    for (pyb::handle o : ids) classifed.append(lookup(o).attr("fund_type"));
    return classifed;
}

template <pyb::list (*Classify)(const Function &, pyb::handle, pyb::handle)>
pyb::object to_constraint(Function &f, PyObject *const *args) {
    pyb::handle self = args[0], order_book_ids = args[1], date = args[2];
    pyb::list labels = Classify(f, order_book_ids, date);
    pyb::object reversed_index = f.global("defaultdict")(pyb::handle(reinterpret_cast<PyObject *>(&PyList_Type)));
    Py_ssize_t i = 0;
    for (pyb::handle k : labels) reversed_index[k].attr("append")(i++);
    return f.global("_to_constraint")(reversed_index, self.attr("_rules"));
}

void create_class(pyb::module_ &m, const char *name, py::Impl to_constraint_impl) {
    PyObject *globals = m.attr("__dict__").ptr();
    const std::string cls(name);
    pyb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = cls;
    ns["__init__"] = py::make_function(globals, {"__init__", cls + ".__init__", {"self", "rules"}, init});
    PyObject *verify = PyStaticMethod_New(
        py::make_function(globals, {"_verify_rules", cls + "._verify_rules", {"rules"}, verify_rules}).ptr());
    if (!verify) throw pyb::error_already_set();
    ns["_verify_rules"] = pyb::reinterpret_steal<pyb::object>(verify);
    ns["to_constraint"] = py::make_function(
        globals, {"to_constraint", cls + ".to_constraint", {"self", "order_book_ids", "date"}, to_constraint_impl});
    pyb::object type = pyb::reinterpret_borrow<pyb::object>(reinterpret_cast<PyObject *>(&PyType_Type));
    m.add_object(
        name,
        type(name,
             pyb::make_tuple(pyb::reinterpret_borrow<pyb::object>(reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
             ns));
}

}  // namespace

void bind_constraint_classes(pyb::module_ &m) {
    create_class(m, "GICSConstraint", to_constraint<gics_labels>);
    create_class(m, "ShenWanConstraint", to_constraint<shenwan_labels>);
    create_class(m, "FundTypeConstraint", to_constraint<fund_type_labels>);
}

}  // namespace vela
