// Fast-call argument handling for the NativePlan methods: binding of positional and keyword
// arguments to parameters, and the conversions each parameter goes through, with the binding's
// standard messages.
#pragma once

#include "py/error.hpp"
#include "py/ref.hpp"

#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

namespace quorvel::module {

struct KeywordParam {
  const char* name;
  bool required;
};

struct Signature {
  const char* full_name;                   // "NativePlan.pack()"
  std::span<const char* const> positional;  // all required
  std::span<const KeywordParam> keyword_only;
};

// Binds the call's arguments to the signature's parameters: `out` receives one borrowed object per
// parameter (positional first, then keyword-only), nullptr where a parameter was not given.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out);

// Runs one parameter's conversion; a failure keeps its class and message and gets the note
// "while processing '<name>'".
template <class F>
auto convert(const char* name, F&& conversion) -> decltype(conversion()) {
  try {
    return conversion();
  } catch (const PyFailure& failure) {
    set_error(failure.type, failure.message);
  } catch (const PyErrorSet&) {
  }
  std::string note = "while processing '";
  note += name;
  note += "'";
  add_note_to_current(note);
  throw PyErrorSet{};
}

// The conversions of the parameter table. Each reads a given (non-null) argument.
std::string_view to_text(PyObject* obj);                   // str or subclass; None refused
std::optional<std::string_view> to_optional_text(PyObject* obj);  // None, or str
int64_t to_int64(PyObject* obj);                           // index protocol, C long range
bool to_bool(PyObject* obj);                               // True/False or a NumPy bool scalar
PyObject* to_dict(PyObject* obj);                          // dict or subclass
std::span<const uint8_t> to_bytes(PyObject* obj);          // bytes or subclass, read in place

}  // namespace quorvel::module
