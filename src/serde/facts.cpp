#include "serde/facts.hpp"

#include "serde/serde.hpp"
#include "msgpack/writer.hpp"
#include "py/text.hpp"

#include <unordered_set>

namespace quorvel::serde {

std::string_view typed_expecting(ScalarKind kind) noexcept {
  switch (kind) {
    case ScalarKind::bool_: return expecting_boolean;
    case ScalarKind::int8: return "i8";
    case ScalarKind::uint8: return "u8";
    case ScalarKind::int16: return "i16";
    case ScalarKind::uint16: return "u16";
    case ScalarKind::int32: return "i32";
    case ScalarKind::uint32: return "u32";
    case ScalarKind::int64: return "i64";
    case ScalarKind::uint64: return "u64";
    case ScalarKind::float32: return "f32";
    case ScalarKind::float64: return "f64";
  }
  return "a number";
}

namespace {

Direct direct_read(const FieldWire& f, bool strict) noexcept {
  if (f.serde_nullable) return Direct::general;
  if (f.kind == FieldKind::string) return Direct::text;
  if (f.kind != FieldKind::scalar || !strict || f.serde_python_int || !f.scalar || f.enum_index) return Direct::general;
  switch (family_of(*f.scalar)) {
    case ScalarFamily::floating: return Direct::strict_float;
    case ScalarFamily::boolean: return Direct::strict_bool;
    case ScalarFamily::signed_integer:
    case ScalarFamily::unsigned_integer: return Direct::strict_integer;
  }
  return Direct::general;
}

// A JSON object entry's key, ',' first: ,"key":
std::string json_entry_key(std::string_view key) {
  std::string out(1, ',');
  text::append_json_string(out, key);
  out.push_back(':');
  return out;
}

std::string msgpack_str(std::string_view text) {
  std::string out;
  msgpack::StringBuffer buffer(out);
  msgpack::BasicWriter<msgpack::StringBuffer>(buffer).str(text);
  return out;
}

ModelFacts model_facts(const ObjectWire& object, const SerdeObject& so, PyObject* cls) {
  ModelFacts m;
  m.serde = &so;
  m.object = &object;
  m.cls = cls;
  const size_t n = so.fields.size();
  std::unordered_set<std::string_view> seen;
  for (bool strict : {false, true}) m.keys[strict ? 1 : 0].reserve(n);
  m.probes.resize(n);
  for (size_t j = 0; j < n; ++j) {
    const SerdeField& sf = so.fields[j];
    const FieldWire& f = object.fields[sf.field_index];
    const bool first = seen.insert(sf.key).second;
    const ScalarKind kind = f.scalar.value_or(ScalarKind::bool_);
    for (bool strict : {false, true}) {
      m.keys[strict ? 1 : 0].push_back(
          KeySlot{sf.key, &f, first, direct_read(f, strict), integer_range(kind), typed_expecting(kind)});
    }
    if (first) m.probes[j] = KeyProbe(sf.key);
    m.encoded.push_back(EncodedKey{json_entry_key(sf.key), msgpack_str(sf.key)});
  }
  if (so.tag) {
    m.tag.json = json_entry_key(so.tag->first);
    text::append_json_string(m.tag.json, so.tag->second);
    m.tag.msgpack = msgpack_str(so.tag->first) + msgpack_str(so.tag->second);
  }
  return m;
}

}  // namespace

Facts::Facts(const NativePlan& plan, const BoundTypes& bound) : models_(plan.objects.size()) {
  for (size_t index = 0; index < plan.objects.size(); ++index) {
    if (!bound.serde_objects[index]) continue;
    models_[index] = model_facts(plan.objects[index], *bound.serde_objects[index], bound.object_classes[index].get());
  }
}

uint32_t Facts::scan(const ModelFacts& m, std::string_view key) noexcept {
  const std::vector<KeySlot>& keys = m.keys[0];
  for (uint32_t i = 0; i < keys.size(); ++i) {
    if (keys[i].key.size() == key.size() && py::words::same(keys[i].key.data(), key.data(), key.size())) return i;
  }
  return none;
}

std::unique_ptr<const CodecFacts> prepare_facts(const NativePlan& plan, const BoundTypes& bound) {
  return std::make_unique<Facts>(plan, bound);
}

}  // namespace quorvel::serde
