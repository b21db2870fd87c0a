#include "flatbuffer/formats.hpp"

#include <algorithm>

namespace quorvel::flatbuffer {

bool buffer_matches_native_scalar(const BufferView& buffer, ScalarKind kind) {
  std::string_view format = buffer.format();
  if (format.size() == 2) {
    if (format[0] != '@' && format[0] != '=' && format[0] != '<') return false;
    format.remove_prefix(1);
  }
  if (format.size() != 1) return false;
  const char code = format[0];
  const Py_ssize_t itemsize = buffer.view().itemsize;
  switch (kind) {
    case ScalarKind::bool_: return code == '?';
    case ScalarKind::int8: return code == 'b';
    case ScalarKind::uint8: return code == 'B';
    case ScalarKind::int16: return code == 'h';
    case ScalarKind::uint16: return code == 'H';
    case ScalarKind::int32: return code == 'i' || (code == 'l' && itemsize == 4);
    case ScalarKind::uint32: return code == 'I' || (code == 'L' && itemsize == 4);
    case ScalarKind::int64: return code == 'q' || (code == 'l' && itemsize == 8);
    case ScalarKind::uint64: return code == 'Q' || (code == 'L' && itemsize == 8);
    case ScalarKind::float32: return code == 'f';
    case ScalarKind::float64: return code == 'd';
  }
  return false;
}

std::string_view element_type_name(ScalarKind kind) {
  static constexpr std::string_view names[] = {"bool", "i8", "u8", "i16", "u16", "i32", "u32", "i64", "u64", "f32", "f64"};
  return names[static_cast<size_t>(kind)];
}

void slot_out_of_range(uint16_t slot) {
  fail(PyExc_ValueError, "native field slot {} exceeds the FlatBuffers vtable limit", slot);
}

void refuse_in_table(const FieldWire& field, bool decoding) {
  const FieldForm form = field_form(field.kind);
  if (form == FieldForm::scalar_array || form == FieldForm::struct_array) {
    fail(PyExc_ValueError, "fixed arrays may only be fields of structs");
  }
  fail(PyExc_ValueError, "serde fallback fields cannot be {} as FlatBuffers", decoding ? "decoded" : "encoded");
}

void refuse_in_struct() { fail(PyExc_NotImplementedError, "unsupported native struct field"); }

void require_file_identifier(std::optional<std::string_view> identifier) {
  if (!identifier) return;
  if (identifier->size() != 4 ||
      std::any_of(identifier->begin(), identifier->end(), [](char c) { return static_cast<uint8_t>(c) >= 0x80; })) {
    fail(PyExc_ValueError, "FlatBuffers file identifiers must contain four ASCII bytes");
  }
}

}  // namespace quorvel::flatbuffer
