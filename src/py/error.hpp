// How failures travel inside the module.
//
// Algorithm code throws; each entry point catches once and turns the exception into a Python
// exception (see py/entry.hpp). Three kinds exist:
//   PyErrorSet   - a Python exception is already set (a C API call failed, or Python code raised);
//   PyFailure    - raise this class with this message;
//   ReaderError  - a text error of one of the document readers, wrapped by the caller.
// Anything else that escapes (std::bad_alloc, a builder assertion) is an internal failure.
#pragma once

#include "py/ref.hpp"

#include <format>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvel::inline py {

struct PyErrorSet {};

struct PyFailure {
  PyObject* type;  // borrowed: one of the interpreter's exception classes or a plan-held class
  std::string message;
};

struct ReaderError {
  std::string message;
  bool positioned = false;  // the message already names its place in the input (JSON syntax errors)
};

// An internal inconsistency; surfaces as the module's panic exception.
struct InternalFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void throw_error_set() { throw PyErrorSet{}; }

template <class... Args>
[[noreturn]] void fail(PyObject* type, std::format_string<Args...> fmt, Args&&... args) {
  throw PyFailure{type, std::format(fmt, std::forward<Args>(args)...)};
}

[[noreturn]] inline void fail_text(PyObject* type, std::string message) {
  throw PyFailure{type, std::move(message)};
}

template <class... Args>
[[noreturn]] void reader_fail(std::format_string<Args...> fmt, Args&&... args) {
  throw ReaderError{std::format(fmt, std::forward<Args>(args)...)};
}

// Throws when a C API call reported failure by returning NULL.
inline PyObject* check(PyObject* result) {
  if (result == nullptr) throw_error_set();
  return result;
}

// Takes over a new reference, throwing when the call failed.
inline py::Ref check_new(PyObject* result) { return py::Ref::steal(check(result)); }

inline int check_status(int status) {
  if (status < 0) throw_error_set();
  return status;
}

// Whether an exception (an instance or a class) is an ordinary failure that a caller may turn into
// a message of its own: an Exception other than MemoryError. Interrupts, exit requests and an
// exhausted allocator are never the input's fault and always reach the caller as raised.
inline bool is_ordinary_error(PyObject* exc) noexcept {
  return PyErr_GivenExceptionMatches(exc, PyExc_Exception) && !PyErr_GivenExceptionMatches(exc, PyExc_MemoryError);
}

// Clears the Python error that is set when it is an ordinary one (see `attempt`); passes it on
// otherwise.
inline void clear_ordinary_error() {
  if (!is_ordinary_error(PyErr_Occurred())) throw_error_set();
  PyErr_Clear();
}

// An exception as its qualified class name, ": " and its str() ("<exception str() failed>" when
// that fails), the form in which the document codecs report Python failures inside their own.
std::string exception_text(PyObject* exc);

// Runs `op` and returns true when it completes. Returns false when it fails in a way the caller
// means to replace with a message of its own: one of the module's own failures, or an ordinary
// Python error (an Exception other than MemoryError), which is cleared. Everything else, such as
// KeyboardInterrupt, SystemExit, MemoryError or an internal failure, passes through unchanged.
template <class Op>
bool attempt(Op&& op) {
  try {
    op();
    return true;
  } catch (const PyFailure&) {
    return false;
  } catch (const PyErrorSet&) {
    clear_ordinary_error();
    return false;
  }
}

// The interpreter's qualified name of an object's type, e.g. "bytearray".
std::string type_qualname(PyTypeObject* type);
std::string type_name(PyTypeObject* type);

// TypeError "'{}' object is not an instance of '{}'" (or the None form), the binding's wording
// for an argument or value of the wrong type.
[[noreturn]] void fail_wrong_type(PyObject* obj, std::string_view expected);

// The UTF-8 form of a str, valid while the str lives; raises for text without one (lone surrogates).
std::string_view utf8(PyObject* str);
// As utf8, after checking that `obj` is a str (the wrong-type TypeError naming 'str' otherwise).
std::string_view str_utf8(PyObject* obj);
// An interned str of the text.
py::Ref interned(std::string_view text);

// Sets a Python exception of `type` whose message is `message` (UTF-8, invalid bytes replaced).
void set_error(PyObject* type, std::string_view message) noexcept;

// Appends a note to the exception currently set (the PEP 678 notes shown in tracebacks).
void add_note_to_current(std::string_view note) noexcept;

}  // namespace quorvel::py
