// The function type of every module function and method: a plain Python-style function with
// positional-or-keyword parameters, vectorcall, method binding, and introspection
// (`__name__`, `__qualname__`, `__module__`, `__doc__`, `__text_signature__`).
#pragma once

#include "py/names.hpp"

namespace py {

constexpr int k_max_params = 5;

// Receives exactly the declared parameters, in order (for a method, `self` first). Returns the
// result, or throws `py::Error` with the Python error set.
using Impl = Ref (*)(PyObject* const* args);

struct FunctionDef {
    Name name;
    int nparams;
    Name params[k_max_params];
    Impl impl;
};

// `qualname_prefix` is "" for a module function, or "Class." for a method. The function runs only
// while the module globals it was made under are bound (py::bind_globals): once its load has
// failed or its module is gone, calling it raises ImportError.
Ref make_function(const FunctionDef& def, const char* qualname_prefix, PyObject* module_name);

// Readies the type; once per process.
void ready_function_type();

}  // namespace py
