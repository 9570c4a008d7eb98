#include "py/layout.hpp"

namespace py::layout {

bool probe_deque_blocks() { return false; }

}  // namespace py::layout
