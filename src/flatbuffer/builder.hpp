// The FlatBuffers builder, configured so that its internal assertions throw instead of aborting:
// a failed assertion becomes the module's panic exception at the entry point.
#pragma once

namespace quorvel::flatbuffer {
[[noreturn]] void builder_assertion_failed(const char* expression);
}

#ifdef FLATBUFFERS_ASSERT
#error "the FlatBuffers headers must be included through flatbuffer/builder.hpp"
#endif
#define FLATBUFFERS_ASSERT(expression) \
  ((expression) ? static_cast<void>(0) : ::quorvel::flatbuffer::builder_assertion_failed(#expression))

#include <flatbuffers/flatbuffer_builder.h>

#include "plan/scalar.hpp"

#include <cstring>

namespace quorvel::flatbuffer {

[[noreturn]] void slot_out_of_range(uint16_t slot);

// The vtable offset of a field slot (4 + 2 * slot); ValueError when it does not fit a vtable.
inline flatbuffers::voffset_t slot_voffset(uint16_t slot) {
  // A vtable and its entries are addressed by 16-bit offsets: with slot 32764 the vtable is 65534
  // bytes long, one more slot would not fit.
  if (slot > 32764) slot_out_of_range(slot);
  return static_cast<flatbuffers::voffset_t>(4 + 2 * slot);
}

// The value as stored, little-endian in the low bytes (integers cut to the width when written).
inline uint64_t scalar_bits(const ScalarValue& value) noexcept {
  uint64_t bits = 0;
  switch (value.kind) {
    case ScalarKind::bool_: bits = value.b ? 1 : 0; break;
    case ScalarKind::int8:
    case ScalarKind::int16:
    case ScalarKind::int32:
    case ScalarKind::int64:
    case ScalarKind::uint8:
    case ScalarKind::uint16:
    case ScalarKind::uint32:
    case ScalarKind::uint64: bits = value.u; break;
    case ScalarKind::float32: std::memcpy(&bits, &value.f32, 4); break;
    case ScalarKind::float64: std::memcpy(&bits, &value.f64, 8); break;
  }
  return bits;
}

// Writes `value` into the table being built at vtable slot `slot`, or omits it when it equals
// `default_value` (never omitted when that is null).
inline void push_scalar(flatbuffers::FlatBufferBuilder& builder, const ScalarValue& value, uint16_t slot,
                 const ScalarValue* default_value) {
  if (default_value != nullptr && value.equals(*default_value)) return;
  const auto field = slot_voffset(slot);
  switch (value.kind) {
    case ScalarKind::bool_: builder.AddElement<uint8_t>(field, value.b ? 1 : 0); break;
    case ScalarKind::int8: builder.AddElement<int8_t>(field, static_cast<int8_t>(value.i)); break;
    case ScalarKind::uint8: builder.AddElement<uint8_t>(field, static_cast<uint8_t>(value.u)); break;
    case ScalarKind::int16: builder.AddElement<int16_t>(field, static_cast<int16_t>(value.i)); break;
    case ScalarKind::uint16: builder.AddElement<uint16_t>(field, static_cast<uint16_t>(value.u)); break;
    case ScalarKind::int32: builder.AddElement<int32_t>(field, static_cast<int32_t>(value.i)); break;
    case ScalarKind::uint32: builder.AddElement<uint32_t>(field, static_cast<uint32_t>(value.u)); break;
    case ScalarKind::int64: builder.AddElement<int64_t>(field, value.i); break;
    case ScalarKind::uint64: builder.AddElement<uint64_t>(field, value.u); break;
    case ScalarKind::float32: builder.AddElement<float>(field, value.f32); break;
    case ScalarKind::float64: builder.AddElement<double>(field, value.f64); break;
  }
}

}  // namespace quorvel::flatbuffer
