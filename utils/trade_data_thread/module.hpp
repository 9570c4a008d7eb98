// Process-wide state of the module, owned by module.cpp.
#pragma once

#include "py/ref.hpp"

namespace mod {

constexpr const char* k_qualified_name = "halvex.lumet.utils.trade_data_thread";

// The class `TovikStrategy` created at load (borrowed; it lives as long as the module).
PyObject* strategy_class() noexcept;

}  // namespace mod
