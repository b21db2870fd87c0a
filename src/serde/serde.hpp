// decode_serde, the reading half of src/serde (encode.hpp holds the writing half): it reads a document with one model builder (builder.hpp) over two sources: JSON on
// simdjson On-Demand (json_source.hpp, with the strict scanner of json_scan.hpp) and MessagePack
// on the reader of src/msgpack (msgpack_source.hpp); scalar coercions live in coerce.hpp.
//
// The module front's header for decoding.
#pragma once

#include "plan/native_plan.hpp"
#include "py/ref.hpp"

#include <string_view>

namespace quorvel::serde {

// decode_serde(root, buffer, is_json, *, strict, fallback_decoders): the decoded model object.
py::Ref decode_serde(const NativePlan& plan, std::string_view root, PyObject* buffer, bool is_json, bool strict,
                     PyObject* fallback_decoders);

}  // namespace quorvel::serde
