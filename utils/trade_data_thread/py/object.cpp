// The object operations of the C API layer: calls, attributes, globals, comparisons.
#include "py/attr.hpp"
#include "py/call.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace py {

// ---- calls -----------------------------------------------------------------------------------

namespace detail {

Ref vectorcall(PyObject* callable, PyObject* self, std::initializer_list<PyObject*> pos,
               std::span<PyObject* const> kw_values, PyObject* kwnames) {
    if (pos.size() + kw_values.size() > k_max_args) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for one call");
        raise();
    }
    // Slot 0 stays free so the callee may prepend a bound `self` in place.
    PyObject* stack[k_max_args + 2];
    std::size_t n = 1;
    if (self) stack[n++] = self;
    for (PyObject* a : pos) stack[n++] = a;
    std::size_t positional = n - 1;
    for (PyObject* a : kw_values) stack[n++] = a;
    return Ref::steal_or_raise(
        PyObject_Vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
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
    // On a class the method is looked up as any class attribute (getattr, then a plain call).
    if (PyType_Check(obj)) {
        Ref method = class_attr(obj, n);
        return detail::vectorcall(method.get(), nullptr, args, {}, nullptr);
    }
    PyObject* stack[detail::k_max_args + 2];
    std::size_t count = 1;
    stack[count++] = obj;
    for (PyObject* a : args) stack[count++] = a;
    return Ref::steal_or_raise(compat::call_method(name(n), stack + 1, (count - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

Ref Method::operator()(PyObject* obj, std::initializer_list<PyObject*> args) const {
    if constexpr (k_caches) {
        PyTypeObject* type = Py_TYPE(obj);
        // Learning may run code, so a type just learned is matched again.
        if (seen_.matches(type) || (learn(type), seen_.matches(type))) {
            Ref method = Ref::borrow(method_.get());  // ours for the call, whatever the call relearns
            return detail::vectorcall(method.get(), obj, args, {}, nullptr);
        }
    }
    return call_method(obj, name_, args);
}

Ref Bound::operator()(std::initializer_list<PyObject*> args) const {
    return detail::vectorcall(callable_.get(), self_.get(), args, {}, nullptr);
}

Bound bind_method(PyObject* obj, Name n) {
    // On a class the method is looked up as any class attribute, as `call_method` does.
    return Bound(PyType_Check(obj) ? class_attr(obj, n) : getattr(obj, n), Ref{});
}

Bound Method::bind(PyObject* obj) const {
    if constexpr (k_caches) {
        PyTypeObject* type = Py_TYPE(obj);
        // Learning may run code, so a type just learned is matched again.
        if (seen_.matches(type) || (learn(type), seen_.matches(type)))
            return Bound(Ref::borrow(method_.get()), Ref::borrow(obj));
    }
    return bind_method(obj, name_);
}

void Method::learn(PyTypeObject* type) const {
    // Without an instance dict nothing can shadow the type's method.
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0) return;
    Found found = lookup(type, name(name_));
    PyObject* method = found.value.get();
    if (found.version == 0 || !method || Py_TYPE(method) != &PyMethodDescr_Type ||
        !PyType_IsSubtype(type, PyDescr_TYPE(method)))
        return;
    seen_.remember(type, found.version, found.era);
    method_.reset(std::move(found.value));
}

namespace {
// `type(self).__init__(self, *pos, **kw)` as `type.__call__` runs it, through the type's init slot
// with an argument tuple and keyword dict.
void init_generically(PyObject* self, std::initializer_list<PyObject*> pos, std::span<PyObject* const> kw_values,
                      PyObject* kwnames) {
    Ref args = Ref::steal_or_raise(PyTuple_New(static_cast<Py_ssize_t>(pos.size())));
    Py_ssize_t i = 0;
    for (PyObject* a : pos) PyTuple_SET_ITEM(args.get(), i++, Py_NewRef(a));
    Ref kwargs;
    if (kwnames) {
        kwargs = Ref::steal_or_raise(PyDict_New());
        for (std::size_t k = 0; k < kw_values.size(); ++k)
            check(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k)), kw_values[k]));
    }
    initproc init = Py_TYPE(self)->tp_init;
    if (init) check(init(self, args.get(), kwargs.get()));
}
}  // namespace

Ref New::make(PyObject* cls, std::initializer_list<PyObject*> pos, std::span<PyObject* const> kw_values,
              PyObject* kwnames) const {
    if constexpr (k_caches) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
        // Only `type` itself as metaclass: its __call__ is the one this replaces.
        if (Py_TYPE(cls) == &PyType_Type && (seen_.matches(type) || (learn(type), seen_.matches(type)))) {
            // object.__new__ ignores the arguments when __init__ is overridden; it allocates,
            // refuses abstract classes and sets up the instance's attribute storage. Allocating may
            // run finalizers, so __init__ is looked for afterwards, as type.__call__ does.
            Ref no_args = Ref::steal_or_raise(PyTuple_New(0));
            Ref self = Ref::steal_or_raise(type->tp_new(type, no_args.get(), nullptr));
            if (Py_TYPE(self.get()) != type || !seen_.matches(type)) {
                init_generically(self.get(), pos, kw_values, kwnames);
                return self;
            }
            Ref init = Ref::borrow(init_.get());  // ours for the call, whatever the call relearns
            Ref result = detail::vectorcall(init.get(), self.get(), pos, kw_values, kwnames);
            if (result.get() != Py_None) {
                PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                             Py_TYPE(result.get())->tp_name);
                raise();
            }
            return self;
        }
    }
    return detail::vectorcall(cls, nullptr, pos, kw_values, kwnames);
}

void New::learn(PyTypeObject* type) const {
    if (type->tp_new != PyBaseObject_Type.tp_new) return;
    Found init = lookup(type, name(Name::dunder_init));
    if (init.version == 0 || !init.value || Py_TYPE(init.value.get()) != &PyFunction_Type) return;
    seen_.remember(type, init.version, init.era);
    init_.reset(std::move(init.value));
}

// ---- attributes --------------------------------------------------------------------------------

void Attr::learn(PyTypeObject* type) const {
    Plan plan = plan_read(type, name(name_));
    if (plan.version == 0) return;
    access_ = plan.access;
    offset_ = plan.offset;
    hint_ = -1;
    inline_ = plan.access == Access::instance_dict ? table::inline_index(type, name(name_)) : -1;
    seen_.remember(type, plan.version, plan.era);
}

Ref Attr::from_instance_dict(PyObject* obj) const {
    PyObject* found = dict_at(obj, offset_);
    if (!found) return getattr(obj);
    // The entry where the name was last found, when it still holds that very key: from finding
    // the dict to reading the entry no Python code runs.
    table::View view;
    if (table::view(found, view))
        if (PyObject* value = view.value_if(hint_, name(name_))) return Ref::borrow(value);
    // Held for the lookup: a colliding key's __eq__ may replace the object's dict.
    Ref dict = Ref::borrow(found);
    PyObject* value = PyDict_GetItemWithError(dict.get(), name(name_));
    if (!value) return missing(obj);
    Ref held = Ref::borrow(value);
    // Keys made apart from the names table (equal, not the same object) are not searched for
    // again until the site learns another type.
    if (hint_ != k_unshared && table::view(dict.get(), view)) {
        hint_ = view.index_of(name(name_));
        if (hint_ < 0) hint_ = k_unshared;
    }
    return held;
}

// Not in the instance dict: the generic lookup's own AttributeError, without searching the dict
// again (which would run a colliding key's __eq__ twice). Only valid while the type is unchanged.
Ref Attr::missing(PyObject* obj) const {
    if (PyErr_Occurred()) raise();
    if (!seen_.matches(Py_TYPE(obj))) return getattr(obj);
    Ref empty = Ref::steal_or_raise(PyDict_New());
    return Ref::steal_or_raise(_PyObject_GenericGetAttrWithDict(obj, name(name_), empty.get(), 0));
}

void SetAttr::operator()(PyObject* obj, PyObject* value) const {
    if constexpr (k_caches) {
        PyTypeObject* type = Py_TYPE(obj);
        if (seen_.matches(type)) {
            Ref dict = Ref::borrow_or_empty(dict_at(obj, offset_));
            if (dict) {
                check(PyDict_SetItem(dict.get(), name(name_), value));
                return;
            }
        } else {
            Plan plan = plan_store(type, name(name_));
            if (plan.version != 0) {
                offset_ = plan.offset;
                seen_.remember(type, plan.version, plan.era);
            }
        }
    }
    check(PyObject_SetAttr(obj, name(name_), value));
}

namespace {

struct ClassValue {
    Seen cls, meta;
    Kept value;  // the class's own stored value, kept while both guards hold; empty: getattr
};
ClassValue g_class_values[static_cast<std::size_t>(Name::count_)];

// A staticmethod is the one descriptor a class value may be: its `__get__` hands out the function
// it wraps and runs no Python code.
bool plain_or_static(PyObject* value) {
    return !Py_TYPE(value)->tp_descr_get || Py_TYPE(value) == &PyStaticMethod_Type;
}

// Remembers `cls.<n>` when the metaclass resolves attributes as `type` does (a `__getattr__` of
// its own only runs when that lookup fails, which a remembered value rules out) and has nothing of
// that name, and the class's value is no descriptor or a staticmethod: then
// `type.__getattribute__` returns the value as stored, or what the staticmethod wraps. Every guard
// is read before the lookups that may run code, and checked after. A class whose value cannot be
// kept is remembered too, with no value, so that it is not learned again at every read.
void learn_class_value(ClassValue& seen, PyTypeObject* type, Name n) {
    PyTypeObject* meta = Py_TYPE(type);
    Found getattribute = lookup(meta, name(Name::dunder_getattribute));
    if (getattribute.version == 0) return;
    if (meta->tp_getattro != PyType_Type.tp_getattro) {
        Found plain = lookup(&PyType_Type, name(Name::dunder_getattribute));
        if (!plain.value || getattribute.value.get() != plain.value.get()) return;
    }
    Found on_meta = lookup(meta, name(n));
    Found on_class = lookup(type, name(n));
    if (on_meta.version != getattribute.version || on_class.version == 0 || compat::type_version(meta) != on_meta.version)
        return;
    bool keep = !on_meta.value && on_class.value && plain_or_static(on_class.value.get());
    seen.cls.remember(type, on_class.version, on_class.era);
    seen.meta.remember(meta, on_meta.version, on_meta.era);
    seen.value.reset(keep ? std::move(on_class.value) : Ref{});
}

template <std::size_t... I>
constexpr std::array<Attr, sizeof...(I)> name_sites(std::index_sequence<I...>) {
    return {Attr{static_cast<Name>(I)}...};
}
// A read site per name, for constants a host keeps on an object that is not a class.
const std::array<Attr, static_cast<std::size_t>(Name::count_)> g_object_reads =
    name_sites(std::make_index_sequence<static_cast<std::size_t>(Name::count_)>{});

}  // namespace

Ref class_attr(PyObject* cls, Name n) {
    if (!PyType_Check(cls)) return g_object_reads[static_cast<std::size_t>(n)](cls);
    if constexpr (k_caches) {
        ClassValue& seen = g_class_values[static_cast<std::size_t>(n)];
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
        auto holds = [&] { return seen.cls.matches(type) && seen.meta.matches(Py_TYPE(cls)); };
        // Learning may run code, so what was just learned is matched again. The value's own type
        // may have gained a __get__ since (it is not the class's).
        if (holds() || (learn_class_value(seen, type, n), holds())) {
            PyObject* value = seen.value.get();
            if (value && !Py_TYPE(value)->tp_descr_get) return Ref::borrow(value);
            if (value && Py_TYPE(value) == &PyStaticMethod_Type)
                return Ref::steal_or_raise(PyStaticMethod_Type.tp_descr_get(value, nullptr, cls));
        }
    }
    return getattr(cls, n);
}

Ref getattr_quiet(PyObject* obj, Name n) {
    PyObject* value = PyObject_GetAttr(obj, name(n));
    if (!value) PyErr_Clear();
    return Ref::steal_or_empty(value);
}


// ---- globals -----------------------------------------------------------------------------------

namespace detail {
PyObject* g_globals = nullptr;
unsigned int g_binding = 0;
}  // namespace detail

namespace detail {
PyObject* g_seen[static_cast<std::size_t>(Name::count_)];
#if PY_VERSION_HEX < 0x030C0000
std::uint64_t g_seen_version = 0;
#else
bool g_watching = false;
#endif
}  // namespace detail

namespace {
using detail::g_globals;
using detail::g_seen;

void forget_seen() noexcept { std::fill(std::begin(g_seen), std::end(g_seen), nullptr); }

#if PY_VERSION_HEX < 0x030C0000
using detail::g_seen_version;
bool seen_valid() noexcept {
    std::uint64_t version = reinterpret_cast<PyDictObject*>(g_globals)->ma_version_tag;
    if (version != g_seen_version) {
        forget_seen();
        g_seen_version = version;
    }
    return true;
}
void watch(PyObject*) noexcept { g_seen_version = 0; }
void unwatch(PyObject*) noexcept {}
#else
using detail::g_watching;
int g_watcher = -1;  // this interpreter's watcher id, -1 when none could be had
int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    forget_seen();
    return 0;
}
bool seen_valid() noexcept { return g_watching; }
void watch(PyObject* dict) noexcept {
    if (g_watcher < 0 && (g_watcher = PyDict_AddWatcher(on_change)) < 0) PyErr_Clear();
    g_watching = g_watcher >= 0 && PyDict_Watch(g_watcher, dict) == 0;
    if (g_watcher >= 0 && !g_watching) PyErr_Clear();
}
void unwatch(PyObject* dict) noexcept {
    if (g_watching && PyDict_Unwatch(g_watcher, dict) < 0) PyErr_Clear();
    // The id belongs to the interpreter that got it; the next binding may be in another one.
    if (g_watcher >= 0 && PyDict_ClearWatcher(g_watcher) < 0) PyErr_Clear();
    g_watcher = -1;
    g_watching = false;
}
#endif

void rebind(PyObject* dict) noexcept {
    if (g_globals) unwatch(g_globals);
    g_globals = dict;
    ++detail::g_binding;
    forget_seen();
    if (dict && k_caches) watch(dict);
}
}  // namespace

void bind_globals(PyObject* dict) noexcept { rebind(dict); }
void unbind_globals() noexcept { rebind(nullptr); }

namespace {
// The global's value (borrowed from the dict), or NULL.
PyObject* find_global(Name n) {
    if (k_caches && seen_valid()) {
        PyObject*& seen = g_seen[static_cast<std::size_t>(n)];
        // A colliding key's __eq__ may change the dict during the lookup, which empties the table
        // (or gives the dict a new tag); what is then found is the dict's value after that change.
        if (!seen) seen = PyDict_GetItemWithError(g_globals, name(n));
        return seen;
    }
    return PyDict_GetItemWithError(g_globals, name(n));
}
}  // namespace

Ref detail::look_up_global(Name n) {
    if (PyObject* value = find_global(n)) return Ref::borrow(value);
    if (PyErr_Occurred()) raise();
    // Not a module global: a builtin, as Python's global lookup falls back to them. They are the
    // `builtins` module's, which the module's functions were defined with (a non-module there
    // fails with SystemError); the module we hold keeps its namespace alive during the lookup.
    Ref builtins = Ref::steal_or_raise(PyImport_Import(name(Name::builtins)));
    PyObject* namespace_dict = PyModule_GetDict(builtins.get());
    if (!namespace_dict) raise();
    if (PyObject* value = PyDict_GetItemWithError(namespace_dict, name(n))) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name(n));
    raise();
}

// ---- comparisons and containers ------------------------------------------------------------

bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal_or_raise(PyObject_RichCompare(a, b, op));
    return truthy(result.get());
}

bool equals(PyObject* a, PyObject* b) { return compare(a, b, Py_EQ); }

bool contains(PyObject* container, PyObject* key) { return check(PySequence_Contains(container, key)) != 0; }

Ref getitem(PyObject* obj, PyObject* key) { return Ref::steal_or_raise(PyObject_GetItem(obj, key)); }

Ref item_at(PyObject* obj, Py_ssize_t index) {
    // For a sequence without a mapping subscript (a deque), `obj[i]` is the sequence item, exactly
    // as the generic subscript would find it; anything else takes the generic subscript.
    PyTypeObject* type = Py_TYPE(obj);
    if (k_caches && (!type->tp_as_mapping || !type->tp_as_mapping->mp_subscript) && type->tp_as_sequence &&
        type->tp_as_sequence->sq_item)
        return Ref::steal_or_raise(PySequence_GetItem(obj, index));
    return getitem(obj, integer(index).get());
}

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
    Ref iter = Ref::steal_or_raise(PyObject_GetIter(iterable));
    Ref first = Ref::steal_or_empty(PyIter_Next(iter.get()));
    if (!first) {
        if (PyErr_Occurred()) raise();
        raise_need_more(0);
    }
    Ref second = Ref::steal_or_empty(PyIter_Next(iter.get()));
    if (!second) {
        if (PyErr_Occurred()) raise();
        raise_need_more(1);
    }
    Ref extra = Ref::steal_or_empty(PyIter_Next(iter.get()));
    if (extra) raise_too_many();
    if (PyErr_Occurred()) raise();
    return {std::move(first), std::move(second)};
}

}  // namespace py
