// The one door through which pack reaches inside flatbuffers::FlatBufferBuilder, and the one place
// that includes the FlatBuffers headers. Everything else calls the builder's public members (those
// that generated code calls too).
//
// What it touches, and why:
// - `buf_.make_space` (protected): a table whose fields were queued is written as one block, body
//   and vtable together, from a layout worked out once per object and field set; the public calls
//   push field by field and search the builder's own list of vtables (measured worth it in the pack
//   benchmark).
// - `num_field_loc` and the `FieldLoc` records below `buf_.scratch_end()` (protected): a table
//   whose fields were tracked one by one is checked for a vtable slot written twice, which EndTable
//   only asserts; `sizeof(FieldLoc)` counts the scratch bytes each tracked field takes against the
//   2 GiB limit.
// - `nested` (protected): a table written as a block is closed as EndTable closes one.
// - `buf_.clear_scratch`, `minalign_` and `finished` (protected): a buffer is finished with a file
//   identifier of any four bytes, a NUL included, where the public Finish measures it with strlen.
// - the text of vector_downward's growth assertion, "size() < max_size_": FLATBUFFERS_ASSERT is set
//   to throw, and that one assertion, which a large graph can reach, is reported as the 2 GiB limit.
//
// It was written and tested against FlatBuffers 23.5.26; another version must be checked against
// the list above before the version check below admits it.
#pragma once

#include "py/error.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quorvel::flatbuffer {

// The builder's failed assertions, as the module's internal failure instead of an abort.
[[noreturn]] inline void builder_assertion_failed(const char* expression) {
  // The builder checks its size after every growth; that is the one assertion a caller can reach.
  if (std::string_view(expression) == "size() < max_size_") {
    throw InternalFailure("cannot grow buffer beyond 2 gigabytes");
  }
  throw InternalFailure(std::string("FlatBuffers builder assertion failed: ") + expression);
}

}  // namespace quorvel::flatbuffer

#ifdef FLATBUFFERS_ASSERT
#error "the FlatBuffers headers must be included through flatbuffer/builder_door.hpp"
#endif
#define FLATBUFFERS_ASSERT(expression) \
  ((expression) ? static_cast<void>(0) : ::quorvel::flatbuffer::builder_assertion_failed(#expression))

#include <flatbuffers/flatbuffer_builder.h>

#if FLATBUFFERS_VERSION_MAJOR != 23 || FLATBUFFERS_VERSION_MINOR != 5 || FLATBUFFERS_VERSION_REVISION != 26
// #error does not expand macros; this error names the version found.
#define QUORVEL_PRAGMA(text) _Pragma(#text)
#define QUORVEL_ERROR(text) QUORVEL_PRAGMA(GCC error #text)
#define QUORVEL_REJECT(major, minor, revision) \
  QUORVEL_ERROR(found FlatBuffers major.minor.revision: flatbuffer/builder_door.hpp was written and tested against FlatBuffers 23.5.26 only)
QUORVEL_REJECT(FLATBUFFERS_VERSION_MAJOR, FLATBUFFERS_VERSION_MINOR, FLATBUFFERS_VERSION_REVISION)
#endif

namespace quorvel::flatbuffer {

// The builder with the few protected steps above made callable; final, so that nothing else reaches
// the builder's protected members.
class BuilderDoor final : public flatbuffers::FlatBufferBuilder {
 public:
  // The scratch bytes the builder keeps for each field of the open table tracked by TrackField.
  static constexpr size_t field_record_size = sizeof(FieldLoc);

  BuilderDoor(size_t capacity, flatbuffers::Allocator* allocator)
      : flatbuffers::FlatBufferBuilder(capacity, allocator, false) {}

  // n uninitialised bytes in front of the data written so far; returns where they start.
  uint8_t* make_space(size_t n) { return buf_.make_space(n); }

  // How many fields of the open table were tracked by TrackField.
  size_t tracked_fields() const noexcept { return num_field_loc; }

  // The first tracked field of the open table whose vtable offset a later one repeats; 0 if none.
  flatbuffers::voffset_t repeated_field() const noexcept {
    if (num_field_loc == 0) return 0;
    const auto* fields = reinterpret_cast<const FieldLoc*>(buf_.scratch_end() - num_field_loc * sizeof(FieldLoc));
    for (size_t i = 0; i < num_field_loc; ++i) {
      for (size_t j = i + 1; j < num_field_loc; ++j) {
        if (fields[i].id == fields[j].id) return fields[i].id;
      }
    }
    return 0;
  }

  // Closes the open table after it was written as one block by make_space, as EndTable would.
  void close_table(size_t alignment) {
    TrackMinAlign(alignment);
    nested = false;
  }

  // Finish, with `identifier` (four bytes, or null) written as given.
  void finish(flatbuffers::uoffset_t root, const uint8_t* identifier, bool size_prefix) {
    NotNested();
    buf_.clear_scratch();
    const size_t prefix_size = size_prefix ? sizeof(flatbuffers::uoffset_t) : 0;
    TrackMinAlign(prefix_size);
    const size_t identifier_size = identifier ? flatbuffers::kFileIdentifierLength : 0;
    PreAlign(prefix_size + sizeof(flatbuffers::uoffset_t) + identifier_size, minalign_);
    if (identifier) PushBytes(identifier, flatbuffers::kFileIdentifierLength);
    PushElement(ReferTo(root));
    if (size_prefix) PushElement(GetSize());
    finished = true;
  }
};

}  // namespace quorvel::flatbuffer
