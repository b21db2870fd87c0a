#define PY_ARRAY_UNIQUE_SYMBOL quorvel_numpy_api
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include "py/numpy.hpp"

#include "py/error.hpp"

#include <numpy/arrayobject.h>

#include <atomic>
#include <cstring>

namespace quorvel::inline py::numpy {

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

static_assert(NPY_BOOL == 0 && NPY_INT8 == 1 && NPY_UINT8 == 2 && NPY_INT16 == 3 && NPY_UINT16 == 4 &&
              NPY_INT32 == 5 && NPY_UINT32 == 6 && NPY_INT64 == 7 && NPY_UINT64 == 8 && NPY_FLOAT32 == 11 &&
              NPY_FLOAT64 == 12);

py::Ref array_from_bytes(Dtype dtype, size_t width, size_t count, const uint8_t* data) {
  ensure_imported();
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  py::Ref array = check_new(PyArray_SimpleNew(1, dims, static_cast<int>(dtype)));
  auto* out = static_cast<uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  if (dtype == Dtype::bool_) {
    for (size_t i = 0; i < count; ++i) out[i] = data[i] != 0;
  } else if (count > 0) {
    std::memcpy(out, data, count * width);
  }
  return array;
}

std::optional<ElementRun> array_elements(PyObject* obj, Dtype dtype, size_t width, std::vector<uint8_t>& scratch) {
  ensure_imported();
  if (!PyArray_Check(obj)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 1) return std::nullopt;
  PyArray_Descr* wanted = PyArray_DescrFromType(static_cast<int>(dtype));
  if (wanted == nullptr) throw_error_set();
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
  Py_DECREF(wanted);
  if (!equivalent || static_cast<size_t>(PyArray_ITEMSIZE(array)) != width) return std::nullopt;
  const auto count = static_cast<size_t>(PyArray_DIM(array, 0));
  const auto* data = static_cast<const uint8_t*>(PyArray_DATA(array));
  const npy_intp stride = PyArray_STRIDE(array, 0);
  if (count <= 1 || stride == static_cast<npy_intp>(width)) return ElementRun{data, count};
  scratch.resize(count * width);
  for (size_t i = 0; i < count; ++i) std::memcpy(scratch.data() + i * width, data + static_cast<npy_intp>(i) * stride, width);
  return ElementRun{scratch.data(), count};
}

}  // namespace quorvel::py::numpy
