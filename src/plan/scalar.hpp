// ScalarValue: one FlatBuffer scalar of a given ScalarKind, converted from Python objects, plan
// defaults and decoded numbers, and back.
#pragma once

#include "py/error.hpp"
#include "py/numpy.hpp"
#include "py/values.hpp"
#include "py/ref.hpp"
#include "msgpack/value.hpp"
#include "plan/kinds.hpp"

#include <cstdint>

namespace quorvel {

using msgpack::MessagePackValue;

constexpr size_t scalar_width(ScalarKind k) noexcept {
  switch (k) {
    case ScalarKind::bool_:
    case ScalarKind::int8:
    case ScalarKind::uint8: return 1;
    case ScalarKind::int16:
    case ScalarKind::uint16: return 2;
    case ScalarKind::int32:
    case ScalarKind::uint32:
    case ScalarKind::float32: return 4;
    case ScalarKind::int64:
    case ScalarKind::uint64:
    case ScalarKind::float64: return 8;
  }
  return 8;
}

// The values an integer kind holds, from `lo` to `hi`; the other kinds hold no integer range.
struct IntegerRange {
  int64_t lo = 0;
  uint64_t hi = 0;
  // Whether the integer (negative values in `i`, others in `u`) lies in the range.
  constexpr bool holds(bool negative, int64_t i, uint64_t u) const noexcept { return negative ? i >= lo : u <= hi; }
  constexpr bool holds(__int128 v) const noexcept { return v >= lo && v <= static_cast<__int128>(hi); }
};

constexpr IntegerRange integer_range(ScalarKind k) noexcept {
  switch (k) {
    case ScalarKind::int8: return {INT8_MIN, INT8_MAX};
    case ScalarKind::int16: return {INT16_MIN, INT16_MAX};
    case ScalarKind::int32: return {INT32_MIN, INT32_MAX};
    case ScalarKind::int64: return {INT64_MIN, INT64_MAX};
    case ScalarKind::uint8: return {0, UINT8_MAX};
    case ScalarKind::uint16: return {0, UINT16_MAX};
    case ScalarKind::uint32: return {0, UINT32_MAX};
    case ScalarKind::uint64: return {0, UINT64_MAX};
    case ScalarKind::bool_:
    case ScalarKind::float32:
    case ScalarKind::float64: break;
  }
  return {};
}

// The families of scalar kinds: code that treats every kind of a family alike switches over
// these, and this is the one switch that lists each kind's family.
enum class ScalarFamily : uint8_t { boolean, signed_integer, unsigned_integer, floating };

[[gnu::always_inline]] constexpr ScalarFamily family_of(ScalarKind k) noexcept {
  switch (k) {
    case ScalarKind::bool_: return ScalarFamily::boolean;
    case ScalarKind::int8:
    case ScalarKind::int16:
    case ScalarKind::int32:
    case ScalarKind::int64: return ScalarFamily::signed_integer;
    case ScalarKind::uint8:
    case ScalarKind::uint16:
    case ScalarKind::uint32:
    case ScalarKind::uint64: return ScalarFamily::unsigned_integer;
    case ScalarKind::float32:
    case ScalarKind::float64: return ScalarFamily::floating;
  }
  return ScalarFamily::floating;
}

constexpr bool is_signed_kind(ScalarKind k) noexcept { return family_of(k) == ScalarFamily::signed_integer; }

// Truncates to the kind's width, as the FlatBuffer slot holds it (other kinds: unchanged).
[[gnu::always_inline]] inline int64_t narrow_signed(ScalarKind kind, int64_t v) {
  if (family_of(kind) != ScalarFamily::signed_integer) return v;
  switch (scalar_width(kind)) {
    case 1: return static_cast<int8_t>(v);
    case 2: return static_cast<int16_t>(v);
    case 4: return static_cast<int32_t>(v);
    default: return v;
  }
}

[[gnu::always_inline]] inline uint64_t narrow_unsigned(ScalarKind kind, uint64_t v) {
  if (family_of(kind) != ScalarFamily::unsigned_integer) return v;
  switch (scalar_width(kind)) {
    case 1: return static_cast<uint8_t>(v);
    case 2: return static_cast<uint16_t>(v);
    case 4: return static_cast<uint32_t>(v);
    default: return v;
  }
}

// True or False, or a NumPy boolean scalar through its truth value; anything else (an int
// included) is the binding's wrong-type TypeError naming 'bool'.
bool extract_bool(PyObject* obj);

struct ScalarValue {
  ScalarKind kind = ScalarKind::bool_;
  union {
    bool b;
    int64_t i;  // every signed kind, sign-extended
    uint64_t u; // every unsigned kind, zero-extended
    float f32;
    double f64;
  };

  ScalarValue() : u(0) {}

  static ScalarValue make_bool(bool v) { ScalarValue s; s.kind = ScalarKind::bool_; s.b = v; return s; }
  static ScalarValue make_signed(ScalarKind k, int64_t v) { ScalarValue s; s.kind = k; s.i = v; return s; }
  static ScalarValue make_unsigned(ScalarKind k, uint64_t v) { ScalarValue s; s.kind = k; s.u = v; return s; }
  static ScalarValue make_f32(float v) { ScalarValue s; s.kind = ScalarKind::float32; s.f32 = v; return s; }
  static ScalarValue make_f64(double v) { ScalarValue s; s.kind = ScalarKind::float64; s.f64 = v; return s; }

  // From a Python object, with the interpreter's standard conversion for the kind's C type.
  static ScalarValue extract(ScalarKind kind, PyObject* obj) {
    ScalarValue value;
    if (extract_exact(kind, obj, value)) return value;
    return extract_generic(kind, obj);
  }
  // The common exact types (True or False, an int of one machine word, a float) converted inline,
  // with the result the generic conversion gives; false leaves everything else, out-of-range
  // values included, to extract_generic, which also raises the errors.
  static bool extract_exact(ScalarKind kind, PyObject* obj, ScalarValue& out) noexcept;
  static ScalarValue extract_generic(ScalarKind kind, PyObject* obj);
  // From a field's plan default; TypeError "invalid native ... default" when it does not fit.
  static ScalarValue from_default(ScalarKind kind, const MessagePackValue& value);

  py::Ref into_py() const;
  // The value of an unsigned kind, zero-extended; ValueError for every other kind.
  uint64_t as_u64() const;
  // Equality against a default converted to this value's kind (IEEE equality for floats).
  bool equals_default(const MessagePackValue& value) const;
  // Equality against a value of the same kind converted already (a field's resolved default).
  bool equals(const ScalarValue& other) const noexcept;
};

inline bool ScalarValue::extract_exact(ScalarKind kind, PyObject* obj, ScalarValue& out) noexcept {
  switch (family_of(kind)) {
    case ScalarFamily::boolean:
      if (obj != Py_True && obj != Py_False) return false;
      out.kind = kind;
      out.u = 0;
      out.b = obj == Py_True;
      return true;
    case ScalarFamily::floating:
      if (!PyFloat_CheckExact(obj)) return false;
      out.kind = kind;
      if (kind == ScalarKind::float32) {
        out.u = 0;
        out.f32 = static_cast<float>(PyFloat_AS_DOUBLE(obj));
      } else {
        out.f64 = PyFloat_AS_DOUBLE(obj);
      }
      return true;
    case ScalarFamily::signed_integer:
    case ScalarFamily::unsigned_integer: {
      int64_t v = 0;
      if (!py::exact_int64(obj, v) || !integer_range(kind).holds(v < 0, v, static_cast<uint64_t>(v))) return false;
      // Members written directly, not through a whole-value copy (measured faster).
      out.kind = kind;
      if (is_signed_kind(kind)) {
        out.i = v;
      } else {
        out.u = static_cast<uint64_t>(v);
      }
      return true;
    }
  }
  return false;
}

// Inline: it runs once per decoded scalar.
inline py::Ref ScalarValue::into_py() const {
  switch (family_of(kind)) {
    case ScalarFamily::boolean: return py::object_of(b);
    case ScalarFamily::signed_integer: return py::object_of(i);
    case ScalarFamily::unsigned_integer: return py::object_of(u);
    case ScalarFamily::floating: return kind == ScalarKind::float32 ? py::object_of(f32) : py::object_of(f64);
  }
  throw InternalFailure("unknown scalar kind");
}

[[gnu::always_inline]] inline bool ScalarValue::equals(const ScalarValue& d) const noexcept {
  // Integers compare on the kind's width: both sides are already narrowed and extended.
  switch (kind) {
    case ScalarKind::bool_: return b == d.b;
    case ScalarKind::float32: return f32 == d.f32;
    case ScalarKind::float64: return f64 == d.f64;
    case ScalarKind::int8:
    case ScalarKind::int16:
    case ScalarKind::int32:
    case ScalarKind::int64: return narrow_signed(kind, i) == d.i;
    case ScalarKind::uint8:
    case ScalarKind::uint16:
    case ScalarKind::uint32:
    case ScalarKind::uint64: return narrow_unsigned(kind, u) == d.u;
  }
  return false;
}

bool is_signed(ScalarKind kind) noexcept;
bool is_unsigned(ScalarKind kind) noexcept;
numpy::Dtype numpy_dtype(ScalarKind kind) noexcept;

}  // namespace quorvel
