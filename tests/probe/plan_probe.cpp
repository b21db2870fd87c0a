// Test-only extension: exposes the plan's lookup and classification accessors, which the public
// API reaches only through the codecs, so that tests can exercise them (and race them) directly.
// Built by the dev tool, never installed.
#include "py/entry.hpp"
#include "module/types.hpp"
#include "plan/native_plan.hpp"
#include "serde/serde.hpp"
#include "serde/msgpack_source.hpp"
#include "serde/source.hpp"

namespace {

using namespace quorvel;

// The NativePlan class of the real module (this probe carries its own copy of the code, but the
// instances it is handed are made by quorvel._native).
PyObject* plan_class = nullptr;

NativePlan& plan_arg(PyObject* obj) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != plan_class) fail_wrong_type(obj, "NativePlan");
  return *reinterpret_cast<module::PlanObject*>(obj)->plan;
}

std::string_view text_arg(PyObject* obj) { return utf8(obj); }

template <class F>
PyObject* two_args(PyObject* args, F&& body) {
  return py::guarded([&]() -> py::Ref {
    PyObject *a, *b;
    if (!PyArg_ParseTuple(args, "OO", &a, &b)) throw_error_set();
    return body(plan_arg(a), b);
  });
}

PyObject* model_object_index(PyObject*, PyObject* args) {
  return two_args(args, [](NativePlan& plan, PyObject* obj) {
    return check_new(PyLong_FromUnsignedLong(plan.model_object_index(obj)));
  });
}

PyObject* object_index(PyObject*, PyObject* args) {
  return two_args(args, [](NativePlan& plan, PyObject* name) {
    return check_new(PyLong_FromUnsignedLong(plan.object(text_arg(name)).first));
  });
}

PyObject* bound_type(PyObject*, PyObject* args) {
  return two_args(args, [](NativePlan& plan, PyObject* name) { return plan.bound_type(text_arg(name)); });
}

// require_model_type(plan, (object name, model)): None when the model belongs to the object.
PyObject* require_model_type(PyObject*, PyObject* args) {
  return two_args(args, [](NativePlan& plan, PyObject* pair) {
    PyObject *name, *model;
    if (!PyArg_ParseTuple(pair, "OO", &name, &model)) throw_error_set();
    plan.require_model_type(*plan.object(text_arg(name)).second, model);
    return py::Ref::borrow(Py_None);
  });
}

// apply_enum(plan, (object name, field name, value)): the field's enum mapping of value.
PyObject* apply_enum(PyObject*, PyObject* args) {
  return two_args(args, [](NativePlan& plan, PyObject* triple) {
    PyObject *name, *field_name, *value;
    if (!PyArg_ParseTuple(triple, "OOO", &name, &field_name, &value)) throw_error_set();
    const ObjectWire& object = *plan.object(text_arg(name)).second;
    for (const FieldWire& field : object.fields) {
      if (field.name == text_arg(field_name)) return plan.apply_enum(field, py::Ref::borrow(value));
    }
    fail(PyExc_KeyError, "no such field");
  });
}

// serde_object(plan, index): (fields as (key, attr, field index) tuples, tag or None, kwnames).
PyObject* serde_object(PyObject*, PyObject* args) {
  return two_args(args, [](NativePlan& plan, PyObject* index) {
    size_t i = PyLong_AsSize_t(index);
    if (i == static_cast<size_t>(-1) && PyErr_Occurred()) throw_error_set();
    const SerdeObject& so = plan.serde_object(i);
    py::Ref fields = check_new(PyList_New(0));
    for (const SerdeField& f : so.fields) {
      py::Ref item = check_new(Py_BuildValue("(s#On)", f.key.data(), static_cast<Py_ssize_t>(f.key.size()),
                                             f.attr.get(), static_cast<Py_ssize_t>(f.field_index)));
      check_status(PyList_Append(fields.get(), item.get()));
    }
    py::Ref tag = so.tag ? check_new(Py_BuildValue("(ss)", so.tag->first.c_str(), so.tag->second.c_str()))
                         : py::Ref::borrow(Py_None);
    return check_new(PyTuple_Pack(3, fields.get(), tag.get(), so.kwnames.get()));
  });
}

PyObject* native_serde(PyObject*, PyObject* plan) {
  return py::guarded([&]() -> py::Ref {
    return py::Ref::borrow(plan_arg(plan).require_bound().native_serde ? Py_True : Py_False);
  });
}

PyObject* raise_bounds_error(PyObject*, PyObject* args) {
  return two_args(args, [](NativePlan& plan, PyObject* message) -> py::Ref {
    plan.bounds_error(std::string(text_arg(message)));
  });
}

PyObject* raise_invalid_error(PyObject*, PyObject* args) {
  return two_args(args, [](NativePlan& plan, PyObject* message) -> py::Ref {
    plan.invalid_error(std::string(text_arg(message)));
  });
}

// decode_counted(plan, (root, buffer, is_json)): (the decoded model, the work of the decode's skips
// and captures: steps (JSON tokens or MessagePack bytes), jumps over kept values, notes taken of
// them). All three are 0 in a build that does not count (see `counts_work`).
PyObject* decode_counted(PyObject*, PyObject* args) {
  return two_args(args, [](NativePlan& plan, PyObject* triple) {
    PyObject *root, *buffer, *is_json;
    if (!PyArg_ParseTuple(triple, "OOO", &root, &buffer, &is_json)) throw_error_set();
    py::Ref decoders = check_new(PyDict_New());
    const serde::WorkCounts before = serde::work_counts;
    py::Ref model = serde::decode_serde(plan, text_arg(root), buffer, is_json == Py_True, true, decoders.get());
    const serde::WorkCounts& after = serde::work_counts;
    return check_new(Py_BuildValue("(OKKK)", model.get(), static_cast<unsigned long long>(after.steps - before.steps),
                                   static_cast<unsigned long long>(after.jumps - before.jumps),
                                   static_cast<unsigned long long>(after.notes - before.notes)));
  });
}

// kept_notes(data, split): keeps the MessagePack value at the start of data[:split], then the one
// at the start of data[split:], as a document's reader keeps them (a failure of the first is
// passed over), and returns the (start, end) offsets of the notes taken that a lookup finds.
PyObject* kept_notes(PyObject*, PyObject* args) {
  return py::guarded([&]() -> py::Ref {
    Py_buffer view;
    Py_ssize_t split;
    if (!PyArg_ParseTuple(args, "y*n", &view, &split)) throw_error_set();
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const std::span<const uint8_t> data(static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len));
    serde::MsgpackKeptEnds kept;
    for (auto part : {data.first(static_cast<size_t>(split)), data.subspan(static_cast<size_t>(split))}) {
      serde::MsgpackSource source(part, kept);
      try {
        msgpack::Marker marker = source.next();
        (void)source.capture(marker);
      } catch (const ReaderError&) {
      }
    }
    py::Ref found = check_new(PyList_New(0));
    for (const uint8_t& at : data) {
      if (const uint8_t* end = kept.end_of(&at)) {
        py::Ref pair = check_new(Py_BuildValue("(nn)", &at - data.data(), end - data.data()));
        if (PyList_Append(found.get(), pair.get()) < 0) throw_error_set();
      }
    }
    return found;
  });
}

PyMethodDef methods[] = {
    {"model_object_index", model_object_index, METH_VARARGS, nullptr},
    {"object_index", object_index, METH_VARARGS, nullptr},
    {"bound_type", bound_type, METH_VARARGS, nullptr},
    {"require_model_type", require_model_type, METH_VARARGS, nullptr},
    {"apply_enum", apply_enum, METH_VARARGS, nullptr},
    {"serde_object", serde_object, METH_VARARGS, nullptr},
    {"native_serde", native_serde, METH_O, nullptr},
    {"raise_bounds_error", raise_bounds_error, METH_VARARGS, nullptr},
    {"raise_invalid_error", raise_invalid_error, METH_VARARGS, nullptr},
    {"decode_counted", decode_counted, METH_VARARGS, nullptr},
    {"kept_notes", kept_notes, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_probe(PyObject* module) {
  // Whether decode_counted counts (tests that need the counts skip where it does not).
  if (PyModule_AddObjectRef(module, "counts_work", serde::counts_work ? Py_True : Py_False) < 0) return -1;
  // The NativePlan class must exist before plans can be recognised.
  PyObject* native = PyImport_ImportModule("quorvel._native");
  if (native == nullptr) return -1;
  plan_class = PyObject_GetAttrString(native, "NativePlan");
  Py_DECREF(native);
  if (plan_class == nullptr) return -1;
  return py::init_panic_type() ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_probe)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_plan_probe", "", 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__plan_probe() { return PyModuleDef_Init(&probe_def); }
