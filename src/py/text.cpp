#include "py/text.hpp"

#include <charconv>
#include <cmath>
#include <format>

namespace quorvel::inline py::text {

namespace {

// The code point of the well-formed sequence of `length` bytes at s[i].
char32_t code_point(std::string_view s, size_t i, size_t length) noexcept {
  static constexpr uint8_t lead_bits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t cp = static_cast<uint8_t>(s[i]) & lead_bits[length];
  for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3Fu);
  return cp;
}

// Shortest round-trip digits, laid out without an exponent: 1e23 prints as 1 followed by 23 zeros
// (not the exact binary value's digits), 1e-7 as 0.0000001.
template <class Float>
std::string shortest_impl(Float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const size_t e_at = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_at)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::from_chars(sci.data() + e_at + (sci[e_at + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (exponent >= 0) {
    const size_t integral = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= integral) {
      out += digits;
      out.append(integral - digits.size(), '0');
    } else {
      out.append(digits, 0, integral);
      out.push_back('.');
      out.append(digits, integral);
    }
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

}  // namespace

Utf8Sequence utf8_sequence(std::string_view s, size_t at) noexcept {
  const auto b0 = static_cast<uint8_t>(s[at]);
  if (b0 < 0x80) return {1, true};
  // The width by the lead byte, and the range of the second byte that leaves out overlong forms,
  // surrogates and code points past U+10FFFF.
  size_t width = 0;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    width = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    width = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    width = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  for (size_t k = 1; k < width; ++k) {
    if (at + k >= s.size()) return {0, false};
    const auto b = static_cast<uint8_t>(s[at + k]);
    if (k == 1 ? b < lo || b > hi : (b & 0xC0) != 0x80) return {k, false};
  }
  return {width, true};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void append_json_string(std::string& out, std::string_view utf8) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    const char letter = json_escapes[byte];
    if (letter == 0) {
      out.push_back(c);
    } else if (letter == 'u') {
      out += "\\u00";
      out.push_back(hex[byte >> 4]);
      out.push_back(hex[byte & 0xf]);
    } else {
      out.push_back('\\');
      out.push_back(letter);
    }
  }
  out.push_back('"');
}

std::string quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  size_t i = 0;
  while (i < s.size()) {
    const size_t start = i;
    const Utf8Sequence sequence = utf8_sequence(s, i);
    if (!sequence.valid) {
      // Not expected for validated text; keep the byte visible rather than dropping it.
      out += std::format("\\x{:02x}", static_cast<uint8_t>(s[start]));
      i = start + 1;
      continue;
    }
    i += sequence.length;
    const char32_t cp = code_point(s, start, sequence.length);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          out += std::format("\\u{{{:x}}}", static_cast<uint32_t>(cp));
        } else {
          out.append(s.substr(start, i - start));
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string byte_list(std::span<const uint8_t> bytes) {
  std::string out = "[";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(bytes[i]);
  }
  out += "]";
  return out;
}

std::string shortest(double value) { return shortest_impl(value); }
std::string shortest(float value) { return shortest_impl(value); }

std::string shortest_with_point(double value) {
  std::string s = shortest_impl(value);
  if (std::isfinite(value) && s.find('.') == std::string::npos) s += ".0";
  return s;
}

std::string utf8_fault(std::string_view bytes) {
  // Runs of ASCII, the common case, are skipped a word at a time.
  size_t i = 0;
  while (i < bytes.size()) {
    i = words::skip_ascii(bytes, i);
    if (i >= bytes.size()) break;
    const Utf8Sequence sequence = utf8_sequence(bytes, i);
    if (!sequence.valid) {
      if (sequence.length == 0) return std::format("incomplete utf-8 byte sequence from index {}", i);
      return std::format("invalid utf-8 sequence of {} bytes from index {}", sequence.length, i);
    }
    i += sequence.length;
  }
  return {};
}

bool utf8_fault_span(std::string_view bytes, size_t& start, size_t& end) {
  for (size_t i = 0; i < bytes.size();) {
    const Utf8Sequence sequence = utf8_sequence(bytes, i);
    if (!sequence.valid) {
      start = i;
      end = i + (sequence.length == 0 ? 1 : sequence.length);
      return true;
    }
    i += sequence.length;
  }
  return false;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const Utf8Sequence sequence = utf8_sequence(bytes, i);
    if (sequence.valid) {
      out.append(bytes.substr(i, sequence.length));
      i += sequence.length;
    } else {
      out += "\xEF\xBF\xBD";
      i += sequence.length == 0 ? bytes.size() - i : sequence.length;
    }
  }
  return out;
}

}  // namespace quorvel::py::text
