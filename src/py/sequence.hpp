// Walking Python sequences safely while other threads may change them.
#pragma once

#include "py/error.hpp"
#include "py/ref.hpp"

#include <cstddef>

namespace quorvel::inline py {

// Walks a list one item at a time under its critical section, or any other iterable by iteration.
template <class Op>
void for_each_sequence(PyObject* sequence, Op&& op) {
  if (PyList_Check(sequence)) {
    const Py_ssize_t start_length = PyList_GET_SIZE(sequence);
    for (Py_ssize_t i = 0;; ++i) {
      PyObject* item = nullptr;
      Py_BEGIN_CRITICAL_SECTION(sequence);
      if (i < start_length && i < PyList_GET_SIZE(sequence)) item = Py_NewRef(PyList_GET_ITEM(sequence, i));
      Py_END_CRITICAL_SECTION();
      if (item == nullptr) return;
      op(py::Ref::steal(item));
    }
  }
  py::Ref iterator = check_new(PyObject_GetIter(sequence));
  while (true) {
    PyObject* item = nullptr;
    if (PyIter_NextItem(iterator.get(), &item) < 0) throw_error_set();
    if (item == nullptr) return;
    op(py::Ref::steal(item));
  }
}

// The length of a sequence value: a list's own length, else len().
inline size_t sequence_length(PyObject* value) {
  if (PyList_Check(value)) return static_cast<size_t>(PyList_GET_SIZE(value));
  Py_ssize_t n = PyObject_Length(value);
  if (n < 0) throw_error_set();
  return static_cast<size_t>(n);
}
// How much to reserve up front for n items: a len() may claim anything, so growth covers the rest.
inline size_t reservation(size_t n) { return n < (size_t{1} << 20) ? n : size_t{1} << 20; }

}  // namespace quorvel::py
