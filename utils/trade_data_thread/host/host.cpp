#include "host/host.hpp"
#include "py/imports.hpp"
#include "py/stats.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

namespace host {

namespace {
const py::Method k_append{N::append};
const py::New k_event;
}  // namespace

Post::Post(N kind)
    : append_(k_append.bind(py::global(N::event_queue).get())),
      event_cls_(py::global(N::Event)),
      kind_(TDT_MEMBER(N::EVENT, kind)) {}

Post::Post(PyObject* kind)
    : append_(k_append.bind(py::global(N::event_queue).get())),
      event_cls_(py::global(N::Event)),
      kind_(py::Ref::borrow(kind)) {}

void Post::operator()(PyObject* kwnames, std::span<PyObject* const> payload) const {
    py::Ref event = k_event(event_cls_.get(), {kind_.get()}, kwnames, payload);
    append_({event.get()});
}

namespace {
// a + "." + b for two exact str, in one allocation: the code's storage follows from theirs, as
// concatenation lays it out (the widest kind of the two, and ASCII only when both are).
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

// The codes made last, by the two texts each was made from: 64 entries, placed by a hash of both.
// A str cannot change, and the code of two exact str is a new string whose characters and storage
// follow from theirs alone, so the code made before from the same texts is the string this one
// would be; only its identity differs from a fresh one. The converter that gives the suffix still
// runs for every record. Entries hold their own references; only short texts are kept, so that
// what the entries keep alive stays small.
struct CodeEntry {
    PyObject* id = nullptr;
    PyObject* suffix = nullptr;
    PyObject* code = nullptr;
};
constexpr std::size_t k_code_entries = 64;
constexpr Py_ssize_t k_code_text_max = 32;  // characters of an id or a suffix
CodeEntry g_codes[k_code_entries];

// The same characters in the same storage (kind, and ASCII or not), which decide the code's storage.
bool same_storage(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == static_cast<int>(PyUnicode_KIND(b)) &&
           PyUnicode_IS_ASCII(a) == PyUnicode_IS_ASCII(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * kind) == 0;
}

// FNV-1a over a text's stored bytes.
std::uint32_t mix(std::uint32_t h, PyObject* text) noexcept {
    const auto* p = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) * PyUnicode_KIND(text);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

// `id + "." + suffix` for two exact str, readied.
py::Ref code_of(PyObject* id, PyObject* suffix) {
    if constexpr (!py::k_caches) return join_code(id, suffix);
    if (PyUnicode_GET_LENGTH(id) > k_code_text_max || PyUnicode_GET_LENGTH(suffix) > k_code_text_max) {
        py::stats::miss(py::stats::Path::market_code);
        return join_code(id, suffix);
    }
    CodeEntry& e = g_codes[mix(mix(2166136261u, id), suffix) % k_code_entries];
    if (e.code && same_storage(e.id, id) && same_storage(e.suffix, suffix)) {
        py::stats::hit(py::stats::Path::market_code);
        return py::Ref::borrow(e.code);
    }
    py::stats::miss(py::stats::Path::market_code);
    py::Ref code = join_code(id, suffix);
    CodeEntry old = std::exchange(e, CodeEntry{Py_NewRef(id), Py_NewRef(suffix), Py_NewRef(code.get())});
    py::stats::learn(py::stats::Path::market_code);
    // Freeing exact str runs no Python code.
    Py_XDECREF(old.id);
    Py_XDECREF(old.suffix);
    Py_XDECREF(old.code);
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
            return code_of(id.get(), suffix.get());
        }
        prefix = py::Ref::steal_or_raise(PyUnicode_Concat(id.get(), py::name(N::dot)));
    }
    py::stats::miss(py::stats::Path::market_code);
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
    return TDT_CLASS_BIND(env_cls.get(), N::get_instance)();
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
