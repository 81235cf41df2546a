// small_covariance, small_tracking, small_certify: small QPs made ready for DAQP and its answer
// certified (core/small_qp), for the package's native QP solves. Converts only.
#include "core/small_qp.hpp"
#include "engine/bindings.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vela::engine {

namespace pyb = pybind11;

namespace {

using Array = pyb::array_t<double, pyb::array::c_style | pyb::array::forcecast>;

constexpr const char *kCapsule = "vela_optimizer.small_qp";

// `obj` as a C-contiguous float64 array when it is a numpy array of real numbers (bool, integer or
// float); false otherwise, for the general path to read and report it.
bool real_array(const pyb::handle &obj, Array &out) {
    if (!pyb::isinstance<pyb::array>(obj)) return false;
    const char kind = pyb::reinterpret_borrow<pyb::array>(obj).dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') return false;
    out = Array::ensure(obj);
    return static_cast<bool>(out);
}

struct LimitArrays {
    Array lower, upper, A, lo, hi;
};

// The limits' arrays over n variables, or false where a shape does not match.
bool limit_arrays(const pyb::handle &lower, const pyb::handle &upper, const pyb::handle &A, const pyb::handle &lo,
                  const pyb::handle &hi, std::size_t n, LimitArrays &out, core::SmallLimits &lim) {
    if (!real_array(lower, out.lower) || !real_array(upper, out.upper) || !real_array(A, out.A) ||
        !real_array(lo, out.lo) || !real_array(hi, out.hi))
        return false;
    const auto sn = static_cast<pyb::ssize_t>(n);
    if (out.lower.ndim() != 1 || out.lower.shape(0) != sn || out.upper.ndim() != 1 || out.upper.shape(0) != sn ||
        out.A.ndim() != 2 || out.A.shape(1) != sn)
        return false;
    const pyb::ssize_t m = out.A.shape(0);
    if (out.lo.ndim() != 1 || out.lo.shape(0) != m || out.hi.ndim() != 1 || out.hi.shape(0) != m) return false;
    lim = {out.lower.data(),           out.upper.data(), out.A.data(), out.lo.data(), out.hi.data(), n,
           static_cast<std::size_t>(m)};
    return true;
}

// A float64 array over `v`'s storage, kept alive by `owner` (the capsule holding the problem).
pyb::array_t<double> view(const std::vector<double> &v, std::vector<pyb::ssize_t> shape, const pyb::capsule &owner) {
    return pyb::array_t<double>(shape, v.data(), owner);
}

// (the problem's capsule, H, f, A, upper sides, lower sides, sense) as DAQP reads them, or None.
pyb::object handed_over(std::unique_ptr<core::SmallQp> qp) {
    if (!qp->usable) return pyb::none();
    const core::SmallQp &p = *qp;
    pyb::capsule owner(qp.get(), kCapsule,
                       [](PyObject *o) { delete static_cast<core::SmallQp *>(PyCapsule_GetPointer(o, kCapsule)); });
    qp.release();
    const auto k = static_cast<pyb::ssize_t>(p.k), rows = static_cast<pyb::ssize_t>(p.rows);
    pyb::array_t<int> sense(k + rows);
    std::copy(p.sense.begin(), p.sense.end(), sense.mutable_data());
    const std::vector<double> &hessian = !p.least_squares && p.k == p.n ? p.P : p.H;
    return pyb::make_tuple(owner, view(hessian, {k, k}, owner), view(p.f, {k}, owner), view(p.Ar, {rows, k}, owner),
                           view(p.bu, {k + rows}, owner), view(p.bl, {k + rows}, owner), sense);
}

pyb::object small_covariance(const pyb::handle &C, double curvature, const pyb::handle &q, const pyb::handle &lower,
                             const pyb::handle &upper, const pyb::handle &A, const pyb::handle &lo,
                             const pyb::handle &hi, std::size_t max_kept, double primal_tol) {
    Array c, lin;
    if (!real_array(C, c) || c.ndim() != 2 || c.shape(0) != c.shape(1)) return pyb::none();
    const auto n = static_cast<std::size_t>(c.shape(0));
    const bool has_q = !q.is_none();
    if (has_q && (!real_array(q, lin) || lin.ndim() != 1 || lin.shape(0) != c.shape(0))) return pyb::none();
    LimitArrays arrays;
    core::SmallLimits lim{};
    if (!limit_arrays(lower, upper, A, lo, hi, n, arrays, lim)) return pyb::none();
    auto qp = std::make_unique<core::SmallQp>(
        core::small_covariance(c.data(), curvature, has_q ? lin.data() : nullptr, lim, max_kept, primal_tol));
    return handed_over(std::move(qp));
}

pyb::object small_tracking(const pyb::handle &R, const pyb::handle &b, const pyb::handle &lower,
                           const pyb::handle &upper, const pyb::handle &A, const pyb::handle &lo, const pyb::handle &hi,
                           std::size_t max_kept, double primal_tol) {
    Array r, bench;
    if (!real_array(R, r) || !real_array(b, bench) || r.ndim() != 2 || bench.ndim() != 1 ||
        bench.shape(0) != r.shape(0))
        return pyb::none();
    LimitArrays arrays;
    core::SmallLimits lim{};
    if (!limit_arrays(lower, upper, A, lo, hi, static_cast<std::size_t>(r.shape(1)), arrays, lim)) return pyb::none();
    auto qp = std::make_unique<core::SmallQp>(
        core::small_tracking(r.data(), bench.data(), static_cast<std::size_t>(r.shape(0)), lim, max_kept, primal_tol));
    return handed_over(std::move(qp));
}

// The problem a capsule from small_covariance or small_tracking holds.
const core::SmallQp &problem_of(const pyb::capsule &state, const char *who) {
    if (!PyCapsule_IsValid(state.ptr(), kCapsule))
        throw std::invalid_argument(std::string(who) +
                                    ": state must be the capsule small_covariance or small_tracking made");
    return *static_cast<const core::SmallQp *>(PyCapsule_GetPointer(state.ptr(), kCapsule));
}

double small_broken(const pyb::capsule &state, const Array &x, const Array &ax) {
    const core::SmallQp &qp = problem_of(state, "small_broken");
    if (x.ndim() != 1 || x.shape(0) != static_cast<pyb::ssize_t>(qp.n) || ax.ndim() != 1 ||
        ax.shape(0) != static_cast<pyb::ssize_t>(qp.m))
        throw std::invalid_argument("small_broken: x must have one value per variable and ax one per row");
    return core::limits_broken(qp, x.data(), ax.data());
}

pyb::object small_certify(const pyb::capsule &state, const Array &x, const Array &lam, double primal_tol,
                          double dual_tol) {
    const core::SmallQp &qp = problem_of(state, "small_certify");
    const auto k = static_cast<pyb::ssize_t>(qp.k), rows = static_cast<pyb::ssize_t>(qp.rows);
    if (x.ndim() != 1 || x.shape(0) != k || lam.ndim() != 1 || lam.shape(0) != k + rows)
        throw std::invalid_argument(
            "small_certify: x must have one value per kept variable and lam one per "
            "bound and row");
    const core::SmallAnswer a = core::certify_small(qp, x.data(), lam.data(), primal_tol, dual_tol);
    if (!a.certified) return pyb::none();
    pyb::array_t<double> full(static_cast<pyb::ssize_t>(qp.n));
    std::copy(a.x.begin(), a.x.end(), full.mutable_data());
    const pyb::str bound("bound"), optimal("optimal");
    pyb::tuple zeros(a.zeros.size());
    for (std::size_t i = 0; i < a.zeros.size(); ++i)
        zeros[i] = pyb::make_tuple(a.zeros[i], a.zero_at_bound[i] ? bound : optimal);
    return pyb::make_tuple(full, a.residual, a.objective, zeros);
}

}  // namespace

void bind_small_qp(pyb::module_ &m) {
    m.def("small_covariance", &small_covariance, pyb::arg("C"), pyb::arg("curvature"), pyb::arg("q"), pyb::arg("lower"),
          pyb::arg("upper"), pyb::arg("A"), pyb::arg("lo"), pyb::arg("hi"), pyb::arg("max_kept"),
          pyb::arg("primal_tol"),
          "min ½xᵀ(curvature·C)x + qᵀx (q None: 0) under lower <= x <= upper, lo <= A x <= hi, scaled\n"
          "by the Hessian's mean diagonal and with the variables fixed by their bounds folded in, as\n"
          "DAQP reads it: (state, H, f, A, upper sides, lower sides, sense), bounds before rows. None\n"
          "where the general path must take the problem (inputs it refuses, limits that admit no\n"
          "point, a mean diagonal that is not positive, more than max_kept free variables).");
    m.def("small_tracking", &small_tracking, pyb::arg("R"), pyb::arg("b"), pyb::arg("lower"), pyb::arg("upper"),
          pyb::arg("A"), pyb::arg("lo"), pyb::arg("hi"), pyb::arg("max_kept"), pyb::arg("primal_tol"),
          "min ‖b − R x‖² over the days where b and every column of R are finite, as small_covariance\n"
          "hands it to DAQP (scaled by the equal-weight error, FᵀF formed); None where the general\n"
          "path must take it (also fewer complete days than free variables).");
    m.def("small_certify", &small_certify, pyb::arg("state"), pyb::arg("x"), pyb::arg("lam"), pyb::arg("primal_tol"),
          pyb::arg("dual_tol"),
          "DAQP's answer x with its multipliers lam certified on the polish's terms (no side broken by\n"
          "more than primal_tol, KKT residual under lam at most 1e-3·dual_tol): (x over all variables,\n"
          "that KKT residual, the objective in the caller's units, the zeros as (position, 'bound'\n"
          "or 'optimal')), or None.");
    m.def("small_broken", &small_broken, pyb::arg("state"), pyb::arg("x"), pyb::arg("ax"),
          "The largest amount x (every variable) breaks a bound or row of the limits the problem was\n"
          "prepared under by, 0 if none, given the rows' values ax = A @ x: Limits.violation's figure\n"
          "from the caller's own product.");
}

}  // namespace vela::engine
