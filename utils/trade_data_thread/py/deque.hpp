// The newest items of an exact `collections.deque`, copied straight from its blocks: a fraction of
// what `list(d)` and a slice of it cost. The blocks are the deque's private layout (checked at load,
// py/layout.hpp); anything else is the caller's generic path.
#pragma once

#include "py/ref.hpp"

namespace py {

// `list(d)[-count:]` for `count >= 0` (all of `d` when count >= len(d)), as a new list, when `d` is
// exactly `collections.deque` and its layout passed the check at load. An empty Ref, and no error,
// when not (a subclass, another type, the layout off), or when the deque changed while the list was
// allocated: the caller takes the generic path then.
Ref newest_of_deque(PyObject* d, Py_ssize_t count);

// `d[-1]` under the same conditions, for a deque that is not empty; else an empty Ref, no error.
Ref newest_item_of_deque(PyObject* d);

}  // namespace py
