#include "sdk/sdk.hpp"

#include "py/attr.hpp"
#include "py/call.hpp"

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

py::Ref control_types() {
    py::Ref fromlist = py::Ref::steal_or_raise(PyTuple_Pack(1, py::name(N::AlgoControlType)));
    py::Ref module = py::Ref::steal_or_raise(PyImport_ImportModuleLevelObject(
        py::name(N::pytovik_enums), py::globals_dict(), nullptr, fromlist.get(), 0));
    PyObject* types = nullptr;
    if (py::check(py::compat::lookup_attr(module.get(), py::name(N::AlgoControlType), &types)))
        return py::Ref::steal_or_raise(types);
    PyErr_Format(PyExc_ImportError, "cannot import name %S", py::name(N::AlgoControlType));
    py::raise();
}

}  // namespace sdk
