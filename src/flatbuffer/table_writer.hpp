// The table writer of pack: the FlatBuffers builder, through its door, with the tables of a pack
// call queued, laid out and written whole, and the limits the builder only asserts refused with
// this module's errors.
#pragma once

#include "flatbuffer/builder_door.hpp"
#include "flatbuffer/formats.hpp"
#include "plan/scalar_bytes.hpp"
#include "plan/wire.hpp"
#include "py/native_buffer.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quorvel::flatbuffer {

using flatbuffers::uoffset_t;

// Adds the low `width` bytes of `bits` to the open table at `field`, as AddElement with a type of
// that width adds them.
inline void add_bits(flatbuffers::FlatBufferBuilder& builder, flatbuffers::voffset_t field, size_t width, uint64_t bits) {
  builder.Align(width);
  builder.PushBytes(reinterpret_cast<const uint8_t*>(&bits), width);
  builder.TrackField(field, builder.GetSize());
}

// Buffers are allocated as NativeBuffer releases them. Stateless, so one instance serves every
// writer on every thread.
class BufferAllocator : public flatbuffers::Allocator {
 public:
  uint8_t* allocate(size_t size) override { return allocate_buffer(size); }
  void deallocate(uint8_t* p, size_t size) override { free_buffer(p, size); }
};

class TableWriter {
 public:
  // The builder rounds its blocks up to multiples of 8, the alignment of its widest scalar.
  explicit TableWriter(size_t capacity) : builder_(capacity, &allocator_) {}
  // The builder, for what is written through its public calls.
  flatbuffers::FlatBufferBuilder& builder() noexcept { return builder_; }
  // Finishes the buffer; `identifier` is four bytes (a NUL among them) or null.
  void finish(uoffset_t root, const uint8_t* identifier, bool size_prefix) { builder_.finish(root, identifier, size_prefix); }
  // Reserves n bytes in front of the written data and returns where they start; refuses to grow
  // past the format's 2 GiB before allocating.
  uint8_t* reserve_bytes(size_t n);
  // Refuses, before anything is written, an object of n bytes that would take the buffer past
  // 2 GiB (the builder's own check runs only after it has grown, with 32-bit sizes).
  void require_room(size_t n) const;
  // Whether n more bytes fit without passing the limit that require_room enforces.
  bool has_room(size_t n) const noexcept { return n <= FLATBUFFERS_MAX_BUFFER_SIZE - 16 - builder_.GetSize(); }
  // Ends the open table of `object`. What it checks the builder would otherwise only assert: no
  // vtable slot written twice, and a table body that 16-bit offsets can address. When every field
  // of the table is still queued, the body and its vtable are laid out and written at once (widths
  // ascending from the end, so that no gap is wider than the builder's own order would leave), and
  // the vtable is shared with an identical earlier one; else the builder ends the table itself.
  uoffset_t end_table(uoffset_t start, const ObjectWire& object);
  // The scalars, offsets and inline structs of the open table are queued and written together. An
  // item is written at once instead when the buffer might not have room for it below 2 GiB, so
  // that the limit is met at the same item as ever; flush() must precede any other write into the
  // buffer.
  void queue_scalar(flatbuffers::voffset_t field, const ScalarValue& value, const ScalarValue* default_value) {
    if (default_value != nullptr && value.equals(*default_value)) return;
    const auto width = static_cast<uint8_t>(scalar_width(value.kind));
    const uint64_t bits = scalar_bits(value);
    if (!queue(field, width, width, ItemKind::scalar, bits)) add_bits(builder_, field, width, bits);
  }
  // A table of scalars only, written at once when a table of its object with the same fields was
  // laid out before and everything fits; else 0, with nothing written. Items in field order.
  struct ScalarItem {
    flatbuffers::voffset_t field;
    uint8_t width;
    ScalarKind kind;
    uint64_t bits;  // little-endian, cut to the width when written
  };
  uoffset_t write_scalars(uoffset_t start, const ObjectWire& object, std::span<const ScalarItem> items);
  void queue_offset(flatbuffers::voffset_t field, uoffset_t offset);
  void queue_union_type(flatbuffers::voffset_t field, ScalarKind kind, uint64_t tag);
  // Room for an inline struct of `size` bytes to be encoded into, queued at `field`; nothing (after
  // a flush) when it must be written at once instead. Valid until the next call.
  std::optional<std::span<uint8_t>> queue_struct(flatbuffers::voffset_t field, size_t alignment, size_t size);
  void flush() {
    if (!queue_.empty()) write_queue();
  }
  uoffset_t create_string(std::string_view text) {
    require_room(text.size());
    return builder_.CreateString(text.data(), text.size()).o;
  }
  uoffset_t create_bytes(std::span<const uint8_t> bytes) {
    require_room(bytes.size());
    return builder_.CreateVector(bytes.data(), bytes.size()).o;
  }

 private:
  enum class ItemKind : uint8_t { scalar, offset, bytes };
  struct Queued {
    flatbuffers::voffset_t field;
    uint8_t align;  // a power of two up to 8
    ItemKind kind;
    uint32_t size;
    // scalar: little-endian at `size` bytes; offset: its target, resolved when written; bytes: where
    // they start in structs_
    uint64_t bits;
    uoffset_t field_size = 0;  // bytes from the buffer's end once written
  };
  // Queues an item when the buffer surely has room for everything queued; else flushes and says no.
  bool queue(flatbuffers::voffset_t field, uint8_t align, uint32_t size, ItemKind kind, uint64_t bits) {
    // Padding before the item, the item, and its field record in the scratch area.
    const size_t bound = queued_bound_ + size_t{align} + size + BuilderDoor::field_record_size;
    if (!has_room(bound)) [[unlikely]] {
      flush();
      return false;
    }
    queue_.push_back(Queued{field, align, kind, size, bits});
    queued_bound_ = bound;
    const unsigned slot = (field - 4u) >> 1;
    if (slot < 64) {
      queued_slots_ |= uint64_t{1} << slot;
    } else {
      queued_slots_ = uncached;
    }
    return true;
  }
  void write_queue();
  void write_item(const Queued& item, uint8_t* at) const;
  void reset_queue() noexcept {
    queue_.clear();
    structs_.clear();
    queued_bound_ = 0;
    queued_slots_ = 0;
  }
  // How the queued items of a table are laid out: each item's field_size, and what closes the body.
  struct Layout {
    size_t table;  // bytes from the buffer's end to the table's start
    size_t max_align;
    flatbuffers::voffset_t max_voffset;
  };
  Layout lay_out(uoffset_t start);
  uoffset_t write_table(uoffset_t start, const ObjectWire& object);

  // The layout of a table of one object with one set of fields present, starting at one alignment:
  // the same every time, so that it is worked out once per pack and the body's items and its
  // vtable copied into place after that.
  static constexpr size_t cached_items = 16;
  static constexpr size_t cached_vtable = 4 + 2 * 64;
  static constexpr uint64_t uncached = ~uint64_t{0};  // queued_slots_ of a table never cached
  // Left uninitialised until filed: layout_objects_ says which entries are.
  struct CachedLayout {
    uint64_t slots;
    uint64_t hash;  // of the vtable, as the vtable cache files it
    uint8_t start_align;  // the body's start, modulo 8
    uint8_t count;
    uint8_t max_align;
    uint16_t table_size;  // the body, its offset to the vtable included
    uint16_t vtable_size;
    std::array<uint16_t, cached_items> ends;  // each item's end, bytes above the body's start
    std::array<uint8_t, cached_vtable> vtable;
  };
  // The entry for a table of `object`: null when none is filed for these fields and start.
  size_t layout_index(const ObjectWire& object, uint64_t slots, uoffset_t start) const noexcept;
  const CachedLayout* find_layout(size_t index, const ObjectWire& object, uint64_t slots, uoffset_t start, size_t count) const noexcept {
    const CachedLayout& entry = layouts_[index];
    const bool found = layout_objects_[index] == &object && entry.slots == slots && entry.start_align == (start & 7) && entry.count == count;
    return found ? &entry : nullptr;
  }
  // Writes a table laid out as `entry` says, its items by write_items(body).
  template <class WriteItems>
  uoffset_t write_cached(const CachedLayout& entry, uoffset_t start, WriteItems write_items);
  // Lays the table out afresh; files the layout in `entry` when given.
  uoffset_t write_table_uncached(uoffset_t start, const ObjectWire& object, size_t entry = no_entry);
  static constexpr size_t no_entry = SIZE_MAX;
  static void require_addressable(size_t body, const ObjectWire& object);

  // The bytes written `offset` bytes from the buffer's end.
  const uint8_t* written_at(uoffset_t offset) {
    return flatbuffers::GetTemporaryPointer(builder_, flatbuffers::Offset<uint8_t>(offset));
  }

  static inline BufferAllocator allocator_{};
  BuilderDoor builder_;
  std::vector<Queued> queue_;
  std::vector<uint8_t> structs_;  // the queued structs' bytes
  size_t queued_bound_ = 0;  // the most bytes the queue can take, padding and field records included
  // Where recent vtables were written (bytes from the end), by a hash of their contents: a table
  // whose vtable is here already points to it instead of writing its own. 0 is empty.
  std::array<uoffset_t, 256> vtables_{};
  uint64_t queued_slots_ = 0;  // the slots (below 64) of the queued items; `uncached` past them
  std::array<const ObjectWire*, 32> layout_objects_{};  // whose table each entry of layouts_ holds
  std::array<CachedLayout, 32> layouts_;
};

}  // namespace quorvel::flatbuffer
