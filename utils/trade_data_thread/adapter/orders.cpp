// Placeholder until this capability is built.
#include "adapter/adapter.hpp"

namespace adapter {

py::Ref on_order(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_order");
    throw py::Error{};
}

py::Ref on_trade(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_trade");
    throw py::Error{};
}

py::Ref on_order_action_error(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_order_action_error");
    throw py::Error{};
}

}  // namespace adapter
