// Python buffers as the codecs read them: acquisition with exactly-once release, byte buffers, and
// the byte input shared by every reader (read in place where the owner is immutable, else copied).
#pragma once

#include "py/error.hpp"
#include "py/ref.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quorvel::inline py {

// A buffer acquired from a Python object, released exactly once.
class BufferView {
 public:
  BufferView() noexcept = default;
  ~BufferView() { release(); }
  BufferView(BufferView&& other) noexcept { take(other); }
  BufferView& operator=(BufferView&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // Acquires with a full read-only request (strides, suboffsets, format); nullopt when the
  // object refuses (the interpreter's error is cleared; interrupts and MemoryError propagate).
  static std::optional<BufferView> try_acquire(PyObject* obj);
  // As try_acquire, but the refusal is raised.
  static BufferView acquire(PyObject* obj);

  const Py_buffer& view() const noexcept { return view_; }
  std::string_view format() const noexcept { return view_.format ? std::string_view(view_.format) : std::string_view("B"); }
  bool has_format() const noexcept { return view_.format != nullptr; }
  bool c_contiguous() const noexcept { return PyBuffer_IsContiguous(&view_, 'C') != 0; }
  std::span<const uint8_t> bytes() const noexcept {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }
  // Copies the elements out in C order (gathering a strided view) into `out` (len() bytes).
  void copy_to(uint8_t* out) const;
  void release() noexcept;

 private:
  // Exporters may point `shape` and `strides` into the Py_buffer itself (at `len` and `itemsize`);
  // those pointers must follow the struct when it moves.
  void take(BufferView& other) noexcept {
    view_ = other.view_;
    held_ = std::exchange(other.held_, false);
    if (view_.shape == &other.view_.len) view_.shape = &view_.len;
    if (view_.strides == &other.view_.itemsize) view_.strides = &view_.itemsize;
  }

  Py_buffer view_{};
  bool held_ = false;
};

// Acquires `obj` as a buffer of unsigned bytes (item size 1, format absent, "B" or "c", optionally
// after "@", "=" or ">"); BufferError "buffer contents are not compatible with u8" otherwise.
BufferView acquire_byte_buffer(PyObject* obj);
// As acquire_byte_buffer, then one-dimensional and C-contiguous, else TypeError.
BufferView checked_byte_buffer(PyObject* obj);
// The buffer's bytes, which must lie within [owner_start, owner_start + owner_length).
std::span<const uint8_t> immutable_buffer_subslice(const BufferView& buffer, const uint8_t* owner_start,
                                                   size_t owner_length);
// bytes(obj): obj itself when it is bytes, else the result of calling bytes, which must be bytes.
py::Ref to_bytes(PyObject* obj);
// The contents of a bytes object, read in place.
inline std::span<const uint8_t> bytes_of(PyObject* bytes) noexcept {
  return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)), static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

// Input bytes of unpack, unpack_view and decode_serde: read in place where the owner is immutable
// (bytes, views of bytes or of a NativeBuffer); anything else is converted with bytes(obj) once and
// that object read in place. Holds what keeps them valid.
// `copy_padding`: zero bytes wanted after a copy, for readers that read past the end in wide steps;
// when bytes(obj) has fewer, its contents are copied once more into a padded buffer.
class ByteInput {
 public:
  explicit ByteInput(PyObject* obj, size_t copy_padding = 0);
  std::span<const uint8_t> bytes() const noexcept { return bytes_; }
  // How many bytes past the end are known to be readable: the rest of the owner's bytes (and a
  // bytes object's terminating zero), or the padding of a copy.
  size_t readable_after() const noexcept { return readable_after_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t readable_after_ = 0;
  BufferView view_;
  py::Ref copy_;
  std::vector<uint8_t> padded_;
};

}  // namespace quorvel::py
