// Owned references and the error convention of the C API layer.
//
// A failing C-API call leaves a Python error set; we turn it into `py::Error`, an exception that
// carries nothing, and the one catch at the boundary (the function type's vectorcall) returns NULL.
#pragma once

#include "py/compat.hpp"

#include <utility>

namespace py {

struct Error {};

[[noreturn]] inline void raise() { throw Error{}; }

// Throws when a C-API call that returns -1 on error failed; passes other results through.
inline int check(int rc) {
    if (rc < 0) raise();
    return rc;
}

// Owns exactly one reference, or none. Move-only, so ownership is never ambiguous.
class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    // Takes over a new reference; NULL means the call that produced it failed.
    static Ref steal(PyObject* p) {
        if (!p) raise();
        return Ref(p);
    }
    // Adds a reference of our own to a borrowed one.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    // Takes over a new reference that may be NULL without an error (optional results).
    static Ref maybe(PyObject* p) noexcept { return Ref(p); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }

// A new int (small ones are the interpreter's shared objects, so this allocates nothing for them).
inline Ref integer(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }

}  // namespace py
