// The one door to CPython beyond its public C API: every use of an internal, an unstable call or a
// behaviour of the interpreter that the module repeats is here, and nowhere else. What it touches:
//
//   PyTypeObject::tp_version_tag     read: CPython gives a class a new tag whenever the class or a
//                                    base changes, so what was learned about a class (which fields
//                                    are slots, its __init__) is kept while the tag holds.
//   PyUnstable_Type_AssignVersionTag gives a class its first tag.
//   _PyType_LookupRef                what an attribute resolves to on a class through its MRO,
//                                    the lookup instance reads start with (not the metaclass's),
//                                    safe against other threads.
//   PyMemberDescrObject::d_member,   the slot definition behind a member descriptor and the class
//   PyDescr_TYPE, _Py_T_OBJECT       it belongs to; _Py_T_OBJECT, the older object member that
//                                    reads as None when unset, is still made by extension classes.
//   a slot read at its offset        with the interpreter lock, what PyMember_GetOne reads, read in
//                                    place and borrowed: most of the cost of reading a field.
//   type.__call__                    for a class made by object.__new__ with a Python __init__:
//                                    that __init__ called directly with the keyword names, without
//                                    the keyword dict the call builds per object; the checks and
//                                    the error of type.__call__ repeated.
//   _PyBytes_Resize                  grows the bytes object a document is written into and cuts
//                                    it to length: the result is handed over without a copy.
//   PyUnstable_Long_IsCompact,       an exact int of one digit read without a call: most integers
//   PyUnstable_Long_CompactValue     a codec converts.
//
// Written and tested against CPython 3.14 (3.14.8, also read with Py_GIL_DISABLED). Another
// version stops the build: check each use above against it, then widen the range.
#pragma once

#include "py/error.hpp"
#include "py/ref.hpp"

#include <array>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

// From 3.14.0 final to the last 3.14 release.
#if PY_VERSION_HEX < 0x030E00F0 || PY_VERSION_HEX >= 0x030F0000
#pragma message("found CPython " PY_VERSION "; py/cpython_door.hpp expects CPython 3.14.x")
#error "py/cpython_door.hpp was written and tested against CPython 3.14.x only; the CPython found is named in the note beside this error"
#endif

namespace quorvel::inline py::cpython {

// Classes and their version tags

// The class's current version tag; 0: none assigned (nothing may be kept for it).
inline unsigned int type_version(PyTypeObject* type) noexcept {
  return __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE);
}

// The class's version tag, assigned now if it has none; 0 when CPython has run out of them.
inline unsigned int assign_type_version(PyTypeObject* type) noexcept {
  if (PyUnstable_Type_AssignVersionTag(type) == 0) return 0;
  return type_version(type);
}

// What `name` resolves to in the namespaces of `type` and its bases; empty, with nothing raised,
// when none holds it.
inline py::Ref lookup_in_type(PyTypeObject* type, PyObject* name) noexcept {
  return py::Ref::steal(_PyType_LookupRef(type, name));
}

// Object slots

// The slot that `descriptor`, found on `type`, reads when getattr reads it on an instance, or null
// when getattr would do anything else. Only object slots read without an audit event qualify, and
// the descriptor must apply to the type (one copied into another class's namespace raises instead).
inline PyMemberDef* object_slot(PyTypeObject* type, PyObject* descriptor) noexcept {
  if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) return nullptr;
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
  if (member->type != Py_T_OBJECT_EX && member->type != _Py_T_OBJECT) return nullptr;
  if ((member->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) != 0) return nullptr;
  if (!PyType_IsSubtype(type, PyDescr_TYPE(descriptor))) return nullptr;
  return member;
}

// What an object slot holds, as its descriptor reads it: None for an unset _Py_T_OBJECT slot,
// empty for an unset Py_T_OBJECT_EX one (getattr then raises, with the context it adds); nothing
// is raised either way. With the interpreter lock the slot stays still while no Python code runs,
// so it is read in place and the value is borrowed until then; without it another thread may
// replace the slot meanwhile, so the descriptor's own read takes a reference.
#ifdef Py_GIL_DISABLED
using SlotValue = py::Ref;

inline SlotValue read_slot(PyObject* object, PyMemberDef* member) noexcept {
  if (PyObject* value = PyMember_GetOne(reinterpret_cast<const char*>(object), member)) return py::Ref::steal(value);
  PyErr_Clear();
  return SlotValue();
}

inline py::Ref owned(SlotValue&& value) noexcept { return std::move(value); }
#else
class SlotValue {
 public:
  SlotValue() noexcept = default;
  explicit SlotValue(PyObject* value) noexcept : value_(value) {}
  PyObject* get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != nullptr; }

 private:
  PyObject* value_ = nullptr;
};

inline SlotValue read_slot(PyObject* object, PyMemberDef* member) noexcept {
  PyObject* value = *reinterpret_cast<PyObject* const*>(reinterpret_cast<const char*>(object) + member->offset);
  if (value == nullptr && member->type == _Py_T_OBJECT) value = Py_None;
  return SlotValue(value);
}

inline py::Ref owned(SlotValue&& value) noexcept { return py::Ref::borrow(value.get()); }
#endif

// Bytes and ints

// Resizes a bytes object that nothing else references yet. On failure `bytes` is released and
// null, and the error is set.
[[nodiscard]] inline bool resize_bytes(PyObject*& bytes, Py_ssize_t size) noexcept { return _PyBytes_Resize(&bytes, size) == 0; }

// The value of an exact int when it fits in one digit, without a call; false for wider ones.
inline bool compact_int(PyObject* exact_int, Py_ssize_t& value) noexcept {
  auto* number = reinterpret_cast<PyLongObject*>(exact_int);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  value = PyUnstable_Long_CompactValue(number);
  return true;
}

// Construction

// The Python __init__ that calling `type` runs on what object.__new__ made, when that is all
// calling it does apart from the metaclass (see calls_type_call); empty otherwise. object.__new__
// ignores the arguments when __init__ is overridden, and type.__call__ then runs the __init__ that
// the class's slot looks up.
inline py::Ref python_init(PyTypeObject* type, PyObject* init_name) noexcept {
  if (type->tp_new != PyBaseObject_Type.tp_new) return {};
  py::Ref init = lookup_in_type(type, init_name);
  if (!init || !PyFunction_Check(init.get())) return {};
  return init;
}

// Whether calling `cls` is type.__call__: a metaclass with a __call__ of its own decides itself.
inline bool calls_type_call(PyObject* cls) noexcept { return Py_TYPE(cls)->tp_call == PyType_Type.tp_call; }

// `type(*(), **dict(zip(kwnames, values)))` for a class with a `python_init`: object.__new__, then
// that __init__ called with the values as they are.
inline py::Ref new_and_init(PyTypeObject* type, PyObject* init, std::span<PyObject* const> values, PyObject* kwnames) {
  py::Ref self = check_new(type->tp_new(type, Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_TUPLE), nullptr));
  // [self, values...] for the call; a table has few fields, so this rarely leaves the stack.
  constexpr size_t inline_args = 32;
  std::array<PyObject*, inline_args + 1> small;
  std::vector<PyObject*> large;
  PyObject** args = small.data();
  if (values.size() > inline_args) {
    large.resize(values.size() + 1);
    args = large.data();
  }
  args[0] = self.get();
  if (!values.empty()) std::memcpy(args + 1, values.data(), values.size() * sizeof(PyObject*));
  py::Ref result = check_new(PyObject_Vectorcall(init, args, 1, kwnames));
  if (result.get() != Py_None) {
    fail(PyExc_TypeError, "__init__() should return None, not '{}'",
         std::string_view(Py_TYPE(result.get())->tp_name).substr(0, 200));
  }
  return self;
}

}  // namespace quorvel::py::cpython
