// src/plan: the plan document and its records (wire.hpp), NativePlan and its resolved facts,
// ScalarValue, bind_types, classification with the subclass cache and model_types. Above py and
// msgpack, below the codecs; no FlatBuffers type appears here.
//
// NativePlan: a loaded, validated plan and the Python classes bound to it.
//
// Everything but `bound` and `subclass_cache` is fixed once construction returns, so any thread may
// read it without locking. `bound` is published once (release/acquire); the subclass cache is a
// PyMutex-guarded map that is never held while Python code runs.
#pragma once

#include "py/error.hpp"
#include "py/ref.hpp"
#include "plan/access.hpp"
#include "plan/wire.hpp"

#include <atomic>
#include <format>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorvel {

// Hash for string-keyed maps that are looked up with string_views.
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

// Identity of a plan, shared with every NativeModelTypes made from it.
struct PlanToken {};
using PlanTokenRef = std::shared_ptr<const PlanToken>;

struct SerdeField {
  std::string key;     // key in the JSON object or MessagePack map
  py::Ref attr;        // interned attribute name; also the constructor keyword
  size_t field_index;  // index into the object's fields
};

struct SerdeObject {
  std::vector<SerdeField> fields;
  std::optional<std::pair<std::string, std::string>> tag;  // (tag field name, tag value)
  py::Ref kwnames;                                          // tuple of the fields' attr strings
};

// Data a codec derives from the plan (and its bound types) once and keeps for the plan's life.
struct CodecFacts {
  virtual ~CodecFacts() = default;
};

struct BoundTypes {
  std::vector<std::optional<SerdeObject>> serde_objects;  // by object index
  std::unordered_map<PyObject*, uint32_t> type_indices;   // class identity -> object index
  StringMap<py::Ref> types_by_name;
  bool native_serde = true;
  std::vector<py::Ref> bound_classes;  // keeps every class in type_indices alive
  std::vector<py::Ref> object_classes;  // by object index: the class bound under its name, or null
  std::vector<py::Ref> enum_classes;    // by FieldWire::enum_index: the class bound, or null
  std::unique_ptr<const CodecFacts> serde_facts;  // the JSON and MessagePack codec's, built on binding
};

struct BoundModelSubclass {
  py::Ref cls;  // keeps the class, and with it the key's identity, alive
  uint32_t index;
};

class SubclassCache {
 public:
  std::optional<uint32_t> find(PyObject* cls);
  void insert(PyObject* cls, uint32_t index);

 private:
  template <class F>
  auto locked(F&& f) -> decltype(f());
  PyMutex mutex_{};
  bool poisoned_ = false;
  std::unordered_map<PyObject*, BoundModelSubclass> map_;
};

class NativePlan {
 public:
  // Decodes and validates the plan document and imports what its fields need.
  static std::unique_ptr<NativePlan> create(std::span<const uint8_t> data);
  ~NativePlan();

  NativePlan(const NativePlan&) = delete;
  NativePlan& operator=(const NativePlan&) = delete;

  std::string repr() const { return std::format("NativePlan(objects={})", objects.size()); }

  // Accessors shared by the codecs.
  std::pair<uint32_t, const ObjectWire*> object(std::string_view name) const;
  // The object a field refers to; ValueError "native field has no target" when it names none.
  const ObjectWire& target_of(const FieldWire& field) const {
    if (!field.target_index) fail(PyExc_ValueError, "native field has no target");
    return objects[*field.target_index];
  }
  const BoundTypes* bound_types() const noexcept { return bound_.load(std::memory_order_acquire); }
  const BoundTypes& require_bound() const;
  py::Ref bound_type(std::string_view name) const;
  // The class bound for an object, by index; the same RuntimeError as bound_type when none is.
  PyObject* bound_class(uint32_t index) const;
  uint32_t model_object_index(PyObject* obj) const;
  void require_model_type(const ObjectWire& expected, PyObject* obj) const;
  // The model-access layer's shared class entries (plan/access.hpp).
  ModelAccess& access() const { return *access_; }
  // The FlatBuffer codec's facts about the plan: null until published. publish_flatbuffer_facts
  // keeps the first facts published (racing builders build the same) and returns them; readers take
  // no lock.
  const CodecFacts* flatbuffer_facts() const noexcept { return flatbuffer_facts_.load(std::memory_order_acquire); }
  const CodecFacts* publish_flatbuffer_facts(std::unique_ptr<CodecFacts> facts) const;
  py::Ref apply_enum(const FieldWire& field, py::Ref value) const;
  [[noreturn]] void bounds_error(std::string message) const { fail_text(buffer_bounds_error.get(), std::move(message)); }
  [[noreturn]] void invalid_error(std::string message) const { fail_text(invalid_buffer_error.get(), std::move(message)); }
  const SerdeObject& serde_object(size_t index) const;

  // bind_types: builds the bindings from a dict and publishes them once, with the facts
  // `serde_facts` derives from them (the codecs are above this floor, so the caller names it).
  using SerdeFactsBuilder = std::unique_ptr<const CodecFacts> (*)(const NativePlan&, const BoundTypes&);
  void bind_types(PyObject* types, SerdeFactsBuilder serde_facts);
  // model_types: validates subclass bindings for unpacking.
  std::unique_ptr<struct NativeModelTypes> model_types(PyObject* generated, PyObject* requested, PyObject* bindings) const;

  PlanTokenRef token;
  std::vector<ObjectWire> objects;
  uint32_t max_field_count = 0;  // the most fields any object has
  StringMap<uint32_t> object_indices;
  std::vector<std::string> enum_names;  // every enum type the fields name, once each

  py::Ref dynamic_encoder;
  py::Ref nested_encoder;
  py::Ref model_decoder;
  py::Ref dynamic_types;
  py::Ref uuid_type;
  py::Ref decimal_type;
  py::Ref buffer_bounds_error;
  py::Ref invalid_buffer_error;

 private:
  NativePlan() = default;
  std::atomic<BoundTypes*> bound_{nullptr};
  mutable SubclassCache subclass_cache_;
  std::unique_ptr<ModelAccess> access_;
  mutable std::atomic<CodecFacts*> flatbuffer_facts_{nullptr};
};

}  // namespace quorvel
