// Text helpers shared by every message of the module.
#pragma once

#include "py/words.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvel::inline py::text {

// The quoted form of a name in messages: double quotes, backslash escapes for quotes,
// backslashes and control characters ("a\"b", "tab\there", "\u{1b}").
std::string quoted(std::string_view utf8);

// A byte sequence as a bracketed list of decimal values: [1, 2, 255].
std::string byte_list(std::span<const uint8_t> bytes);

// Shortest decimal form that reads back at the value's width, never with an exponent; integral
// values have no fractional part; non-finite values print as inf, -inf and NaN.
std::string shortest(double value);
std::string shortest(float value);

// As `shortest(double)`, but ".0" is appended when the digits hold no decimal point (the form the
// document readers use when they show a float they found).
std::string shortest_with_point(double value);

// The UTF-8 sequence that starts at s[at] (RFC 3629: no surrogates, no overlong forms): when
// `valid`, a well-formed one of `length` bytes; otherwise `length` is that of its maximal invalid
// part, 0 when the text ends inside a sequence well-formed so far.
struct Utf8Sequence {
  size_t length;
  bool valid;
};
Utf8Sequence utf8_sequence(std::string_view s, size_t at) noexcept;
// The length of the well-formed sequence at s[at], or 0 when none starts there.
inline size_t utf8_length(std::string_view s, size_t at) noexcept {
  const Utf8Sequence sequence = utf8_sequence(s, at);
  return sequence.valid ? sequence.length : 0;
}
// A code point (no surrogate) appended as UTF-8.
void append_utf8(std::string& out, char32_t cp);

// Validates UTF-8 and, on failure, describes the first fault the way the document readers report
// it: "invalid utf-8 sequence of {} bytes from index {}" or
// "incomplete utf-8 byte sequence from index {}". Returns an empty string for valid input.
std::string utf8_fault(std::string_view bytes);
// Whether every byte is below 0x80 (see words.hpp).
using words::is_ascii;
inline bool is_utf8(std::string_view bytes) { return is_ascii(bytes) || utf8_fault(bytes).empty(); }
// The byte span [start, end) of the first invalid sequence (end = start + 1 when the text ends
// inside a sequence); false for valid input.
bool utf8_fault_span(std::string_view bytes, size_t& start, size_t& end);

// Bytes as text, invalid sequences replaced by U+FFFD (one per maximal invalid subpart).
std::string utf8_lossy(std::string_view bytes);

// How a byte appears inside a JSON string: 0 when copied as is, otherwise the letter of its
// short escape (backslash and b, f, n, r, t, '"' or '\\'), or 'u' for \u00XX.
inline constexpr auto json_escapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// UTF-8 text as a quoted JSON string with the escapes of `json_escapes`, appended to `out`. The
// slow, simple form, for text prepared once (the JSON writer has its own fast loop).
void append_json_string(std::string& out, std::string_view utf8);

}  // namespace quorvel::py::text
