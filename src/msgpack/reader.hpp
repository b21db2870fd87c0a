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
#include "msgpack/value.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

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

// An integer as read: non-negative values in `u`, negative ones in `i`.
struct Integer {
  bool negative = false;
  uint64_t u = 0;
  int64_t i = 0;
  std::string render() const { return negative ? std::to_string(i) : std::to_string(u); }
};

// What a str whose bytes are not UTF-8 becomes when read as a generic value or skipped. The plan
// document keeps its bytes (as Binary); documents of callers report it.
enum class InvalidText : uint8_t { keep_bytes, report };

class Reader {
 public:
  Reader(std::span<const uint8_t> input, uint16_t depth_limit, InvalidText invalid_text = InvalidText::report) noexcept
      : data_(input.data()), end_(input.data() + input.size()), depth_(depth_limit), invalid_text_(invalid_text) {}

  // One level of nesting for the contents of an array, map or ext read as such; the level is
  // given back when the guard goes out of scope, on every way out.
  class Nesting {
   public:
    explicit Nesting(Reader& reader) : reader_(reader) {
      if (reader_.depth_ <= 1) throw ReaderError{"depth limit exceeded"};
      --reader_.depth_;
    }
    ~Nesting() { ++reader_.depth_; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

   private:
    Reader& reader_;
  };

  size_t position(const uint8_t* start) const noexcept { return static_cast<size_t>(data_ - start); }
  size_t remaining() const noexcept { return static_cast<size_t>(end_ - data_); }

  Marker read_marker();

  // Data that follows a marker. Short input fails with the "reading data" texts.
  uint8_t read_u8();
  uint16_t read_u16();
  uint32_t read_u32();
  uint64_t read_u64();
  std::span<const uint8_t> read_payload(size_t length);

  // The integer, float or length that follows `marker` (which must be of the matching family).
  Integer read_integer(Marker marker);
  double read_float(Marker marker);  // a float 32 is widened exactly
  float read_f32_data() { uint32_t b = read_u32(); float f; __builtin_memcpy(&f, &b, 4); return f; }
  uint32_t read_length(Marker marker);  // str, bin, array, map and ext lengths
  int8_t read_ext_type() { return static_cast<int8_t>(read_u8()); }

  // The text of a str payload: its bytes when they are UTF-8; otherwise "string found to be
  // invalid utf8: ..." (a ReaderError).
  static std::string_view checked_text(std::span<const uint8_t> payload);

  // Reads one whole value (after its marker) as a generic value.
  MessagePackValue read_value(Marker marker);
  // Reads one whole value (after its marker) and drops it; the value must be well-formed.
  void skip_value(Marker marker);

 private:
  template <class T>
  T read_big_endian();
  [[noreturn]] static void short_data();
  const uint8_t* data_;
  const uint8_t* end_;
  uint16_t depth_;
  InvalidText invalid_text_;
};

[[noreturn]] void wrong_marker(Marker marker);

}  // namespace quorvel::msgpack
