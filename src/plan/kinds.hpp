// The field and scalar kinds of the plan, with the names the plan document and messages use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvel {

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

}  // namespace quorvel
