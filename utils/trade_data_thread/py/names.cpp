#include "py/names.hpp"

namespace py {

PyObject* g_names[static_cast<std::size_t>(Name::count_)];

namespace {
constexpr const char* k_texts[] = {
#define TDT_TEXT(id, text) text,
    TDT_NAMES(TDT_TEXT)
#undef TDT_TEXT
};
}  // namespace

void init_names() {
    constexpr std::size_t count = static_cast<std::size_t>(Name::count_);
    static_assert(sizeof(k_texts) / sizeof(k_texts[0]) == count);
    for (std::size_t i = 0; i < count; ++i) {
        if (g_names[i]) continue;
        // Kept for the life of the process, like the interpreter's own interned strings.
        PyObject* s = PyUnicode_InternFromString(k_texts[i]);
        if (!s) raise();
        g_names[i] = s;
    }
}

}  // namespace py
