// The MessagePack source of decode_serde, over the reader of src/msgpack. A value is its marker,
// already read; the data that follows it is read on request. A bin read where a sequence is
// expected stands for the sequence of its bytes, each handed out as a positive fixint marker.
#pragma once

#include "msgpack/reader.hpp"
#include "msgpack/writer.hpp"
#include "py/text.hpp"
#include "serde/source.hpp"

#include <algorithm>
#include <bit>
#include <span>

namespace quorvel::serde {

class MsgpackSource {
 public:
  static constexpr bool json = false;
  static constexpr uint16_t depth_limit = 1024;
  using Value = msgpack::Marker;

  explicit MsgpackSource(std::span<const uint8_t> bytes) : r_(bytes, depth_limit, msgpack::InvalidText::report) {}

  Value next() { return r_.read_marker(); }
  size_t remaining() const noexcept { return r_.remaining(); }

  static ValueKind kind(const Value& v) {
    using msgpack::Family;
    if (v.is_unsigned()) return ValueKind::unsigned_integer;
    if (v.is_signed()) return ValueKind::signed_integer;
    if (v.is_float()) return ValueKind::floating;
    if (v.is_bool()) return ValueKind::boolean;
    if (v.is_str()) return ValueKind::string;
    if (v.is_bin()) return ValueKind::binary;
    if (v.is_array()) return ValueKind::array;
    if (v.is_map()) return ValueKind::map;
    if (v.is_ext()) return ValueKind::ext;
    if (v.family == Family::Null) return ValueKind::null;
    msgpack::wrong_marker(v);  // the reserved marker is no value at all
  }

  // A map key as handed to an entry, checked to be text (it fails as reading the key would have).
  static void checked_key(std::string_view key) {
    msgpack::Reader::checked_text(std::span(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
  }

  bool take_null(Value& v) noexcept { return v.family == msgpack::Family::Null; }

  // Entries of a map: entry(key, value) must consume the value. A short key comes unchecked: one
  // that equals a field's key byte for byte is text by construction, so the entry passes any other
  // through checked_key before it uses it.
  template <class Entry>
  void map(Value& v, std::string_view expecting, Entry&& entry) {
    if (!v.is_map()) fail_invalid_type(v, expecting);
    const uint32_t n = r_.read_length(v);
    msgpack::Reader::Nesting nesting(r_);
    for (uint32_t k = 0; k < n; ++k) {
      std::span<const uint8_t> fixstr;
      std::string_view name;
      if (r_.read_fixstr(fixstr)) {
        name = std::string_view(reinterpret_cast<const char*>(fixstr.data()), fixstr.size());
        // A key that ends the input fails as text before the missing value is reported.
        if (r_.remaining() == 0) [[unlikely]] checked_key(name);
      } else {
        Value key = next();
        name = text(key, expecting_string);
      }
      Value value = next();
      entry(name, value);
    }
  }

  // Elements of an array (or the bytes of a bin): start(bound) first, with a count that the input
  // can hold, then elem(value) for each element.
  template <class Start, class Elem>
  void seq(Value& v, std::string_view expecting, Start&& start, Elem&& elem) {
    if (v.is_array()) {
      const uint32_t n = r_.read_length(v);
      msgpack::Reader::Nesting nesting(r_);
      // Every element takes at least one byte.
      start(std::min<size_t>(n, r_.remaining()));
      for (uint32_t k = 0; k < n; ++k) {
        Value e = next();
        elem(e);
      }
      return;
    }
    if (v.is_bin()) {
      auto bytes = r_.read_payload(r_.read_length(v));
      start(bytes.size());
      for (uint8_t b : bytes) {
        Value e{msgpack::Family::FixPos, b};
        elem(e);
      }
      return;
    }
    fail_invalid_type(v, expecting);
  }

  bool boolean(Value& v) {
    if (!v.is_bool()) fail_invalid_type(v, expecting_boolean);
    return v.family == msgpack::Family::True;
  }

  // An integer (the caller checks its range), else the type error.
  [[gnu::always_inline]] msgpack::Integer integer(Value& v, std::string_view expecting) {
    if (v.family == msgpack::Family::FixPos) [[likely]] return {false, v.fix, 0};
    if (!v.is_integer()) fail_invalid_type(v, expecting);
    return r_.read_integer(v);
  }

  // A number as a double: integers and floats.
  // A float 64, the usual encoding, is read first without the general dispatch.
  [[gnu::always_inline]] double float64(Value& v, std::string_view expecting) {
    if (v.family == msgpack::Family::F64) [[likely]] return std::bit_cast<double>(r_.read_u64());
    return float64_other(v, expecting);
  }
  double float64_other(Value& v, std::string_view expecting) {
    if (v.is_float()) return r_.read_float(v);
    if (v.is_integer()) {
      auto n = r_.read_integer(v);
      return n.negative ? static_cast<double>(n.i) : static_cast<double>(n.u);
    }
    fail_invalid_type(v, expecting);
  }

  // A str, or a bin holding UTF-8.
  std::string_view text(Value& v, std::string_view expecting) {
    if (v.is_str()) return msgpack::Reader::checked_text(r_.read_payload(r_.read_length(v)));
    if (v.is_bin()) {
      auto payload = r_.read_payload(r_.read_length(v));
      std::string_view s(reinterpret_cast<const char*>(payload.data()), payload.size());
      if (!text::is_utf8(s)) invalid_value("byte array", expecting);
      return s;
    }
    fail_invalid_type(v, expecting);
  }

  // A scalar of any kind; containers, bins and exts are left unread (the caller refuses them).
  Scalar scalar(Value& v) {
    Scalar s;
    s.kind = kind(v);
    switch (s.kind) {
      case ValueKind::null: break;
      case ValueKind::boolean: s.b = v.family == msgpack::Family::True; break;
      case ValueKind::unsigned_integer: s.u = r_.read_integer(v).u; break;
      case ValueKind::signed_integer: s.i = r_.read_integer(v).i; break;
      case ValueKind::floating: s.d = r_.read_float(v); break;
      case ValueKind::string: s.s = msgpack::Reader::checked_text(r_.read_payload(r_.read_length(v))); break;
      case ValueKind::binary:
      case ValueKind::array:
      case ValueKind::map:
      case ValueKind::ext: break;
    }
    return s;
  }

  msgpack::MessagePackValue generic(Value& v) { return r_.read_value(v); }
  void skip(Value& v) { r_.skip_value(v); }
  // The value written again in compact form.
  std::string capture(Value& v) {
    std::string out;
    msgpack::write_value(r_.read_value(v), out);
    return out;
  }

  // "invalid type: {}, expected {}", describing the value (and reading what the description needs).
  [[noreturn]] void fail_invalid_type(Value& v, std::string_view expecting);

 private:
  msgpack::Reader r_;
};

}  // namespace quorvel::serde
