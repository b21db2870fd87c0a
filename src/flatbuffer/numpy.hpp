// One-dimensional NumPy arrays of the scalar kinds. NumPy is imported on first use, once per
// process, thread-safely; nothing is imported when the module loads.
#pragma once

#include "plan/py.hpp"
#include "plan/wire.hpp"

#include <cstddef>
#include <cstdint>

namespace quorvel::numpy {

// NumPy type number of a scalar kind (bool 0, int8 1, ..., float64 12).
int type_number(ScalarKind kind) noexcept;

// A new array of `count` elements of the kind's dtype holding a copy of `data` (little-endian
// elements at the kind's width); bool elements are true for any non-zero byte.
py::Ref array_from_bytes(ScalarKind kind, size_t count, const uint8_t* data);

}  // namespace quorvel::numpy
