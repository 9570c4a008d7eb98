// Placeholder until this capability is built.
#include "adapter/adapter.hpp"

namespace adapter {

py::Ref on_algo_login(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_login");
    throw py::Error{};
}

py::Ref on_create_algo_parent_order_res(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_create_algo_parent_order_res");
    throw py::Error{};
}

py::Ref on_cancel_algo_parent_order_res(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_cancel_algo_parent_order_res");
    throw py::Error{};
}

py::Ref on_control_algo_parent_order_res(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_control_algo_parent_order_res");
    throw py::Error{};
}

py::Ref on_algo_parent_order_update(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_parent_order_update");
    throw py::Error{};
}

py::Ref on_algo_child_order_update(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_child_order_update");
    throw py::Error{};
}

py::Ref on_algo_child_order_trade(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_child_order_trade");
    throw py::Error{};
}

}  // namespace adapter
