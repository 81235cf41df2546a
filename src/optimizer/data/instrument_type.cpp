// _ensure_same_type_instruments(order_book_ids): every id known to the client and of one kind.
// The first id decides the lookup used for all: the general one, or the fund one when only the
// fund lookup knows it.
#include "bindings.hpp"
#include "py/errors.hpp"
#include "py/pyops.hpp"

namespace vela {

namespace {

namespace pyb = pybind11;
using py::Function;

pyb::object ensure_same_type_instruments(Function &f, PyObject *const *args) {
    pyb::handle order_book_ids = args[0];
    pyb::object client = f.global("veladatac");
    pyb::object instruments_func = client.attr("instruments");
    pyb::object first = order_book_ids[pyb::int_(0)];
    pyb::object instrument = instruments_func(first);
    if (instrument.is_none()) {
        pyb::object fund_lookup = client.attr("fund").attr("instruments");
        instrument = fund_lookup(first);
        if (instrument.is_none()) py::invalid_argument(f, "unknown instrument: {}", first);
        instruments_func = fund_lookup;
    }
    pyb::object instrument_type = instrument.attr("type");
    pyb::object rest = order_book_ids[pyb::slice(1, {}, {})];
    for (pyb::handle o : rest) {
        instrument = instruments_func(o);
        if (instrument.is_none()) py::invalid_argument(f, "unknown instrument {} for type {}", o, instrument_type);
        pyb::object other_type = instrument.attr("type");
        if (py::compare(other_type, instrument_type, Py_NE))
            py::invalid_argument(f, "传入的合约应该为统一类型，{}({}) 和 {}({}) 类型不同", first, instrument_type, o,
                                 other_type);
    }
    return instrument_type;
}

}  // namespace

void bind_ensure_same_type_instruments(pyb::module_ &m) {
    py::publish(m, {"_ensure_same_type_instruments", "", {"order_book_ids"}, ensure_same_type_instruments});
}

}  // namespace vela
