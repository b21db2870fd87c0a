// How the plan's fields appear in a FlatBuffer: where each kind is written, the vtable offset of a
// slot, the native scalar formats that pack accepts from Python buffers, and file identifiers.
#pragma once

#include "plan/wire.hpp"
#include "py/buffer.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvel::flatbuffer {

// Where a field of each kind is written: the one switch over every field kind that the codec's
// writers and readers share; theirs switch over these forms.
enum class FieldForm : uint8_t {
  scalar,        // inline, in a table or a struct
  struct_,       // inline, in a table or a struct
  scalar_array,  // inline, in a struct only
  struct_array,  // inline, in a struct only
  offset,        // written before its table, which holds an offset to it
  serde_only,    // no FlatBuffer form
};

constexpr FieldForm field_form(FieldKind kind) noexcept {
  switch (kind) {
    case FieldKind::scalar: return FieldForm::scalar;
    case FieldKind::struct_: return FieldForm::struct_;
    case FieldKind::array_scalar: return FieldForm::scalar_array;
    case FieldKind::array_struct: return FieldForm::struct_array;
    case FieldKind::string:
    case FieldKind::table:
    case FieldKind::vector_byte:
    case FieldKind::vector_scalar:
    case FieldKind::vector_string:
    case FieldKind::vector_table:
    case FieldKind::vector_struct:
    case FieldKind::nested:
    case FieldKind::dynamic:
    case FieldKind::union_:
    case FieldKind::union_vector: return FieldForm::offset;
    case FieldKind::uuid:
    case FieldKind::decimal:
    case FieldKind::fallback: return FieldForm::serde_only;
  }
  return FieldForm::serde_only;
}

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

// The NotImplementedError for a struct member of a kind that only tables hold, or none.
[[noreturn]] void refuse_in_struct();

// A file identifier must be four bytes below 0x80 (a NUL included); ValueError otherwise.
void require_file_identifier(std::optional<std::string_view> identifier);

}  // namespace quorvel::flatbuffer
