#include "flatbuffer/plan_facts.hpp"

#include "flatbuffer/formats.hpp"

namespace quorvel::flatbuffer {

namespace {

PackObject pack_object(const ObjectWire& object, std::span<const ObjectWire> objects) {
  PackObject out;
  out.fields.resize(object.fields.size());
  out.scalars_only = !object.fields.empty() && object.fields.size() <= PackObject::max_scalars_only;
  for (size_t i = 0; i < object.fields.size(); ++i) {
    const FieldWire& field = object.fields[i];
    PackField& fact = out.fields[i];
    fact.kind = field.kind;
    fact.optional = field.optional;
    fact.pass_one = field_form(field.kind) == FieldForm::offset;
    if (field.kind == FieldKind::vector_table && field.target_index && *field.target_index < objects.size()) {
      const ObjectWire& target = objects[*field.target_index];
      fact.sorted = target.key_field && *target.key_field < target.fields.size();
    }
    // Anything that could fail (no scalar kind, a slot past a vtable's reach, a default that is not
    // one) stays with the full path, which raises where it always did.
    if (field.kind == FieldKind::scalar && field.scalar && field.slot <= 32764 &&
        (field.optional || (!field.default_fault && field.default_scalar))) {
      fact.scalar = *field.scalar;
      fact.width = field.width;
      fact.voffset = slot_voffset(field.slot);
      if (!field.optional) fact.default_value = *field.default_scalar;
      fact.inline_scalar = true;
    }
    out.scalars_only = out.scalars_only && fact.inline_scalar;
  }
  return out;
}

UnpackField unpack_field(const FieldWire& field) {
  UnpackField fact;
  fact.offset = field.offset;
  fact.kind = field.kind;
  if (field.scalar) {
    fact.scalar = *field.scalar;
    fact.width = field.width;
  }
  fact.optional = field.optional;
  const bool slot_ok = field.in_struct || (field.offset >= 4 && field.offset % 2 == 0);
  if (field.kind == FieldKind::scalar && field.scalar && !field.enum_type && field.default_scalar && slot_ok) {
    fact.plain_scalar = true;
    fact.default_object = field.default_scalar->into_py();
  }
  return fact;
}

}  // namespace

PlanFacts::PlanFacts(std::span<const ObjectWire> objects) {
  pack_.reserve(objects.size());
  unpack_.reserve(objects.size());
  for (const ObjectWire& object : objects) {
    pack_.push_back(pack_object(object, objects));
    std::vector<UnpackField>& fields = unpack_.emplace_back();
    fields.reserve(object.fields.size());
    for (const FieldWire& field : object.fields) fields.push_back(unpack_field(field));
  }
}

}  // namespace quorvel::flatbuffer
