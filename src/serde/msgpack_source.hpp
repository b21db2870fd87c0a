// The MessagePack source of decode_serde, over the reader of src/msgpack. A value is its marker,
// already read; the data that follows it is read on request. A bin read where a sequence is
// expected stands for the sequence of its bytes, each handed out as a positive fixint marker.
//
// A str whose bytes are not UTF-8 is a byte string, as older writers stored binary data: it is
// read, skipped, kept and refused exactly as a bin holding the same bytes.
#pragma once

#include "msgpack/reader.hpp"
#include "msgpack/writer.hpp"
#include "plan/scalar.hpp"
#include "py/ref.hpp"
#include "py/text.hpp"
#include "serde/kept_ends.hpp"
#include "serde/source.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace quorvel::serde {

// Where the arrays and maps inside kept values end, by byte position (see kept_ends.hpp): one
// document has one, shared by the sources that read its kept values again.
using MsgpackKeptEnds = KeptEnds<const uint8_t*>;

class MsgpackSource {
 public:
  static constexpr bool json = false;
  static constexpr uint16_t depth_limit = 1024;
  using Value = msgpack::Marker;

  // A value captured whole for a later read: its bytes as they stand in the input.
  using Capture = std::span<const uint8_t>;

  // A value is noted when 64 units or more of it lie outside the values noted inside it: its own
  // bytes, and one for each of those (see kept_ends.hpp).
  static constexpr size_t kept_min_bytes = 64;

  // A source over a whole document; `kept` takes the notes of the values it keeps.
  MsgpackSource(std::span<const uint8_t> bytes, MsgpackKeptEnds& kept) : MsgpackSource(bytes, kept, false) {}
  // A source over a value kept from a document whose notes are `kept`: it jumps over them.
  static MsgpackSource rereading(Capture value, MsgpackKeptEnds& kept) { return MsgpackSource(value, kept, true); }

  Value next() { return r_.read_marker(); }
  MsgpackKeptEnds& kept() noexcept { return kept_; }
  size_t remaining() const noexcept { return r_.remaining(); }

  // The kind as the visitors see it (a str's bytes are looked at, not read).
  ValueKind kind(const Value& v) const {
    using msgpack::Family;
    if (v.is_unsigned()) return ValueKind::unsigned_integer;
    if (v.is_signed()) return ValueKind::signed_integer;
    if (v.is_float()) return ValueKind::floating;
    if (v.is_bool()) return ValueKind::boolean;
    if (v.is_str()) return is_text(v) ? ValueKind::string : ValueKind::binary;
    if (v.is_bin()) return ValueKind::binary;
    if (v.is_array()) return ValueKind::array;
    if (v.is_map()) return ValueKind::map;
    if (v.is_ext()) return ValueKind::ext;
    if (v.family == Family::Null) return ValueKind::null;
    msgpack::wrong_marker(v);  // the reserved marker is no value at all
  }

  // A map key as handed to an entry, checked to be text (it fails as reading the key would have).
  static void checked_key(std::string_view key) { (void)text_of(key, expecting_string); }

  bool take_null(Value& v) noexcept { return v.family == msgpack::Family::Null; }

  // Entries of a map: entry(key, value) must consume the value. A short key comes unchecked: one
  // that equals a field's key byte for byte is text by construction, so the entry passes any other
  // through checked_key before it uses it.
  //
  // An entry that also says which key it expects next (entry.expected(), a KeyProbe or null) has
  // that key compared where it stands. When it is there, entry.in_place(p, end) may read the value
  // at p itself (advancing p; it reads nothing and returns false when it does not), else
  // entry.matched(value) gets it as usual. Between reads of the reader the position is kept in a
  // local, which the common entries then never store.
  template <class Entry>
  void map(Value& v, std::string_view expecting, Entry&& entry) {
    if (!v.is_map()) fail_invalid_type(v, expecting);
    const uint32_t n = v.family == msgpack::Family::FixMap ? v.fix : r_.read_length(v);
    msgpack::Reader::Nesting nesting(r_);
    if constexpr (requires { entry.expected(); }) {
      const uint8_t* p = r_.cursor();
      const uint8_t* const end = r_.limit();
      for (uint32_t k = 0; k < n; ++k) {
        const KeyProbe* probe = entry.expected();
        if (probe != nullptr && key_at(p, end, *probe)) [[likely]] {
          const uint8_t* q = p + 1 + probe->text.size();
          if (entry.in_place(q, end)) [[likely]] {
            p = q;
            continue;
          }
          r_.seek(q);
          Value value = next();
          entry.matched(value);
        } else {
          r_.seek(p);
          next_entry(entry);
        }
        p = r_.cursor();
      }
      r_.seek(p);
    } else {
      for (uint32_t k = 0; k < n; ++k) next_entry(entry);
    }
  }

  // Whether the fixstr `probe` stands at p (which is before `end`); compared in two words, so only
  // where 17 bytes are left (nearer the end the general path reads the key).
  [[gnu::always_inline]] static bool key_at(const uint8_t* p, const uint8_t* end, const KeyProbe& probe) noexcept {
    if (!probe.wide || end - p < static_cast<ptrdiff_t>(1 + sizeof probe.words)) return false;
    if (*p != static_cast<uint8_t>(0xa0 | probe.text.size())) return false;
    return probe.starts(p + 1);
  }

  // Reads of a value where it stands, for entry.in_place: each takes the usual encodings of its
  // kind when they lie whole before `end`, advances p past the value and returns true; otherwise
  // it reads nothing and returns false, and the general path reads (and reports) the value.
  [[gnu::always_inline]] static bool f64_at(const uint8_t*& p, const uint8_t* end, double& out) noexcept {
    if (end - p < 9 || *p != 0xcb) return false;
    uint64_t bits;
    std::memcpy(&bits, p + 1, sizeof bits);
    out = std::bit_cast<double>(std::byteswap(bits));
    p += 9;
    return true;
  }
  // An integer within the range (others are read and refused by the general path).
  [[gnu::always_inline]] static bool integer_at(const uint8_t*& p, const uint8_t* end, IntegerRange range,
                                                Integer& out) noexcept {
    if (p == end) return false;
    const uint8_t b = *p;
    if (b <= 0x7f || b >= 0xe0) {
      out = b <= 0x7f ? Integer{false, b, 0} : Integer{true, 0, static_cast<int8_t>(b)};
      if (!range.holds(out.negative, out.i, out.u)) return false;
      p += 1;
      return true;
    }
    if (b < 0xcc || b > 0xd3) return false;
    const size_t width = size_t{1} << (b & 3);  // cc..cf unsigned, d0..d3 signed, of 1, 2, 4, 8 bytes
    if (static_cast<size_t>(end - p) <= width) return false;
    auto big = [&]<class T> {
      T v;
      std::memcpy(&v, p + 1, sizeof v);
      return std::byteswap(v);
    };
    const uint64_t raw = width == 1   ? p[1]
                         : width == 2 ? big.template operator()<uint16_t>()
                         : width == 4 ? big.template operator()<uint32_t>()
                                      : big.template operator()<uint64_t>();
    if (b <= 0xcf) {
      out = {false, raw, 0};
    } else {
      // Sign-extended from its width, as the reader reads it.
      const int shift = static_cast<int>(64 - 8 * width);
      const int64_t v = static_cast<int64_t>(raw << shift) >> shift;
      out = v < 0 ? Integer{true, 0, v} : Integer{false, static_cast<uint64_t>(v), 0};
    }
    if (!range.holds(out.negative, out.i, out.u)) return false;
    p += 1 + width;
    return true;
  }
  [[gnu::always_inline]] static bool bool_at(const uint8_t*& p, const uint8_t* end, bool& out) noexcept {
    if (p == end || (*p & 0xfe) != 0xc2) return false;
    out = *p == 0xc3;
    p += 1;
    return true;
  }
  // A fixstr or str 8 of ASCII text (other text takes the general path and its UTF-8 check).
  [[gnu::always_inline]] static bool ascii_at(const uint8_t*& p, const uint8_t* end, std::string_view& out) noexcept {
    if (p == end) return false;
    size_t head = 1;
    size_t length = 0;
    if ((*p & 0xe0) == 0xa0) {
      length = *p & 0x1f;
    } else if (*p == 0xd9 && end - p >= 2) {
      head = 2;
      length = p[1];
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) - head < length) return false;
    std::string_view s(reinterpret_cast<const char*>(p + head), length);
    if (!text::is_ascii(s)) return false;
    out = s;
    p += head + length;
    return true;
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
    if (is_bytes(v)) {
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
  [[gnu::always_inline]] Integer integer(Value& v, std::string_view expecting) {
    if (v.family == msgpack::Family::FixPos) [[likely]] return {false, v.fix, 0};
    if (!v.is_integer()) fail_invalid_type(v, expecting);
    const msgpack::Integer n = r_.read_integer(v);
    return {n.negative, n.u, n.i};
  }

  // A number as a double: integers and floats.
  // A float 64, the usual encoding, is read first without the general dispatch.
  [[gnu::always_inline]] double float64(Value& v, std::string_view expecting) {
    if (v.family == msgpack::Family::F64) [[likely]] return std::bit_cast<double>(r_.read_u64());
    return float64_other(v, expecting);
  }
  // A number as a float: an integer rounds to the nearest float once, not through a double.
  float float32(Value& v, std::string_view expecting) {
    if (v.is_integer()) {
      const msgpack::Integer n = r_.read_integer(v);
      return n.negative ? static_cast<float>(n.i) : static_cast<float>(n.u);
    }
    return static_cast<float>(float64(v, expecting));
  }
  double float64_other(Value& v, std::string_view expecting) {
    if (v.is_float()) return r_.read_float(v);
    if (v.is_integer()) {
      auto n = r_.read_integer(v);
      return n.negative ? static_cast<double>(n.i) : static_cast<double>(n.u);
    }
    fail_invalid_type(v, expecting);
  }

  // A str or a bin holding UTF-8.
  [[gnu::always_inline]] std::string_view text(Value& v, std::string_view expecting) {
    if (!v.is_str() && !v.is_bin()) [[unlikely]] fail_invalid_type(v, expecting);
    auto payload = r_.read_payload(r_.read_length(v));
    return text_of(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()), expecting);
  }

  // A scalar of any kind; containers, bins and exts are left unread (the caller refuses them).
  Scalar scalar(Value& v) {
    Scalar s;
    s.kind = kind(v);
    switch (s.kind) {
      case ValueKind::null: break;
      case ValueKind::boolean: s.b = v.family == msgpack::Family::True; break;
      case ValueKind::unsigned_integer:
      case ValueKind::signed_integer: {
        // By its value, not its marker: writers put non-negative values under signed markers too.
        const msgpack::Integer n = r_.read_integer(v);
        s.kind = n.negative ? ValueKind::signed_integer : ValueKind::unsigned_integer;
        s.u = n.u;
        s.i = n.i;
        break;
      }
      case ValueKind::floating: s.d = r_.read_float(v); break;
      case ValueKind::string: s.s = as_text(r_.read_payload(r_.read_length(v))); break;
      case ValueKind::binary:
      case ValueKind::array:
      case ValueKind::map:
      case ValueKind::ext: break;
    }
    return s;
  }

  msgpack::MessagePackValue generic(Value& v) { return r_.read_value(v); }
  void skip(Value& v) { walk(v, false); }
  // The value written again in compact form (what a fallback decoder is handed).
  std::string reencode(Value& v) {
    std::string out;
    msgpack::write_value(r_.read_value(v), out);
    return out;
  }
  // The value's own bytes, checked as a skip checks them; `v` is the marker read last.
  Capture capture(Value& v) { return walk(v, true); }
  // A bin, or a str that is no text, where a sequence is expected: its bytes.
  bool is_bytes(const Value& v) const { return v.is_bin() || (v.is_str() && !is_text(v)); }
  std::span<const uint8_t> bytes(Value& v) { return r_.read_payload(r_.read_length(v)); }

  // "invalid type: {}, expected {}", describing the value (and reading what the description needs).
  [[noreturn]] void fail_invalid_type(Value& v, std::string_view expecting);

 private:
  MsgpackSource(std::span<const uint8_t> bytes, MsgpackKeptEnds& kept, bool rereading)
      : r_(bytes, depth_limit), kept_(kept), rereading_(rereading) {}

  // What a skip of a value kept by the document's own reader tells (see Reader::skip_value): the
  // arrays and maps to note.
  struct Noting : MsgpackKeptEnds::Noting {
    explicit Noting(MsgpackKeptEnds& kept) noexcept : MsgpackKeptEnds::Noting(kept, kept_min_bytes) {}
    static constexpr const uint8_t* jump(const uint8_t*) noexcept { return nullptr; }
  };

  // What a skip inside a kept value tells: the noted arrays and maps to jump over.
  struct Jumping {
    const MsgpackKeptEnds& kept;
    size_t jumped_bytes = 0;
    size_t jumps = 0;

    const uint8_t* jump(const uint8_t* start) noexcept {
      const uint8_t* end = kept.end_of(start);
      if (end != nullptr) {
        jumped_bytes += static_cast<size_t>(end - start);
        ++jumps;
      }
      return end;
    }
    static constexpr void open(const uint8_t*) noexcept {}
    static constexpr void close(const uint8_t*) noexcept {}
  };

  // Steps over the value of marker `v` (read last) and returns its bytes. Inside a kept value the
  // walk jumps over what was noted when that value was kept; a value kept by the document's own
  // reader (`keep`) has what it holds noted.
  Capture walk(Value& v, bool keep) {
    const uint8_t* start = r_.cursor() - 1;
    size_t jumped_bytes = 0;
    if (rereading_ && !kept_.empty()) {
      Jumping log{kept_};
      r_.skip_value(v, log);
      jumped_bytes = log.jumped_bytes;
      count_jumps(log.jumps);
    } else if (keep && !rereading_ && (v.is_array() || v.is_map())) {
      Noting log(kept_);
      r_.skip_value(v, log);
      count_notes(log.finish());
    } else {
      r_.skip_value(v);
    }
    count_steps(static_cast<size_t>(r_.cursor() - start) - jumped_bytes);
    return Capture(start, r_.cursor());
  }

  // One entry read by the general path: the key, then the value, then entry(key, value).
  template <class Entry>
  void next_entry(Entry& entry) {
    std::span<const uint8_t> fixstr;
    std::string_view name;
    if (r_.read_fixstr(fixstr)) {
      name = std::string_view(reinterpret_cast<const char*>(fixstr.data()), fixstr.size());
    } else {
      Value key = next();
      name = text(key, expecting_string);
    }
    // A key that ends the input still reaches the entry, whose field may fail for reasons of its
    // own before the missing value is reported (by the first read of it).
    Value value = r_.remaining() != 0 ? next() : msgpack::Marker::end_of_input();
    entry(name, value);
  }

  // Text that is UTF-8; other bytes are a byte string, refused as a bin holding them is.
  static std::string_view text_of(std::string_view s, std::string_view expecting) {
    if (!text::is_utf8(s)) [[unlikely]] invalid_value(found::bytes, expecting);
    return s;
  }
  static std::string_view as_text(std::span<const uint8_t> payload) noexcept {
    return std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size());
  }
  // Whether the str at the reader holds UTF-8 (a str cut short counts as text: reading it reports
  // that).
  bool is_text(const Value& v) const {
    msgpack::Reader ahead = r_;
    try {
      const std::string_view s = as_text(ahead.read_payload(ahead.read_length(v)));
      return text::is_utf8(s);
    } catch (const ReaderError&) {
      return true;
    }
  }

  msgpack::Reader r_;
  MsgpackKeptEnds& kept_;
  const bool rereading_;
};

// Runs `read()` over a MessagePack source and turns every failure of the read into ValueError
// "{prefix}{reader text}"; an interrupt or MemoryError passes unchanged.
template <class Read>
py::Ref read_msgpack(std::string_view prefix, Read&& read) {
  std::string message;
  try {
    return read();
  } catch (...) {
    bool positioned = false;
    message = reader_text_of_current(positioned);
  }
  fail_text(PyExc_ValueError, std::string(prefix) + message);
}

}  // namespace quorvel::serde
