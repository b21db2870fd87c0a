#include "serde/serde.hpp"

#include "msgpack/writer.hpp"
#include "plan/scalar.hpp"
#include "py/bytes_buffer.hpp"
#include "py/error.hpp"
#include "py/numpy.hpp"
#include "py/recursion.hpp"
#include "py/sequence.hpp"
#include "py/values.hpp"
#include "serde/facts.hpp"
#include "serde/json_scan.hpp"
#include "serde/json_writer.hpp"
#include "plan/access.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace quorvel::serde {

namespace {

enum class UuidForm : uint8_t { canonical, hex, bytes };

// The writer's own depth bound was reached: a RecursionError is set, and it keeps its class on
// both formats (a RecursionError raised by Python code inside is wrapped like any other).
struct TooDeep : PyErrorSet {};

// Built once per call and read by every writer of the call.
struct EncodeContext {
  NativePlan& plan;
  PyObject* fallback_encoder;  // borrowed
  UuidForm uuid_form;
  bool sorted;
  bool decimal_as_number;
};

// ---------------------------------------------------------------------------------------------
// The host's conversions, without temporary objects for the common exact types.

int64_t to_i64(PyObject* v) {
  int64_t exact = 0;
  if (py::exact_int64(v, exact)) [[likely]] return exact;
  // Anything else, or out of range: the conversion raises its own error.
  const long long r = PyLong_AsLongLong(v);
  if (r == -1 && PyErr_Occurred()) throw_error_set();
  return r;
}

uint64_t to_u64(PyObject* v) {
  int64_t exact = 0;
  if (py::exact_int64(v, exact) && exact >= 0) [[likely]] return static_cast<uint64_t>(exact);
  const py::Ref index = check_new(PyNumber_Index(v));
  const unsigned long long r = PyLong_AsUnsignedLongLong(index.get());
  if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
  return r;
}

double to_f64(PyObject* v) {
  if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
  const double r = PyFloat_AsDouble(v);
  if (r == -1.0 && PyErr_Occurred()) throw_error_set();
  return r;
}

py::Ref str_of(PyObject* v) { return check_new(PyObject_Str(v)); }

// A str's UTF-8 text (the cast TypeError for anything else); ASCII text is its own UTF-8, read in
// place.
std::string_view text_of(PyObject* v) {
  if (PyUnicode_Check(v) && PyUnicode_IS_COMPACT_ASCII(v)) {
    return {static_cast<const char*>(PyUnicode_DATA(v)), static_cast<size_t>(PyUnicode_GET_LENGTH(v))};
  }
  return str_utf8(v);
}

// A byte-sequence default against any sequence of integers 0..255 (a str is refused).
bool equals_byte_default(PyObject* v, std::string_view expected) {
  if (PyUnicode_Check(v)) fail(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (PyBytes_Check(v)) return std::string_view(PyBytes_AS_STRING(v), static_cast<size_t>(PyBytes_GET_SIZE(v))) == expected;
  if (!PySequence_Check(v)) fail_wrong_type(v, "Sequence");
  std::string bytes;
  for_each_sequence(v, [&](py::Ref item) {
    bytes.push_back(static_cast<char>(ScalarValue::extract(ScalarKind::uint8, item.get()).u));
  });
  return bytes == expected;
}

// Whether a field that omits its default holds it; conversion failures end the write.
bool serde_field_is_default(const FieldWire& field, PyObject* v) {
  if (!field.serde_omit_default) return false;
  using Kind = MessagePackValue::Kind;
  const MessagePackValue& d = field.default_value;
  switch (d.kind) {
    case Kind::Nil: return v == Py_None;
    case Kind::Boolean: return extract_bool(v) == d.boolean;
    case Kind::Integer:
      if (!d.negative && (d.u >> 63) != 0) return to_u64(v) == d.u;
      return to_i64(v) == (d.negative ? d.i : static_cast<int64_t>(d.u));
    case Kind::F32: return static_cast<float>(to_f64(v)) == d.f32;
    case Kind::F64: return to_f64(v) == d.f64;
    case Kind::String: return str_utf8(v) == d.bytes;
    case Kind::Binary: return equals_byte_default(v, d.bytes);
    case Kind::Array:
    case Kind::Map:
    case Kind::Ext: fail(PyExc_TypeError, "unsupported native serde default");
  }
  throw InternalFailure("unknown default kind");
}

// Byte order of keys in sorted mode: unsigned bytes, a proper prefix first.
bool key_less(std::string_view a, std::string_view b) noexcept { return a < b; }

// ---------------------------------------------------------------------------------------------
// The model walker, over the JSON writer or the MessagePack writer.

template <class Writer>
class Encoder {
  static constexpr bool json = std::is_same_v<Writer, JsonWriter>;

 public:
  Encoder(const EncodeContext& cx, py::BytesBuffer& out) : cx_(cx), w_(out), walk_(cx.plan) {}

  void model(PyObject* m, uint32_t index) {
    // A graph that holds itself, or one deeper than the native stack allows, ends in
    // RecursionError instead of overflowing the stack.
    const RecursionGuard<TooDeep> guard(" while encoding a model");
    const ModelFacts& facts = model_facts(index);
    const SerdeObject& so = *facts.serde;
    const ObjectWire& object = cx_.plan.objects[index];
    const ModelView model = walk_.view(object, m);

    // Every attribute is read and every default tested before the first entry is written, so
    // the model is written as it was when its fields were collected.
    const size_t base = kept_.size();
    const EncodedKey* key = facts.encoded.data();
    for (const SerdeField& sf : so.fields) {
      const FieldWire& field = object.fields[sf.field_index];
      py::Ref value = model.read(sf.field_index);
      const EncodedKey* this_key = key++;
      if (serde_field_is_default(field, value.get())) continue;
      kept_.push_back(Kept{&sf, &field, this_key, std::move(value)});
    }
    const size_t n = kept_.size() - base;
    const bool tagged = so.tag.has_value();

    size_t tag_at = 0;  // the tag is written before the kept entry at this position
    if (cx_.sorted) {
      sort_kept(base, n);
      if (tagged) {
        const std::string_view tag_key = so.tag->first;
        size_t lo = 0, hi = n;
        while (lo < hi) {
          const size_t mid = lo + (hi - lo) / 2;
          if (key_less(kept_[base + mid].serde->key, tag_key)) lo = mid + 1;
          else hi = mid;
        }
        tag_at = lo;
      }
    }

    if constexpr (json) {
      w_.put('{');
    } else {
      const size_t count = n + (tagged ? 1 : 0);
      if (count > 0xffffffffu) fail(PyExc_ValueError, "generated model has too many fields");
      w_.map_header(count);
    }
    bool first = true;
    for (size_t k = 0;; ++k) {
      if (tagged && k == tag_at) prepared(first, facts.tag);
      if (k == n) break;
      // Nested models append to kept_ and may move it; the entry's value stays owned there.
      const Kept& entry = kept_[base + k];
      const FieldWire& field = *entry.field;
      PyObject* value = entry.value.get();
      prepared(first, *entry.key);
      this->value(field, value);
    }
    if constexpr (json) w_.put('}');
    kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(base), kept_.end());
  }

 private:
  struct Kept {
    const SerdeField* serde;
    const FieldWire* field;
    const EncodedKey* key;  // how the writers write its key
    py::Ref value;
  };

  enum class Element : uint8_t { model, scalar, string };

  // The plan's classification, remembered for the last few classes seen: graphs repeat a handful
  // of classes, and the answer for a class never changes once bound. The classes are held so that
  // an address cannot be reused by another class during the call.
  uint32_t classify(PyObject* v) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(v));
    for (const Classified& c : classified_) {
      if (c.type.get() == type) return c.index;
    }
    const uint32_t index = cx_.plan.model_object_index(v);
    classified_[next_classified_++ % classified_.size()] = Classified{py::Ref::borrow(type), index};
    return index;
  }

  const ModelFacts& model_facts(uint32_t index) {
    if (models_.empty()) models_.resize(cx_.plan.objects.size());
    const ModelFacts*& m = models_[index];  // index < objects.size(): it came from the plan
    if (m == nullptr) [[unlikely]] m = &facts_of(cx_.plan.require_bound()).model(cx_.plan, index);
    return *m;
  }

  // Failures with the system's own messages: carried as text on the JSON side (raised as
  // "cannot encode JSON: {}"), raised with their class on the MessagePack side.
  [[noreturn]] void own_error(PyObject* type, const char* message) {
    if constexpr (json) {
      throw ReaderError{message};
    } else {
      fail_text(type, message);
    }
  }

  void sort_kept(size_t base, size_t n) {
    auto first = kept_.begin() + static_cast<std::ptrdiff_t>(base);
    auto by_key = [](const Kept& a, const Kept& b) { return key_less(a.serde->key, b.serde->key); };
    if (n >= 21) {
      std::stable_sort(first, first + static_cast<std::ptrdiff_t>(n), by_key);
      return;
    }
    for (size_t i = 1; i < n; ++i) {
      for (size_t j = i; j > 0 && by_key(first[j], first[j - 1]); --j) std::swap(first[j], first[j - 1]);
    }
  }

  // A key (or the whole tag entry) prepared at bind time; JSON's starts with the comma that
  // separates it from the entry before.
  void prepared(bool& first, const EncodedKey& key) {
    if constexpr (json) {
      const std::string_view form = key.json;
      w_.raw(first ? form.substr(1) : form);
    } else {
      w_.buffer().append(key.msgpack);
    }
    first = false;
  }

  void text(std::string_view s) {
    if constexpr (json) w_.string(s);
    else w_.str(s);
  }

  void null() {
    if constexpr (json) w_.null();
    else w_.nil();
  }

  // Raw JSON text from Python (an int's or a decimal's str(), a fallback's bytes): embedded
  // unchanged once it proves to be exactly one JSON value.
  void embed_json(std::string_view raw) { w_.raw(json::single_json_value(raw)); }

  void value(const FieldWire& field, PyObject* v) {
    if (v == Py_None) return null();
    switch (field.kind) {
      case FieldKind::scalar:
        if (field.serde_python_int) return python_int(v);
        if (!field.scalar) own_error(PyExc_RuntimeError, "scalar field has no scalar type");
        return scalar(*field.scalar, v);
      case FieldKind::string: return text(text_of(v));
      case FieldKind::table:
      case FieldKind::struct_:
      case FieldKind::nested:
      case FieldKind::union_: return model(v, classify(v));
      case FieldKind::vector_table:
      case FieldKind::vector_struct:
      case FieldKind::union_vector:
      case FieldKind::array_struct: return list(v, Element::model, ScalarKind::bool_, "object vector is too large");
      case FieldKind::vector_scalar:
      case FieldKind::array_scalar:
        if (!field.scalar) own_error(PyExc_RuntimeError, "numeric vector field has no scalar type");
        if (field.enum_type) return list(v, Element::scalar, *field.scalar, "enum vector is too large");
        return numeric_vector(*field.scalar, v);
      case FieldKind::vector_byte:
        if (field.enum_type) return list(v, Element::scalar, ScalarKind::uint8, "enum vector is too large");
        return numeric_vector(ScalarKind::uint8, v);
      case FieldKind::vector_string: return list(v, Element::string, ScalarKind::bool_, "string vector is too large");
      case FieldKind::dynamic: own_error(PyExc_NotImplementedError, "dynamic fields require the quorvel fallback");
      case FieldKind::uuid: return uuid(v);
      case FieldKind::decimal: return decimal(v);
      case FieldKind::fallback: return fallback(v);
    }
    throw InternalFailure("unknown field kind");
  }

  // No range check against the declared width: the value is written as the host converts it.
  void scalar(ScalarKind kind, PyObject* v) {
    switch (kind) {
      case ScalarKind::bool_: return w_.boolean(extract_bool(v));
      case ScalarKind::int8:
      case ScalarKind::int16:
      case ScalarKind::int32:
      case ScalarKind::int64: return w_.integer(to_i64(v));
      case ScalarKind::uint8:
      case ScalarKind::uint16:
      case ScalarKind::uint32:
      case ScalarKind::uint64: return w_.unsigned_integer(to_u64(v));
      case ScalarKind::float32:
      case ScalarKind::float64: return w_.float64(to_f64(v));
    }
  }

  // A Python int of any size: signed, else unsigned 64 bits; beyond that JSON takes its digits
  // and MessagePack, which has no form for it, fails with the unsigned conversion's error.
  void python_int(PyObject* v) {
    int64_t i = 0;
    if (attempt([&] { i = to_i64(v); })) return w_.integer(i);
    if constexpr (json) {
      uint64_t u = 0;
      if (attempt([&] { u = to_u64(v); })) return w_.unsigned_integer(u);
      const py::Ref digits = str_of(v);
      embed_json(utf8(digits.get()));
    } else {
      w_.unsigned_integer(to_u64(v));
    }
  }

  void element(Element kind, ScalarKind scalar_kind, PyObject* e) {
    switch (kind) {
      case Element::model:
        if (e == Py_None) return null();
        return model(e, classify(e));
      case Element::scalar: return scalar(scalar_kind, e);
      case Element::string: return text(text_of(e));
    }
  }

  // Lists of models, enum members and strings.
  void list(PyObject* v, Element kind, ScalarKind scalar_kind, const char* too_large) {
    if (!PyList_Check(v)) fail_wrong_type(v, "list");
    if constexpr (json) {
      // JSON announces no length, so the list is walked live: one element at a time under the
      // list's critical section, stopping early if another thread or a callback shrinks it.
      const Py_ssize_t n = PyList_GET_SIZE(v);
      w_.put('[');
      for (Py_ssize_t i = 0; const py::Ref item = list_item(v, i, n); ++i) {
        if (i > 0) w_.put(',');
        element(kind, scalar_kind, item.get());
      }
      w_.put(']');
    } else {
      // The array header holds the count before any element is written, and a list that shrank
      // meanwhile (a callback, another thread) would leave it announcing elements that never
      // come. So the elements are taken as one snapshot under the list's critical section and
      // the snapshot is written: the document is always complete and consistent.
      const auto start_length = static_cast<size_t>(PyList_GET_SIZE(v));
      if (start_length > 0xffffffffu) fail_text(PyExc_ValueError, too_large);
      const size_t base = items_.size();
      const size_t n = append_list_snapshot(v, start_length, items_);
      w_.array_header(n);
      for (size_t i = 0; i < n; ++i) element(kind, scalar_kind, items_[base + i].get());
      items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(base), items_.end());
    }
  }

  template <class T>
  void json_numbers(const uint8_t* data, size_t count) {
    w_.put('[');
    py::BytesBuffer& out = w_.buffer();
    constexpr size_t slice = 1024;
    constexpr size_t most = 41;  // a double's longest form and a comma
    for (size_t start = 0; start < count; start += slice) {
      const size_t n = std::min(slice, count - start);
      char* p = out.reserve(n * most);
      const uint8_t* in = data + start * sizeof(T);
      for (size_t i = 0; i < n; ++i, in += sizeof(T)) {
        if (start + i > 0) *p++ = ',';
        if constexpr (std::is_same_v<T, bool>) {
          if (*in != 0) std::memcpy(p, "true", 4), p += 4;
          else std::memcpy(p, "false", 5), p += 5;
        } else {
          T x;
          std::memcpy(&x, in, sizeof(T));
          if constexpr (std::is_floating_point_v<T>) {
            if (!std::isfinite(x)) {
              std::memcpy(p, "null", 4);
              p += 4;
            } else if constexpr (std::is_same_v<T, float>) {
              p = detail::put_float(p, x);
            } else {
              p = detail::put_double(p, x);
            }
          } else {
            p = std::to_chars(p, p + 20, x).ptr;
          }
        }
      }
      out.commit_to(p);
    }
    w_.put(']');
  }

  template <class T>
  void numbers(const uint8_t* data, size_t count) {
    if constexpr (json) json_numbers<T>(data, count);
    else w_.template array<T>(data, count);
  }

  void numeric_vector(ScalarKind kind, PyObject* v) {
    if constexpr (json) {
      const Py_ssize_t length = PyObject_Length(v);
      if (length < 0) throw_error_set();
      if (length == 0) return w_.raw("[]");
    }
    const auto run = numpy::array_elements(v, numpy_dtype(kind), scalar_width(kind), scratch_);
    if (!run) own_error(PyExc_TypeError, "numeric vector fields must be one-dimensional with the declared dtype");
    switch (kind) {
      case ScalarKind::bool_: return numbers<bool>(run->data, run->count);
      case ScalarKind::int8: return numbers<int8_t>(run->data, run->count);
      case ScalarKind::uint8: return numbers<uint8_t>(run->data, run->count);
      case ScalarKind::int16: return numbers<int16_t>(run->data, run->count);
      case ScalarKind::uint16: return numbers<uint16_t>(run->data, run->count);
      case ScalarKind::int32: return numbers<int32_t>(run->data, run->count);
      case ScalarKind::uint32: return numbers<uint32_t>(run->data, run->count);
      case ScalarKind::int64: return numbers<int64_t>(run->data, run->count);
      case ScalarKind::uint64: return numbers<uint64_t>(run->data, run->count);
      case ScalarKind::float32: return numbers<float>(run->data, run->count);
      case ScalarKind::float64: return numbers<double>(run->data, run->count);
    }
  }

  void uuid(PyObject* v) {
    switch (cx_.uuid_form) {
      case UuidForm::bytes: {
        if constexpr (!json) {
          const py::Ref raw = check_new(PyObject_GetAttrString(v, "bytes"));
          if (!PyBytes_Check(raw.get())) fail_wrong_type(raw.get(), "bytes");
          return w_.bin({reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(raw.get())),
                         static_cast<size_t>(PyBytes_GET_SIZE(raw.get()))});
        }
        throw InternalFailure("UUID bytes form in JSON");
      }
      case UuidForm::canonical: {
        const py::Ref s = str_of(v);
        return text(utf8(s.get()));
      }
      case UuidForm::hex: {
        const py::Ref s = check_new(PyObject_GetAttrString(v, "hex"));
        return text(str_utf8(s.get()));
      }
    }
  }

  void decimal(PyObject* v) {
    if (!cx_.decimal_as_number) {
      const py::Ref s = str_of(v);
      return text(utf8(s.get()));
    }
    if constexpr (json) {
      // The decimal's own digits and exponent, trailing zeros included; NaN and infinities are
      // no JSON number and fail validation.
      const py::Ref s = str_of(v);
      embed_json(utf8(s.get()));
    } else {
      w_.float64(to_f64(v));
    }
  }

  void fallback(PyObject* v) {
    const py::Ref result = check_new(PyObject_CallOneArg(cx_.fallback_encoder, v));
    if (!PyBytes_Check(result.get())) fail_wrong_type(result.get(), "bytes");
    const std::string_view bytes(PyBytes_AS_STRING(result.get()), static_cast<size_t>(PyBytes_GET_SIZE(result.get())));
    if constexpr (json) {
      embed_json(bytes);
    } else {
      // The caller's encoder answers for returning exactly one MessagePack value.
      w_.raw({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    }
  }

  const EncodeContext& cx_;
  Writer w_;
  ModelWalk walk_;                 // reads the models' fields (plan/access.hpp)
  std::vector<Kept> kept_;         // kept entries of the models being written, innermost last
  std::vector<py::Ref> items_;     // list snapshots (MessagePack), innermost last
  std::vector<uint8_t> scratch_;   // one gathered copy of a strided array
  std::vector<const ModelFacts*> models_;  // looked up once per object and call
  struct Classified {
    py::Ref type;
    uint32_t index = 0;
  };
  std::array<Classified, 8> classified_;
  size_t next_classified_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The JSON error wrapper.

[[noreturn]] void raise_json_error(std::string_view text) {
  fail(PyExc_TypeError, "cannot encode JSON: {}", text);
}

// The current Python exception as TypeError "cannot encode JSON: {class}: {str}", chained to it.
[[noreturn]] void rethrow_python_error_as_json() {
  py::Ref raised = py::Ref::steal(PyErr_GetRaisedException());
  if (!raised) throw_error_set();
  if (!is_ordinary_error(raised.get())) {
    PyErr_SetRaisedException(raised.release());
    throw_error_set();
  }
  const std::string text = exception_text(raised.get());
  PyErr_Clear();
  set_error(PyExc_TypeError, "cannot encode JSON: " + text);
  PyObject* wrapped = PyErr_GetRaisedException();
  if (wrapped != nullptr) PyException_SetCause(wrapped, raised.release());
  PyErr_SetRaisedException(wrapped);
  throw_error_set();
}

}  // namespace

py::Ref encode_serde(NativePlan& plan, std::string_view root, PyObject* model, bool is_json, PyObject* fallback_encoder,
                     std::optional<std::string_view> order, std::string_view decimal_format,
                     std::string_view uuid_format) {
  const uint32_t root_index = plan.object(root).first;
  if (plan.model_object_index(model) != root_index) {
    fail(PyExc_TypeError, "serde model does not match the requested generated root");
  }
  if (!plan.require_bound().native_serde) {
    fail(PyExc_NotImplementedError, "generated model graph requires the quorvel fallback");
  }
  UuidForm uuid_form = UuidForm::canonical;
  if (uuid_format == "canonical") uuid_form = UuidForm::canonical;
  else if (uuid_format == "hex") uuid_form = UuidForm::hex;
  else if (uuid_format == "bytes" && !is_json) uuid_form = UuidForm::bytes;
  else fail(PyExc_ValueError, "unsupported UUID format");
  const EncodeContext cx{plan, fallback_encoder, uuid_form, order && *order == "sorted", decimal_format == "number"};

  if (!is_json) {
    py::BytesBuffer out(128);
    Encoder<msgpack::Writer> encoder(cx, out);
    encoder.model(model, root_index);
    return out.finish();
  }
  // The model is held for the whole write: attribute reads run Python code.
  const py::Ref held = py::Ref::borrow(model);
  try {
    py::BytesBuffer out(128);
    Encoder<JsonWriter> encoder(cx, out);
    encoder.model(held.get(), root_index);
    return out.finish();
  } catch (const TooDeep&) {
    throw;
  } catch (const ReaderError& error) {
    raise_json_error(error.message);
  } catch (const PyFailure& failure) {
    if (!is_ordinary_error(failure.type)) throw;
    raise_json_error(type_qualname(reinterpret_cast<PyTypeObject*>(failure.type)) + ": " + failure.message);
  } catch (const PyErrorSet&) {
    rethrow_python_error_as_json();
  }
}

}  // namespace quorvel::serde
