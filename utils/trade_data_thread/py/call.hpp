// Calls through vectorcall. Keyword order is part of the host's interface, so each keyword call
// site names its keywords as a `Kw<...>` shape whose names tuple is built once per process.
//
// Arguments are borrowed pointers in braced lists: braced lists evaluate left to right, and the
// caller's own references keep every argument alive for the call.
#pragma once

#include "py/names.hpp"

#include <cstddef>
#include <initializer_list>

namespace py {

namespace detail {
constexpr std::size_t k_max_args = 16;
Ref vectorcall(PyObject* callable, std::initializer_list<PyObject*> pos,
               std::initializer_list<PyObject*> kw_values, PyObject* kwnames);
PyObject* make_kwnames(std::initializer_list<Name> names);
}  // namespace detail

// The keyword names of one call shape, in order.
template <Name... Ks>
struct Kw {
    static PyObject* names() {
        static PyObject* tuple = nullptr;  // built under the GIL, kept for the process
        if (!tuple) tuple = detail::make_kwnames({Ks...});
        return tuple;
    }
};

inline Ref call(PyObject* callable, std::initializer_list<PyObject*> pos = {}) {
    return detail::vectorcall(callable, pos, {}, nullptr);
}

template <Name... Ks>
Ref call(PyObject* callable, std::initializer_list<PyObject*> pos, Kw<Ks...>,
         std::initializer_list<PyObject*> kw_values) {
    return detail::vectorcall(callable, pos, kw_values, Kw<Ks...>::names());
}

// obj.name(*args), without a bound-method object on 3.9 and newer.
Ref call_method(PyObject* obj, Name name, std::initializer_list<PyObject*> args = {});

}  // namespace py
