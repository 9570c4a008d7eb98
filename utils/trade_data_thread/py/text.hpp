// Log lines: literal pieces each followed by a value in its default text form (`format(v, "")`),
// formatted in order as they are added, as an f-string would.
#pragma once

#include "py/names.hpp"

#include <cstddef>

namespace py {

// A literal piece, made into a string object on first use and kept while the names are.
class Literal {
public:
    constexpr explicit Literal(const char* text) noexcept : text_(text) {}
    PyObject* get() const;

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

class Text {
public:
    Text& lit(const Literal& literal);
    Text& val(PyObject* value);
    Ref str() const;

private:
    void add(Ref piece);

    static constexpr std::size_t k_capacity = 64;
    Ref parts_[k_capacity];
    std::size_t count_ = 0;
};

}  // namespace py
