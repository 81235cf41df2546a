// The earliest date an optimisation may end on (too few data before it), written once: the
// floor check, MIN_OPTIMIZE_DATE and MIN_OPTIMIZE_DATE_STR all read kMinOptimizeDate.
#pragma once

#include "py/function.hpp"

#include <array>
#include <cstddef>

namespace vela {

struct CivilDate {
    int year, month, day;
    constexpr long yyyymmdd() const { return year * 10000L + month * 100L + day; }
};

inline constexpr CivilDate kMinOptimizeDate{2005, 7, 1};

// "YYYY-MM-DD" of a date with a four-digit year, NUL-terminated, made at compile time.
constexpr std::array<char, 11> iso_text(CivilDate d) {
    std::array<char, 11> s{};
    const int fields[] = {d.year, d.month, d.day};
    const int widths[] = {4, 2, 2};
    int pos = 0;
    for (int k = 0; k < 3; ++k) {
        if (k > 0) s[pos++] = '-';
        for (int w = widths[k] - 1, v = fields[k]; w >= 0; --w, v /= 10) s[pos + w] = static_cast<char>('0' + v % 10);
        pos += widths[k];
    }
    s[10] = '\0';
    return s;
}

inline constexpr std::array<char, 11> kMinOptimizeDateText = iso_text(kMinOptimizeDate);
static_assert([] {
    constexpr std::array<char, 11> got = iso_text({987, 12, 3});
    constexpr char want[] = "0987-12-03";
    for (std::size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i]) return false;
    return true;
}());

// True when `date`, in any form the data client accepts ('YYYY-MM-DD' or 'YYYYMMDD' text, int
// YYYYMMDD, datetime.date, datetime.datetime, pandas.Timestamp), lies before kMinOptimizeDate.
// A value that cannot be read as a date is not judged here (false): the client decides about it.
bool before_min_date(const py::Function &f, pybind11::handle date);

}  // namespace vela
