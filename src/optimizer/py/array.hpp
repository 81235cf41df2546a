// Float64 arrays of one or two dimensions, read through the buffer protocol. Every array the
// module reads goes through Float64View: one dtype rule (holds_float64), any strides, and one
// error text for each way an input can fail, naming the input.
#pragma once

#include "py/function.hpp"

#include <cstddef>
#include <vector>

namespace vela::py {

// The one dtype rule: 8-byte IEEE doubles in the host's byte order ("d", "@d", "=d", or the
// host's explicit order "<d" / ">d"). Byte-swapped doubles, float32 and integers are not.
bool holds_float64(const Py_buffer &view);

enum class Layout { row_major, column_major };

// An owned copy of a two-dimensional table of doubles, in the layout the consumer reads.
template <Layout L>
struct Matrix {
    std::size_t rows = 0, cols = 0;
    std::vector<double> values;  // row-major: (i, j) at i·cols + j; column-major: at j·rows + i

    // Column j as rows contiguous doubles.
    const double *column(std::size_t j) const
        requires(L == Layout::column_major)
    {
        return values.data() + j * rows;
    }
};
using RowMajor = Matrix<Layout::row_major>;
using ColumnMajor = Matrix<Layout::column_major>;

// A read-only view of an exported float64 buffer. Strides may be negative, zero or not a
// multiple of 8 (elements are read with memcpy, so alignment does not matter). The buffer stays
// exported while the view lives, so its memory can neither move nor go. A view is neither copied
// nor moved (an exporter may point the buffer's fields into the Py_buffer itself): factories
// return it as a prvalue, and it is destroyed with the GIL held.
class Float64View {
  public:
    // obj's buffer. Anything that is not an array of float64 values raises TypeError.
    // `what` names obj in error messages and must outlive the view.
    Float64View(pyb::handle obj, const char *what);

    // obj's buffer when it holds float64 values; otherwise an empty view (no Python error set).
    struct IfFloat64 {};
    Float64View(pyb::handle obj, IfFloat64);

    // numpy's own conversion of obj to a C-contiguous float64 array (through numpy's C API, as
    // np.asarray(obj, dtype=np.float64) converts), viewed; a value numpy cannot convert raises
    // numpy's error.
    static Float64View converted(pyb::handle obj, const char *what);

    Float64View(const Float64View &) = delete;
    Float64View &operator=(const Float64View &) = delete;
    ~Float64View();

    // False only for an IfFloat64 view of something else.
    bool valid() const { return held_; }
    int ndim() const { return ndim_; }
    // The extent of axis 0 or 1; 1 for an axis the view does not have.
    std::size_t extent(int axis) const { return extent_[axis]; }
    // Element (i, j); j is ignored by a one-dimensional view. No bounds check.
    double at(std::size_t i, std::size_t j = 0) const;
    // The values in place when they lie C-contiguous and aligned as doubles, else nullptr.
    const double *contiguous_data() const;

    // ValueError unless the view has `ndim` (1 or 2) dimensions.
    const Float64View &require_ndim(int ndim) const;

    // Copies. They touch no Python object: a caller may release the GIL around them.
    std::vector<double> to_vector() const;  // a one-dimensional view
    template <Layout L>
    Matrix<L> to_matrix() const;  // a two-dimensional view

  private:
    // Exports obj's buffer as strided float64 items; false when obj exports none. A failing
    // export leaves its error set and throws.
    bool acquire(PyObject *obj);
    bool contiguous() const;

    Py_buffer view_{};
    bool held_ = false;
    const char *what_ = "";
    int ndim_ = 0;
    std::size_t extent_[2] = {1, 1};
    Py_ssize_t step_[2] = {0, 0};  // bytes per step along axes 0 and 1
};

extern template RowMajor Float64View::to_matrix<Layout::row_major>() const;
extern template ColumnMajor Float64View::to_matrix<Layout::column_major>() const;

}  // namespace vela::py
