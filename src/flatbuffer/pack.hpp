// Packing model graphs into FlatBuffers.
#pragma once

#include "flatbuffer/builder.hpp"
#include "flatbuffer/native_buffer.hpp"
#include "flatbuffer/keyed.hpp"
#include "plan/native_plan.hpp"
#include "plan/scalar.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel::flatbuffer {

using flatbuffers::uoffset_t;

// The FlatBuffers builder with the finishing step this module needs: a file identifier is any
// four bytes (a NUL included), written as given.
class BufferAllocator : public flatbuffers::Allocator {
 public:
  uint8_t* allocate(size_t size) override { return allocate_buffer(size); }
  void deallocate(uint8_t* p, size_t size) override { free_buffer(p, size); }
};

class Builder : public flatbuffers::FlatBufferBuilder {
 public:
  // The builder rounds its blocks up to multiples of 8, the alignment of its widest scalar.
  explicit Builder(size_t capacity) : flatbuffers::FlatBufferBuilder(capacity, &allocator_, false) {}
  void finish_root(uoffset_t root, const uint8_t* identifier, bool size_prefix);
  // Reserves n bytes in front of the written data and returns where they start; refuses to grow
  // past the format's 2 GiB before allocating.
  uint8_t* reserve_bytes(size_t n);
  // Refuses, before anything is written, an object of n bytes that would take the buffer past
  // 2 GiB (the builder's own check runs only after it has grown, with 32-bit sizes).
  void require_room(size_t n) const;
  // Ends the open table of `object` after checking what the builder would otherwise only assert:
  // no vtable slot written twice, and a table body that 16-bit offsets can address.
  uoffset_t end_table(uoffset_t start, const ObjectWire& object);
  flatbuffers::Offset<flatbuffers::String> create_string(const char* data, size_t n) {
    require_room(n);
    return CreateString(data, n);
  }
  flatbuffers::Offset<flatbuffers::Vector<uint8_t>> create_bytes(const uint8_t* data, size_t n) {
    require_room(n);
    return CreateVector(data, n);
  }

 private:
  // Stateless, so one instance serves every builder on every thread.
  static inline BufferAllocator allocator_{};
};

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

struct PackContext {
  NativePlan& plan;
  Builder& builder;
  CountFixups& fixups;
};

// pack(root, model, ...): the finished FlatBuffer's bytes.
std::unique_ptr<NativeBufferData> pack(NativePlan& plan, std::string_view root, PyObject* model,
                                       std::optional<std::string_view> identifier, bool size_prefixed,
                                       int64_t initial_size);

FieldStates load_fields(NativePlan& plan, const ObjectWire& object, PyObject* model);
py::Ref sorted_table_map_values(NativePlan& plan, const FieldWire& field, PyObject* value);
uint64_t estimate_initial_capacity(NativePlan& plan, const ObjectWire& object, FieldStates& states,
                                   bool has_identifier, bool size_prefixed);
uoffset_t build_table(PackContext& ctx, const ObjectWire& object, PyObject* model, FieldStates* states);
const ArmWire& union_arm(NativePlan& plan, const FieldWire& field, PyObject* value);
std::pair<std::string, py::Ref> encode_dynamic_value(NativePlan& plan, const FieldWire& field, PyObject* value);

// Structs.
void encode_struct_into(NativePlan& plan, const ObjectWire& object, PyObject* value, std::span<uint8_t> region);
void align_builder(Builder& builder, uint64_t alignment);

// Vectors.
uoffset_t build_byte_vector(Builder& builder, PyObject* value);
uoffset_t build_scalar_vector(Builder& builder, ScalarKind kind, PyObject* value, CountFixups& fixups);
// A vector of elements already laid out little-endian at `width` bytes each.
uoffset_t build_element_vector(Builder& builder, size_t width, std::span<const uint8_t> elements, CountFixups& fixups);

// Walks a list one item at a time under its critical section, or any other iterable by iteration.
template <class Op>
void for_each_sequence(PyObject* sequence, Op&& op) {
  if (PyList_Check(sequence)) {
    const Py_ssize_t start_length = PyList_GET_SIZE(sequence);
    for (Py_ssize_t i = 0;; ++i) {
      PyObject* item = nullptr;
      Py_BEGIN_CRITICAL_SECTION(sequence);
      if (i < start_length && i < PyList_GET_SIZE(sequence)) item = Py_NewRef(PyList_GET_ITEM(sequence, i));
      Py_END_CRITICAL_SECTION();
      if (item == nullptr) return;
      op(py::Ref::steal(item));
    }
  }
  py::Ref iterator = check_new(PyObject_GetIter(sequence));
  while (true) {
    PyObject* item = nullptr;
    if (PyIter_NextItem(iterator.get(), &item) < 0) throw_error_set();
    if (item == nullptr) return;
    op(py::Ref::steal(item));
  }
}

// The length of a sequence value: a list's own length, else len().
size_t sequence_length(PyObject* value);
// How much to reserve up front for n items: a len() may claim anything, so growth covers the rest.
inline size_t reservation(size_t n) { return n < (size_t{1} << 20) ? n : size_t{1} << 20; }

// Converts one element at a kind's exact width into `out` (little-endian).
void write_scalar_element(ScalarKind kind, PyObject* element, uint8_t* out);

// Guards native recursion over Python object graphs.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw_error_set();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace quorvel::flatbuffer
