// Placeholder until this capability is built.
#include "adapter/adapter.hpp"

namespace adapter {

py::Ref on_login(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_login");
    throw py::Error{};
}

py::Ref on_query_asset(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_query_asset");
    throw py::Error{};
}

py::Ref on_query_position(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_query_position");
    throw py::Error{};
}

}  // namespace adapter
