// Imports made while handling a callback, not at load.
#pragma once

#include "py/attr.hpp"

namespace py {

// `from <module> import <attr>` at the moment of the call, through the module's globals as the
// statement would be: the module's attribute, else ImportError "cannot import name ...".
inline Ref from_import(Name module, Name attr) {
    Ref fromlist = Ref::steal_or_raise(PyTuple_Pack(1, name(attr)));
    Ref found = Ref::steal_or_raise(
        PyImport_ImportModuleLevelObject(name(module), globals_dict(), nullptr, fromlist.get(), 0));
    PyObject* value = nullptr;
    if (check(compat::lookup_attr(found.get(), name(attr), &value))) return Ref::steal_or_raise(value);
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name(attr));
    raise();
}

}  // namespace py
