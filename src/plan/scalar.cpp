#include "plan/scalar.hpp"

#include "py/error.hpp"
#include "py/numpy.hpp"

#include <limits>
#include <string_view>

namespace quorvel {

namespace {

bool is_numpy_bool_type(PyTypeObject* type) {
  py::Ref module = py::Ref::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  py::Ref name = py::Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

long extract_long(PyObject* obj) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_error_set();
  return v;
}

template <class T>
T extract_narrow(PyObject* obj) {
  long v = extract_long(obj);
  if (v < static_cast<long>(std::numeric_limits<T>::min()) || v > static_cast<long>(std::numeric_limits<T>::max())) {
    fail(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<T>(v);
}

double extract_double(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw_error_set();
  return v;
}

// A plan default as a 64-bit integer, when it is one and fits.
bool default_as_i64(const MessagePackValue& v, int64_t& out) {
  if (v.kind != MessagePackValue::Kind::Integer) return false;
  if (v.negative) {
    out = v.i;
    return true;
  }
  if (v.u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  out = static_cast<int64_t>(v.u);
  return true;
}

bool default_as_double(const MessagePackValue& v, double& out) {
  switch (v.kind) {
    case MessagePackValue::Kind::Integer: out = v.negative ? static_cast<double>(v.i) : static_cast<double>(v.u); return true;
    case MessagePackValue::Kind::F32: out = v.f32; return true;
    case MessagePackValue::Kind::F64: out = v.f64; return true;
    case MessagePackValue::Kind::Nil:
    case MessagePackValue::Kind::Boolean:
    case MessagePackValue::Kind::String:
    case MessagePackValue::Kind::Binary:
    case MessagePackValue::Kind::Array:
    case MessagePackValue::Kind::Map:
    case MessagePackValue::Kind::Ext: return false;
  }
  return false;
}


}  // namespace

bool is_signed(ScalarKind k) noexcept {
  return k == ScalarKind::int8 || k == ScalarKind::int16 || k == ScalarKind::int32 || k == ScalarKind::int64;
}
bool is_unsigned(ScalarKind k) noexcept {
  return k == ScalarKind::uint8 || k == ScalarKind::uint16 || k == ScalarKind::uint32 || k == ScalarKind::uint64;
}


bool extract_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  PyTypeObject* type = Py_TYPE(obj);
  if (is_numpy_bool_type(type)) {
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (nb_bool == nullptr) {
      py::Ref shown = check_new(PyObject_Str(reinterpret_cast<PyObject*>(type)));
      fail(PyExc_TypeError, "object of type '{}' does not define a '__bool__' conversion", utf8(shown.get()));
    }
    int truth = nb_bool(obj);
    if (truth < 0) throw_error_set();
    return truth != 0;
  }
  fail_wrong_type(obj, "bool");
}

ScalarValue ScalarValue::extract_generic(ScalarKind kind, PyObject* obj) {
  switch (kind) {
    case ScalarKind::bool_: return make_bool(extract_bool(obj));
    case ScalarKind::int8: return make_signed(kind, extract_narrow<int8_t>(obj));
    case ScalarKind::int16: return make_signed(kind, extract_narrow<int16_t>(obj));
    case ScalarKind::int32: return make_signed(kind, extract_narrow<int32_t>(obj));
    case ScalarKind::int64: return make_signed(kind, extract_long(obj));
    case ScalarKind::uint8: return make_unsigned(kind, extract_narrow<uint8_t>(obj));
    case ScalarKind::uint16: return make_unsigned(kind, extract_narrow<uint16_t>(obj));
    case ScalarKind::uint32: return make_unsigned(kind, extract_narrow<uint32_t>(obj));
    case ScalarKind::uint64: {
      py::Ref index = check_new(PyNumber_Index(obj));
      unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
      if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
      return make_unsigned(kind, v);
    }
    case ScalarKind::float32: return make_f32(static_cast<float>(extract_double(obj)));
    case ScalarKind::float64: return make_f64(extract_double(obj));
  }
  throw InternalFailure("unknown scalar kind");
}

ScalarValue ScalarValue::from_default(ScalarKind kind, const MessagePackValue& v) {
  if (kind == ScalarKind::bool_) {
    if (v.kind != MessagePackValue::Kind::Boolean) fail(PyExc_TypeError, "invalid native boolean default");
    return make_bool(v.boolean);
  }
  if (is_signed(kind)) {
    int64_t n = 0;
    if (!default_as_i64(v, n)) fail(PyExc_TypeError, "invalid native signed default");
    return make_signed(kind, narrow_signed(kind, n));
  }
  if (is_unsigned(kind)) {
    if (v.kind != MessagePackValue::Kind::Integer || v.negative) fail(PyExc_TypeError, "invalid native unsigned default");
    return make_unsigned(kind, narrow_unsigned(kind, v.u));
  }
  double d = 0;
  if (kind == ScalarKind::float32 && v.kind == MessagePackValue::Kind::F32) return make_f32(v.f32);
  if (!default_as_double(v, d)) fail(PyExc_TypeError, "invalid native floating-point default");
  return kind == ScalarKind::float32 ? make_f32(static_cast<float>(d)) : make_f64(d);
}

uint64_t ScalarValue::as_u64() const {
  if (!is_unsigned(kind)) fail(PyExc_ValueError, "union discriminator must use an unsigned integer type");
  return u;
}

bool ScalarValue::equals_default(const MessagePackValue& value) const { return equals(from_default(kind, value)); }


numpy::Dtype numpy_dtype(ScalarKind kind) noexcept {
  switch (kind) {
    case ScalarKind::bool_: return numpy::Dtype::bool_;
    case ScalarKind::int8: return numpy::Dtype::int8;
    case ScalarKind::uint8: return numpy::Dtype::uint8;
    case ScalarKind::int16: return numpy::Dtype::int16;
    case ScalarKind::uint16: return numpy::Dtype::uint16;
    case ScalarKind::int32: return numpy::Dtype::int32;
    case ScalarKind::uint32: return numpy::Dtype::uint32;
    case ScalarKind::int64: return numpy::Dtype::int64;
    case ScalarKind::uint64: return numpy::Dtype::uint64;
    case ScalarKind::float32: return numpy::Dtype::float32;
    case ScalarKind::float64: return numpy::Dtype::float64;
  }
  return numpy::Dtype::bool_;
}

}  // namespace quorvel
