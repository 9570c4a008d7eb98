#include "py/dict.hpp"
#include "py/table.hpp"

#include <cassert>

namespace py {
namespace {

bool is_tracked(PyObject* o) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsTracked(o);
#else
    return _PyObject_GC_IS_TRACKED(o);
#endif
}

// Whether inserting `value` would make a dict tracked by the collector, as insertion decides it.
bool may_be_tracked(PyObject* value) {
    return PyObject_IS_GC(value) && (!PyTuple_CheckExact(value) || is_tracked(value));
}

}  // namespace

void DictShape::learn() const {
    stats::learn(stats::Path::dict_template);
    Ref t = Ref::steal_or_raise(PyDict_New());
    for (Name key : keys_) check(PyDict_SetItem(t.get(), name(key), Py_None));
    template_.reset(std::move(t));  // the one it replaces holds only str keys and None
}

Ref DictShape::build(std::initializer_list<PyObject*> leading, std::span<const Ref> rest) const {
    const auto n = static_cast<Py_ssize_t>(keys_.size());
    assert(static_cast<Py_ssize_t>(leading.size() + rest.size()) == n);
    auto value = [&](Py_ssize_t i) {
        auto lead = static_cast<Py_ssize_t>(leading.size());
        return i < lead ? leading.begin()[i] : rest[static_cast<std::size_t>(i - lead)].get();
    };
    if constexpr (k_caches && table::k_known) {
        if (layout::usable(layout::Layout::dict_entries)) {
        if (!template_.get()) learn();
        PyObject* source = template_.get();
        Ref copy = Ref::steal_or_raise(PyDict_Copy(source));
        table::View view;
        bool intact = reinterpret_cast<PyDictObject*>(copy.get())->ma_keys !=
                          reinterpret_cast<PyDictObject*>(source)->ma_keys &&
                      table::view(copy.get(), view) && !view.split && view.count == n;
        for (Py_ssize_t i = 0; intact && i < n; ++i)
            intact = view.key_at(i) == name(keys_[static_cast<std::size_t>(i)]) && *view.value_slot(i) == Py_None;
        if (intact) {
            bool track = false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* v = value(i);
                track = track || may_be_tracked(v);
                *view.value_slot(i) = Py_NewRef(v);
                Py_DECREF(Py_None);
            }
            if (track && !is_tracked(copy.get())) PyObject_GC_Track(copy.get());
            stats::hit(stats::Path::dict_template);
            return copy;
        }
        stats::miss(stats::Path::dict_template);
        // Not the copy expected (it holds only the keys and None): insert instead.
        }
    }
    Ref dict = Ref::steal_or_raise(_PyDict_NewPresized(n));
    for (Py_ssize_t i = 0; i < n; ++i) check(PyDict_SetItem(dict.get(), name(keys_[static_cast<std::size_t>(i)]), value(i)));
    return dict;
}

}  // namespace py
