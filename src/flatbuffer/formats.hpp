// How the plan's fields appear in a FlatBuffer: the vtable offset of a slot, the native scalar
// formats that pack accepts from Python buffers, and file identifiers.
#pragma once

#include "plan/wire.hpp"
#include "py/buffer.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvel::flatbuffer {

[[noreturn]] void slot_out_of_range(uint16_t slot);

// The vtable offset of a field slot (4 + 2 * slot); ValueError when it does not fit a vtable.
inline uint16_t slot_voffset(uint16_t slot) {
  // A vtable and its entries are addressed by 16-bit offsets: with slot 32764 the vtable is 65534
  // bytes long, one more slot would not fit.
  if (slot > 32764) slot_out_of_range(slot);
  return static_cast<uint16_t>(4 + 2 * slot);
}

// Whether the buffer's format is native little-endian data of the kind: a type code, optionally
// after one of the prefixes "@", "=", "<"; "l"/"L" resolved by the item size.
bool buffer_matches_native_scalar(const BufferView& buffer, ScalarKind kind);

// The element type name used when a buffer's item size does not fit a kind: i8, u8, ..., f64.
std::string_view element_type_name(ScalarKind kind);

// The ValueError for a field of a kind that a FlatBuffer table cannot hold: fixed arrays (struct
// members only) and the serde-only kinds.
[[noreturn]] void refuse_in_table(const FieldWire& field, bool decoding);

// A file identifier must be four bytes below 0x80 (a NUL included); ValueError otherwise.
void require_file_identifier(std::optional<std::string_view> identifier);

}  // namespace quorvel::flatbuffer
