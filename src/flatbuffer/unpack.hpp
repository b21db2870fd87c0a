// Unpacking FlatBuffers into model graphs.
#pragma once

#include "plan/model_types.hpp"
#include "plan/native_plan.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvel::flatbuffer {

py::Ref unpack(const NativePlan& plan, std::string_view root, PyObject* buffer, std::optional<std::string_view> identifier,
               int64_t offset, bool size_prefixed, bool check_identifier, const NativeModelTypes* model_types,
               PyObject* dynamic_overrides);

py::Ref unpack_view(const NativePlan& plan, std::string_view object, PyObject* buffer, int64_t offset,
                    const NativeModelTypes* model_types, PyObject* dynamic_overrides);

}  // namespace quorvel::flatbuffer
