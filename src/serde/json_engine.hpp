// The one door through which the JSON source reaches past simdjson's public On-Demand API.
//
// What it touches, and why (each measured worth its cost in the decode benchmark):
// - `value::iter`, `object::iter`, `document::iter` (protected): objects and arrays are walked on
//   the value's own iterator, in the engine's own steps, instead of through the object and array
//   types, whose construction copies the iterator (measured slower, once per model).
// - `value_iterator`'s protected constructor and `_start_position`, `json_iterator::reenter_child`
//   and the iterator's copy: a union entry kept until its type tag is read again from the same
//   parse, instead of a copy of its text parsed anew (which made nested unions quadratic).
// - `json_iterator::peek` and `return_current_and_advance`: a key expected next is compared where
//   its token stands, and a scalar read from its text is stepped over token by token.
// - `json_iterator::string_buf_loc` and `unescape`: strings unescaped into the engine's buffer as
//   its typed read does, and the space given back when a read is abandoned.
// - `builtin::numberparsing::parse_double` and `parse_integer`: scalars read from their text.
//
// It was written and tested against simdjson 4.6; another version must be checked against the
// list above before the range below is widened.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <string_view>

static_assert(simdjson::SIMDJSON_VERSION_MAJOR == 4 && simdjson::SIMDJSON_VERSION_MINOR == 6,
              "serde/json_engine.hpp was written against simdjson 4.6; found simdjson " SIMDJSON_VERSION);

namespace quorvel::serde::engine {

namespace sj = simdjson::ondemand;

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
struct ValueIterator : sj::value_iterator {
  using sj::value_iterator::_start_position;
  ValueIterator(sj::json_iterator& json, sj::depth_t depth, sj::token_position at) noexcept
      : sj::value_iterator(&json, depth, at) {}
};
}  // namespace detail

[[gnu::always_inline]] inline sj::value_iterator& iterator_of(sj::value& v) noexcept { return v.*(&detail::Value::iter); }
[[gnu::always_inline]] inline sj::value_iterator& iterator_of(sj::object& o) noexcept { return o.*(&detail::Object::iter); }
[[gnu::always_inline]] inline sj::json_iterator& iterator_of(sj::document& d) noexcept { return d.*(&detail::Document::iter); }

// The value an iterator stands at (the engine's object and array types make theirs so).
[[gnu::always_inline]] inline sj::value value_at(const sj::value_iterator& it) noexcept { return detail::Value(it); }

// Where a value's first token stands in the engine's index.
[[gnu::always_inline]] inline sj::token_position start_of(sj::value& v) noexcept {
  return iterator_of(v).*(&detail::ValueIterator::_start_position);
}

// The token `delta` steps from the current one, and a step past `n` tokens.
[[gnu::always_inline]] inline const uint8_t* token(sj::json_iterator& json, int32_t delta) noexcept { return json.peek(delta); }
[[gnu::always_inline]] inline void step(sj::json_iterator& json, int n) noexcept {
  for (int k = 0; k < n; ++k) json.return_current_and_advance();
}

// The string whose text starts at `text` (past its opening quote), unescaped into the engine's
// buffer as its typed read does. On failure nothing of the buffer is kept.
[[gnu::always_inline]] inline bool unescape(sj::json_iterator& json, const uint8_t* text, std::string_view& out) noexcept {
  uint8_t* const mark = json.string_buf_loc();
  if (json.unescape(sj::raw_json_string(text), false).get(out) == simdjson::SUCCESS) return true;
  json.string_buf_loc() = mark;
  return false;
}
[[gnu::always_inline]] inline simdjson::error_code unescape(sj::json_iterator& json, sj::raw_json_string raw, std::string_view& out) noexcept {
  return json.unescape(raw, false).get(out);
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
  Revisit(sj::document& doc, sj::token_position at) noexcept
      : json_(iterator_of(doc)), saved_(json_), value_(value_at(detail::ValueIterator(json_, json_.depth() + 1, at))) {
    json_.reenter_child(at, json_.depth() + 1);
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

}  // namespace quorvel::serde::engine
