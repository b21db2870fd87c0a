// The FlatBuffers builder, configured so that its internal assertions throw instead of aborting:
// a failed assertion becomes the module's panic exception at the entry point.
#pragma once

namespace quorvel::flatbuffer {
[[noreturn]] void builder_assertion_failed(const char* expression);
}

#ifdef FLATBUFFERS_ASSERT
#error "the FlatBuffers headers must be included through flatbuffer/builder.hpp"
#endif
#define FLATBUFFERS_ASSERT(expression) \
  ((expression) ? static_cast<void>(0) : ::quorvel::flatbuffer::builder_assertion_failed(#expression))

#include <flatbuffers/flatbuffer_builder.h>
