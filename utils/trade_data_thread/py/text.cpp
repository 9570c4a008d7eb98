// Log lines. A value is written as `format(value, "")` writes it, which for the interpreter's own
// exact types is fixed: a str is itself, an int its decimal digits (int.__format__ with an empty
// spec is str(), int's repr), a float its repr (float.__format__ likewise). Those are written into
// the line directly; so is an int subclass whose type formats and prints as int does, by its value;
// anything else is formatted by its own __format__.
#include "py/text.hpp"

#include "py/lookup.hpp"
#include "py/stats.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>

namespace py {

PyObject* Literal::get() const {
    if (!obj_) {
        obj_ = PyUnicode_FromString(text_);
        if (!obj_) raise();
    }
    return obj_;
}

// ---- floats ------------------------------------------------------------------------------------

std::size_t float_repr(double x, char* out) noexcept {
    char* o = out;
    auto put = [&](const char* s) {
        for (; *s; ++s) *o++ = *s;
    };
    if (std::isnan(x)) {
        put("nan");  // whatever its sign
        return static_cast<std::size_t>(o - out);
    }
    if (std::signbit(x)) {
        *o++ = '-';
        x = -x;
    }
    if (std::isinf(x)) {
        put("inf");
        return static_cast<std::size_t>(o - out);
    }
    // A whole number below 2**53 (so below 1e16) is its integer's digits: doubles that close
    // together are at most 1 apart, so no shorter digits read back as it.
    if (x < 0x1p53 && x == std::trunc(x)) {
        o = std::to_chars(o, o + 16, static_cast<long long>(x)).ptr;
        put(".0");
        return static_cast<std::size_t>(o - out);
    }
    // The shortest digits that read back as x, nearest to x among them: those repr takes from its
    // dtoa. `to_chars` gives them as d[.ddd]e[+-]XX.
    char sci[k_float_repr_max];
    const char* end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
    char digits[k_float_repr_max];
    int count = 0;
    const char* p = sci;
    for (; *p != 'e'; ++p)
        if (*p != '.') digits[count++] = *p;
    bool negative_exponent = *++p == '-';
    int exponent = 0;
    for (++p; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;

    int point = exponent + 1;  // x is 0.<digits> times 10 to the `point`
    auto put_digits = [&](int from, int to) {
        for (int i = from; i < to; ++i) *o++ = digits[i];
    };
    auto put_zeros = [&](int n) {
        for (int i = 0; i < n; ++i) *o++ = '0';
    };
    if (point <= -4 || point > 16) {
        // d[.ddd]e<sign><at least two digits>
        *o++ = digits[0];
        if (count > 1) {
            *o++ = '.';
            put_digits(1, count);
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) *o++ = '0';
        o = std::to_chars(o, o + 3, magnitude).ptr;
    } else if (point <= 0) {
        put("0.");
        put_zeros(-point);
        put_digits(0, count);
    } else if (point < count) {
        put_digits(0, point);
        *o++ = '.';
        put_digits(point, count);
    } else {
        put_digits(0, count);
        put_zeros(point - count);
        put(".0");
    }
    return static_cast<std::size_t>(o - out);
}

namespace {

// Whether the interpreter writes floats with the short repr (`sys.float_repr_style == 'short'`),
// the only repr `float_repr` reproduces.
bool short_float_repr() {
    static const bool is_short = [] {
        char* text = PyOS_double_to_string(0.1, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!text) {
            PyErr_Clear();
            return false;
        }
        bool result = std::strcmp(text, "0.1") == 0;
        PyMem_Free(text);
        return result;
    }();
    return is_short;
}

// ---- int subclasses ------------------------------------------------------------------------------

// An int subclass formats as its value when its type's `__format__` is int's own and its
// `__str__` is int's `__repr__` (IntEnum and IntFlag from 3.11 on): `format(v, "")` then runs
// int.__format__, which for an empty spec is str(v), which is int's repr of the value. Heap types
// only (their str slot follows `__str__`). A few types are kept with their answer while their
// version tags hold.
struct IntFormat {
    Seen type;
    bool as_int = false;
};
IntFormat g_int_formats[4];
std::size_t g_next_int_format = 0;

bool formats_as_int(PyTypeObject* type) {
    for (const IntFormat& seen : g_int_formats)
        if (seen.type.matches(type)) return seen.as_int;
    stats::learn(stats::Path::text);
    Found format = lookup(type, name(Name::dunder_format));
    Found str = lookup(type, name(Name::dunder_str));
    // One version across both lookups: nothing changed the type in between.
    if (format.version == 0 || str.version != format.version || str.epoch != format.epoch) return false;
    // int is immutable: its own methods are found without running any code.
    PyTypeObject* int_type = &PyLong_Type;
    bool as_int = PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && format.value &&
                  format.value.get() == _PyType_Lookup(int_type, name(Name::dunder_format)) && str.value &&
                  str.value.get() == _PyType_Lookup(int_type, name(Name::dunder_repr));
    IntFormat& entry = g_int_formats[g_next_int_format];
    g_next_int_format = (g_next_int_format + 1) % std::size(g_int_formats);
    entry.type.remember(type, format.version, format.epoch);
    entry.as_int = as_int;
    return as_int;
}

}  // namespace

// ---- the line ----------------------------------------------------------------------------------

Text::~Text() {
    for (std::size_t i = 0; i < kept_count_; ++i) Py_DECREF(kept_[i].text);
}

char* Text::room(std::size_t n) {
    if (size_ + n > capacity_) {
        std::size_t capacity = std::max(2 * capacity_, size_ + n);
        std::unique_ptr<char[]> grown(new char[capacity]);
        std::memcpy(grown.get(), bytes_, size_);
        heap_ = std::move(grown);
        bytes_ = heap_.get();
        capacity_ = capacity;
    }
    char* at = bytes_ + size_;
    size_ += n;
    return at;
}

void Text::put(PyObject* text) {
    if (!compat::ready(text)) raise();
    // A str subclass (as `__format__` may return) is kept as it is, until the line is made.
    if (PyUnicode_CheckExact(text) && PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
        std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        std::memcpy(room(n), PyUnicode_DATA(text), n);
        max_char_ = std::max(max_char_, PyUnicode_MAX_CHAR_VALUE(text));
        return;
    }
    if (kept_count_ == k_max_kept) {
        PyErr_SetString(PyExc_SystemError, "too many pieces for one log line");
        raise();
    }
    kept_[kept_count_++] = {size_, Py_NewRef(text)};
}

// The decimal digits of an int that fits in 64 bits; false for any other.
bool Text::put_digits(PyObject* integer) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);  // reads an int's digits as they are
    if (overflow) return false;
    constexpr std::size_t k_max_digits = 20;  // and a sign
    char* at = room(k_max_digits);
    size_ -= k_max_digits - static_cast<std::size_t>(std::to_chars(at, at + k_max_digits, value).ptr - at);
    max_char_ = std::max<Py_UCS4>(max_char_, 127);
    return true;
}

Text& Text::lit(const Literal& literal) {
    Py_ssize_t n = literal.ascii_length();
    if (n < 0) {
        put(literal.get());
    } else if (n > 0) {
        std::memcpy(room(static_cast<std::size_t>(n)), literal.text(), static_cast<std::size_t>(n));
        max_char_ = std::max<Py_UCS4>(max_char_, 127);
    }
    return *this;
}

Text& Text::val(PyObject* value) {
    if constexpr (k_caches) {
        if (PyUnicode_CheckExact(value)) {
            put(value);
            return *this;
        }
        if (PyLong_CheckExact(value)) {
            if (put_digits(value)) return *this;
        } else if (PyLong_Check(value)) {
            if (formats_as_int(Py_TYPE(value))) {
                if (put_digits(value)) {
                    stats::hit(stats::Path::text);
                    return *this;
                }
            } else {
                stats::miss(stats::Path::text);
            }
        } else if (PyFloat_CheckExact(value) && short_float_repr()) {
            char* at = room(k_float_repr_max);
            size_ -= k_float_repr_max - float_repr(PyFloat_AS_DOUBLE(value), at);
            max_char_ = std::max<Py_UCS4>(max_char_, 127);
            return *this;
        }
    }
    Ref text = Ref::steal_or_raise(PyObject_Format(value, name(Name::empty)));
    put(text.get());
    return *this;
}

Ref Text::str() const {
    std::size_t length = size_;
    Py_UCS4 max_char = max_char_;
    for (std::size_t i = 0; i < kept_count_; ++i) {
        length += static_cast<std::size_t>(PyUnicode_GET_LENGTH(kept_[i].text));
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(kept_[i].text));
    }
    Ref line = Ref::steal_or_raise(PyUnicode_New(static_cast<Py_ssize_t>(length), max_char));
    int kind = PyUnicode_KIND(line.get());
    void* data = PyUnicode_DATA(line.get());
    std::size_t from = 0;  // in the byte buffer
    Py_ssize_t to = 0;     // in the line
    auto copy_bytes = [&](std::size_t until) {
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char*>(data) + to, bytes_ + from, until - from);
            to += static_cast<Py_ssize_t>(until - from);
        } else {
            for (std::size_t i = from; i < until; ++i, ++to)
                PyUnicode_WRITE(kind, data, to, static_cast<unsigned char>(bytes_[i]));
        }
        from = until;
    };
    for (std::size_t i = 0; i < kept_count_; ++i) {
        copy_bytes(kept_[i].at);
        Py_ssize_t n = PyUnicode_GET_LENGTH(kept_[i].text);
        if (PyUnicode_CopyCharacters(line.get(), to, kept_[i].text, 0, n) < 0) raise();
        to += n;
    }
    copy_bytes(size_);
    return line;
}

}  // namespace py
