// Type binding, model-object classification and the plan's lookup accessors.
#include "plan/model_types.hpp"
#include "plan/native_plan.hpp"
#include "py/text.hpp"

#include <algorithm>

namespace quorvel {

namespace {

std::string class_name(PyObject* cls) { return type_name(reinterpret_cast<PyTypeObject*>(cls)); }

py::Ref tuple_attr(PyObject* obj, const char* name) {
  py::Ref value = check_new(PyObject_GetAttrString(obj, name));
  if (!PyTuple_Check(value.get())) fail_wrong_type(value.get(), "tuple");
  return value;
}

bool is_keyed_table(const std::vector<ObjectWire>& objects, const FieldWire& field) {
  if (field.kind != FieldKind::vector_table || !field.target_index) return false;
  return objects[*field.target_index].key_field.has_value();
}

SerdeObject build_serde_object(const std::vector<ObjectWire>& objects, const ObjectWire& object, bool& native_serde) {
  SerdeObject so;
  for (const SerdeFieldWire& wire : object.serde_fields) {
    auto it = std::find_if(object.fields.begin(), object.fields.end(),
                           [&](const FieldWire& f) { return f.name == wire.attr_name; });
    if (it == object.fields.end()) {
      native_serde = false;
      continue;
    }
    so.fields.push_back(SerdeField{wire.encode_name, interned(wire.attr_name),
                                   static_cast<size_t>(it - object.fields.begin())});
  }
  for (const FieldWire& field : object.fields) {
    if (field.kind == FieldKind::vector_byte || field.kind == FieldKind::dynamic || is_keyed_table(objects, field)) {
      native_serde = false;
      break;
    }
  }
  if (object.serde_tag_field.has_value() != object.serde_tag.has_value()) {
    fail(PyExc_ValueError, "native serde tag metadata is incomplete");
  }
  if (object.serde_tag_field) {
    so.tag.emplace(*object.serde_tag_field, *object.serde_tag);
  }
  so.kwnames = check_new(PyTuple_New(static_cast<Py_ssize_t>(so.fields.size())));
  for (size_t i = 0; i < so.fields.size(); ++i) {
    PyTuple_SET_ITEM(so.kwnames.get(), static_cast<Py_ssize_t>(i), so.fields[i].attr.clone().release());
  }
  return so;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Subclass cache

template <class F>
auto SubclassCache::locked(F&& f) -> decltype(f()) {
  // PyMutex_Lock detaches this thread from the interpreter while it has to wait.
  PyMutex_Lock(&mutex_);
  if (poisoned_) {
    PyMutex_Unlock(&mutex_);
    fail(PyExc_RuntimeError, "native model subclass cache is poisoned");
  }
  try {
    if constexpr (std::is_void_v<decltype(f())>) {
      f();
      PyMutex_Unlock(&mutex_);
    } else {
      auto result = f();
      PyMutex_Unlock(&mutex_);
      return result;
    }
  } catch (...) {
    poisoned_ = true;
    PyMutex_Unlock(&mutex_);
    throw;
  }
}

std::optional<uint32_t> SubclassCache::find(PyObject* cls) {
  return locked([&]() -> std::optional<uint32_t> {
    auto it = map_.find(cls);
    if (it == map_.end()) return std::nullopt;
    return it->second.index;
  });
}

void SubclassCache::insert(PyObject* cls, uint32_t index) {
  py::Ref replaced;  // released after unlocking: dropping a class reference may run Python code
  py::Ref entry = py::Ref::borrow(cls);
  locked([&] {
    auto [it, inserted] = map_.try_emplace(cls, BoundModelSubclass{py::Ref(), index});
    replaced = std::exchange(it->second.cls, std::move(entry));
    it->second.index = index;
  });
}

// ---------------------------------------------------------------------------------------------
// bind_types

void NativePlan::bind_types(PyObject* types, SerdeFactsBuilder serde_facts) {
  auto bound = std::make_unique<BoundTypes>();
  bound->serde_objects.resize(objects.size());
  const Py_ssize_t size = PyDict_Size(types);
  bound->type_indices.reserve(static_cast<size_t>(size));
  bound->types_by_name.reserve(static_cast<size_t>(size));

  Py_ssize_t pos = 0;
  py::Ref key, value;
  while (py::next_dict_item(types, pos, key, value)) {
    if (!PyUnicode_Check(key.get())) fail_wrong_type(key.get(), "str");
    std::string_view name = utf8(key.get());
    if (!PyType_Check(value.get())) fail_wrong_type(value.get(), "type");
    if (auto it = object_indices.find(name); it != object_indices.end()) {
      const uint32_t index = it->second;
      bound->type_indices.insert_or_assign(value.get(), index);
      bound->bound_classes.push_back(value.clone());
      bound->serde_objects[index] = build_serde_object(objects, objects[index], bound->native_serde);
    }
    bound->types_by_name.insert_or_assign(std::string(name), value.clone());
  }
  if (std::any_of(bound->serde_objects.begin(), bound->serde_objects.end(), [](auto& so) { return !so.has_value(); })) {
    bound->native_serde = false;
  }
  // The codecs find classes by index; a name left unbound fails where it is needed, as by name.
  auto by_name = [&](std::string_view name) {
    auto it = bound->types_by_name.find(name);
    return it == bound->types_by_name.end() ? py::Ref() : it->second.clone();
  };
  bound->object_classes.reserve(objects.size());
  for (const ObjectWire& object : objects) bound->object_classes.push_back(by_name(object.name));
  bound->enum_classes.reserve(enum_names.size());
  for (const std::string& name : enum_names) bound->enum_classes.push_back(by_name(name));
  bound->serde_facts = serde_facts(*this, *bound);

  BoundTypes* expected = nullptr;
  if (!bound_.compare_exchange_strong(expected, bound.get(), std::memory_order_release, std::memory_order_acquire)) {
    fail(PyExc_RuntimeError, "native model types are already bound");
  }
  bound.release();
}

// ---------------------------------------------------------------------------------------------
// Accessors

const BoundTypes& NativePlan::require_bound() const {
  const BoundTypes* bound = bound_types();
  if (bound == nullptr) fail(PyExc_RuntimeError, "native model types are not bound");
  return *bound;
}

const SerdeObject& NativePlan::serde_object(size_t index) const {
  const BoundTypes& bound = require_bound();
  if (index >= bound.serde_objects.size() || !bound.serde_objects[index]) {
    fail(PyExc_RuntimeError, "generated model has no serde metadata");
  }
  return *bound.serde_objects[index];
}

py::Ref NativePlan::bound_type(std::string_view name) const {
  const BoundTypes* bound = bound_types();
  if (bound != nullptr) {
    if (auto it = bound->types_by_name.find(name); it != bound->types_by_name.end()) return it->second.clone();
  }
  fail(PyExc_RuntimeError, "native type {} is not bound", text::quoted(name));
}

uint32_t NativePlan::model_object_index(PyObject* obj) const {
  const BoundTypes& bound = require_bound();
  if (auto it = bound.type_indices.find(reinterpret_cast<PyObject*>(Py_TYPE(obj))); it != bound.type_indices.end()) {
    return it->second;
  }
  // Held for the whole call: the attribute reads and comparisons below run Python code, which may
  // reassign obj.__class__ and let the class be freed.
  const py::Ref owned = py::Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  PyObject* cls = owned.get();
  if (auto cached = subclass_cache_.find(cls)) return *cached;

  py::Ref mro = tuple_attr(cls, "__mro__");
  std::vector<uint32_t> bases;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    auto it = bound.type_indices.find(PyTuple_GET_ITEM(mro.get(), i));
    if (it != bound.type_indices.end() && std::find(bases.begin(), bases.end(), it->second) == bases.end()) {
      bases.push_back(it->second);
    }
  }
  if (bases.size() != 1) {
    fail(PyExc_TypeError, "{} does not have exactly one generated FlatBuffer model base", class_name(cls));
  }
  const uint32_t index = bases.front();
  py::Ref base = bound_type(objects[index].name);

  py::Ref own_fields = tuple_attr(cls, "__struct_fields__");
  py::Ref base_fields = tuple_attr(base.get(), "__struct_fields__");
  bool same = PyTuple_GET_SIZE(own_fields.get()) == PyTuple_GET_SIZE(base_fields.get());
  for (Py_ssize_t i = 0; same && i < PyTuple_GET_SIZE(base_fields.get()); ++i) {
    int contained = PySequence_Contains(own_fields.get(), PyTuple_GET_ITEM(base_fields.get(), i));
    if (contained < 0) clear_ordinary_error();  // a failing comparison counts as a mismatch
    same = contained == 1;
  }
  if (!same) {
    fail(PyExc_TypeError, "{} changes the serialized trevalin fields of {}", class_name(cls), class_name(base.get()));
  }
  subclass_cache_.insert(cls, index);
  return index;
}

void NativePlan::require_model_type(const ObjectWire& expected, PyObject* obj) const {
  if (model_object_index(obj) == expected.index) return;
  py::Ref bound = bound_type(expected.name);
  fail(PyExc_TypeError, "{} must subclass {}", class_name(reinterpret_cast<PyObject*>(Py_TYPE(obj))),
       class_name(bound.get()));
}

PyObject* NativePlan::bound_class(uint32_t index) const {
  const BoundTypes* bound = bound_types();
  if (bound != nullptr && index < bound->object_classes.size() && bound->object_classes[index]) {
    return bound->object_classes[index].get();
  }
  fail(PyExc_RuntimeError, "native type {} is not bound", text::quoted(objects[index].name));
}

py::Ref NativePlan::apply_enum(const FieldWire& field, py::Ref value) const {
  if (!field.enum_index) return value;
  const BoundTypes* bound = bound_types();
  if (bound == nullptr || !bound->enum_classes[*field.enum_index]) {
    fail(PyExc_RuntimeError, "native type {} is not bound", text::quoted(*field.enum_type));
  }
  return check_new(PyObject_CallOneArg(bound->enum_classes[*field.enum_index].get(), value.get()));
}

// ---------------------------------------------------------------------------------------------
// model_types

std::unique_ptr<NativeModelTypes> NativePlan::model_types(PyObject* generated, PyObject* requested,
                                                          PyObject* bindings) const {
  const BoundTypes& bound = require_bound();
  auto index_of = [&](PyObject* cls, const char* label) {
    auto it = bound.type_indices.find(cls);
    if (it == bound.type_indices.end()) fail(PyExc_TypeError, "{} type is not bound", label);
    return it->second;
  };
  auto is_subclass = [](PyObject* derived, PyObject* base) {
    int r = PyObject_IsSubclass(derived, base);
    if (r < 0) throw_error_set();
    return r == 1;
  };
  auto require_class = [](PyObject* obj) {
    if (!PyType_Check(obj)) fail_wrong_type(obj, "type");
  };

  auto result = std::make_unique<NativeModelTypes>();
  result->root_index = index_of(generated, "generated root");
  if (!is_subclass(requested, generated)) {
    fail(PyExc_TypeError, "{} must subclass {}", class_name(requested), class_name(generated));
  }

  py::Ref iterator = check_new(PyObject_GetIter(bindings));
  while (true) {
    PyObject* raw = nullptr;
    if (PyIter_NextItem(iterator.get(), &raw) < 0) throw_error_set();
    if (raw == nullptr) break;
    py::Ref item = py::Ref::steal(raw);
    if (!PyTuple_Check(item.get())) fail_wrong_type(item.get(), "tuple");
    if (PyTuple_GET_SIZE(item.get()) != 5) fail(PyExc_ValueError, "native model type bindings must contain five values");
    PyObject* parent = PyTuple_GET_ITEM(item.get(), 0);
    PyObject* requested_parent = PyTuple_GET_ITEM(item.get(), 1);
    PyObject* field_name = PyTuple_GET_ITEM(item.get(), 2);
    PyObject* child = PyTuple_GET_ITEM(item.get(), 3);
    PyObject* requested_child = PyTuple_GET_ITEM(item.get(), 4);
    require_class(parent);
    require_class(requested_parent);
    if (!PyUnicode_Check(field_name)) fail_wrong_type(field_name, "str");
    std::string_view name = utf8(field_name);
    require_class(child);
    require_class(requested_child);

    const uint32_t parent_index = index_of(parent, "generated parent");
    const uint32_t child_index = index_of(child, "generated child");
    if (!is_subclass(requested_parent, parent) || !is_subclass(requested_child, child)) {
      fail(PyExc_TypeError, "native model type binding is not a subclass");
    }
    const ObjectWire& parent_object = objects[parent_index];
    auto field = std::find_if(parent_object.fields.begin(), parent_object.fields.end(),
                              [&](const FieldWire& f) { return f.name == name; });
    if (field == parent_object.fields.end()) {
      fail(PyExc_ValueError, "native model field {}.{} does not exist", text::quoted(parent_object.name),
           text::quoted(name));
    }
    bool reachable = field->target_index == child_index ||
                     std::any_of(field->arms.begin(), field->arms.end(),
                                 [&](const ArmWire& arm) { return arm.target_index == child_index; });
    if (!reachable) {
      fail(PyExc_TypeError, "native model field {}.{} does not contain {}", text::quoted(parent_object.name),
           text::quoted(name), objects[child_index].name);
    }
    SubclassKey key{requested_parent, field->slot, child_index};
    auto [it, inserted] = result->subclasses.try_emplace(key, py::Ref());
    if (inserted) {
      it->second = py::Ref::borrow(requested_child);
      result->keep_alive.push_back(py::Ref::borrow(requested_parent));
    } else if (it->second.get() != requested_child) {
      fail(PyExc_TypeError, "native model field has conflicting subclass bindings");
    }
  }
  result->token = token;
  result->root_type = py::Ref::borrow(requested);
  return result;
}

}  // namespace quorvel
