// _cov_shrinkage(df): the covariance matrix of a return table shrunk towards the
// constant-correlation target, and the intensity used. The arithmetic is core/shrinkage; this
// file reads the table once, runs it without the GIL and labels the result.
#include "bindings.hpp"
#include "core/shrinkage.hpp"
#include "py/array.hpp"
#include "py/function.hpp"

#include <cstdint>

namespace vela {

namespace {

namespace pyb = pybind11;
using py::Function;

constexpr const char *kDoc =
    "\n"
    "    Based on Ledoit and Wolf(2003). No r.v.s should have zero sample variance.\n"
    "    :param clean_period_prices: pandas DataFrame. Sample data after clean.\n"
    "    :return: pandas DataFrame. Covariance matrix after shrinkage.\n"
    "             float. Optimal shrinkage intensity.\n"
    "    ";

// Gives an exported buffer back when the scope ends (with the GIL held).
struct Release {
    Py_buffer *v;
    ~Release() { PyBuffer_Release(v); }
};

pyb::object cov_shrinkage(Function &f, PyObject *const *args) {
    pyb::handle df = args[0];
    pyb::object pd = f.global("pd"), np = f.global("np");
    pyb::object frame_type = pd.attr("DataFrame");
    const int is_frame = PyObject_IsInstance(df.ptr(), frame_type.ptr());
    if (is_frame < 0) throw pyb::error_already_set();
    if (!is_frame)
        throw pyb::type_error("_cov_shrinkage() argument 'df' must be a DataFrame, not " +
                              pyb::str(pyb::type::handle_of(df).attr("__name__")).cast<std::string>());

    // The conversion the sample covariance itself makes: non-numeric columns raise here, with
    // the library's own error, and nullable missing values become NaN.
    pyb::object columns = df.attr("columns");
    pyb::object array =
        df.attr("to_numpy")(pyb::arg("dtype") = np.attr("float64"), pyb::arg("na_value") = np.attr("nan"));
    // A copy of our own: no other thread can change it while the GIL is released.
    const py::RowMajor table =
        py::Float64View(array, "df.to_numpy()").require_ndim(2).to_matrix<py::Layout::row_major>();
    const std::size_t n = table.cols;

    pyb::object matrix = np.attr("empty")(pyb::make_tuple(n, n), pyb::arg("dtype") = np.attr("float64"));
    // The buffer stays exported until the kernel is done, so its memory can neither move nor go.
    Py_buffer out_view;
    if (PyObject_GetBuffer(matrix.ptr(), &out_view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) < 0)
        throw pyb::error_already_set();
    const Release out_release{&out_view};
    // The kernel writes n·n doubles: whatever `np.empty` stands for now must have made room for them.
    const bool fits = out_view.ndim == 2 && py::holds_float64(out_view) &&
                      static_cast<std::size_t>(out_view.len) == n * n * sizeof(double) &&
                      reinterpret_cast<std::uintptr_t>(out_view.buf) % alignof(double) == 0;
    if (!fits) throw pyb::type_error("_cov_shrinkage() expected np.empty to give an n×n float64 array");
    double *out = static_cast<double *>(out_view.buf);

    core::Shrinkage result;
    {
        pyb::gil_scoped_release nogil;
        result = core::cov_shrinkage(table.values.data(), table.rows, table.cols, out);
    }

    // Labelled like the sample covariance: index a copy of df's columns, columns df's own.
    pyb::object shrunk = frame_type(matrix, pyb::arg("index") = columns.attr("copy")(), pyb::arg("columns") = columns,
                                    pyb::arg("copy") = false);
    pyb::object delta;
    switch (result.kind) {
        case core::ShrinkageKind::clamped_one:
            delta = pyb::int_(1);
            break;
        case core::ShrinkageKind::interior:
            delta = np.attr("float64")(result.delta);
            break;
        default:  // γ̂ = 0, or κ̂/(N + 1) ≤ 0 or NaN
            delta = pyb::int_(0);
    }
    return pyb::make_tuple(shrunk, delta);
}

}  // namespace

void bind_cov_shrinkage(pyb::module_ &m) {
    py::publish(m, {"_cov_shrinkage", "", {"df"}, cov_shrinkage, pyb::tuple(), kDoc});
}

}  // namespace vela
