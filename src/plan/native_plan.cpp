#include "plan/native_plan.hpp"

#include "py/text.hpp"

#include <algorithm>

namespace quorvel {

namespace {

constexpr uint16_t plan_depth_limit = 1024;

py::Ref import_module(const char* name) { return check_new(PyImport_ImportModule(name)); }

py::Ref get_attr(PyObject* obj, const char* name) { return check_new(PyObject_GetAttrString(obj, name)); }

py::Ref require_class(py::Ref value) {
  if (!PyType_Check(value.get())) fail_wrong_type(value.get(), "type");
  return value;
}

bool plan_has(const std::vector<ObjectWire>& objects, FieldKind kind) {
  for (const auto& object : objects) {
    for (const auto& field : object.fields) {
      if (field.kind == kind) return true;
    }
  }
  return false;
}

// Width and default of a field with a scalar kind. A default that does not convert is not a fault
// of the plan until a codec needs it, so the failure is kept and raised there.
void resolve_scalar_facts(FieldWire& field) {
  if (!field.scalar) return;
  field.width = static_cast<uint8_t>(scalar_width(*field.scalar));
  try {
    field.default_scalar = ScalarValue::from_default(*field.scalar, field.default_value);
  } catch (PyFailure& fault) {
    field.default_fault = std::move(fault);
  }
}

// Whether every vtable slot a table's fields can write (a union's or dynamic field's companion type
// slot included) belongs to one field only; when it does, pack need not look for slots written twice.
bool slots_are_distinct(const ObjectWire& object) {
  std::vector<uint16_t> slots;
  for (const FieldWire& field : object.fields) {
    slots.push_back(field.slot);
    const bool has_companion =
        field.kind == FieldKind::union_ || field.kind == FieldKind::union_vector || field.kind == FieldKind::dynamic;
    if (has_companion && field.type_slot) slots.push_back(*field.type_slot);
  }
  std::sort(slots.begin(), slots.end());
  return std::adjacent_find(slots.begin(), slots.end()) == slots.end();
}

}  // namespace

void FieldWire::missing_scalar() const {
  const char* what = "field";
  switch (kind) {
    case FieldKind::scalar: what = in_struct ? "struct field" : "scalar field"; break;
    case FieldKind::vector_scalar: what = "scalar vector"; break;
    case FieldKind::array_scalar: what = "scalar array"; break;
    case FieldKind::string:
    case FieldKind::table:
    case FieldKind::struct_:
    case FieldKind::vector_byte:
    case FieldKind::vector_string:
    case FieldKind::vector_table:
    case FieldKind::vector_struct:
    case FieldKind::nested:
    case FieldKind::dynamic:
    case FieldKind::union_:
    case FieldKind::union_vector:
    case FieldKind::array_struct:
    case FieldKind::uuid:
    case FieldKind::decimal:
    case FieldKind::fallback: break;
  }
  fail(PyExc_ValueError, "native {} has no scalar kind", what);
}

NativePlan::~NativePlan() {
  delete bound_.load(std::memory_order_acquire);
  delete flatbuffer_facts_.load(std::memory_order_acquire);
}

const CodecFacts* NativePlan::publish_flatbuffer_facts(std::unique_ptr<CodecFacts> facts) const {
  CodecFacts* expected = nullptr;
  if (flatbuffer_facts_.compare_exchange_strong(expected, facts.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
    return facts.release();
  }
  return expected;  // another thread's, published first; ours is dropped
}

std::unique_ptr<NativePlan> NativePlan::create(std::span<const uint8_t> data) {
  ModuleWire module;
  try {
    module = read_plan_document(data, plan_depth_limit);
  } catch (const ReaderError& e) {
    fail(PyExc_ValueError, "invalid native plan: {}", e.message);
  }
  if (module.version != 2) fail(PyExc_ValueError, "unsupported native plan version {}", module.version);

  std::unique_ptr<NativePlan> plan(new NativePlan());
  plan->objects = std::move(module.objects);
  auto& objects = plan->objects;
  plan->object_indices.reserve(objects.size());
  for (size_t i = 0; i < objects.size(); ++i) {
    // A repeated name resolves to its last object.
    plan->object_indices.insert_or_assign(objects[i].name, static_cast<uint32_t>(i));
  }

  auto resolve = [&](const std::string& name) -> std::optional<uint32_t> {
    auto it = plan->object_indices.find(name);
    if (it == plan->object_indices.end()) return std::nullopt;
    return it->second;
  };

  for (size_t i = 0; i < objects.size(); ++i) {
    ObjectWire& object = objects[i];
    object.index = static_cast<uint32_t>(i);
    plan->max_field_count = std::max(plan->max_field_count, static_cast<uint32_t>(std::min<size_t>(object.fields.size(), UINT32_MAX)));
    for (FieldWire& field : object.fields) {
      field.attr_name = interned(field.name);
      field.in_struct = object.is_struct;
      resolve_scalar_facts(field);
      if (field.enum_type) {
        auto it = std::find(plan->enum_names.begin(), plan->enum_names.end(), *field.enum_type);
        field.enum_index = static_cast<uint32_t>(it - plan->enum_names.begin());
        if (it == plan->enum_names.end()) plan->enum_names.push_back(*field.enum_type);
      }
      if (field.target) {
        std::string target = std::move(*field.target);
        field.target.reset();
        field.target_index = resolve(target);
        if (!field.target_index) fail(PyExc_ValueError, "native field target {} does not exist", text::quoted(target));
      }
      for (ArmWire& arm : field.arms) {
        auto index = resolve(arm.target);
        if (!index) fail(PyExc_ValueError, "native union target {} does not exist", text::quoted(arm.target));
        arm.target_index = *index;
        arm.target.clear();
      }
    }
    for (size_t f = 0; f < object.fields.size(); ++f) {
      if (!object.fields[f].key) continue;
      if (object.key_field) fail(PyExc_ValueError, "native table {} has multiple key fields", text::quoted(object.name));
      object.key_field = static_cast<uint32_t>(f);
    }
    {
      std::vector<std::string_view> names;
      for (const FieldWire& field : object.fields) names.push_back(field.name);
      std::sort(names.begin(), names.end());
      if (std::adjacent_find(names.begin(), names.end()) == names.end()) {
        object.kwnames = check_new(PyTuple_New(static_cast<Py_ssize_t>(object.fields.size())));
        for (size_t f = 0; f < object.fields.size(); ++f) {
          PyTuple_SET_ITEM(object.kwnames.get(), static_cast<Py_ssize_t>(f), object.fields[f].attr_name.clone().release());
        }
      }
    }
    object.distinct_slots = slots_are_distinct(object);
    if (object.key_field) {
      FieldKind kind = object.fields[*object.key_field].kind;
      if (object.is_struct || (kind != FieldKind::scalar && kind != FieldKind::string)) {
        fail(PyExc_ValueError, "native key field on {} must be a table scalar or string", text::quoted(object.name));
      }
    }
  }

  const bool has_dynamic = plan_has(objects, FieldKind::dynamic);
  const bool has_nested = plan_has(objects, FieldKind::nested);
  const bool has_uuid = plan_has(objects, FieldKind::uuid);
  const bool has_decimal = plan_has(objects, FieldKind::decimal);

  py::Ref dynamic_module = import_module("quorvel._dynamic");
  if (has_dynamic) plan->dynamic_encoder = get_attr(dynamic_module.get(), "encode_dynamic");
  if (has_dynamic || has_nested) {
    py::Ref flatbuffer_module = import_module("quorvel._flatbuffer");
    if (has_nested) plan->nested_encoder = get_attr(flatbuffer_module.get(), "encode");
    plan->model_decoder = get_attr(flatbuffer_module.get(), "decode");
  }
  plan->dynamic_types = get_attr(dynamic_module.get(), "dynamic_types");
  dynamic_module.reset();
  if (has_uuid) plan->uuid_type = require_class(get_attr(import_module("uuid").get(), "UUID"));
  if (has_decimal) plan->decimal_type = require_class(get_attr(import_module("decimal").get(), "Decimal"));
  py::Ref runtime = import_module("quorvel._runtime");
  plan->buffer_bounds_error = require_class(get_attr(runtime.get(), "BufferBoundsError"));
  plan->invalid_buffer_error = require_class(get_attr(runtime.get(), "InvalidBufferError"));

  plan->access_ = std::make_unique<ModelAccess>(objects.size());
  plan->token = std::make_shared<const PlanToken>();
  return plan;
}

std::pair<uint32_t, const ObjectWire*> NativePlan::object(std::string_view name) const {
  auto it = object_indices.find(name);
  if (it == object_indices.end()) fail(PyExc_ValueError, "unknown native table {}", text::quoted(name));
  return {it->second, &objects[it->second]};
}

}  // namespace quorvel
