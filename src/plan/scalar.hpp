// ScalarValue: one FlatBuffer scalar of a given ScalarKind, converted from Python objects, plan
// defaults and decoded numbers, and back.
#pragma once

#include "py/numpy.hpp"
#include "py/ref.hpp"
#include "msgpack/value.hpp"
#include "plan/kinds.hpp"

#include <cstdint>

namespace quorvel {

using msgpack::MessagePackValue;

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
  static ScalarValue extract(ScalarKind kind, PyObject* obj);
  // From a field's plan default; TypeError "invalid native ... default" when it does not fit.
  static ScalarValue from_default(ScalarKind kind, const MessagePackValue& value);

  py::Ref into_py() const;
  // The value of an unsigned kind, zero-extended; ValueError for every other kind.
  uint64_t as_u64() const;
  // Equality against a default converted to this value's kind (IEEE equality for floats).
  bool equals_default(const MessagePackValue& value) const;
  // Equality against a value of the same kind converted already (a field's resolved default).
  bool equals(const ScalarValue& other) const;
};

bool is_signed(ScalarKind kind) noexcept;
bool is_unsigned(ScalarKind kind) noexcept;
size_t scalar_width(ScalarKind kind) noexcept;
numpy::Dtype numpy_dtype(ScalarKind kind) noexcept;

}  // namespace quorvel
