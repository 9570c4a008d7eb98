// How we talk to the SDK beyond its records' attributes: the encodings of record fields and the
// enumerations read at call time.
#pragma once

#include "py/ref.hpp"

namespace sdk {

// `chr(code)`: the one-character string of an SDK character code. The builtin's own errors for a
// code it rejects (negative, too large, not an integer).
py::Ref character(PyObject* code);

// `from pytovik.enums import AlgoControlType`, at each call, so the SDK's current enumeration is
// the one compared with.
py::Ref control_types();

}  // namespace sdk
