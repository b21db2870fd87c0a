#define PY_ARRAY_UNIQUE_SYMBOL quorvel_numpy_api
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include "flatbuffer/numpy.hpp"

#include "plan/error.hpp"
#include "plan/scalar.hpp"

#include <numpy/arrayobject.h>

#include <atomic>
#include <cstring>

namespace quorvel::numpy {

namespace {

std::atomic<bool> imported{false};
PyMutex import_mutex{};

void ensure_imported() {
  if (imported.load(std::memory_order_acquire)) return;
  PyMutex_Lock(&import_mutex);
  int status = 0;
  if (!imported.load(std::memory_order_relaxed)) {
    status = PyArray_ImportNumPyAPI();
    if (status == 0) imported.store(true, std::memory_order_release);
  }
  PyMutex_Unlock(&import_mutex);
  if (status < 0) throw_error_set();
}

}  // namespace

int type_number(ScalarKind kind) noexcept {
  static constexpr int numbers[] = {NPY_BOOL,  NPY_INT8,  NPY_UINT8, NPY_INT16, NPY_UINT16, NPY_INT32,
                                    NPY_UINT32, NPY_INT64, NPY_UINT64, NPY_FLOAT32, NPY_FLOAT64};
  return numbers[static_cast<size_t>(kind)];
}

py::Ref array_from_bytes(ScalarKind kind, size_t count, const uint8_t* data) {
  ensure_imported();
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  py::Ref array = check_new(PyArray_SimpleNew(1, dims, type_number(kind)));
  auto* out = static_cast<uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  if (kind == ScalarKind::bool_) {
    for (size_t i = 0; i < count; ++i) out[i] = data[i] != 0;
  } else if (count > 0) {
    std::memcpy(out, data, count * scalar_width(kind));
  }
  return array;
}

}  // namespace quorvel::numpy
