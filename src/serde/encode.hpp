// src/serde: the JSON and MessagePack codec of model graphs. Beside src/flatbuffer, never
// including it.
//
// encode_serde: one model object, and everything reachable from it, as one JSON or MessagePack
// document keyed by the fields' serialized names.
#pragma once

#include "plan/native_plan.hpp"
#include "py/ref.hpp"

#include <optional>
#include <string_view>

namespace quorvel::serde {

// The body of NativePlan.encode_serde, after argument conversion: the document as a new `bytes`.
py::Ref encode_serde(NativePlan& plan, std::string_view root, PyObject* model, bool is_json, PyObject* fallback_encoder,
                     std::optional<std::string_view> order, std::string_view decimal_format,
                     std::string_view uuid_format);

}  // namespace quorvel::serde
