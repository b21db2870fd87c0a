// A scalar's bytes as the codecs store them (a FlatBuffer's fields, a NumPy array's elements):
// little-endian, which is the host's order, at the width of its kind. The one place a scalar is
// stored by its width and loaded back.
#pragma once

#include "plan/scalar.hpp"
#include "py/error.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace quorvel {

// Scalars are copied as they lie in memory, which is the formats' byte order.
static_assert(std::endian::native == std::endian::little, "the codecs run on little-endian hosts only");

// The value's bits, little-endian in the low bytes: integers in two's complement (cut to the width
// when stored), floats in IEEE form.
inline uint64_t scalar_bits(const ScalarValue& value) noexcept {
  switch (family_of(value.kind)) {
    case ScalarFamily::boolean: return value.b ? 1 : 0;
    case ScalarFamily::floating:
      return value.kind == ScalarKind::float32 ? std::bit_cast<uint32_t>(value.f32) : std::bit_cast<uint64_t>(value.f64);
    case ScalarFamily::signed_integer:
    case ScalarFamily::unsigned_integer: return value.u;
  }
  return value.u;
}

// Stores the low `width` bytes (1, 2, 4 or 8) of `bits` at `out`.
inline void store_bits(uint8_t* out, size_t width, uint64_t bits) noexcept {
  switch (width) {  // fixed-size copies
    case 1: *out = static_cast<uint8_t>(bits); break;
    case 2: std::memcpy(out, &bits, 2); break;
    case 4: std::memcpy(out, &bits, 4); break;
    default: std::memcpy(out, &bits, 8); break;
  }
}

inline void store_scalar(uint8_t* out, const ScalarValue& value) noexcept {
  store_bits(out, scalar_width(value.kind), scalar_bits(value));
}

// Calls `f` with the scalar of `kind` stored at `in` (which holds the kind's width in bytes) as its
// C type: bool, int8_t, uint8_t, ..., float or double.
template <class F>
decltype(auto) with_stored_scalar(const uint8_t* in, ScalarKind kind, F&& f) {
  auto load = [in]<class T>(T) {
    T v;
    std::memcpy(&v, in, sizeof v);
    return v;
  };
  switch (kind) {
    case ScalarKind::bool_: return f(*in != 0);
    case ScalarKind::int8: return f(load(int8_t{}));
    case ScalarKind::uint8: return f(load(uint8_t{}));
    case ScalarKind::int16: return f(load(int16_t{}));
    case ScalarKind::uint16: return f(load(uint16_t{}));
    case ScalarKind::int32: return f(load(int32_t{}));
    case ScalarKind::uint32: return f(load(uint32_t{}));
    case ScalarKind::int64: return f(load(int64_t{}));
    case ScalarKind::uint64: return f(load(uint64_t{}));
    case ScalarKind::float32: return f(load(float{}));
    case ScalarKind::float64: return f(load(double{}));
  }
  throw InternalFailure("unknown scalar kind");
}

// The scalar of `kind` stored at `in`.
inline ScalarValue load_scalar(const uint8_t* in, ScalarKind kind) {
  return with_stored_scalar(in, kind, [kind]<class T>(T v) {
    if constexpr (std::is_same_v<T, bool>) return ScalarValue::make_bool(v);
    else if constexpr (std::is_same_v<T, float>) return ScalarValue::make_f32(v);
    else if constexpr (std::is_same_v<T, double>) return ScalarValue::make_f64(v);
    else if constexpr (std::is_signed_v<T>) return ScalarValue::make_signed(kind, v);
    else return ScalarValue::make_unsigned(kind, v);
  });
}

}  // namespace quorvel
