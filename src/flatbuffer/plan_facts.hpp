// What the codec derives from a plan once, on the first pack or unpack with it, and keeps for the
// plan's life: compact per-field facts that the per-object loops read instead of whole FieldWire
// records.
#pragma once

#include "plan/native_plan.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace quorvel::flatbuffer {

// A field of a table that pack writes.
struct PackField {
  ScalarValue default_value;  // for a non-optional scalar field that converts inline
  uint16_t voffset = 0;
  FieldKind kind = FieldKind::scalar;
  ScalarKind scalar = ScalarKind::bool_;
  uint8_t width = 0;  // of `scalar`
  // A scalar field whose slot, kind and default are all usable: written without its full record.
  bool inline_scalar = false;
  bool optional = false;
  bool pass_one = false;  // written before the table opens (strings, vectors, child tables, ...)
  bool sorted = false;    // a vector of tables that are written in the order of their key
};

struct PackObject {
  static constexpr size_t max_scalars_only = 16;

  std::vector<PackField> fields;
  // Every field a scalar that converts inline, few enough for a table written in one piece.
  bool scalars_only = false;
};

// A field of a table or struct that unpack reads.
struct UnpackField {
  uint64_t offset = 0;           // FieldWire::offset
  FieldKind kind = FieldKind::scalar;
  ScalarKind scalar = ScalarKind::bool_;  // meaningful when `width` is not 0
  uint8_t width = 0;             // byte width of the scalar kind; 0 when the field has none
  bool optional = false;
  // A scalar without an enum, whose vtable slot is well formed (even, at least 4) and whose default
  // converts: read from these facts alone. Every other field takes the general path.
  bool plain_scalar = false;
  // `default_value` as a Python object (an immutable int, float or bool, shared by every object
  // read); set exactly for plain scalars.
  py::Ref default_object;
};

class PlanFacts final : public CodecFacts {
 public:
  // The plan's facts, built by the first caller and published once; racing threads build the same,
  // and all but the first drop theirs.
  static const PlanFacts& of(const NativePlan& plan) {
    if (const CodecFacts* facts = plan.flatbuffer_facts()) [[likely]] return static_cast<const PlanFacts&>(*facts);
    return static_cast<const PlanFacts&>(*plan.publish_flatbuffer_facts(std::make_unique<PlanFacts>(plan.objects)));
  }

  explicit PlanFacts(std::span<const ObjectWire> objects);

  const PackObject& pack(uint32_t object) const noexcept { return pack_[object]; }
  std::span<const UnpackField> unpack(uint32_t object) const noexcept { return unpack_[object]; }

 private:
  std::vector<PackObject> pack_;
  std::vector<std::vector<UnpackField>> unpack_;
};

}  // namespace quorvel::flatbuffer
