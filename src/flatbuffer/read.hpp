// Bounds-checked reads of untrusted FlatBuffer bytes.
//
// Every position and size is an unsigned 64-bit byte count relative to the start of the range
// being read; every read goes through a span check first. Out-of-range reads and overflows raise
// the package's BufferBoundsError, in-range but malformed content its InvalidBufferError.
#pragma once

#include "plan/native_plan.hpp"
#include "plan/scalar.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace quorvel::flatbuffer {

struct TableRecord {
  uint64_t position;
  uint64_t vtable;
  uint16_t vtable_size;
  uint16_t table_size;
};

// The package's two exception classes for FlatBuffer input, borrowed from the plan that imported
// them.
struct BufferErrors {
  PyObject* bounds;   // BufferBoundsError: a read outside the bytes, or an overflow
  PyObject* invalid;  // InvalidBufferError: in range but malformed

  explicit BufferErrors(const NativePlan& plan) noexcept
      : bounds(plan.buffer_bounds_error.get()), invalid(plan.invalid_buffer_error.get()) {}
  [[noreturn]] void bounds_error(std::string message) const { fail_text(bounds, std::move(message)); }
  [[noreturn]] void invalid_error(std::string message) const { fail_text(invalid, std::move(message)); }
};

class ByteRange {
 public:
  ByteRange(BufferErrors errors, std::span<const uint8_t> bytes) : errors_(errors), data_(bytes.data()), len_(bytes.size()) {}

  const BufferErrors& errors() const noexcept { return errors_; }
  const uint8_t* data() const noexcept { return data_; }
  uint64_t length() const noexcept { return len_; }

  void require_span(std::string_view label, uint64_t position, uint64_t size) const {
    if (len_ < size || position > len_ - size) {
      errors_.bounds_error(std::format("{} at offset {} with size {} exceeds a {}-byte buffer", label, position, size, len_));
    }
  }

  // Unchecked little-endian loads; callers check the span first.
  template <class T>
  T load(uint64_t position) const noexcept {
    T v;
    std::memcpy(&v, data_ + position, sizeof v);
    return v;
  }

  uint32_t read_u32(uint64_t position) const {
    require_span("uint32", position, 4);
    return load<uint32_t>(position);
  }

  uint64_t offset_target(uint64_t position, std::string_view label) const;
  std::optional<uint64_t> field_position(const TableRecord& table, uint64_t slot, uint64_t size) const;
  // (position of the first element, element count)
  std::optional<std::pair<uint64_t, uint32_t>> vector_info(const TableRecord& table, uint64_t slot,
                                                          uint64_t element_size) const;
  // The string whose offset is at `position`; its byte length goes to *length when asked for.
  py::Ref decode_string_at(uint64_t position, uint64_t* length = nullptr) const;
  ScalarValue read_scalar_value(uint64_t position, ScalarKind kind) const;

 private:
  BufferErrors errors_;
  const uint8_t* data_;
  uint64_t len_;
};

}  // namespace quorvel::flatbuffer
