#pragma once

#include "py/function.hpp"

namespace vela {

// The table of daily simple returns of the usable instruments over the window: stocks ("CS")
// are screened for suspensions, short histories and a missing last close (one warning per
// dropped stock unless `quiet`); funds are kept as they are. Rows are the trading days without
// the first, columns the retained ids in the client's column order.
pybind11::object return_table(const py::Function &f, pybind11::handle order_book_ids,
                              pybind11::handle instrument_type, pybind11::handle start_date, pybind11::handle date,
                              double threshold, bool quiet);

}  // namespace vela
