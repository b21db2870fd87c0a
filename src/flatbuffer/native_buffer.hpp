// NativeBuffer: the finished bytes of one pack call, with the builder's whole allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quorvel::flatbuffer {

struct NativeBufferData {
  std::unique_ptr<uint8_t[]> data;  // the builder's backing allocation
  size_t size = 0;                  // its length in bytes
  size_t head = 0;                  // where the finished FlatBuffer begins

  const uint8_t* begin() const noexcept { return data.get() + head; }
  size_t length() const noexcept { return size - head; }
};

}  // namespace quorvel::flatbuffer
