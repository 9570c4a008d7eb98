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
    // On a class the method is looked up as any class attribute, then called.
    if (PyType_Check(obj)) return class_bind(obj, n)(args);
    PyObject* stack[detail::k_max_args + 2];
    std::size_t count = 1;
    stack[count++] = obj;
    for (PyObject* a : args) stack[count++] = a;
    return Ref::steal_or_raise(compat::call_method(name(n), stack + 1, (count - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

Ref Method::operator()(PyObject* obj, std::initializer_list<PyObject*> args) const { return bind(obj)(args); }

Ref Bound::operator()(std::initializer_list<PyObject*> args) const {
    return detail::vectorcall(callable_.get(), self_.get(), args, {}, nullptr);
}

Bound bind_method(PyObject* obj, Name n) {
    // On a class the method is looked up as any class attribute, as `call_method` does.
    if (PyType_Check(obj)) return class_bind(obj, n);
    // As the interpreter looks a method up before calling it: a function found on the type, and
    // not shadowed by the instance, comes back unbound, to be called with `obj` first, without
    // making a bound method (nor the instance's dict).
    PyObject* method = nullptr;
    int unbound = compat::get_method(obj, name(n), &method);
    Ref found = Ref::steal_or_raise(method);
    return unbound ? Bound(std::move(found), Ref::borrow(obj)) : Bound(std::move(found), Ref{});
}

Bound Method::bind(PyObject* obj) const {
    if constexpr (k_caches) {
        PyTypeObject* type = Py_TYPE(obj);
        // Learning may run code, so a type just learned is matched again.
        if (seen_.matches(type) ||
            (backoff_.after_miss(seen_, stats::Path::method) && (learn(type), seen_.matches(type)))) {
            stats::hit(stats::Path::method);
            return Bound(Ref::borrow(method_.get()), Ref::borrow(obj));  // ours, whatever the call relearns
        }
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
    seen_.remember(type, found.version, found.epoch);
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
        if (Py_TYPE(cls) == &PyType_Type &&
            (seen_.matches(type) ||
             (backoff_.after_miss(seen_, stats::Path::construct) && (learn(type), seen_.matches(type))))) {
            // object.__new__ ignores the arguments when __init__ is overridden; it allocates,
            // refuses abstract classes and sets up the instance's attribute storage. Allocating may
            // run finalizers, so __init__ is looked for afterwards, as type.__call__ does.
            Ref no_args = Ref::steal_or_raise(PyTuple_New(0));
            Ref self = Ref::steal_or_raise(type->tp_new(type, no_args.get(), nullptr));
            if (Py_TYPE(self.get()) != type || !seen_.matches(type)) {
                stats::miss(stats::Path::construct);
                init_generically(self.get(), pos, kw_values, kwnames);
                return self;
            }
            stats::hit(stats::Path::construct);
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
    seen_.remember(type, init.version, init.epoch);
    init_.reset(std::move(init.value));
}

// ---- attributes --------------------------------------------------------------------------------

void Attr::missed(PyTypeObject* type) const {
    stats::Path path = access_ == Access::slot ? stats::Path::read_slot
                       : inline_ >= 0         ? stats::Path::read_inline
                                              : stats::Path::read_dict;
    if (!backoff_.after_miss(seen_, path)) return;
    Plan plan = plan_read(type, name(name_));
    if (plan.version == 0) return;
    access_ = plan.access;
    offset_ = plan.offset;
    hint_ = -1;
    inline_ = plan.access == Access::instance_dict ? table::inline_index(type, name(name_)) : -1;
    seen_.remember(type, plan.version, plan.epoch);
}

Ref Attr::from_instance_dict(PyObject* obj) const {
    // No dict made (the values are inline, or there are none): the generic lookup, which leaves
    // them so.
    PyObject* found = table::made_dict(obj, offset_);
    if (!found) return getattr(obj);
    // The entry where the name was last found, when it still holds that very key or an exact str
    // equal to it, in a dict of str keys alone (another key's __eq__ could claim the name first):
    // from finding the dict to reading the entry no Python code runs. From 3.11 only a dict with a
    // table of its own, as the interpreter's own hinted reads: a split one's values are an
    // instance's inline values, read as such. Before, instance dicts are split, and hinted reads
    // take them as the interpreter's did.
    table::View view;
    bool hinted = table::view(found, view) && view.str_only && (!view.split || !table::k_inline_values);
    if (hinted && hint_ >= 0 && hint_ < view.count && hint_ < view.split_capacity) {
        PyObject* key = view.key_at(hint_);
        PyObject* value = *view.value_slot(hint_);
        if (key && value && table::same_text(key, name(name_))) {
            stats::hit(key == name(name_) ? stats::Path::read_dict_entry : stats::Path::dict_equal_key);
            return Ref::borrow(value);
        }
    }
    // Held for the lookup: a colliding key's __eq__ may replace the object's dict.
    Ref dict = Ref::borrow(found);
    PyObject* value = PyDict_GetItemWithError(dict.get(), name(name_));
    if (!value) {
        if (PyErr_Occurred()) raise();
        return getattr(obj);  // not in the dict: the generic lookup's own AttributeError
    }
    stats::hit(stats::Path::read_dict);
    Ref held = Ref::borrow(value);
    if (hinted && table::view(dict.get(), view) && view.str_only && (!view.split || !table::k_inline_values)) {
        hint_ = -1;
        for (Py_ssize_t i = 0; i < view.count && hint_ < 0; ++i)
            if (PyObject* key = view.key_at(i); key && table::same_text(key, name(name_))) hint_ = i;
    }
    return held;
}

void SetAttr::operator()(PyObject* obj, PyObject* value) const {
    if constexpr (k_caches) {
        PyTypeObject* type = Py_TYPE(obj);
        if (seen_.matches(type)) {
            // Held for the store: a colliding key's __eq__ may replace the object's dict.
            if (Ref dict = Ref::borrow_or_empty(table::made_dict(obj, offset_))) {
                stats::hit(stats::Path::store_dict);
                check(PyDict_SetItem(dict.get(), name(name_), value));
                return;
            }
        } else {
            if (backoff_.after_miss(seen_, stats::Path::store_dict)) {
                Plan plan = plan_store(type, name(name_));
                if (plan.version != 0) {
                    offset_ = plan.offset;
                    seen_.remember(type, plan.version, plan.epoch);
                }
            }
        }
    }
    check(PyObject_SetAttr(obj, name(name_), value));
}

namespace {

// A staticmethod is the one descriptor a class value may be besides a classmethod: its `__get__`
// hands out the function it wraps and runs no Python code. A classmethod's binds what it wraps to
// the class.
bool keepable(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return !type->tp_descr_get || type == &PyStaticMethod_Type || type == &PyClassMethod_Type;
}

// The value `type.__getattribute__` returns for a kept class value.
Ref bound(PyObject* value, PyObject* cls) {
    descrgetfunc get = Py_TYPE(value)->tp_descr_get;
    if (!get) return Ref::borrow(value);
    return Ref::steal_or_raise(get(value, nullptr, cls));
}

template <std::size_t... I>
constexpr std::array<Attr, sizeof...(I)> name_sites(std::index_sequence<I...>) {
    return {Attr{static_cast<Name>(I)}...};
}
// A read site per name, for constants a host keeps on an object that is not a class.
const std::array<Attr, static_cast<std::size_t>(Name::count_)> g_object_reads =
    name_sites(std::make_index_sequence<static_cast<std::size_t>(Name::count_)>{});

}  // namespace

// Remembers `cls.<n>` when the metaclass resolves attributes as `type` does (a `__getattr__` of
// its own only runs when that lookup fails, which a remembered value rules out) and has nothing of
// that name, and the class's value is no descriptor, a staticmethod or a classmethod: then
// `type.__getattribute__` returns the value as stored, or bound by its `__get__`. Every guard is
// read before the lookups that may run code, and checked after. A class whose value cannot be kept
// is remembered too, with no value, so that it is not learned again at every read.
const ClassAttr::Entry* ClassAttr::entry(PyTypeObject* type, Name n) const {
    PyTypeObject* meta = Py_TYPE(type);
    Entry* changed = nullptr;  // the pair's own entry, learned before the class or metaclass changed
    Entry* free = nullptr;
    for (Entry& e : entries_) {
        if (e.cls.empty()) {
            if (!free) free = &e;
        } else if (e.name == n && e.cls.saw(type)) {
            if (e.cls.matches(type) && e.meta.matches(meta)) {
                stats::hit(stats::Path::class_value);
                return &e;
            }
            changed = &e;
        }
    }
    // A pair not seen yet takes a free entry; learning a pair again, or in the place of another
    // once all are taken, backs off.
    Entry* e = changed ? changed : free;
    if (!e || e == changed) {
        stats::miss(stats::Path::class_value);
        if (!backoff_.may_learn()) return nullptr;
        if (!e) e = &entries_[next_++ % k_entries];
    }
    stats::learn(stats::Path::class_value);
    e->cls = Seen{};  // matches nothing while learning runs code
    Found getattribute = lookup(meta, name(Name::dunder_getattribute));
    if (getattribute.version == 0) return nullptr;
    if (meta->tp_getattro != PyType_Type.tp_getattro) {
        Found plain = lookup(&PyType_Type, name(Name::dunder_getattribute));
        if (!plain.value || getattribute.value.get() != plain.value.get()) return nullptr;
    }
    Found on_meta = lookup(meta, name(n));
    Found on_class = lookup(type, name(n));
    if (on_meta.version != getattribute.version || on_class.version == 0 || compat::type_version(meta) != on_meta.version)
        return nullptr;
    bool keep = !on_meta.value && on_class.value && keepable(on_class.value.get());
    // Dropping the value it held may run code, which may learn into this very entry: then that
    // learning stands.
    e->cls = Seen{};
    PyObject* kept = keep ? on_class.value.get() : nullptr;
    e->value.reset(keep ? std::move(on_class.value) : Ref{});
    if (e->value.get() != kept || !e->cls.empty()) return nullptr;
    e->name = n;
    e->cls.remember(type, on_class.version, on_class.epoch);
    e->meta.remember(meta, on_meta.version, on_meta.epoch);
    // What was just learned is matched again: the tags may have changed meanwhile.
    return e->cls.matches(type) && e->meta.matches(meta) ? e : nullptr;
}

Ref ClassAttr::operator()(PyObject* cls, Name n) const {
    if (!PyType_Check(cls)) return g_object_reads[static_cast<std::size_t>(n)](cls);
    if constexpr (k_caches) {
        // The value's own type may have gained a __get__ since (it is not the class's).
        if (const Entry* e = entry(reinterpret_cast<PyTypeObject*>(cls), n))
            if (PyObject* value = e->value.get(); value && keepable(value)) {
                Ref held = Ref::borrow(value);  // its __get__ may run code that relearns the entry
                return bound(held.get(), cls);
            }
    }
    return getattr(cls, n);
}

Bound ClassAttr::bind(PyObject* cls, Name n) const {
    if (!PyType_Check(cls)) return Bound(g_object_reads[static_cast<std::size_t>(n)](cls), Ref{});
    if constexpr (k_caches) {
        if (const Entry* e = entry(reinterpret_cast<PyTypeObject*>(cls), n)) {
            PyObject* value = e->value.get();
            if (value && Py_TYPE(value) == &PyClassMethod_Type) {
                // What it wraps now (`classmethod.__init__` may run again on it): a Python function
                // is called with the class first, as the bound method would call it.
                PyObject* callable = table::classmethod_callable(value);
                if (callable && PyFunction_Check(callable)) {
                    stats::hit(stats::Path::classmethod);
                    return Bound(Ref::borrow(callable), Ref::borrow(cls));
                }
            }
            if (value && keepable(value)) {
                Ref held = Ref::borrow(value);  // its __get__ may run code that relearns the entry
                return Bound(bound(held.get(), cls), Ref{});
            }
        }
    }
    return Bound(getattr(cls, n), Ref{});
}

namespace {
// The class-attribute sites of reads and calls made without a site of their own: one per name.
std::array<ClassAttr, static_cast<std::size_t>(Name::count_)> g_class_reads;
}  // namespace

Bound class_bind(PyObject* cls, Name n) { return g_class_reads[static_cast<std::size_t>(n)].bind(cls, n); }

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
std::uint64_t g_seen_version = 0;
}  // namespace detail

namespace {
using detail::g_globals;
using detail::g_seen;

void forget_seen() noexcept { std::fill(std::begin(g_seen), std::end(g_seen), nullptr); }

// Whether values may be kept from the module dict now: it is unchanged since the table was
// filled, or the table is emptied for it, and every key is an exact str (so that a lookup runs no
// key's __eq__, which could answer otherwise later without changing the dict).
bool seen_valid() noexcept {
    if constexpr (!globals_kept) return false;
    std::uint64_t version = detail::dict_version(g_globals);
    if (version != detail::g_seen_version) {
        stats::miss(stats::Path::global);
        forget_seen();
        detail::g_seen_version = version;
    }
    table::View view;
    return table::view(g_globals, view) && view.str_only;
}

void rebind(PyObject* dict) noexcept {
    g_globals = dict;
    ++detail::g_binding;
    forget_seen();
    detail::g_seen_version = 0;
}
}  // namespace

void bind_globals(PyObject* dict) noexcept { rebind(dict); }
void unbind_globals() noexcept { rebind(nullptr); }

namespace {
// The global's value (borrowed from the dict), or NULL.
PyObject* find_global(Name n) {
    if (k_caches && seen_valid()) {
        PyObject*& seen = g_seen[static_cast<std::size_t>(n)];
        // A lookup of a str among str keys runs no Python code, so the dict is as it was when the
        // version was read.
        if (!seen) {
            stats::learn(stats::Path::global);
            seen = PyDict_GetItemWithError(g_globals, name(n));
        }
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

namespace {

template <class T>
bool holds(T x, T y, int op) noexcept {
    switch (op) {
        case Py_LT: return x < y;
        case Py_LE: return x <= y;
        case Py_EQ: return x == y;
        case Py_NE: return x != y;
        case Py_GT: return x > y;
        default: return x >= y;
    }
}

// `a <op> b` where both sides compare with the same built-in comparison, whose answer depends on
// nothing but their values: then whichever side Python asks first answers, and that is the
// answer. 1 or 0, or -1 to take the generic comparison.
int known_comparison(PyObject* a, PyObject* b, int op) noexcept {
    if constexpr (!k_caches) return -1;
    richcmpfunc ca = Py_TYPE(a)->tp_richcompare, cb = Py_TYPE(b)->tp_richcompare;
    if (ca != cb) return -1;
    if (ca == PyLong_Type.tp_richcompare && PyLong_Check(a) && PyLong_Check(b)) {  // int, bool, subclasses
        int oa = 0, ob = 0;
        long long x = PyLong_AsLongLongAndOverflow(a, &oa), y = PyLong_AsLongLongAndOverflow(b, &ob);
        if (oa || ob || ((x == -1 || y == -1) && PyErr_Occurred())) {
            PyErr_Clear();  // cannot fail on an int, but a huge one is compared generically
            return -1;
        }
        return holds(x, y, op);
    }
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) return holds(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op);
    // object's own comparison: equal only to itself, and no order.
    if (ca == PyBaseObject_Type.tp_richcompare && (op == Py_EQ || op == Py_NE)) return (a == b) == (op == Py_EQ);
    return -1;
}

}  // namespace

bool compare(PyObject* a, PyObject* b, int op) {
    if (int known = known_comparison(a, b, op); known >= 0) return known;
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
