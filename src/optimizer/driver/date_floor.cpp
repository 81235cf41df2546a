#include "driver/date_floor.hpp"

#include "py/pyops.hpp"

#include <optional>
#include <string>

namespace vela {

namespace pyb = pybind11;

namespace {

bool leap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// yyyymmdd when it names a real calendar day, else nothing.
std::optional<long> valid_ymd(long y, long m, long d) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return std::nullopt;
    if (d > days[m - 1] + (m == 2 && leap(y))) return std::nullopt;
    return y * 10000 + m * 100 + d;
}

std::optional<long> from_text(const std::string &s) {
    std::string digits;
    if (s.size() == 10 && s[4] == '-' && s[7] == '-')
        digits = s.substr(0, 4) + s.substr(5, 2) + s.substr(8, 2);
    else if (s.size() == 8)
        digits = s;
    else
        return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    const long v = std::stol(digits);
    return valid_ymd(v / 10000, v / 100 % 100, v % 100);
}

// The text of a str when it is plain ASCII; anything else (other digits, lone surrogates, which
// have no UTF-8 form) names no date this floor can read.
std::optional<std::string> ascii_text(pyb::handle s) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw pyb::error_already_set();
        PyErr_Clear();
        return std::nullopt;
    }
    std::string out(text, static_cast<std::size_t>(size));
    for (unsigned char c : out)
        if (c >= 0x80) return std::nullopt;
    return out;
}

// An int attribute as a long, or nothing when it is no int or does not fit.
std::optional<long> small_int(pyb::handle v) {
    if (!PyLong_Check(v.ptr())) return std::nullopt;
    int overflow = 0;
    const long out = PyLong_AsLongAndOverflow(v.ptr(), &overflow);
    if (out == -1 && PyErr_Occurred()) throw pyb::error_already_set();
    if (overflow) return std::nullopt;
    return out;
}

}  // namespace

bool before_min_date(const py::Function &f, pyb::handle date) {
    std::optional<long> ymd;
    if (PyUnicode_Check(date.ptr())) {
        if (const auto text = ascii_text(date)) ymd = from_text(*text);
    } else if (PyIndex_Check(date.ptr()) && !PyBool_Check(date.ptr())) {
        const Py_ssize_t v = PyNumber_AsSsize_t(date.ptr(), nullptr);  // clamps huge values
        if (v == -1 && PyErr_Occurred()) throw pyb::error_already_set();
        ymd = valid_ymd(v / 10000, v / 100 % 100, v % 100);
    } else {
        pyb::object dt = f.global("datetime");
        // A datetime (pandas.Timestamp included) counts from its calendar day: the floor is
        // midnight, so any time on the day before it is before it and any time on its day is not.
        // NaT has no calendar day and is left to the client.
        if (pyb::isinstance(date, dt.attr("date"))) {
            const auto year = small_int(date.attr("year")), month = small_int(date.attr("month")),
                       day = small_int(date.attr("day"));
            if (year && month && day) ymd = valid_ymd(*year, *month, *day);
        }
    }
    return ymd && *ymd < kMinOptimizeDate.yyyymmdd();
}

}  // namespace vela
