#include "py/lookup.hpp"

#include <cstdint>

namespace py {

namespace detail {
unsigned int g_era = 1;

#ifdef TDT_TAG_WITNESS
PyTypeObject g_tag_witness = compat::static_type("trade_data_thread.tag_witness", sizeof(PyObject), Py_TPFLAGS_DEFAULT);
#endif
}  // namespace detail

namespace {

// The era to learn in, starting a new one when the last has ended.
unsigned int learning_era() {
#ifdef TDT_TAG_WITNESS
    PyTypeObject* witness = &detail::g_tag_witness;
    if (!PyType_HasFeature(witness, Py_TPFLAGS_VALID_VERSION_TAG)) {
        if (!PyType_HasFeature(witness, Py_TPFLAGS_READY) && PyType_Ready(witness) < 0) raise();
        if (++detail::g_era == 0) detail::g_era = 1;
        // A lookup gives the witness a tag again (none when the numbering is exhausted: then
        // era() stays 0 and nothing is cached).
        (void)_PyType_Lookup(witness, name(Name::dunder_name));
    }
#endif
    return era();
}

// The type's version tag, giving it one first when it has none.
unsigned int tagged_version(PyTypeObject* type, PyObject* name) {
    unsigned int version = compat::type_version(type);
    if (version != 0) return version;
#if PY_VERSION_HEX >= 0x030C0000
    (void)name;
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;  // runs no Python code
#else
    (void)_PyType_Lookup(type, name);  // assigns a tag as it caches, after a search that may run code
#endif
    return compat::type_version(type);
}

}  // namespace

void end_era() noexcept {
#ifdef TDT_TAG_WITNESS
    // Strips the witness's tag, so the next site to learn starts a new era.
    detail::g_tag_witness.tp_flags &= ~Py_TPFLAGS_VALID_VERSION_TAG;
#else
    if (++detail::g_era == 0) detail::g_era = 1;
#endif
}

Found lookup(PyTypeObject* type, PyObject* name) {
    unsigned int era = learning_era();
    unsigned int version = tagged_version(type, name);
    Found found{Ref::borrow_or_empty(_PyType_Lookup(type, name)), 0, 0};  // may run code
    if (era != 0 && version != 0 && compat::type_version(type) == version && py::era() == era) {
        found.version = version;
        found.era = era;
    }
    return found;
}

Plan plan_read(PyTypeObject* type, PyObject* name) {
    Plan plan;
    if (!k_caches || type->tp_getattro != PyObject_GenericGetAttr) return plan;
    Found found = lookup(type, name);
    if (found.version == 0) return plan;
    PyObject* descr = found.value.get();
    if (!descr) {
        // Nothing on the type: the instance dict alone decides (no dict: always AttributeError).
        if (type->tp_dictoffset == 0) return plan;
        plan.access = Access::instance_dict;
        plan.offset = type->tp_dictoffset > 0 ? type->tp_dictoffset : 0;
    } else if (Py_TYPE(descr) == &PyMemberDescr_Type) {
        // A plain object member is a data descriptor, so it wins over any instance dict. Its offset
        // is valid only in instances of the type that defined it, which the interpreter checks.
        PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
        if (member->type != TDT_T_OBJECT_EX || (member->flags & ~READONLY) != 0 ||
            !PyType_IsSubtype(type, PyDescr_TYPE(descr)))
            return plan;
        plan.access = Access::slot;
        plan.offset = member->offset;
    } else {
        return plan;
    }
    plan.version = found.version;
    plan.era = found.era;
    return plan;
}

Plan plan_store(PyTypeObject* type, PyObject* name) {
    Plan plan;
    if (!k_caches || type->tp_setattro != PyObject_GenericSetAttr || type->tp_dictoffset == 0) return plan;
    Found found = lookup(type, name);
    // Anything of that name on the type could be a descriptor that intercepts the store.
    if (found.version == 0 || found.value) return plan;
    plan.access = Access::instance_dict;
    plan.offset = type->tp_dictoffset > 0 ? type->tp_dictoffset : 0;
    plan.version = found.version;
    plan.era = found.era;
    return plan;
}


PyObject* made_dict(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT)) {
        // The interpreter keeps such an instance's attributes as inline values until its dict is
        // asked for. Making the dict allocates; with the collector paused no finalizer can run
        // meanwhile (one that changed the object's class mid-way would leave two dicts over the
        // same values).
        int enabled = PyGC_Disable();
        PyObject** dict = _PyObject_GetDictPtr(obj);
        if (enabled) PyGC_Enable();
        return dict ? *dict : nullptr;
    }
#endif
    PyObject** dict = _PyObject_GetDictPtr(obj);  // only computes where it is
    return dict ? *dict : nullptr;
}

}  // namespace py
