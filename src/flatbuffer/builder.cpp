#include "flatbuffer/builder.hpp"

#include "py/error.hpp"

#include <string_view>

namespace quorvel::flatbuffer {

void builder_assertion_failed(const char* expression) {
  // The builder checks its size after every growth; that is the one assertion a caller can reach.
  if (std::string_view(expression) == "size() < max_size_") {
    throw InternalFailure("cannot grow buffer beyond 2 gigabytes");
  }
  throw InternalFailure(std::string("FlatBuffers builder assertion failed: ") + expression);
}

flatbuffers::voffset_t slot_voffset(uint16_t slot) {
  // A vtable and its entries are addressed by 16-bit offsets: with slot 32764 the vtable is 65534
  // bytes long, one more slot would not fit.
  if (slot > 32764) fail(PyExc_ValueError, "native field slot {} exceeds the FlatBuffers vtable limit", slot);
  return static_cast<flatbuffers::voffset_t>(4 + 2 * slot);
}


void push_scalar(flatbuffers::FlatBufferBuilder& builder, const ScalarValue& value, uint16_t slot,
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
