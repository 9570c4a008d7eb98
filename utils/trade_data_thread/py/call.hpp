// Calls through vectorcall. Keyword order is part of the host's interface, so each keyword call
// site names its keywords as a `Kw<...>` shape (or, for a table of fields, a `KwNames`) whose
// names tuple is built once per process.
//
// Arguments are borrowed pointers in braced lists: braced lists evaluate left to right, and the
// caller's own references keep every argument alive for the call.
#pragma once

#include "py/lookup.hpp"

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <span>
#include <utility>

namespace py {

namespace detail {
constexpr std::size_t k_max_args = 16;
// callable(self, *pos, **kw) with `self` first when given, as one vectorcall.
Ref vectorcall(PyObject* callable, PyObject* self, std::initializer_list<PyObject*> pos,
               std::span<PyObject* const> kw_values, PyObject* kwnames);
PyObject* make_kwnames(std::initializer_list<Name> names);
}  // namespace detail

// The keyword names of one call shape, in order.
template <Name... Ks>
struct Kw {
    static PyObject* names() {
        static PyObject* tuple = nullptr;  // built under the GIL, kept for the life of the process
        if (!tuple) tuple = detail::make_kwnames({Ks...});
        return tuple;
    }
};

// The keyword names of a call shape given as data (the rows of a table walked by one loop), in
// row order; `keyword` picks a row's name. Built on first use and kept, like a `Kw<...>` shape's.
class KwNames {
public:
    template <class Rows, class Keyword = std::identity>
    PyObject* get(const Rows& rows, Keyword keyword = {}) const {
        if (!tuple_) {
            Ref tuple = Ref::steal_or_raise(PyTuple_New(static_cast<Py_ssize_t>(std::size(rows))));
            Py_ssize_t i = 0;
            for (const auto& row : rows)
                PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(name(std::invoke(keyword, row))));
            tuple_ = tuple.release();
        }
        return tuple_;
    }

private:
    mutable PyObject* tuple_ = nullptr;
};

inline Ref call(PyObject* callable, std::initializer_list<PyObject*> pos = {}) {
    return detail::vectorcall(callable, nullptr, pos, {}, nullptr);
}

template <Name... Ks>
Ref call(PyObject* callable, std::initializer_list<PyObject*> pos, Kw<Ks...>,
         std::initializer_list<PyObject*> kw_values) {
    return detail::vectorcall(callable, nullptr, pos, {kw_values.begin(), kw_values.size()}, Kw<Ks...>::names());
}

// The same with keywords given as data: `kwnames` (from a `KwNames`) names `kw_values` in order.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> pos, PyObject* kwnames,
                std::span<PyObject* const> kw_values) {
    return detail::vectorcall(callable, nullptr, pos, kw_values, kwnames);
}

// obj.name(*args), without a bound-method object on 3.9 and newer.
Ref call_method(PyObject* obj, Name name, std::initializer_list<PyObject*> args = {});

// A callee looked up before its arguments are evaluated, as Python does for `obj.name(args)`:
// bind, evaluate the arguments, then call. It keeps what it found (and `obj`, when that is a
// method found on the type) until it is gone.
class Bound {
public:
    Ref operator()(std::initializer_list<PyObject*> args = {}) const;

private:
    friend class Method;
    friend class ClassAttr;
    friend Bound bind_method(PyObject* obj, Name name);
    Bound(Ref callable, Ref self) noexcept : callable_(std::move(callable)), self_(std::move(self)) {}
    Ref callable_;
    Ref self_;  // empty when `callable_` is the attribute itself
};

// `obj.name`, for a call made once its arguments are evaluated: `call_method` in two steps.
Bound bind_method(PyObject* obj, Name name);

// A call site of one method name: `obj.name(*args)`. For a type with the generic lookup, no
// instance dict, and a builtin method of that name (a deque's `append`), the method found on the
// type is kept while the type is unchanged and called directly; everything else is `call_method`.
class Method {
public:
    constexpr explicit Method(Name name) noexcept : name_(name) {}
    Ref operator()(PyObject* obj, std::initializer_list<PyObject*> args) const;
    // `obj.name` through this site, for a call made once its arguments are evaluated.
    Bound bind(PyObject* obj) const;

private:
    void learn(PyTypeObject* type) const;
    Name name_;
    mutable Seen seen_;
    mutable Backoff backoff_;
    mutable Kept method_;
};

// A construction site: `cls(*args, **kwargs)` for the host's plain classes. For a class whose
// metaclass is `type`, whose `__new__` is object's and whose `__init__` is a Python function, the
// instance is allocated and `__init__` called with the arguments as given, which is what
// `type.__call__` does, without building an argument tuple and dict for it. Anything else, and a
// class that changed, is the generic call.
class New {
public:
    Ref operator()(PyObject* cls, std::initializer_list<PyObject*> pos) const { return make(cls, pos, {}, nullptr); }
    template <Name... Ks>
    Ref operator()(PyObject* cls, std::initializer_list<PyObject*> pos, Kw<Ks...>,
                   std::initializer_list<PyObject*> kw_values) const {
        return make(cls, pos, {kw_values.begin(), kw_values.size()}, Kw<Ks...>::names());
    }
    Ref operator()(PyObject* cls, std::initializer_list<PyObject*> pos, PyObject* kwnames,
                   std::span<PyObject* const> kw_values) const {
        return make(cls, pos, kw_values, kwnames);
    }

private:
    Ref make(PyObject* cls, std::initializer_list<PyObject*> pos, std::span<PyObject* const> kw_values,
             PyObject* kwnames) const;
    void learn(PyTypeObject* type) const;
    mutable Seen seen_;
    mutable Backoff backoff_;
    mutable Kept init_;
};

}  // namespace py
