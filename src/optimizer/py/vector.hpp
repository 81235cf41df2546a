// Read-only access to a weight vector handed over by the minimizer.
#pragma once

#include "py/array.hpp"
#include "py/function.hpp"

#include <cstddef>
#include <vector>

namespace vela::py {

// A contiguous float64 view of a one-dimensional vector. The minimizer's ndarray is read in
// place (no allocation); a strided or unaligned float64 vector is copied from its buffer, and
// any other sequence of numbers is copied element by element.
class VectorView {
  public:
    explicit VectorView(PyObject *x);
    VectorView(const VectorView &) = delete;
    VectorView &operator=(const VectorView &) = delete;

    const double *data() const { return data_; }
    std::size_t size() const { return size_; }
    double operator[](std::size_t i) const { return data_[i]; }

  private:
    Float64View view_;
    std::vector<double> copy_;
    const double *data_ = nullptr;
    std::size_t size_ = 0;
};

// Python's (and numpy's) index rule: negative counts from the end. Throws IndexError outside.
std::size_t checked_index(Py_ssize_t i, std::size_t n);

// A new 1-D float64 numpy array of length n (uninitialised), and its data pointer.
pyb::object new_vector(std::size_t n, double *&data);

// Convert `values` (any sequence of numbers) into doubles; a non-sequence raises TypeError.
std::vector<double> to_doubles(pyb::handle values);

}  // namespace vela::py
