// src/serde: the JSON and MessagePack codec of model graphs. Beside src/flatbuffer, never
// including it; the module front's header for the codec.
//
// encode_serde (encode.cpp): one model object, and everything reachable from it, as one JSON or
// MessagePack document keyed by the fields' serialized names, through one model walker over a
// JSON writer (json_writer.hpp) and a MessagePack writer (src/msgpack).
//
// decode_serde (decode.cpp): one document back into model objects, through one model reader
// (model_reader.hpp) over two document sources: JSON on simdjson On-Demand (json_source.hpp, with
// the strict scanner of json_scan.hpp) and MessagePack on the reader of src/msgpack
// (msgpack_source.hpp). Scalar coercions live in coerce.hpp.
//
// What both need of each model is prepared once, when types are bound (facts.hpp).
#pragma once

#include "plan/native_plan.hpp"
#include "py/ref.hpp"

#include <memory>
#include <optional>
#include <string_view>

namespace quorvel::serde {

// The body of NativePlan.encode_serde, after argument conversion: the document as a new `bytes`.
py::Ref encode_serde(NativePlan& plan, std::string_view root, PyObject* model, bool is_json, PyObject* fallback_encoder,
                     std::optional<std::string_view> order, std::string_view decimal_format,
                     std::string_view uuid_format);

// decode_serde(root, buffer, is_json, *, strict, fallback_decoders): the decoded model object.
py::Ref decode_serde(const NativePlan& plan, std::string_view root, PyObject* buffer, bool is_json, bool strict,
                     PyObject* fallback_decoders);

// The codec's facts about a plan and its bound types (bind_types builds them through this).
std::unique_ptr<const CodecFacts> prepare_facts(const NativePlan& plan, const BoundTypes& bound);

}  // namespace quorvel::serde
