// pack: the entry, field loading, the table builder and union-arm choice.
#include "flatbuffer/pack.hpp"

#include "flatbuffer/formats.hpp"

#include "py/text.hpp"

#include <algorithm>
#include <cstring>

namespace quorvel::flatbuffer {

namespace {

constexpr uint64_t format_limit = uint64_t{1} << 31;  // 2 GiB

bool is_none(const py::Ref& value) { return value.get() == Py_None; }

uoffset_t create_string(TableWriter& writer, PyObject* value) { return writer.create_string(str_utf8(value)); }

// A vector of 32-bit offsets written in place; an offset of 0 stands for an absent element and is
// written as the word 0.
uoffset_t write_offset_vector(flatbuffers::FlatBufferBuilder& builder, std::span<const uoffset_t> offsets) {
  builder.StartVector(offsets.size(), sizeof(uoffset_t), sizeof(uoffset_t));
  for (size_t i = offsets.size(); i-- > 0;) {
    if (offsets[i] == 0) {
      builder.PushElement<uoffset_t>(0);
    } else {
      builder.PushElement(flatbuffers::Offset<void>(offsets[i]));
    }
  }
  return builder.EndVector(offsets.size());
}

// The offsets of one vector, collected on the walk's shared stack above those of the vectors
// still open further out; dropped from it when done.
class OffsetCollector {
 public:
  OffsetCollector(std::vector<uoffset_t>& stack, size_t expected) : stack_(stack), base_(stack.size()) {
    stack_.reserve(base_ + reservation(expected));
  }
  ~OffsetCollector() { stack_.resize(base_); }
  OffsetCollector(const OffsetCollector&) = delete;
  OffsetCollector& operator=(const OffsetCollector&) = delete;
  void push(uoffset_t offset) { stack_.push_back(offset); }
  std::span<const uoffset_t> collected() const noexcept { return std::span(stack_).subspan(base_); }

 private:
  std::vector<uoffset_t>& stack_;
  size_t base_;
};

[[noreturn]] void required_absent(const FieldWire& field) {
  fail(PyExc_TypeError, "required field {} is absent", text::quoted(field.name));
}

py::Ref call_nested_encoder(NativePlan& plan, PyObject* value) {
  if (!plan.nested_encoder) fail(PyExc_RuntimeError, "native nested encoder is not loaded");
  return check_new(PyObject_CallOneArg(plan.nested_encoder.get(), value));
}

BuiltChild single(uoffset_t offset) { return BuiltChild{BuiltChild::Form::single, offset, 0, 0}; }

BuiltChild pass_one(PackContext& ctx, const FieldWire& field, FieldState& state) {
  NativePlan& plan = ctx.plan;
  TableWriter& writer = ctx.writer;
  PyObject* value = state.value.get();
  switch (field.kind) {
    case FieldKind::string: return single(create_string(writer, value));
    case FieldKind::table: return single(build_table(ctx, plan.target_of(field), value, nullptr));
    case FieldKind::vector_byte: return single(build_byte_vector(writer, value));
    case FieldKind::vector_scalar:
      return single(build_scalar_vector(writer, field.scalar_kind(), value, ctx.fixups));
    case FieldKind::vector_string: {
      refuse_str_for_vector(value);
      OffsetCollector offsets(ctx.offsets, sequence_length(value));
      for_each_sequence(value, [&](py::Ref item) { offsets.push(create_string(writer, item.get())); });
      return single(write_offset_vector(writer.builder(), offsets.collected()));
    }
    case FieldKind::vector_table: {
      const ObjectWire& target = plan.target_of(field);
      OffsetCollector offsets(ctx.offsets, sequence_length(value));
      for_each_sequence(value, [&](py::Ref item) { offsets.push(build_table(ctx, target, item.get(), nullptr)); });
      return single(write_offset_vector(writer.builder(), offsets.collected()));
    }
    case FieldKind::vector_struct: {
      const ObjectWire& target = plan.target_of(field);
      const size_t n = sequence_length(value);
      const uint64_t size = target.byte_size;
      if (size != 0 && n > UINT64_MAX / size) fail(PyExc_ValueError, "struct vector size exceeds the format limit");
      // Filled as the walk goes, so the count always matches the elements written.
      std::vector<uint8_t> scratch;
      if (n * size <= format_limit) scratch.reserve(reservation(n * size));
      size_t count = 0;
      for_each_sequence(value, [&](py::Ref item) {
        // Refused before the scratch area grows past what the buffer could ever hold.
        if (scratch.size() + size > format_limit) throw InternalFailure("cannot grow buffer beyond 2 gigabytes");
        scratch.resize(scratch.size() + size);
        encode_struct_into(plan, ctx.walk, target, item.get(), std::span(scratch).last(size));
        ++count;
      });
      if (target.min_alignment > 4) align_writer(writer, target.min_alignment);
      uoffset_t offset = writer.create_bytes(scratch);
      if (count > UINT32_MAX) fail(PyExc_ValueError, "struct vector length exceeds the format limit");
      ctx.fixups.emplace_back(offset, static_cast<uint32_t>(count));
      return single(offset);
    }
    case FieldKind::nested: {
      py::Ref result = state.nested ? std::move(state.nested) : call_nested_encoder(plan, value);
      return single(build_byte_vector(writer, result.get()));
    }
    case FieldKind::dynamic: {
      std::pair<std::string, py::Ref> encoded;
      if (state.dynamic) {
        encoded = std::move(*state.dynamic);
        state.dynamic.reset();
      } else {
        encoded = encode_dynamic_value(plan, field, value);
      }
      uoffset_t tag = writer.create_string(encoded.first);
      uoffset_t payload = build_byte_vector(writer, encoded.second.get());
      return BuiltChild{BuiltChild::Form::pair, payload, tag, 0};
    }
    case FieldKind::union_: {
      const ArmWire& arm = union_arm(plan, field, value);
      uoffset_t offset = build_table(ctx, plan.objects[arm.target_index], value, nullptr);
      return BuiltChild{BuiltChild::Form::union_, offset, 0, arm.tag};
    }
    case FieldKind::union_vector: {
      const size_t n = sequence_length(value);
      // Discriminators are written at the width the reader expects: bytes for uint8 (and when the
      // plan names no usable width), 2, 4 or 8 bytes for the wider unsigned kinds.
      const ScalarKind type_kind = field.type_scalar.value_or(ScalarKind::uint8);
      const size_t width = is_unsigned(type_kind) ? scalar_width(type_kind) : 1;
      std::vector<uint8_t> types;
      types.reserve(reservation(n));
      OffsetCollector offsets(ctx.offsets, n);
      for_each_sequence(value, [&](py::Ref item) {
        if (item.get() == Py_None) {
          types.insert(types.end(), width, 0);
          offsets.push(0);
          return;
        }
        const ArmWire& arm = union_arm(plan, field, item.get());
        types.resize(types.size() + width);
        store_bits(types.data() + types.size() - width, width, arm.tag);
        offsets.push(build_table(ctx, plan.objects[arm.target_index], item.get(), nullptr));
      });
      uoffset_t types_vector = width == 1 ? writer.create_bytes(types) : build_element_vector(writer, width, types, ctx.fixups);
      uoffset_t values_vector = write_offset_vector(writer.builder(), offsets.collected());
      return BuiltChild{BuiltChild::Form::pair, values_vector, types_vector, 0};
    }
    // Written inline by pass two, or refused there.
    case FieldKind::scalar:
    case FieldKind::struct_:
    case FieldKind::array_scalar:
    case FieldKind::array_struct:
    case FieldKind::uuid:
    case FieldKind::decimal:
    case FieldKind::fallback: break;
  }
  return {};
}

void add_union_type(TableWriter& writer, const FieldWire& field, uint64_t tag) {
  const auto vo = slot_voffset(*field.type_slot);
  const ScalarKind kind = field.type_scalar.value_or(ScalarKind::bool_);
  if (!is_unsigned(kind)) fail(PyExc_ValueError, "polymorphic field has an invalid type scalar");
  writer.queue_union_type(vo, kind, tag);
}

void pass_two(PackContext& ctx, const FieldWire& field, FieldState& state) {
  NativePlan& plan = ctx.plan;
  TableWriter& writer = ctx.writer;
  const BuiltChild& child = state.child;
  if (child.form != BuiltChild::Form::none) {
    writer.queue_offset(slot_voffset(field.slot), child.main);
    switch (child.form) {
      case BuiltChild::Form::none:
      case BuiltChild::Form::single: break;
      case BuiltChild::Form::pair:  // a union vector's types, a dynamic field's tag
        if (!field.type_slot) {
          fail(PyExc_ValueError, "{} has no type slot", field.kind == FieldKind::dynamic ? "dynamic field" : "union vector");
        }
        writer.queue_offset(slot_voffset(*field.type_slot), child.companion);
        break;
      case BuiltChild::Form::union_:
        if (!field.type_slot) fail(PyExc_ValueError, "union has no type slot");
        add_union_type(writer, field, child.tag);
        break;
    }
    return;
  }
  PyObject* value = state.value.get();
  if (field.kind == FieldKind::scalar) {
    if (field.optional && value == Py_None) return;
    const ScalarValue* default_value = field.optional ? nullptr : &field.scalar_default();
    if (state.scalar) {
      writer.queue_scalar(slot_voffset(field.slot), *state.scalar, default_value);
    } else {
      const ScalarKind kind = field.scalar_kind();
      ScalarValue scalar;
      if (!ScalarValue::extract_exact(kind, value, scalar)) scalar = ScalarValue::extract_generic(kind, value);
      writer.queue_scalar(slot_voffset(field.slot), scalar, default_value);
    }
    return;
  }
  if (value == Py_None) {
    if (field.required) required_absent(field);
    return;
  }
  switch (field_form(field.kind)) {
    case FieldForm::struct_: {
      const ObjectWire& target = plan.target_of(field);
      // A table addresses its fields with 16-bit offsets, so an inline struct cannot be larger.
      // The value's own faults are reported first, as writing it would.
      if (target.byte_size > 0xFFFF) {
        target.require_struct();
        plan.require_model_type(target, value);
        fail(PyExc_ValueError, "struct {} of {} bytes does not fit in a FlatBuffers table", target.name, target.byte_size);
      }
      const uint64_t alignment = target.min_alignment;
      const bool valid_alignment = alignment == 1 || alignment == 2 || alignment == 4 || alignment == 8;
      if (valid_alignment) {
        // Encoded into the queue, written with the table. Faults of the value still come first.
        if (auto region = writer.queue_struct(slot_voffset(field.slot), alignment, target.byte_size)) {
          encode_struct_into(plan, ctx.walk, target, value, *region);
          break;
        }
      }
      writer.flush();
      flatbuffers::FlatBufferBuilder& builder = writer.builder();
      if (valid_alignment && writer.has_room(target.byte_size + alignment)) {
        // Encoded in place. Faults of the value still come first: nothing else can fail here.
        align_writer(writer, alignment);
        uint8_t* region = writer.reserve_bytes(target.byte_size);
        encode_struct_into(plan, ctx.walk, target, value, std::span(region, target.byte_size));
      } else {
        std::vector<uint8_t> scratch(target.byte_size);
        encode_struct_into(plan, ctx.walk, target, value, scratch);
        align_writer(writer, alignment);
        builder.PushBytes(scratch.data(), scratch.size());
      }
      builder.TrackField(slot_voffset(field.slot), builder.GetSize());
      break;
    }
    case FieldForm::scalar_array:
    case FieldForm::struct_array:
    case FieldForm::serde_only: refuse_in_table(field, /*decoding=*/false);
    // Scalars are written above; the rest were written by pass one.
    case FieldForm::scalar:
    case FieldForm::offset: break;
  }
}

}  // namespace

void load_fields(NativePlan& plan, const ObjectWire& object, const ModelView& model, std::span<FieldState> states) {
  for (size_t i = 0; i < object.fields.size(); ++i) {
    const FieldWire& field = object.fields[i];
    py::Ref value = model.read(i);
    if (value.get() != Py_None && field.kind == FieldKind::vector_table) {
      const ObjectWire& target = plan.target_of(field);
      if (target.key_field && *target.key_field < target.fields.size()) {
        value = sorted_table_map_values(plan, field, value.get());
      }
    }
    states[i].value = std::move(value);
  }
}

namespace {

// A table whose fields are all scalars, each read from its slot and of an exact type: converted
// and written without field states. 0 when a field is anything else (read through getattr, unset,
// another type), before anything is written: the full path then does it all again.
uoffset_t scalar_table(TableWriter& writer, const ObjectWire& object, const ModelView& view, std::span<const PackField> facts) {
  // No Python code runs below (only exact types are converted): the class checked once holds.
  if (!view.slots_current()) return 0;
  std::array<TableWriter::ScalarItem, PackObject::max_scalars_only> items;
  size_t count = 0;
  for (size_t i = 0; i < facts.size(); ++i) {
    const PackField& fact = facts[i];
    const ModelView::Slot value = view.read_current_slot(i);
    if (!value) return 0;
    if (fact.optional && value.get() == Py_None) continue;
    ScalarValue scalar;
    if (!ScalarValue::extract_exact(fact.scalar, value.get(), scalar)) return 0;
    if (!fact.optional && scalar.equals(fact.default_value)) continue;
    items[count++] = TableWriter::ScalarItem{fact.voffset, fact.width, fact.scalar, scalar_bits(scalar)};
  }
  const uoffset_t start = writer.builder().StartTable();
  if (const uoffset_t table = writer.write_scalars(start, object, std::span(items).first(count))) return table;
  // Laid out for the first time, or near the size limit: queued one by one.
  for (size_t i = 0; i < count; ++i) {
    const TableWriter::ScalarItem& item = items[i];
    ScalarValue scalar;
    scalar.kind = item.kind;
    scalar.u = item.bits;
    writer.queue_scalar(item.field, scalar, nullptr);
  }
  return writer.end_table(start, object);
}

}  // namespace

uoffset_t build_table(PackContext& ctx, const ObjectWire& object, PyObject* model, std::span<FieldState>* given) {
  RecursionGuard guard(" while packing a FlatBuffer table");
  object.require_table();
  std::optional<FieldStateStack::Frame> frame;
  std::span<FieldState> states;
  const PackObject& packed = ctx.facts.pack(object.index);
  const std::span<const PackField> facts = packed.fields;
  if (given == nullptr) {
    const ModelView view = ctx.walk.view(object, model);
    if (packed.scalars_only) {
      if (const uoffset_t table = scalar_table(ctx.writer, object, view, facts)) return table;
    }
    frame.emplace(ctx.states, object.fields.size());
    states = frame->states();
    // load_fields, reading the compact facts
    for (size_t i = 0; i < facts.size(); ++i) {
      py::Ref value = view.read(i);
      if (facts[i].sorted && value.get() != Py_None) value = sorted_table_map_values(ctx.plan, object.fields[i], value.get());
      states[i].value = std::move(value);
    }
  } else {
    states = *given;
  }
  const size_t count = std::min(states.size(), object.fields.size());

  for (size_t i = 0; i < count; ++i) {
    if (!facts[i].pass_one) continue;
    const FieldWire& field = object.fields[i];
    FieldState& state = states[i];
    if (is_none(state.value)) {
      if (field.required) required_absent(field);
      continue;
    }
    state.child = pass_one(ctx, field, state);
  }

  const uoffset_t start = ctx.writer.builder().StartTable();
  for (size_t i = 0; i < count; ++i) {
    FieldState& state = states[i];
    if (facts[i].inline_scalar && !state.scalar) {
      // The common exact types converted and queued here; everything else as pass two does it.
      const PackField& fact = facts[i];
      PyObject* value = state.value.get();
      if (fact.optional && value == Py_None) continue;
      ScalarValue scalar;
      if (ScalarValue::extract_exact(fact.scalar, value, scalar)) {
        ctx.writer.queue_scalar(fact.voffset, scalar, fact.optional ? nullptr : &fact.default_value);
        continue;
      }
    }
    pass_two(ctx, object.fields[i], state);
  }
  return ctx.writer.end_table(start, object);
}

const ArmWire& union_arm(NativePlan& plan, const FieldWire& field, PyObject* value) {
  std::string name = type_name(Py_TYPE(value));
  std::optional<uint32_t> index;
  if (attempt([&] { index = plan.model_object_index(value); })) {
    for (const ArmWire& arm : field.arms) {
      if (arm.target_index == *index) return arm;
    }
  }
  fail(PyExc_TypeError, "union field {} does not accept model type {}", text::quoted(field.name), name);
}

std::pair<std::string, py::Ref> encode_dynamic_value(NativePlan& plan, const FieldWire& field, PyObject* value) {
  if (!field.allowed_prefix) fail(PyExc_ValueError, "dynamic field has no allowed prefix");
  if (!plan.dynamic_encoder) fail(PyExc_RuntimeError, "native dynamic encoder is not loaded");
  const std::string& prefix = *field.allowed_prefix;
  py::Ref prefix_str = check_new(PyUnicode_FromStringAndSize(prefix.data(), static_cast<Py_ssize_t>(prefix.size())));
  PyObject* args[] = {value, prefix_str.get()};
  py::Ref result = check_new(PyObject_Vectorcall(plan.dynamic_encoder.get(), args, 2, nullptr));
  if (!PyTuple_Check(result.get())) fail_wrong_type(result.get(), "tuple");
  std::string tag_text(str_utf8(check(PyTuple_GetItem(result.get(), 0))));
  PyObject* payload = check(PyTuple_GetItem(result.get(), 1));
  return {std::move(tag_text), py::Ref::borrow(payload)};
}

std::unique_ptr<NativeBufferData> pack(NativePlan& plan, std::string_view root, PyObject* model,
                                       std::optional<std::string_view> identifier, bool size_prefixed,
                                       int64_t initial_size) {
  if (initial_size < 0) fail(PyExc_ValueError, "initial_size must be greater than or equal to zero");
  require_file_identifier(identifier);
  if (static_cast<uint64_t>(initial_size) > format_limit) {
    fail(PyExc_ValueError, "initial FlatBuffer size exceeds the 2 GiB format limit");
  }
  auto [index, object] = plan.object(root);
  (void)index;
  ModelWalk walk(plan);
  FieldStates root_states(object->fields.size());
  std::span<FieldState> states(root_states);
  load_fields(plan, *object, walk.view(*object, model), states);

  uint64_t capacity = static_cast<uint64_t>(initial_size);
  if (capacity == 0) {
    const SizeEstimate estimate = estimate_initial_capacity(plan, walk, *object, states, identifier.has_value(), size_prefixed);
    if (estimate.measured > format_limit) {
      fail(PyExc_ValueError, "estimated FlatBuffer size exceeds the 2 GiB format limit");
    }
    capacity = std::min(estimate.capacity, format_limit);
    // The builder keeps its bookkeeping (a record per tracked field of the open table, and one
    // word per distinct vtable) at the front of the same block; leave room for it so that a graph
    // the estimate covers is still written in one allocation.
    capacity += BuilderDoor::field_record_size * uint64_t{plan.max_field_count} +
                sizeof(uoffset_t) * std::min<uint64_t>(plan.objects.size(), 1024);
  }

  TableWriter writer(static_cast<size_t>(capacity));
  CountFixups fixups;
  FieldStateStack stack;
  std::vector<uoffset_t> offsets;
  PackContext ctx{plan, writer, fixups, walk, stack, offsets, PlanFacts::of(plan)};
  const uoffset_t root_table = build_table(ctx, *object, model, &states);
  writer.finish(root_table, identifier ? reinterpret_cast<const uint8_t*>(identifier->data()) : nullptr, size_prefixed);

  flatbuffers::FlatBufferBuilder& builder = writer.builder();
  uint8_t* data = builder.GetBufferPointer();
  const size_t size = builder.GetSize();
  for (const auto& [tail, count] : fixups) store_bits(data + (size - tail), sizeof(uint32_t), count);

  auto result = std::make_unique<NativeBufferData>();
  size_t allocation = 0, head = 0;
  uint8_t* raw = builder.ReleaseRaw(allocation, head);
  result->data = std::unique_ptr<uint8_t, FreeBuffer>(raw, FreeBuffer{allocation});
  result->size = allocation;
  result->head = head;
  return result;
}

}  // namespace quorvel::flatbuffer
