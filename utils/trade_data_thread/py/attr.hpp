// Attribute reads and writes, module globals, and the few object operations handlers share.
#pragma once

#include "py/names.hpp"

namespace py {

// A read site of one attribute name. While a record's type is unchanged (same type object, same
// version tag) the site remembers how that type resolves the name under the generic lookup:
// - a member slot (`__slots__`): read straight from the slot;
// - no class attribute of that name and an instance dict: one dict lookup;
// - anything else: getattr, without learning again.
// A type that overrides or changes its attribute lookup gets a new version tag or fails the
// checks, so it always behaves exactly as getattr.
class Attr {
public:
    constexpr explicit Attr(Name name) noexcept : name_(name) {}
    Ref operator()(PyObject* obj) const {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == type_ && version_ != 0 && compat::type_version(type) == version_) {
            if (how_ == How::slot) {
                PyObject* held = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset_);
                if (held) return Ref::borrow(held);
            } else if (how_ == How::instance_dict) {
                PyObject* dict = instance_dict(obj);
                // Making the dict allocates, which may run finalizers: the type must still be as seen.
                if (dict && compat::type_version(type) == version_) {
                    PyObject* value = PyDict_GetItemWithError(dict, py::name(name_));
                    if (value) return Ref::borrow(value);
                    if (PyErr_Occurred()) raise();
                }
            }
            return Ref::steal(PyObject_GetAttr(obj, py::name(name_)));
        }
        return slow(obj);
    }
    Name name() const noexcept { return name_; }

    // `obj.name = value`: into the instance dict when the site knows the class has nothing of that
    // name (so no descriptor can intercept the store), otherwise through setattr.
    void set(PyObject* obj, PyObject* value) const {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == type_ && how_ == How::instance_dict && compat::type_version(type) == version_) {
            PyObject* dict = instance_dict(obj);
            if (dict && compat::type_version(type) == version_) {
                check(PyDict_SetItem(dict, py::name(name_), value));
                return;
            }
        }
        check(PyObject_SetAttr(obj, py::name(name_), value));
    }

private:
    enum class How : unsigned char { generic, slot, instance_dict };
    Ref slow(PyObject* obj) const;
    // The instance's own dict, or NULL. A dict at a fixed offset is read in place; otherwise the
    // interpreter's dict pointer is asked for, which may turn inline attribute values into a dict
    // (the same attributes, stored differently).
    PyObject* instance_dict(PyObject* obj) const {
        if (offset_ > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset_);
        PyObject** dict = _PyObject_GetDictPtr(obj);
        return dict ? *dict : nullptr;
    }
    Name name_;
    mutable How how_ = How::generic;
    mutable PyTypeObject* type_ = nullptr;
    mutable unsigned int version_ = 0;
    mutable Py_ssize_t offset_ = 0;
};

// One row of a field table: a key (a dictionary key or a keyword) and the record attribute whose
// value goes under it.
struct Field {
    Name key;
    Attr attr;
};

// `dict[row.key] = record.<row.attr>` for each row, in order.
template <class Rows>
void copy_fields(PyObject* dict, PyObject* record, Rows& rows) {
    for (const Field& row : rows) check(PyDict_SetItem(dict, name(row.key), row.attr(record).get()));
}

inline Ref getattr(PyObject* obj, Name n) { return Ref::steal(PyObject_GetAttr(obj, name(n))); }
inline void setattr(PyObject* obj, Name n, PyObject* value) {
    check(PyObject_SetAttr(obj, name(n), value));
}
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
// `mapping.get(key)`: straight from a plain dict, through the mapping's own `get` otherwise.
Ref get_or_none(PyObject* mapping, PyObject* key);
void setitem(PyObject* obj, PyObject* key, PyObject* value);
// `a, b = iterable`: exactly two items, else ValueError "need more than %zd value%.1s to unpack"
// or "too many values to unpack (expected 2)".
std::pair<Ref, Ref> unpack2(PyObject* iterable);

}  // namespace py
