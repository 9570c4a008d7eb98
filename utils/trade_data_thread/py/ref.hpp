// Owned references and the error convention of the C API layer.
//
// A failing C-API call leaves a Python error set; we turn it into `py::Error`, an exception that
// carries nothing, and `py::boundary` (around every entry from the interpreter) returns the
// entry's failure value.
#pragma once

#include "py/compat.hpp"

#include <cassert>
#include <exception>
#include <new>
#include <utility>

namespace py {

struct Error {};

// Throws `Error`; a Python error must be set.
[[noreturn]] inline void raise() {
    assert(PyErr_Occurred() && "py::raise() without a Python error set");
    throw Error{};
}

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

    // Takes over a new reference; NULL means the call that produced it failed, and raises.
    static Ref steal_or_raise(PyObject* p) {
        if (!p) raise();
        return Ref(p);
    }
    // Takes over a new reference that may be NULL without an error (optional results).
    static Ref steal_or_empty(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of our own to a borrowed one, which must not be NULL.
    static Ref borrow(PyObject* p) noexcept {
        assert(p);
        return Ref(Py_NewRef(p));
    }
    // The same for a borrowed result that may be NULL (an empty Ref then).
    static Ref borrow_or_empty(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }

// Runs one entry from the interpreter (a slot or a call): its result, or `failed` with a Python
// error set. No C++ exception crosses into the interpreter: an unexpected one becomes SystemError,
// and a failure without an error set becomes SystemError too.
template <class Body, class Result>
Result boundary(Body&& body, Result failed) noexcept {
    try {
        return body();
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    return failed;
}

// A new int (small ones are the interpreter's shared objects, so this allocates nothing for them).
inline Ref integer(long long value) { return Ref::steal_or_raise(PyLong_FromLongLong(value)); }

}  // namespace py
