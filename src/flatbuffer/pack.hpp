// Internals of pack: field states and the writers they share.
#pragma once

#include "flatbuffer/flatbuffer.hpp"
#include "flatbuffer/keyed.hpp"
#include "flatbuffer/plan_facts.hpp"
#include "flatbuffer/table_writer.hpp"
#include "plan/access.hpp"
#include "plan/native_plan.hpp"
#include "plan/scalar.hpp"
#include "py/recursion.hpp"
#include "py/sequence.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel::flatbuffer {

// Vectors written as raw bytes: (tail position of the length prefix, element count).
using CountFixups = std::vector<std::pair<uint32_t, uint32_t>>;

// What pass 1 of the table builder wrote for a field.
struct BuiltChild {
  enum class Form : uint8_t { none, single, pair, union_ };
  Form form = Form::none;
  uoffset_t main = 0;
  uoffset_t companion = 0;
  uint64_t tag = 0;
};

struct FieldState {
  py::Ref value;
  std::optional<ScalarValue> scalar;                         // converted by the size estimate
  py::Ref nested;                                            // nested encoder result
  std::optional<std::pair<std::string, py::Ref>> dynamic;    // dynamic encoder (tag, payload)
  BuiltChild child;
};

using FieldStates = std::vector<FieldState>;

// Field states of the tables being written, one level per table depth, each level's storage kept
// for the next table at that depth: a walk allocates per depth reached, not per table. A level's
// states stay where they are while deeper levels come and go.
class FieldStateStack {
 public:
  class Frame {
   public:
    Frame(FieldStateStack& stack, size_t count) : stack_(stack), states_(stack.push(count)) {}
    ~Frame() { stack_.pop(states_); }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    std::span<FieldState> states() const noexcept { return states_; }

   private:
    FieldStateStack& stack_;
    std::span<FieldState> states_;
  };

 private:
  std::span<FieldState> push(size_t count) {
    if (depth_ == levels_.size()) levels_.emplace_back();
    FieldStates& level = levels_[depth_];
    if (level.size() < count) level.resize(count);
    ++depth_;
    return std::span(level).first(count);
  }
  // Releases the level's values; its states stay for the next table at this depth.
  void pop(std::span<FieldState> states) noexcept {
    --depth_;
    for (FieldState& state : states) {
      state.value.reset();
      state.child = BuiltChild{};
      // Set only when a caller's states were filled ahead; released all the same.
      state.scalar.reset();
      state.nested.reset();
      state.dynamic.reset();
    }
  }

  std::vector<FieldStates> levels_;
  size_t depth_ = 0;
};

struct PackContext {
  NativePlan& plan;
  TableWriter& writer;
  CountFixups& fixups;
  ModelWalk& walk;
  FieldStateStack& states;
  std::vector<uoffset_t>& offsets;  // offset vectors being collected, innermost last
  const PlanFacts& facts;
};

// Reads the fields of a model already checked against `object` into `states`.
void load_fields(NativePlan& plan, const ObjectWire& object, const ModelView& model, std::span<FieldState> states);
py::Ref sorted_table_map_values(NativePlan& plan, const FieldWire& field, PyObject* value);
// The starting size for the builder, and the part of it that was measured rather than guessed:
// only that part can prove that a graph exceeds the format's limit.
struct SizeEstimate {
  uint64_t measured;
  uint64_t capacity;
};
SizeEstimate estimate_initial_capacity(NativePlan& plan, ModelWalk& walk, const ObjectWire& object,
                                       std::span<FieldState> states, bool has_identifier, bool size_prefixed);
// Writes `model` as a table of `object`; `states` holds its fields when the caller loaded them.
uoffset_t build_table(PackContext& ctx, const ObjectWire& object, PyObject* model,
                      std::span<FieldState>* states);
const ArmWire& union_arm(NativePlan& plan, const FieldWire& field, PyObject* value);
std::pair<std::string, py::Ref> encode_dynamic_value(NativePlan& plan, const FieldWire& field, PyObject* value);

// Structs.
void encode_struct_into(NativePlan& plan, ModelWalk& walk, const ObjectWire& object, PyObject* value,
                        std::span<uint8_t> region);
void align_writer(TableWriter& writer, uint64_t alignment);

// Vectors.
uoffset_t build_byte_vector(TableWriter& writer, PyObject* value);
uoffset_t build_scalar_vector(TableWriter& writer, ScalarKind kind, PyObject* value, CountFixups& fixups);
// A vector of elements already laid out little-endian at `width` bytes each.
uoffset_t build_element_vector(TableWriter& writer, size_t width, std::span<const uint8_t> elements, CountFixups& fixups);

// The elements of a sequence (a str or anything else but a sequence refused) converted at the
// kind's width, little-endian; with `reserve_by_length`, room for len(value) of them first.
std::vector<uint8_t> sequence_elements(ScalarKind kind, PyObject* value, bool reserve_by_length);

// A str is a sequence of its characters, never the elements a vector field means.
inline void refuse_str_for_vector(PyObject* value) {
  if (PyUnicode_Check(value)) fail(PyExc_TypeError, "Can't extract `str` to `Vec`");
}

}  // namespace quorvel::flatbuffer
