// The shortest-form MessagePack writer: every integer, length and header takes the smallest
// marker that holds it, non-negative integers always in the unsigned forms, floats at the width
// they are given. Knows no plan. It writes a `bytes` result (py::BytesBuffer) or a std::string
// (StringBuffer), the latter for generic values written again in compact form.
#pragma once

#include "msgpack/value.hpp"
#include "py/bytes_buffer.hpp"
#include "py/error.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace quorvel::msgpack {

// A failure of the writer itself: ValueError "cannot encode MessagePack: {}".
template <class... Args>
[[noreturn]] void writer_fail(std::format_string<Args...> fmt, Args&&... args) {
  fail_text(PyExc_ValueError, "cannot encode MessagePack: " + std::format(fmt, std::forward<Args>(args)...));
}

namespace detail {

template <class T>
inline char* put_be(char* p, T v) noexcept {
  if constexpr (sizeof(T) > 1) v = std::byteswap(v);
  std::memcpy(p, &v, sizeof(T));
  return p + sizeof(T);
}

// One marker byte followed by `v` big-endian.
template <class T>
inline char* put_marked(char* p, uint8_t marker, T v) noexcept {
  *p++ = static_cast<char>(marker);
  return put_be(p, v);
}

// At most 9 bytes.
inline char* put_uint(char* p, uint64_t v) noexcept {
  if (v < 0x80) {
    *p = static_cast<char>(v);
    return p + 1;
  }
  if (v <= 0xff) return put_marked(p, 0xcc, static_cast<uint8_t>(v));
  if (v <= 0xffff) return put_marked(p, 0xcd, static_cast<uint16_t>(v));
  if (v <= 0xffffffff) return put_marked(p, 0xce, static_cast<uint32_t>(v));
  return put_marked(p, 0xcf, v);
}

inline char* put_int(char* p, int64_t v) noexcept {
  if (v >= 0) return put_uint(p, static_cast<uint64_t>(v));
  if (v >= -32) {
    *p = static_cast<char>(static_cast<int8_t>(v));
    return p + 1;
  }
  if (v >= INT8_MIN) return put_marked(p, 0xd0, static_cast<uint8_t>(static_cast<int8_t>(v)));
  if (v >= INT16_MIN) return put_marked(p, 0xd1, static_cast<uint16_t>(static_cast<int16_t>(v)));
  if (v >= INT32_MIN) return put_marked(p, 0xd2, static_cast<uint32_t>(static_cast<int32_t>(v)));
  return put_marked(p, 0xd3, static_cast<uint64_t>(v));
}

// A header: the fix form below `fix_limit` (marker `fix | n`), then the 8-bit form when there is
// one (`m8` non-zero), then 16 and 32 bits. At most 5 bytes.
inline char* put_header(char* p, uint64_t n, uint64_t fix_limit, uint8_t fix, uint8_t m8, uint8_t m16, uint8_t m32) noexcept {
  if (n < fix_limit) {
    *p = static_cast<char>(fix | n);
    return p + 1;
  }
  if (m8 != 0 && n <= 0xff) return put_marked(p, m8, static_cast<uint8_t>(n));
  if (n <= 0xffff) return put_marked(p, m16, static_cast<uint16_t>(n));
  return put_marked(p, m32, static_cast<uint32_t>(n));
}

}  // namespace detail

// A std::string with the output interface of py::BytesBuffer. `reserve` grows the string at once
// and `commit_to` cuts it back, so every `reserve` is followed by its `commit_to` before anything
// else is written (as the writer does).
class StringBuffer {
 public:
  explicit StringBuffer(std::string& out) noexcept : out_(out) {}

  char* reserve(size_t n) {
    const size_t used = out_.size();
    out_.resize(used + n);
    return out_.data() + used;
  }
  void commit_to(char* p) noexcept { out_.resize(static_cast<size_t>(p - out_.data())); }
  void put(char c) { out_.push_back(c); }
  void append(const void* data, size_t n) { out_.append(static_cast<const char*>(data), n); }
  void append(std::string_view s) { out_.append(s); }

 private:
  std::string& out_;
};

template <class Buffer>
class BasicWriter {
 public:
  explicit BasicWriter(Buffer& out) noexcept : out_(out) {}

  Buffer& buffer() noexcept { return out_; }

  void nil() { out_.put(static_cast<char>(0xc0)); }
  void boolean(bool v) { out_.put(static_cast<char>(v ? 0xc3 : 0xc2)); }
  void integer(int64_t v) { out_.commit_to(detail::put_int(out_.reserve(9), v)); }
  void unsigned_integer(uint64_t v) { out_.commit_to(detail::put_uint(out_.reserve(9), v)); }
  void float32(float v) { out_.commit_to(detail::put_marked(out_.reserve(5), 0xca, std::bit_cast<uint32_t>(v))); }
  void float64(double v) { out_.commit_to(detail::put_marked(out_.reserve(9), 0xcb, std::bit_cast<uint64_t>(v))); }

  // Callers check counts against 32 bits with their own messages before writing a header.
  void array_header(uint64_t n) { header(n, 16, 0x90, 0, 0xdc, 0xdd, "array"); }
  void map_header(uint64_t n) { header(n, 16, 0x80, 0, 0xde, 0xdf, "map"); }

  void str(std::string_view s) {
    header(s.size(), 32, 0xa0, 0xd9, 0xda, 0xdb, "str");
    out_.append(s);
  }
  void bin(std::span<const uint8_t> b) {
    // bin has no fix form: bin 8 from length 0.
    header(b.size(), 0, 0, 0xc4, 0xc5, 0xc6, "bin");
    out_.append(b.data(), b.size());
  }
  void ext(int8_t type, std::string_view payload) {
    const size_t n = payload.size();
    if (n == 1 || n == 2 || n == 4 || n == 8 || n == 16) {
      // fixext 1, 2, 4, 8, 16
      out_.put(static_cast<char>(n == 1 ? 0xd4 : n == 2 ? 0xd5 : n == 4 ? 0xd6 : n == 8 ? 0xd7 : 0xd8));
    } else {
      header(n, 0, 0, 0xc7, 0xc8, 0xc9, "ext");
    }
    out_.put(static_cast<char>(type));
    out_.append(payload);
  }
  // Bytes that already are MessagePack.
  void raw(std::span<const uint8_t> b) { out_.append(b.data(), b.size()); }

  // A generic value in the compact forms. Nested values are walked with an explicit stack, so a
  // value as deep as a reader accepts is written on a small native stack too.
  void value(const MessagePackValue& root) {
    using K = MessagePackValue::Kind;
    struct Open {
      const std::vector<MessagePackValue>* items;
      size_t next;
    };
    std::vector<Open> open;  // the arrays and maps being written, innermost last
    const MessagePackValue* v = &root;
    while (true) {
      switch (v->kind) {
        case K::Nil: nil(); break;
        case K::Boolean: boolean(v->boolean); break;
        case K::Integer: v->negative ? integer(v->i) : unsigned_integer(v->u); break;
        case K::F32: float32(v->f32); break;
        case K::F64: float64(v->f64); break;
        case K::String: str(v->bytes); break;
        case K::Binary: bin({reinterpret_cast<const uint8_t*>(v->bytes.data()), v->bytes.size()}); break;
        case K::Array:
        case K::Map:
          if (v->kind == K::Array) array_header(v->items.size());
          else map_header(v->items.size() / 2);
          if (!v->items.empty()) open.push_back(Open{&v->items, 0});
          break;
        case K::Ext: ext(v->ext_type, v->bytes); break;
      }
      while (!open.empty() && open.back().next == open.back().items->size()) open.pop_back();
      if (open.empty()) return;
      v = &(*open.back().items)[open.back().next++];
    }
  }

  // One array of numbers read from memory (`count` elements of T, native order, possibly
  // unaligned): signed integers in the shortest signed form, unsigned in the shortest unsigned
  // form, floats at their own width; bools as true/false (any non-zero byte is true).
  template <class T>
  void array(const uint8_t* elements, size_t count) {
    if (count > 0xffffffffu) fail(PyExc_ValueError, "numeric vector is too large for MessagePack");
    array_header(count);
    constexpr size_t most = 1 + sizeof(T);  // the widest form of one element
    // Reserved in slices so that a huge array does not ask for its worst case at once.
    constexpr size_t slice = 4096;
    for (size_t start = 0; start < count; start += slice) {
      const size_t n = count - start < slice ? count - start : slice;
      char* p = out_.reserve(n * most);
      const uint8_t* in = elements + start * sizeof(T);
      for (size_t i = 0; i < n; ++i, in += sizeof(T)) p = element<T>(p, in);
      out_.commit_to(p);
    }
  }

 private:
  template <class T>
  static char* element(char* p, const uint8_t* in) noexcept {
    if constexpr (std::is_same_v<T, bool>) {
      *p = static_cast<char>(*in != 0 ? 0xc3 : 0xc2);
      return p + 1;
    } else {
      T v;
      std::memcpy(&v, in, sizeof(T));
      if constexpr (std::is_same_v<T, float>) return detail::put_marked(p, 0xca, std::bit_cast<uint32_t>(v));
      else if constexpr (std::is_same_v<T, double>) return detail::put_marked(p, 0xcb, std::bit_cast<uint64_t>(v));
      else if constexpr (std::is_signed_v<T>) return detail::put_int(p, static_cast<int64_t>(v));
      else return detail::put_uint(p, static_cast<uint64_t>(v));
    }
  }

  void header(uint64_t n, uint64_t fix_limit, uint8_t fix, uint8_t m8, uint8_t m16, uint8_t m32, const char* what) {
    if (n > 0xffffffffu) writer_fail("{} length {} does not fit in 32 bits", what, n);
    out_.commit_to(detail::put_header(out_.reserve(5), n, fix_limit, fix, m8, m16, m32));
  }

  Buffer& out_;
};

using Writer = BasicWriter<py::BytesBuffer>;

// `value` written again in compact form, appended to `out`.
inline void write_value(const MessagePackValue& value, std::string& out) {
  StringBuffer buffer(out);
  BasicWriter<StringBuffer>(buffer).value(value);
}

}  // namespace quorvel::msgpack
