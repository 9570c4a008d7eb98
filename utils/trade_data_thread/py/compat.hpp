// Differences between the CPython versions we build for (3.8 and newer), in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#if PY_VERSION_HEX < 0x03090000
// 3.8 ships vectorcall under provisional names.
#  define PyObject_Vectorcall _PyObject_Vectorcall
#  define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

#if PY_VERSION_HEX < 0x030900A4
#  define Py_SET_REFCNT(ob, refcnt) (Py_REFCNT(ob) = (refcnt))
#endif

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
static inline PyObject* Py_XNewRef(PyObject* o) {
    Py_XINCREF(o);
    return o;
}
#endif

#if PY_VERSION_HEX < 0x030C0000
#  define TDT_T_OBJECT_EX T_OBJECT_EX
#else
#  define TDT_T_OBJECT_EX Py_T_OBJECT_EX
#endif

namespace py::compat {

// A static type's object with its name, size and flags, for the caller to fill in its slots. It
// holds one reference of its own: a static type is never freed.
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize, unsigned long flags) {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_flags = flags;
    return t;
}

// Looks an attribute up without raising AttributeError: 1 found, 0 absent, -1 error.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// obj.name(*args) without a bound-method object where the interpreter allows it.
// args[0] is obj; the slot before args[0] must be writable (vectorcall offset).
inline PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargsf) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, nullptr);
#else
    PyObject* method = PyObject_GetAttr(args[0], name);
    if (!method) return nullptr;
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject* result = _PyObject_Vectorcall(method, args + 1, (size_t)(n - 1), nullptr);
    Py_DECREF(method);
    return result;
#endif
}

// `obj.name` for a call: 1 with the type's function in `*method` (to be called with `obj` first),
// 0 with the attribute itself; `*method` null with an error set when the lookup failed.
#if (PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000) || PY_VERSION_HEX < 0x03090000
}  // namespace py::compat
// Exported by every version up to 3.13, declared by 3.9 to 3.12 only.
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject*, PyObject*, PyObject**);
namespace py::compat {
#endif
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyObject_GetMethod(obj, name, method);
#else
    *method = PyObject_GetAttr(obj, name);
    return 0;
#endif
}

// Takes the error that is set out of the indicator: a new reference to the exception instance
// (traceback attached), or NULL when none is set.
inline PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);  // always leaves an instance in value
    if (tb) PyException_SetTraceback(value, tb);
    Py_DECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Sets `exc` (an exception instance; the reference is stolen) as the error.
inline void set_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

// The running interpreter.
inline PyInterpreterState* interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// The type's version tag: it names the type's current attribute table, and changes whenever that
// table or a base's changes. 0 when the type has none.
inline unsigned int type_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;  // 0 is the only invalid tag; the flag is no longer set
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Whether a str's length and characters can be read (a legacy string made by the C API's
// wide-character constructors is not, until readied); 3.12 and newer have no such strings.
inline bool is_ready([[maybe_unused]] PyObject* text) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(text);
#else
    return true;
#endif
}

// A legacy string (made by the C API's wide-character constructors) readied; 3.12 and newer have
// no such strings.
inline bool ready(PyObject* text) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(text) || _PyUnicode_Ready(text) == 0;
#else
    (void)text;
    return true;
#endif
}

}  // namespace py::compat

extern "C" {
#if PY_VERSION_HEX >= 0x030D0000
// Still exported, but its declaration moved to the internal headers.
PyAPI_FUNC(void) _PyTraceback_Add(const char*, const char*, int);
#endif
}
