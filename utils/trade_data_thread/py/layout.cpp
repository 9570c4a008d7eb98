#include "py/layout.hpp"

#include "py/stats.hpp"

#include <iterator>

namespace py::layout {

namespace detail {
bool g_usable[static_cast<std::size_t>(Layout::count_)];
}

// Until each layout's probe is written beside its reader, the layouts read today count as checked.
bool probe_dict_entries() { return true; }
bool probe_inline_values() { return true; }
bool probe_managed_dict() { return true; }
bool probe_member_slots() { return true; }

void check_all() {
    if constexpr (!k_known) return;
    using P = bool (*)();
    constexpr P k_probes[] = {
#define TDT_LAYOUT_PROBE(id) probe_##id,
        TDT_LAYOUTS(TDT_LAYOUT_PROBE)
#undef TDT_LAYOUT_PROBE
    };
    static_assert(std::size(k_probes) == static_cast<std::size_t>(Layout::count_));
    for (std::size_t i = 0; i < std::size(k_probes); ++i) detail::g_usable[i] = k_probes[i]();
}

}  // namespace py::layout

#ifdef TDT_STATS
namespace py::stats::detail {
std::uint64_t g_counts[static_cast<std::size_t>(Path::count_)][static_cast<std::size_t>(Event::count_)];
}
#endif
