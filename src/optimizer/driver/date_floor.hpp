#pragma once

#include "py/function.hpp"

namespace vela {

// True when `date`, in any form the data client accepts ('YYYY-MM-DD' or 'YYYYMMDD' text, int
// YYYYMMDD, datetime.date, datetime.datetime, pandas.Timestamp), lies before 2005-07-01. A value
// that cannot be read as a date is not judged here (false): the client decides about it.
bool before_min_date(const py::Function &f, pybind11::handle date);

}  // namespace vela
