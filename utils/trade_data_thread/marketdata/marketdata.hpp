// Market data: snapshots, level-2 orders and trades, bars, and the host's history queries.
// Handlers receive the method's arguments in order, `self` first.
#pragma once

#include "py/function.hpp"
#include "py/names.hpp"

namespace marketdata {

py::Ref on_snapshot(PyObject* const* args);    // (self, snapshot)
py::Ref on_tick_order(PyObject* const* args);  // (self, tick_order)
py::Ref on_tick_trade(PyObject* const* args);  // (self, tick_trade)
py::Ref on_bar(PyObject* const* args);         // (self, bar)

// Appends `record` to the code's buffer in the history dictionary `history_name`, first creating
// the buffer on the code's first record: `deque(maxlen=maxlen)`, or an unbounded `deque()` when
// `maxlen` is null. The dictionary is a module global read at each use.
void keep(N history_name, PyObject* code, PyObject* record, PyObject* maxlen);

// get_current_bar, get_current_tick, history_ticks, history_bars: module functions, in that order.
extern const py::FunctionDef k_query_functions[4];

}  // namespace marketdata
