// Dicts of fixed str keys in a fixed order: the tick, bar and position-state dictionaries.
#pragma once

#include "py/attr.hpp"

#include <span>
#include <vector>

namespace py {

// One shape of dict: its keys, in order. `build` makes a fresh dict of those keys bound to the
// given values. Where the interpreter's dict layout is known (3.8 to 3.13, not free-threaded), the
// dict is the interpreter's own copy of a private template that binds every key to None, with each
// value then put in its entry: one allocation and a copy of the key table instead of one insertion
// per key. Every entry is checked to hold its key and None before any is written, and nothing from
// the copy to the last value can run Python code, so no one sees the dict half made. Otherwise,
// and with the caches off, the keys are inserted one by one.
class DictShape {
public:
    // The `leading` keys, then each row's key.
    template <std::size_t K>
    DictShape(std::initializer_list<Name> leading, const Field (&rows)[K]) : keys_(leading) {
        for (const Field& row : rows) keys_.push_back(row.key);
    }

    // {key[0]: leading[0], ..., key[n]: rest[0], ...}: as many values as keys, borrowed.
    Ref build(std::initializer_list<PyObject*> leading, std::span<const Ref> rest = {}) const;

private:
    void learn() const;

    std::vector<Name> keys_;
    mutable Kept template_;  // the keys bound to None, never shared
};

// Each row's attribute of `record` into `out`, in row order. When every row is a member slot of the
// record's type, one guard covers the whole table (reading slots runs no Python code). Learning the
// table may run code that gives the record another class: the offsets are then not its own.
template <std::size_t K>
void read_fields(PyObject* record, const Reads<K>& reads, Ref (&out)[K]) {
    std::size_t i = 0;
    PyTypeObject* type = Py_TYPE(record);
    const Py_ssize_t* offsets = reads.slots_of(type);
    if (offsets && Py_TYPE(record) == type) {
        for (; i < K; ++i) {
            PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record) + offsets[i]);
            if (!value) break;  // an empty slot: its read site raises the AttributeError
            out[i] = Ref::borrow(value);
        }
    }
    for (; i < K; ++i) out[i] = reads[i](record);
}

}  // namespace py
