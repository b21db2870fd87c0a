// The extension module quorvel._native: start-up, the three classes and the NativePlan methods'
// argument handling. Method bodies live with their subsystems; this file converts arguments,
// calls them and translates failures.
#include "flatbuffer/flatbuffer.hpp"
#include "module/args.hpp"
#include "py/entry.hpp"
#include "module/types.hpp"
#include "plan/model_types.hpp"
#include "plan/native_plan.hpp"
#include "py/lazy_type.hpp"
#include "py/native_buffer.hpp"
#include "serde/serde.hpp"

#include <array>
#include <atomic>
#include <memory>

namespace quorvel::module {

namespace {

// ---------------------------------------------------------------------------------------------
// Instance layouts. Each instance owns one C++ value, dropped when the instance is freed.

struct ModelTypesObject {
  PyObject_HEAD
  NativeModelTypes* types;
};

// ---------------------------------------------------------------------------------------------
// NativeModelTypes

void model_types_dealloc(PyObject* self) {
  py::dealloc_owned<ModelTypesObject>(self, [](ModelTypesObject* o) { delete std::exchange(o->types, nullptr); });
}

PyType_Slot model_types_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(model_types_dealloc)},
    {0, nullptr},
};

PyType_Spec model_types_spec = {
    "quorvel._native.NativeModelTypes", sizeof(ModelTypesObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, model_types_slots,
};

py::LazyType model_types_type(&model_types_spec);

// ---------------------------------------------------------------------------------------------
// NativePlan: argument lists and conversions.

NativePlan& plan_of(PyObject* self) { return *reinterpret_cast<PlanObject*>(self)->plan; }

const NativeModelTypes* to_model_types(PyObject* obj) {
  if (obj == Py_None) return nullptr;
  if (Py_TYPE(obj) != model_types_type.existing()) fail_wrong_type(obj, "NativeModelTypes");
  return reinterpret_cast<ModelTypesObject*>(obj)->types;
}

template <size_t N>
std::array<PyObject*, N> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> out{};
  bind_arguments(sig, args, nargs, kwnames, out);
  return out;
}

// An optional argument: its converted value, or the default when it was not given.
template <class T, class F>
T given_or(PyObject* arg, const char* name, T fallback, F&& conversion) {
  if (arg == nullptr) return fallback;
  return convert(name, [&] { return conversion(arg); });
}

constexpr const char* new_positional[] = {"data"};
constexpr Signature new_signature{"NativePlan.__new__()", new_positional, {}};

constexpr const char* bind_types_positional[] = {"types"};
constexpr Signature bind_types_signature{"NativePlan.bind_types()", bind_types_positional, {}};

constexpr const char* model_types_positional[] = {"generated", "requested", "bindings"};
constexpr Signature model_types_signature{"NativePlan.model_types()", model_types_positional, {}};

constexpr const char* unpack_positional[] = {"root", "buffer"};
constexpr KeywordParam unpack_keywords[] = {
    {"identifier", false},      {"offset", false},      {"size_prefixed", false},
    {"check_identifier", false}, {"model_types", false}, {"dynamic_overrides", false},
};
constexpr Signature unpack_signature{"NativePlan.unpack()", unpack_positional, unpack_keywords};

constexpr const char* unpack_view_positional[] = {"object", "buffer", "offset"};
constexpr KeywordParam unpack_view_keywords[] = {{"model_types", false}, {"dynamic_overrides", false}};
constexpr Signature unpack_view_signature{"NativePlan.unpack_view()", unpack_view_positional, unpack_view_keywords};

constexpr const char* encode_serde_positional[] = {"root", "model", "is_json"};
constexpr KeywordParam encode_serde_keywords[] = {
    {"fallback_encoder", true}, {"order", false}, {"decimal_format", false}, {"uuid_format", false},
};
constexpr Signature encode_serde_signature{"NativePlan.encode_serde()", encode_serde_positional, encode_serde_keywords};

constexpr const char* decode_serde_positional[] = {"root", "buffer", "is_json"};
constexpr KeywordParam decode_serde_keywords[] = {{"strict", false}, {"fallback_decoders", true}};
constexpr Signature decode_serde_signature{"NativePlan.decode_serde()", decode_serde_positional, decode_serde_keywords};

constexpr const char* pack_positional[] = {"root", "model"};
constexpr KeywordParam pack_keywords[] = {{"identifier", false}, {"size_prefixed", false}, {"initial_size", false}};
constexpr Signature pack_signature{"NativePlan.pack()", pack_positional, pack_keywords};

// ---------------------------------------------------------------------------------------------
// NativePlan: slots and methods.

PyObject* plan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::Ref {
    // Lay the call out as a fast call so that one binder serves every entry point.
    std::vector<PyObject*> flat;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    py::Ref kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      kwnames = check_new(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      Py_ssize_t pos = 0, k = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        flat.push_back(value);
      }
    }
    auto a = bind<1>(new_signature, flat.data(), nargs, kwnames.get());
    auto data = convert("data", [&] { return to_bytes(a[0]); });
    std::unique_ptr<NativePlan> plan = NativePlan::create(data);
    py::Ref self = check_new(type->tp_alloc(type, 0));
    reinterpret_cast<PlanObject*>(self.get())->plan = plan.release();
    return self;
  });
}

void plan_dealloc(PyObject* self) {
  py::dealloc_owned<PlanObject>(self, [](PlanObject* o) { delete std::exchange(o->plan, nullptr); });
}

PyObject* plan_repr(PyObject* self) {
  return guarded([&] {
    std::string text = plan_of(self).repr();
    return check_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

PyObject* plan_bind_types(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> py::Ref {
    auto a = bind<1>(bind_types_signature, args, nargs, kwnames);
    PyObject* types = convert("types", [&] { return to_dict(a[0]); });
    plan_of(self).bind_types(types, serde::prepare_facts);
    return py::Ref::borrow(Py_None);
  });
}

PyObject* to_class(PyObject* obj) {
  if (!PyType_Check(obj)) fail_wrong_type(obj, "type");
  return obj;
}

PyObject* plan_model_types(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> py::Ref {
    auto a = bind<3>(model_types_signature, args, nargs, kwnames);
    PyObject* generated = convert("generated", [&] { return to_class(a[0]); });
    PyObject* requested = convert("requested", [&] { return to_class(a[1]); });
    std::unique_ptr<NativeModelTypes> types = plan_of(self).model_types(generated, requested, a[2]);
    PyTypeObject* type = model_types_type.get();
    if (type == nullptr) throw_error_set();
    py::Ref result = check_new(type->tp_alloc(type, 0));
    reinterpret_cast<ModelTypesObject*>(result.get())->types = types.release();
    return result;
  });
}

PyObject* plan_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> py::Ref {
    auto a = bind<8>(unpack_signature, args, nargs, kwnames);
    auto root = convert("root", [&] { return to_text(a[0]); });
    PyObject* buffer = a[1];
    auto identifier = given_or(a[2], "identifier", std::optional<std::string_view>{}, to_optional_text);
    int64_t offset = given_or(a[3], "offset", int64_t{0}, to_int64);
    bool size_prefixed = given_or(a[4], "size_prefixed", false, to_bool);
    bool check_identifier = given_or(a[5], "check_identifier", true, to_bool);
    const NativeModelTypes* model_types = given_or(a[6], "model_types", static_cast<const NativeModelTypes*>(nullptr), to_model_types);
    PyObject* dynamic_overrides = a[7] == nullptr || a[7] == Py_None ? nullptr : a[7];
    return flatbuffer::unpack(plan_of(self), root, buffer, identifier, offset, size_prefixed, check_identifier,
                              model_types, dynamic_overrides);
  });
}

PyObject* plan_unpack_view(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> py::Ref {
    auto a = bind<5>(unpack_view_signature, args, nargs, kwnames);
    auto object = convert("object", [&] { return to_text(a[0]); });
    PyObject* buffer = a[1];
    int64_t offset = convert("offset", [&] { return to_int64(a[2]); });
    const NativeModelTypes* model_types = given_or(a[3], "model_types", static_cast<const NativeModelTypes*>(nullptr), to_model_types);
    PyObject* dynamic_overrides = a[4] == nullptr || a[4] == Py_None ? nullptr : a[4];
    return flatbuffer::unpack_view(plan_of(self), object, buffer, offset, model_types, dynamic_overrides);
  });
}

PyObject* plan_encode_serde(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> py::Ref {
    auto a = bind<7>(encode_serde_signature, args, nargs, kwnames);
    auto root = convert("root", [&] { return to_text(a[0]); });
    PyObject* model = a[1];
    bool is_json = convert("is_json", [&] { return to_bool(a[2]); });
    PyObject* fallback_encoder = a[3];
    auto order = given_or(a[4], "order", std::optional<std::string_view>{}, to_optional_text);
    std::string_view decimal_format = given_or(a[5], "decimal_format", std::string_view("string"), to_text);
    std::string_view uuid_format = given_or(a[6], "uuid_format", std::string_view("canonical"), to_text);
    return serde::encode_serde(plan_of(self), root, model, is_json, fallback_encoder, order, decimal_format,
                               uuid_format);
  });
}

PyObject* plan_decode_serde(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> py::Ref {
    auto a = bind<5>(decode_serde_signature, args, nargs, kwnames);
    auto root = convert("root", [&] { return to_text(a[0]); });
    PyObject* buffer = a[1];
    bool is_json = convert("is_json", [&] { return to_bool(a[2]); });
    bool strict = given_or(a[3], "strict", true, to_bool);
    PyObject* fallback_decoders = convert("fallback_decoders", [&] { return to_dict(a[4]); });
    return serde::decode_serde(plan_of(self), root, buffer, is_json, strict, fallback_decoders);
  });
}

PyObject* plan_pack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> py::Ref {
    auto a = bind<5>(pack_signature, args, nargs, kwnames);
    auto root = convert("root", [&] { return to_text(a[0]); });
    PyObject* model = a[1];
    auto identifier = given_or(a[2], "identifier", std::optional<std::string_view>{}, to_optional_text);
    bool size_prefixed = given_or(a[3], "size_prefixed", false, to_bool);
    int64_t initial_size = given_or(a[4], "initial_size", int64_t{0}, to_int64);
    return py::make_buffer_view(
        flatbuffer::pack(plan_of(self), root, model, identifier, size_prefixed, initial_size));
  });
}

template <auto Method>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

PyMethodDef plan_methods[] = {
    {"bind_types", fastcall<plan_bind_types>(), METH_FASTCALL | METH_KEYWORDS, "bind_types($self, types)\n--\n\n"},
    {"model_types", fastcall<plan_model_types>(), METH_FASTCALL | METH_KEYWORDS,
     "model_types($self, generated, requested, bindings)\n--\n\n"},
    {"unpack", fastcall<plan_unpack>(), METH_FASTCALL | METH_KEYWORDS,
     "unpack($self, root, buffer, *, identifier=None, offset=0, size_prefixed=False, check_identifier=True, "
     "model_types=None, dynamic_overrides=None)\n--\n\n"},
    {"unpack_view", fastcall<plan_unpack_view>(), METH_FASTCALL | METH_KEYWORDS,
     "unpack_view($self, object, buffer, offset, *, model_types=None, dynamic_overrides=None)\n--\n\n"},
    {"encode_serde", fastcall<plan_encode_serde>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_serde($self, root, model, is_json, *, fallback_encoder, order=None, decimal_format=\"string\", "
     "uuid_format=\"canonical\")\n--\n\n"},
    {"decode_serde", fastcall<plan_decode_serde>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_serde($self, root, buffer, is_json, *, strict=True, fallback_decoders)\n--\n\n"},
    {"pack", fastcall<plan_pack>(), METH_FASTCALL | METH_KEYWORDS,
     "pack($self, root, model, *, identifier=None, size_prefixed=False, initial_size=0)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot plan_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(plan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(plan_repr)},
    {Py_tp_methods, plan_methods},
    {Py_tp_doc, const_cast<char*>("NativePlan(data)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec plan_spec = {
    "quorvel._native.NativePlan", sizeof(PlanObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, plan_slots,
};

py::LazyType plan_type(&plan_spec);

// ---------------------------------------------------------------------------------------------
// Module definition.

int add_class(PyObject* module, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddType(module, type);
}

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    return guarded_status([&] { fail_wrong_type(module, "PyModule"); });
  }
  if (!init_panic_type()) return -1;
  if (add_class(module, py::native_buffer_type()) < 0) return -1;
  if (add_class(module, model_types_type.get()) < 0) return -1;
  if (add_class(module, plan_type.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quorvel::module

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&quorvel::module::module_def); }
