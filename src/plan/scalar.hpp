// ScalarValue: one FlatBuffer scalar of a given ScalarKind, converted from Python objects, plan
// defaults and decoded numbers, and back.
#pragma once

#include "py/cpython_door.hpp"
#include "py/numpy.hpp"
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

constexpr bool is_signed_kind(ScalarKind k) noexcept {
  return k == ScalarKind::int8 || k == ScalarKind::int16 || k == ScalarKind::int32 || k == ScalarKind::int64;
}

// Truncates to the kind's width, as the FlatBuffer slot holds it.
inline int64_t narrow_signed(ScalarKind kind, int64_t v) {
  switch (kind) {
    case ScalarKind::int8: return static_cast<int8_t>(v);
    case ScalarKind::int16: return static_cast<int16_t>(v);
    case ScalarKind::int32: return static_cast<int32_t>(v);
    case ScalarKind::int64:
    case ScalarKind::bool_:
    case ScalarKind::uint8:
    case ScalarKind::uint16:
    case ScalarKind::uint32:
    case ScalarKind::uint64:
    case ScalarKind::float32:
    case ScalarKind::float64: return v;
  }
  return v;
}

inline uint64_t narrow_unsigned(ScalarKind kind, uint64_t v) {
  switch (kind) {
    case ScalarKind::uint8: return static_cast<uint8_t>(v);
    case ScalarKind::uint16: return static_cast<uint16_t>(v);
    case ScalarKind::uint32: return static_cast<uint32_t>(v);
    case ScalarKind::uint64:
    case ScalarKind::bool_:
    case ScalarKind::int8:
    case ScalarKind::int16:
    case ScalarKind::int32:
    case ScalarKind::int64:
    case ScalarKind::float32:
    case ScalarKind::float64: return v;
  }
  return v;
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
  auto in = [](Py_ssize_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; };
  Py_ssize_t v = 0;
  switch (kind) {
    case ScalarKind::bool_:
      if (obj != Py_True && obj != Py_False) return false;
      out.kind = kind;
      out.u = 0;
      out.b = obj == Py_True;
      return true;
    case ScalarKind::float32:
      if (!PyFloat_CheckExact(obj)) return false;
      out.kind = kind;
      out.u = 0;
      out.f32 = static_cast<float>(PyFloat_AS_DOUBLE(obj));
      return true;
    case ScalarKind::float64:
      if (!PyFloat_CheckExact(obj)) return false;
      out.kind = kind;
      out.f64 = PyFloat_AS_DOUBLE(obj);
      return true;
    case ScalarKind::int8:
    case ScalarKind::uint8:
    case ScalarKind::int16:
    case ScalarKind::uint16:
    case ScalarKind::int32:
    case ScalarKind::uint32:
    case ScalarKind::int64:
    case ScalarKind::uint64: {
      if (!PyLong_CheckExact(obj)) return false;
      if (Py_ssize_t compact = 0; cpython::compact_int(obj, compact)) {
        v = compact;
      } else {
        // Wider than one digit (timestamps, ids): an exact int converts without raising.
        int overflow = 0;
        const long wide = PyLong_AsLongAndOverflow(obj, &overflow);
        if (overflow != 0) return false;
        v = wide;
      }
      break;
    }
  }
  switch (kind) {
    case ScalarKind::int8: if (!in(v, INT8_MIN, INT8_MAX)) return false; break;
    case ScalarKind::uint8: if (!in(v, 0, UINT8_MAX)) return false; break;
    case ScalarKind::int16: if (!in(v, INT16_MIN, INT16_MAX)) return false; break;
    case ScalarKind::uint16: if (!in(v, 0, UINT16_MAX)) return false; break;
    case ScalarKind::int32: if (!in(v, INT32_MIN, INT32_MAX)) return false; break;
    case ScalarKind::uint32: if (!in(v, 0, UINT32_MAX)) return false; break;
    case ScalarKind::int64: break;
    case ScalarKind::uint64: if (v < 0) return false; break;
    case ScalarKind::bool_:
    case ScalarKind::float32:
    case ScalarKind::float64: return true;
  }
  // Members written directly: a whole-value copy after narrow stores stalls the store buffer.
  out.kind = kind;
  if (is_signed_kind(kind)) {
    out.i = v;
  } else {
    out.u = static_cast<uint64_t>(v);
  }
  return true;
}

inline bool ScalarValue::equals(const ScalarValue& d) const noexcept {
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
