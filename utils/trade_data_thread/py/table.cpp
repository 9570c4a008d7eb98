// The checks at load of the layouts py/table.hpp reads: each builds objects through the public API
// and reads them back both ways, in place and through the API.
#include "py/table.hpp"

#include "py/attr.hpp"

namespace py::table::detail {
#if PY_VERSION_HEX < 0x030B0000
const void* g_str_lookups[3];
#endif
}  // namespace py::table::detail

namespace py::layout {
namespace {

#if PY_VERSION_HEX < 0x030B0000
const void* lookup_of(PyObject* dict) {
    return reinterpret_cast<const void* const*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys)[2];
}
#endif

// Three keys and values of our own, none of them shared with the host.
struct Probe {
    Ref keys[3];
    Ref values[3];
    Probe() {
        for (int i = 0; i < 3; ++i) {
            const char* texts[] = {"probe_a", "probe_b", "probe_c"};
            keys[i] = Ref::steal_or_raise(PyUnicode_InternFromString(texts[i]));
            values[i] = Ref::steal_or_raise(PyLong_FromLong(1000 + i));
        }
    }
};

// A plain class of our own, `class probe: pass`, or with `__slots__` when given.
Ref probe_class(PyObject* slots) {
    Ref ns = Ref::steal_or_raise(PyDict_New());
    if (slots) check(PyDict_SetItemString(ns.get(), "__slots__", slots));
    return Ref::steal_or_raise(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O",
                                                     "trade_data_thread_probe", &PyBaseObject_Type, ns.get()));
}

// Every key of `dict` at the entry the view says, with the value the dict's lookup finds.
bool entries_agree(PyObject* dict, const Probe& p, bool split) {
    table::View v;
    if (!table::view(dict, v) || (v.split != nullptr) != split || v.count != 3 || !v.str_only) return false;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* key = p.keys[i].get();
        if (v.index_of(key) != i || v.value_if(i, key) != PyDict_GetItemWithError(dict, key)) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

bool probe_dict_entries() {
    Probe p;
    // A combined table of str keys, one of any keys (3.11 keeps the two apart), and a split one:
    // the dict of an instance whose class shares its keys.
    Ref plain = Ref::steal_or_raise(PyDict_New());
    Ref general = Ref::steal_or_raise(PyDict_New());
    for (int i = 0; i < 3; ++i) {
        check(PyDict_SetItem(plain.get(), p.keys[i].get(), p.values[i].get()));
        check(PyDict_SetItem(general.get(), p.keys[i].get(), p.values[i].get()));
    }
    Ref cls = probe_class(nullptr);
    Ref obj = Ref::steal_or_raise(PyObject_CallObject(cls.get(), nullptr));
    for (int i = 0; i < 3; ++i) check(PyObject_SetAttr(obj.get(), p.keys[i].get(), p.values[i].get()));
    Ref dict = Ref::steal_or_raise(PyObject_GenericGetDict(obj.get(), nullptr));
#if PY_VERSION_HEX < 0x030B0000
    // The str-only lookups: a fresh table's, a table's with a deleted entry, a shared one's.
    Ref deleted = Ref::steal_or_raise(PyDict_Copy(plain.get()));
    Ref extra = Ref::steal_or_raise(PyUnicode_FromString("probe_d"));
    check(PyDict_SetItem(deleted.get(), extra.get(), Py_None));
    check(PyDict_DelItem(deleted.get(), extra.get()));
    table::detail::g_str_lookups[0] = lookup_of(plain.get());
    table::detail::g_str_lookups[1] = lookup_of(deleted.get());
    table::detail::g_str_lookups[2] = reinterpret_cast<PyDictObject*>(dict.get())->ma_values ? lookup_of(dict.get()) : nullptr;
#endif
    Ref other = Ref::steal_or_raise(PyLong_FromLong(7));
    check(PyDict_SetItem(general.get(), other.get(), other.get()));
    check(PyDict_DelItem(general.get(), other.get()));  // the deleted entry stays counted: 4
    table::View v;
    if (!table::view(general.get(), v) || v.count != 4 || v.str_only || v.key_at(0) != p.keys[0].get() ||
        *v.value_slot(2) != p.values[2].get())
        return false;
    if (!entries_agree(plain.get(), p, false)) return false;
    table::View inst;
    if (!table::view(dict.get(), inst)) return false;
    return entries_agree(dict.get(), p, inst.split != nullptr);
}

bool probe_inline_values() {
#ifdef TDT_INLINE_VALUES
    Probe p;
    Ref cls = probe_class(nullptr);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    // Two instances, so that the class's shared keys hold all three names.
    for (int round = 0; round < 2; ++round) {
        Ref obj = Ref::steal_or_raise(PyObject_CallObject(cls.get(), nullptr));
        for (int i = 0; i < 3; ++i) check(PyObject_SetAttr(obj.get(), p.keys[i].get(), p.values[i].get()));
        if (round == 0) continue;
        PyObject* const* values = table::inline_values(obj.get());
        if (!values) return false;
        for (int i = 0; i < 3; ++i) {
            Py_ssize_t at = table::inline_index(type, p.keys[i].get());
            if (at < 0 || values[at] != p.values[i].get()) return false;
        }
        // Once its dict is made and a value is changed through it, the values read in place (if the
        // object still keeps them) are the dict's.
        Ref dict = Ref::steal_or_raise(PyObject_GenericGetDict(obj.get(), nullptr));
        check(PyDict_SetItem(dict.get(), p.keys[1].get(), p.values[0].get()));
        if (PyObject* const* after = table::inline_values(obj.get())) {
            Py_ssize_t at = table::inline_index(type, p.keys[1].get());
            if (after[at] != PyDict_GetItemWithError(dict.get(), p.keys[1].get())) return false;
        }
    }
    return true;
#else
    return false;
#endif
}

bool probe_managed_dict() {
#ifdef TDT_MANAGED_DICT
    Probe p;
    Ref cls = probe_class(nullptr);
    if (!table::managed(reinterpret_cast<PyTypeObject*>(cls.get()))) return false;
    Ref obj = Ref::steal_or_raise(PyObject_CallObject(cls.get(), nullptr));
    check(PyObject_SetAttr(obj.get(), p.keys[0].get(), p.values[0].get()));
    if (table::made_dict(obj.get(), 0) != nullptr) return false;  // values inline, no dict yet
    Ref dict = Ref::steal_or_raise(PyObject_GenericGetDict(obj.get(), nullptr));
    return table::made_dict(obj.get(), 0) == dict.get();
#else
    return false;
#endif
}

bool probe_member_slots() {
    Probe p;
    Ref slots = Ref::steal_or_raise(PyTuple_Pack(2, p.keys[0].get(), p.keys[1].get()));
    Ref cls = probe_class(slots.get());
    Ref obj = Ref::steal_or_raise(PyObject_CallObject(cls.get(), nullptr));
    for (int i = 0; i < 2; ++i) {
        check(PyObject_SetAttr(obj.get(), p.keys[i].get(), p.values[i].get()));
        PyObject* descr = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.get()), p.keys[i].get());
        if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type) return false;
        PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
        auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj.get()) + member->offset);
        if (member->type != TDT_T_OBJECT_EX || *slot != p.values[i].get()) return false;
    }
    return true;
}

bool probe_classmethod_callable() {
    Ref function = Ref::steal_or_raise(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "mro"));
    Ref method = Ref::steal_or_raise(PyClassMethod_New(function.get()));
    Ref wrapped = Ref::steal_or_raise(PyObject_GetAttrString(method.get(), "__func__"));
    PyObject* read = reinterpret_cast<PyObject* const*>(reinterpret_cast<char*>(method.get()) + sizeof(PyObject))[0];
    return read == function.get() && wrapped.get() == function.get();
}

}  // namespace py::layout
