#include "sdk/sdk.hpp"

#include "py/attr.hpp"
#include "py/call.hpp"

namespace sdk {

py::Ref character(PyObject* code) {
    // Exact ints in range need no call.
    if (PyLong_CheckExact(code)) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(code, &overflow);
        if (!overflow && value >= 0 && value <= 0x10FFFF) return py::Ref::steal(PyUnicode_FromOrdinal(int(value)));
    }
    static PyObject* builtin_chr = nullptr;  // kept for the process
    if (!builtin_chr) {
        py::Ref builtins = py::Ref::steal(PyImport_Import(py::name(N::builtins)));
        builtin_chr = py::getattr(builtins.get(), N::chr).release();
    }
    return py::call(builtin_chr, {code});
}

py::Ref control_types() {
    static PyObject* fromlist = nullptr;  // ("AlgoControlType",), kept for the process
    if (!fromlist && !(fromlist = PyTuple_Pack(1, py::name(N::AlgoControlType)))) py::raise();
    py::Ref module = py::Ref::steal(
        PyImport_ImportModuleLevelObject(py::name(N::pytovik_enums), py::globals_dict(), nullptr, fromlist, 0));
    PyObject* types = nullptr;
    if (py::check(py::compat::lookup_attr(module.get(), py::name(N::AlgoControlType), &types)))
        return py::Ref::steal(types);
    PyErr_Format(PyExc_ImportError, "cannot import name %S", py::name(N::AlgoControlType));
    py::raise();
}

}  // namespace sdk
