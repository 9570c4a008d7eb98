// Placeholder until this capability is built.
#include "marketdata/marketdata.hpp"

namespace marketdata {

py::Ref on_bar(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_bar");
    throw py::Error{};
}

}  // namespace marketdata
