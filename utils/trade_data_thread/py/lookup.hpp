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
#include "py/stats.hpp"

#include <cstdint>

namespace py {

// Built with TDT_NO_CACHES no site ever learns and every operation takes the generic path: the
// reference build that the cached one must equal.
#ifdef TDT_NO_CACHES
inline constexpr bool k_caches = false;
#else
inline constexpr bool k_caches = true;
#endif

// A guard holds only within the epoch it was learned in. Before 3.11 `sys._clear_type_cache()`
// restarts the numbering of version tags, so a type may later carry a tag another type had: that
// ends the epoch. From 3.11 tags are never reused within an interpreter, and the module lives in
// the main interpreter alone, so the epoch never ends there. Within an epoch, type and tag identify
// what a guard saw.
#if PY_VERSION_HEX < 0x030B0000
#  define TDT_TAG_WITNESS 1
#endif
namespace detail {
extern unsigned int g_epoch;  // never 0
#ifdef TDT_TAG_WITNESS
// A private type that nobody else looks names up on. Restarting the numbering strips every type's
// tag, this one's included: while it keeps its tag, no tag seen since it got it can have repeated.
extern PyTypeObject g_tag_witness;
extern unsigned int g_witness_tag;  // the tag it was given when the epoch began
#endif
}  // namespace detail

// The epoch a guard was learned in; 0 while the epoch has ended and no site has started the next.
inline unsigned int epoch() noexcept {
#ifdef TDT_TAG_WITNESS
    if (!PyType_HasFeature(&detail::g_tag_witness, Py_TPFLAGS_VALID_VERSION_TAG) ||
        detail::g_tag_witness.tp_version_tag != detail::g_witness_tag)
        return 0;
#endif
    return detail::g_epoch;
}

// A type as a site saw it: identity, version tag and epoch.
class Seen {
public:
    bool matches(PyTypeObject* type) const noexcept {
        return type == type_ && version_ == compat::type_version(type) && epoch_ == epoch();
    }
    void remember(PyTypeObject* type, unsigned int version, unsigned int epoch) noexcept {
        type_ = type;
        version_ = version;
        epoch_ = epoch;
    }
    bool empty() const noexcept { return type_ == nullptr; }
    bool saw(PyTypeObject* type) const noexcept { return type == type_; }

private:
    PyTypeObject* type_ = nullptr;
    unsigned int version_ = 0;  // 0 never matches: a type without a tag reads 0 but is never remembered
    unsigned int epoch_ = 0;    // 0 never matches
};

// When a site whose guard failed may learn again, as the interpreter's adaptive counters decide
// it: the first type is learned at once; after that every relearning doubles the number of misses
// that must pass before the next (up to 4,095), so a site that keeps meeting other types soon
// takes the generic path without planning for each of them.
class Backoff {
public:
    // On a miss: whether to learn now (otherwise the miss takes the generic path).
    bool may_learn() noexcept {
        if (wait_ > 0) {
            --wait_;
            return false;
        }
        wait_ = static_cast<std::uint16_t>((1u << shift_) - 1);
        if (shift_ < k_max_shift) ++shift_;
        return true;
    }

    // A guard of `path` that saw `seen` missed: counted as a miss when it had learned a type, and
    // as a learning when the site may learn now, which it says.
    bool after_miss(const Seen& seen, stats::Path path) noexcept {
        if (!seen.empty()) stats::miss(path);
        if (!may_learn()) return false;
        stats::learn(path);
        return true;
    }

private:
    static constexpr unsigned k_max_shift = 12;
    std::uint16_t wait_ = 0;
    std::uint8_t shift_ = 0;
};

// A reference a cache keeps: replaced when the cache learns anew, never released at exit (the
// interpreter may be gone by then).
class Kept {
public:
    PyObject* get() const noexcept { return p_; }
    // The cache's own state must be consistent before this runs: dropping the old reference may
    // run Python code.
    void reset(Ref value) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// A name looked up on a type's method resolution order (`_PyType_Lookup`): what was found (empty
// when nothing), and the version tag and epoch it holds under; `version` is 0 when the answer must
// not be cached (the type has no tag, or changed while it was looked up).
struct Found {
    Ref value;
    unsigned int version = 0;
    unsigned int epoch = 0;
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
    unsigned int epoch = 0;
};
// For reads (`obj.name`) and for stores (`obj.name = v`, which only ever plans an instance dict).
Plan plan_read(PyTypeObject* type, PyObject* name);
Plan plan_store(PyTypeObject* type, PyObject* name);

}  // namespace py
