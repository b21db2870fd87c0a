// The compact JSON writer: no whitespace anywhere, strings with the short escapes, integers in
// decimal, floats in their shortest round-trip digits (plain or scientific by their exponent),
// and raw values embedded as they are (the caller validates them first).
#pragma once

#include "py/bytes_buffer.hpp"
#include "py/text.hpp"
#include "py/words.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace quorvel::serde {

namespace detail {

using py::text::json_escapes;

// Whether any of the eight bytes at `p` is below 0x20, '"' or '\\' (exact for existence).
inline bool any_escape(const unsigned char* p) noexcept {
  const auto x = py::words::load<uint64_t>(p);
  return py::words::bytes_below(x, 0x20) | py::words::bytes_equal(x, '"') | py::words::bytes_equal(x, '\\');
}

// Writes a decimal given by its significant digits d1 d2 ... dn and the exponent e of d1: plain
// notation when lo <= e <= hi (integral values end in ".0", values below one start "0."),
// otherwise "d1.d2...dne+X" with the exponent unpadded.
inline char* put_decimal(char* p, bool negative, const char* digits, size_t n, int e, int lo, int hi) noexcept {
  if (negative) *p++ = '-';
  if (e < lo || e > hi) {
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      py::words::copy(p, digits + 1, n - 1);
      p += n - 1;
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    return std::to_chars(p, p + 8, e < 0 ? -e : e).ptr;
  }
  if (e < 0) {
    *p++ = '0';
    *p++ = '.';
    for (int k = -1; k > e; --k) *p++ = '0';
    py::words::copy(p, digits, n);
    return p + n;
  }
  const size_t whole = static_cast<size_t>(e) + 1;
  if (n <= whole) {
    py::words::copy(p, digits, n);
    p += n;
    for (size_t k = n; k < whole; ++k) *p++ = '0';
    *p++ = '.';
    *p++ = '0';
    return p;
  }
  py::words::copy(p, digits, whole);
  p += whole;
  *p++ = '.';
  py::words::copy(p, digits + whole, n - whole);
  return p + (n - whole);
}

// Splits std::to_chars' shortest scientific form ("-d.ddde+XX") into digits and exponent.
inline char* put_scientific_form(char* p, const char* sci, const char* sci_end, int lo, int hi) noexcept {
  const char* s = sci;
  const bool negative = *s == '-';
  if (negative) ++s;
  char digits[24];
  size_t n = 0;
  digits[n++] = *s++;
  if (*s == '.') {
    ++s;
    while (*s != 'e') digits[n++] = *s++;
  }
  ++s;  // 'e'
  const bool negative_exp = *s == '-';
  ++s;
  int e = 0;
  for (; s < sci_end; ++s) e = e * 10 + (*s - '0');
  return put_decimal(p, negative, digits, n, negative_exp ? -e : e, lo, hi);
}

// Powers of ten that doubles hold exactly.
inline constexpr auto exact_pow10 = [] {
  std::array<double, 23> table{};
  double p = 1;
  for (double& t : table) t = p, p *= 10;
  return table;
}();

// The shortest digits of a positive finite double whose shortest decimal form has at most 14
// significant digits (15 for part of each decade), found by scaling with a power of ten held
// exactly; false for every other value and for very small and very large ones. The double scaled to m < 10^15 < 2^50 by one
// multiplication (or division) lands within 1/4 of the integer m of such a form, so rounding
// finds m, and one division proves it reads back as the value. A form of at most 15 digits that
// reads back is the only one of its length (15 digits always round-trip a double), so it is the
// shortest there is. Human-written values (0.1, 48.0009765625, 1.7e12) take this road; the rest
// go to std::to_chars.
inline bool short_digits(double a, char* digits, size_t& n, int& e) noexcept {
  // floor(log10(2^b)) for the binary exponent b; the value's decimal exponent is that or one more.
  const int b = static_cast<int>((std::bit_cast<uint64_t>(a) >> 52) & 0x7ff) - 1023;
  const int low = (b * 1233) >> 12;
  const int scale = 13 - low;  // a * 10^scale < 10^15
  double y;
  if (scale >= 0) {
    if (scale > 22) return false;
    y = a * exact_pow10[static_cast<size_t>(scale)];
  } else {
    if (-scale > 22) return false;
    y = a / exact_pow10[static_cast<size_t>(-scale)];
  }
  if (!(y < 1e15)) return false;  // the exponent estimate was off: the bound above would not hold
  uint64_t m = static_cast<uint64_t>(y + 0.5);  // y + 0.5 is exact below 2^50
  if (m == 0) return false;
  const double back = static_cast<double>(m);
  if ((scale >= 0 ? back / exact_pow10[static_cast<size_t>(scale)] : back * exact_pow10[static_cast<size_t>(-scale)]) != a) {
    return false;
  }
  // Trailing zeros (at most 14) in halving steps.
  int zeros = 0;
  if (m % 100000000 == 0) m /= 100000000, zeros += 8;
  if (m % 10000 == 0) m /= 10000, zeros += 4;
  if (m % 100 == 0) m /= 100, zeros += 2;
  if (m % 10 == 0) m /= 10, zeros += 1;
  n = static_cast<size_t>(std::to_chars(digits, digits + 20, m).ptr - digits);
  e = static_cast<int>(n) + zeros - 1 - scale;
  return true;
}

// The shortest form of a finite double (-5 <= exponent <= 15 plain).
inline char* put_double(char* p, double v) noexcept {
  char digits[24];
  size_t n = 0;
  int e = 0;
  if (v != 0 && short_digits(std::fabs(v), digits, n, e)) return put_decimal(p, v < 0, digits, n, e, -5, 15);
  char sci[40];
  const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  return put_scientific_form(p, sci, end, -5, 15);
}

// The shortest form of a finite float32, at single precision (-6 <= exponent <= 12 plain).
inline char* put_float(char* p, float v) noexcept {
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  return put_scientific_form(p, sci, end, -6, 12);
}

}  // namespace detail

class JsonWriter {
 public:
  explicit JsonWriter(py::BytesBuffer& out) noexcept : out_(out) {}

  py::BytesBuffer& buffer() noexcept { return out_; }

  void put(char c) { out_.put(c); }
  void raw(std::string_view text) { out_.append(text); }
  void null() { out_.append("null", 4); }
  void boolean(bool v) { v ? out_.append("true", 4) : out_.append("false", 5); }
  void integer(int64_t v) {
    char* p = out_.reserve(20);
    out_.commit_to(std::to_chars(p, p + 20, v).ptr);
  }
  void unsigned_integer(uint64_t v) {
    char* p = out_.reserve(20);
    out_.commit_to(std::to_chars(p, p + 20, v).ptr);
  }
  // Non-finite values have no JSON form and are written as null.
  void float64(double v) {
    if (!std::isfinite(v)) return null();
    out_.commit_to(detail::put_double(out_.reserve(40), v));
  }
  void float32(float v) {
    if (!std::isfinite(v)) return null();
    out_.commit_to(detail::put_float(out_.reserve(40), v));
  }

  // A quoted string of UTF-8 text: '"' and '\' escaped, control bytes as \b \f \n \r \t or
  // \u00XX; everything else (0x7f and non-ASCII included) copied unchanged.
  void string(std::string_view s) {
    const auto* in = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    char* p = out_.reserve(n + 2);
    *p++ = '"';
    size_t i = 0;
    while (true) {
      size_t j = i;
      // Eight bytes at a time while none of them needs an escape, then byte by byte.
      while (j + 8 <= n && !detail::any_escape(in + j)) j += 8;
      while (j < n && detail::json_escapes[in[j]] == 0) ++j;
      py::words::copy(p, in + i, j - i);
      p += j - i;
      if (j == n) break;
      // An escape needs up to 6 bytes where the byte took 1; the rest of the text and the
      // closing quote must still fit.
      out_.commit_to(p);
      p = out_.reserve(6 + (n - j - 1) + 1);
      const char letter = detail::json_escapes[in[j]];
      *p++ = '\\';
      if (letter == 'u') {
        static constexpr char hex[] = "0123456789abcdef";
        *p++ = 'u';
        *p++ = '0';
        *p++ = '0';
        *p++ = hex[in[j] >> 4];
        *p++ = hex[in[j] & 0xf];
      } else {
        *p++ = letter;
      }
      i = j + 1;
    }
    *p++ = '"';
    out_.commit_to(p);
  }

 private:
  py::BytesBuffer& out_;
};

}  // namespace quorvel::serde
