// The object operations of the C API layer: calls, attributes, globals, comparisons, text.
#include "py/attr.hpp"
#include "py/call.hpp"
#include "py/text.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace py {

// ---- calls -----------------------------------------------------------------------------------

namespace detail {

Ref vectorcall(PyObject* callable, std::initializer_list<PyObject*> pos, std::span<PyObject* const> kw_values,
               PyObject* kwnames) {
    if (pos.size() + kw_values.size() > k_max_args) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for one call");
        raise();
    }
    // Slot 0 stays free so the callee may prepend a bound `self` in place.
    PyObject* stack[k_max_args + 1];
    std::size_t n = 1;
    for (PyObject* a : pos) stack[n++] = a;
    for (PyObject* a : kw_values) stack[n++] = a;
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, pos.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames));
}

PyObject* make_kwnames(std::initializer_list<Name> names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!tuple) raise();
    Py_ssize_t i = 0;
    for (Name n : names) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(name(n)));
    return tuple;
}

}  // namespace detail

Ref call_method(PyObject* obj, Name n, std::initializer_list<PyObject*> args) {
    PyObject* stack[detail::k_max_args + 2];
    std::size_t count = 1;
    stack[count++] = obj;
    for (PyObject* a : args) stack[count++] = a;
    return Ref::steal(compat::call_method(name(n), stack + 1, (count - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

Ref Method::operator()(PyObject* obj, std::initializer_list<PyObject*> args) const {
    PyTypeObject* type = Py_TYPE(obj);
    if (type != type_ || version_ == 0 || compat::type_version(type) != version_) {
        type_ = nullptr;
        version_ = 0;
        if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0)
            return call_method(obj, name_, args);
        PyObject* method = _PyType_Lookup(type, name(name_));  // borrowed; runs no Python code
        unsigned int version = compat::type_version(type);
        if (!method || Py_TYPE(method) != &PyMethodDescr_Type || version == 0) return call_method(obj, name_, args);
        type_ = type;
        version_ = version;
        method_ = method;
    }
    PyObject* stack[detail::k_max_args + 2];
    std::size_t count = 1;
    stack[count++] = obj;
    for (PyObject* a : args) stack[count++] = a;
    return Ref::steal(PyObject_Vectorcall(method_, stack + 1, (count - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---- attributes --------------------------------------------------------------------------------

Ref Attr::slow(PyObject* obj) const {
    Ref value = getattr(obj, name_);
    PyTypeObject* type = Py_TYPE(obj);
    unsigned int version = compat::type_version(type);
    if (version == 0) return value;
    How how = How::generic;
    Py_ssize_t offset = 0;
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* descr = _PyType_Lookup(type, py::name(name_));  // borrowed; runs no Python code
        if (descr && Py_TYPE(descr) == &PyMemberDescr_Type) {
            // A plain member descriptor is a data descriptor: it wins over any instance dict.
            PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
            if (member->type == TDT_T_OBJECT_EX && (member->flags & ~READONLY) == 0) {
                how = How::slot;
                offset = member->offset;
            }
        } else if (!descr && type->tp_dictoffset != 0) {
            // Nothing on the class: the instance dict alone decides.
            how = How::instance_dict;
            offset = type->tp_dictoffset > 0 ? type->tp_dictoffset : 0;
        }
    }
    how_ = how;
    type_ = type;
    version_ = version;
    offset_ = offset;
    return value;
}

namespace {

struct ClassValue {
    PyTypeObject* cls = nullptr;
    unsigned int cls_version = 0;
    unsigned int meta_version = 0;
    PyObject* value = nullptr;  // borrowed from the class's namespace, valid while cls_version holds
};
ClassValue g_class_values[static_cast<std::size_t>(Name::count_)];

// The metaclass resolves attributes as `type` itself does (a `__getattr__` of its own only runs
// when that lookup fails, which a remembered value rules out).
bool plain_class_lookup(PyTypeObject* meta) {
    if (meta->tp_getattro == PyType_Type.tp_getattro) return true;
    static PyObject* getattribute = nullptr;
    if (!getattribute && !(getattribute = PyUnicode_InternFromString("__getattribute__"))) raise();
    return _PyType_Lookup(meta, getattribute) == _PyType_Lookup(&PyType_Type, getattribute);
}

}  // namespace

Ref class_attr(PyObject* cls, Name n) {
    ClassValue& seen = g_class_values[static_cast<std::size_t>(n)];
    if (PyType_Check(cls)) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
        if (type == seen.cls && seen.cls_version != 0 && compat::type_version(type) == seen.cls_version &&
            compat::type_version(Py_TYPE(cls)) == seen.meta_version)
            return Ref::borrow(seen.value);
    }
    Ref value = getattr(cls, n);
    if (!PyType_Check(cls)) return value;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* meta = Py_TYPE(cls);
    // Remember it only when it is the class's own stored value, not made by a descriptor, and the
    // metaclass has nothing of that name that could take precedence.
    if (_PyType_Lookup(type, name(n)) != value.get() || Py_TYPE(value.get())->tp_descr_get ||
        _PyType_Lookup(meta, name(n)) || !plain_class_lookup(meta))
        return value;
    unsigned int cls_version = compat::type_version(type);
    unsigned int meta_version = compat::type_version(meta);
    if (cls_version == 0 || meta_version == 0) return value;
    seen = ClassValue{type, cls_version, meta_version, value.get()};
    return value;
}

Ref getattr_quiet(PyObject* obj, Name n) {
    PyObject* value = PyObject_GetAttr(obj, name(n));
    if (!value) PyErr_Clear();
    return Ref::maybe(value);
}

// ---- globals -----------------------------------------------------------------------------------

namespace {
PyObject* g_globals = nullptr;  // the module's dict; the module lives for the process

#if PY_VERSION_HEX < 0x030C0000
// Values found in the module dict, valid while the dict's version tag is unchanged: every change
// to the dict (a rebinding, a deletion) gives it a new tag, so a rebound global is seen at once.
std::uint64_t g_seen_version = 0;
PyObject* g_seen[static_cast<std::size_t>(Name::count_)];  // borrowed from the dict
#endif
}  // namespace

void bind_globals(PyObject* dict) noexcept { g_globals = dict; }
PyObject* globals_dict() noexcept { return g_globals; }

Ref global(Name n) {
#if PY_VERSION_HEX < 0x030C0000
    std::uint64_t version = reinterpret_cast<PyDictObject*>(g_globals)->ma_version_tag;
    if (version != g_seen_version) {
        std::fill(std::begin(g_seen), std::end(g_seen), nullptr);
        g_seen_version = version;
    }
    PyObject*& seen = g_seen[static_cast<std::size_t>(n)];
    if (seen) return Ref::borrow(seen);
    PyObject* value = PyDict_GetItemWithError(g_globals, name(n));
    if (value) {
        seen = value;
        return Ref::borrow(value);
    }
#else
    PyObject* value = PyDict_GetItemWithError(g_globals, name(n));
    if (value) return Ref::borrow(value);
#endif
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name(n));
    raise();
}

// ---- comparisons and containers ------------------------------------------------------------

bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return truthy(result.get());
}

bool equals(PyObject* a, PyObject* b) { return compare(a, b, Py_EQ); }

bool contains(PyObject* container, PyObject* key) { return check(PySequence_Contains(container, key)) != 0; }

Ref getitem(PyObject* obj, PyObject* key) { return Ref::steal(PyObject_GetItem(obj, key)); }

Ref get_or_none(PyObject* mapping, PyObject* key) {
    if (!PyDict_CheckExact(mapping)) return call_method(mapping, Name::get, {key});
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (!value && PyErr_Occurred()) raise();
    return Ref::borrow(value ? value : Py_None);
}

void setitem(PyObject* obj, PyObject* key, PyObject* value) { check(PyObject_SetItem(obj, key, value)); }

namespace {
[[noreturn]] void raise_need_more(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    raise();
}
[[noreturn]] void raise_too_many() {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    raise();
}
}  // namespace

std::pair<Ref, Ref> unpack2(PyObject* iterable) {
    if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
        if (size > 2) raise_too_many();
        if (size < 2) raise_need_more(size);
        PyObject** items = PySequence_Fast_ITEMS(iterable);
        return {Ref::borrow(items[0]), Ref::borrow(items[1])};
    }
    Ref iter = Ref::steal(PyObject_GetIter(iterable));
    Ref first = Ref::maybe(PyIter_Next(iter.get()));
    if (!first) {
        if (PyErr_Occurred()) raise();
        raise_need_more(0);
    }
    Ref second = Ref::maybe(PyIter_Next(iter.get()));
    if (!second) {
        if (PyErr_Occurred()) raise();
        raise_need_more(1);
    }
    Ref extra = Ref::maybe(PyIter_Next(iter.get()));
    if (extra) raise_too_many();
    if (PyErr_Occurred()) raise();
    return {std::move(first), std::move(second)};
}

// ---- text --------------------------------------------------------------------------------------

PyObject* Literal::get() const {
    if (!obj_) {
        obj_ = PyUnicode_InternFromString(text_);
        if (!obj_) raise();
    }
    return obj_;
}

Text::Text() : parts_(Ref::steal(PyList_New(0))) {}

Text& Text::lit(const Literal& literal) {
    check(PyList_Append(parts_.get(), literal.get()));
    return *this;
}

Text& Text::val(PyObject* value) {
    Ref piece = Ref::steal(PyObject_Format(value, name(Name::empty)));
    check(PyList_Append(parts_.get(), piece.get()));
    return *this;
}

Ref Text::str() const { return Ref::steal(PyUnicode_Join(name(Name::empty), parts_.get())); }

}  // namespace py
