#include "serde/coerce.hpp"

#include "py/text.hpp"
#include "serde/json_scan.hpp"

#include <charconv>
#include <cmath>
#include <format>
#include <limits>

namespace quorvel::serde {

namespace {

using msgpack::MessagePackValue;

std::string render(__int128 v) {
  return v < 0 ? std::to_string(static_cast<int64_t>(v)) : std::to_string(static_cast<uint64_t>(v));
}

constexpr __int128 i64_min = std::numeric_limits<int64_t>::min();
constexpr __int128 u64_max = std::numeric_limits<uint64_t>::max();

bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    char c = a[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[k]) return false;
  }
  return true;
}

// The float literal grammar of lax strings: sign, digits with an optional point and fraction (one
// digit at least), optional exponent; or inf, infinity, nan in any case.
std::optional<double> float_literal(std::string_view text) {
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (ascii_iequals(body, "inf") || ascii_iequals(body, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (ascii_iequals(body, "nan")) return negative ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
  size_t k = 0, digits = 0;
  auto is_digit = [&](size_t i) { return i < body.size() && body[i] >= '0' && body[i] <= '9'; };
  while (is_digit(k)) ++k, ++digits;
  if (k < body.size() && body[k] == '.') {
    ++k;
    while (is_digit(k)) ++k, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (k < body.size() && (body[k] == 'e' || body[k] == 'E')) {
    ++k;
    if (k < body.size() && (body[k] == '+' || body[k] == '-')) ++k;
    if (!is_digit(k)) return std::nullopt;
    while (is_digit(k)) ++k;
  }
  if (k != body.size()) return std::nullopt;
  // from_chars reads neither a sign nor a leading point; give it both forms it knows.
  std::string literal;
  if (negative) literal += '-';
  if (body[0] == '.') literal += '0';
  literal += body;
  return json::decimal_value(literal);
}

}  // namespace

bool canonical_integer(std::string_view text, __int128& out) noexcept {
  if (text.empty() || text.size() > 21) return false;
  const bool negative = text[0] == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty() || (digits[0] == '0' && (digits.size() > 1 || negative))) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  if (negative) {
    int64_t v = 0;
    if (std::from_chars(text.data(), text.data() + text.size(), v).ec != std::errc{}) return false;
    out = v;
  } else {
    uint64_t v = 0;
    if (std::from_chars(text.data(), text.data() + text.size(), v).ec != std::errc{}) return false;
    out = v;
  }
  return true;
}

bool lax_integral(double v, __int128& out) noexcept {
  if (!std::isfinite(v) || std::trunc(v) != v) return false;
  if (v < 0) {
    out = v <= -9223372036854775808.0 ? i64_min : static_cast<__int128>(static_cast<int64_t>(v));
  } else {
    out = v >= 18446744073709551616.0 ? u64_max : static_cast<__int128>(static_cast<uint64_t>(v));
  }
  return true;
}

Coerced scalar_from_integer(ScalarKind kind, __int128 v) {
  auto out_of_range = [&] {
    return std::unexpected(std::format("integer {} is out of range for {}", render(v), display_name(kind)));
  };
  switch (family_of(kind)) {
    case ScalarFamily::boolean:
      if (v == 0 || v == 1) return ScalarValue::make_bool(v == 1);
      return std::unexpected(std::format("integer {} is not a boolean", render(v)));
    case ScalarFamily::signed_integer:
      if (!integer_range(kind).holds(v)) return out_of_range();
      return ScalarValue::make_signed(kind, static_cast<int64_t>(v));
    case ScalarFamily::unsigned_integer:
      if (!integer_range(kind).holds(v)) return out_of_range();
      return ScalarValue::make_unsigned(kind, static_cast<uint64_t>(v));
    case ScalarFamily::floating:
      // The nearest float of the kind's width, rounded once.
      if (kind == ScalarKind::float32) {
        return ScalarValue::make_f32(v < 0 ? static_cast<float>(static_cast<int64_t>(v)) : static_cast<float>(static_cast<uint64_t>(v)));
      }
      return ScalarValue::make_f64(v < 0 ? static_cast<double>(static_cast<int64_t>(v)) : static_cast<double>(static_cast<uint64_t>(v)));
  }
  return std::unexpected(std::string("unknown scalar kind"));
}

Coerced scalar_from_f64(ScalarKind kind, double v) {
  if (kind == ScalarKind::float64) return ScalarValue::make_f64(v);
  if (kind == ScalarKind::float32) return ScalarValue::make_f32(static_cast<float>(v));
  if (!std::isfinite(v) || std::trunc(v) != v) return std::unexpected(std::format("float {} is not an integer", text::shortest(v)));
  if (v >= 0) {
    if (v >= 18446744073709551616.0) return std::unexpected(std::format("float {} is out of integer range", text::shortest(v)));
    return scalar_from_integer(kind, static_cast<uint64_t>(v));
  }
  if (v < -9223372036854775808.0) return std::unexpected(std::format("float {} is out of integer range", text::shortest(v)));
  return scalar_from_integer(kind, static_cast<int64_t>(v));
}

Coerced scalar_from_str(ScalarKind kind, std::string_view s) {
  if (kind == ScalarKind::float32 || kind == ScalarKind::float64) {
    if (auto d = float_literal(s)) return scalar_from_f64(kind, *d);
    return std::unexpected(std::format("string {} is not a float", text::quoted(s)));
  }
  if (kind == ScalarKind::bool_) {
    if (ascii_iequals(s, "true") || s == "1") return ScalarValue::make_bool(true);
    if (ascii_iequals(s, "false") || s == "0") return ScalarValue::make_bool(false);
    return std::unexpected(std::format("string {} is not a boolean", text::quoted(s)));
  }
  __int128 n = 0;
  if (canonical_integer(s, n)) return scalar_from_integer(kind, n);
  if (auto d = json::number_document(s)) return scalar_from_f64(kind, *d);
  return std::unexpected(std::format("string {} is not an integer", text::quoted(s)));
}

Coerced scalar_from_value(ScalarKind kind, const MessagePackValue& value, bool strict) {
  const bool is_float = kind == ScalarKind::float32 || kind == ScalarKind::float64;
  auto refuse = [&] {
    return std::unexpected(strict ? std::format("expected {}", display_name(kind))
                                  : std::format("value is not coercible to {}", display_name(kind)));
  };
  using K = MessagePackValue::Kind;
  switch (value.kind) {
    case K::Nil:
      if (kind == ScalarKind::float32) return ScalarValue::make_f32(std::numeric_limits<float>::quiet_NaN());
      if (kind == ScalarKind::float64) return ScalarValue::make_f64(std::numeric_limits<double>::quiet_NaN());
      return refuse();
    case K::Boolean:
      if (kind == ScalarKind::bool_) return ScalarValue::make_bool(value.boolean);
      return refuse();
    case K::Integer:
      if (strict && kind == ScalarKind::bool_) return refuse();
      return scalar_from_integer(kind, value.negative ? __int128{value.i} : __int128{value.u});
    case K::F32:
    case K::F64:
      if (strict && !is_float) return refuse();
      return scalar_from_f64(kind, value.kind == K::F32 ? static_cast<double>(value.f32) : value.f64);
    case K::String:
      if (strict) return refuse();
      return scalar_from_str(kind, value.bytes);
    case K::Binary:
    case K::Array:
    case K::Map:
    case K::Ext: return refuse();
  }
  return refuse();
}

}  // namespace quorvel::serde
