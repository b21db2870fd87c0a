// Keyed tables: dicts of model objects written as vectors of tables sorted by their key field.
#include "flatbuffer/keyed.hpp"

#include "flatbuffer/pack.hpp"
#include "py/text.hpp"

#include <algorithm>
#include <cmath>

namespace quorvel::flatbuffer {

TableKey TableKey::extract(FieldKind kind, std::optional<ScalarKind> scalar, PyObject* obj) {
  TableKey key;
  if (kind == FieldKind::string) {
    key.variant = Variant::Str;
    key.text = str_utf8(obj);
    return key;
  }
  if (kind != FieldKind::scalar) fail(PyExc_ValueError, "table key fields must be scalar or string fields");
  if (!scalar) fail(PyExc_ValueError, "key field has no scalar type");
  if (*scalar == ScalarKind::bool_) {
    key.variant = Variant::Bool;
    key.u = extract_bool(obj) ? 1 : 0;
  } else if (is_signed(*scalar)) {
    key.variant = Variant::Int;
    key.i = ScalarValue::extract(ScalarKind::int64, obj).i;
  } else if (is_unsigned(*scalar)) {
    key.variant = Variant::UInt;
    key.u = ScalarValue::extract(ScalarKind::uint64, obj).u;
  } else {
    const double d = ScalarValue::extract(ScalarKind::float64, obj).f64;
    key.variant = *scalar == ScalarKind::float32 ? Variant::F32 : Variant::F64;
    key.f = *scalar == ScalarKind::float32 ? static_cast<double>(static_cast<float>(d)) : d;
    if (std::isnan(key.f)) fail(PyExc_ValueError, "table keys cannot be NaN");
  }
  return key;
}

int TableKey::compare(const TableKey& a, const TableKey& b) noexcept {
  auto order = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  switch (a.variant) {
    case Variant::Bool:
    case Variant::UInt: return order(a.u, b.u);
    case Variant::Int: return order(a.i, b.i);
    case Variant::F32:
    case Variant::F64: return order(a.f, b.f);
    case Variant::Str: {
      const int c = a.text.compare(b.text);
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
  }
  return 0;
}

py::Ref sorted_table_map_values(NativePlan& plan, const FieldWire& field, PyObject* value) {
  const ObjectWire& target = plan.target_of(field);
  if (!target.key_field || *target.key_field >= target.fields.size()) {
    fail(PyExc_RuntimeError, "keyed table has no key field");
  }
  const FieldWire& key_field = target.fields[*target.key_field];
  if (!PyDict_Check(value)) fail(PyExc_TypeError, "keyed table field {} requires a dict", text::quoted(field.name));

  const Py_ssize_t size = PyDict_Size(value);
  std::vector<std::pair<TableKey, py::Ref>> pairs;
  pairs.reserve(static_cast<size_t>(size));
  Py_ssize_t pos = 0;
  py::Ref k, v;
  while (py::next_dict_item(value, pos, k, v)) {
    if (PyDict_Size(value) != size) fail(PyExc_RuntimeError, "dictionary changed size during iteration");
    if (pairs.size() == static_cast<size_t>(size)) fail(PyExc_RuntimeError, "dictionary keys changed during iteration");
    TableKey key = TableKey::extract(key_field.kind, key_field.scalar, k.get());
    py::Ref attribute = check_new(PyObject_GetAttr(v.get(), key_field.attr_name.get()));
    py::Ref equal = check_new(PyObject_RichCompare(k.get(), attribute.get(), Py_EQ));
    if (check_status(PyObject_IsTrue(equal.get())) == 0) {
      fail(PyExc_ValueError, "keyed table field {} key does not match {}.{}", text::quoted(field.name), target.name,
           key_field.name);
    }
    pairs.emplace_back(std::move(key), std::move(v));
  }
  if (PyDict_Size(value) != size) fail(PyExc_RuntimeError, "dictionary changed size during iteration");
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const auto& a, const auto& b) { return TableKey::compare(a.first, b.first) < 0; });
  for (size_t i = 1; i < pairs.size(); ++i) {
    if (TableKey::compare(pairs[i - 1].first, pairs[i].first) == 0) {
      fail(PyExc_ValueError, "keyed table field {} has duplicate encoded keys", text::quoted(field.name));
    }
  }
  py::Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  for (size_t i = 0; i < pairs.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pairs[i].second.release());
  }
  return list;
}

}  // namespace quorvel::flatbuffer
