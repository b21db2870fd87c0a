// A bound on native recursion over Python object graphs, shared with the interpreter's own.
#pragma once

#include "py/error.hpp"

namespace quorvel::inline py {

// Holds one level of native recursion over a Python object graph. Past the interpreter's bound a
// RecursionError is set and `Raised` (a PyErrorSet) is thrown: a caller that must tell the bound
// apart from errors raised inside the walk names a type of its own.
template <class Raised = PyErrorSet>
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw Raised{};
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace quorvel::py
