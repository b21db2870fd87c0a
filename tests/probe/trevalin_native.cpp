// Test and benchmark fixture: a compiled stand-in of the model library, `trevalin_native`.
//
// The library's model classes are compiled: instances are built and their fields stored in C, the
// fields live in slots. The Python stand-in (tests/support/trevalin.py) builds every object
// through a generated Python __init__, which then dominates any timing of unpack or decode_serde.
// This module offers the same contract at the cost of a compiled class, so that the benchmarks
// measure our own overhead. Built by the dev tool next to the staged package, never installed.
//
// Contract (as tests/support/trevalin.py): subclasses of `Struct` declare fields as annotations,
// with optional class-level defaults; `__struct_fields__` lists the names in declaration order,
// inherited first; instances are built by keyword only (unknown or repeated keyword, missing
// required field: TypeError); `__eq__` compares the fields of two instances of one class; `__repr__`
// is "Name(a=1, b='x')". Instances have no __dict__.
//
// How. The metaclass `StructMeta` rewrites the class namespace before the class is made: the
// fields' defaults leave it (a class attribute would shadow the slot) and the new fields become
// `__slots__`, so that reads go through member descriptors. Afterwards it records, in the class
// object itself, each field's slot offset and default and installs `tp_vectorcall`, which builds
// an instance straight from the call's keyword names. (CPython 3.14 has `Py_tp_vectorcall` for
// PyType_Spec types, but a class statement makes its class with type.__new__, and tp_vectorcall
// is never inherited, so the metaclass installs it on every class.) A class modified after its
// creation (its type version tag changed, e.g. an __init__ assigned) is called the ordinary way:
// `__new__` fills the fields, then any __init__ runs.
//
// `Struct` itself is made by calling the metaclass (PyType_FromMetaclass refuses a metaclass with
// its own tp_new), over a small compiled base that carries __new__, __eq__ and __repr__.
#include "py/entry.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace quorvel;

PyModuleDef module_def;

// What a class knows about its fields once it is complete; owned by the class object.
struct Layout {
  std::vector<py::Ref> names;      // interned, declaration order, inherited first
  std::vector<py::Ref> defaults;   // null: required
  std::vector<Py_ssize_t> offsets;  // of each field's slot in an instance
};

// A class made by StructMeta: the type object followed by its layout.
struct StructClass {
  PyHeapTypeObject heap;
  Layout* layout;         // null until the class is complete
  unsigned int version;  // the type version tag the layout was recorded under
};

StructClass* as_class(PyTypeObject* type) { return reinterpret_cast<StructClass*>(type); }

// True for classes made by StructMeta (or a subclass of it): their metaclass carries this module.
bool is_struct_class(PyTypeObject* type) {
  if (PyType_GetModuleByDef(Py_TYPE(type), &module_def) != nullptr) return true;
  PyErr_Clear();
  return false;
}

const Layout& layout_of(PyTypeObject* type) {
  if (!is_struct_class(type) || as_class(type)->layout == nullptr) {
    fail(PyExc_TypeError, "cannot create '{}' instances", type->tp_name);
  }
  return *as_class(type)->layout;
}

// ---------------------------------------------------------------------------------------------
// Construction

// The field that a keyword names; `hint` is where the search starts (callers pass keywords in
// field order, so the first comparison usually hits).
Py_ssize_t field_index(const Layout& layout, PyObject* name, size_t hint) {
  const size_t n = layout.names.size();
  if (hint < n && layout.names[hint].get() == name) [[likely]] return static_cast<Py_ssize_t>(hint);
  for (size_t i = 0; i < n; ++i) {
    if (layout.names[i].get() == name) return static_cast<Py_ssize_t>(i);
  }
  if (!PyUnicode_Check(name)) fail(PyExc_TypeError, "keywords must be strings");
  for (size_t i = 0; i < n; ++i) {
    if (PyUnicode_Equal(layout.names[i].get(), name) == 1) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

PyObject*& slot(PyObject* self, const Layout& layout, size_t i) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + layout.offsets[i]);
}

// Builds an instance of `type` from keyword names and values (`item(i)` gives the i-th pair).
template <class Item>
py::Ref build(PyTypeObject* type, const Layout& layout, Py_ssize_t nargs, Py_ssize_t nkw, Item&& item) {
  if (nargs != 0) fail(PyExc_TypeError, "{}() takes no positional arguments", type->tp_name);
  py::Ref self = check_new(type->tp_alloc(type, 0));
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    auto [name, value] = item(k);
    Py_ssize_t i = field_index(layout, name, static_cast<size_t>(k));
    if (i < 0) fail(PyExc_TypeError, "{}() got an unexpected keyword argument '{}'", type->tp_name, utf8(name));
    PyObject*& field = slot(self.get(), layout, static_cast<size_t>(i));
    if (field != nullptr) fail(PyExc_TypeError, "{}() got multiple values for argument '{}'", type->tp_name, utf8(name));
    field = Py_NewRef(value);
  }
  if (static_cast<size_t>(nkw) == layout.names.size()) return self;  // every field given once
  for (size_t i = 0; i < layout.names.size(); ++i) {
    PyObject*& field = slot(self.get(), layout, i);
    if (field != nullptr) continue;
    if (!layout.defaults[i]) {
      fail(PyExc_TypeError, "{}() missing required keyword argument '{}'", type->tp_name, utf8(layout.names[i].get()));
    }
    field = Py_NewRef(layout.defaults[i].get());
  }
  return self;
}

// Struct.__new__: the ordinary call path (type.__call__), with a keyword dict.
PyObject* struct_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return py::guarded([&]() -> py::Ref {
    const Layout& layout = layout_of(type);
    std::vector<std::pair<py::Ref, py::Ref>> items;
    if (kwds != nullptr) {
      Py_ssize_t pos = 0;
      py::Ref key, value;
      while (next_dict_item(kwds, pos, key, value)) items.emplace_back(std::move(key), std::move(value));
    }
    return build(type, layout, PyTuple_GET_SIZE(args), static_cast<Py_ssize_t>(items.size()), [&](Py_ssize_t k) {
      const auto& item = items[static_cast<size_t>(k)];
      return std::pair<PyObject*, PyObject*>(item.first.get(), item.second.get());
    });
  });
}

unsigned int type_version(PyTypeObject* type) { return __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE); }

// Calling a class: keyword names and values straight from the caller's vector.
PyObject* struct_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  const StructClass* sc = as_class(type);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (sc->layout == nullptr || sc->version == 0 || type_version(type) != sc->version) {
    // Changed since it was made: __new__ and __init__ as type.__call__ finds them now.
    return py::guarded([&]() -> py::Ref {
      py::Ref tuple = check_new(PyTuple_New(nargs));
      for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
      py::Ref dict = check_new(PyDict_New());
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        check_status(PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
      }
      return check_new(PyType_Type.tp_call(cls, tuple.get(), dict.get()));
    });
  }
  return py::guarded([&]() -> py::Ref {
    return build(type, *sc->layout, nargs, nkw, [&](Py_ssize_t k) {
      return std::pair<PyObject*, PyObject*>(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    });
  });
}

// ---------------------------------------------------------------------------------------------
// __eq__ and __repr__, read through getattr as the Python stand-in does

PyObject* struct_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(self) != Py_TYPE(other) || !is_struct_class(Py_TYPE(self)) ||
      as_class(Py_TYPE(self))->layout == nullptr) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return py::guarded([&]() -> py::Ref {
    bool equal = true;
    for (const py::Ref& name : as_class(Py_TYPE(self))->layout->names) {
      py::Ref a = check_new(PyObject_GetAttr(self, name.get()));
      py::Ref b = check_new(PyObject_GetAttr(other, name.get()));
      py::Ref same = check_new(PyObject_RichCompare(a.get(), b.get(), Py_EQ));
      if (check_status(PyObject_IsTrue(same.get())) == 0) {
        equal = false;
        break;
      }
    }
    return py::Ref::borrow(equal == (op == Py_EQ) ? Py_True : Py_False);
  });
}

PyObject* struct_repr(PyObject* self) {
  return py::guarded([&]() -> py::Ref {
    py::Ref type_name = check_new(PyType_GetName(Py_TYPE(self)));
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (writer == nullptr) throw_error_set();
    auto write = [&](int status) {
      if (status < 0) {
        PyUnicodeWriter_Discard(writer);
        throw_error_set();
      }
    };
    write(PyUnicodeWriter_WriteStr(writer, type_name.get()));
    write(PyUnicodeWriter_WriteUTF8(writer, "(", 1));
    if (is_struct_class(Py_TYPE(self)) && as_class(Py_TYPE(self))->layout != nullptr) {
      bool first = true;
      for (const py::Ref& name : as_class(Py_TYPE(self))->layout->names) {
        PyObject* value = PyObject_GetAttr(self, name.get());
        if (value == nullptr) write(-1);
        py::Ref owned = py::Ref::steal(value);
        if (!first) write(PyUnicodeWriter_WriteUTF8(writer, ", ", 2));
        first = false;
        write(PyUnicodeWriter_WriteStr(writer, name.get()));
        write(PyUnicodeWriter_WriteUTF8(writer, "=", 1));
        write(PyUnicodeWriter_WriteRepr(writer, value));
      }
    }
    write(PyUnicodeWriter_WriteUTF8(writer, ")", 1));
    return check_new(PyUnicodeWriter_Finish(writer));
  });
}

// ---------------------------------------------------------------------------------------------
// StructMeta

// dict[name] or null, as a new reference.
py::Ref item(PyObject* dict, const char* name) {
  PyObject* value = nullptr;
  check_status(PyDict_GetItemStringRef(dict, name, &value));
  return py::Ref::steal(value);
}

// The names a class body annotates, in order: `__annotations__` under `from __future__ import
// annotations`, else the deferred annotate function, evaluated with unknown names left as
// forward references (a field's type may be a class defined later).
py::Ref annotated_names(PyObject* ns) {
  if (py::Ref ann = item(ns, "__annotations__"); ann && PyDict_Check(ann.get())) return check_new(PyDict_Keys(ann.get()));
  py::Ref annotate = item(ns, "__annotate_func__");
  if (!annotate) annotate = item(ns, "__annotate__");
  if (!annotate || annotate.get() == Py_None) return check_new(PyList_New(0));
  py::Ref lib = check_new(PyImport_ImportModule("annotationlib"));
  py::Ref format_enum = check_new(PyObject_GetAttrString(lib.get(), "Format"));
  py::Ref forwardref = check_new(PyObject_GetAttrString(format_enum.get(), "FORWARDREF"));
  py::Ref dict = check_new(PyObject_CallMethod(lib.get(), "call_annotate_function", "OO", annotate.get(), forwardref.get()));
  return check_new(PySequence_List(dict.get()));
}

bool contains(const std::vector<py::Ref>& names, PyObject* name) {
  for (const py::Ref& n : names) {
    if (check_status(PyObject_RichCompareBool(n.get(), name, Py_EQ)) == 1) return true;
  }
  return false;
}

// The slot offset of a field, from the member descriptor the class resolves the name to.
Py_ssize_t slot_offset(PyTypeObject* type, PyObject* name) {
  py::Ref d = py::Ref::steal(_PyType_LookupRef(type, name));
  if (d && Py_IS_TYPE(d.get(), &PyMemberDescr_Type)) {
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(d.get())->d_member;
    if (member->type == Py_T_OBJECT_EX && (member->flags & Py_RELATIVE_OFFSET) == 0 &&
        PyType_IsSubtype(type, PyDescr_TYPE(d.get()))) {
      return member->offset;
    }
  }
  fail(PyExc_TypeError, "field '{}' of {} is not stored in a slot", utf8(name), type->tp_name);
}

PyObject* meta_new(PyTypeObject* meta, PyObject* args, PyObject* kwds) {
  return py::guarded([&]() -> py::Ref {
    PyObject *name, *bases, *ns;
    if (!PyArg_ParseTuple(args, "UO!O!:StructMeta", &name, &PyTuple_Type, &bases, &PyDict_Type, &ns)) {
      throw_error_set();
    }
    // Fields come from the first base made by this metaclass (slots allow one such layout).
    auto layout = std::make_unique<Layout>();
    for (Py_ssize_t b = 0; b < PyTuple_GET_SIZE(bases); ++b) {
      auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(bases, b));
      if (!PyType_Check(base) || !is_struct_class(base)) continue;
      const Layout* inherited = as_class(base)->layout;
      if (inherited == nullptr) fail(PyExc_TypeError, "base {} is not complete", base->tp_name);
      for (size_t i = 0; i < inherited->names.size(); ++i) {
        layout->names.push_back(inherited->names[i].clone());
        layout->defaults.push_back(inherited->defaults[i].clone());
      }
      break;
    }
    const size_t inherited_count = layout->names.size();
    py::Ref own = annotated_names(ns);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(own.get()); ++i) {
      PyObject* field = PyList_GET_ITEM(own.get(), i);
      if (!PyUnicode_Check(field)) fail(PyExc_TypeError, "field names must be strings");
      if (contains(layout->names, field)) continue;
      py::Ref interned_name = py::Ref::borrow(field);
      PyObject* raw = interned_name.release();
      PyUnicode_InternInPlace(&raw);
      layout->names.push_back(py::Ref::steal(raw));
      layout->defaults.emplace_back();
    }
    // Defaults leave the namespace (also a new default for an inherited field).
    py::Ref body = check_new(PyDict_Copy(ns));
    for (size_t i = 0; i < layout->names.size(); ++i) {
      PyObject* value = nullptr;
      if (check_status(PyDict_Pop(body.get(), layout->names[i].get(), &value)) == 1) {
        layout->defaults[i] = py::Ref::steal(value);
      }
    }
    // New fields become slots, after any the class lists itself.
    py::Ref slots = check_new(PyList_New(0));
    if (py::Ref given = item(body.get(), "__slots__")) {
      if (PyUnicode_Check(given.get())) {
        check_status(PyList_Append(slots.get(), given.get()));
      } else {
        slots = check_new(PySequence_List(given.get()));
      }
    }
    for (size_t i = inherited_count; i < layout->names.size(); ++i) {
      if (check_status(PySequence_Contains(slots.get(), layout->names[i].get())) == 0) {
        check_status(PyList_Append(slots.get(), layout->names[i].get()));
      }
    }
    py::Ref fields = check_new(PyTuple_New(static_cast<Py_ssize_t>(layout->names.size())));
    for (size_t i = 0; i < layout->names.size(); ++i) {
      PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), layout->names[i].clone().release());
    }
    py::Ref slot_tuple = check_new(PyList_AsTuple(slots.get()));
    check_status(PyDict_SetItemString(body.get(), "__slots__", slot_tuple.get()));
    check_status(PyDict_SetItemString(body.get(), "__struct_fields__", fields.get()));

    py::Ref type_args = check_new(PyTuple_Pack(3, name, bases, body.get()));
    py::Ref cls = check_new(PyType_Type.tp_new(meta, type_args.get(), kwds));
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    // type.__new__ may hand back a class of a more derived metaclass than this one.
    if (!is_struct_class(type) || as_class(type)->layout != nullptr) return cls;
    for (const py::Ref& field : layout->names) layout->offsets.push_back(slot_offset(type, field.get()));
    StructClass* sc = as_class(type);
    sc->layout = layout.release();
    sc->version = PyUnstable_Type_AssignVersionTag(type) ? type_version(type) : 0;
    type->tp_vectorcall = struct_vectorcall;
    return cls;
  });
}

// A class object owns its layout; the defaults may reach back to the class, so the collector
// sees them.
int meta_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (const Layout* layout = as_class(reinterpret_cast<PyTypeObject*>(self))->layout) {
    for (const py::Ref& value : layout->defaults) Py_VISIT(value.get());
  }
  return PyType_Type.tp_traverse(self, visit, arg);
}

int meta_clear(PyObject* self) {
  if (Layout* layout = as_class(reinterpret_cast<PyTypeObject*>(self))->layout) {
    // A cleared default makes its field required; the class is unreachable by then anyway.
    for (py::Ref& value : layout->defaults) value.reset();
  }
  return PyType_Type.tp_clear(self);
}

void meta_dealloc(PyObject* self) {
  PyTypeObject* meta = Py_TYPE(self);
  delete std::exchange(as_class(reinterpret_cast<PyTypeObject*>(self))->layout, nullptr);
  PyType_Type.tp_dealloc(self);
  Py_DECREF(meta);
}

// ---------------------------------------------------------------------------------------------
// The module

PyType_Slot core_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(struct_new)},
    {Py_tp_richcompare, reinterpret_cast<void*>(struct_richcompare)},
    {Py_tp_repr, reinterpret_cast<void*>(struct_repr)},
    {Py_tp_doc, const_cast<char*>("Instance behaviour of trevalin_native.Struct classes.")},
    {0, nullptr},
};

PyType_Spec core_spec = {"trevalin_native._StructCore", sizeof(PyObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, core_slots};

PyType_Slot meta_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(meta_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(meta_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(meta_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(meta_dealloc)},
    {Py_tp_doc, const_cast<char*>("Metaclass of trevalin_native.Struct: fields in slots, keyword construction.")},
    {0, nullptr},
};

PyType_Spec meta_spec = {"trevalin_native.StructMeta", sizeof(StructClass), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, meta_slots};

int exec_module(PyObject* module) {
  return py::guarded_status([&] {
    if (!py::init_panic_type()) throw_error_set();
    py::Ref core = check_new(PyType_FromModuleAndSpec(module, &core_spec, nullptr));
    py::Ref meta = check_new(
        PyType_FromModuleAndSpec(module, &meta_spec, reinterpret_cast<PyObject*>(&PyType_Type)));
    py::Ref ns = check_new(Py_BuildValue("{s:(),s:s,s:s,s:s}", "__slots__", "__module__", "trevalin_native",
                                         "__qualname__", "Struct", "__doc__",
                                         "Base of compiled model classes: annotated fields, built by keyword."));
    py::Ref cls = check_new(PyObject_CallFunction(meta.get(), "s(O)O", "Struct", core.get(), ns.get()));
    check_status(PyModule_AddObjectRef(module, "StructMeta", meta.get()));
    check_status(PyModule_AddObjectRef(module, "Struct", cls.get()));
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

}  // namespace

PyMODINIT_FUNC PyInit_trevalin_native() {
  module_def = {PyModuleDef_HEAD_INIT, "trevalin_native",
                "Compiled stand-in of the model library's Struct, a test and benchmark fixture.",
                0, nullptr, module_slots, nullptr, nullptr, nullptr};
  return PyModuleDef_Init(&module_def);
}
