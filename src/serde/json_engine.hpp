// The one door through which the JSON source reaches past simdjson's public On-Demand API. No
// other file names the engine's iterators (documented as private) or its token positions, or
// relies on how it allocates.
//
// The cut: this file holds what touches simdjson's internals and nothing of the reader's own
// logic. It walks objects and arrays in the engine's own steps (which need its iterators), and
// offers a few primitives on `Mark`, an opaque token position: where a value starts, where a walk
// stands, the text a token starts at (`Tokens`), whether a value is still unread, leaving a value
// at a given token, reading again from a mark. What the JSON source decides with them (which kept
// values to note, when to jump over one) lives beside it, in json_source.cpp.
//
// What it touches, and why (each measured worth its cost in the decode benchmark):
// - `value::iter`, `object::iter`, `document::iter` (protected): objects and arrays are walked on
//   the value's own iterator, in the engine's own steps, instead of through the object and array
//   types, whose construction copies the iterator (measured slower, once per model).
// - `value_iterator`: `start_object`, `start_array`, `is_open`, `error`, `child`, `skip_child`,
//   `field_key`, `field_value`, `has_next_field`, `has_next_element`, `json_iter` and `depth` (the
//   steps the object and array types take), and its protected constructor and `_start_position`.
// - `json_iterator`: `peek` (by delta and by position), `position`, `depth`,
//   `return_current_and_advance`, `reenter_child`, `ascend_to`, `string_buf_loc`, `unescape` and
//   the iterator's copy. A key expected next is compared where its token stands, and a scalar
//   read from its text is stepped over token by token; a union entry kept until its type tag is
//   read again from the same parse (a copy of its text parsed anew made nested unions quadratic);
//   a value already walked over is left at its end without a walk (`leave_at`); strings are
//   unescaped into the engine's buffer as its typed read does, and the space given back when a
//   read is abandoned. `reenter_child` moves the engine back, which simdjson's development checks
//   refuse: CMake switches them off for every build type, and a build that asks for them stops
//   below.
// - `json_iterator::token` and `token_iterator::buf` (protected): the text the index's entries are
//   offsets into, read once for a scan over many tokens (`Tokens`) rather than once per token.
// - `token_position`: held outside this file only inside `Mark`.
// - `builtin::numberparsing::parse_double` and `parse_integer`: scalars read from their text.
// - How `parser` allocates for a capacity (`held_bytes`): its structural index and string buffer
//   per byte, so that the engines a thread keeps idle are counted by what they really hold.
//
// It was written and tested against simdjson 4.6; another version must be checked against the
// list above before the range below is widened.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

static_assert(simdjson::SIMDJSON_VERSION_MAJOR == 4 && simdjson::SIMDJSON_VERSION_MINOR == 6,
              "serde/json_engine.hpp was written against simdjson 4.6; found simdjson " SIMDJSON_VERSION);

#if SIMDJSON_DEVELOPMENT_CHECKS
#error "serde/json_engine.hpp moves simdjson's iterators back, which SIMDJSON_DEVELOPMENT_CHECKS=1 refuses: leave it to CMake, which sets it to 0"
#endif

namespace quorvel::serde::engine {

namespace sj = simdjson::ondemand;

// An error code of simdjson: the document is malformed somewhere at or after the current value.
struct EngineError {
  simdjson::error_code code;
};

[[gnu::always_inline]] inline void check(simdjson::error_code error) {
  if (error != simdjson::SUCCESS) [[unlikely]] throw EngineError{error};
}

namespace detail {
struct Value : sj::value {
  using sj::value::iter;
  explicit Value(const sj::value_iterator& it) noexcept : sj::value(it) {}
};
struct Object : sj::object {
  using sj::object::iter;
};
struct Document : sj::document {
  using sj::document::iter;
};
struct JsonIterator : sj::json_iterator {
  using sj::json_iterator::token;
};
struct TokenIterator : sj::token_iterator {
  using sj::token_iterator::buf;
};
struct ValueIterator : sj::value_iterator {
  using sj::value_iterator::_start_position;
  ValueIterator(sj::json_iterator& json, sj::depth_t depth, sj::token_position at) noexcept
      : sj::value_iterator(&json, depth, at) {}
};

[[gnu::always_inline]] inline sj::value_iterator& iterator_of(sj::value& v) noexcept { return v.*(&Value::iter); }
[[gnu::always_inline]] inline sj::value_iterator& iterator_of(sj::object& o) noexcept { return o.*(&Object::iter); }
[[gnu::always_inline]] inline sj::json_iterator& iterator_of(sj::document& d) noexcept { return d.*(&Document::iter); }

// The value an iterator stands at (the engine's object and array types make theirs so).
[[gnu::always_inline]] inline sj::value value_at(const sj::value_iterator& it) noexcept { return Value(it); }

[[gnu::always_inline]] inline void step(sj::json_iterator& json, int n) noexcept {
  for (int k = 0; k < n; ++k) json.return_current_and_advance();
}

// The key as written up to its closing quote, unescaped by the engine when it holds an escape.
// Called once the colon is read: the closing quote is the last quote before it (only whitespace
// lies between), so the key's text is not scanned for its end.
template <class HasEscape>
std::string_view key_text(sj::value_iterator& it, sj::raw_json_string raw_key, HasEscape&& has_escape) {
  const char* start = reinterpret_cast<const char*>(raw_key.raw());
  const char* p = reinterpret_cast<const char*>(it.json_iter().peek(-1));
  do {
    --p;
  } while (*p != '"');
  std::string_view key(start, static_cast<size_t>(p - start));
  if (has_escape(key)) [[unlikely]] check(it.json_iter().unescape(raw_key, false).get(key));
  return key;
}

// The members of an object entered on `it`; see `members` below.
template <class Visit>
void walk_members(sj::value_iterator& it, Visit& visit) {
  while (it.is_open()) {
    check(it.error());
    if constexpr (requires { visit.key_here(static_cast<const uint8_t*>(nullptr)); }) {
      sj::json_iterator& json = it.json_iter();
      // The key is a real token when it matches, so the three after it are within the engine's
      // index (which ends in sentinels).
      if (visit.key_here(json.peek(0)) && *json.peek(1) == ':') [[likely]] {
        const uint8_t* value = json.peek(2);
        const uint8_t after = *json.peek(3);
        if ((after == ',' || after == '}') && visit.in_place(value)) [[likely]] {
          step(json, 3);  // the key, the colon and the value
        } else {
          step(json, 1);
          check(it.field_value());
          sj::value member = value_at(it.child());
          visit.matched(member);
          check(it.skip_child());
        }
        bool more = false;
        check(it.has_next_field().get(more));
        continue;
      }
    }
    sj::raw_json_string raw_key;
    check(it.field_key().get(raw_key));
    check(it.field_value());
    const std::string_view key = key_text(it, raw_key, [&](std::string_view k) { return visit.has_escape(k); });
    sj::value value = value_at(it.child());
    visit(key, value);
    check(it.skip_child());
    bool more = false;
    check(it.has_next_field().get(more));
  }
}
}  // namespace detail

// Enters `v` as an object or an array; false, having read nothing, when it is not one. An empty
// one is closed at once (the walks below then see it closed).
[[gnu::always_inline]] inline bool start_object(sj::value& v) noexcept {
  bool has_fields = false;
  return detail::iterator_of(v).start_object().get(has_fields) == simdjson::SUCCESS;
}
[[gnu::always_inline]] inline bool start_array(sj::value& v) noexcept {
  bool has_elements = false;
  return detail::iterator_of(v).start_array().get(has_elements) == simdjson::SUCCESS;
}

// The members of an object entered with start_object (or the document's root object), in the
// engine's own steps. For each member, visit(key, value) reads the value, or leaves it to be
// skipped; visit.has_escape(key) says whether a key must be unescaped. A visitor that also has
// key_here(token) has the key token compared where it stands: when it is the key the visitor
// expects and a comma or the object's end follows the value, visit.in_place(value token) may read
// a scalar value from its text (returning false, having read nothing, when it does not) and the
// walk steps over key, colon and value; otherwise visit.matched(value) reads the value.
template <class Visit>
[[gnu::always_inline]] inline void members(sj::value& v, Visit& visit) {
  detail::walk_members(detail::iterator_of(v), visit);
}
template <class Visit>
[[gnu::always_inline]] inline void members(sj::object& o, Visit& visit) {
  detail::walk_members(detail::iterator_of(o), visit);
}

// The elements of an array entered with start_array: elem(value) for each, in the engine's steps
// (the element, what it left unread, the next).
template <class Elem>
void elements(sj::value& v, Elem&& elem) {
  sj::value_iterator& it = detail::iterator_of(v);
  while (it.is_open()) {
    check(it.error());
    sj::value e = detail::value_at(it.child());
    elem(e);
    check(it.skip_child());
    bool more = false;
    check(it.has_next_element().get(more));
  }
}

// A token of the engine's index: where a value starts or a walk ends. Marks of one parse compare
// by their place in the document and subtract to the number of tokens between them.
class Mark {
 public:
  Mark() noexcept = default;
  explicit operator bool() const noexcept { return at_ != nullptr; }
  friend bool operator==(Mark, Mark) noexcept = default;
  friend auto operator<=>(Mark, Mark) noexcept = default;
  friend size_t operator-(Mark end, Mark start) noexcept { return static_cast<size_t>(end.at_ - start.at_); }
  // The token after this one.
  Mark next() const noexcept { return Mark(at_ + 1); }

 private:
  explicit Mark(sj::token_position at) noexcept : at_(at) {}
  friend Mark start_of(sj::value&) noexcept;
  friend Mark here(sj::value&) noexcept;
  friend class Tokens;
  friend bool unread(sj::value&) noexcept;
  friend void leave_at(sj::value&, Mark) noexcept;
  friend class Revisit;
  sj::token_position at_ = nullptr;
};

// Where a value's first token stands.
[[gnu::always_inline]] inline Mark start_of(sj::value& v) noexcept {
  return Mark(detail::iterator_of(v).*(&detail::ValueIterator::_start_position));
}

// Where the engine's walk stands now: past `v` once a skip of it is done.
[[gnu::always_inline]] inline Mark here(sj::value& v) noexcept { return Mark(detail::iterator_of(v).json_iter().position()); }

// The text of the tokens of `v`'s parse: where each starts (a bracket's own byte, a string's
// opening quote).
class Tokens {
 public:
  explicit Tokens(sj::value& v) noexcept
      : text_(detail::iterator_of(v).json_iter().*(&detail::JsonIterator::token).*(&detail::TokenIterator::buf)) {}
  [[gnu::always_inline]] const char* operator[](Mark m) const noexcept { return reinterpret_cast<const char*>(text_ + *m.at_); }

 private:
  const uint8_t* text_;  // what the index's entries are offsets into
};

// Whether the engine stands at the start of `v`, at its depth: neither entered nor stepped over.
inline bool unread(sj::value& v) noexcept {
  sj::value_iterator& it = detail::iterator_of(v);
  const sj::json_iterator& json = it.json_iter();
  return it.depth() >= 1 && json.depth() == it.depth() && json.position() == start_of(v).at_;
}

// Leaves the unread object or array `v` where the engine's own walk over it would: at `end`, the
// token after its closing bracket, one level up.
inline void leave_at(sj::value& v, Mark end) noexcept {
  sj::value_iterator& it = detail::iterator_of(v);
  sj::json_iterator& json = it.json_iter();
  const sj::depth_t depth = it.depth();
  json.ascend_to(depth - 1);
  json.reenter_child(end.at_, depth);
  json.ascend_to(depth - 1);
}

// The string whose text starts at `text` (past its opening quote), unescaped into the engine's
// buffer as its typed read does. On failure nothing of the buffer is kept.
[[gnu::always_inline]] inline bool unescape(sj::document& doc, const uint8_t* text, std::string_view& out) noexcept {
  sj::json_iterator& json = detail::iterator_of(doc);
  uint8_t* const mark = json.string_buf_loc();
  if (json.unescape(sj::raw_json_string(text), false).get(out) == simdjson::SUCCESS) return true;
  json.string_buf_loc() = mark;
  return false;
}

// A number read from its text where its token starts, as the typed reads read it.
[[gnu::always_inline]] inline bool parse_double(const uint8_t* p, double& out) noexcept {
  return simdjson::builtin::numberparsing::parse_double(p).get(out) == simdjson::SUCCESS;
}
[[gnu::always_inline]] inline bool parse_integer(const uint8_t* p, int64_t& out) noexcept {
  return simdjson::builtin::numberparsing::parse_integer(p).get(out) == simdjson::SUCCESS;
}

// The engine moved to a value read earlier, for as long as this lives: value() stands there.
// Everything of the engine's state (its place, depth and string space) is restored at the end;
// strings unescaped meanwhile must have been turned into objects by then.
class Revisit {
 public:
  Revisit(sj::document& doc, Mark at) noexcept
      : json_(detail::iterator_of(doc)),
        saved_(json_),
        value_(detail::value_at(detail::ValueIterator(json_, json_.depth() + 1, at.at_))) {
    json_.reenter_child(at.at_, json_.depth() + 1);
  }
  ~Revisit() { json_ = saved_; }
  Revisit(const Revisit&) = delete;
  Revisit& operator=(const Revisit&) = delete;

  sj::value& value() noexcept { return value_; }

 private:
  sj::json_iterator& json_;
  const sj::json_iterator saved_;
  sj::value value_;
};

// The bytes a parser holds for its capacity, as simdjson 4.6 allocates them: per byte, a 32-bit
// structural index and 5/3 of a byte of string buffer, both rounded up to 64 bytes; per level of
// depth, an open container and a flag.
inline size_t held_bytes(const sj::parser& parser) noexcept {
  const size_t n = parser.capacity();
  if (n == 0) return 0;
  return (n + 64 + 9) * sizeof(uint32_t)                                 // structural index
         + 5 * n / 3 + simdjson::SIMDJSON_PADDING + 64                   // string buffer
         + parser.max_depth() * (2 * sizeof(uint32_t) + sizeof(bool));  // depth stacks
}

}  // namespace quorvel::serde::engine
