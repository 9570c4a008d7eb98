// Attribute reads and writes, module globals, and the few object operations handlers share.
#pragma once

#include "py/call.hpp"
#include "py/lookup.hpp"
#include "py/table.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace py {

// A read site of one attribute name: `obj.name`. It remembers how the last record type it saw
// resolves the name (py/lookup.hpp) and, while that type is unchanged, reads a `__slots__` member
// straight from its slot, and an instance attribute from the values the object keeps outside a
// dict, or from its dict's entry where the name was last found, or with one lookup in that dict.
// Anything else, and any type that changed, is getattr. Declare one site per read, where the read
// is made.
class Attr {
public:
    constexpr explicit Attr(Name name) noexcept : name_(name) {}
    constexpr Name attr_name() const noexcept { return name_; }
    Ref operator()(PyObject* obj) const {
        if constexpr (k_caches) {
            if (seen_.matches(Py_TYPE(obj))) {
                if (access_ == Access::slot) {
                    PyObject* held = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset_);
                    if (held) {
                        stats::hit(stats::Path::read_slot);
                        return Ref::borrow(held);
                    }
                } else if (access_ == Access::instance_dict) {
                    // Values the object keeps outside a dict are read where the interpreter's own
                    // specialised reads find them.
                    if (inline_ >= 0)
                        if (PyObject* const* values = table::inline_values(obj))
                            if (PyObject* value = values[inline_]) {
                                stats::hit(stats::Path::read_inline);
                                return Ref::borrow(value);
                            }
                    return from_instance_dict(obj);
                }
            } else {
                missed(Py_TYPE(obj));
            }
        }
        return getattr(obj);
    }

private:
    Ref getattr(PyObject* obj) const { return Ref::steal_or_raise(PyObject_GetAttr(obj, name(name_))); }
    void missed(PyTypeObject* type) const;
    Ref from_instance_dict(PyObject* obj) const;
    Name name_;
    mutable Seen seen_;
    mutable Backoff backoff_;
    mutable Access access_ = Access::generic;
    mutable Py_ssize_t offset_ = 0;
    mutable Py_ssize_t hint_ = -1;    // the instance-dict entry the name was last found in
    mutable Py_ssize_t inline_ = -1;  // the name's index among values kept outside a dict
};

// A store site of one attribute name: `obj.name = value`. While the type is unchanged, has the
// generic setattr and nothing of that name (so no descriptor can intercept the store), straight
// into the instance dict the object already has; otherwise, and for an object that keeps its
// values inline with no dict, setattr (which keeps them inline, as plain Python does).
class SetAttr {
public:
    constexpr explicit SetAttr(Name name) noexcept : name_(name) {}
    void operator()(PyObject* obj, PyObject* value) const;

private:
    Name name_;
    mutable Seen seen_;
    mutable Backoff backoff_;
    mutable Py_ssize_t offset_ = 0;
};

// One row of a field table: a key (a dictionary key or a keyword) and the record attribute whose
// value goes under it.
struct Field {
    Name key;
    Name attr;
};

// The read sites of a table's attributes, one per row, declared beside the loop that reads them:
// from a table of names, or of rows that each name theirs in `attr`. The table also remembers, as
// one guard, a record type whose every row is a member slot.
template <std::size_t K>
class Reads {
public:
    constexpr explicit Reads(const Name (&names)[K]) : Reads(names, std::make_index_sequence<K>{}) {}
    template <class Row>
    constexpr explicit Reads(const Row (&rows)[K]) : Reads(rows, std::make_index_sequence<K>{}) {}
    const Attr& operator[](std::size_t i) const noexcept { return sites_[i]; }

    // The rows' slot offsets when every row is a member slot of `type` as it is now, else null.
    const Py_ssize_t* slots_of(PyTypeObject* type) const {
        if constexpr (!k_caches) return nullptr;
        if (slots_.matches(type)) {
            stats::hit(stats::Path::read_table);
            return offsets_.data();
        }
        if (other_.matches(type)) return nullptr;
        if (!backoff_.after_miss(slots_, stats::Path::read_table)) return nullptr;
        learn(type);
        return slots_.matches(type) ? offsets_.data() : nullptr;
    }

private:
    template <std::size_t... I>
    constexpr Reads(const Name (&names)[K], std::index_sequence<I...>) : sites_{Attr{names[I]}...} {}
    template <class Row, std::size_t... I>
    constexpr Reads(const Row (&rows)[K], std::index_sequence<I...>) : sites_{Attr{rows[I].attr}...} {}

    // Plans every row under one version tag, read before and checked after the lookups.
    void learn(PyTypeObject* type) const {
        unsigned int version = compat::type_version(type), at = epoch();
        std::array<Py_ssize_t, K> offsets{};
        bool all_slots = true;
        for (std::size_t i = 0; i < K; ++i) {
            Plan plan = plan_read(type, py::name(sites_[i].attr_name()));
            all_slots = all_slots && plan.access == Access::slot;
            offsets[i] = plan.offset;
        }
        if (version == 0 || at == 0 || compat::type_version(type) != version || epoch() != at) return;
        if (all_slots) {
            offsets_ = offsets;
            slots_.remember(type, version, at);
        } else {
            other_.remember(type, version, at);
        }
    }

    std::array<Attr, K> sites_;
    mutable Seen slots_;  // a type whose rows are all member slots, at offsets_
    mutable Seen other_;  // a type for which some row is not
    mutable Backoff backoff_;
    mutable std::array<Py_ssize_t, K> offsets_{};
};

inline Ref getattr(PyObject* obj, Name n) { return Ref::steal_or_raise(PyObject_GetAttr(obj, name(n))); }
inline void setattr(PyObject* obj, Name n, PyObject* value) {
    check(PyObject_SetAttr(obj, name(n), value));
}
// The attribute, or an empty Ref when reading it fails with any error (the error is cleared).
Ref getattr_quiet(PyObject* obj, Name n);

// The module namespace that module globals are read from, bound by a load and unbound when that
// load fails or its module is freed. Functions made under one binding run only under it.
void bind_globals(PyObject* dict) noexcept;
void unbind_globals() noexcept;
namespace detail {
extern PyObject* g_globals;     // the module's dict while a load has it bound (the module owns it)
extern unsigned int g_binding;  // changes with every binding and unbinding
}  // namespace detail
inline PyObject* globals_dict() noexcept { return detail::g_globals; }
inline unsigned int globals_binding() noexcept { return detail::g_binding; }
// A module global, looked up by name at each use so the host may rebind it; a name the module
// does not hold is looked up in the builtins, and NameError if they lack it too. Values found in
// the module dict are kept (borrowed from it) while the dict is unchanged, as its version tag tells
// (every change to any dict gives it a new tag, set before the change can run any code), on the
// interpreters that keep one (3.8 to 3.13), and while its keys are all str.
inline constexpr bool globals_kept = k_caches && table::k_known;
namespace detail {
extern PyObject* g_seen[static_cast<std::size_t>(Name::count_)];
extern std::uint64_t g_seen_version;
inline std::uint64_t dict_version([[maybe_unused]] PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    // Deprecated from 3.12, still kept up to date by every change.
#  pragma GCC diagnostic push
#  pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#  pragma GCC diagnostic pop
#else
    return 0;
#endif
}
Ref look_up_global(Name n);
}  // namespace detail
inline Ref global(Name n) {
    if constexpr (globals_kept) {
        if (detail::dict_version(detail::g_globals) == detail::g_seen_version)
            if (PyObject* value = detail::g_seen[static_cast<std::size_t>(n)]) {
                stats::hit(stats::Path::global);
                return Ref::borrow(value);
            }
    }
    return detail::look_up_global(n);
}

// A read site of class attributes: `cls.<name>`. A plain value stored in the class (an
// enumeration member, a constant), a staticmethod's function and a classmethod are remembered,
// for up to six (class, name) pairs at a site, while neither the class nor its metaclass changes;
// other descriptors and metaclasses with their own attribute lookup always go through getattr.
// On an object that is not a class, `obj.<name>` through a read site of that name.
class ClassAttr {
public:
    Ref operator()(PyObject* cls, Name n) const;
    // `cls.<name>`, to be called: a remembered classmethod over a Python function is the function
    // with `cls` first, which is what the bound method it would make calls.
    Bound bind(PyObject* cls, Name n) const;

private:
    struct Entry {
        Name name{};
        Seen cls, meta;
        Kept value;  // the class's own stored value, kept while both guards hold; empty: getattr
    };
    const Entry* entry(PyTypeObject* type, Name n) const;
    static constexpr std::size_t k_entries = 6;
    mutable std::array<Entry, k_entries> entries_{};
    mutable std::uint8_t next_ = 0;
    mutable Backoff backoff_;
};

// `cls.<n>`, to be called, with no site of its own: through a site kept for the name.
Bound class_bind(PyObject* cls, Name n);

// Python's `a == b` (no identity shortcut: `__eq__` always runs) and truth tests.
bool truthy(PyObject* obj);
bool equals(PyObject* a, PyObject* b);
bool compare(PyObject* a, PyObject* b, int op);
bool contains(PyObject* container, PyObject* key);
Ref getitem(PyObject* obj, PyObject* key);
// `obj[index]` for an int index.
Ref item_at(PyObject* obj, Py_ssize_t index);
// `mapping.get(key)`: straight from a plain dict, through the mapping's own `get` otherwise.
Ref get_or_none(PyObject* mapping, PyObject* key);
void setitem(PyObject* obj, PyObject* key, PyObject* value);
// `a, b = iterable`: exactly two items, else ValueError "need more than %zd value%.1s to unpack"
// or "too many values to unpack (expected 2)".
std::pair<Ref, Ref> unpack2(PyObject* iterable);

}  // namespace py

// A read or a store at its point of use: `TDT_GET(obj, N::name)` is `obj.name` and
// `TDT_SET(obj, N::name, value)` is `obj.name = value`, each through a site of its own, made for
// that place in the code (and for each instantiation of a template around it). `TDT_SITE(N::name)`
// is such a read site itself, for a helper that reads through its caller's sites.
#define TDT_SITE(attr_name) \
    ([]() noexcept -> const ::py::Attr& { static const ::py::Attr site{attr_name}; return site; }())
#define TDT_GET(obj, attr_name) TDT_SITE(attr_name)(obj)
#define TDT_SET(obj, attr_name, value) \
    ([]() noexcept -> const ::py::SetAttr& { static const ::py::SetAttr site{attr_name}; return site; }()(obj, value))
// `cls.name`, `cls.name` bound to be called, and `Enum.member` of an enumeration bound as a module global (read
// at each use), each through a class-attribute site of its own; the name may vary from call to call.
#define TDT_CLASS_SITE() \
    ([]() noexcept -> const ::py::ClassAttr& { static const ::py::ClassAttr site; return site; }())
#define TDT_CLASS_ATTR(cls, attr_name) TDT_CLASS_SITE()(cls, attr_name)
#define TDT_CLASS_BIND(cls, attr_name) TDT_CLASS_SITE().bind(cls, attr_name)
#define TDT_MEMBER(enum_global, member) TDT_CLASS_ATTR(::py::global(enum_global).get(), member)
