// How a type resolves one name, and the guard under which that answer may be reused. Every cache
// in py/ (attribute reads and writes, method calls, class values) learns here, the way the
// interpreter's own specialiser does:
// - the type's version tag is read before anything that can run Python code (looking a name up
//   on a type can run a colliding key's `__eq__`), and the answer is kept only when the tag is
//   still the same afterwards;
// - a tag changes whenever the type's attribute table or a base's changes, so a guard that holds
//   means the type would resolve the name the same way now;
// - what a cache keeps beyond the guard (a descriptor, a class value) it owns.
// When a guard does not hold, the site takes the generic path, which is always right.
#pragma once

#include "py/names.hpp"

namespace py {

// Built with TDT_NO_CACHES no site ever learns and every operation takes the generic path: the
// reference build that the cached one must equal.
#ifdef TDT_NO_CACHES
inline constexpr bool k_caches = false;
#else
inline constexpr bool k_caches = true;
#endif

// A guard holds only within the era it was learned in. An era ends when the module unpins from an
// interpreter that has ended: from 3.12 heap types take their tags from a count each interpreter
// keeps, so a type made later at a freed type's address may carry that type's very tag. Before
// 3.11 tags also repeat within one interpreter: `sys._clear_type_cache()` restarts their
// numbering, which ends the era too. Within an era, type and tag identify what a guard saw.
#if PY_VERSION_HEX < 0x030B0000
#  define TDT_TAG_WITNESS 1
#endif
namespace detail {
extern unsigned int g_era;  // never 0
#ifdef TDT_TAG_WITNESS
// A private type that nobody else looks names up on. Restarting the numbering strips every type's
// tag, this one's included: while it keeps its tag, no tag seen since it got it can have repeated.
extern PyTypeObject g_tag_witness;
#endif
}  // namespace detail

// The tag era a guard was learned in; 0 while the era has ended and no site has started the next.
inline unsigned int era() noexcept {
#ifdef TDT_TAG_WITNESS
    if (!PyType_HasFeature(&detail::g_tag_witness, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return detail::g_era;
}

// Ends the era for every site at once: the module's objects now belong to another interpreter.
void end_era() noexcept;

// A type as a site saw it: identity, version tag and era.
class Seen {
public:
    bool matches(PyTypeObject* type) const noexcept {
        return type == type_ && version_ == compat::type_version(type) && era_ == era();
    }
    void remember(PyTypeObject* type, unsigned int version, unsigned int era) noexcept {
        type_ = type;
        version_ = version;
        era_ = era;
    }

private:
    PyTypeObject* type_ = nullptr;
    unsigned int version_ = 0;  // 0 never matches: a type without a tag reads 0 but is never remembered
    unsigned int era_ = 0;      // 0 never matches
};

// A reference a cache keeps: replaced when the cache learns anew, never released at exit (the
// interpreter may be gone by then), nor when it came from an interpreter that has ended.
class Kept {
public:
    PyObject* get() const noexcept { return p_; }
    // The cache's own state must be consistent before this runs: dropping the old reference may
    // run Python code.
    void reset(Ref value) noexcept {
        PyObject* old = p_;
        bool ours = generation_ == names_generation();
        p_ = value.release();
        generation_ = names_generation();
        if (ours) Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
    unsigned int generation_ = 0;
};

// A name looked up on a type's method resolution order (`_PyType_Lookup`): what was found (empty
// when nothing), and the version tag and era it holds under; `version` is 0 when the answer must
// not be cached (the type has no tag, or changed while it was looked up).
struct Found {
    Ref value;
    unsigned int version = 0;
    unsigned int era = 0;
};
Found lookup(PyTypeObject* type, PyObject* name);

// How instances of a type resolve `obj.name` under the generic attribute lookup.
enum class Access : unsigned char {
    generic,        // anything else: getattr / setattr
    slot,           // a `__slots__` member of the type or a base: the object's own slot
    instance_dict,  // nothing of that name on the type: the instance dict alone
};
struct Plan {
    Access access = Access::generic;
    Py_ssize_t offset = 0;  // the slot's offset, or the dict's when fixed (0: ask for it)
    unsigned int version = 0;
    unsigned int era = 0;
};
// For reads (`obj.name`) and for stores (`obj.name = v`, which only ever plans an instance dict).
Plan plan_read(PyTypeObject* type, PyObject* name);
Plan plan_store(PyTypeObject* type, PyObject* name);

// Where the interpreter says an object's dict is, making it from inline attribute values where it
// keeps those (the same attributes, stored differently); null while it has none.
PyObject* made_dict(PyObject* obj) noexcept;
inline PyObject* computed_dict(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
    // A dict already made is read where 3.11 to 3.13 keep it, three words before the object (3.12
    // keeps inline values' address there instead, tagged by its low bit).
    if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT)) {
        PyObject* made = reinterpret_cast<PyObject**>(obj)[-3];
#  if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
        if (reinterpret_cast<std::uintptr_t>(made) & 1) made = nullptr;
#  endif
        if (made) return made;
    }
#endif
    return made_dict(obj);
}
// The instance dict of an object whose type was planned for it (borrowed), or null while it has
// none yet: read in place at a fixed offset, otherwise where the interpreter says. Runs no Python
// code.
inline PyObject* dict_at(PyObject* obj, Py_ssize_t offset) noexcept {
    if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
    return computed_dict(obj);
}

}  // namespace py
