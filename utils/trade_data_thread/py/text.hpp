// Log lines: literal pieces each followed by a value in its default text form (`format(v, "")`),
// formatted in order as they are added, as an f-string would, into one buffer that becomes one
// string.
#pragma once

#include "py/names.hpp"

#include <cstddef>
#include <memory>

namespace py {

// A literal piece, made into a string object on first use and kept while the names are. An ASCII
// literal is copied into a line as it is.
class Literal {
public:
    constexpr explicit Literal(const char* text) noexcept : text_(text), ascii_length_(ascii_length_of(text)) {}
    PyObject* get() const;
    const char* text() const noexcept { return text_; }
    // The length of an ASCII literal; -1 for any other.
    constexpr Py_ssize_t ascii_length() const noexcept { return ascii_length_; }

private:
    static constexpr Py_ssize_t ascii_length_of(const char* text) noexcept {
        Py_ssize_t n = 0;
        for (; text[n]; ++n)
            if (static_cast<unsigned char>(text[n]) > 127) return -1;
        return n;
    }
    const char* text_;
    Py_ssize_t ascii_length_;
    mutable PyObject* obj_ = nullptr;
};

// `repr(x)` of a float under the interpreter's short float repr: the shortest digits that read
// back as x, in fixed notation for 1e-4 <= |x| < 1e16 with ".0" after a whole number, otherwise
// as d[.ddd]e+XX; "inf", "-inf" and "nan". Writes at most `k_float_repr_max` characters to `out`
// and returns how many.
inline constexpr std::size_t k_float_repr_max = 32;
std::size_t float_repr(double x, char* out) noexcept;

// One line. Characters of one byte each (literals, digits, one-byte strings) are written into a
// byte buffer as they come; any other piece is kept as the string it is and placed at its offset
// when the line is made, with one allocation of the widest kind its pieces need.
class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text();

    Text& lit(const Literal& literal);
    Text& val(PyObject* value);
    Ref str() const;

private:
    char* room(std::size_t n);  // n more bytes at the end of the buffer
    void put(PyObject* text);   // a str: copied when one byte a character, else kept
    bool put_digits(PyObject* integer);

    struct Kept {
        std::size_t at;  // where in the byte buffer the piece goes
        PyObject* text;  // owned
    };
    static constexpr std::size_t k_inline = 256, k_max_kept = 32;
    char inline_[k_inline];
    std::unique_ptr<char[]> heap_;
    char* bytes_ = inline_;
    std::size_t size_ = 0, capacity_ = k_inline;
    Py_UCS4 max_char_ = 0;  // of the bytes: 127 while they are ASCII
    Kept kept_[k_max_kept];
    std::size_t kept_count_ = 0;
};

}  // namespace py
