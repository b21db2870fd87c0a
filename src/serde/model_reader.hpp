// The model reader of decode_serde: one algorithm over both document sources.
//
// A model object is read from one JSON object or MessagePack map: each key is matched against the
// model's serialized names through the per-model key table (facts.hpp), each value is decoded by
// its field's kind, a union's entries whose meaning depends on the arm wait (as views of their
// text in the input, which stays alive and unchanged for the whole call) until the type tag has
// chosen it, and the object is constructed by keyword at the end. The decoded entries of every
// model being read live on one stack per call, so a model costs no allocation of its own.
//
// Defined in model_reader.cpp, once for each source.
#pragma once

#include "plan/access.hpp"
#include "plan/native_plan.hpp"
#include "py/ref.hpp"
#include "serde/facts.hpp"
#include "serde/source.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace quorvel::serde {

// One decoded entry of a model being read: the key as read, the model whose field it matched
// (and that field's position among its serialized fields) and the value.
struct Parsed {
  std::string_view name;
  uint32_t object;
  uint32_t field;
  py::Ref value;
};

// What one decode_serde call shares with every model it reads.
class DecodeContext {
 public:
  DecodeContext(const NativePlan& plan, PyObject* fallback_decoders, bool strict)
      : plan(plan), facts(facts_of(plan.require_bound())), fallback_decoders(fallback_decoders), strict(strict), walk(plan) {}

  const ModelFacts& model(uint32_t index) const { return facts.model(plan, index); }
  // The class bound for the model; RuntimeError "native type {:?} is not bound" when none is.
  PyObject* model_class(const ModelFacts& m, uint32_t index) const { return m.cls != nullptr ? m.cls : plan.bound_class(index); }

  const NativePlan& plan;
  const Facts& facts;
  PyObject* fallback_decoders;  // borrowed dict
  bool strict;
  ModelWalk walk;  // builds the models (plan/access.hpp)

  std::vector<Parsed> parsed;          // the entries of every model being read, innermost last
  std::vector<py::Ref> spilled;        // argument slots of models with many fields, innermost last
  std::vector<PyObject*> call_values;  // a construction's arguments, borrowed from `parsed`
};

// What a model reader reads: one fixed model, or a union's arms chosen by type tag.
struct Target {
  const std::vector<ArmWire>* arms = nullptr;
  uint32_t object = 0;
};

template <DocumentSource Src>
class ModelReader {
 public:
  using Value = typename Src::Value;

  ModelReader(DecodeContext& ctx, Src& src) noexcept : ctx_(ctx), src_(src) {}

  // The document's root object, a model of `target`.
  py::Ref root(Target target);
  // The seed's entry: None for a null of a nullable field, else the field's value.
  py::Ref nullable_field(const FieldWire& f, Value& v);

 private:
  struct Resolved;
  struct Slots;
  struct ExpectingEntries;

  template <class ReadMap>
  py::Ref visit_map(Target target, ReadMap&& read_map);
  template <class ReadMap>
  py::Ref visit_fixed(uint32_t object, ReadMap& read_map);
  py::Ref model(Value& v, Target target);
  py::Ref direct(const KeySlot& slot, Value& v);
  template <class... At>
  bool direct_in_place(const KeySlot& slot, Slots& slots, At&... at);
  Resolved resolve(Target target, bool candidates, uint32_t chosen, std::string_view key, uint32_t hint);
  std::optional<uint32_t> choose_tag(Target target, std::string_view tag);
  void decode_buffered(uint32_t chosen, size_t base);
  py::Ref decode_buffered_value(const FieldWire& field, const typename Src::Capture& raw);
  py::Ref construct(uint32_t object, size_t base);

  py::Ref field(const FieldWire& f, Value& v);
  py::Ref scalar(const FieldWire& f, Value& v);
  Integer checked_integer(ScalarKind kind, Value& v);
  ScalarValue strict_scalar(ScalarKind kind, Value& v);
  ScalarValue coerced_scalar(ScalarKind kind, Value& v);
  py::Ref python_int(Value& v);
  py::Ref strings(Value& v);
  py::Ref model_vector(const FieldWire& f, Value& v, Target target);
  py::Ref enum_vector(const FieldWire& f, Value& v);
  py::Ref numeric_vector(const FieldWire& f, Value& v);
  py::Ref uuid(Value& v);
  py::Ref decimal(Value& v);
  py::Ref fallback(const FieldWire& f, Value& v);

  [[noreturn]] void refuse_null(std::string_view expecting) { invalid_type(Src::json ? found::null : found::unit, expecting); }

  // An entry of a union read before its type tag, kept as the source captured it.
  struct Buffered {
    std::string_view name;
    typename Src::Capture raw;
  };

  DecodeContext& ctx_;
  Src& src_;
  std::vector<Buffered> buffered_;  // of every union being read, innermost last
};

}  // namespace quorvel::serde
