// The records of the plan document, as decoded, plus the indices that plan construction adds.
#pragma once

#include "py/ref.hpp"
#include "msgpack/value.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

using msgpack::MessagePackValue;

enum class FieldKind : uint8_t {
  scalar, string, table, struct_, vector_byte, vector_scalar, vector_string, vector_table,
  vector_struct, nested, dynamic, union_, union_vector, array_scalar, array_struct, uuid,
  decimal, fallback,
};
inline constexpr std::array<std::string_view, 18> field_kind_names = {
    "scalar", "string", "table", "struct", "vector_byte", "vector_scalar", "vector_string",
    "vector_table", "vector_struct", "nested", "dynamic", "union", "union_vector",
    "array_scalar", "array_struct", "uuid", "decimal", "fallback",
};

enum class ScalarKind : uint8_t {
  bool_, int8, uint8, int16, uint16, int32, uint32, int64, uint64, float32, float64,
};
inline constexpr std::array<std::string_view, 11> scalar_kind_names = {
    "bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float32", "float64",
};
// How scalar kinds are named in messages.
inline constexpr std::array<std::string_view, 11> scalar_kind_display = {
    "Bool", "Int8", "Uint8", "Int16", "Uint16", "Int32", "Uint32", "Int64", "Uint64", "Float32", "Float64",
};
inline std::string_view display_name(ScalarKind kind) { return scalar_kind_display[static_cast<size_t>(kind)]; }

struct ArmWire {
  uint64_t tag = 0;
  std::string target;        // emptied once resolved
  uint32_t target_index = 0; // set by plan construction
};

struct SerdeFieldWire {
  std::string attr_name;
  std::string encode_name;
};

struct FieldWire {
  std::string name;
  uint16_t slot = 0;
  uint64_t offset = 0;
  FieldKind kind = FieldKind::scalar;
  std::optional<ScalarKind> scalar;
  MessagePackValue default_value;
  bool optional = false;
  bool required = false;
  bool serde_nullable = false;
  bool serde_element_nullable = false;
  bool serde_python_int = false;
  bool serde_omit_default = false;
  bool key = false;
  std::optional<std::string> target;  // moved into target_index by plan construction
  std::optional<uint16_t> type_slot;
  std::optional<ScalarKind> type_scalar;
  std::optional<std::string> allowed_prefix;
  std::optional<std::string> enum_type;
  std::optional<std::string> dynamic_type;
  std::vector<ArmWire> arms;
  uint64_t fixed_length = 0;
  uint64_t element_size = 0;
  std::optional<std::string> fallback_id;

  std::optional<uint32_t> target_index;
  py::Ref attr_name;  // interned str of `name`, for attribute reads and keywords
};

struct ObjectWire {
  std::string name;
  bool is_struct = false;
  uint64_t byte_size = 0;
  uint64_t min_alignment = 0;
  std::vector<FieldWire> fields;
  std::vector<SerdeFieldWire> serde_fields;
  std::optional<std::string> serde_tag_field;
  std::optional<std::string> serde_tag;

  uint32_t index = 0;
  std::optional<uint32_t> key_field;
  py::Ref kwnames;  // tuple of the fields' names, for construction by keyword; null when names repeat
};

struct ModuleWire {
  uint8_t version = 0;
  std::vector<ObjectWire> objects;
};

// Decodes one plan document from the start of `bytes`; trailing bytes are not looked at.
// Throws ReaderError with the reader's message.
ModuleWire read_plan_document(std::span<const uint8_t> bytes, uint16_t depth_limit);

}  // namespace quorvel
