#include "driver/table.hpp"

#include <pybind11/numpy.h>

#include <algorithm>

namespace vela {

namespace pyb = pybind11;

Float64Array as_float_array(pyb::handle values) {
    // The converting constructor keeps the conversion's own error (ensure() would clear it).
    return Float64Array(pyb::reinterpret_borrow<pyb::object>(values));
}

Columns read_columns(pyb::handle table) {
    pyb::object raw = pyb::hasattr(table, "to_numpy") ? table.attr("to_numpy")(pyb::arg("dtype") = "float64")
                                                      : pyb::module_::import("numpy").attr("asarray")(
                                                            table, pyb::arg("dtype") = "float64");
    const Float64Array arr = as_float_array(raw);
    if (arr.ndim() != 2) throw pyb::value_error("expected a two-dimensional table of numbers");
    Columns out;
    out.rows = static_cast<std::size_t>(arr.shape(0));
    out.cols = static_cast<std::size_t>(arr.shape(1));
    out.values.resize(out.rows * out.cols);
    const double *src = arr.data();
    {
        pyb::gil_scoped_release nogil;  // `arr` is kept alive by this frame
        for (std::size_t t = 0; t < out.rows; ++t)
            for (std::size_t j = 0; j < out.cols; ++j) out.values[j * out.rows + t] = src[t * out.cols + j];
    }
    return out;
}

pyb::object to_ndarray(const double *values, std::size_t rows, std::size_t cols) {
    pyb::array_t<double, pyb::array::f_style> arr({rows, cols});
    std::copy(values, values + rows * cols, arr.mutable_data());
    return arr;
}

}  // namespace vela
