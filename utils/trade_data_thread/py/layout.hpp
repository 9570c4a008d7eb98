// The private layouts the fast paths read, each checked once at load against an object built
// through the public API and read back both ways. A layout whose check fails, one outside the
// versions whose layouts we know, and every layout on a free-threaded build is not used: the
// paths that read it take the generic path for the life of the process.
#pragma once

#include "py/function.hpp"

#include <cstdint>

// clang-format off
#define TDT_LAYOUTS(X)                                                                            \
    X(dict_entries)   /* a dict's key table and its entries, combined or split */                 \
    X(inline_values)  /* an instance's attribute values kept outside a dict (3.11 on) */          \
    X(managed_dict)   /* where an instance keeps its dict once made (3.11 on) */                  \
    X(member_slots)   /* a member descriptor's slot offset */                                     \
    X(deque_blocks)   /* a deque's blocks */                                                      \
    X(classmethod_callable) /* what a classmethod wraps */
// clang-format on

namespace py::layout {

enum class Layout : std::uint8_t {
#define TDT_LAYOUT_ENUM(id) id,
    TDT_LAYOUTS(TDT_LAYOUT_ENUM)
#undef TDT_LAYOUT_ENUM
        count_
};

// Whether these headers' interpreter is one whose private layouts we know at all.
#if PY_VERSION_HEX >= 0x030E0000 || defined(Py_GIL_DISABLED)
inline constexpr bool k_known = false;
#else
inline constexpr bool k_known = true;
#endif

namespace detail {
extern bool g_usable[static_cast<std::size_t>(Layout::count_)];
}
// Whether the layout passed its check at load. False before the check has run.
inline bool usable(Layout layout) noexcept {
    if constexpr (!k_known) return false;
    return detail::g_usable[static_cast<std::size_t>(layout)];
}

// Checks every layout (at load, before any handler runs). A check that fails turns its layout off;
// a Python error raised by a probe propagates.
void check_all();

// The probes, each beside the code that reads its layout: true when the layout reads back as the
// public API says.
bool probe_dict_entries();
bool probe_inline_values();
bool probe_managed_dict();
bool probe_member_slots();
bool probe_deque_blocks();
bool probe_classmethod_callable();

}  // namespace py::layout

namespace py::stats {
// `_fastpath_stats()`, a module function of the stats build only: {path: {"hit": n, "miss": n,
// "learn": n}} for every path, and {"layouts": {layout: usable}}. Counts since the load.
extern const FunctionDef k_function;
}  // namespace py::stats
