// Python objects made from native values as the readers produce them: str from UTF-8 text, int
// from any 64-bit integer, and lists filled in place.
#pragma once

#include "py/cpython_door.hpp"
#include "py/error.hpp"
#include "py/ref.hpp"
#include "py/text.hpp"

#include <cstring>
#include <string_view>
#include <type_traits>

namespace quorvel::inline py {

// A Python list filled in place up to a bound that the input can hold, then by appending.
class ListBuilder {
 public:
  void reserve(size_t bound) { list_ = check_new(PyList_New(static_cast<Py_ssize_t>(bound))); }
  void push(Ref item) {
    if (!list_) reserve(0);
    if (count_ < static_cast<size_t>(PyList_GET_SIZE(list_.get()))) {
      PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(count_), item.release());
    } else {
      check_status(PyList_Append(list_.get(), item.get()));
    }
    ++count_;
  }
  size_t size() const noexcept { return count_; }
  Ref finish() {
    if (!list_) reserve(0);
    if (count_ < static_cast<size_t>(PyList_GET_SIZE(list_.get()))) {
      check_status(PyList_SetSlice(list_.get(), static_cast<Py_ssize_t>(count_), PY_SSIZE_T_MAX, nullptr));
    }
    return std::move(list_);
  }

 private:
  Ref list_;
  size_t count_ = 0;
};

// A str of ASCII text, copied straight into a new compact str.
inline Ref new_ascii(std::string_view s) {
  PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
  if (out == nullptr) throw_error_set();
  if (!s.empty()) std::memcpy(PyUnicode_1BYTE_DATA(out), s.data(), s.size());
  return Ref::steal(out);
}

// A str of valid UTF-8 text; ASCII is the common case.
inline Ref new_str(std::string_view s) {
  if (text::is_ascii(s)) return new_ascii(s);
  return check_new(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}

// A Python bool, int or float holding a native scalar of that type.
template <class T>
[[gnu::always_inline]] inline Ref object_of(T v) {
  if constexpr (std::is_same_v<T, bool>) return Ref::borrow(v ? Py_True : Py_False);
  else if constexpr (std::is_floating_point_v<T>) return check_new(PyFloat_FromDouble(static_cast<double>(v)));
  else if constexpr (std::is_signed_v<T>) return check_new(PyLong_FromLongLong(v));
  else return check_new(PyLong_FromUnsignedLongLong(v));
}

// An exact int (not a subclass) that fits in 64 signed bits, read without a temporary object;
// false for anything else, with nothing raised.
[[gnu::always_inline]] inline bool exact_int64(PyObject* v, int64_t& out) noexcept {
  if (!PyLong_CheckExact(v)) return false;
  if (Py_ssize_t compact = 0; cpython::compact_int(v, compact)) [[likely]] {
    out = compact;
    return true;
  }
  // Wider than one digit (timestamps, ids): converted by its digits, which cannot fail otherwise.
  int overflow = 0;
  const long long wide = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow != 0) return false;
  out = wide;
  return true;
}

inline Ref int_from(__int128 v) {
  return v < 0 ? check_new(PyLong_FromLongLong(static_cast<long long>(v)))
               : check_new(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
}

}  // namespace quorvel::py
