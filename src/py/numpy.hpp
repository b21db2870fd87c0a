// One-dimensional NumPy arrays of fixed-width scalar dtypes. NumPy is imported on first use, once
// per process, thread-safely; nothing is imported when the module loads.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace quorvel::inline py::numpy {

// NumPy's type numbers of the scalar dtypes the codecs produce and accept. The 64-bit integers
// are the platform's `long` numbers, which is why the build requires a 64-bit `long`.
enum class Dtype : int {
  bool_ = 0, int8 = 1, uint8 = 2, int16 = 3, uint16 = 4, int32 = 5, uint32 = 6, int64 = 7, uint64 = 8,
  float32 = 11, float64 = 12,
};
static_assert(sizeof(long) == 8, "NumPy's int64 and uint64 are taken to be the platform's long");

// A new array of `count` elements of `dtype`, `width` bytes each, holding a copy of `data` (native
// little-endian elements); bool elements are true for any non-zero byte.
py::Ref array_from_bytes(Dtype dtype, size_t width, size_t count, const uint8_t* data);

}  // namespace quorvel::py::numpy
