// A class object created on first use, once per process, and kept for the process's life.
#pragma once

#include "py/ref.hpp"

#include <atomic>

namespace quorvel::inline py {

class LazyType {
 public:
  explicit constexpr LazyType(PyType_Spec* spec) noexcept : spec_(spec) {}

  // The class, creating it if needed; nullptr with a Python exception set on failure.
  PyTypeObject* get() noexcept {
    PyTypeObject* type = type_.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    PyMutex_Lock(&mutex_);
    type = type_.load(std::memory_order_acquire);
    if (type == nullptr) {
      type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec_));
      if (type != nullptr) type_.store(type, std::memory_order_release);
    }
    PyMutex_Unlock(&mutex_);
    return type;
  }

  // The class if it was created already (an instance can only exist then).
  PyTypeObject* existing() const noexcept { return type_.load(std::memory_order_acquire); }

 private:
  PyType_Spec* spec_;
  std::atomic<PyTypeObject*> type_{nullptr};
  PyMutex mutex_{};
};

// Frees an instance of a heap type whose single C++ member is dropped by `drop`.
template <class Object, class Drop>
void dealloc_owned(PyObject* self, Drop drop) {
  PyTypeObject* type = Py_TYPE(self);
  drop(reinterpret_cast<Object*>(self));
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace quorvel::py
