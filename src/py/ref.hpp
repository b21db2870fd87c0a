// src/py: the bottom floor, which knows only CPython: this handle, lazy imports and classes, the
// error types and their translation (error.hpp), message text and UTF-8 (text.hpp), word-at-a-time
// byte helpers (words.hpp), byte input and buffers (buffer.hpp), NativeBuffer, sequence walks
// under critical sections (sequence.hpp), the recursion guard, NumPy arrays, and the one door to
// CPython's internals (cpython_door.hpp). Nothing here includes another floor.
//
// Thin ownership layer over the CPython C API.
//
// `Ref` owns one strong reference and releases it when it goes out of scope; a raw `PyObject*`
// anywhere else in the code base is borrowed. Nothing here takes locks or caches state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <bit>
#include <climits>
#include <type_traits>
#include <utility>

// Host assumptions the codecs rely on: byte-order-sensitive reads and writes are written for a
// little-endian host, and sizes are 64-bit.
static_assert(std::endian::native == std::endian::little, "quorvel._native assumes a little-endian host");
static_assert(sizeof(void*) == 8 && sizeof(size_t) == 8, "quorvel._native assumes a 64-bit host");
static_assert(CHAR_BIT == 8);

namespace quorvel::inline py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  ~Ref() { Py_XDECREF(ptr_); }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
    }
    return *this;
  }

  // Takes over a reference the caller already owns (a "new reference" result of the C API).
  [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed object.
  [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  [[nodiscard]] Ref clone() const noexcept { return borrow(ptr_); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  void reset() noexcept { Py_XDECREF(std::exchange(ptr_, nullptr)); }

 private:
  explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
  PyObject* ptr_ = nullptr;
};

// A Ref is exactly its pointer: a run of them may be read as an array of pointers.
static_assert(sizeof(Ref) == sizeof(PyObject*) && std::is_standard_layout_v<Ref>);

}  // namespace quorvel::py

namespace quorvel::inline py {

// The next (key, value) of a dict walk, read under the dict's critical section so that a walk
// stays safe while other threads change the dict. Returns false at the end.
inline bool next_dict_item(PyObject* dict, Py_ssize_t& pos, Ref& key, Ref& value) noexcept {
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  int more = 0;
  Py_BEGIN_CRITICAL_SECTION(dict);
  more = PyDict_Next(dict, &pos, &k, &v);
  if (more) {
    Py_INCREF(k);
    Py_INCREF(v);
  }
  Py_END_CRITICAL_SECTION();
  if (!more) return false;
  key = Ref::steal(k);
  value = Ref::steal(v);
  return true;
}

}  // namespace quorvel::py
