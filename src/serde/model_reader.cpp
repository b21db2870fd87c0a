// The model reader, defined once for each document source (see model_reader.hpp).
#include "serde/model_reader.hpp"

#include "msgpack/reader.hpp"
#include "plan/scalar.hpp"
#include "plan/scalar_bytes.hpp"
#include "py/error.hpp"
#include "py/numpy.hpp"
#include "py/recursion.hpp"
#include "py/text.hpp"
#include "py/values.hpp"
#include "serde/coerce.hpp"
#include "serde/json_scan.hpp"
#include "serde/json_source.hpp"
#include "serde/msgpack_source.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::serde {

namespace {

// Builds one model object from the keywords that arrived. Kept small and separate so that the
// construction path can change without touching the readers.
inline py::Ref construct_model(ModelWalk& walk, const ObjectWire& object, PyObject* cls, PyObject* const* values,
                               size_t count, PyObject* kwnames) {
  return walk.construct(object, cls, std::span(values, count), count == 0 ? nullptr : kwnames);
}

using py::int_from;
[[gnu::always_inline]] inline py::Ref int_from(const Integer& n) {
  return check_new(n.negative ? PyLong_FromLongLong(n.i) : PyLong_FromUnsignedLongLong(n.u));
}

inline ScalarValue unwrap(Coerced c) {
  if (!c) throw ReaderError{std::move(c.error())};
  return *c;
}

[[noreturn, gnu::cold, gnu::noinline]] inline void integer_out_of_range(const Integer& n,
                                                                       std::string_view expecting) {
  invalid_value(found::integer(n.render()), expecting);
}

}  // namespace

// Owns the values pushed into it, at most `capacity` (fixed when it is made), until they are taken
// or it ends: in an array of its own for the usual few, else in a region it takes at the top of the
// call's spill stack (and gives back when it ends). The array holds plain pointers, each a reference
// this object owns: a Ref per slot cost 2% of the MessagePack decode in construction and
// release.
template <DocumentSource Src>
struct ModelReader<Src>::Slots {
  Slots(std::vector<py::Ref>& spill, size_t capacity)
      : spill_(spill), base_(spill.size()), spilled_(capacity > inline_capacity) {
    if (spilled_) spill_.resize(base_ + capacity);
  }
  ~Slots() {
    clear();
    if (spilled_) spill_.resize(base_);
  }
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;

  [[gnu::always_inline]] void push(py::Ref value) noexcept { data()[size_++] = value.release(); }
  [[gnu::always_inline]] PyObject* const* values() noexcept { return data(); }
  [[gnu::always_inline]] py::Ref take(size_t k) noexcept { return py::Ref::steal(std::exchange(data()[k], nullptr)); }
  [[gnu::always_inline]] void clear() noexcept {
    PyObject** v = data();
    for (size_t k = 0; k < size_; ++k) Py_XDECREF(std::exchange(v[k], nullptr));
    size_ = 0;
  }

 private:
  // The slots as the argument array they are read as. Spilled ones are the stack's Refs, which a
  // pointer is written into and taken out of directly (a Ref is exactly its pointer).
  PyObject** data() noexcept { return spilled_ ? reinterpret_cast<PyObject**>(spill_.data() + base_) : inline_; }
  static constexpr size_t inline_capacity = 16;
  std::vector<py::Ref>& spill_;
  size_t base_;
  bool spilled_;
  size_t size_ = 0;
  PyObject* inline_[inline_capacity];
};

template <DocumentSource Src>
struct ModelReader<Src>::Resolved {
  enum class Kind : uint8_t { missing, found, conflicting } kind = Kind::missing;
  const FieldWire* field = nullptr;
  uint32_t object = 0;
  uint32_t index = 0;
};

template <DocumentSource Src>
py::Ref ModelReader<Src>::root(Target target) {
  if constexpr (Src::json) {
    return visit_map(target, [&](auto&& entry) { src_.root_map(entry); });
  } else {
    Value v = src_.next();
    return model(v, target);
  }
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::model(Value& v, Target target) {
  return visit_map(target, [&](auto&& entry) { src_.map(v, expecting_model, entry); });
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::nullable_field(const FieldWire& f, Value& v) {
  if (f.serde_nullable && src_.take_null(v)) return py::Ref::borrow(Py_None);
  return field(f, v);
}

// A value of the field `slot` describes, by its direct read when it has one.
template <DocumentSource Src>
[[gnu::always_inline]] inline py::Ref ModelReader<Src>::direct(const KeySlot& slot, Value& v) {
  switch (slot.direct) {
    case Direct::strict_float: return check_new(PyFloat_FromDouble(src_.float64(v, "f64")));
    case Direct::strict_integer: {
      const Integer n = src_.integer(v, slot.expecting);
      if (!slot.range.holds(n.negative, n.i, n.u)) [[unlikely]] integer_out_of_range(n, slot.expecting);
      return int_from(n);
    }
    case Direct::strict_bool: return py::Ref::borrow(src_.boolean(v) ? Py_True : Py_False);
    case Direct::text: return new_str(src_.text(v, expecting_string));
    case Direct::general: break;
  }
  const FieldWire& f = *slot.field;
  return f.kind == FieldKind::scalar && !f.serde_nullable ? scalar(f, v) : nullable_field(f, v);
}

// ---------------------------------------------------------------------------------------------
// Model objects

namespace {

// Whether two arms define a key alike: else the entry waits for the tag.
bool same_shape(const FieldWire& a, const FieldWire& b) {
  if (a.kind != b.kind || a.scalar != b.scalar || a.target_index != b.target_index || a.fixed_length != b.fixed_length ||
      a.fallback_id != b.fallback_id || a.serde_omit_default != b.serde_omit_default || a.arms.size() != b.arms.size()) {
    return false;
  }
  for (size_t k = 0; k < a.arms.size(); ++k) {
    if (a.arms[k].target_index != b.arms[k].target_index) return false;
  }
  return true;
}

}  // namespace

template <DocumentSource Src>
template <class ReadMap>
py::Ref ModelReader<Src>::visit_map(Target target, ReadMap&& read_map) {
  RecursionGuard recursion(" while decoding a generated model");
  std::optional<std::string_view> tag_name;
  if (target.arms == nullptr) {
    const SerdeObject& so = *ctx_.model(target.object).serde;
    if (!so.tag) return visit_fixed(target.object, read_map);
    tag_name = so.tag->first;
  } else if (!target.arms->empty()) {
    const SerdeObject& so = *ctx_.model(target.arms->front().target_index).serde;
    if (so.tag) tag_name = so.tag->first;
  }
  bool known = target.arms == nullptr;
  bool candidates = target.arms != nullptr;
  uint32_t chosen = target.object;
  const size_t base = ctx_.parsed.size();
  const size_t buffered_base = buffered_.size();
  uint32_t hint = 0;
  // The model whose keys are looked up, once it is known (the common case: from the start).
  const ModelFacts* fixed = candidates ? nullptr : &ctx_.model(chosen);

  // Keys that match no field are checked to be text before they are used (see the sources' map).
  read_map([&](std::string_view key, Value& value) {
    if (tag_name && key == *tag_name) {
      std::string_view tag = src_.text(value, expecting_string);
      auto match = choose_tag(target, tag);
      if (!match) reader_fail("unknown generated model tag {}", text::quoted(tag));
      decode_buffered(*match, buffered_base);
      known = true;
      candidates = false;
      chosen = *match;
      fixed = &ctx_.model(chosen);
      hint = 0;
      return;
    }
    if (fixed != nullptr) [[likely]] {
      const uint32_t index = Facts::lookup(*fixed, key, hint);
      if (index == Facts::none) {
        src_.checked_key(key);
        src_.skip(value);
        return;
      }
      const KeySlot& slot = fixed->slots(ctx_.strict)[index];
      ctx_.parsed.push_back(Parsed{key, chosen, index, direct(slot, value)});
      hint = index + 1;
      return;
    }
    Resolved r = resolve(target, candidates, chosen, key, hint);
    switch (r.kind) {
      case Resolved::Kind::missing:
        src_.checked_key(key);
        src_.skip(value);
        return;
      case Resolved::Kind::conflicting: buffered_.push_back({key, src_.capture(value)}); return;
      case Resolved::Kind::found: {
        ctx_.parsed.push_back(Parsed{key, r.object, r.index, nullable_field(*r.field, value)});
        hint = r.index + 1;
        return;
      }
    }
  });
  if (!known) reader_fail("tagged generated model object is missing its type tag");
  buffered_.erase(buffered_.begin() + static_cast<ptrdiff_t>(buffered_base), buffered_.end());
  py::Ref result = construct(chosen, base);
  ctx_.parsed.erase(ctx_.parsed.begin() + static_cast<ptrdiff_t>(base), ctx_.parsed.end());
  return result;
}

// A model of one known, untagged class. While the keys arrive in declared order (the usual case),
// each value goes straight into its argument slot and the object is built from the slots with
// the prebuilt keyword names. At the first key out of order the values so far move to the parsed
// entries, in arrival order, and the rest takes the general path. The state lives in one object
// (ExpectingEntries) that the source's map loop reaches in one step; the loop also compares the
// key it expects next where it stands, and may read a common value in place.
template <DocumentSource Src>
template <class ReadMap>
py::Ref ModelReader<Src>::visit_fixed(uint32_t object, ReadMap& read_map) {
  const ModelFacts& m = ctx_.model(object);
  const std::vector<KeySlot>& keys = m.slots(ctx_.strict);
  const uint32_t count = static_cast<uint32_t>(keys.size());
  const size_t base = ctx_.parsed.size();
  ExpectingEntries e{*this, m, keys.data(), count, object, Slots(ctx_.spilled, count)};
  read_map(e);
  if (e.in_order && e.filled == count) {
    return construct_model(ctx_.walk, *m.object, ctx_.model_class(m, object), e.slots.values(), count,
                           m.serde->kwnames.get());
  }
  e.leave_order();
  py::Ref result = construct(object, base);
  ctx_.parsed.erase(ctx_.parsed.begin() + static_cast<ptrdiff_t>(base), ctx_.parsed.end());
  return result;
}

// The entries of one fixed model's map as visit_fixed reads them: the entry callback, and what
// the source asks of it around the expected key (see the sources' map loops).
template <DocumentSource Src>
struct ModelReader<Src>::ExpectingEntries {
  ModelReader& b;
  const ModelFacts& m;
  const KeySlot* keys;
  uint32_t count;
  uint32_t object;
  Slots slots;          // the leading fields read in order
  uint32_t filled = 0;  // how many those are
  uint32_t hint = 0;    // the field whose key is expected next
  bool in_order = true;

  // The value of an entry whose key is that of serialized field `index`.
  [[gnu::always_inline]] void take(uint32_t index, std::string_view key, Value& value) {
    if (in_order) [[likely]] {
      if (index == filled) [[likely]] {
        slots.push(b.direct(keys[index], value));
        hint = ++filled;
        return;
      }
      leave_order();
    }
    b.ctx_.parsed.push_back(Parsed{key, object, index, b.direct(keys[index], value)});
    hint = index + 1;
  }

  // From the in-order path to the general one: the leading fields read so far become parsed entries,
  // in the order they came.
  [[gnu::noinline]] void leave_order() {
    if (!in_order) return;
    for (uint32_t k = 0; k < filled; ++k) b.ctx_.parsed.push_back(Parsed{keys[k].key, object, k, slots.take(k)});
    slots.clear();
    in_order = false;
  }

  [[gnu::always_inline]] void operator()(std::string_view key, Value& value) {
    const uint32_t index = Facts::lookup(m, key, hint);
    if (index == Facts::none) {
      b.src_.checked_key(key);
      b.src_.skip(value);
      return;
    }
    take(index, key, value);
  }

  // The key the hint names.
  [[gnu::always_inline]] const KeyProbe* expected() const noexcept { return hint < count ? &m.probes[hint] : nullptr; }
  // While the fields come in order, the common values are read where they stand (`at`: where,
  // in the source's terms).
  template <class... At>
  [[gnu::always_inline]] bool in_place(At&... at) {
    if (!in_order || !b.direct_in_place(keys[hint], slots, at...)) return false;
    hint = ++filled;
    return true;
  }
  [[gnu::always_inline]] void matched(Value& value) { take(hint, keys[hint].key, value); }
};

// The value of `slot`'s field read where it stands, pushed onto `slots`, when it has a direct
// read and the usual form; false (nothing read) otherwise. A value read here is exactly what
// direct() would have made of it; the source's reads take `at` (its position) and leave it
// unchanged when they fail.
template <DocumentSource Src>
template <class... At>
bool ModelReader<Src>::direct_in_place(const KeySlot& slot, Slots& slots, At&... at) {
  switch (slot.direct) {
    case Direct::strict_float: {
      double d = 0;
      if (!src_.f64_at(at..., d)) return false;
      slots.push(check_new(PyFloat_FromDouble(d)));
      return true;
    }
    case Direct::strict_integer: {
      Integer n;
      if (!src_.integer_at(at..., slot.range, n)) return false;
      slots.push(int_from(n));
      return true;
    }
    case Direct::strict_bool: {
      bool b = false;
      if (!src_.bool_at(at..., b)) return false;
      slots.push(py::Ref::borrow(b ? Py_True : Py_False));
      return true;
    }
    case Direct::text: {
      std::string_view s;
      if constexpr (Src::json) {
        if (!src_.text_at(at..., s)) return false;
        slots.push(new_str(s));
      } else {
        if (!src_.ascii_at(at..., s)) return false;
        slots.push(new_ascii(s));
      }
      return true;
    }
    case Direct::general: break;
  }
  return false;
}

template <DocumentSource Src>
auto ModelReader<Src>::resolve(Target target, bool candidates, uint32_t chosen, std::string_view key, uint32_t hint)
    -> Resolved {
  Resolved r;
  if (!candidates) {
    const ModelFacts& m = ctx_.model(chosen);
    uint32_t index = Facts::lookup(m, key, hint);
    if (index == Facts::none) return r;
    return Resolved{Resolved::Kind::found, m.keys[0][index].field, chosen, index};
  }
  for (const ArmWire& arm : *target.arms) {
    const ModelFacts& m = ctx_.model(arm.target_index);
    uint32_t index = Facts::lookup(m, key, Facts::none);
    if (index == Facts::none) continue;
    const FieldWire& f = *m.keys[0][index].field;
    if (r.field != nullptr && !same_shape(*r.field, f)) return Resolved{Resolved::Kind::conflicting};
    r = Resolved{Resolved::Kind::found, &f, arm.target_index, index};
  }
  return r;
}

template <DocumentSource Src>
std::optional<uint32_t> ModelReader<Src>::choose_tag(Target target, std::string_view tag) {
  if (target.arms == nullptr) {
    const SerdeObject& so = *ctx_.model(target.object).serde;
    if (so.tag && so.tag->second == tag) return target.object;
    return std::nullopt;
  }
  for (const ArmWire& arm : *target.arms) {
    const SerdeObject& so = *ctx_.model(arm.target_index).serde;
    if (so.tag && so.tag->second == tag) return arm.target_index;
  }
  return std::nullopt;
}

template <DocumentSource Src>
void ModelReader<Src>::decode_buffered(uint32_t chosen, size_t base) {
  const size_t end = buffered_.size();
  const ModelFacts& m = ctx_.model(chosen);
  for (size_t k = base; k < end; ++k) {
    const auto entry = buffered_[k];
    uint32_t index = Facts::lookup(m, entry.name, Facts::none);
    if (index == Facts::none) continue;
    py::Ref value = decode_buffered_value(*m.keys[0][index].field, entry.raw);
    ctx_.parsed.push_back(Parsed{entry.name, chosen, index, std::move(value)});
  }
  buffered_.erase(buffered_.begin() + static_cast<ptrdiff_t>(base), buffered_.end());
}

// A buffered entry read again with a fresh reader of its own (and a fresh nesting budget).
template <DocumentSource Src>
py::Ref ModelReader<Src>::decode_buffered_value(const FieldWire& field, const typename Src::Capture& raw) {
  if constexpr (Src::json) {
    return src_.reread(raw, "cannot decode buffered JSON field: ", [&](JsonSource& inner, sj::value& value) {
      return ModelReader<JsonSource>(ctx_, inner).nullable_field(field, value);
    });
  } else {
    MsgpackSource inner = MsgpackSource::rereading(raw, src_.kept());
    py::Ref value = read_msgpack("cannot decode buffered MessagePack field: ", [&] {
      msgpack::Marker marker = inner.next();
      return ModelReader<MsgpackSource>(ctx_, inner).nullable_field(field, marker);
    });
    if (inner.remaining() != 0) fail(PyExc_ValueError, "buffered MessagePack field contains trailing data");
    return value;
  }
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::construct(uint32_t object, size_t base) {
  const ModelFacts& m = ctx_.model(object);
  PyObject* cls = ctx_.model_class(m, object);
  const auto& fields = m.serde->fields;
  const size_t count = ctx_.parsed.size() - base;
  Parsed* entries = ctx_.parsed.data() + base;
  if (count == fields.size()) {
    // Fast path: each declared field exactly once; one call with the prebuilt keyword names, the
    // values borrowed from the entries, which own them.
    std::vector<PyObject*>& values = ctx_.call_values;
    const size_t at = values.size();
    struct Trim {
      std::vector<PyObject*>& values;
      size_t at;
      ~Trim() { values.resize(at); }
    } trim{values, at};
    bool complete = true;
    bool in_order = true;
    for (size_t k = 0; k < count; ++k) {
      if (entries[k].object != object || entries[k].field != k) {
        in_order = false;
        break;
      }
    }
    if (in_order) {
      for (size_t k = 0; k < count; ++k) values.push_back(entries[k].value.get());
    } else {
      for (size_t j = 0; j < fields.size() && complete; ++j) {
        complete = false;
        for (size_t k = 0; k < count; ++k) {
          if (entries[k].name == fields[j].key) {
            values.push_back(entries[k].value.get());
            complete = true;
            break;
          }
        }
      }
    }
    if (complete) return construct_model(ctx_.walk, *m.object, cls, values.data() + at, count, m.serde->kwnames.get());
  }
  // Slow path: a keyword dict in arrival order; a later entry for a field replaces an earlier one.
  py::Ref kwargs = check_new(PyDict_New());
  for (size_t k = 0; k < count; ++k) {
    uint32_t index = Facts::lookup(m, entries[k].name, Facts::none);
    if (index == Facts::none) {
      fail(PyExc_ValueError, "field {} does not belong to tagged model {}", text::quoted(entries[k].name), m.object->name);
    }
    check_status(PyDict_SetItem(kwargs.get(), fields[index].attr.get(), entries[k].value.get()));
  }
  py::Ref no_args = check_new(PyTuple_New(0));
  return check_new(PyObject_Call(cls, no_args.get(), kwargs.get()));
}

// ---------------------------------------------------------------------------------------------
// Field values

template <DocumentSource Src>
py::Ref ModelReader<Src>::field(const FieldWire& f, Value& v) {
  switch (f.kind) {
    case FieldKind::scalar: return scalar(f, v);
    case FieldKind::string: return new_str(src_.text(v, expecting_string));
    case FieldKind::vector_string: return strings(v);
    case FieldKind::table:
    case FieldKind::struct_:
    case FieldKind::nested:
      if (!f.target_index) reader_fail("model field has no target");
      return model(v, Target{nullptr, *f.target_index});
    case FieldKind::union_: return model(v, Target{&f.arms, 0});
    case FieldKind::vector_table:
    case FieldKind::vector_struct:
    case FieldKind::array_struct:
      if (!f.target_index) reader_fail("model vector field has no target");
      return model_vector(f, v, Target{nullptr, *f.target_index});
    case FieldKind::union_vector: return model_vector(f, v, Target{&f.arms, 0});
    case FieldKind::vector_scalar:
    case FieldKind::array_scalar: return f.enum_type ? enum_vector(f, v) : numeric_vector(f, v);
    case FieldKind::uuid: return uuid(v);
    case FieldKind::decimal: return decimal(v);
    case FieldKind::fallback: return fallback(f, v);
    case FieldKind::vector_byte:
    case FieldKind::dynamic: reader_fail("field requires the quorvel fallback");
  }
  reader_fail("field requires the quorvel fallback");
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::scalar(const FieldWire& f, Value& v) {
  if (f.serde_python_int) return python_int(v);
  if (!f.scalar) reader_fail("scalar field has no scalar type");
  ScalarValue value = ctx_.strict ? strict_scalar(*f.scalar, v) : coerced_scalar(*f.scalar, v);
  py::Ref object = value.into_py();
  if (!f.enum_index) return object;
  return ctx_.plan.apply_enum(f, std::move(object));
}

// A strict integer of `kind`, read and checked against the values the kind holds.
template <DocumentSource Src>
Integer ModelReader<Src>::checked_integer(ScalarKind kind, Value& v) {
  const std::string_view expecting = typed_expecting(kind);
  const Integer n = src_.integer(v, expecting);
  if (!integer_range(kind).holds(n.negative, n.i, n.u)) integer_out_of_range(n, expecting);
  return n;
}

template <DocumentSource Src>
ScalarValue ModelReader<Src>::strict_scalar(ScalarKind kind, Value& v) {
  switch (family_of(kind)) {
    case ScalarFamily::boolean: return ScalarValue::make_bool(src_.boolean(v));
    case ScalarFamily::signed_integer: {
      const Integer n = checked_integer(kind, v);
      return ScalarValue::make_signed(kind, n.negative ? n.i : static_cast<int64_t>(n.u));
    }
    case ScalarFamily::unsigned_integer: return ScalarValue::make_unsigned(kind, checked_integer(kind, v).u);
    case ScalarFamily::floating:
      // Both float kinds read a double as it is: a strict float32 field is not rounded.
      return ScalarValue::make_f64(src_.float64(v, "f64"));
  }
  reader_fail("scalar field has no scalar type");
}

template <DocumentSource Src>
ScalarValue ModelReader<Src>::coerced_scalar(ScalarKind kind, Value& v) {
  // Only a refusal needs the text, so it is not built for every value.
  auto expecting = [kind] { return std::format("a value coercible to {}", display_name(kind)); };
  Scalar s = src_.scalar(v);
  switch (s.kind) {
    case ValueKind::boolean:
      if (kind != ScalarKind::bool_) reader_fail("boolean is not coercible to a numeric field");
      return ScalarValue::make_bool(s.b);
    case ValueKind::unsigned_integer: return unwrap(scalar_from_integer(kind, s.u));
    case ValueKind::signed_integer: return unwrap(scalar_from_integer(kind, s.i));
    case ValueKind::floating: return unwrap(scalar_from_f64(kind, s.d));
    case ValueKind::string: return unwrap(scalar_from_str(kind, s.s));
    case ValueKind::null: refuse_null(expecting());
    case ValueKind::binary:
    case ValueKind::array:
    case ValueKind::map:
    case ValueKind::ext: break;
  }
  src_.fail_invalid_type(v, expecting());
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::python_int(Value& v) {
  if constexpr (Src::json) {
    if (ctx_.strict) {
      // The number's own digits: integers of any size read exactly.
      std::string_view raw = src_.raw(v);
      if (raw.empty() || (raw[0] != '-' && (raw[0] < '0' || raw[0] > '9'))) reader_fail("expected an integer");
      const char* end = raw.data() + raw.size();
      int64_t i = 0;
      if (auto r = std::from_chars(raw.data(), end, i); r.ec == std::errc{} && r.ptr == end) return int_from(i);
      uint64_t u = 0;
      if (auto r = std::from_chars(raw.data(), end, u); r.ec == std::errc{} && r.ptr == end) return int_from(u);
      py::Ref digits = new_str(raw);
      return check_new(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyLong_Type), digits.get()));
    }
  }
  const bool lax = !ctx_.strict;
  Scalar s = src_.scalar(v);
  auto from_float = [&](double d) {
    __int128 n = 0;
    if (!lax || !lax_integral(d, n)) reader_fail("float is not coercible to an integer");
    return int_from(n);
  };
  switch (s.kind) {
    case ValueKind::unsigned_integer: return int_from(s.u);
    case ValueKind::signed_integer: return int_from(s.i);
    case ValueKind::floating: return from_float(s.d);
    case ValueKind::string: {
      if (!lax) reader_fail("expected an integer");
      __int128 n = 0;
      if (canonical_integer(s.s, n)) return int_from(n);
      std::string fault;
      auto d = json::number_document(s.s, &fault);
      if (!d) throw ReaderError{std::move(fault)};
      return from_float(*d);
    }
    case ValueKind::boolean: invalid_type(found::boolean(s.b), expecting_integer);
    case ValueKind::null: refuse_null(expecting_integer);
    case ValueKind::binary:
    case ValueKind::array:
    case ValueKind::map:
    case ValueKind::ext: break;
  }
  src_.fail_invalid_type(v, expecting_integer);
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::strings(Value& v) {
  ListBuilder out;
  src_.seq(v, expecting_sequence, [&](size_t bound) { out.reserve(bound); },
           [&](Value& e) { out.push(new_str(src_.text(e, expecting_string))); });
  return out.finish();
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::model_vector(const FieldWire& f, Value& v, Target target) {
  ListBuilder out;
  const bool nullable = f.serde_element_nullable;
  if constexpr (!Src::json) {
    // A byte string read as the sequence of its bytes: each byte is an integer, never a model.
    if (src_.is_bytes(v)) {
      const auto bytes = src_.bytes(v);
      if (!bytes.empty()) {
        invalid_type(found::integer(bytes[0]), nullable ? expecting_model_or_null : expecting_model);
      }
      if (f.fixed_length != 0) reader_fail("fixed object array requires {} values, got 0", f.fixed_length);
      return out.finish();
    }
  }
  src_.seq(v, expecting_model_vector, [&](size_t bound) { out.reserve(bound); }, [&](Value& e) {
    if (nullable && src_.take_null(e)) {
      out.push(py::Ref::borrow(Py_None));
      return;
    }
    out.push(model(e, target));
  });
  if (f.fixed_length != 0 && out.size() != f.fixed_length) {
    reader_fail("fixed object array requires {} values, got {}", f.fixed_length, out.size());
  }
  return out.finish();
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::enum_vector(const FieldWire& f, Value& v) {
  if (!f.scalar) reader_fail("enum vector has no scalar type");
  std::vector<msgpack::MessagePackValue> values;
  src_.seq(v, expecting_sequence, [&](size_t bound) { values.reserve(bound); },
           [&](Value& e) { values.push_back(src_.generic(e)); });
  if (f.fixed_length != 0 && values.size() != f.fixed_length) {
    reader_fail("fixed enum array requires {} values, got {}", f.fixed_length, values.size());
  }
  ListBuilder out;
  out.reserve(values.size());
  for (const auto& value : values) {
    ScalarValue s = unwrap(scalar_from_value(*f.scalar, value, ctx_.strict));
    out.push(ctx_.plan.apply_enum(f, s.into_py()));
  }
  return out.finish();
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::numeric_vector(const FieldWire& f, Value& v) {
  if (!f.scalar) reader_fail("numeric vector field has no scalar type");
  const ScalarKind kind = *f.scalar;
  const size_t width = scalar_width(kind);
  std::vector<uint8_t> data;
  size_t count = 0;
  auto put = [&](const ScalarValue& s) {
    data.resize(data.size() + width);
    store_scalar(data.data() + data.size() - width, s);
    ++count;
  };
  auto reserve = [&](size_t bound) { data.reserve(bound * width); };
  if (ctx_.strict) {
    src_.seq(v, expecting_sequence, reserve, [&](Value& e) {
      if (family_of(kind) != ScalarFamily::floating) return put(strict_scalar(kind, e));
      // A float element may be null, which stands for NaN.
      if (kind == ScalarKind::float32) {
        if (src_.take_null(e)) return put(ScalarValue::make_f32(std::numeric_limits<float>::quiet_NaN()));
        return put(ScalarValue::make_f32(src_.float32(e, "f32")));
      }
      if (src_.take_null(e)) return put(ScalarValue::make_f64(std::numeric_limits<double>::quiet_NaN()));
      return put(ScalarValue::make_f64(src_.float64(e, "f64")));
    });
  } else {
    // Every element is read before a conversion failure is reported, as a whole array is.
    std::optional<std::string> failure;
    src_.seq(v, expecting_sequence, reserve, [&](Value& e) {
      msgpack::MessagePackValue value = src_.generic(e);
      if (failure) return;
      Coerced c = scalar_from_value(kind, value, false);
      if (!c) failure = std::move(c.error());
      else if (c->kind != kind) failure = "coerced numeric vector changed scalar type";
      else put(*c);
    });
    if (failure) throw ReaderError{std::move(*failure)};
  }
  if (f.fixed_length != 0 && count != f.fixed_length) {
    reader_fail("fixed numeric array requires {} values, got {}", f.fixed_length, count);
  }
  return numpy::array_from_bytes(numpy_dtype(kind), width, count, data.data());
}

static py::Ref call_uuid(const NativePlan& plan, PyObject* text) {
  if (!plan.uuid_type) fail(PyExc_RuntimeError, "UUID type is not loaded");
  return check_new(PyObject_CallOneArg(plan.uuid_type.get(), text));
}

// UUID(bytes=b)
static py::Ref construct_uuid_bytes(const NativePlan& plan, std::string_view bytes) {
  py::Ref kwargs = check_new(PyDict_New());
  py::Ref b = check_new(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  check_status(PyDict_SetItemString(kwargs.get(), "bytes", b.get()));
  if (!plan.uuid_type) fail(PyExc_RuntimeError, "UUID type is not loaded");
  py::Ref no_args = check_new(PyTuple_New(0));
  return check_new(PyObject_Call(plan.uuid_type.get(), no_args.get(), kwargs.get()));
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::uuid(Value& v) {
  if constexpr (Src::json) {
    py::Ref text = new_str(src_.text(v, expecting_string));
    return call_uuid(ctx_.plan, text.get());
  } else {
    msgpack::MessagePackValue value = src_.generic(v);
    using K = msgpack::MessagePackValue::Kind;
    if (value.kind == K::String) {
      py::Ref text = new_str(value.bytes);
      return call_uuid(ctx_.plan, text.get());
    }
    if (value.kind == K::Binary) return construct_uuid_bytes(ctx_.plan, value.bytes);
    reader_fail("expected a UUID string or 16-byte value");
  }
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::decimal(Value& v) {
  py::Ref text;
  if constexpr (Src::json) {
    // A number keeps its digits exactly as written (1.10 stays 1.10).
    std::string_view raw = src_.raw(v);
    text = raw.starts_with('"') ? new_str(json::unescape(raw)) : new_str(raw);
  } else {
    msgpack::MessagePackValue value = src_.generic(v);
    using K = msgpack::MessagePackValue::Kind;
    switch (value.kind) {
      case K::Integer: text = new_str(value.negative ? std::to_string(value.i) : std::to_string(value.u)); break;
      case K::F32: text = new_str(text::shortest(value.f32)); break;
      case K::F64: text = new_str(text::shortest(value.f64)); break;
      case K::String: text = new_str(value.bytes); break;
      case K::Nil:
      case K::Boolean:
      case K::Binary:
      case K::Array:
      case K::Map:
      case K::Ext: reader_fail("expected a Decimal string or number");
    }
  }
  if (!ctx_.plan.decimal_type) fail(PyExc_RuntimeError, "Decimal type is not loaded");
  return check_new(PyObject_CallOneArg(ctx_.plan.decimal_type.get(), text.get()));
}

template <DocumentSource Src>
py::Ref ModelReader<Src>::fallback(const FieldWire& f, Value& v) {
  if (!f.fallback_id) reader_fail("fallback field has no callback id");
  py::Ref key = new_str(*f.fallback_id);
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(ctx_.fallback_decoders, key.get(), &found) < 0) throw_error_set();
  py::Ref decoder = py::Ref::steal(found);
  if (!decoder) reader_fail("serde fallback decoder {} is not bound", text::quoted(*f.fallback_id));
  py::Ref bytes;
  if constexpr (Src::json) {
    std::string_view raw = src_.raw(v);
    bytes = check_new(PyBytes_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
  } else {
    std::string encoded = src_.reencode(v);
    bytes = check_new(PyBytes_FromStringAndSize(encoded.data(), static_cast<Py_ssize_t>(encoded.size())));
  }
  return check_new(PyObject_CallOneArg(decoder.get(), bytes.get()));
}

template class ModelReader<JsonSource>;
template class ModelReader<MsgpackSource>;

}  // namespace quorvel::serde
