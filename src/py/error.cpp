#include "py/error.hpp"

namespace quorvel::inline py {

namespace {

std::string str_of(PyObject* str) {
  if (str == nullptr || !PyUnicode_Check(str)) return "?";
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (s == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(s, static_cast<size_t>(n));
}

}  // namespace

std::string type_qualname(PyTypeObject* type) {
  py::Ref name = py::Ref::steal(PyType_GetQualName(type));
  if (!name) throw_error_set();
  return str_of(name.get());
}

std::string type_name(PyTypeObject* type) {
  py::Ref name = py::Ref::steal(PyType_GetName(type));
  if (!name) throw_error_set();
  return str_of(name.get());
}

void fail_wrong_type(PyObject* obj, std::string_view expected) {
  if (obj == Py_None) fail(PyExc_TypeError, "'None' is not an instance of '{}'", expected);
  fail(PyExc_TypeError, "'{}' object is not an instance of '{}'", type_qualname(Py_TYPE(obj)), expected);
}

std::string_view utf8(PyObject* str) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (s == nullptr) throw_error_set();
  return {s, static_cast<size_t>(n)};
}

std::string_view str_utf8(PyObject* obj) {
  if (!PyUnicode_Check(obj)) fail_wrong_type(obj, "str");
  return utf8(obj);
}

py::Ref interned(std::string_view text) {
  PyObject* s = check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  PyUnicode_InternInPlace(&s);
  return py::Ref::steal(s);
}

void set_error(PyObject* type, std::string_view message) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;  // the decoding error stays set
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void add_note_to_current(std::string_view note) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyObject* result = PyObject_CallMethod(exc, "add_note", "s#", note.data(), static_cast<Py_ssize_t>(note.size()));
  if (result == nullptr) {
    // Keep the original exception; a failing add_note is not worth more than the error itself.
    PyErr_Clear();
  }
  Py_XDECREF(result);
  PyErr_SetRaisedException(exc);
}

namespace {

// What str() gives for an exception whose class keeps BaseException's str and whose arguments are
// none or one str, read from the arguments without calling str(): that call needs stack, and an
// exception raised because the stack ran out (RecursionError) is formatted where it is still short.
bool plain_str(PyObject* exc, std::string& text) {
  static void* const base_str = PyType_GetSlot(reinterpret_cast<PyTypeObject*>(PyExc_BaseException), Py_tp_str);
  if (PyType_GetSlot(Py_TYPE(exc), Py_tp_str) != base_str) return false;
  py::Ref args = py::Ref::steal(PyException_GetArgs(exc));
  if (!args || !PyTuple_Check(args.get())) return false;
  if (PyTuple_GET_SIZE(args.get()) == 0) return true;
  PyObject* only = PyTuple_GET_SIZE(args.get()) == 1 ? PyTuple_GET_ITEM(args.get(), 0) : nullptr;
  if (only == nullptr || !PyUnicode_CheckExact(only)) return false;
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(only, &n);
  if (s == nullptr) {
    PyErr_Clear();  // lone surrogates: str() decides what to show
    return false;
  }
  text.append(s, static_cast<size_t>(n));
  return true;
}

}  // namespace

std::string exception_text(PyObject* exc) {
  std::string text;
  try {
    text = type_qualname(Py_TYPE(exc)) + ": ";
  } catch (const PyErrorSet&) {
    PyErr_Clear();
    text = "?: ";
  }
  if (plain_str(exc, text)) return text;
  py::Ref shown = py::Ref::steal(PyObject_Str(exc));
  Py_ssize_t n = 0;
  const char* s = shown && PyUnicode_Check(shown.get()) ? PyUnicode_AsUTF8AndSize(shown.get(), &n) : nullptr;
  if (s == nullptr) {
    PyErr_Clear();
    return text + "<exception str() failed>";
  }
  return text.append(s, static_cast<size_t>(n));
}

}  // namespace quorvel::py
