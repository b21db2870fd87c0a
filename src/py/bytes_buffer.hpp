// A growable output buffer that is already the result: the bytes are written straight into a
// `bytes` object, which grows geometrically and is cut to length once at the end, so a finished
// document is handed to Python without a second copy.
#pragma once

#include "py/cpython_door.hpp"
#include "py/error.hpp"
#include "py/ref.hpp"
#include "py/words.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvel::inline py {

class BytesBuffer {
 public:
  explicit BytesBuffer(size_t initial_capacity) {
    bytes_ = check_new(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(initial_capacity)));
    start_ = pos_ = PyBytes_AS_STRING(bytes_.get());
    end_ = start_ + initial_capacity;
  }
  BytesBuffer(const BytesBuffer&) = delete;
  BytesBuffer& operator=(const BytesBuffer&) = delete;

  size_t size() const noexcept { return static_cast<size_t>(pos_ - start_); }

  // Room for at least `n` more bytes; returns where they go. Pointers from an earlier call are
  // stale after this one.
  char* reserve(size_t n) {
    if (static_cast<size_t>(end_ - pos_) < n) [[unlikely]] grow(n);
    return pos_;
  }
  // Marks the bytes written up to `p`, inside the room that `reserve` returned.
  void commit_to(char* p) noexcept { pos_ = p; }

  void put(char c) { *reserve(1) = c, ++pos_; }
  void append(const void* data, size_t n) {
    words::copy(reserve(n), data, n);
    pos_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }

  // The finished `bytes`; the buffer is empty afterwards.
  py::Ref finish() {
    const auto length = static_cast<Py_ssize_t>(size());
    PyObject* raw = bytes_.release();
    start_ = pos_ = end_ = nullptr;
    if (!cpython::resize_bytes(raw, length)) throw_error_set();
    return py::Ref::steal(raw);
  }

 private:
  void grow(size_t n) {
    const size_t used = size();
    const size_t capacity = static_cast<size_t>(end_ - start_);
    size_t wanted = capacity < 64 ? 128 : capacity * 2;
    if (wanted - used < n) wanted = used + n;
    if (wanted > static_cast<size_t>(PY_SSIZE_T_MAX) - 64 || used + n < used) {
      PyErr_NoMemory();
      throw_error_set();
    }
    PyObject* raw = bytes_.release();
    if (!cpython::resize_bytes(raw, static_cast<Py_ssize_t>(wanted))) {
      // The old object is gone: nothing may point into it any more.
      start_ = pos_ = end_ = nullptr;
      throw_error_set();
    }
    bytes_ = py::Ref::steal(raw);
    start_ = PyBytes_AS_STRING(raw);
    pos_ = start_ + used;
    end_ = start_ + wanted;
  }

  py::Ref bytes_;
  char* start_ = nullptr;
  char* pos_ = nullptr;
  char* end_ = nullptr;
};

}  // namespace quorvel::py
