#include "module/args.hpp"

#include "plan/scalar.hpp"

#include <format>
#include <string>
#include <vector>

namespace quorvel::module {

namespace {

// 'a', 'a' and 'b', 'a', 'b', and 'c': the interpreter's way of listing parameter names.
std::string parameter_list(const std::vector<const char*>& names) {
  std::string out;
  const size_t n = names.size();
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) out += ',';
      out += (i == n - 1) ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

[[noreturn]] void missing(const Signature& sig, const char* kind, const std::vector<const char*>& names) {
  fail(PyExc_TypeError, "{} missing {} required {} {}: {}", sig.full_name, names.size(), kind,
       names.size() == 1 ? "argument" : "arguments", parameter_list(names));
}

std::string keyword_text(PyObject* name) {
  py::Ref shown = check_new(PyObject_Str(name));
  return std::string(utf8(shown.get()));
}

bool name_equals(PyObject* name, const char* expected) {
  return PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, expected) == 1;
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
  const size_t npos = sig.positional.size();
  for (auto& slot : out) slot = nullptr;
  const size_t given = static_cast<size_t>(nargs);
  if (given > npos) {
    fail(PyExc_TypeError, "{} takes {} positional arguments but {} {} given", sig.full_name, npos, given,
         given == 1 ? "was" : "were");
  }
  for (size_t i = 0; i < given; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    bool placed = false;
    for (size_t i = 0; i < sig.keyword_only.size() && !placed; ++i) {
      if (!name_equals(name, sig.keyword_only[i].name)) continue;
      if (out[npos + i] != nullptr) {
        fail(PyExc_TypeError, "{} got multiple values for argument '{}'", sig.full_name, sig.keyword_only[i].name);
      }
      out[npos + i] = value;
      placed = true;
    }
    for (size_t i = 0; i < npos && !placed; ++i) {
      if (!name_equals(name, sig.positional[i])) continue;
      if (out[i] != nullptr) {
        fail(PyExc_TypeError, "{} got multiple values for argument '{}'", sig.full_name, sig.positional[i]);
      }
      out[i] = value;
      placed = true;
    }
    if (!placed) fail(PyExc_TypeError, "{} got an unexpected keyword argument '{}'", sig.full_name, keyword_text(name));
  }

  if (given < npos) {
    std::vector<const char*> absent;
    for (size_t i = given; i < npos; ++i) {
      if (out[i] == nullptr) absent.push_back(sig.positional[i]);
    }
    if (!absent.empty()) missing(sig, "positional", absent);
  }
  std::vector<const char*> absent;
  for (size_t i = 0; i < sig.keyword_only.size(); ++i) {
    if (sig.keyword_only[i].required && out[npos + i] == nullptr) absent.push_back(sig.keyword_only[i].name);
  }
  if (!absent.empty()) missing(sig, "keyword", absent);
}

std::string_view to_text(PyObject* obj) { return str_utf8(obj); }

std::optional<std::string_view> to_optional_text(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  return to_text(obj);
}

int64_t to_int64(PyObject* obj) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_error_set();
  return v;
}

bool to_bool(PyObject* obj) { return extract_bool(obj); }

PyObject* to_dict(PyObject* obj) {
  if (!PyDict_Check(obj)) fail_wrong_type(obj, "dict");
  return obj;
}

std::span<const uint8_t> to_bytes(PyObject* obj) {
  if (!PyBytes_Check(obj)) fail_wrong_type(obj, "bytes");
  return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj)), static_cast<size_t>(PyBytes_GET_SIZE(obj))};
}

}  // namespace quorvel::module
