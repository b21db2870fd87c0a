// One-dimensional NumPy arrays of fixed-width scalar dtypes. NumPy is imported on first use, once
// per process, thread-safely; nothing is imported when the module loads.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

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

// The elements of a one-dimensional NumPy array (or subclass) whose dtype is equivalent to
// `dtype`, as one run of `count` native elements of `width` bytes: the array's own memory when it
// is C-contiguous, else a copy gathered in index order into `scratch`. nullopt for anything else.
// The run is valid while the array lives unchanged and `scratch` is untouched; no Python code runs.
struct ElementRun {
  const uint8_t* data;
  size_t count;
};
std::optional<ElementRun> array_elements(PyObject* obj, Dtype dtype, size_t width, std::vector<uint8_t>& scratch);

}  // namespace quorvel::py::numpy
