// What the model builder asks of a document source (JSON or MessagePack), and the pieces both
// sources share. A source hands out values one at a time; each value is consumed exactly once, by
// a typed read, a generic read, a skip, a capture or a type error.
#pragma once

#include "msgpack/value.hpp"
#include "py/error.hpp"
#include "py/found.hpp"
#include "py/words.hpp"

#include <concepts>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quorvel::serde {

// The kind of a value as the visitors see it.
enum class ValueKind : uint8_t { null, boolean, unsigned_integer, signed_integer, floating, string, binary, array, map, ext };

// One scalar as read: the member named by `kind` holds it.
struct Scalar {
  ValueKind kind = ValueKind::null;
  bool b = false;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;
  std::string_view s;  // string: valid until the next read of the source
};

// A key as a source may compare it where it stands in the input: its bytes, and for a key of no
// more than 16 bytes (`wide`) the same as two zero-padded words with the masks that select them.
struct KeyProbe {
  KeyProbe() noexcept = default;
  explicit KeyProbe(std::string_view text) noexcept : text(text), wide(text.size() <= sizeof words) {
    if (!wide) return;
    std::memcpy(words, text.data(), text.size());
    std::memset(masks, 0xff, text.size());
    for (char c : text) plain = plain && c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20;
  }
  // Whether the 16 bytes at p begin with the key (a wide probe; all 16 must be readable).
  [[gnu::always_inline]] bool starts(const uint8_t* p) const noexcept {
    uint64_t w[2];
    std::memcpy(w, p, sizeof w);
    return ((w[0] ^ words[0]) & masks[0]) == 0 && ((w[1] ^ words[1]) & masks[1]) == 0;
  }

  std::string_view text;
  uint64_t words[2] = {0, 0};
  uint64_t masks[2] = {0, 0};
  bool wide = false;
  bool plain = true;  // JSON text holds it as it is: no character that is escaped or ends a string
};

// Integers are handed out as the MessagePack reader reads them, by both sources.
using msgpack::Integer;

// Test builds count the work of skips and captures: the steps taken one at a time (JSON tokens,
// MessagePack bytes), the jumps over values noted as kept (see kept_ends.hpp), and the notes
// taken, so that a test can tell work done once from work repeated per level of a document, and
// see what the notes cost. Elsewhere the counts compile to nothing (`counts_work` says which).
#if QUORVEL_COUNT_WALKS
inline constexpr bool counts_work = true;
#else
inline constexpr bool counts_work = false;
#endif
struct WorkCounts {
  uint64_t steps = 0;
  uint64_t jumps = 0;
  uint64_t notes = 0;
};
inline thread_local WorkCounts work_counts;
inline void count_steps(size_t n) noexcept {
  if constexpr (counts_work) work_counts.steps += n;
}
inline void count_jumps(size_t n) noexcept {
  if constexpr (counts_work) work_counts.jumps += n;
}
inline void count_notes(size_t n) noexcept {
  if constexpr (counts_work) work_counts.notes += n;
}

// What the model reader asks of a document source. A source hands out values (`Value`) one at a
// time; each is consumed exactly once, by one of the reads below, a skip, a capture or a type error.
// Besides these, a source offers
// - map(v, expecting, entry): the entries of an object or map, entry(key, value) for each (an entry
//   that also says which key it expects next may have it compared, and a common value read, where
//   it stands: entry.expected(), entry.in_place(at...), entry.matched(value));
// - seq(v, expecting, start, elem): the elements of an array, start(bound) and then elem(value);
// - f64_at, integer_at, bool_at and a text read where a value stands, for entry.in_place;
// - for a fallback field, the value's bytes (JSON: raw(v), its text; MessagePack: reencode(v)).
template <class S>
concept DocumentSource = requires(S& s, typename S::Value& v, std::string_view expecting) {
  typename S::Capture;
  { S::json } -> std::convertible_to<bool>;
  { s.take_null(v) } -> std::same_as<bool>;
  { s.boolean(v) } -> std::same_as<bool>;
  { s.integer(v, expecting) } -> std::same_as<Integer>;
  { s.float64(v, expecting) } -> std::same_as<double>;
  { s.float32(v, expecting) } -> std::same_as<float>;
  { s.text(v, expecting) } -> std::same_as<std::string_view>;
  { s.scalar(v) } -> std::same_as<Scalar>;
  { s.generic(v) } -> std::same_as<msgpack::MessagePackValue>;
  { s.skip(v) } -> std::same_as<void>;
  { s.capture(v) } -> std::same_as<typename S::Capture>;
  { S::checked_key(expecting) } -> std::same_as<void>;
};

// Expecting texts of the readers' type errors.
inline constexpr std::string_view expecting_model = "a generated model object";
inline constexpr std::string_view expecting_model_or_null = "a generated model object or null";
inline constexpr std::string_view expecting_model_vector = "a vector of generated model objects";
inline constexpr std::string_view expecting_sequence = "a sequence";
inline constexpr std::string_view expecting_string = "a string";
inline constexpr std::string_view expecting_boolean = "a boolean";
inline constexpr std::string_view expecting_integer = "an integer";

// Inside a catch block: the text under which the failure being handled joins the reader's error
// (a Python exception as its qualified class name, ": " and its str()). `positioned` is set for
// errors that already carry their position. An interrupt, MemoryError or an internal failure is
// rethrown unchanged.
std::string reader_text_of_current(bool& positioned);

}  // namespace quorvel::serde
