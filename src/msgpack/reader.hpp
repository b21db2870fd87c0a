// src/msgpack: MessagePack at the marker level, for the plan document and for documents of
// callers; knows no plan. value.hpp holds the generic value.
//
// A marker-level MessagePack pull reader, shared by the plan document reader and by the
// MessagePack side of decode_serde.
//
// The reader hands out one marker at a time and reads the data that follows it on request. Every
// failure, a misuse by the caller included, is a ReaderError carrying the text the callers show
// ("IO error while reading marker: ...", "wrong msgpack marker ...", "depth limit exceeded", ...),
// so that a hostile document can only ever produce the caller's own error.
#pragma once

#include "py/error.hpp"
#include "py/nesting.hpp"
#include "msgpack/value.hpp"
#include "py/text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel::msgpack {

enum class Family : uint8_t {
  FixPos, FixNeg, Null, False, True,
  U8, U16, U32, U64, I8, I16, I32, I64, F32, F64,
  FixStr, Str8, Str16, Str32, Bin8, Bin16, Bin32,
  FixArray, Array16, Array32, FixMap, Map16, Map32,
  FixExt1, FixExt2, FixExt4, FixExt8, FixExt16, Ext8, Ext16, Ext32,
  Reserved,
};

struct Marker {
  Family family;
  uint8_t fix;  // fixint value (FixNeg: two's complement byte), or fixstr/fixarray/fixmap length

  static Marker from_byte(uint8_t byte) noexcept;
  // Stands for a value the input ended before: every read of it fails as reading a marker there
  // would have.
  static constexpr Marker end_of_input() noexcept { return {Family::Reserved, 1}; }
  // The marker's name in messages: FixPos(3), FixNeg(-1), Str8, Reserved, ...
  std::string name() const;

  bool is_unsigned() const noexcept { return family == Family::FixPos || (family >= Family::U8 && family <= Family::U64); }
  bool is_signed() const noexcept { return family == Family::FixNeg || (family >= Family::I8 && family <= Family::I64); }
  bool is_integer() const noexcept { return is_unsigned() || is_signed(); }
  bool is_float() const noexcept { return family == Family::F32 || family == Family::F64; }
  bool is_bool() const noexcept { return family == Family::True || family == Family::False; }
  bool is_str() const noexcept { return family == Family::FixStr || (family >= Family::Str8 && family <= Family::Str32); }
  bool is_bin() const noexcept { return family >= Family::Bin8 && family <= Family::Bin32; }
  bool is_array() const noexcept { return family == Family::FixArray || family == Family::Array16 || family == Family::Array32; }
  bool is_map() const noexcept { return family == Family::FixMap || family == Family::Map16 || family == Family::Map32; }
  bool is_ext() const noexcept { return family >= Family::FixExt1 && family <= Family::Ext32; }
};

// A str whose bytes are not UTF-8 is a byte string, as writers older than the bin family stored
// binary data: read as a generic value it is Binary, and it is skipped like a bin.
class Reader {
 public:
  Reader(std::span<const uint8_t> input, uint16_t depth_limit) noexcept
      : data_(input.data()), end_(input.data() + input.size()), depth_(depth_limit, "depth limit exceeded") {}

  // One level of nesting for the contents of an array, map or ext read as such.
  struct Nesting : NestingBudget::Level {
    [[gnu::always_inline]] explicit Nesting(Reader& reader) : Level(reader.depth_) {}
  };

  size_t remaining() const noexcept { return static_cast<size_t>(end_ - data_); }

  Marker read_marker();

  // Data that follows a marker. Short input fails with the "reading data" texts.
  uint8_t read_u8();
  uint16_t read_u16();
  uint32_t read_u32();
  uint64_t read_u64();
  std::span<const uint8_t> read_payload(size_t length);
  // A fixstr (marker and payload) when one stands next and is whole; otherwise reads nothing and
  // returns false, leaving the general path to read (and report) whatever stands there. Map keys
  // are mostly fixstr: this reads them without forming a marker.
  bool read_fixstr(std::span<const uint8_t>& payload) noexcept {
    if (data_ == end_ || (*data_ & 0xe0) != 0xa0) return false;
    const size_t length = *data_ & 0x1f;
    if (remaining() - 1 < length) return false;
    payload = std::span<const uint8_t>(data_ + 1, length);
    data_ += 1 + length;
    return true;
  }

  // The input not yet read, [cursor(), limit()), for reading a known encoding where it stands;
  // seek(p) then goes on from p, which must lie in that range.
  const uint8_t* cursor() const noexcept { return data_; }
  const uint8_t* limit() const noexcept { return end_; }
  void seek(const uint8_t* p) noexcept { data_ = p; }

  // The integer, float or length that follows `marker` (which must be of the matching family).
  [[gnu::always_inline]] Integer read_integer(Marker marker);
  double read_float(Marker marker);  // a float 32 is widened exactly
  float read_f32_data() { uint32_t b = read_u32(); float f; __builtin_memcpy(&f, &b, 4); return f; }
  uint32_t read_length(Marker marker);  // str, bin, array, map and ext lengths
  int8_t read_ext_type() { return static_cast<int8_t>(read_u8()); }

  // "IO error while reading marker: ...": the input ended where a marker was due.
  [[noreturn]] static void short_marker();

  // Reads one whole value (after its marker) as a generic value.
  MessagePackValue read_value(Marker marker);
  // Reads one whole value (after its marker) and drops it; the value must be well-formed.
  void skip_value(Marker marker) {
    NoLog log;
    skip_value(marker, log);
  }
  // The same, telling `log` of the arrays and maps it walks over (the value itself included):
  // log.jump(start) may give where one that starts at `start` ends, and the skip goes on from there
  // without reading it; otherwise log.open(start) and, once it is read, log.close(end).
  template <class Log>
  void skip_value(Marker marker, Log& log);
  // Neither recurses: however deep the value, they take the same native stack.

 private:
  struct NoLog {
    static constexpr const uint8_t* jump(const uint8_t*) noexcept { return nullptr; }
    static constexpr void open(const uint8_t*) noexcept {}
    static constexpr void close(const uint8_t*) noexcept {}
  };
  template <class T>
  T read_big_endian();
  [[noreturn]] static void short_data();
  [[noreturn]] static void short_payload();
  void enter(size_t open) const;  // Nesting's check for a container inside `open` others of one read
  const uint8_t* data_;
  const uint8_t* end_;
  NestingBudget depth_;
};

[[noreturn]] void wrong_marker(Marker marker);

// The reads of every value, inline: they run once or more per element.

inline Marker Marker::from_byte(uint8_t b) noexcept {
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

inline Marker Reader::read_marker() {
  if (data_ == end_) [[unlikely]] short_marker();
  return Marker::from_byte(*data_++);
}

template <class T>
inline T Reader::read_big_endian() {
  if (remaining() < sizeof(T)) [[unlikely]] short_data();
  T v;
  std::memcpy(&v, data_, sizeof v);
  data_ += sizeof v;
  return std::byteswap(v);
}

inline uint8_t Reader::read_u8() { return read_big_endian<uint8_t>(); }
inline uint16_t Reader::read_u16() { return read_big_endian<uint16_t>(); }
inline uint32_t Reader::read_u32() { return read_big_endian<uint32_t>(); }
inline uint64_t Reader::read_u64() { return read_big_endian<uint64_t>(); }

inline std::span<const uint8_t> Reader::read_payload(size_t length) {
  if (remaining() < length) [[unlikely]] short_payload();
  std::span<const uint8_t> out(data_, length);
  data_ += length;
  return out;
}

inline Integer Reader::read_integer(Marker m) {
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

inline double Reader::read_float(Marker m) {
  if (m.family == Family::F32) return read_f32_data();
  if (m.family != Family::F64) wrong_marker(m);
  uint64_t bits = read_u64();
  return std::bit_cast<double>(bits);
}

inline uint32_t Reader::read_length(Marker m) {
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

template <class Log>
void Reader::skip_value(Marker m, Log& log) {
  // The count of the innermost open container is kept apart from the others, in a register.
  std::vector<size_t> outer;  // elements still to skip in the containers around the innermost
  size_t left = 0;            // elements still to skip in the innermost open container
  size_t open = 0;            // containers open
  while (true) {
    if (m.is_integer()) {
      read_integer(m);
    } else if (m.family == Family::Null || m.is_bool()) {
    } else if (m.is_float()) {
      read_float(m);
    } else if (m.is_str() || m.is_bin()) {
      read_payload(read_length(m));
    } else if (m.is_array() || m.is_map()) {
      const uint8_t* start = data_ - 1;
      if (const uint8_t* end = log.jump(start)) {
        data_ = end;
      } else {
        uint32_t n = read_length(m);
        size_t count = m.is_map() ? size_t{n} * 2 : n;
        enter(open);
        if (count != 0) {
          if (open != 0) outer.push_back(left);
          left = count;
          ++open;
          log.open(start);
          m = read_marker();
          continue;
        }
      }
    } else if (m.is_ext()) {
      uint32_t n = read_length(m);
      enter(open);
      read_ext_type();
      read_payload(n);
    } else {
      wrong_marker(m);
    }
    // One value skipped: it counts against its container, which may then be done in turn.
    while (open != 0 && --left == 0) {
      log.close(data_);
      if (--open != 0) {
        left = outer.back();
        outer.pop_back();
      }
    }
    if (open == 0) return;
    // Fixints, what long arrays mostly hold, are stepped over eight at a time and then one by one,
    // as long as the container holds more after them. A byte is a fixint unless its top three bits
    // are 100, 101 or 110: its high bit set and those bits not all ones.
    const size_t room = std::min(left - 1, static_cast<size_t>(end_ - data_));
    size_t k = 0;
    for (; k + 8 <= room; k += 8) {
      constexpr uint64_t highs = 0x8080808080808080, lows = 0x7f7f7f7f7f7f7f7f, tops = 0xe0e0e0e0e0e0e0e0;
      uint64_t x;
      std::memcpy(&x, data_ + k, sizeof x);
      const uint64_t not_all_ones = (x & tops) ^ tops;  // a zero byte where the top bits are 111
      if (x & highs & ((((not_all_ones & lows) + lows) | not_all_ones) & highs)) break;
    }
    while (k < room && static_cast<int8_t>(data_[k]) >= -32) ++k;
    data_ += k;
    left -= k;
    m = read_marker();
  }
}

}  // namespace quorvel::msgpack
