// Walking Python sequences safely while other threads may change them.
#pragma once

#include "py/error.hpp"
#include "py/ref.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quorvel::inline py {

// Item `i` of a list, read under its critical section; empty once `i` reaches the length the list
// had when the walk began (`start_length`) or has now. A list that shrinks meanwhile (another
// thread, a callback) ends a walk early, and items added after it began are not seen.
inline py::Ref list_item(PyObject* list, Py_ssize_t i, Py_ssize_t start_length) noexcept {
  PyObject* item = nullptr;
  Py_BEGIN_CRITICAL_SECTION(list);
  if (i < start_length && i < PyList_GET_SIZE(list)) item = Py_NewRef(PyList_GET_ITEM(list, i));
  Py_END_CRITICAL_SECTION();
  return py::Ref::steal(item);
}

// Walks a list item by item (see list_item), or any other iterable by iteration.
template <class Op>
void for_each_sequence(PyObject* sequence, Op&& op) {
  if (PyList_Check(sequence)) {
    const Py_ssize_t start_length = PyList_GET_SIZE(sequence);
    for (Py_ssize_t i = 0; py::Ref item = list_item(sequence, i, start_length); ++i) op(std::move(item));
    return;
  }
  py::Ref iterator = check_new(PyObject_GetIter(sequence));
  while (true) {
    PyObject* item = nullptr;
    if (PyIter_NextItem(iterator.get(), &item) < 0) throw_error_set();
    if (item == nullptr) return;
    op(py::Ref::steal(item));
  }
}

// Appends the first `count` items of a list to `out`, taken as one snapshot under its critical
// section (fewer when it has shrunk since `count` was read), for a writer that states the count
// before the items. Returns how many were appended.
inline size_t append_list_snapshot(PyObject* list, size_t count, std::vector<py::Ref>& out) {
  const size_t base = out.size();
  out.reserve(base + count);  // no allocation (so no throw) inside the section
  Py_BEGIN_CRITICAL_SECTION(list);
  const size_t available = std::min(count, static_cast<size_t>(PyList_GET_SIZE(list)));
  for (size_t i = 0; i < available; ++i) out.push_back(py::Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i))));
  Py_END_CRITICAL_SECTION();
  return out.size() - base;
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
