// A bound on native recursion over Python object graphs, shared with the interpreter's own.
#pragma once

#include "py/error.hpp"

namespace quorvel::inline py {

// Guards native recursion over Python object graphs.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw_error_set();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace quorvel::py
