#include "msgpack/reader.hpp"

#include "py/text.hpp"

#include <bit>
#include <cstring>
#include <format>

namespace quorvel::msgpack {

Marker Marker::from_byte(uint8_t b) noexcept {
  if (b <= 0x7f) return {Family::FixPos, b};
  if (b <= 0x8f) return {Family::FixMap, static_cast<uint8_t>(b & 0x0f)};
  if (b <= 0x9f) return {Family::FixArray, static_cast<uint8_t>(b & 0x0f)};
  if (b <= 0xbf) return {Family::FixStr, static_cast<uint8_t>(b & 0x1f)};
  if (b >= 0xe0) return {Family::FixNeg, b};
  static constexpr Family table[] = {
      Family::Null, Family::Reserved, Family::False, Family::True,            // c0..c3
      Family::Bin8, Family::Bin16, Family::Bin32,                              // c4..c6
      Family::Ext8, Family::Ext16, Family::Ext32,                              // c7..c9
      Family::F32, Family::F64,                                                // ca..cb
      Family::U8, Family::U16, Family::U32, Family::U64,                       // cc..cf
      Family::I8, Family::I16, Family::I32, Family::I64,                       // d0..d3
      Family::FixExt1, Family::FixExt2, Family::FixExt4, Family::FixExt8, Family::FixExt16,  // d4..d8
      Family::Str8, Family::Str16, Family::Str32,                              // d9..db
      Family::Array16, Family::Array32, Family::Map16, Family::Map32,          // dc..df
  };
  return {table[b - 0xc0], 0};
}

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

void wrong_marker(Marker marker) { throw ReaderError{"wrong msgpack marker " + marker.name()}; }

void Reader::short_data() { throw ReaderError{"IO error while reading data: failed to fill whole buffer"}; }

Marker Reader::read_marker() {
  if (data_ == end_) throw ReaderError{"IO error while reading marker: failed to fill whole buffer"};
  return Marker::from_byte(*data_++);
}

template <class T>
T Reader::read_big_endian() {
  if (remaining() < sizeof(T)) short_data();
  T v;
  std::memcpy(&v, data_, sizeof v);
  data_ += sizeof v;
  return std::byteswap(v);
}

uint8_t Reader::read_u8() { return read_big_endian<uint8_t>(); }
uint16_t Reader::read_u16() { return read_big_endian<uint16_t>(); }
uint32_t Reader::read_u32() { return read_big_endian<uint32_t>(); }
uint64_t Reader::read_u64() { return read_big_endian<uint64_t>(); }

std::span<const uint8_t> Reader::read_payload(size_t length) {
  if (remaining() < length) throw ReaderError{"IO error while reading data: unexpected end of file"};
  std::span<const uint8_t> out(data_, length);
  data_ += length;
  return out;
}

Integer Reader::read_integer(Marker m) {
  auto from_signed = [](int64_t v) {
    return v < 0 ? Integer{true, 0, v} : Integer{false, static_cast<uint64_t>(v), 0};
  };
  switch (m.family) {
    case Family::FixPos: return {false, m.fix, 0};
    case Family::FixNeg: return from_signed(static_cast<int8_t>(m.fix));
    case Family::U8: return {false, read_u8(), 0};
    case Family::U16: return {false, read_u16(), 0};
    case Family::U32: return {false, read_u32(), 0};
    case Family::U64: return {false, read_u64(), 0};
    case Family::I8: return from_signed(static_cast<int8_t>(read_u8()));
    case Family::I16: return from_signed(static_cast<int16_t>(read_u16()));
    case Family::I32: return from_signed(static_cast<int32_t>(read_u32()));
    case Family::I64: return from_signed(static_cast<int64_t>(read_u64()));
    case Family::Null: case Family::False: case Family::True: case Family::F32: case Family::F64:
    case Family::FixStr: case Family::Str8: case Family::Str16: case Family::Str32:
    case Family::Bin8: case Family::Bin16: case Family::Bin32:
    case Family::FixArray: case Family::Array16: case Family::Array32:
    case Family::FixMap: case Family::Map16: case Family::Map32:
    case Family::FixExt1: case Family::FixExt2: case Family::FixExt4: case Family::FixExt8: case Family::FixExt16:
    case Family::Ext8: case Family::Ext16: case Family::Ext32: case Family::Reserved: break;
  }
  wrong_marker(m);
}

double Reader::read_float(Marker m) {
  if (m.family == Family::F32) return read_f32_data();
  if (m.family != Family::F64) wrong_marker(m);
  uint64_t bits = read_u64();
  return std::bit_cast<double>(bits);
}

uint32_t Reader::read_length(Marker m) {
  switch (m.family) {
    case Family::FixStr:
    case Family::FixArray:
    case Family::FixMap: return m.fix;
    case Family::Str8:
    case Family::Bin8:
    case Family::Ext8: return read_u8();
    case Family::Str16:
    case Family::Bin16:
    case Family::Array16:
    case Family::Map16:
    case Family::Ext16: return read_u16();
    case Family::Str32:
    case Family::Bin32:
    case Family::Array32:
    case Family::Map32:
    case Family::Ext32: return read_u32();
    case Family::FixExt1: return 1;
    case Family::FixExt2: return 2;
    case Family::FixExt4: return 4;
    case Family::FixExt8: return 8;
    case Family::FixExt16: return 16;
    case Family::FixPos: case Family::FixNeg: case Family::Null: case Family::False: case Family::True:
    case Family::U8: case Family::U16: case Family::U32: case Family::U64:
    case Family::I8: case Family::I16: case Family::I32: case Family::I64:
    case Family::F32: case Family::F64: case Family::Reserved: break;
  }
  wrong_marker(m);
}

std::string_view Reader::checked_text(std::span<const uint8_t> payload) {
  std::string_view s(reinterpret_cast<const char*>(payload.data()), payload.size());
  if (auto fault = text::utf8_fault(s); !fault.empty()) throw ReaderError{"string found to be invalid utf8: " + fault};
  return s;
}

MessagePackValue Reader::read_value(Marker m) {
  using K = MessagePackValue::Kind;
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
    if (m.is_bin()) {
      v.kind = K::Binary;
    } else if (invalid_text_ == InvalidText::report) {
      checked_text(payload);
      v.kind = K::String;
    } else {
      // The plan document keeps text that is not UTF-8 as its bytes.
      v.kind = text::is_utf8(v.bytes) ? K::String : K::Binary;
    }
  } else if (m.is_array() || m.is_map()) {
    uint32_t n = read_length(m);
    size_t count = m.is_map() ? size_t{n} * 2 : n;
    v.kind = m.is_map() ? K::Map : K::Array;
    Nesting nesting(*this);
    // Every element takes at least one byte, so a claimed length never reserves beyond the input.
    v.items.reserve(std::min<size_t>({count, remaining(), 1024}));
    for (size_t k = 0; k < count; ++k) v.items.push_back(read_value(read_marker()));
  } else if (m.is_ext()) {
    uint32_t n = read_length(m);
    Nesting nesting(*this);
    v.kind = K::Ext;
    v.ext_type = read_ext_type();
    auto payload = read_payload(n);
    v.bytes.assign(reinterpret_cast<const char*>(payload.data()), payload.size());
  } else {
    wrong_marker(m);
  }
  return v;
}

void Reader::skip_value(Marker m) {
  if (m.is_integer()) {
    read_integer(m);
  } else if (m.family == Family::Null || m.is_bool()) {
  } else if (m.is_float()) {
    read_float(m);
  } else if (m.is_str()) {
    auto payload = read_payload(read_length(m));
    if (invalid_text_ == InvalidText::report) checked_text(payload);
  } else if (m.is_bin()) {
    read_payload(read_length(m));
  } else if (m.is_array() || m.is_map()) {
    uint32_t n = read_length(m);
    size_t count = m.is_map() ? size_t{n} * 2 : n;
    Nesting nesting(*this);
    for (size_t k = 0; k < count; ++k) skip_value(read_marker());
  } else if (m.is_ext()) {
    uint32_t n = read_length(m);
    Nesting nesting(*this);
    read_ext_type();
    read_payload(n);
  } else {
    wrong_marker(m);
  }
}

}  // namespace quorvel::msgpack
