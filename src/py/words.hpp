// Bytes read, tested, compared and copied a machine word at a time. Keys, names and the runs
// between escapes are short, and a call into the C library for each costs more than the work.
// Loads go through memcpy: any alignment will do, and the compiler emits one move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorvel::inline py::words {

inline constexpr uint64_t ones = 0x0101010101010101ULL;   // 0x01 in every byte
inline constexpr uint64_t highs = 0x8080808080808080ULL;  // the top bit of every byte

// The `Word` (uint16_t to uint64_t) stored at `p`, at any alignment.
template <class Word>
[[gnu::always_inline]] inline Word load(const void* p) noexcept {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Byte tests on an eight-byte word: each sets the top bit of the bytes it finds and clears every
// other bit. A borrow may also mark bytes above the first one found, so the result tells exactly
// whether there is one and which is the lowest, not how many.

// Bytes below `n` (n at most 0x80).
constexpr uint64_t bytes_below(uint64_t w, uint8_t n) noexcept { return (w - ones * n) & ~w & highs; }
// Bytes equal to `b`.
constexpr uint64_t bytes_equal(uint64_t w, uint8_t b) noexcept { return bytes_below(w ^ (ones * b), 1); }
// Bytes at or above 0x80 (exact for every byte).
constexpr uint64_t non_ascii(uint64_t w) noexcept { return w & highs; }

// Whether every byte is below 0x80 (the common case for keys and names).
inline bool is_ascii(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  const size_t n = bytes.size();
  if (n < 8) {
    // Short text in at most two overlapping loads, never outside it.
    if (n >= 4) return ((load<uint32_t>(p) | load<uint32_t>(p + n - 4)) & 0x80808080U) == 0;
    if (n == 0) return true;
    return ((static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) |
             static_cast<unsigned char>(p[n - 1])) & 0x80U) == 0;
  }
  uint64_t bits = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) bits |= load<uint64_t>(p + i);
  for (; i < n; ++i) bits |= static_cast<unsigned char>(p[i]);
  return non_ascii(bits) == 0;
}

// The index of the first byte at or after `i` that is 0x80 or above, or the size.
inline size_t skip_ascii(std::string_view bytes, size_t i) noexcept {
  const size_t n = bytes.size();
  while (i + 8 <= n && non_ascii(load<uint64_t>(bytes.data() + i)) == 0) i += 8;
  while (i < n && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i;
}

// Whether `text` holds `byte`, for text inside a padded buffer: whole words are read, so up to 7
// bytes past its end must be readable.
inline bool padded_contains(std::string_view text, char byte) noexcept {
  for (size_t i = 0; i < text.size(); i += 8) {
    uint64_t found = bytes_equal(load<uint64_t>(text.data() + i), static_cast<uint8_t>(byte));
    const size_t left = text.size() - i;
    if (left < 8) found &= (uint64_t{1} << (8 * left)) - 1;
    if (found != 0) return true;
  }
  return false;
}

// Whether `a` and `b` hold the same `n` bytes, in overlapping words, never reading outside
// either range.
[[gnu::always_inline]] inline bool same(const char* a, const char* b, size_t n) noexcept {
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) {
      if (load<uint64_t>(a + i) != load<uint64_t>(b + i)) return false;
    }
    return load<uint64_t>(a + n - 8) == load<uint64_t>(b + n - 8);
  }
  if (n >= 4) return load<uint32_t>(a) == load<uint32_t>(b) && load<uint32_t>(a + n - 4) == load<uint32_t>(b + n - 4);
  if (n >= 2) return load<uint16_t>(a) == load<uint16_t>(b) && load<uint16_t>(a + n - 2) == load<uint16_t>(b + n - 2);
  return n == 0 || a[0] == b[0];
}

// Copies `n` bytes. Short runs (keys, numbers, short strings: most of a document) are moved by
// fixed-size copies that the compiler inlines, instead of a call into the C library per run.
inline void copy(char* dst, const void* source, size_t n) noexcept {
  const auto* src = static_cast<const char*>(source);
  if (n > 16) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    // Two overlapping words cover 8 to 16 bytes.
    const auto a = load<uint64_t>(src), b = load<uint64_t>(src + n - 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    const auto a = load<uint32_t>(src), b = load<uint32_t>(src + n - 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n > 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}

}  // namespace quorvel::py::words
