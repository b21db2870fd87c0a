// The records of the plan document, as decoded, plus the indices that plan construction adds.
#pragma once

#include "py/ref.hpp"
#include "msgpack/value.hpp"
#include "plan/kinds.hpp"
#include "plan/scalar.hpp"
#include "py/error.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

using msgpack::MessagePackValue;

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

  // Resolved once when the plan is loaded; the codecs read these instead of re-deriving them.
  std::optional<uint32_t> target_index;
  py::Ref attr_name;                          // interned str of `name`, for attribute reads and keywords
  uint8_t width = 0;                          // byte width of `scalar`; 0 when the field has none
  std::optional<ScalarValue> default_scalar;  // `default_value` as a value of `scalar`
  std::optional<PyFailure> default_fault;     // why it is not one: raised wherever the default is needed
  std::optional<uint32_t> enum_index;         // `enum_type`'s position in NativePlan::enum_names
  bool in_struct = false;                     // a member of a struct object

  // The field's scalar kind; ValueError naming what the field is when the plan gave none.
  ScalarKind scalar_kind() const {
    if (scalar) return *scalar;
    missing_scalar();
  }
  [[noreturn]] void missing_scalar() const;

  // The default as a value of the field's scalar kind (the field must have one).
  const ScalarValue& scalar_default() const {
    if (default_fault) throw *default_fault;
    return *default_scalar;
  }
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
  bool distinct_slots = true;  // no two fields can write the same vtable slot

  // TypeError "{} is a struct, not a table" / "{} is a table, not a struct" for the wrong form.
  void require_table() const {
    if (is_struct) fail(PyExc_TypeError, "{} is a struct, not a table", name);
  }
  void require_struct() const {
    if (!is_struct) fail(PyExc_TypeError, "{} is a table, not a struct", name);
  }
};

struct ModuleWire {
  uint8_t version = 0;
  std::vector<ObjectWire> objects;
};

// Decodes one plan document from the start of `bytes`; trailing bytes are not looked at.
// Throws ReaderError with the reader's message.
ModuleWire read_plan_document(std::span<const uint8_t> bytes, uint16_t depth_limit);

}  // namespace quorvel
