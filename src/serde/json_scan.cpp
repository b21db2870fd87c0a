#include "serde/json_scan.hpp"

#include "py/error.hpp"
#include "py/text.hpp"

#include <charconv>
#include <cmath>
#include <format>
#include <limits>
#include <utility>

namespace quorvel::serde::json {

namespace {

constexpr std::string_view comma_text = "JSON has a comma after the last value in an array or object";

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits at t[pos..]; -1 when they are not.
int hex4(std::string_view t, size_t pos) noexcept {
  if (pos + 4 > t.size()) return -1;
  int v = 0;
  for (size_t k = 0; k < 4; ++k) {
    int d = hex_digit(t[pos + k]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// A string token at t[pos] == '"'; on success pos is past the closing quote.
std::optional<Fault> scan_string(std::string_view t, size_t& pos) {
  const size_t n = t.size();
  ++pos;
  while (true) {
    while (pos < n) {
      const auto c = static_cast<uint8_t>(t[pos]);
      if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
      ++pos;
    }
    if (pos >= n) return Fault{eof_text, n};
    const auto c = static_cast<uint8_t>(t[pos]);
    if (c == '"') {
      ++pos;
      return std::nullopt;
    }
    if (c < 0x20) return Fault{"Control character found while parsing a string", pos};
    if (c >= 0x80) {
      size_t len = text::utf8_length(t, pos);
      if (len == 0) return Fault{"Invalid UTF-8 characters in json", pos};
      pos += len;
      continue;
    }
    // An escape.
    if (pos + 1 >= n) return Fault{eof_text, n};
    const char e = t[pos + 1];
    if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
      pos += 2;
      continue;
    }
    if (e != 'u') return Fault{std::string_view("Invalid escape chars in JSON string"), pos + 1};
    int cp = hex4(t, pos + 2);
    if (cp < 0) return Fault{pos + 6 > n ? eof_text : std::string_view("Invalid hex escape in JSON string"), pos + 6 > n ? n : pos + 2};
    if (cp >= 0xDC00 && cp <= 0xDFFF) return Fault{std::string_view("Invalid surrogate in JSON string escape"), pos + 2};
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // The low half must follow as a second \u escape; only a text that ends on the way to it
      // ends early.
      const std::string_view next = t.substr(pos + 6, 6);
      if (next.size() < 6 && std::string_view("\\u").starts_with(next.substr(0, 2))) return Fault{eof_text, n};
      int low = next.starts_with("\\u") ? hex4(t, pos + 8) : -1;
      if (low < 0xDC00 || low > 0xDFFF) return Fault{std::string_view("Invalid surrogate in JSON string escape"), pos + 6};
      pos += 12;
      continue;
    }
    pos += 6;
  }
}

// A number token at t[pos]; pos is past it on success.
std::optional<Fault> scan_number(std::string_view t, size_t& pos) {
  const size_t n = t.size();
  auto digit = [&](size_t k) { return k < n && t[k] >= '0' && t[k] <= '9'; };
  auto invalid = [&](size_t at) { return Fault{at >= n ? eof_text : std::string_view("Invalid number"), at >= n ? n : at}; };
  if (t[pos] == '-') ++pos;
  if (!digit(pos)) return invalid(pos);
  if (t[pos] == '0') {
    ++pos;
  } else {
    while (digit(pos)) ++pos;
  }
  if (pos < n && t[pos] == '.') {
    ++pos;
    if (!digit(pos)) return invalid(pos);
    while (digit(pos)) ++pos;
  }
  if (pos < n && (t[pos] == 'e' || t[pos] == 'E')) {
    ++pos;
    if (pos < n && (t[pos] == '+' || t[pos] == '-')) ++pos;
    if (!digit(pos)) return invalid(pos);
    while (digit(pos)) ++pos;
  }
  // A number runs up to a delimiter; "1x" or "01" is one malformed token.
  if (pos < n) {
    const char c = t[pos];
    if ((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-' || (c >= 'a' && c <= 'z') ||
        (c >= 'A' && c <= 'Z')) {
      return Fault{"Invalid number", pos};
    }
  }
  return std::nullopt;
}

std::optional<Fault> scan_literal(std::string_view t, size_t& pos, std::string_view word) {
  for (size_t k = 0; k < word.size(); ++k) {
    if (pos + k >= t.size()) return Fault{eof_text, t.size()};
    if (t[pos + k] != word[k]) return Fault{std::string_view("Invalid literal (`true`, `false`, or `null`) while parsing"), pos + k};
  }
  pos += word.size();
  return std::nullopt;
}

// Line (1-based) and the offset at which that line starts.
std::pair<size_t, size_t> line_of(std::string_view text, size_t offset) noexcept {
  size_t line = 1, line_start = 0;
  for (size_t k = 0; k < offset; ++k) {
    if (text[k] == '\n') {
      ++line;
      line_start = k + 1;
    }
  }
  return {line, line_start};
}

}  // namespace

std::optional<Fault> scan_value(std::string_view t, size_t& pos, unsigned budget) {
  const size_t n = t.size();
  bool is_object[256];  // the budget never exceeds 255 levels
  size_t depth = 0;
  auto skip_space = [&] {
    while (pos < n && is_space(t[pos])) ++pos;
  };
  auto open = [&](bool object) -> std::optional<Fault> {
    if (budget <= 1 || depth >= 255) return Fault{recursion_text, pos};
    --budget;
    is_object[depth++] = object;
    ++pos;
    return std::nullopt;
  };

  enum class Next : uint8_t { value, key, after_value };
  Next next = Next::value;
  while (true) {
    skip_space();
    if (pos >= n) return Fault{eof_text, n};
    const char c = t[pos];
    switch (next) {
      case Next::value: {
        std::optional<Fault> f;
        if (c == '{' || c == '[') {
          const bool object = c == '{';
          if ((f = open(object))) return f;
          skip_space();
          if (pos < n && t[pos] == (object ? '}' : ']')) {
            ++pos, --depth, ++budget;
            if (depth == 0) return std::nullopt;
            next = Next::after_value;
          } else {
            next = object ? Next::key : Next::value;
          }
          continue;
        }
        if (c == '"') {
          const size_t start = pos;
          if ((f = scan_string(t, pos))) f->token = start;
        }
        else if (c == 't') f = scan_literal(t, pos, "true");
        else if (c == 'f') f = scan_literal(t, pos, "false");
        else if (c == 'n') f = scan_literal(t, pos, "null");
        else if (c == '-' || (c >= '0' && c <= '9')) f = scan_number(t, pos);
        else return Fault{"Invalid JSON value", pos};
        if (f) return f;
        next = Next::after_value;
        break;
      }
      case Next::key: {
        if (c != '"') return Fault{"Expected this character to be a '\"' while parsing", pos};
        const size_t start = pos;
        if (auto f = scan_string(t, pos)) {
          f->token = start;
          return f;
        }
        skip_space();
        if (pos >= n) return Fault{eof_text, n};
        if (t[pos] != ':') return Fault{"Expected this character to be a ':' while parsing", pos};
        ++pos;
        next = Next::value;
        break;
      }
      case Next::after_value: {
        const bool object = is_object[depth - 1];
        if (c == (object ? '}' : ']')) {
          ++pos, --depth, ++budget;
          break;
        }
        if (c != ',') {
          return Fault{object ? "Expected this character to be either a ',' or a '}' while parsing"
                              : "Expected this character to be either a ',' or a ']' while parsing",
                       pos};
        }
        ++pos;
        skip_space();
        if (pos >= n) return Fault{eof_text, n};
        if (t[pos] == '}' || t[pos] == ']') return Fault{comma_text, pos};
        next = object ? Next::key : Next::value;
        break;
      }
    }
    if (next == Next::after_value && depth == 0) return std::nullopt;
  }
}

std::optional<Fault> scan_document(std::string_view text, unsigned budget) {
  size_t pos = 0;
  if (auto f = scan_value(text, pos, budget)) return f;
  while (pos < text.size() && is_space(text[pos])) ++pos;
  if (pos < text.size()) return Fault{trailing_text, pos};
  return std::nullopt;
}

std::string_view single_json_value(std::string_view text) {
  // The document reader's own faults and texts, so that text a fallback hands us is judged
  // exactly as the reader would judge it.
  if (auto fault = scan_document(text, 255)) {
    reader_fail("{}{}", fault->message, position_suffix(text, fault->offset, fault->offset < text.size()));
  }
  return trim(text);
}

std::string position_suffix(std::string_view text, size_t offset, bool include_byte) {
  if (offset > text.size()) offset = text.size();
  const auto [line, line_start] = line_of(text, offset);
  size_t column = offset - line_start + (include_byte && offset < text.size() ? 1 : 0);
  // A short excerpt of the line around the position, on one line so that nested messages stay
  // readable.
  size_t from = offset - line_start > 20 ? offset - 20 : line_start;
  size_t to = offset;
  while (to < text.size() && to - offset < 12 && text[to] != '\n') ++to;
  std::string excerpt;
  for (size_t k = from; k < to; ++k) {
    const auto c = static_cast<uint8_t>(text[k]);
    excerpt += c < 0x20 || c >= 0x7f ? '.' : static_cast<char>(c);
  }
  if (excerpt.empty()) return std::format(" at line {} column {}", line, column);
  return std::format(" at line {} column {} near `{}`", line, column, excerpt);
}

std::string unescape(std::string_view token) {
  std::string out;
  out.reserve(token.size());
  size_t k = 1;
  const size_t end = token.size() - 1;
  while (k < end) {
    const char c = token[k];
    if (c != '\\') {
      out += c;
      ++k;
      continue;
    }
    const char e = token[k + 1];
    switch (e) {
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        auto cp = static_cast<uint32_t>(hex4(token, k + 2));
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          auto low = static_cast<uint32_t>(hex4(token, k + 8));
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          k += 6;
        }
        text::append_utf8(out, cp);
        k += 6;
        continue;
      }
      default: out += e; break;
    }
    k += 2;
  }
  return out;
}

std::optional<Number> parse_number(std::string_view token) {
  if (token.empty()) return std::nullopt;
  size_t pos = 0;
  if (scan_number(token, pos) || pos != token.size()) return std::nullopt;
  Number number{};
  const char* first = token.data();
  const char* last = first + token.size();
  const bool integral = token.find_first_of(".eE") == std::string_view::npos;
  if (integral) {
    if (token[0] == '-') {
      int64_t v = 0;
      if (std::from_chars(first, last, v).ec == std::errc{} && !is_negative_zero(v, token[0])) {
        number.kind = Number::Kind::signed_integer;
        number.i = v;
        return number;
      }
    } else {
      uint64_t v = 0;
      if (std::from_chars(first, last, v).ec == std::errc{}) {
        number.kind = Number::Kind::unsigned_integer;
        number.u = v;
        return number;
      }
    }
  }
  double d = decimal_value(token);
  if (std::isinf(d)) return std::nullopt;
  number.kind = Number::Kind::floating;
  number.d = d;
  return number;
}

namespace {

// The nearest value of type T to a validated decimal literal. The text claims its own exponent, so
// every sum over it saturates: an exponent far past any float's range reads like any larger one.
template <class T>
T nearest(std::string_view token) noexcept {
  T value = 0;
  auto result = std::from_chars(token.data(), token.data() + token.size(), value);
  if (result.ec != std::errc::result_out_of_range) return value;
  // The decimal exponent of the first significant digit tells overflow from underflow. The digit
  // counts and the written exponent each stop growing at a bound far past every float's range
  // (and past any text's length), so their sum cannot overflow.
  constexpr int64_t bound = 1'000'000'000'000'000;
  const bool negative = !token.empty() && token[0] == '-';
  size_t k = negative ? 1 : 0;
  int64_t exponent = 0;
  bool seen_digit = false;
  bool after_dot = false;
  for (; k < token.size() && token[k] != 'e' && token[k] != 'E'; ++k) {
    if (token[k] == '.') {
      after_dot = true;
      continue;
    }
    if (token[k] != '0') seen_digit = true;
    if (!seen_digit && after_dot && exponent > -bound) --exponent;
    if (seen_digit && !after_dot && exponent < bound) ++exponent;
  }
  if (k + 1 < token.size()) {
    size_t at = k + 1;
    const bool minus = token[at] == '-';
    if (token[at] == '+' || token[at] == '-') ++at;
    int64_t e = 0;
    for (; at < token.size() && e < bound; ++at) e = e * 10 + (token[at] - '0');
    exponent += minus ? -e : e;
  }
  const T magnitude = exponent > 0 ? std::numeric_limits<T>::infinity() : T{0};
  return negative ? -magnitude : magnitude;
}

}  // namespace

double decimal_value(std::string_view token) noexcept { return nearest<double>(token); }

float decimal_value_f32(std::string_view token) noexcept { return nearest<float>(token); }

std::string_view trim(std::string_view text) noexcept {
  size_t a = 0, b = text.size();
  while (a < b && is_space(text[a])) ++a;
  while (b > a && is_space(text[b - 1])) --b;
  return text.substr(a, b - a);
}

std::optional<double> number_document(std::string_view text, std::string* fault) {
  size_t pos = 0;
  while (pos < text.size() && is_space(text[pos])) ++pos;
  auto fail = [&](std::string_view message, size_t at, bool include) -> std::optional<double> {
    if (fault) *fault = std::string(message) + position_suffix(text, at, include);
    return std::nullopt;
  };
  if (pos >= text.size()) return fail(eof_text, text.size(), false);
  const char c = text[pos];
  if (c != '-' && (c < '0' || c > '9')) return fail("Invalid JSON value", pos, true);
  const size_t start = pos;
  if (auto f = scan_number(text, pos)) return fail(f->message, f->offset, f->offset < text.size());
  auto number = parse_number(text.substr(start, pos - start));
  if (!number) return fail("number out of range", start, true);
  while (pos < text.size() && is_space(text[pos])) ++pos;
  if (pos < text.size()) return fail(trailing_text, pos, true);
  switch (number->kind) {
    case Number::Kind::unsigned_integer: return static_cast<double>(number->u);
    case Number::Kind::signed_integer: return static_cast<double>(number->i);
    case Number::Kind::floating: return number->d;
  }
  return std::nullopt;
}

}  // namespace quorvel::serde::json
