// Placeholder until this capability is built.
#include "marketdata/marketdata.hpp"

namespace marketdata {

py::Ref on_tick_order(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_tick_order");
    throw py::Error{};
}

py::Ref on_tick_trade(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_tick_trade");
    throw py::Error{};
}

}  // namespace marketdata
