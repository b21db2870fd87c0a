#include "msgpack/value_writer.hpp"

#include <bit>
#include <cstring>

namespace quorvel::msgpack {

namespace {

template <class T>
void put_big_endian(std::string& out, T v) {
  v = std::byteswap(v);
  char bytes[sizeof v];
  std::memcpy(bytes, &v, sizeof v);
  out.append(bytes, sizeof v);
}

void put(std::string& out, uint8_t marker) { out.push_back(static_cast<char>(marker)); }

void put_unsigned(std::string& out, uint64_t v) {
  if (v < 0x80) {
    put(out, static_cast<uint8_t>(v));
  } else if (v <= 0xff) {
    put(out, 0xcc);
    put(out, static_cast<uint8_t>(v));
  } else if (v <= 0xffff) {
    put(out, 0xcd);
    put_big_endian(out, static_cast<uint16_t>(v));
  } else if (v <= 0xffffffff) {
    put(out, 0xce);
    put_big_endian(out, static_cast<uint32_t>(v));
  } else {
    put(out, 0xcf);
    put_big_endian(out, v);
  }
}

void put_negative(std::string& out, int64_t v) {
  if (v >= -32) {
    put(out, static_cast<uint8_t>(v));
  } else if (v >= INT8_MIN) {
    put(out, 0xd0);
    put(out, static_cast<uint8_t>(v));
  } else if (v >= INT16_MIN) {
    put(out, 0xd1);
    put_big_endian(out, static_cast<uint16_t>(v));
  } else if (v >= INT32_MIN) {
    put(out, 0xd2);
    put_big_endian(out, static_cast<uint32_t>(v));
  } else {
    put(out, 0xd3);
    put_big_endian(out, static_cast<uint64_t>(v));
  }
}

// A length header: the fix form when there is one and it fits, else the 8, 16 or 32-bit form.
void put_length(std::string& out, size_t n, uint8_t fix_base, size_t fix_limit, int m8, uint8_t m16, uint8_t m32) {
  if (fix_limit > 0 && n < fix_limit) {
    put(out, static_cast<uint8_t>(fix_base | n));
  } else if (m8 >= 0 && n <= 0xff) {
    put(out, static_cast<uint8_t>(m8));
    put(out, static_cast<uint8_t>(n));
  } else if (n <= 0xffff) {
    put(out, m16);
    put_big_endian(out, static_cast<uint16_t>(n));
  } else {
    put(out, m32);
    put_big_endian(out, static_cast<uint32_t>(n));
  }
}

}  // namespace

void write_value(const MessagePackValue& v, std::string& out) {
  using K = MessagePackValue::Kind;
  switch (v.kind) {
    case K::Nil: put(out, 0xc0); return;
    case K::Boolean: put(out, v.boolean ? 0xc3 : 0xc2); return;
    case K::Integer:
      if (v.negative) put_negative(out, v.i);
      else put_unsigned(out, v.u);
      return;
    case K::F32:
      put(out, 0xca);
      put_big_endian(out, std::bit_cast<uint32_t>(v.f32));
      return;
    case K::F64:
      put(out, 0xcb);
      put_big_endian(out, std::bit_cast<uint64_t>(v.f64));
      return;
    case K::String:
      put_length(out, v.bytes.size(), 0xa0, 32, 0xd9, 0xda, 0xdb);
      out += v.bytes;
      return;
    case K::Binary:
      put_length(out, v.bytes.size(), 0, 0, 0xc4, 0xc5, 0xc6);
      out += v.bytes;
      return;
    case K::Array:
      put_length(out, v.items.size(), 0x90, 16, -1, 0xdc, 0xdd);
      for (const auto& item : v.items) write_value(item, out);
      return;
    case K::Map:
      put_length(out, v.items.size() / 2, 0x80, 16, -1, 0xde, 0xdf);
      for (const auto& item : v.items) write_value(item, out);
      return;
    case K::Ext: {
      const size_t n = v.bytes.size();
      if (n == 1 || n == 2 || n == 4 || n == 8 || n == 16) {
        put(out, static_cast<uint8_t>(n == 1 ? 0xd4 : n == 2 ? 0xd5 : n == 4 ? 0xd6 : n == 8 ? 0xd7 : 0xd8));
      } else {
        put_length(out, n, 0, 0, 0xc7, 0xc8, 0xc9);
      }
      put(out, static_cast<uint8_t>(v.ext_type));
      out += v.bytes;
      return;
    }
  }
}

}  // namespace quorvel::msgpack
