#include "host/host.hpp"
#include "py/imports.hpp"

#include <algorithm>
#include <cstring>

namespace host {

namespace {
const py::Method k_append{N::append};
const py::New k_event;
}  // namespace

Post::Post(N kind)
    : append_(k_append.bind(py::global(N::event_queue).get())),
      event_cls_(py::global(N::Event)),
      kind_(py::member_of(N::EVENT, kind)) {}

Post::Post(PyObject* kind)
    : append_(k_append.bind(py::global(N::event_queue).get())),
      event_cls_(py::global(N::Event)),
      kind_(py::Ref::borrow(kind)) {}

void Post::operator()(PyObject* kwnames, std::span<PyObject* const> payload) const {
    py::Ref event = k_event(event_cls_.get(), {kind_.get()}, kwnames, payload);
    append_({event.get()});
}

namespace {
// a + "." + b for two exact str, in one allocation.
py::Ref join_code(PyObject* a, PyObject* b) {
    Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
    Py_UCS4 maxchar = std::max<Py_UCS4>(PyUnicode_MAX_CHAR_VALUE(a), PyUnicode_MAX_CHAR_VALUE(b));
    py::Ref code = py::Ref::steal_or_raise(PyUnicode_New(la + 1 + lb, std::max<Py_UCS4>(maxchar, 127)));
    if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
        // One byte a character in all three (a code is ASCII): plain copies.
        auto* out = static_cast<char*>(PyUnicode_DATA(code.get()));
        std::memcpy(out, PyUnicode_DATA(a), static_cast<std::size_t>(la));
        out[la] = '.';
        std::memcpy(out + la + 1, PyUnicode_DATA(b), static_cast<std::size_t>(lb));
        return code;
    }
    if (PyUnicode_CopyCharacters(code.get(), 0, a, 0, la) < 0) py::raise();
    PyUnicode_WRITE(PyUnicode_KIND(code.get()), PyUnicode_DATA(code.get()), la, '.');
    if (PyUnicode_CopyCharacters(code.get(), la + 1, b, 0, lb) < 0) py::raise();
    return code;
}
}  // namespace

py::Ref market_code(PyObject* record, const py::Attr& security_id, const py::Attr& market_type) {
    py::Ref id = security_id(record);
    // `security_id + "."` cannot fail for a str, so only other types add it before the suffix is
    // fetched (their error comes first, as in the expression).
    py::Ref prefix;
    if (!PyUnicode_CheckExact(id.get())) prefix = py::Ref::steal_or_raise(PyNumber_Add(id.get(), py::name(N::dot)));
    py::Ref converter = py::global(N::get_exchane_from_tovik_mdtype);
    py::Ref type = market_type(record);
    py::Ref suffix = py::call(converter.get(), {type.get()});
    if (!prefix) {
        // Legacy strings are readied first: their length and characters are only known then.
        if (PyUnicode_CheckExact(suffix.get())) {
            if (!py::compat::ready(id.get()) || !py::compat::ready(suffix.get())) py::raise();
            return join_code(id.get(), suffix.get());
        }
        prefix = py::Ref::steal_or_raise(PyUnicode_Concat(id.get(), py::name(N::dot)));
    }
    return py::Ref::steal_or_raise(PyNumber_Add(prefix.get(), suffix.get()));
}

py::Ref seconds(PyObject* millis) {
    // Exact for integers below 2**53, where int / int is the correctly rounded quotient.
    if (PyLong_CheckExact(millis)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(millis, &overflow);
        constexpr long long k_exact = 1LL << 53;
        if (!overflow && v > -k_exact && v < k_exact) return py::Ref::steal_or_raise(PyFloat_FromDouble(double(v) / 1000.0));
    }
    py::Ref thousand = py::integer(1000);
    return py::Ref::steal_or_raise(PyNumber_TrueDivide(millis, thousand.get()));
}

py::Ref environment() {
    py::Ref env_cls = py::global(N::Environment);
    return py::call_method(env_cls.get(), N::get_instance);
}

py::Ref deep_copy(PyObject* obj) {
    py::Ref copy_module = py::global(N::copy);
    return py::call_method(copy_module.get(), N::deepcopy, {obj});
}

void LogLine::write() const {
    py::Ref line = text_.str();
    method_({line.get()});
}

namespace {
// The host provides `user_system_log` where it likes: a module global or a builtin of that name,
// else the logger its logger module keeps when the warning is started.
py::Ref user_system_log() {
    try {
        return py::global(N::user_system_log);
    } catch (const py::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_NameError)) throw;
        PyErr_Clear();
    }
    try {
        return py::from_import(N::halvex_lumet_utils_logger, N::user_system_log);
    } catch (const py::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", py::name(N::user_system_log));
    py::raise();
}
}  // namespace

LogLine log_info() { return LogLine(py::bind_method(py::global(N::system_log).get(), N::info)); }
LogLine log_warning() { return LogLine(py::bind_method(user_system_log().get(), N::warning)); }

}  // namespace host
