// NativeBuffer: the finished bytes of one pack call, with the builder's whole allocation, exported
// read-only through the buffer protocol.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quorvel::inline py {

// The allocation behind builders and finished buffers: malloc memory (16-byte aligned; the builder
// keeps block sizes at multiples of 8, so both ends of a block are aligned), large blocks advised as
// huge pages so that filling them does not fault page by page.
uint8_t* allocate_buffer(size_t size);
void free_buffer(uint8_t* p, size_t size) noexcept;
struct FreeBuffer {
  size_t size = 0;
  void operator()(uint8_t* p) const noexcept { free_buffer(p, size); }
};

struct NativeBufferData {
  std::unique_ptr<uint8_t, FreeBuffer> data;  // the builder's backing allocation
  size_t size = 0;                  // its length in bytes
  size_t head = 0;                  // where the finished FlatBuffer begins

  const uint8_t* begin() const noexcept { return data.get() + head; }
  size_t length() const noexcept { return size - head; }
};

// The NativeBuffer class (created on first use); nullptr with an exception set on failure.
PyTypeObject* native_buffer_type() noexcept;

// The bytes behind a NativeBuffer instance, or nullptr when `obj` is not one.
const NativeBufferData* native_buffer_data(PyObject* obj) noexcept;

// Wraps finished bytes in a new NativeBuffer and returns a read-only memoryview over it; the
// view's export holds the only reference to the NativeBuffer.
py::Ref make_buffer_view(std::unique_ptr<NativeBufferData> data);

}  // namespace quorvel::py
