// The table writer: queued fields laid out and written with their table in one block, layouts
// cached per object and field set, vtables shared.
#include "flatbuffer/table_writer.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quorvel::flatbuffer {

uoffset_t TableWriter::end_table(uoffset_t start, const ObjectWire& object) {
  // Written at once only when nothing of the table is in the buffer yet.
  if (builder_.tracked_fields() == 0 && builder_.GetSize() == start && object.distinct_slots) return write_table(start, object);
  flush();
  if (!object.distinct_slots) {
    if (const flatbuffers::voffset_t field = builder_.repeated_field()) {
      fail(PyExc_ValueError, "native table {} writes vtable slot {} twice", object.name, (field - 4) / 2);
    }
  }
  require_addressable(builder_.GetSize() - start, object);
  return builder_.EndTable(start);
}

void TableWriter::require_addressable(size_t body, const ObjectWire& object) {
  // The body so far, plus the alignment and the offset to the vtable that ending the table adds.
  if (body + 7 >= 0x10000) {
    fail(PyExc_ValueError, "native table {} exceeds the 64 KiB that a FlatBuffers table can address", object.name);
  }
}

TableWriter::Layout TableWriter::lay_out(uoffset_t start) {
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

size_t TableWriter::layout_index(const ObjectWire& object, uint64_t slots, uoffset_t start) const noexcept {
  const uint64_t key = (reinterpret_cast<uintptr_t>(&object) >> 4) * 0x9e3779b97f4a7c15ULL ^ slots * 0xbf58476d1ce4e5b9ULL ^ (start & 7);
  return (key ^ key >> 32) % layouts_.size();
}

template <class WriteItems>
uoffset_t TableWriter::write_cached(const CachedLayout& entry, uoffset_t start, WriteItems write_items) {
  const size_t vtable_size = entry.vtable_size;
  const size_t table_size = entry.table_size;
  const auto table = static_cast<uoffset_t>(start + table_size);
  uoffset_t& cached = vtables_[entry.hash % vtables_.size()];
  const bool shared = cached != 0 && flatbuffers::ReadScalar<flatbuffers::voffset_t>(written_at(cached)) == vtable_size &&
                      std::memcmp(written_at(cached), entry.vtable.data(), vtable_size) == 0;
  uint8_t* body;
  uoffset_t vtable_at;
  if (shared) {
    body = builder_.make_space(table_size);
    vtable_at = cached;
  } else {
    uint8_t* vtable = builder_.make_space(table_size + vtable_size);
    std::memcpy(vtable, entry.vtable.data(), vtable_size);
    body = vtable + vtable_size;
    vtable_at = static_cast<uoffset_t>(table + vtable_size);
  }
  std::memset(body, 0, table_size);
  write_items(body);
  cached = vtable_at;
  flatbuffers::WriteScalar(body, static_cast<flatbuffers::soffset_t>(vtable_at) - static_cast<flatbuffers::soffset_t>(table));
  builder_.close_table(entry.max_align);
  return table;
}

uoffset_t TableWriter::write_table(uoffset_t start, const ObjectWire& object) {
  const uint64_t slots = queued_slots_;
  if (slots == uncached || queue_.size() > cached_items) return write_table_uncached(start, object);
  const size_t index = layout_index(object, slots, start);
  const CachedLayout* found = find_layout(index, object, slots, start, queue_.size());
  if (found == nullptr) return write_table_uncached(start, object, index);
  const CachedLayout& entry = *found;
  // The same fields as a table laid out before: its size was checked then, its room is now.
  if (!has_room(entry.table_size + entry.vtable_size)) [[unlikely]] {
    flush();
    return builder_.EndTable(start);
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

uoffset_t TableWriter::write_scalars(uoffset_t start, const ObjectWire& object, std::span<const ScalarItem> items) {
  if (!queue_.empty() || builder_.tracked_fields() != 0 || builder_.GetSize() != start || !object.distinct_slots || items.size() > cached_items) {
    return 0;
  }
  uint64_t slots = 0;
  size_t bound = 0;  // what queueing them would have required room for
  for (const ScalarItem& item : items) {
    const unsigned slot = (item.field - 4u) >> 1;
    if (slot >= 64) return 0;
    slots |= uint64_t{1} << slot;
    bound += 2 * size_t{item.width} + BuilderDoor::field_record_size;
  }
  const CachedLayout* found = find_layout(layout_index(object, slots, start), object, slots, start, items.size());
  if (found == nullptr) return 0;
  const CachedLayout& entry = *found;
  if (!has_room(bound) || !has_room(entry.table_size + entry.vtable_size)) return 0;
  return write_cached(entry, start, [&](uint8_t* body) {
    for (size_t i = 0; i < items.size(); ++i) {
      uint8_t* at = body + (entry.table_size - entry.ends[i]);
      store_bits(at, items[i].width, items[i].bits);
    }
  });
}

uoffset_t TableWriter::write_table_uncached(uoffset_t start, const ObjectWire& object, size_t index) {
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
    return builder_.EndTable(start);
  }
  uint8_t* vtable = builder_.make_space(total);
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
    const uint8_t* earlier = written_at(cached);
    if (flatbuffers::ReadScalar<flatbuffers::voffset_t>(earlier) == vtable_size &&
        std::memcmp(earlier, vtable, vtable_size) == 0) {
      builder_.PopBytes(vtable_size);
      vtable_at = cached;
    }
  }
  cached = vtable_at;
  flatbuffers::WriteScalar(body, static_cast<flatbuffers::soffset_t>(vtable_at) - static_cast<flatbuffers::soffset_t>(table));
  builder_.close_table(layout.max_align);
  reset_queue();
  return table;
}

void TableWriter::queue_offset(flatbuffers::voffset_t field, uoffset_t offset) {
  if (offset == 0) return;  // as AddOffset: a null offset is not stored
  if (!queue(field, sizeof(uoffset_t), sizeof(uoffset_t), ItemKind::offset, offset)) {
    builder_.AddOffset(field, flatbuffers::Offset<void>(offset));
  }
}

void TableWriter::queue_union_type(flatbuffers::voffset_t field, ScalarKind kind, uint64_t tag) {
  const auto width = static_cast<uint8_t>(scalar_width(kind));
  if (width < 8) tag &= (uint64_t{1} << (8 * width)) - 1;  // cut to the width, as written
  if (tag == 0) return;  // the type's default, which AddElement leaves out
  if (!queue(field, width, width, ItemKind::scalar, tag)) add_bits(builder_, field, width, tag);
}

std::optional<std::span<uint8_t>> TableWriter::queue_struct(flatbuffers::voffset_t field, size_t alignment, size_t size) {
  const size_t at = structs_.size();
  if (!queue(field, static_cast<uint8_t>(alignment), static_cast<uint32_t>(size), ItemKind::bytes, at)) return std::nullopt;
  structs_.resize(at + size);
  return std::span(structs_).subspan(at);
}

inline void TableWriter::write_item(const Queued& item, uint8_t* at) const {
  switch (item.kind) {
    case ItemKind::scalar: store_bits(at, item.size, item.bits); break;
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

void TableWriter::write_queue() {
  // In queue order, laid out as pushing the items one by one lays them out.
  const size_t start = builder_.GetSize();
  size_t size = start;
  for (Queued& item : queue_) {
    builder_.TrackMinAlign(item.align);
    size += flatbuffers::PaddingBytes(size, item.align) + item.size;
    item.field_size = static_cast<uoffset_t>(size);
  }
  uint8_t* base = builder_.make_space(size - start);  // the lowest address; `size` bytes from the end
  std::memset(base, 0, size - start);
  for (const Queued& item : queue_) {
    write_item(item, base + (size - item.field_size));
    builder_.TrackField(item.field, item.field_size);
  }
  reset_queue();
}

void TableWriter::require_room(size_t n) const {
  // 16 more for the length prefix, terminator and alignment that come with the object.
  if (n > FLATBUFFERS_MAX_BUFFER_SIZE - 16 - builder_.GetSize()) throw InternalFailure("cannot grow buffer beyond 2 gigabytes");
}

uint8_t* TableWriter::reserve_bytes(size_t n) {
  require_room(n);
  return builder_.make_space(n);
}
}  // namespace quorvel::flatbuffer
