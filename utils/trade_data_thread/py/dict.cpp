#include "py/dict.hpp"

#include <cassert>

namespace py {
namespace {

// The layouts of a dict's combined key table that `DictShape` writes into.
#if PY_VERSION_HEX >= 0x030E0000 || defined(Py_GIL_DISABLED)
constexpr bool k_known_layout = false;
#else
constexpr bool k_known_layout = true;
#endif

// The offset of entry `i`'s value from the start of a combined key table, or -1 for a table kind we
// do not write into.
// - 3.8 to 3.10: {Py_ssize_t refcnt, size; lookup function; Py_ssize_t usable, nentries}, then
//   `size` indices of 1, 2, 4 or 8 bytes, then entries {hash, key, value}.
// - 3.11 to 3.13: {Py_ssize_t refcnt; uint8 log2_size, log2_index_bytes, kind; uint32 version;
//   Py_ssize_t usable, nentries}, then 2**log2_index_bytes bytes of indices, then entries {key,
//   value} for a table of str keys (kind 1) or {hash, key, value} for a general one (kind 0).
std::ptrdiff_t value_offset(const void* table, std::size_t i) {
    const char* t = static_cast<const char*>(table);
    const std::ptrdiff_t word = sizeof(PyObject*);
#if PY_VERSION_HEX < 0x030B0000
    Py_ssize_t size = reinterpret_cast<const Py_ssize_t*>(t)[1];
    std::ptrdiff_t width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
    return 5 * word + size * width + static_cast<std::ptrdiff_t>(i) * 3 * word + 2 * word;
#else
    auto log2_index_bytes = static_cast<unsigned char>(t[sizeof(Py_ssize_t) + 1]);
    auto kind = static_cast<unsigned char>(t[sizeof(Py_ssize_t) + 2]);
    std::ptrdiff_t stride = kind == 1 ? 2 : kind == 0 ? 3 : 0;
    if (!stride) return -1;
    return 4 * word + (std::ptrdiff_t{1} << log2_index_bytes) + static_cast<std::ptrdiff_t>(i) * stride * word +
           (stride - 1) * word;
#endif
}

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

bool DictShape::learn() const {
    Ref t = Ref::steal_or_raise(PyDict_New());
    for (Name key : keys_) check(PyDict_SetItem(t.get(), name(key), Py_None));
    auto* dict = reinterpret_cast<PyDictObject*>(t.get());
    if (dict->ma_values || dict->ma_used != static_cast<Py_ssize_t>(keys_.size())) return false;
    std::vector<std::ptrdiff_t> at;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        std::ptrdiff_t offset = value_offset(dict->ma_keys, i);
        if (offset < 0) return false;
        at.push_back(offset);
    }
    at_ = std::move(at);
    generation_ = names_generation();
    template_.reset(std::move(t));  // the one it replaces holds only str keys and None
    return true;
}

Ref DictShape::build(std::initializer_list<PyObject*> leading, std::span<const Ref> rest) const {
    const std::size_t n = keys_.size();
    assert(leading.size() + rest.size() == n);
    auto value = [&](std::size_t i) { return i < leading.size() ? leading.begin()[i] : rest[i - leading.size()].get(); };
    if constexpr (k_caches && k_known_layout) {
        if ((template_.get() && generation_ == names_generation()) || learn()) {
            PyObject* source = template_.get();
            Ref copy = Ref::steal_or_raise(PyDict_Copy(source));
            auto* dict = reinterpret_cast<PyDictObject*>(copy.get());
            auto* from = reinterpret_cast<PyDictObject*>(source);
            if (!dict->ma_values && dict->ma_keys != from->ma_keys && dict->ma_used == static_cast<Py_ssize_t>(n)) {
                char* table = reinterpret_cast<char*>(dict->ma_keys);
                auto slot = [&](std::size_t i) { return reinterpret_cast<PyObject**>(table + at_[i]); };
                bool intact = true;
                for (std::size_t i = 0; i < n; ++i)
                    intact = intact && slot(i)[0] == Py_None && slot(i)[-1] == name(keys_[i]);
                if (intact) {
                    bool track = false;
                    for (std::size_t i = 0; i < n; ++i) {
                        PyObject* v = value(i);
                        track = track || may_be_tracked(v);
                        *slot(i) = Py_NewRef(v);
                        Py_DECREF(Py_None);
                    }
                    if (track && !is_tracked(copy.get())) PyObject_GC_Track(copy.get());
                    return copy;
                }
            }
        }
    }
    Ref dict = Ref::steal_or_raise(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) check(PyDict_SetItem(dict.get(), name(keys_[i]), value(i)));
    return dict;
}

}  // namespace py
