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

#include "plan/scalar.hpp"

namespace quorvel::flatbuffer {

// The vtable offset of a field slot (4 + 2 * slot); ValueError when it does not fit a vtable.
flatbuffers::voffset_t slot_voffset(uint16_t slot);

// Writes `value` into the table being built at vtable slot `slot`, or omits it when it equals
// `default_value` (never omitted when that is null).
void push_scalar(flatbuffers::FlatBufferBuilder& builder, const ScalarValue& value, uint16_t slot,
                 const ScalarValue* default_value);

}  // namespace quorvel::flatbuffer
