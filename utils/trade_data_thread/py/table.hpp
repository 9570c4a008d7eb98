// The object layouts read in place: a dict's entry table, an instance's inline attribute values
// and where it keeps its dict, for the interpreters whose layouts we know (3.8 to 3.13, not
// free-threaded), each only once its check at load passed (py/layout.hpp). Reading them runs no
// Python code; what is read is only trusted where an entry is seen to hold the expected key object.
#pragma once

#include "py/layout.hpp"

#include <cstdint>
#include <cstring>

namespace py::table {

using layout::k_known;
using layout::Layout;

// Entry i's key is at `entries + i * stride + key`, its value there too plus one word, or in
// `split[i]` for a table whose values each dict keeps apart (an instance dict sharing its class's
// keys). `count` entries are in use, deleted ones included.
struct View {
    char* entries = nullptr;
    std::ptrdiff_t stride = 0;
    std::ptrdiff_t key = 0;
    Py_ssize_t count = 0;
    PyObject** split = nullptr;
    Py_ssize_t split_capacity = PY_SSIZE_T_MAX;
    // Every key is an exact str, so looking a str up compares no key with Python code: only then
    // does an entry that holds the name tell what a lookup of the name finds.
    bool str_only = false;

    PyObject* key_at(Py_ssize_t i) const noexcept {
        return *reinterpret_cast<PyObject**>(entries + i * stride + key);
    }
    PyObject** value_slot(Py_ssize_t i) const noexcept {
        return split ? split + i : reinterpret_cast<PyObject**>(entries + i * stride + key + sizeof(PyObject*));
    }
    // The value under `name` when entry `i` holds that very key object, else null.
    PyObject* value_if(Py_ssize_t i, PyObject* name) const noexcept {
        if (i < 0 || i >= count || i >= split_capacity || key_at(i) != name) return nullptr;
        return *value_slot(i);
    }
    // The entry holding the key object `name`, or -1.
    Py_ssize_t index_of(PyObject* name) const noexcept {
        for (Py_ssize_t i = 0; i < count; ++i)
            if (key_at(i) == name) return i;
        return -1;
    }
};

// Whether `key` is an exact str with the same characters as `name` (an exact, ready str): then a
// dict finds the one where it looks for the other, and comparing them runs no Python code. Keys
// made apart from our names (a host's namespace built from text) are equal without being ours.
inline bool same_text(PyObject* key, PyObject* name) noexcept {
    if (key == name) return true;
    if (!PyUnicode_CheckExact(key) || !compat::is_ready(key)) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    return length == PyUnicode_GET_LENGTH(name) && PyUnicode_KIND(key) == PyUnicode_KIND(name) &&
           std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(name),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(key)) == 0;
}

// The layouts of the key table (`ma_keys`):
// - 3.8 to 3.10: {Py_ssize_t refcnt, size; lookup function; Py_ssize_t usable, nentries}, then
//   `size` indices of 1, 2, 4 or 8 bytes, then entries {hash, key, value}; split values are an
//   array of objects.
// - 3.11 to 3.13: {Py_ssize_t refcnt; uint8 log2_size, log2_index_bytes, kind; uint32 version;
//   Py_ssize_t usable, nentries}, then 2**log2_index_bytes bytes of indices, then entries {hash,
//   key, value} (kind 0, general) or {key, value} (kind 1, str keys; kind 2, split). Split values
//   are an array of objects, from 3.13 after four bytes of header (capacity first).
#if PY_VERSION_HEX < 0x030B0000
namespace detail {
// The lookup functions of tables that hold only str keys (with no deleted entry, with one, and
// shared), learned from probe dicts at load: a table that gets any other key gets another.
extern const void* g_str_lookups[3];
}  // namespace detail
#endif

// The entries of a key table alone; `split` tells whether it is a shared one (checked from 3.11).
inline bool view_keys(const void* table, bool split, View& v) noexcept {
    if constexpr (!k_known) {
        return false;
    } else {
        const char* keys = static_cast<const char*>(table);
        const auto* words = reinterpret_cast<const Py_ssize_t*>(keys);
        constexpr std::ptrdiff_t word = sizeof(PyObject*);
#if PY_VERSION_HEX < 0x030B0000
        Py_ssize_t size = words[1];
        std::ptrdiff_t width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
        v.entries = const_cast<char*>(keys) + 5 * word + size * width;
        v.stride = 3 * word;
        v.key = word;
        v.count = words[4];
        // A shared table holds str keys alone.
        const void* lookup = reinterpret_cast<const void* const*>(keys)[2];
        v.str_only = split || (lookup && (lookup == detail::g_str_lookups[0] || lookup == detail::g_str_lookups[1] ||
                                          lookup == detail::g_str_lookups[2]));
#else
        auto log2_index_bytes = static_cast<unsigned char>(keys[sizeof(Py_ssize_t) + 1]);
        auto kind = static_cast<unsigned char>(keys[sizeof(Py_ssize_t) + 2]);
        if (kind > 2 || (kind == 2) != split) return false;
        v.entries = const_cast<char*>(keys) + 4 * word + (std::ptrdiff_t{1} << log2_index_bytes);
        v.stride = kind == 0 ? 3 * word : 2 * word;
        v.key = kind == 0 ? word : 0;
        v.count = words[3];
        v.str_only = kind != 0;
#endif
        return true;
    }
}

inline bool view(PyObject* dict, View& v) noexcept {
    if constexpr (!k_known) {
        return false;
    } else {
        if (!PyDict_Check(dict) || !layout::usable(Layout::dict_entries)) return false;
        auto* d = reinterpret_cast<PyDictObject*>(dict);
        if (!view_keys(d->ma_keys, d->ma_values != nullptr, v)) return false;
#if PY_VERSION_HEX < 0x030B0000
        v.split = d->ma_values;
#else
        if (d->ma_values) {
            char* values = reinterpret_cast<char*>(d->ma_values);
#  if PY_VERSION_HEX >= 0x030D0000
            v.split_capacity = static_cast<unsigned char>(values[0]);
            values += sizeof(PyObject*);
#  endif
            v.split = reinterpret_cast<PyObject**>(values);
        }
#endif
        return true;
    }
}

// Attribute values an instance keeps outside any dict (3.11 to 3.13), each at the index its name
// has in its class's shared key table, as the interpreter's own specialised reads find them:
// - 3.11: an array whose address is four words before the object, null once a dict is made;
// - 3.12: the same address less one, three words before the object, odd while it is one (a made
//   dict's address is kept there instead);
// - 3.13: in the object itself, after a plain object header, for classes flagged for it; a header
//   of four bytes (its last one telling whether the values are still the object's) precedes them.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#  define TDT_INLINE_VALUES 1
#endif

#ifdef TDT_INLINE_VALUES
inline constexpr bool k_inline_values = true;
#else
inline constexpr bool k_inline_values = false;
#endif

// The index of `name` (that very key object) among the values of `type`'s instances, or -1.
inline Py_ssize_t inline_index(PyTypeObject* type, PyObject* name) noexcept {
#ifdef TDT_INLINE_VALUES
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        !layout::usable(Layout::inline_values) || !layout::usable(Layout::dict_entries))
        return -1;
#  if PY_VERSION_HEX >= 0x030D0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) || type->tp_basicsize != sizeof(PyObject)) return -1;
#  endif
    const void* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    View v;
    if (!keys || !view_keys(keys, true, v)) return -1;
    return v.index_of(name);
#else
    (void)type;
    (void)name;
    return -1;
#endif
}

// The values array of an instance of a type `inline_index` answered for, or null while the object's
// dict holds its attributes instead.
inline PyObject* const* inline_values([[maybe_unused]] PyObject* obj) noexcept {
#if !defined(TDT_INLINE_VALUES)
    return nullptr;
#elif PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyObject* const* const*>(obj)[-4];
#elif PY_VERSION_HEX < 0x030D0000
    char* stored = reinterpret_cast<char* const*>(obj)[-3];
    if (!(reinterpret_cast<std::uintptr_t>(stored) & 1)) return nullptr;
    return reinterpret_cast<PyObject* const*>(stored + 1);
#else
    const char* header = reinterpret_cast<const char*>(obj) + sizeof(PyObject);
    if (!header[3]) return nullptr;
    return reinterpret_cast<PyObject* const*>(header + sizeof(PyObject*));
#endif
}

// Where an instance keeps its dict once made (3.11 to 3.13, for classes flagged for a managed
// dict): the word three before the object, which 3.12 uses for the inline values' address while
// no dict is made, tagged by its low bit.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#  define TDT_MANAGED_DICT 1
#endif

inline bool managed(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#else
    (void)type;
    return false;
#endif
}

// Whether the dict of the type's instances can be found without making it: at a fixed offset, at
// one computed from the object's size, or where a managed dict is kept (once its layout checked).
inline bool dict_findable(PyTypeObject* type) noexcept {
#ifdef TDT_MANAGED_DICT
    if (managed(type)) return layout::usable(Layout::managed_dict);
#endif
    return !managed(type);
}

// The made dict of an instance of a type `dict_findable` answered for (borrowed), or null while it
// has none. `offset` is the type's dict offset when fixed, else 0. Never makes a dict: an instance
// that keeps its attributes as inline values keeps them so (the interpreter's fastest reads rely on
// it, and plain Python code would not make one). Runs no Python code.
inline PyObject* made_dict(PyObject* obj, Py_ssize_t offset) noexcept {
    if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
#ifdef TDT_MANAGED_DICT
    if (managed(Py_TYPE(obj))) {
        PyObject* made = reinterpret_cast<PyObject**>(obj)[-3];
#  if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
        if (reinterpret_cast<std::uintptr_t>(made) & 1) made = nullptr;
#  endif
        return made;
    }
#endif
    PyObject** dict = _PyObject_GetDictPtr(obj);  // an offset computed from the object's size
    return dict ? *dict : nullptr;
}

// What a classmethod wraps (borrowed; null while it is uninitialised): the object's first field.
inline PyObject* classmethod_callable(PyObject* method) noexcept {
    if (!layout::usable(Layout::classmethod_callable)) return nullptr;
    return reinterpret_cast<PyObject* const*>(reinterpret_cast<char*>(method) + sizeof(PyObject))[0];
}

}  // namespace py::table
