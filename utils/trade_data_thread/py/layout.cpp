#include "py/layout.hpp"

#include "py/stats.hpp"

#include <iterator>

namespace py::layout {

namespace detail {
bool g_usable[static_cast<std::size_t>(Layout::count_)];
}

void check_all() {
    if constexpr (!k_known) return;
    using P = bool (*)();
    constexpr P k_probes[] = {
#define TDT_LAYOUT_PROBE(id) probe_##id,
        TDT_LAYOUTS(TDT_LAYOUT_PROBE)
#undef TDT_LAYOUT_PROBE
    };
    static_assert(std::size(k_probes) == static_cast<std::size_t>(Layout::count_));
    // Each probe reads through the same accessors the fast paths use, so its layout counts as usable
    // while it runs; layouts are checked in order, each relying only on those before it.
    for (std::size_t i = 0; i < std::size(k_probes); ++i) {
        detail::g_usable[i] = true;
        bool agrees = false;
        try {
            agrees = k_probes[i]();
        } catch (...) {
            detail::g_usable[i] = false;
            throw;
        }
        detail::g_usable[i] = agrees;
    }
}

}  // namespace py::layout

namespace py::stats {

#ifdef TDT_STATS
namespace detail {
std::uint64_t g_counts[static_cast<std::size_t>(Path::count_)][static_cast<std::size_t>(Event::count_)];
}
#endif

namespace {

void put(PyObject* dict, const char* key, Ref value) { check(PyDict_SetItemString(dict, key, value.get())); }

Ref snapshot(PyObject* const*) {
    Ref out = Ref::steal_or_raise(PyDict_New());
#ifdef TDT_STATS
    constexpr const char* k_paths[] = {
#  define TDT_PATH_TEXT(id) #id,
        TDT_PATHS(TDT_PATH_TEXT)
#  undef TDT_PATH_TEXT
    };
    for (std::size_t p = 0; p < std::size(k_paths); ++p) {
        Ref counts = Ref::steal_or_raise(PyDict_New());
        const char* events[] = {"hit", "miss", "learn"};
        for (std::size_t e = 0; e < std::size(events); ++e)
            put(counts.get(), events[e], Ref::steal_or_raise(PyLong_FromUnsignedLongLong(detail::g_counts[p][e])));
        put(out.get(), k_paths[p], std::move(counts));
    }
#endif
    constexpr const char* k_layouts[] = {
#define TDT_LAYOUT_TEXT(id) #id,
        TDT_LAYOUTS(TDT_LAYOUT_TEXT)
#undef TDT_LAYOUT_TEXT
    };
    Ref layouts = Ref::steal_or_raise(PyDict_New());
    for (std::size_t i = 0; i < std::size(k_layouts); ++i)
        put(layouts.get(), k_layouts[i], Ref::borrow(layout::usable(static_cast<layout::Layout>(i)) ? Py_True : Py_False));
    put(out.get(), "layouts", std::move(layouts));
    return out;
}

}  // namespace

const FunctionDef k_function = {Name::fastpath_stats, 0, {}, snapshot};

}  // namespace py::stats
