// The table of interned names: every attribute name, keyword, key, global and constant text,
// interned once at load so hot paths never build a string.
#pragma once

#include "name_list.hpp"
#include "py/ref.hpp"

#include <cstdint>

namespace py {

enum class Name : std::uint16_t {
#define TDT_ENUM(id, text) id,
    TDT_NAMES(TDT_ENUM)
#undef TDT_ENUM
        count_
};

extern PyObject* g_names[static_cast<std::size_t>(Name::count_)];

// Borrowed: the table lives as long as the process.
inline PyObject* name(Name n) noexcept { return g_names[static_cast<std::size_t>(n)]; }

// Interns the whole table; a no-op after the first success.
void init_names();


}  // namespace py

using N = py::Name;
