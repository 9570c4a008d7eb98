// Attribute reads and writes, module globals, and the few object operations handlers share.
#pragma once

#include "py/names.hpp"

namespace py {

// A read site of one attribute name. Records whose type keeps the attribute in a member slot
// (`__slots__`) and uses the generic lookup are read straight from the slot while the type is
// unchanged (same type object, same version tag); everything else goes through getattr, so a
// type that overrides or changes its attribute lookup behaves exactly as in Python.
class Attr {
public:
    constexpr explicit Attr(Name name) noexcept : name_(name) {}
    Ref operator()(PyObject* obj) const {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == type_ && version_ != 0 && compat::type_version(type) == version_) {
            PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset_);
            if (value) return Ref::borrow(value);
        }
        return slow(obj);
    }
    Name name() const noexcept { return name_; }

private:
    Ref slow(PyObject* obj) const;
    Name name_;
    mutable PyTypeObject* type_ = nullptr;
    mutable unsigned int version_ = 0;
    mutable Py_ssize_t offset_ = 0;
};

inline Ref getattr(PyObject* obj, Name n) { return Ref::steal(PyObject_GetAttr(obj, name(n))); }
inline void setattr(PyObject* obj, Name n, PyObject* value) {
    check(PyObject_SetAttr(obj, name(n), value));
}
// True when the attribute can be read; any error while reading counts as absent.
bool hasattr_quiet(PyObject* obj, Name n);
// The attribute, or an empty Ref when reading it fails with any error (the error is cleared).
Ref getattr_quiet(PyObject* obj, Name n);

// The module namespace that module globals are read from, bound once at load.
void bind_globals(PyObject* dict) noexcept;
PyObject* globals_dict() noexcept;
// A module global, looked up by name at each use so the host may rebind it; NameError if gone.
Ref global(Name n);

// `cls.name` for a class object. A plain value stored in the class (an enumeration member, a
// constant) is remembered while neither the class nor its metaclass changes; descriptors and
// classes with their own attribute lookup always go through getattr.
Ref class_attr(PyObject* cls, Name n);

// `Enum.member` of an enumeration bound as a module global, read at each use.
inline Ref member_of(Name enum_global, Name member) { return class_attr(global(enum_global).get(), member); }

// Python's `a == b` (no identity shortcut: `__eq__` always runs) and truth tests.
bool truthy(PyObject* obj);
bool equals(PyObject* a, PyObject* b);
bool compare(PyObject* a, PyObject* b, int op);
bool contains(PyObject* container, PyObject* key);
Ref getitem(PyObject* obj, PyObject* key);
void setitem(PyObject* obj, PyObject* key, PyObject* value);
// `a, b = iterable`: exactly two items, else ValueError "need more than %zd value%.1s to unpack"
// or "too many values to unpack (expected 2)".
std::pair<Ref, Ref> unpack2(PyObject* iterable);

}  // namespace py
