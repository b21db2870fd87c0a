// The JSON source of decode_serde, over simdjson's On-Demand front end.
//
// A value is an On-Demand value; the source checks each value's kind before it reads it, so that
// every error simdjson reports is a malformed document. Such an error is named exactly (text and
// position) by the strict scanner of json_scan.hpp, which also validates the text of every value
// that is skipped or captured raw (On-Demand only matches the brackets of those). The nesting
// budget is the reader's: 255 units, one per object or array entered, skipped ones included.
#pragma once

#include "msgpack/reader.hpp"
#include "msgpack/value.hpp"
#include "plan/scalar.hpp"
#include "py/nesting.hpp"
#include "py/text.hpp"
#include "serde/json_engine.hpp"
#include "serde/json_scan.hpp"
#include "serde/kept_ends.hpp"
#include "serde/source.hpp"

#include <cmath>
#include <cstring>
#include <format>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace quorvel::serde {

namespace sj = simdjson::ondemand;

using engine::EngineError;

// Where the objects and arrays inside captured values end, by token (see kept_ends.hpp): one parse
// has one, shared by the sources that read its captured values again.
using JsonKeptEnds = KeptEnds<engine::Mark>;

class JsonSource {
 public:
  static constexpr bool json = true;
  static constexpr unsigned depth_limit = 255;
  using Value = sj::value;

  // A value captured whole for a later read: its text (validated) and where the engine's index
  // has its first token, so that it is read again from the same parse.
  struct Capture {
    std::string_view raw;
    engine::Mark at;
  };

  // A value is noted when 32 units or more of it lie outside the values noted inside it: its own
  // tokens, and one for each of those (see kept_ends.hpp).
  static constexpr size_t kept_min_tokens = 32;

  // `shift`: bytes the engine's buffer holds before `text` (1 when a value was wrapped in an
  // array so that a scalar can be read as a value). `kept`: the notes of this parse's captures.
  JsonSource(sj::document& doc, std::string_view text, const char* engine_base, size_t shift, JsonKeptEnds& kept) noexcept
      : doc_(doc), text_(text), base_(engine_base), shift_(shift), kept_(kept) {}

  // One level of nesting for an object or array entered.
  struct Nesting : NestingBudget::Level {
    explicit Nesting(JsonSource& source) : Level(source.budget_) {}
  };

  static void check(simdjson::error_code error) { engine::check(error); }

  ValueKind kind(Value& v) {
    sj::json_type type;
    check(v.type().get(type));
    switch (type) {
      case sj::json_type::object: return ValueKind::map;
      case sj::json_type::array: return ValueKind::array;
      case sj::json_type::string: return ValueKind::string;
      case sj::json_type::boolean: return ValueKind::boolean;
      case sj::json_type::null: return ValueKind::null;
      case sj::json_type::number: {
        sj::number_type number;
        auto error = v.get_number_type().get(number);
        if (error == simdjson::BIGINT_ERROR) return ValueKind::floating;
        check(error);
        switch (number) {
          case sj::number_type::floating_point_number:
          case sj::number_type::big_integer: return ValueKind::floating;
          case sj::number_type::unsigned_integer: return ValueKind::unsigned_integer;
          case sj::number_type::signed_integer: {
            const std::string_view token = json::trim(v.raw_json_token());
            if (!token.starts_with('-')) return ValueKind::unsigned_integer;
            return json::is_negative_zero(token) ? ValueKind::floating : ValueKind::signed_integer;
          }
        }
        return ValueKind::floating;
      }
      case sj::json_type::unknown: break;
    }
    throw EngineError{simdjson::TAPE_ERROR};
  }

  // Consumes the value when it is the literal null. A value that begins with 'n' but is no null
  // is a malformed document.
  // Keys are checked as the document is parsed.
  static void checked_key(std::string_view) noexcept {}

  bool take_null(Value& v) {
    bool is_null = false;
    check(v.is_null().get(is_null));
    return is_null;
  }

  // Each read below tries the expected kind first and looks closer only when that fails, to
  // report the right error.
  template <class Entry>
  void map(Value& v, std::string_view expecting, Entry&& entry) {
    if (!engine::start_object(v)) fail_invalid_type(v, expecting);
    Nesting nesting(*this);
    Members<std::remove_reference_t<Entry>> members{*this, entry};
    engine::members(v, members);
  }

  // The members of the document's root object.
  template <class Entry>
  void root_map(Entry&& entry);

  template <class Start, class Elem>
  void seq(Value& v, std::string_view expecting, Start&& start, Elem&& elem) {
    if (!engine::start_array(v)) fail_invalid_type(v, expecting);
    Nesting nesting(*this);
    start(0);
    engine::elements(v, elem);
  }

  bool boolean(Value& v) {
    set_last_token(v);
    bool b = false;
    if (v.get_bool().get(b) != simdjson::SUCCESS) fail_invalid_type(v, expecting_boolean);
    return b;
  }

  Integer integer(Value& v, std::string_view expecting) {
    set_last_token(v);
    int64_t i = 0;
    if (v.get_int64().get(i) == simdjson::SUCCESS && !json::is_negative_zero(i, json::trim(v.raw_json_token())[0])) {
      return i < 0 ? Integer{true, 0, i} : Integer{false, static_cast<uint64_t>(i), 0};
    }
    Scalar s = number_of(v, expecting);
    if (s.kind == ValueKind::floating) invalid_type(found::floating(s.d), expecting);
    return s.kind == ValueKind::signed_integer ? Integer{true, 0, s.i} : Integer{false, s.u, 0};
  }

  // A number as a float. Below 2^53 in magnitude it rounds through a double first, as a float
  // field read lax does (and numpy.float32(float(text))): "1.000000059604644775390625000000000001"
  // gives 1.0, not the nearest float above it. From 2^53 on, where a double no longer holds every
  // integer, it rounds to the nearest float once: an integer of 64 bits from its exact value, any
  // other number from its text.
  float float32(Value& v, std::string_view expecting) {
    const double d = float64(v, expecting);
    if (!(std::fabs(d) >= 0x1p53) || std::isinf(d)) [[likely]] return static_cast<float>(d);
    Scalar s = number_of(v, expecting);
    if (s.kind == ValueKind::signed_integer) return static_cast<float>(s.i);
    if (s.kind == ValueKind::unsigned_integer) return static_cast<float>(s.u);
    return json::decimal_value_f32(json::trim(v.raw_json_token()));
  }

  double float64(Value& v, std::string_view expecting) {
    set_last_token(v);
    double d = 0;
    if (v.get_double().get(d) == simdjson::SUCCESS) return d;
    Scalar s = number_of(v, expecting);
    if (s.kind == ValueKind::signed_integer) return static_cast<double>(s.i);
    if (s.kind == ValueKind::unsigned_integer) return static_cast<double>(s.u);
    return s.d;
  }

  std::string_view text(Value& v, std::string_view expecting) {
    set_last_token(v);
    std::string_view s;
    if (v.get_string().get(s) != simdjson::SUCCESS) fail_invalid_type(v, expecting);
    return s;
  }

  Scalar scalar(Value& v);
  msgpack::MessagePackValue generic(Value& v);
  // The value's exact text, validated, without surrounding whitespace.
  std::string_view raw(Value& v) { return raw(v, false); }
  void skip(Value& v) { (void)raw(v, false); }
  Capture capture(Value& v) {
    const engine::Mark at = engine::start_of(v);
    return Capture{raw(v, true), at};
  }
  // Reads the captured value again, from the same parse, with a fresh nesting budget:
  // body(source, value) with a source whose positions count from the captured text. Every failure
  // becomes ValueError "{prefix}{reader text}". The engine's place is restored afterwards.
  py::Ref reread(const Capture& capture, std::string_view prefix,
                 const std::function<py::Ref(JsonSource&, sj::value&)>& body);

  [[noreturn]] void fail_invalid_type(Value& v, std::string_view expecting);

  // After the root object: only whitespace may follow.
  void finish();

  // The position suffix for an error raised at the reader's current place.
  std::string current_position();
  // The exact text and position of a malformed document, after simdjson reported `code`.
  std::string diagnose(simdjson::error_code code);

 private:
  // An entry as the engine's member walk sees it (see engine::members). An entry that says which
  // key it expects next (entry.expected(), a KeyProbe or null) has that key compared where the
  // engine's next token stands, and may read a scalar value in place (entry.in_place(value));
  // entry.matched(value) then reads the value of the expected key. Any other key takes the
  // general steps, entry(key, value).
  template <class Entry>
  struct Members {
    JsonSource& source;
    Entry& entry;

    static bool has_escape(std::string_view key) noexcept { return py::words::padded_contains(key, '\\'); }
    void operator()(std::string_view key, sj::value& value) { entry(key, value); }
    [[gnu::always_inline]] bool key_here(const uint8_t* p) noexcept
      requires requires(Entry& e) { e.expected(); }
    {
      const KeyProbe* probe = entry.expected();
      return probe != nullptr && key_at(p, *probe);
    }
    [[gnu::always_inline]] bool in_place(const uint8_t* value) {
      if (!entry.in_place(value)) return false;
      source.last_token_ = reinterpret_cast<const char*>(value);
      return true;
    }
    void matched(sj::value& value) { entry.matched(value); }
  };

  // Whether the key token at p is `probe`'s key, written without escapes (16 bytes past the
  // opening quote are readable: the padding follows the document).
  [[gnu::always_inline]] static bool key_at(const uint8_t* p, const KeyProbe& probe) noexcept {
    if (!probe.wide || !probe.plain || *p != '"' || p[1 + probe.text.size()] != '"') return false;
    return probe.starts(p + 1);
  }

 public:
  // Reads of a scalar value from its text (`p`, where its token starts), for entry.in_place: each
  // takes what the typed read of the engine takes and gives the same, or returns false (the
  // general path then reads the value and reports what is wrong with it).
  [[gnu::always_inline]] static bool f64_at(const uint8_t* p, double& out) noexcept {
    return engine::parse_double(p, out);
  }
  [[gnu::always_inline]] static bool integer_at(const uint8_t* p, IntegerRange range, Integer& out) noexcept {
    int64_t i = 0;
    if (!engine::parse_integer(p, i) || json::is_negative_zero(i, static_cast<char>(*p))) return false;
    out = i < 0 ? Integer{true, 0, i} : Integer{false, static_cast<uint64_t>(i), 0};
    return range.holds(out.negative, out.i, out.u);
  }
  [[gnu::always_inline]] static bool bool_at(const uint8_t* p, bool& out) noexcept {
    auto ends = [](uint8_t c) { return c == ',' || c == '}' || c == ']' || json::is_space(static_cast<char>(c)); };
    if (std::memcmp(p, "true", 4) == 0 && ends(p[4])) return out = true, true;
    if (std::memcmp(p, "false", 5) == 0 && ends(p[5])) return out = false, true;
    return false;
  }
  // A string's text, unescaped by the engine as its typed read does.
  bool text_at(const uint8_t* p, std::string_view& out) noexcept {
    // Nothing is kept of a failed read: the general path reads it again.
    return *p == '"' && engine::unescape(doc_, p + 1, out);
  }

 private:
  // `keep`: the value is captured for a later read (the values it holds are noted in kept_).
  std::string_view raw(Value& v, bool keep);
  Scalar number_of(Value& v, std::string_view expecting);
  // Remembers where the scalar being read starts: errors raised after it point past its end.
  void set_last_token(Value& v) noexcept { last_token_ = v.raw_json_token().data(); }
  [[noreturn]] void fail_at(std::string message, size_t offset, bool include_byte);
  size_t offset_of(const char* p) const noexcept {
    size_t o = static_cast<size_t>(p - base_);
    o = o >= shift_ ? o - shift_ : 0;
    return o > text_.size() ? text_.size() : o;
  }

  sj::document& doc_;
  std::string_view text_;  // the document as the caller sees it (positions count from here)
  const char* base_;
  size_t shift_;
  JsonKeptEnds& kept_;
  NestingBudget budget_{depth_limit, json::recursion_text};
  const char* last_token_ = nullptr;
  bool validated_ = false;  // the whole text has been checked strictly (a captured value)

 public:
  // The root object's value when the document is read inside a wrapper (see run_json), else null.
  sj::value* root_ = nullptr;
};

// run_json has made sure that an object stands at the root.
template <class Entry>
void JsonSource::root_map(Entry&& entry) {
  if (root_ != nullptr) return map(*root_, expecting_model, entry);
  Nesting nesting(*this);
  sj::object object;
  check(doc_.get_object().get(object));
  Members<std::remove_reference_t<Entry>> members{*this, entry};
  engine::members(object, members);
}

// Runs `body(source)` over one JSON document and returns its result. Every failure of the read
// becomes ValueError "{prefix}{reader text}"; an interrupt or MemoryError passes unchanged.
// `readable_after`: bytes known to be readable past the end of `text` (the input is read in place
// when that covers simdjson's padding).
py::Ref run_json(std::string_view text, size_t readable_after, std::string_view prefix,
                 const std::function<py::Ref(JsonSource&)>& body);

}  // namespace quorvel::serde
