#pragma once

#include "py/function.hpp"

namespace vela {

// What screening decided, for callers that want it as data: the dropped ids of each screen in
// column order (each id in the list of the first screen that dropped it), and the label of the
// price table's last row (the trading day the window actually ends on; None without rows).
struct Screening {
    pybind11::list suspended, short_history, delisted;
    pybind11::object last_day = pybind11::none();
};

// [(id, reason), ...] for every dropped stock, in the order of the screens; reason is
// "suspended", "short_history" or "delisted".
pybind11::list dropped_with_reasons(const Screening &screening);

// The table of daily simple returns of the usable instruments over the window: stocks ("CS")
// are screened for suspensions, short histories and a missing last close (one warning per
// dropped stock unless `quiet`); funds are kept as they are. Rows are the trading days without
// the first, columns the retained ids in the client's column order.
pybind11::object return_table(const py::Function &f, pybind11::handle order_book_ids, pybind11::handle instrument_type,
                              pybind11::handle start_date, pybind11::handle date, double threshold, bool quiet,
                              Screening &screening);

}  // namespace vela
