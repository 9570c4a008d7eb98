#include "py/lookup.hpp"

#include "py/layout.hpp"
#include "py/table.hpp"

#include <cstdint>

namespace py {

namespace detail {
unsigned int g_epoch = 1;

#ifdef TDT_TAG_WITNESS
PyTypeObject g_tag_witness = compat::static_type("trade_data_thread.tag_witness", sizeof(PyObject),
                                                 Py_TPFLAGS_DEFAULT & ~Py_TPFLAGS_HAVE_VERSION_TAG);
unsigned int g_witness_tag = 0;
#endif
}  // namespace detail

namespace {

// The epoch to learn in, starting a new one when the last has ended.
unsigned int learning_epoch() {
#ifdef TDT_TAG_WITNESS
    PyTypeObject* witness = &detail::g_tag_witness;
    if (!PyType_HasFeature(witness, Py_TPFLAGS_VALID_VERSION_TAG)) {
        if (!PyType_HasFeature(witness, Py_TPFLAGS_READY) && PyType_Ready(witness) < 0) raise();
        if (++detail::g_epoch == 0) detail::g_epoch = 1;
        // A lookup gives the witness a tag again (none when the numbering is exhausted: then
        // epoch() stays 0 and nothing is cached). Only here: 3.8 and 3.9 tag no type without the
        // flag that asks for one, so no one else can give it a tag after the numbering restarts.
        witness->tp_flags |= Py_TPFLAGS_HAVE_VERSION_TAG;
        (void)_PyType_Lookup(witness, name(Name::dunder_name));
        witness->tp_flags &= ~Py_TPFLAGS_HAVE_VERSION_TAG;
        // 3.10 tags any type: the tag it has must be the one it got here.
        detail::g_witness_tag = witness->tp_version_tag;
    }
#endif
    return epoch();
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

Found lookup(PyTypeObject* type, PyObject* name) {
    unsigned int at = learning_epoch();
    unsigned int version = tagged_version(type, name);
    Found found{Ref::borrow_or_empty(_PyType_Lookup(type, name)), 0, 0};  // may run code
    if (at != 0 && version != 0 && compat::type_version(type) == version && epoch() == at) {
        found.version = version;
        found.epoch = at;
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
        if (type->tp_dictoffset == 0 || !table::dict_findable(type)) return plan;
        plan.access = Access::instance_dict;
        plan.offset = type->tp_dictoffset > 0 ? type->tp_dictoffset : 0;
    } else if (Py_TYPE(descr) == &PyMemberDescr_Type) {
        // A plain object member is a data descriptor, so it wins over any instance dict. Its offset
        // is valid only in instances of the type that defined it, which the interpreter checks.
        PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
        if (!layout::usable(layout::Layout::member_slots) || member->type != TDT_T_OBJECT_EX ||
            (member->flags & ~READONLY) != 0 || !PyType_IsSubtype(type, PyDescr_TYPE(descr)))
            return plan;
        plan.access = Access::slot;
        plan.offset = member->offset;
    } else {
        return plan;
    }
    plan.version = found.version;
    plan.epoch = found.epoch;
    return plan;
}

Plan plan_store(PyTypeObject* type, PyObject* name) {
    Plan plan;
    if (!k_caches || type->tp_setattro != PyObject_GenericSetAttr || type->tp_dictoffset == 0 ||
        !table::dict_findable(type))
        return plan;
    Found found = lookup(type, name);
    // Anything of that name on the type could be a descriptor that intercepts the store.
    if (found.version == 0 || found.value) return plan;
    plan.access = Access::instance_dict;
    plan.offset = type->tp_dictoffset > 0 ? type->tp_dictoffset : 0;
    plan.version = found.version;
    plan.epoch = found.epoch;
    return plan;
}


}  // namespace py
