#include "py/function.hpp"

#include "py/attr.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace py {
namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* signature;
    PyObject* params[k_max_params];  // interned
    int nparams;
    unsigned int binding;  // the module globals' binding it was made under
    Impl impl;
    PyObject* weaklist;  // callbacks are often held weakly (SDK timers, event buses)
};

// Error messages name the function as the running interpreter does for Python functions.
PyObject* display_name(Function* f) {
#if PY_VERSION_HEX >= 0x030A0000
    return f->qualname;
#else
    return f->name;
#endif
}

void raise_missing(Function* f, PyObject* const* slots) {
    Ref missing = Ref::steal_or_raise(PyList_New(0));
    for (int i = 0; i < f->nparams; ++i) {
        if (slots[i]) continue;
        Ref quoted = Ref::steal_or_raise(PyObject_Repr(f->params[i]));
        check(PyList_Append(missing.get(), quoted.get()));
    }
    Py_ssize_t n = PyList_GET_SIZE(missing.get());
    Ref names;
    if (n == 1) {
        names = Ref::borrow(PyList_GET_ITEM(missing.get(), 0));
    } else {
        // 'a' and 'b' / 'a', 'b', and 'c'
        Ref last = Ref::borrow(PyList_GET_ITEM(missing.get(), n - 1));
        check(PyList_SetSlice(missing.get(), n - 1, n, nullptr));
        Ref sep = Ref::steal_or_raise(PyUnicode_FromString(", "));
        Ref head = Ref::steal_or_raise(PyUnicode_Join(sep.get(), missing.get()));
        names = Ref::steal_or_raise(PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U", head.get(), last.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", display_name(f), n,
                 n == 1 ? "" : "s", names.get());
    raise();
}

int find_param(Function* f, PyObject* key) {
    for (int i = 0; i < f->nparams; ++i)
        if (f->params[i] == key) return i;
    // Then by `==`, as Python functions match keyword names: a str subclass's __eq__ takes part.
    for (int i = 0; i < f->nparams; ++i)
        if (check(PyObject_RichCompareBool(key, f->params[i], Py_EQ))) return i;
    return -1;
}

// The interpreter's recursion limit counts levels, not bytes. A cycle made only of our functions
// and other C callables (functools.partial, bound methods) takes 0.7 to 1.3 KiB of C stack per
// level: more than a thread with a small stack has for the limit's levels, and from 3.12 more than
// the C recursion limit assumes on any stack. So each call also checks that a margin of the
// thread's stack is left; one more level and raising RecursionError reach up to 5 KiB into it.
// The margin is a quarter of the stack, at most 64 KiB: 8 KiB on the smallest stack a thread can
// have (32 KiB), where a callback starts 5 to 7 KiB below the top, so every thread plain Python code
// runs in can call us; on larger stacks, room for larger frames (debug and sanitizer builds) and for
// host code run between two checks.
bool stack_exhausted() noexcept {
    __attribute__((tls_model("initial-exec"))) static thread_local const char* floor = nullptr;
    char here;
    if (!floor) {
        floor = reinterpret_cast<const char*>(1);  // no bounds known: never exhausted
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* low = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0 && low)
                floor = static_cast<const char*>(low) + std::min<std::size_t>(size / 4, 64 * 1024);
            pthread_attr_destroy(&attr);
        }
    }
    return &here < floor;
}

// One level of the interpreter's recursion count, for the life of the object once entered.
class Depth {
public:
    bool enter() {
        if (Py_EnterRecursiveCall(" while calling a Python object")) return false;
        entered_ = true;
        return true;
    }
    ~Depth() {
        if (entered_) Py_LeaveRecursiveCall();
    }

private:
    bool entered_ = false;
};

PyObject* call(Function* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (f->binding != globals_binding() || !globals_dict()) {
        PyErr_Format(PyExc_ImportError, "%U() cannot run: the load of module '%U' it belongs to failed or ended",
                     f->qualname, f->module);
        return nullptr;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > f->nparams) {
        PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given", display_name(f),
                     f->nparams, f->nparams == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return nullptr;
    }
    PyObject* slots[k_max_params] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int i = find_param(f, key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", display_name(f), key);
                return nullptr;
            }
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", display_name(f), key);
                return nullptr;
            }
            slots[i] = args[nargs + k];
        }
        if (nargs + nkw < f->nparams) raise_missing(f, slots);
    } else if (nargs < f->nparams) {
        raise_missing(f, slots);
    }
    // Calls between the module's own functions make no interpreter frame, so they count against
    // the recursion limit here, as the interpreter's builtin functions do.
    if (stack_exhausted()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
    Depth depth;
    if (!depth.enter()) return nullptr;
    return f->impl(slots).release();
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return boundary([&] { return call(reinterpret_cast<Function*>(self), args, nargsf, kwnames); },
                    static_cast<PyObject*>(nullptr));
}

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

void function_dealloc(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    if (f->weaklist) PyObject_ClearWeakRefs(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->signature);
    for (int i = 0; i < f->nparams; ++i) Py_XDECREF(f->params[i]);
    PyObject_Free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U>", reinterpret_cast<Function*>(self)->qualname);
}

PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_signature(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->signature); }

// Saved by qualified name, as Python saves its functions: pickle stores a reference that loads
// back as this very object, and copy and deepcopy return the function itself.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t = compat::static_type("trade_data_thread.function", sizeof(Function),
                                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_get;
    t.tp_weaklistoffset = offsetof(Function, weaklist);
    return t;
}();

}  // namespace

void ready_function_type() {
    if (PyType_Ready(&function_type) < 0) raise();
}

Ref make_function(const FunctionDef& def, const char* qualname_prefix, PyObject* module_name) {
    Function* f = PyObject_New(Function, &function_type);
    if (!f) raise();
    f->vectorcall = function_vectorcall;
    f->name = f->qualname = f->module = f->signature = nullptr;
    f->nparams = 0;
    f->binding = globals_binding();
    f->impl = def.impl;
    f->weaklist = nullptr;
    Ref owner = Ref::steal_or_raise(reinterpret_cast<PyObject*>(f));  // frees the partial object on error

    f->name = Py_NewRef(name(def.name));
    f->qualname = PyUnicode_FromFormat("%s%U", qualname_prefix, f->name);
    if (!f->qualname) raise();
    f->module = Py_NewRef(module_name);
    Ref joined = Ref::steal_or_raise(PyList_New(0));
    for (int i = 0; i < def.nparams; ++i) {
        f->params[i] = Py_NewRef(name(def.params[i]));
        f->nparams = i + 1;
        check(PyList_Append(joined.get(), f->params[i]));
    }
    Ref sep = Ref::steal_or_raise(PyUnicode_FromString(", "));
    Ref inner = Ref::steal_or_raise(PyUnicode_Join(sep.get(), joined.get()));
    f->signature = PyUnicode_FromFormat("(%U)", inner.get());
    if (!f->signature) raise();
    return owner;
}

}  // namespace py
