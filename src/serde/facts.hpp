// What the JSON and MessagePack codec knows of each model of a plan, prepared once when types
// are bound: for decoding, each serialized field's key with the read its values take and the key
// in the form a source compares where it stands; for encoding, each key as the writers write it.
#pragma once

#include "plan/native_plan.hpp"
#include "serde/source.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::serde {

// How a field's value is read when that needs no more than its kind: decided once per model, so
// the common fields skip the general dispatch. `general` covers everything else.
enum class Direct : uint8_t { general, strict_float, strict_integer, strict_bool, text };

// What a strict typed read of the kind says it expected ("i8", "a boolean", ...).
std::string_view typed_expecting(ScalarKind kind) noexcept;

// One serialized field of a model as the key dispatch sees it.
struct KeySlot {
  std::string_view key;
  const FieldWire* field = nullptr;
  bool first = true;                // no earlier serialized field has the same key
  Direct direct = Direct::general;  // the read this field's values take
  IntegerRange range;               // strict_integer: the values its kind holds
  std::string_view expecting;       // strict reads: what their errors say was expected
};

// A key as the writers write it: JSON ',' "key" ':' with the escapes (the first entry of an
// object skips the comma), MessagePack the str header and the bytes.
struct EncodedKey {
  std::string json;
  std::string msgpack;
};

struct ModelFacts {
  const SerdeObject* serde = nullptr;  // null: the model has no serde metadata
  const ObjectWire* object = nullptr;
  PyObject* cls = nullptr;             // the class bound under the model's name (held by the bound types), or null
  // Decoding: by position among the serialized fields, for lax and for strict reads.
  std::vector<KeySlot> keys[2];
  std::vector<KeyProbe> probes;  // the first field with each key (a later one's probe never matches)
  // Encoding.
  std::vector<EncodedKey> encoded;  // by position among the serialized fields
  EncodedKey tag;                   // the whole tag entry, when the model has a tag

  const std::vector<KeySlot>& slots(bool strict) const noexcept { return keys[strict ? 1 : 0]; }
};

class Facts final : public CodecFacts {
 public:
  Facts(const NativePlan& plan, const BoundTypes& bound);

  // The facts of a model with serde metadata; RuntimeError "generated model has no serde metadata"
  // otherwise (as NativePlan::serde_object).
  const ModelFacts& model(const NativePlan& plan, uint32_t index) const {
    const ModelFacts& m = models_[index];
    if (m.serde == nullptr) [[unlikely]] plan.serde_object(index);
    return m;
  }

  // The position of the first serialized field with this key; `hint` is tried first (documents
  // usually list the fields in declared order).
  static constexpr uint32_t none = ~uint32_t{0};
  [[gnu::always_inline]] static uint32_t lookup(const ModelFacts& m, std::string_view key, uint32_t hint) noexcept {
    const std::vector<KeySlot>& keys = m.keys[0];
    if (hint < keys.size() && keys[hint].first && keys[hint].key.size() == key.size() &&
        py::words::same(keys[hint].key.data(), key.data(), key.size())) [[likely]] {
      return hint;
    }
    return scan(m, key);
  }
  [[gnu::noinline]] static uint32_t scan(const ModelFacts& m, std::string_view key) noexcept;

 private:
  std::vector<ModelFacts> models_;  // by object index
};

// The facts of a plan whose types are bound (NativePlan::require_bound has been called).
inline const Facts& facts_of(const BoundTypes& bound) noexcept { return static_cast<const Facts&>(*bound.serde_facts); }

}  // namespace quorvel::serde
