// _to_constraint(reversed_index, rules): group rules into the minimizer's constraint records.
#include "bindings.hpp"
#include "constraints/records.hpp"
#include "constraints/sums.hpp"
#include "py/errors.hpp"
#include "py/pyops.hpp"
#include "py/vector.hpp"

#include <memory>
#include <vector>

namespace vela {

namespace pyb = pybind11;
using py::compare;
using py::Function;

namespace {

// One group's positions and bound, fixed when the record is built. sign = +1 for the floor
// (sum - lower), -1 for the cap (upper - sum).
struct GroupBound : py::ClosureData {
    std::vector<Py_ssize_t> positions;
    double bound = 0.0;
};

double group_sum(const GroupBound &g, const py::VectorView &x) {
    double s = 0.0;  // left to right over the group's positions, like the host's sum()
    for (Py_ssize_t p : g.positions) s += x[py::checked_index(p, x.size())];
    return s;
}

pyb::object floor_fun(Function &self, PyObject *const *args) {
    py::VectorView x(args[0]);
    const auto &g = self.closure<GroupBound>();
    return pyb::float_(group_sum(g, x) - g.bound);
}

pyb::object cap_fun(Function &self, PyObject *const *args) {
    py::VectorView x(args[0]);
    const auto &g = self.closure<GroupBound>();
    return pyb::float_(g.bound - group_sum(g, x));
}

pyb::dict group_record(const Function &f, const char *name, py::Impl impl, const std::vector<Py_ssize_t> &positions,
                       pyb::handle bound) {
    auto data = std::make_unique<GroupBound>();
    data->positions = positions;
    data->bound = pyb::cast<double>(pyb::float_(pyb::reinterpret_borrow<pyb::object>(bound)));
    pyb::dict record;
    record["type"] = "ineq";
    record["fun"] = py::make_closure(f, name, {"x"}, impl, std::move(data));
    return record;
}

std::vector<Py_ssize_t> read_positions(pyb::handle v) {
    std::vector<Py_ssize_t> out;
    for (pyb::handle p : v) {
        const Py_ssize_t i = PyNumber_AsSsize_t(p.ptr(), PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) throw pyb::error_already_set();
        out.push_back(i);
    }
    return out;
}

// Range first (a NaN side is out of range too), inversion last.
void check_rule(const Function &f, pyb::handle k, pyb::handle lower, pyb::handle upper) {
    const pyb::int_ zero(0), one(1);
    if (compare(lower, zero, Py_LT) || compare(lower, one, Py_GT) || py::is_nan_like(lower))
        py::invalid_argument(f, "OPTIMIZER: 约束 {} 的下限 {} 无效", k, lower);
    if (compare(upper, zero, Py_LT) || compare(upper, one, Py_GT) || py::is_nan_like(upper))
        py::invalid_argument(f, "OPTIMIZER: 约束 {} 的上限 {} 无效", k, upper);
    if (compare(lower, upper, Py_GT)) py::invalid_argument(f, "OPTIMIZER: 约束的下限 {} 高于上限 {}", lower, upper);
}

pyb::object to_constraint(Function &f, PyObject *const *args) {
    pyb::handle reversed_index = args[0], rules = args[1];
    pyb::list constraints;
    pyb::object lower_sum = pyb::int_(0), upper_sum = pyb::int_(0);
    pyb::list lowers, uppers;  // the same values, for the exact sums
    bool no_constraint_exists = false;
    for (pyb::handle item : reversed_index.attr("items")()) {
        auto [k, v] = py::unpack2(item);
        PyObject *rule = PyObject_GetItem(rules.ptr(), k.ptr());
        if (!rule) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw pyb::error_already_set();
            PyErr_Clear();
            no_constraint_exists = true;
            continue;
        }
        auto [lower, upper] = py::unpack2(pyb::reinterpret_steal<pyb::object>(rule));
        check_rule(f, k, lower, upper);
        lower_sum = lower_sum + lower;
        upper_sum = upper_sum + upper;
        lowers.append(lower);
        uppers.append(upper);
        const std::vector<Py_ssize_t> positions = read_positions(v);
        constraints.append(group_record(f, "group_floor_fun", floor_fun, positions, lower));
        constraints.append(group_record(f, "group_cap_fun", cap_fun, positions, upper));
    }
    if (sum_beyond_one(lower_sum, lowers, Py_GT)) py::invalid_argument(f, "OPTIMIZER: 约束的下限之和大于1");
    if (!no_constraint_exists && sum_beyond_one(upper_sum, uppers, Py_LT))
        py::invalid_argument(f, "OPTIMIZER: 约束的上限之和小于1");
    constraints.append(budget_record(f));
    return constraints;
}

}  // namespace

void bind_to_constraint(pyb::module_ &m) {
    py::publish(m, {"_to_constraint", "", {"reversed_index", "rules"}, to_constraint});
}

}  // namespace vela
