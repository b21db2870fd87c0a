#include "py/text.hpp"

#include <charconv>
#include <cmath>
#include <format>
#include <optional>

namespace quorvel::inline py::text {

namespace {

// Decodes one code point at `i`; returns nullopt with `fault_len` set (0 = incomplete) on an
// invalid sequence. The acceptance ranges are those of RFC 3629 (no surrogates, no overlongs).
std::optional<char32_t> decode_one(std::string_view s, size_t& i, size_t& fault_len) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  auto cont = [](uint8_t b) { return (b & 0xC0) == 0x80; };
  size_t width = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) width = 2;
  else if (b0 >= 0xE0 && b0 <= 0xEF) width = 3;
  else if (b0 >= 0xF0 && b0 <= 0xF4) width = 4;
  if (width == 0) {
    fault_len = 1;
    return std::nullopt;
  }
  if (i + 1 >= s.size()) {
    fault_len = 0;
    return std::nullopt;
  }
  const uint8_t b1 = byte(i + 1);
  bool second_ok = false;
  switch (width) {
    case 2: second_ok = cont(b1); break;
    case 3:
      second_ok = (b0 == 0xE0 && b1 >= 0xA0 && b1 <= 0xBF) || (b0 >= 0xE1 && b0 <= 0xEC && cont(b1)) ||
                  (b0 == 0xED && b1 >= 0x80 && b1 <= 0x9F) || (b0 >= 0xEE && cont(b1));
      break;
    default:
      second_ok = (b0 == 0xF0 && b1 >= 0x90 && b1 <= 0xBF) || (b0 >= 0xF1 && b0 <= 0xF3 && cont(b1)) ||
                  (b0 == 0xF4 && b1 >= 0x80 && b1 <= 0x8F);
      break;
  }
  if (!second_ok) {
    fault_len = 1;
    return std::nullopt;
  }
  char32_t cp = 0;
  if (width == 2) {
    cp = ((b0 & 0x1Fu) << 6) | (b1 & 0x3Fu);
  } else {
    for (size_t k = 2; k < width; ++k) {
      if (i + k >= s.size()) {
        fault_len = 0;
        return std::nullopt;
      }
      if (!cont(byte(i + k))) {
        fault_len = k;
        return std::nullopt;
      }
    }
    if (width == 3) {
      cp = ((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
    } else {
      cp = ((b0 & 0x07u) << 18) | ((b1 & 0x3Fu) << 12) | ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
    }
  }
  i += width;
  return cp;
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
    size_t start = i;
    size_t fault = 0;
    auto cp = decode_one(s, i, fault);
    if (!cp) {
      // Not expected for validated text; keep the byte visible rather than dropping it.
      out += std::format("\\x{:02x}", static_cast<uint8_t>(s[start]));
      i = start + 1;
      continue;
    }
    switch (*cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (*cp < 0x20 || (*cp >= 0x7F && *cp < 0xA0)) {
          out += std::format("\\u{{{:x}}}", static_cast<uint32_t>(*cp));
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
    size_t start = i;
    size_t fault = 0;
    if (!decode_one(bytes, i, fault)) {
      if (fault == 0) return std::format("incomplete utf-8 byte sequence from index {}", start);
      return std::format("invalid utf-8 sequence of {} bytes from index {}", fault, start);
    }
  }
  return {};
}

bool utf8_fault_span(std::string_view bytes, size_t& start, size_t& end) {
  size_t i = 0;
  while (i < bytes.size()) {
    size_t at = i;
    size_t fault = 0;
    if (!decode_one(bytes, i, fault)) {
      start = at;
      end = at + (fault == 0 ? 1 : fault);
      return true;
    }
  }
  return false;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t start = i;
    size_t fault = 0;
    if (auto cp = decode_one(bytes, i, fault)) {
      append_utf8(out, *cp);
    } else {
      out += "\xEF\xBF\xBD";
      i = start + (fault == 0 ? bytes.size() - start : fault);
    }
  }
  return out;
}

}  // namespace quorvel::py::text
