// unpack and unpack_view: the entries, the header, and the Materializer that turns tables and
// structs into model objects on an explicit work stack (no native recursion, however deep the
// graph), reading every field through the bounds-checked primitives.
#include "flatbuffer/flatbuffer.hpp"

#include "flatbuffer/formats.hpp"
#include "flatbuffer/keyed.hpp"
#include "flatbuffer/plan_facts.hpp"
#include "flatbuffer/read.hpp"
#include "plan/scalar_bytes.hpp"
#include "py/numpy.hpp"
#include "py/text.hpp"
#include "py/values.hpp"

#include <algorithm>
#include <type_traits>
#include <variant>
#include <vector>

namespace quorvel::flatbuffer {

namespace {

constexpr uint32_t max_decoded_objects = 1'000'000;
// Offsets may point many times at one string, vector or table, and each reference decodes to a
// copy; the bytes produced are capped at this multiple of the input (plus a little) so that a
// small buffer cannot demand unbounded memory.
constexpr uint64_t max_expansion = 64;
constexpr uint64_t expansion_allowance = 4096;
// Shared offsets multiply objects too, so those that take bytes of their own are also capped at the
// input's length plus this allowance. Without sharing a buffer always holds fewer of them than it
// has bytes: a table takes its 4-byte soffset and the 4-byte offset that reaches it, a struct in a
// vector or a table at least one byte. Members and array elements of a struct lie in its bytes (how
// many is fixed by the plan) and a struct of size 0 takes none, so those count only towards the
// fixed cap. The allowance covers tiny inputs and the little sharing a writer may do on purpose.
constexpr uint64_t sized_object_allowance = 4096;

struct ObjectFrame {
  uint32_t object;
  uint32_t type;
  uint32_t next_field;
  size_t base;
  bool is_table;
  TableRecord table;  // tables
  uint64_t position;  // structs
};

struct ListFrame {
  bool tables;
  uint64_t stride;
  uint32_t object;
  uint32_t type;
  uint64_t first;
  uint64_t count;
  uint64_t next;
  size_t base;
  bool in_struct;  // the elements of a fixed array, inside their parent struct's bytes
};

struct UnionVectorFrame {
  ScalarKind kind;
  uint32_t parent_object;
  uint32_t parent_type;
  uint32_t field;
  uint64_t first_type;
  uint64_t first_value;
  uint32_t count;
  uint32_t width;
  uint32_t next;
  size_t base;
};

using DecodeFrame = std::variant<ObjectFrame, ListFrame, UnionVectorFrame>;

// The object and byte limits of one unpack or unpack_view call.
class DecodeBudget {
 public:
  explicit DecodeBudget(uint64_t input_length)
      : sized_object_limit_(std::min<uint64_t>(max_decoded_objects, input_length + sized_object_allowance)),
        byte_budget_(input_length * max_expansion + expansion_allowance), bytes_left_(byte_budget_) {}

  // `own_bytes`: the object takes bytes of its own in the buffer (see sized_object_allowance).
  void count_object(const NativePlan& plan, bool own_bytes) {
    if (decoded_objects_ == max_decoded_objects) objects_exceeded(plan, max_decoded_objects);
    if (own_bytes) {
      if (sized_objects_ == sized_object_limit_) objects_exceeded(plan, sized_object_limit_);
      ++sized_objects_;
    }
    ++decoded_objects_;
  }
  // Counts bytes about to be copied out of the buffer.
  void charge(const NativePlan& plan, uint64_t bytes) {
    if (bytes > bytes_left_) {
      plan.invalid_error(std::format("FlatBuffer decodes to more than {} bytes of data", byte_budget_));
    }
    bytes_left_ -= bytes;
  }

 private:
  [[noreturn]] static void objects_exceeded(const NativePlan& plan, uint64_t limit) {
    plan.invalid_error(std::format("FlatBuffer contains more than {} decoded objects", limit));
  }

  uint32_t decoded_objects_ = 0;
  uint64_t sized_objects_ = 0;
  const uint64_t sized_object_limit_;
  const uint64_t byte_budget_;
  uint64_t bytes_left_;
};

// Nested FlatBuffers and dynamic payloads are decoded by the package's decoder, which calls
// unpack again. While a call hands a payload to that decoder it lends its budget here, and the
// next unpack or unpack_view on this thread draws on it: a payload that many fields share cannot
// start from fresh limits each time.
thread_local DecodeBudget* lent_budget = nullptr;

// The budget of one entry call: the lent one, or its own sized by its input. Calls that this one
// makes (model constructors, say) start afresh unless it lends its budget in turn.
class CallBudget {
 public:
  explicit CallBudget(uint64_t input_length)
      : own_(input_length), budget_(lent_budget != nullptr ? *lent_budget : own_), outer_(lent_budget) {
    lent_budget = nullptr;
  }
  CallBudget(const CallBudget&) = delete;
  CallBudget& operator=(const CallBudget&) = delete;
  ~CallBudget() { lent_budget = outer_; }

  DecodeBudget& get() noexcept { return budget_; }

 private:
  DecodeBudget own_;
  DecodeBudget& budget_;
  DecodeBudget* outer_;
};

class LendBudget {
 public:
  explicit LendBudget(DecodeBudget& budget) noexcept : outer_(lent_budget) { lent_budget = &budget; }
  LendBudget(const LendBudget&) = delete;
  LendBudget& operator=(const LendBudget&) = delete;
  ~LendBudget() { lent_budget = outer_; }

 private:
  DecodeBudget* outer_;
};

// Finished values, owned: released when popped or when the stack is dropped.
class ValueStack {
 public:
  ValueStack() = default;
  ValueStack(const ValueStack&) = delete;
  ValueStack& operator=(const ValueStack&) = delete;
  ~ValueStack() { truncate(0); }

  void push(py::Ref value) {
    values_.emplace_back(nullptr);  // grows first, so a failed growth still releases `value`
    values_.back() = value.release();
  }
  size_t size() const noexcept { return values_.size(); }
  PyObject* const* from(size_t base) const noexcept { return values_.data() + base; }
  void truncate(size_t base) noexcept {
    while (values_.size() > base) {
      Py_XDECREF(values_.back());
      values_.pop_back();
    }
  }
  // Hands the references above `base` to the caller (e.g. into a list) without releasing them.
  void forget(size_t base) noexcept { values_.resize(base); }
  py::Ref take_single() {
    py::Ref v = py::Ref::steal(values_.back());
    values_.pop_back();
    return v;
  }

 private:
  std::vector<PyObject*> values_;
};

uint64_t checked_add(const ByteRange& range, uint64_t a, uint64_t b, const char* message) {
  uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) range.errors().bounds_error(message);
  return r;
}

class Materializer {
 public:
  Materializer(const NativePlan& plan, ByteRange range, DecodeBudget& budget, const NativeModelTypes* model_types,
               PyObject* overrides)
      : plan_(plan), facts_(PlanFacts::of(plan)), walk_(plan), range_(range), budget_(budget), model_types_(model_types),
        overrides_(overrides), default_types_(plan.objects.size(), -1) {}

  uint32_t intern(py::Ref cls) {
    auto it = type_lookup_.find(cls.get());
    if (it != type_lookup_.end()) return it->second;
    const auto index = static_cast<uint32_t>(types_.size());
    type_lookup_.emplace(cls.get(), index);
    types_.push_back(std::move(cls));
    return index;
  }

  void push_table(uint32_t object, uint32_t type, uint64_t position);
  void push_struct(uint32_t object, uint32_t type, uint64_t position, bool in_struct = false);
  py::Ref run();

 private:
  // The frame is written in place, field by field: a record passed by value and copied in whole
  // right after its narrow stores stalls on store forwarding.
  void push_object(uint32_t object, uint32_t type, bool is_table, uint64_t position, bool own_bytes,
                   uint64_t vtable = 0, uint16_t vtable_size = 0, uint16_t table_size = 0) {
    budget_.count_object(plan_, own_bytes);
    auto& frame = std::get<ObjectFrame>(frames_.emplace_back(std::in_place_type<ObjectFrame>));
    frame.object = object;
    frame.type = type;
    frame.next_field = 0;
    frame.base = values_.size();
    frame.is_table = is_table;
    frame.table.position = is_table ? position : 0;
    frame.table.vtable = vtable;
    frame.table.vtable_size = vtable_size;
    frame.table.table_size = table_size;
    frame.position = position;
  }
  uint32_t child_model_type(uint32_t parent_type, const FieldWire& field, uint32_t child);
  uint32_t target_index(const FieldWire& field, const char* label) const {
    if (!field.target_index) fail(PyExc_ValueError, "native {} has no target", label);
    return *field.target_index;
  }
  // The first arm with the discriminator's tag.
  const ArmWire* union_target(const FieldWire& field, uint64_t d) const {
    for (const ArmWire& arm : field.arms) {
      if (arm.tag == d) return &arm;
    }
    plan_.invalid_error(std::format("unknown union discriminator {}", d));
  }
  void missing_field(const FieldWire& field) {
    if (field.required) plan_.invalid_error(std::format("required field {} is absent", text::quoted(field.name)));
    values_.push(py::Ref::borrow(Py_None));
  }

  void advance_object(ObjectFrame& top);
  py::Ref table_scalar(const TableRecord& table, const UnpackField& field);
  py::Ref struct_scalar(uint64_t struct_position, const UnpackField& field);
  // The scalar at an already checked position as a Python object, converted from its C type
  // (without a ScalarValue in between: this is the hot loop of a decode).
  py::Ref scalar_object(uint64_t position, ScalarKind kind) {
    return with_stored_scalar(range_.data() + position, kind, [](auto v) { return py::object_of(v); });
  }
  void step_object(const ObjectFrame& frame, uint32_t field_index);
  void decode_table_field(const ObjectFrame& frame, const FieldWire& field);
  void decode_struct_field(const ObjectFrame& frame, const FieldWire& field);
  void decode_union(const ObjectFrame& frame, const FieldWire& field);
  void decode_union_vector(const ObjectFrame& frame, const FieldWire& field, uint32_t field_index);
  void decode_dynamic(const FieldWire& field, const TableRecord& table);
  py::Ref decode_scalar_sequence(const FieldWire& field, uint64_t position, uint64_t count, ScalarKind kind);
  py::Ref decode_model_value(py::Ref payload, PyObject* type);
  void construct(uint32_t object, uint32_t type, size_t base);
  void finish_list(size_t base);
  void finish_keyed(uint32_t object, size_t base);
  void charge(uint64_t bytes) { budget_.charge(plan_, bytes); }
  py::Ref string_at(uint64_t position) {
    uint64_t length = 0;
    py::Ref text = range_.decode_string_at(position, &length);
    charge(length + 1);
    return text;
  }
  py::Ref bytes_at(uint64_t position, uint64_t length) {
    charge(length);
    return check_new(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(range_.data() + position),
                                               static_cast<Py_ssize_t>(length)));
  }

  const NativePlan& plan_;
  const PlanFacts& facts_;
  ModelWalk walk_;
  ByteRange range_;
  DecodeBudget& budget_;
  const NativeModelTypes* model_types_;
  PyObject* overrides_;
  std::vector<DecodeFrame> frames_;
  ValueStack values_;
  std::vector<py::Ref> types_;
  std::unordered_map<PyObject*, uint32_t> type_lookup_;
  std::vector<int64_t> default_types_;  // object index -> type index of its bound class, once looked up
};

void Materializer::push_table(uint32_t object, uint32_t type, uint64_t position) {
  const ObjectWire& wire = plan_.objects[object];
  wire.require_table();
  range_.require_span("int32", position, 4);
  const int32_t soffset = range_.load<int32_t>(position);
  uint64_t vtable;
  if (soffset >= 0) {
    if (static_cast<uint64_t>(soffset) > position) {
      plan_.bounds_error(std::format("vtable header lies outside a {}-byte buffer", range_.length()));
    }
    vtable = position - static_cast<uint64_t>(soffset);
  } else {
    vtable = position + static_cast<uint64_t>(-static_cast<int64_t>(soffset));
  }
  range_.require_span("vtable header", vtable, 4);
  const uint16_t vtable_size = range_.load<uint16_t>(vtable);
  const uint16_t table_size = range_.load<uint16_t>(vtable + 2);
  if (table_size < 4 || vtable_size < 4 || vtable_size % 2 != 0) {
    plan_.invalid_error("invalid FlatBuffers table metadata");
  }
  range_.require_span("vtable", vtable, vtable_size);
  range_.require_span("table", position, table_size);
  push_object(object, type, true, position, true, vtable, vtable_size, table_size);
}

void Materializer::push_struct(uint32_t object, uint32_t type, uint64_t position, bool in_struct) {
  const ObjectWire& wire = plan_.objects[object];
  wire.require_struct();
  range_.require_span("struct data", position, wire.byte_size);
  push_object(object, type, false, position, !in_struct && wire.byte_size > 0);
}


uint32_t Materializer::child_model_type(uint32_t parent_type, const FieldWire& field, uint32_t child) {
  if (model_types_ != nullptr && !model_types_->subclasses.empty()) {
    auto it = model_types_->subclasses.find(SubclassKey{types_[parent_type].get(), field.slot, child});
    if (it != model_types_->subclasses.end()) return intern(it->second.clone());
  }
  int64_t& cached = default_types_[child];
  if (cached < 0) cached = intern(py::Ref::borrow(plan_.bound_class(child)));
  return static_cast<uint32_t>(cached);
}

py::Ref Materializer::run() {
  while (!frames_.empty()) {
    DecodeFrame& top = frames_.back();
    if (auto* object = std::get_if<ObjectFrame>(&top)) {
      advance_object(*object);
    } else if (auto* list = std::get_if<ListFrame>(&top)) {
      // Read member by member, not copied whole: the frame was just written, and a wide copy of
      // narrow stores stalls.
      const uint32_t object = list->object;
      if (list->next < list->count) {
        const uint64_t k = list->next++;
        if (list->tables) {
          const uint64_t t = range_.offset_target(list->first + 4 * k, "table vector offset");
          push_table(object, list->type, t);
        } else {
          uint64_t step, position;
          if (__builtin_mul_overflow(k, list->stride, &step) || __builtin_add_overflow(list->first, step, &position)) {
            plan_.bounds_error("struct field offset overflows");
          }
          push_struct(object, list->type, position, list->in_struct);
        }
      } else {
        const size_t base = list->base;
        frames_.pop_back();
        if (plan_.objects[object].key_field) {
          finish_keyed(object, base);
        } else {
          finish_list(base);
        }
      }
    } else {
      auto& uv = std::get<UnionVectorFrame>(top);
      const UnionVectorFrame frame = uv;
      if (frame.next < frame.count) {
        ++uv.next;
        const uint64_t k = frame.next;
        const ScalarValue discriminator = range_.read_scalar_value(frame.first_type + k * frame.width, frame.kind);
        const uint64_t d = discriminator.as_u64();
        const uint64_t slot = frame.first_value + 4 * k;
        const FieldWire& field = plan_.objects[frame.parent_object].fields[frame.field];
        if (d == 0) {
          if (range_.read_u32(slot) != 0) plan_.invalid_error("union vector NONE has a payload");
          values_.push(py::Ref::borrow(Py_None));
        } else {
          const ArmWire* arm = union_target(field, d);
          const uint64_t t = range_.offset_target(slot, "union vector offset");
          const uint32_t type = child_model_type(frame.parent_type, field, arm->target_index);
          push_table(arm->target_index, type, t);
        }
      } else {
        frames_.pop_back();
        finish_list(frame.base);
      }
    }
  }
  if (values_.size() != 1) fail(PyExc_RuntimeError, "native materializer did not produce one root model");
  return values_.take_single();
}

// Whether decoding a field of this kind may push a frame of its own (a child object or a list of
// them) rather than a finished value.
bool opens_frame(FieldKind kind) noexcept {
  switch (kind) {
    case FieldKind::table:
    case FieldKind::struct_:
    case FieldKind::vector_table:
    case FieldKind::vector_struct:
    case FieldKind::union_:
    case FieldKind::union_vector:
    case FieldKind::array_struct: return true;
    case FieldKind::scalar:
    case FieldKind::string:
    case FieldKind::vector_byte:
    case FieldKind::vector_scalar:
    case FieldKind::vector_string:
    case FieldKind::nested:
    case FieldKind::dynamic:
    case FieldKind::array_scalar:
    case FieldKind::uuid:
    case FieldKind::decimal:
    case FieldKind::fallback: return false;
  }
  return true;
}

// Decodes the fields of the object on top of the stack in one pass up to the first that opens a
// frame of its own, or builds the object once none is left. Plain scalars are decoded from the
// compact facts alone; every other field takes the general path.
void Materializer::advance_object(ObjectFrame& top) {
  const std::span<const UnpackField> fields = facts_.unpack(top.object);
  const auto count = static_cast<uint32_t>(fields.size());
  for (uint32_t i = top.next_field; i < count; ++i) {
    const UnpackField& field = fields[i];
    if (field.plain_scalar) {
      values_.push(top.is_table ? table_scalar(top.table, field) : struct_scalar(top.position, field));
    } else if (opens_frame(field.kind)) {
      const ObjectFrame frame = top;  // a copy: pushing a child may move the stack
      top.next_field = i + 1;
      step_object(frame, i);
      return;
    } else {
      step_object(top, i);  // pushes a value only
    }
  }
  const uint32_t index = top.object;
  const uint32_t type = top.type;
  const size_t base = top.base;
  frames_.pop_back();
  construct(index, type, base);
}

// A plain scalar of a table: its value, None when absent and optional, else its default.
py::Ref Materializer::table_scalar(const TableRecord& table, const UnpackField& field) {
  // push_table checked the whole vtable, and an even slot below its (even) size lies inside it.
  if (field.offset < table.vtable_size) {
    const uint16_t v = range_.load<uint16_t>(table.vtable + field.offset);
    if (v != 0) {
      if (v < 4 || table.table_size < field.width || table.table_size - field.width < v) {
        range_.errors().invalid_error("field lies outside its FlatBuffers table");
      }
      // Inside the table's bytes, which push_table checked too.
      return scalar_object(table.position + v, field.scalar);
    }
  }
  if (field.optional) return py::Ref::borrow(Py_None);
  return field.default_object.clone();
}

py::Ref Materializer::struct_scalar(uint64_t struct_position, const UnpackField& field) {
  const uint64_t position = checked_add(range_, struct_position, field.offset, "struct field offset overflows");
  range_.require_span("scalar data", position, field.width);
  return scalar_object(position, field.scalar);
}

void Materializer::step_object(const ObjectFrame& frame, uint32_t field_index) {
  const ObjectWire& object = plan_.objects[frame.object];
  const FieldWire& field = object.fields[field_index];
  if (frame.is_table) {
    if (field.kind == FieldKind::union_vector) {
      decode_union_vector(frame, field, field_index);
    } else {
      decode_table_field(frame, field);
    }
  } else {
    decode_struct_field(frame, field);
  }
}

void Materializer::decode_table_field(const ObjectFrame& frame, const FieldWire& field) {
  const TableRecord& table = frame.table;
  switch (field.kind) {
    case FieldKind::scalar: {
      const ScalarKind kind = field.scalar_kind();
      auto position = range_.field_position(table, field.offset, scalar_width(kind));
      if (position) {
        values_.push(plan_.apply_enum(field, range_.read_scalar_value(*position, kind).into_py()));
      } else if (field.optional) {
        values_.push(py::Ref::borrow(Py_None));
      } else {
        values_.push(plan_.apply_enum(field, field.scalar_default().into_py()));
      }
      return;
    }
    case FieldKind::string: {
      auto position = range_.field_position(table, field.offset, 4);
      if (!position) return missing_field(field);
      values_.push(string_at(*position));
      return;
    }
    case FieldKind::table: {
      auto position = range_.field_position(table, field.offset, 4);
      if (!position) return missing_field(field);
      const uint32_t target = target_index(field, "table field");
      const uint64_t t = range_.offset_target(*position, "table field offset");
      push_table(target, child_model_type(frame.type, field, target), t);
      return;
    }
    case FieldKind::struct_: {
      const uint32_t target = target_index(field, "struct field");
      auto position = range_.field_position(table, field.offset, plan_.objects[target].byte_size);
      if (!position) return missing_field(field);
      push_struct(target, child_model_type(frame.type, field, target), *position);
      return;
    }
    case FieldKind::vector_byte: {
      auto info = range_.vector_info(table, field.offset, 1);
      if (!info) return missing_field(field);
      values_.push(bytes_at(info->first, info->second));
      return;
    }
    case FieldKind::vector_scalar: {
      auto info = range_.vector_info(table, field.offset, scalar_width(field.scalar_kind()));
      if (!info) return missing_field(field);
      values_.push(decode_scalar_sequence(field, info->first, info->second, field.scalar_kind()));
      return;
    }
    case FieldKind::vector_string: {
      auto info = range_.vector_info(table, field.offset, 4);
      if (!info) return missing_field(field);
      py::Ref list = check_new(PyList_New(info->second));
      for (uint32_t k = 0; k < info->second; ++k) {
        PyList_SET_ITEM(list.get(), k, string_at(info->first + 4 * uint64_t{k}).release());
      }
      values_.push(std::move(list));
      return;
    }
    case FieldKind::vector_table:
    case FieldKind::vector_struct: {
      const uint32_t target = target_index(field, "object vector");
      const bool tables = field.kind == FieldKind::vector_table;
      const uint64_t element_size = tables ? 4 : plan_.objects[target].byte_size;
      auto info = range_.vector_info(table, field.offset, element_size);
      if (!info) return missing_field(field);
      const uint32_t type = child_model_type(frame.type, field, target);
      frames_.emplace_back(
          ListFrame{tables, element_size, target, type, info->first, info->second, 0, values_.size(), false});
      return;
    }
    case FieldKind::nested: {
      auto info = range_.vector_info(table, field.offset, 1);
      if (!info) return missing_field(field);
      const uint32_t target = target_index(field, "nested field");
      const uint32_t type = child_model_type(frame.type, field, target);
      values_.push(decode_model_value(bytes_at(info->first, info->second), types_[type].get()));
      return;
    }
    case FieldKind::union_: return decode_union(frame, field);
    case FieldKind::dynamic: return decode_dynamic(field, table);
    case FieldKind::array_scalar:
    case FieldKind::array_struct:
    case FieldKind::uuid:
    case FieldKind::decimal:
    case FieldKind::fallback: refuse_in_table(field, /*decoding=*/true);
    case FieldKind::union_vector: break;  // handled by the caller, which knows the field's index
  }
}

void Materializer::decode_union(const ObjectFrame& frame, const FieldWire& field) {
  if (!field.type_slot) fail(PyExc_ValueError, "union field has no type slot");
  if (!field.type_scalar) fail(PyExc_ValueError, "union field has no type scalar");
  const ScalarKind kind = *field.type_scalar;
  uint64_t d = 0;
  if (auto type_position = range_.field_position(frame.table, 4 + 2 * uint64_t{*field.type_slot}, scalar_width(kind))) {
    d = range_.read_scalar_value(*type_position, kind).as_u64();
  }
  auto value_position = range_.field_position(frame.table, field.offset, 4);
  if (d == 0) {
    if (value_position) plan_.invalid_error("union NONE discriminator has a payload");
    return missing_field(field);
  }
  if (!value_position) plan_.invalid_error(std::format("union discriminator {} has no payload", d));
  const ArmWire* arm = union_target(field, d);
  const uint64_t t = range_.offset_target(*value_position, "union field offset");
  push_table(arm->target_index, child_model_type(frame.type, field, arm->target_index), t);
}

void Materializer::decode_union_vector(const ObjectFrame& frame, const FieldWire& field, uint32_t field_index) {
  if (!field.type_slot) fail(PyExc_ValueError, "union vector has no type slot");
  if (!field.type_scalar) fail(PyExc_ValueError, "union vector has no type scalar");
  const ScalarKind kind = *field.type_scalar;
  const auto width = static_cast<uint32_t>(scalar_width(kind));
  auto types = range_.vector_info(frame.table, 4 + 2 * uint64_t{*field.type_slot}, width);
  auto values = range_.vector_info(frame.table, field.offset, 4);
  if (types.has_value() != values.has_value()) {
    plan_.invalid_error(std::format("union vector {} type/value presence differs", text::quoted(field.name)));
  }
  if (!types) return missing_field(field);
  if (types->second != values->second) {
    plan_.invalid_error(std::format("union vector {} type/value lengths differ", text::quoted(field.name)));
  }
  frames_.emplace_back(UnionVectorFrame{kind, frame.object, frame.type, field_index, types->first, values->first,
                                        types->second, width, 0, values_.size()});
}

void Materializer::decode_dynamic(const FieldWire& field, const TableRecord& table) {
  if (!field.type_slot) fail(PyExc_ValueError, "dynamic field has no type slot");
  auto tag_position = range_.field_position(table, 4 + 2 * uint64_t{*field.type_slot}, 4);
  auto data = range_.vector_info(table, field.offset, 1);
  if (!tag_position) {
    if (data) plan_.invalid_error(std::format("dynamic field {} has data without a type tag", text::quoted(field.name)));
    return missing_field(field);
  }
  if (!data) plan_.invalid_error(std::format("dynamic field {} type tag has no data", text::quoted(field.name)));
  py::Ref tag = string_at(*tag_position);
  if (!field.allowed_prefix) fail(PyExc_ValueError, "dynamic field has no allowed prefix");
  const std::string_view tag_text = utf8(tag.get());
  const std::string& prefix = *field.allowed_prefix;
  if (tag_text.size() <= prefix.size() || !tag_text.starts_with(prefix)) {
    fail(PyExc_ValueError, "dynamic FlatBuffer tag {} is outside {}", text::quoted(tag_text), text::quoted(prefix + "*"));
  }
  if (!field.dynamic_type) fail(PyExc_ValueError, "dynamic field has no wrapper type");
  py::Ref wrapper = plan_.bound_type(*field.dynamic_type);
  py::Ref payload = bytes_at(data->first, data->second);
  py::Ref entry = check_new(PyObject_CallMethod(plan_.dynamic_types.get(), "lookup_tag", "O", tag.get()));
  if (entry.get() == Py_None) {
    values_.push(check_new(PyObject_CallMethod(wrapper.get(), "opaque", "OO", tag.get(), payload.get())));
    return;
  }
  py::Ref model_type = check_new(PyObject_GetAttrString(entry.get(), "model_type"));
  if (overrides_ != nullptr) {
    model_type = check_new(PyObject_CallMethod(overrides_, "get", "OO", model_type.get(), model_type.get()));
  }
  py::Ref decoded = decode_model_value(std::move(payload), model_type.get());
  values_.push(check_new(PyObject_CallOneArg(wrapper.get(), decoded.get())));
}

void Materializer::decode_struct_field(const ObjectFrame& frame, const FieldWire& field) {
  const uint64_t p = frame.position;
  switch (field_form(field.kind)) {
    case FieldForm::scalar: {
      const uint64_t position = checked_add(range_, p, field.offset, "struct field offset overflows");
      values_.push(plan_.apply_enum(field, range_.read_scalar_value(position, field.scalar_kind()).into_py()));
      return;
    }
    case FieldForm::struct_: {
      const uint32_t target = target_index(field, "struct field");
      const uint64_t position = checked_add(range_, p, field.offset, "struct field offset overflows");
      push_struct(target, child_model_type(frame.type, field, target), position, true);
      return;
    }
    case FieldForm::scalar_array: {
      const uint64_t position = checked_add(range_, p, field.offset, "struct field offset overflows");
      values_.push(decode_scalar_sequence(field, position, field.fixed_length, field.scalar_kind()));
      return;
    }
    case FieldForm::struct_array: {
      const uint32_t target = target_index(field, "struct array");
      const uint32_t type = child_model_type(frame.type, field, target);
      const uint64_t position = checked_add(range_, p, field.offset, "struct field offset overflows");
      frames_.emplace_back(
          ListFrame{false, field.element_size, target, type, position, field.fixed_length, 0, values_.size(), true});
      return;
    }
    case FieldForm::offset:
    case FieldForm::serde_only: refuse_in_struct();
  }
}

py::Ref Materializer::decode_scalar_sequence(const FieldWire& field, uint64_t position, uint64_t count,
                                             ScalarKind kind) {
  const uint64_t width = scalar_width(kind);
  if (field.enum_type) {
    py::Ref list = check_new(PyList_New(0));
    charge(count < UINT64_MAX / sizeof(PyObject*) ? count * sizeof(PyObject*) : UINT64_MAX);
    for (uint64_t k = 0; k < count; ++k) {
      uint64_t step, at;
      if (__builtin_mul_overflow(k, width, &step) || __builtin_add_overflow(position, step, &at)) {
        plan_.bounds_error("numeric vector byte length overflows");
      }
      py::Ref member = plan_.apply_enum(field, range_.read_scalar_value(at, kind).into_py());
      check_status(PyList_Append(list.get(), member.get()));
    }
    return list;
  }
  uint64_t bytes;
  if (__builtin_mul_overflow(count, width, &bytes)) plan_.bounds_error("numeric vector byte length overflows");
  range_.require_span("numeric vector data", position, bytes);
  charge(bytes);
  return numpy::array_from_bytes(numpy_dtype(kind), scalar_width(kind), static_cast<size_t>(count), range_.data() + position);
}

py::Ref Materializer::decode_model_value(py::Ref payload, PyObject* type) {
  if (!plan_.model_decoder) fail(PyExc_RuntimeError, "native model decoder is not loaded");
  py::Ref kwargs = check_new(PyDict_New());
  check_status(PyDict_SetItemString(kwargs.get(), "type", type));
  if (overrides_ != nullptr) check_status(PyDict_SetItemString(kwargs.get(), "dynamic_overrides", overrides_));
  py::Ref args = check_new(PyTuple_Pack(1, payload.get()));
  LendBudget lend(budget_);
  return check_new(PyObject_Call(plan_.model_decoder.get(), args.get(), kwargs.get()));
}

void Materializer::construct(uint32_t index, uint32_t type, size_t base) {
  const ObjectWire& object = plan_.objects[index];
  const size_t count = object.fields.size();
  if (values_.size() - base != count) fail(PyExc_RuntimeError, "native materializer produced the wrong field count");
  PyObject* cls = types_[type].get();
  py::Ref result;
  if (object.kwnames) {
    result = walk_.construct(object, cls, std::span(values_.from(base), count), object.kwnames.get());
  } else {
    // Field names repeat: a dict keeps the last value of each name.
    py::Ref kwargs = check_new(PyDict_New());
    for (size_t i = 0; i < count; ++i) {
      check_status(PyDict_SetItem(kwargs.get(), object.fields[i].attr_name.get(), values_.from(base)[i]));
    }
    py::Ref args = check_new(PyTuple_New(0));
    result = check_new(PyObject_Call(cls, args.get(), kwargs.get()));
  }
  values_.truncate(base);
  values_.push(std::move(result));
}

void Materializer::finish_list(size_t base) {
  const size_t count = values_.size() - base;
  py::Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(count)));
  for (size_t i = 0; i < count; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), values_.from(base)[i]);
  values_.forget(base);
  values_.push(std::move(list));
}

void Materializer::finish_keyed(uint32_t object, size_t base) {
  const ObjectWire& element = plan_.objects[object];
  const FieldWire& key_field = element.fields[*element.key_field];
  py::Ref dict = check_new(PyDict_New());
  std::optional<TableKey> previous;
  for (size_t i = base; i < values_.size(); ++i) {
    PyObject* value = values_.from(0)[i];
    py::Ref attribute = check_new(PyObject_GetAttr(value, key_field.attr_name.get()));
    std::optional<TableKey> key;
    attempt([&] { key = TableKey::extract(key_field.kind, key_field.scalar, attribute.get()); });
    if (!key) plan_.invalid_error(std::format("keyed table {} has an invalid key", element.name));
    if (previous && TableKey::compare(*previous, *key) >= 0) {
      plan_.invalid_error(std::format("keyed table vector for {} is not strictly sorted", element.name));
    }
    check_status(PyDict_SetItem(dict.get(), attribute.get(), value));
    previous = std::move(key);
  }
  values_.truncate(base);
  values_.push(std::move(dict));
}

py::Ref root_class(const NativePlan& plan, uint32_t index, const NativeModelTypes* model_types,
                   const char* mismatch) {
  if (model_types == nullptr) return py::Ref::borrow(plan.bound_class(index));
  if (model_types->token != plan.token || model_types->root_index != index) fail(PyExc_TypeError, "{}", mismatch);
  return model_types->root_type.clone();
}

}  // namespace

py::Ref unpack(const NativePlan& plan, std::string_view root, PyObject* buffer, std::optional<std::string_view> identifier,
               int64_t offset, bool size_prefixed, bool check_identifier, const NativeModelTypes* model_types,
               PyObject* dynamic_overrides) {
  if (offset < 0) fail(PyExc_ValueError, "offset must be greater than or equal to zero");
  require_file_identifier(identifier);
  auto [index, object] = plan.object(root);
  py::Ref cls = root_class(plan, index, model_types, "native model types belong to a different root");
  ByteInput input(buffer);

  std::span<const uint8_t> bytes = input.bytes();
  const ByteRange whole(BufferErrors(plan), bytes);
  uint64_t header = static_cast<uint64_t>(offset);
  if (size_prefixed) {
    const uint32_t prefix = whole.read_u32(header);
    const uint64_t start = checked_add(whole, header, 4, "size-prefixed payload offset overflows");
    whole.require_span("size-prefixed buffer", start, prefix);
    bytes = bytes.subspan(start, prefix);
    header = 0;
  }
  const ByteRange range(BufferErrors(plan), bytes);
  range.require_span("root offset", header, 4);
  if (check_identifier && identifier) {
    range.require_span("file identifier", header + 4, 4);
    std::span<const uint8_t> found(range.data() + header + 4, 4);
    std::span<const uint8_t> expected(reinterpret_cast<const uint8_t*>(identifier->data()), 4);
    if (!std::equal(found.begin(), found.end(), expected.begin())) {
      plan.invalid_error(std::format("expected file identifier {}, got {}", text::byte_list(expected), text::byte_list(found)));
    }
  }
  const uint32_t root_offset = range.load<uint32_t>(header);
  if (root_offset == 0) plan.invalid_error("root table offset is null");

  CallBudget budget(range.length());
  Materializer materializer(plan, range, budget.get(), model_types, dynamic_overrides);
  const uint32_t type = materializer.intern(std::move(cls));
  materializer.push_table(index, type, header + root_offset);
  return materializer.run();
}

py::Ref unpack_view(const NativePlan& plan, std::string_view name, PyObject* buffer, int64_t offset,
                    const NativeModelTypes* model_types, PyObject* dynamic_overrides) {
  if (offset < 0) fail(PyExc_ValueError, "offset must be greater than or equal to zero");
  auto [index, object] = plan.object(name);
  py::Ref cls = root_class(plan, index, model_types, "native model types belong to a different view type");
  ByteInput input(buffer);
  const ByteRange range(BufferErrors(plan), input.bytes());
  CallBudget budget(range.length());
  Materializer materializer(plan, range, budget.get(), model_types, dynamic_overrides);
  const uint32_t type = materializer.intern(std::move(cls));
  if (object->is_struct) {
    materializer.push_struct(index, type, static_cast<uint64_t>(offset));
  } else {
    materializer.push_table(index, type, static_cast<uint64_t>(offset));
  }
  return materializer.run();
}

}  // namespace quorvel::flatbuffer
