// Handling a Python error in C++ the way `except` and `finally` do.
#pragma once

#include "py/ref.hpp"

namespace py {

// The error that is set, taken out of the indicator and made the exception being handled
// (`sys.exc_info()`) while this object lives, as inside an `except` or `finally` block: an error
// raised meanwhile gets it as its `__context__`. `reraise` sets it again; one not re-raised is
// dropped. The previously handled exception is restored at the end of the scope.
class Caught {
public:
    Caught() noexcept : exc_(Ref::steal_or_empty(compat::take_exception())) {
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_tb_);
        if (exc_)
            PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc_.get()))), Py_NewRef(exc_.get()),
                             PyException_GetTraceback(exc_.get()));
    }
    ~Caught() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_tb_); }
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;

    // The exception instance (borrowed; kept alive by this object).
    PyObject* get() const noexcept { return exc_.get(); }

    [[noreturn]] void reraise() {
        if (exc_) {
            compat::set_exception(exc_.release());
        } else {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
        throw Error{};
    }

private:
    Ref exc_;
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_tb_ = nullptr;
};

}  // namespace py
