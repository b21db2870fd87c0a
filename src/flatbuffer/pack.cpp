// pack: the entry, field loading, the table builder and union-arm choice.
#include "flatbuffer/pack.hpp"

#include "flatbuffer/formats.hpp"

#include "py/text.hpp"

#include <algorithm>
#include <cstring>

namespace quorvel::flatbuffer {

namespace {

constexpr uint64_t format_limit = uint64_t{1} << 31;  // 2 GiB

flatbuffers::voffset_t voffset(uint16_t slot) { return slot_voffset(slot); }

bool is_none(const py::Ref& value) { return value.get() == Py_None; }

uoffset_t create_string(Builder& builder, PyObject* value) {
  const std::string_view text = str_utf8(value);
  return builder.create_string(text.data(), text.size()).o;
}

// A vector of 32-bit offsets written in place; an offset of 0 stands for an absent element and is
// written as the word 0.
uoffset_t write_offset_vector(Builder& builder, std::span<const uoffset_t> offsets) {
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

BuiltChild pass_one(PackContext& ctx, const ObjectWire& object, const FieldWire& field, FieldState& state) {
  NativePlan& plan = ctx.plan;
  Builder& builder = ctx.builder;
  PyObject* value = state.value.get();
  switch (field.kind) {
    case FieldKind::string: return single(create_string(builder, value));
    case FieldKind::table: return single(build_table(ctx, plan.target_of(field), value, nullptr));
    case FieldKind::vector_byte: return single(build_byte_vector(builder, value));
    case FieldKind::vector_scalar:
      return single(build_scalar_vector(builder, field.scalar_kind(), value, ctx.fixups));
    case FieldKind::vector_string: {
      refuse_str_for_vector(value);
      OffsetCollector offsets(ctx.offsets, sequence_length(value));
      for_each_sequence(value, [&](py::Ref item) { offsets.push(create_string(builder, item.get())); });
      return single(write_offset_vector(builder, offsets.collected()));
    }
    case FieldKind::vector_table: {
      const ObjectWire& target = plan.target_of(field);
      OffsetCollector offsets(ctx.offsets, sequence_length(value));
      for_each_sequence(value, [&](py::Ref item) { offsets.push(build_table(ctx, target, item.get(), nullptr)); });
      return single(write_offset_vector(builder, offsets.collected()));
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
      if (target.min_alignment > 4) align_builder(builder, target.min_alignment);
      uoffset_t offset = builder.create_bytes(scratch.data(), scratch.size()).o;
      if (count > UINT32_MAX) fail(PyExc_ValueError, "struct vector length exceeds the format limit");
      ctx.fixups.emplace_back(offset, static_cast<uint32_t>(count));
      return single(offset);
    }
    case FieldKind::nested: {
      py::Ref result = state.nested ? std::move(state.nested) : call_nested_encoder(plan, value);
      return single(build_byte_vector(builder, result.get()));
    }
    case FieldKind::dynamic: {
      std::pair<std::string, py::Ref> encoded;
      if (state.dynamic) {
        encoded = std::move(*state.dynamic);
        state.dynamic.reset();
      } else {
        encoded = encode_dynamic_value(plan, field, value);
      }
      uoffset_t tag = builder.create_string(encoded.first.data(), encoded.first.size()).o;
      uoffset_t payload = build_byte_vector(builder, encoded.second.get());
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
        const uint64_t tag = arm.tag;  // little-endian, cut to the width
        types.insert(types.end(), reinterpret_cast<const uint8_t*>(&tag), reinterpret_cast<const uint8_t*>(&tag) + width);
        offsets.push(build_table(ctx, plan.objects[arm.target_index], item.get(), nullptr));
      });
      uoffset_t types_vector = width == 1 ? builder.create_bytes(types.data(), types.size()).o
                                          : build_element_vector(builder, width, types, ctx.fixups);
      uoffset_t values_vector = write_offset_vector(builder, offsets.collected());
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
  (void)object;
  return {};
}

void add_union_type(Builder& builder, const FieldWire& field, uint64_t tag) {
  const auto vo = voffset(*field.type_slot);
  const ScalarKind kind = field.type_scalar.value_or(ScalarKind::bool_);
  switch (kind) {
    case ScalarKind::uint8:
    case ScalarKind::uint16:
    case ScalarKind::uint32:
    case ScalarKind::uint64: builder.queue_union_type(vo, kind, tag); break;
    case ScalarKind::bool_:
    case ScalarKind::int8:
    case ScalarKind::int16:
    case ScalarKind::int32:
    case ScalarKind::int64:
    case ScalarKind::float32:
    case ScalarKind::float64: fail(PyExc_ValueError, "polymorphic field has an invalid type scalar");
  }
}

void pass_two(PackContext& ctx, const FieldWire& field, FieldState& state) {
  NativePlan& plan = ctx.plan;
  Builder& builder = ctx.builder;
  const BuiltChild& child = state.child;
  if (child.form != BuiltChild::Form::none) {
    builder.queue_offset(voffset(field.slot), child.main);
    switch (field.kind) {
      case FieldKind::union_vector:
        if (child.form != BuiltChild::Form::pair) fail(PyExc_TypeError, "union vector has no discriminator vector");
        if (!field.type_slot) fail(PyExc_ValueError, "union vector has no type slot");
        builder.queue_offset(voffset(*field.type_slot), child.companion);
        break;
      case FieldKind::union_:
        if (child.form != BuiltChild::Form::union_) fail(PyExc_TypeError, "union has no discriminator");
        if (!field.type_slot) fail(PyExc_ValueError, "union has no type slot");
        add_union_type(builder, field, child.tag);
        break;
      case FieldKind::dynamic:
        if (child.form != BuiltChild::Form::pair) fail(PyExc_TypeError, "dynamic FlatBuffer has no type tag");
        if (!field.type_slot) fail(PyExc_ValueError, "dynamic field has no type slot");
        builder.queue_offset(voffset(*field.type_slot), child.companion);
        break;
      case FieldKind::scalar:
      case FieldKind::string:
      case FieldKind::table:
      case FieldKind::struct_:
      case FieldKind::vector_byte:
      case FieldKind::vector_scalar:
      case FieldKind::vector_string:
      case FieldKind::vector_table:
      case FieldKind::vector_struct:
      case FieldKind::nested:
      case FieldKind::array_scalar:
      case FieldKind::array_struct:
      case FieldKind::uuid:
      case FieldKind::decimal:
      case FieldKind::fallback: break;
    }
    return;
  }
  PyObject* value = state.value.get();
  if (field.kind == FieldKind::scalar) {
    if (field.optional && value == Py_None) return;
    const ScalarValue* default_value = field.optional ? nullptr : &field.scalar_default();
    if (state.scalar) {
      builder.queue_scalar(voffset(field.slot), *state.scalar, default_value);
    } else {
      const ScalarKind kind = field.scalar_kind();
      ScalarValue scalar;
      if (!ScalarValue::extract_exact(kind, value, scalar)) scalar = ScalarValue::extract_generic(kind, value);
      builder.queue_scalar(voffset(field.slot), scalar, default_value);
    }
    return;
  }
  if (value == Py_None) {
    if (field.required) required_absent(field);
    return;
  }
  switch (field.kind) {
    case FieldKind::struct_: {
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
        if (auto region = builder.queue_struct(voffset(field.slot), alignment, target.byte_size)) {
          encode_struct_into(plan, ctx.walk, target, value, *region);
          break;
        }
      }
      builder.flush();
      if (valid_alignment && builder.has_room(target.byte_size + alignment)) {
        // Encoded in place. Faults of the value still come first: nothing else can fail here.
        align_builder(builder, alignment);
        uint8_t* region = builder.reserve_bytes(target.byte_size);
        encode_struct_into(plan, ctx.walk, target, value, std::span(region, target.byte_size));
      } else {
        std::vector<uint8_t> scratch(target.byte_size);
        encode_struct_into(plan, ctx.walk, target, value, scratch);
        align_builder(builder, alignment);
        builder.PushBytes(scratch.data(), scratch.size());
      }
      builder.TrackField(voffset(field.slot), builder.GetSize());
      break;
    }
    case FieldKind::array_scalar:
    case FieldKind::array_struct:
    case FieldKind::uuid:
    case FieldKind::decimal:
    case FieldKind::fallback: refuse_in_table(field, /*decoding=*/false);
    // Scalars are written above; the rest were written by pass one.
    case FieldKind::scalar:
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
    case FieldKind::union_vector: break;
  }
}

}  // namespace

void Builder::finish_root(uoffset_t root, const uint8_t* identifier, bool size_prefix) {
  NotNested();
  buf_.clear_scratch();
  const size_t prefix_size = size_prefix ? sizeof(uoffset_t) : 0;
  TrackMinAlign(prefix_size);
  const size_t identifier_size = identifier ? flatbuffers::kFileIdentifierLength : 0;
  PreAlign(prefix_size + sizeof(uoffset_t) + identifier_size, minalign_);
  if (identifier) PushBytes(identifier, flatbuffers::kFileIdentifierLength);
  PushElement(ReferTo(root));
  if (size_prefix) PushElement(GetSize());
  finished = true;
}

uoffset_t Builder::end_table(uoffset_t start, const ObjectWire& object) {
  // Written at once only when nothing of the table is in the buffer yet.
  if (num_field_loc == 0 && GetSize() == start && object.distinct_slots) return write_table(start, object);
  flush();
  const auto* locations =
      num_field_loc ? reinterpret_cast<const FieldLoc*>(buf_.scratch_end() - num_field_loc * sizeof(FieldLoc)) : nullptr;
  for (uoffset_t i = 0; !object.distinct_slots && i < num_field_loc; ++i) {
    for (uoffset_t j = i + 1; j < num_field_loc; ++j) {
      if (locations[i].id == locations[j].id) {
        fail(PyExc_ValueError, "native table {} writes vtable slot {} twice", object.name, (locations[i].id - 4) / 2);
      }
    }
  }
  require_addressable(GetSize() - start, object);
  return EndTable(start);
}

void Builder::require_addressable(size_t body, const ObjectWire& object) {
  // The body so far, plus the alignment and the offset to the vtable that ending the table adds.
  if (body + 7 >= 0x10000) {
    fail(PyExc_ValueError, "native table {} exceeds the 64 KiB that a FlatBuffers table can address", object.name);
  }
}

Builder::Layout Builder::lay_out(uoffset_t start) {
  // Narrow items first from the end, wider ones below them: each width pads at most once, and the
  // offset to the vtable that closes the body needs no padding after a 4- or 8-byte item. Items of
  // one width (alignment) follow each other without gaps when their sizes are multiples of it,
  // which only an odd struct size breaks.
  std::array<size_t, 4> bytes{};
  bool regular = true;
  flatbuffers::voffset_t max_voffset = 0;
  size_t max_align = sizeof(flatbuffers::soffset_t);
  for (const Queued& item : queue_) {
    bytes[std::countr_zero(item.align)] += item.size;
    regular = regular && (item.size & (item.align - 1u)) == 0;  // alignments are powers of two
    max_voffset = std::max(max_voffset, item.field);
    max_align = std::max<size_t>(max_align, item.align);
  }
  size_t size = start;
  if (regular) {
    std::array<size_t, 4> cursor;
    for (size_t k = 0; k < 4; ++k) {
      if (bytes[k] != 0) size += flatbuffers::PaddingBytes(size, size_t{1} << k);
      cursor[k] = size;
      size += bytes[k];
    }
    for (Queued& item : queue_) {
      size_t& at = cursor[std::countr_zero(item.align)];
      at += item.size;
      item.field_size = static_cast<uoffset_t>(at);
    }
  } else {
    for (const uint8_t align : {1, 2, 4, 8}) {
      for (Queued& item : queue_) {
        if (item.align != align) continue;
        size += flatbuffers::PaddingBytes(size, align) + item.size;
        item.field_size = static_cast<uoffset_t>(size);
      }
    }
  }
  return Layout{size, max_align, max_voffset};
}

size_t Builder::layout_index(const ObjectWire& object, uint64_t slots, uoffset_t start) const noexcept {
  const uint64_t key = (reinterpret_cast<uintptr_t>(&object) >> 4) * 0x9e3779b97f4a7c15ULL ^ slots * 0xbf58476d1ce4e5b9ULL ^ (start & 7);
  return (key ^ key >> 32) % layouts_.size();
}

template <class WriteItems>
uoffset_t Builder::write_cached(const CachedLayout& entry, uoffset_t start, WriteItems write_items) {
  const size_t vtable_size = entry.vtable_size;
  const size_t table_size = entry.table_size;
  const auto table = static_cast<uoffset_t>(start + table_size);
  uoffset_t& cached = vtables_[entry.hash % vtables_.size()];
  const bool shared = cached != 0 && flatbuffers::ReadScalar<flatbuffers::voffset_t>(buf_.data_at(cached)) == vtable_size &&
                      std::memcmp(buf_.data_at(cached), entry.vtable.data(), vtable_size) == 0;
  uint8_t* body;
  uoffset_t vtable_at;
  if (shared) {
    body = buf_.make_space(table_size);
    vtable_at = cached;
  } else {
    uint8_t* vtable = buf_.make_space(table_size + vtable_size);
    std::memcpy(vtable, entry.vtable.data(), vtable_size);
    body = vtable + vtable_size;
    vtable_at = static_cast<uoffset_t>(table + vtable_size);
  }
  std::memset(body, 0, table_size);
  write_items(body);
  cached = vtable_at;
  flatbuffers::WriteScalar(body, static_cast<flatbuffers::soffset_t>(vtable_at) - static_cast<flatbuffers::soffset_t>(table));
  TrackMinAlign(entry.max_align);
  nested = false;
  return table;
}

uoffset_t Builder::write_table(uoffset_t start, const ObjectWire& object) {
  const uint64_t slots = queued_slots_;
  if (slots == uncached || queue_.size() > cached_items) return write_table_uncached(start, object);
  const size_t index = layout_index(object, slots, start);
  const CachedLayout* found = find_layout(index, object, slots, start, queue_.size());
  if (found == nullptr) return write_table_uncached(start, object, index);
  const CachedLayout& entry = *found;
  // The same fields as a table laid out before: its size was checked then, its room is now.
  if (!has_room(entry.table_size + entry.vtable_size)) [[unlikely]] {
    flush();
    return EndTable(start);
  }
  const uoffset_t table = write_cached(entry, start, [&](uint8_t* body) {
    for (size_t i = 0; i < queue_.size(); ++i) {
      Queued& item = queue_[i];
      item.field_size = static_cast<uoffset_t>(start + entry.ends[i]);
      write_item(item, body + (entry.table_size - entry.ends[i]));
    }
  });
  reset_queue();
  return table;
}

uoffset_t Builder::write_scalars(uoffset_t start, const ObjectWire& object, std::span<const ScalarItem> items) {
  if (!queue_.empty() || num_field_loc != 0 || GetSize() != start || !object.distinct_slots || items.size() > cached_items) {
    return 0;
  }
  uint64_t slots = 0;
  size_t bound = 0;  // what queueing them would have required room for
  for (const ScalarItem& item : items) {
    const unsigned slot = (item.field - 4u) >> 1;
    if (slot >= 64) return 0;
    slots |= uint64_t{1} << slot;
    bound += 2 * size_t{item.width} + sizeof(FieldLoc);
  }
  const CachedLayout* found = find_layout(layout_index(object, slots, start), object, slots, start, items.size());
  if (found == nullptr) return 0;
  const CachedLayout& entry = *found;
  if (!has_room(bound) || !has_room(entry.table_size + entry.vtable_size)) return 0;
  return write_cached(entry, start, [&](uint8_t* body) {
    for (size_t i = 0; i < items.size(); ++i) {
      uint8_t* at = body + (entry.table_size - entry.ends[i]);
      const uint64_t bits = items[i].bits;
      switch (items[i].width) {  // fixed-size stores
        case 1: *at = static_cast<uint8_t>(bits); break;
        case 2: std::memcpy(at, &bits, 2); break;
        case 4: std::memcpy(at, &bits, 4); break;
        default: std::memcpy(at, &bits, 8); break;
      }
    }
  });
}

uoffset_t Builder::write_table_uncached(uoffset_t start, const ObjectWire& object, size_t index) {
  const Layout layout = lay_out(start);
  size_t size = layout.table;
  require_addressable(size - start, object);
  size += flatbuffers::PaddingBytes(size, sizeof(flatbuffers::soffset_t)) + sizeof(flatbuffers::soffset_t);
  const auto table = static_cast<uoffset_t>(size);

  // The vtable: its size, the table's size, then each field's position in the table (0: absent).
  const size_t vtable_size = std::max<size_t>(layout.max_voffset + sizeof(flatbuffers::voffset_t), 4);
  const size_t total = (table - start) + vtable_size;
  if (!has_room(total)) [[unlikely]] {
    // Past the limit: the builder writes it and fails where it always did.
    flush();
    return EndTable(start);
  }
  uint8_t* vtable = buf_.make_space(total);
  uint8_t* body = vtable + vtable_size;
  std::memset(vtable, 0, total);
  const auto table_size = static_cast<flatbuffers::voffset_t>(table - start);
  std::memcpy(vtable, &vtable_size, sizeof(flatbuffers::voffset_t));  // little-endian
  std::memcpy(vtable + 2, &table_size, sizeof table_size);
  uint64_t hash = vtable_size * 0x9e3779b97f4a7c15ULL ^ table_size;
  for (const Queued& item : queue_) {
    const auto position = static_cast<flatbuffers::voffset_t>(table - item.field_size);
    std::memcpy(vtable + item.field, &position, sizeof position);
    hash += (uint64_t{item.field} << 16 | position) * 0xbf58476d1ce4e5b9ULL;
    write_item(item, body + (table - item.field_size));
  }
  hash ^= hash >> 29;
  if (index != no_entry && vtable_size <= cached_vtable) {
    // Filed for the next table of this object with the same fields present.
    CachedLayout* entry = &layouts_[index];
    entry->slots = queued_slots_;
    entry->hash = hash;
    entry->start_align = static_cast<uint8_t>(start & 7);
    entry->count = static_cast<uint8_t>(queue_.size());
    entry->max_align = static_cast<uint8_t>(layout.max_align);
    entry->table_size = table_size;
    entry->vtable_size = static_cast<uint16_t>(vtable_size);
    for (size_t i = 0; i < queue_.size(); ++i) entry->ends[i] = static_cast<uint16_t>(queue_[i].field_size - start);
    std::memcpy(entry->vtable.data(), vtable, vtable_size);
    layout_objects_[index] = &object;
  }
  uoffset_t& cached = vtables_[hash % vtables_.size()];
  uoffset_t vtable_at = static_cast<uoffset_t>(table + vtable_size);
  if (cached != 0) {
    const uint8_t* earlier = buf_.data_at(cached);
    if (flatbuffers::ReadScalar<flatbuffers::voffset_t>(earlier) == vtable_size &&
        std::memcmp(earlier, vtable, vtable_size) == 0) {
      buf_.pop(vtable_size);
      vtable_at = cached;
    }
  }
  cached = vtable_at;
  flatbuffers::WriteScalar(body, static_cast<flatbuffers::soffset_t>(vtable_at) - static_cast<flatbuffers::soffset_t>(table));
  TrackMinAlign(layout.max_align);
  nested = false;
  reset_queue();
  return table;
}

void Builder::queue_offset(flatbuffers::voffset_t field, uoffset_t offset) {
  if (offset == 0) return;  // as AddOffset: a null offset is not stored
  if (!queue(field, sizeof(uoffset_t), sizeof(uoffset_t), ItemKind::offset, offset)) {
    AddOffset(field, flatbuffers::Offset<void>(offset));
  }
}

void Builder::queue_union_type(flatbuffers::voffset_t field, ScalarKind kind, uint64_t tag) {
  const auto width = static_cast<uint8_t>(scalar_width(kind));
  if (width < 8) tag &= (uint64_t{1} << (8 * width)) - 1;  // cut to the width, as written
  if (tag == 0) return;  // the type's default, which AddElement leaves out
  if (queue(field, width, width, ItemKind::scalar, tag)) return;
  switch (kind) {
    case ScalarKind::uint8: AddElement<uint8_t>(field, static_cast<uint8_t>(tag), 0); break;
    case ScalarKind::uint16: AddElement<uint16_t>(field, static_cast<uint16_t>(tag), 0); break;
    case ScalarKind::uint32: AddElement<uint32_t>(field, static_cast<uint32_t>(tag), 0); break;
    case ScalarKind::uint64:
    case ScalarKind::bool_:
    case ScalarKind::int8:
    case ScalarKind::int16:
    case ScalarKind::int32:
    case ScalarKind::int64:
    case ScalarKind::float32:
    case ScalarKind::float64: AddElement<uint64_t>(field, tag, 0); break;
  }
}

std::optional<std::span<uint8_t>> Builder::queue_struct(flatbuffers::voffset_t field, size_t alignment, size_t size) {
  const size_t at = structs_.size();
  if (!queue(field, static_cast<uint8_t>(alignment), static_cast<uint32_t>(size), ItemKind::bytes, at)) return std::nullopt;
  structs_.resize(at + size);
  return std::span(structs_).subspan(at);
}

inline void Builder::write_item(const Queued& item, uint8_t* at) const {
  switch (item.kind) {
    case ItemKind::scalar:
      switch (item.size) {  // fixed-size stores
        case 1: *at = static_cast<uint8_t>(item.bits); break;
        case 2: std::memcpy(at, &item.bits, 2); break;
        case 4: std::memcpy(at, &item.bits, 4); break;
        default: std::memcpy(at, &item.bits, 8); break;
      }
      break;
    case ItemKind::offset: {
      // From the offset's own position, as ReferTo counts it.
      const uoffset_t relative = item.field_size - static_cast<uoffset_t>(item.bits);
      std::memcpy(at, &relative, sizeof relative);
      break;
    }
    case ItemKind::bytes:
      if (item.size > 0) std::memcpy(at, structs_.data() + item.bits, item.size);
      break;
  }
}

void Builder::write_queue() {
  // In queue order, laid out as pushing the items one by one lays them out.
  const size_t start = GetSize();
  size_t size = start;
  for (Queued& item : queue_) {
    TrackMinAlign(item.align);
    size += flatbuffers::PaddingBytes(size, item.align) + item.size;
    item.field_size = static_cast<uoffset_t>(size);
  }
  uint8_t* base = buf_.make_space(size - start);  // the lowest address; `size` bytes from the end
  std::memset(base, 0, size - start);
  for (const Queued& item : queue_) {
    write_item(item, base + (size - item.field_size));
    TrackField(item.field, item.field_size);
  }
  reset_queue();
}

void Builder::require_room(size_t n) const {
  // 16 more for the length prefix, terminator and alignment that come with the object.
  if (n > FLATBUFFERS_MAX_BUFFER_SIZE - 16 - GetSize()) throw InternalFailure("cannot grow buffer beyond 2 gigabytes");
}

uint8_t* Builder::reserve_bytes(size_t n) {
  require_room(n);
  return buf_.make_space(n);
}

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
uoffset_t scalar_table(Builder& builder, const ObjectWire& object, const ModelView& view, std::span<const PackField> facts) {
  // No Python code runs below (only exact types are converted): the class checked once holds.
  if (!view.slots_current()) return 0;
  std::array<Builder::ScalarItem, PackObject::max_scalars_only> items;
  size_t count = 0;
  for (size_t i = 0; i < facts.size(); ++i) {
    const PackField& fact = facts[i];
    const ModelView::Slot value = view.read_current_slot(i);
    if (!value) return 0;
    if (fact.optional && value.get() == Py_None) continue;
    ScalarValue scalar;
    if (!ScalarValue::extract_exact(fact.scalar, value.get(), scalar)) return 0;
    if (!fact.optional && scalar.equals(fact.default_value)) continue;
    items[count++] = Builder::ScalarItem{fact.voffset, fact.width, fact.scalar, scalar_bits(scalar)};
  }
  const uoffset_t start = builder.StartTable();
  if (const uoffset_t table = builder.write_scalars(start, object, std::span(items).first(count))) return table;
  // Laid out for the first time, or near the size limit: queued one by one.
  for (size_t i = 0; i < count; ++i) {
    const Builder::ScalarItem& item = items[i];
    ScalarValue scalar;
    scalar.kind = item.kind;
    scalar.u = item.bits;
    builder.queue_scalar(item.field, scalar, nullptr);
  }
  return builder.end_table(start, object);
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
      if (const uoffset_t table = scalar_table(ctx.builder, object, view, facts)) return table;
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
    state.child = pass_one(ctx, object, field, state);
  }

  const uoffset_t start = ctx.builder.StartTable();
  for (size_t i = 0; i < count; ++i) {
    FieldState& state = states[i];
    if (facts[i].inline_scalar && !state.scalar) {
      // The common exact types converted and queued here; everything else as pass two does it.
      const PackField& fact = facts[i];
      PyObject* value = state.value.get();
      if (fact.optional && value == Py_None) continue;
      ScalarValue scalar;
      if (ScalarValue::extract_exact(fact.scalar, value, scalar)) {
        ctx.builder.queue_scalar(fact.voffset, scalar, fact.optional ? nullptr : &fact.default_value);
        continue;
      }
    }
    pass_two(ctx, object.fields[i], state);
  }
  return ctx.builder.end_table(start, object);
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
    // The builder keeps its bookkeeping (field locations of the open table, 8 bytes each, and one
    // word per distinct vtable) at the front of the same block; leave room for it so that a graph
    // the estimate covers is still written in one allocation.
    capacity += 8 * uint64_t{plan.max_field_count} + 4 * std::min<uint64_t>(plan.objects.size(), 1024);
  }

  Builder builder(static_cast<size_t>(capacity));
  CountFixups fixups;
  FieldStateStack stack;
  std::vector<uoffset_t> offsets;
  PackContext ctx{plan, builder, fixups, walk, stack, offsets, PlanFacts::of(plan)};
  const uoffset_t root_table = build_table(ctx, *object, model, &states);
  builder.finish_root(root_table, identifier ? reinterpret_cast<const uint8_t*>(identifier->data()) : nullptr,
                      size_prefixed);

  uint8_t* data = builder.GetBufferPointer();
  const size_t size = builder.GetSize();
  for (const auto& [tail, count] : fixups) {
    const uint32_t le = count;  // little-endian hosts only, as the builder itself assumes
    std::memcpy(data + (size - tail), &le, sizeof le);
  }

  auto result = std::make_unique<NativeBufferData>();
  size_t allocation = 0, head = 0;
  uint8_t* raw = builder.ReleaseRaw(allocation, head);
  result->data = std::unique_ptr<uint8_t, FreeBuffer>(raw, FreeBuffer{allocation});
  result->size = allocation;
  result->head = head;
  return result;
}

}  // namespace quorvel::flatbuffer
