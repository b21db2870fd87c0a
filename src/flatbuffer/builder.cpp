#include "flatbuffer/builder.hpp"

#include "py/error.hpp"

#include <string_view>

namespace quorvel::flatbuffer {

void slot_out_of_range(uint16_t slot) {
  fail(PyExc_ValueError, "native field slot {} exceeds the FlatBuffers vtable limit", slot);
}

void builder_assertion_failed(const char* expression) {
  // The builder checks its size after every growth; that is the one assertion a caller can reach.
  if (std::string_view(expression) == "size() < max_size_") {
    throw InternalFailure("cannot grow buffer beyond 2 gigabytes");
  }
  throw InternalFailure(std::string("FlatBuffers builder assertion failed: ") + expression);
}




}  // namespace quorvel::flatbuffer
