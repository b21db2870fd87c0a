// The one place where C++ failures become Python exceptions.
#pragma once

#include "py/error.hpp"
#include "py/ref.hpp"

namespace quorvel::inline py {

// Creates the panic exception class once (from the module's exec step).
bool init_panic_type() noexcept;

// Sets the Python exception for the C++ exception being handled; call only inside a catch block.
// Internal failures become the panic exception (a BaseException subclass) with their message.
void translate_current_exception() noexcept;

// Runs an entry point body: its new reference, or nullptr with a Python exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

// As `guarded`, for slots that report failure with -1.
template <class Body>
int guarded_status(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

}  // namespace quorvel::py
