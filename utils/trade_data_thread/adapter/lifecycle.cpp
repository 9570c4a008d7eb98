// Placeholder until this capability is built.
#include "adapter/adapter.hpp"

namespace adapter {

py::Ref init(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "init");
    throw py::Error{};
}

py::Ref initialize(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "initialize");
    throw py::Error{};
}

py::Ref on_initialize(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_initialize");
    throw py::Error{};
}

}  // namespace adapter
