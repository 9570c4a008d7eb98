#include "sdk/sdk.hpp"

#include "py/attr.hpp"
#include "py/call.hpp"
#include "py/imports.hpp"

namespace sdk {

py::Ref character(PyObject* code) {
    // Exact ints in range need no call.
    if (PyLong_CheckExact(code)) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(code, &overflow);
        if (!overflow && value >= 0 && value <= 0x10FFFF) return py::Ref::steal_or_raise(PyUnicode_FromOrdinal(int(value)));
    }
    py::Ref builtins = py::Ref::steal_or_raise(PyImport_Import(py::name(N::builtins)));
    py::Ref builtin_chr = py::getattr(builtins.get(), N::chr);
    return py::call(builtin_chr.get(), {code});
}

py::Ref control_types() { return py::from_import(N::pytovik_enums, N::AlgoControlType); }

}  // namespace sdk
