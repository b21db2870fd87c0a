// The sort key of keyed tables, shared by packing and unpacking.
#pragma once

#include "plan/native_plan.hpp"
#include "plan/scalar.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace quorvel::flatbuffer {

struct TableKey {
  enum class Variant : uint8_t { Bool, Int, UInt, F32, F64, Str };
  Variant variant = Variant::Bool;
  int64_t i = 0;
  uint64_t u = 0;  // Bool as 0/1, UInt
  double f = 0;    // F32 (exactly widened), F64
  std::string text;

  // The key of `obj` as the key field of that kind and scalar kind reads it.
  static TableKey extract(FieldKind kind, std::optional<ScalarKind> scalar, PyObject* obj);
  // -1, 0, 1; both keys come from one key field and so share a variant.
  static int compare(const TableKey& a, const TableKey& b) noexcept;
};

}  // namespace quorvel::flatbuffer
