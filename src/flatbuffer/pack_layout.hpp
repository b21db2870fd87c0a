// Compact facts about the fields of the tables pack writes, gathered from the plan's field records
// once per plan: the per-object loops of the table builder read these few bytes instead of the
// full records.
#pragma once

#include "flatbuffer/builder.hpp"
#include "plan/native_plan.hpp"
#include "plan/wire.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quorvel::flatbuffer {

struct PackField {
  ScalarValue default_value;  // for a non-optional scalar field that converts inline
  flatbuffers::voffset_t voffset = 0;
  FieldKind kind = FieldKind::scalar;
  ScalarKind scalar = ScalarKind::bool_;
  uint8_t width = 0;  // of `scalar`
  // A scalar field whose slot, kind and default are all usable: written without its full record.
  bool inline_scalar = false;
  bool optional = false;
  bool pass_one = false;  // written before the table opens (strings, vectors, child tables, ...)
  bool sorted = false;    // a vector of tables that are written in the order of their key
};

// Whether a field of this kind is written before its table opens.
constexpr bool written_in_pass_one(FieldKind kind) {
  switch (kind) {
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
    case FieldKind::union_vector: return true;
    case FieldKind::scalar:
    case FieldKind::struct_:
    case FieldKind::array_scalar:
    case FieldKind::array_struct:
    case FieldKind::uuid:
    case FieldKind::decimal:
    case FieldKind::fallback: return false;
  }
  return false;
}

// The facts of one object's fields.
struct PackObject {
  std::vector<PackField> fields;
  // Every field a scalar that converts inline, few enough for a table written in one piece.
  bool scalars_only = false;
};

// The facts of every object of a plan, gathered on the first pack with it and kept by the plan.
class PackFields : public CodecFacts {
 public:
  static constexpr size_t max_scalars_only = 16;

  static const PackFields& of(const NativePlan& plan) {
    if (const CodecFacts* facts = plan.pack_facts()) [[likely]] return static_cast<const PackFields&>(*facts);
    auto built = std::make_unique<PackFields>(plan.objects);
    return static_cast<const PackFields&>(*plan.publish_pack_facts(std::move(built)));
  }

  explicit PackFields(std::span<const ObjectWire> objects) : objects_(objects.size()) {
    for (size_t i = 0; i < objects.size(); ++i) gather(objects_[i], objects[i], objects);
  }

  // Null for an object outside the plan's list (never the case for a resolved target).
  const PackObject* object(const ObjectWire& object) const noexcept {
    return object.index < objects_.size() ? &objects_[object.index] : nullptr;
  }

 private:
  static void gather(PackObject& out, const ObjectWire& object, std::span<const ObjectWire> objects) {
    out.fields.resize(object.fields.size());
    out.scalars_only = !object.fields.empty() && object.fields.size() <= max_scalars_only;
    for (size_t i = 0; i < object.fields.size(); ++i) {
      const FieldWire& field = object.fields[i];
      PackField& fact = out.fields[i];
      fact.kind = field.kind;
      fact.optional = field.optional;
      fact.pass_one = written_in_pass_one(field.kind);
      if (field.kind == FieldKind::vector_table && field.target_index && *field.target_index < objects.size()) {
        const ObjectWire& target = objects[*field.target_index];
        fact.sorted = target.key_field && *target.key_field < target.fields.size();
      }
      // Anything that could fail (no scalar kind, a slot past a vtable's reach, a default that
      // is not one) stays with the full path, which raises where it always did.
      if (field.kind == FieldKind::scalar && field.scalar && field.slot <= 32764 &&
          (field.optional || (!field.default_fault && field.default_scalar))) {
        fact.scalar = *field.scalar;
        fact.width = static_cast<uint8_t>(scalar_width(fact.scalar));
        fact.voffset = slot_voffset(field.slot);
        if (!field.optional) fact.default_value = *field.default_scalar;
        fact.inline_scalar = true;
      }
      out.scalars_only = out.scalars_only && fact.inline_scalar;
    }
  }

  std::vector<PackObject> objects_;
};

}  // namespace quorvel::flatbuffer
