#include "msgpack/reader.hpp"

#include "py/text.hpp"

#include <bit>
#include <cstring>
#include <format>
#include <vector>

namespace quorvel::msgpack {

std::string Marker::name() const {
  switch (family) {
    case Family::FixPos: return std::format("FixPos({})", fix);
    case Family::FixNeg: return std::format("FixNeg({})", static_cast<int8_t>(fix));
    case Family::Null: return "Null";
    case Family::False: return "False";
    case Family::True: return "True";
    case Family::U8: return "U8";
    case Family::U16: return "U16";
    case Family::U32: return "U32";
    case Family::U64: return "U64";
    case Family::I8: return "I8";
    case Family::I16: return "I16";
    case Family::I32: return "I32";
    case Family::I64: return "I64";
    case Family::F32: return "F32";
    case Family::F64: return "F64";
    case Family::FixStr: return std::format("FixStr({})", fix);
    case Family::Str8: return "Str8";
    case Family::Str16: return "Str16";
    case Family::Str32: return "Str32";
    case Family::Bin8: return "Bin8";
    case Family::Bin16: return "Bin16";
    case Family::Bin32: return "Bin32";
    case Family::FixArray: return std::format("FixArray({})", fix);
    case Family::Array16: return "Array16";
    case Family::Array32: return "Array32";
    case Family::FixMap: return std::format("FixMap({})", fix);
    case Family::Map16: return "Map16";
    case Family::Map32: return "Map32";
    case Family::FixExt1: return "FixExt1";
    case Family::FixExt2: return "FixExt2";
    case Family::FixExt4: return "FixExt4";
    case Family::FixExt8: return "FixExt8";
    case Family::FixExt16: return "FixExt16";
    case Family::Ext8: return "Ext8";
    case Family::Ext16: return "Ext16";
    case Family::Ext32: return "Ext32";
    case Family::Reserved: return "Reserved";
  }
  return "Reserved";
}

void wrong_marker(Marker marker) {
  if (marker.family == Family::Reserved && marker.fix == Marker::end_of_input().fix) Reader::short_marker();
  throw ReaderError{"wrong msgpack marker " + marker.name()};
}

void Reader::short_marker() { throw ReaderError{"IO error while reading marker: failed to fill whole buffer"}; }
void Reader::short_data() { throw ReaderError{"IO error while reading data: failed to fill whole buffer"}; }
void Reader::short_payload() { throw ReaderError{"IO error while reading data: unexpected end of file"}; }

// Nesting's check, for a container that a whole-value read opens inside `open` containers of its
// own (each has taken a level).
void Reader::enter(size_t open) const {
  depth_.require(open + 1);
}

// Both whole-value reads walk the value with an explicit stack, never the native one: a value may
// nest as deep as the depth limit allows, and the thread reading it may have a small stack. The
// reads, checks and errors come in document order, as a recursive descent would meet them.

MessagePackValue Reader::read_value(Marker m) {
  using K = MessagePackValue::Kind;
  // The containers being filled, innermost last, with the elements each still expects.
  struct Filling {
    MessagePackValue value;
    size_t left;
  };
  std::vector<Filling> open;
  while (true) {
    MessagePackValue v;
    if (m.is_integer()) {
      Integer n = read_integer(m);
      v.kind = K::Integer;
      v.negative = n.negative;
      v.u = n.u;
      v.i = n.i;
    } else if (m.family == Family::Null) {
      v.kind = K::Nil;
    } else if (m.is_bool()) {
      v.kind = K::Boolean;
      v.boolean = m.family == Family::True;
    } else if (m.family == Family::F32) {
      v.kind = K::F32;
      v.f32 = read_f32_data();
    } else if (m.family == Family::F64) {
      v.kind = K::F64;
      v.f64 = read_float(m);
    } else if (m.is_str() || m.is_bin()) {
      auto payload = read_payload(read_length(m));
      v.bytes.assign(reinterpret_cast<const char*>(payload.data()), payload.size());
      v.kind = m.is_str() && text::is_utf8(v.bytes) ? K::String : K::Binary;
    } else if (m.is_array() || m.is_map()) {
      uint32_t n = read_length(m);
      size_t count = m.is_map() ? size_t{n} * 2 : n;
      v.kind = m.is_map() ? K::Map : K::Array;
      enter(open.size());
      if (count != 0) {
        // Every element takes at least one byte, so a claimed length never reserves beyond the input.
        v.items.reserve(std::min<size_t>({count, remaining(), 1024}));
        open.push_back(Filling{std::move(v), count});
        m = read_marker();
        continue;
      }
    } else if (m.is_ext()) {
      uint32_t n = read_length(m);
      enter(open.size());
      v.kind = K::Ext;
      v.ext_type = read_ext_type();
      auto payload = read_payload(n);
      v.bytes.assign(reinterpret_cast<const char*>(payload.data()), payload.size());
    } else {
      wrong_marker(m);
    }
    // `v` is whole: it fills its container, which may then be whole in turn.
    while (!open.empty()) {
      Filling& top = open.back();
      top.value.items.push_back(std::move(v));
      if (--top.left != 0) break;
      v = std::move(top.value);
      open.pop_back();
    }
    if (open.empty()) return v;
    m = read_marker();
  }
}

}  // namespace quorvel::msgpack
