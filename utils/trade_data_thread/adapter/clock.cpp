// Placeholder until this capability is built.
#include "adapter/adapter.hpp"

namespace adapter {

py::Ref on_switch_day(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_switch_day");
    throw py::Error{};
}

py::Ref create_time_listener(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "create_time_listener");
    throw py::Error{};
}

py::Ref send_day_event(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "send_day_event");
    throw py::Error{};
}

py::Ref send_before_trading_event(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "send_before_trading_event");
    throw py::Error{};
}

py::Ref send_after_trading_event(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "send_after_trading_event");
    throw py::Error{};
}

py::Ref send_open_auction_event(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "send_open_auction_event");
    throw py::Error{};
}

py::Ref set_timer(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "set_timer");
    throw py::Error{};
}

}  // namespace adapter
