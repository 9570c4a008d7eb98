// Counters of the fast paths, compiled in only by the stats build (TDT_STATS): for each path how
// often it was taken (hit), how often its guard refused it (miss) and how often it learned anew
// (learn). The test suite reads them to show that every path is taken where it should be and
// refused where its guard must fail. Elsewhere counting compiles to nothing.
#pragma once

#include <cstddef>
#include <cstdint>

// Each path, by what it skips. Layout reads are named after the private layout they read.
// clang-format off
#define TDT_PATHS(X)                                                                              \
    X(read_slot)          /* a read site: a member slot read in place */                          \
    X(read_inline)        /* a read site: an inline attribute value read in place */              \
    X(read_dict_entry)    /* a read site: the instance dict's entry where the name was found */   \
    X(read_dict)          /* a read site: one lookup in the instance dict */                      \
    X(read_table)         /* a field table: every row a slot, under one guard */                  \
    X(store_dict)         /* a store site: straight into the instance dict */                     \
    X(method)             /* a builtin method called without a lookup */                          \
    X(class_value)        /* a class's stored value (enum member, constant) */                    \
    X(construct)          /* a plain class constructed without type.__call__ */                   \
    X(dict_template)      /* a fixed-shape dict copied from its template */                       \
    X(global)             /* a module global's kept value */                                      \
    X(text)               /* a log line value written without its __format__ */                   \
    X(deque_window)       /* a history window copied from a deque's blocks */                     \
    X(classmethod)        /* a classmethod called straight through to its function */             \
    X(market_code)        /* a market code string made before */                                  \
    X(dict_equal_key)     /* a dict entry whose key equals the name but is another object */
// clang-format on

namespace py::stats {

enum class Path : std::uint8_t {
#define TDT_PATH_ENUM(id) id,
    TDT_PATHS(TDT_PATH_ENUM)
#undef TDT_PATH_ENUM
        count_
};
enum class Event : std::uint8_t { hit, miss, learn, count_ };

#ifdef TDT_STATS
inline constexpr bool k_enabled = true;
namespace detail {
extern std::uint64_t g_counts[static_cast<std::size_t>(Path::count_)][static_cast<std::size_t>(Event::count_)];
}
inline void count(Path path, Event event) noexcept {
    ++detail::g_counts[static_cast<std::size_t>(path)][static_cast<std::size_t>(event)];
}
#else
inline constexpr bool k_enabled = false;
inline void count(Path, Event) noexcept {}
#endif

inline void hit(Path path) noexcept { count(path, Event::hit); }
inline void miss(Path path) noexcept { count(path, Event::miss); }
inline void learn(Path path) noexcept { count(path, Event::learn); }

}  // namespace py::stats
