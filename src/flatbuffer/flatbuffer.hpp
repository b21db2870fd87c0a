// The FlatBuffer codec: model graphs to FlatBuffers (pack) and back (unpack, unpack_view).
//
// This is the codec's one public header, for the module front. Everything else in this folder is
// internal: the builder and field states of pack (pack.hpp), the size estimate, keyed tables,
// struct and vector writers, the bounds-checked read primitives (read.hpp) and the Materializer.
#pragma once

#include "plan/model_types.hpp"
#include "plan/native_plan.hpp"
#include "py/native_buffer.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace quorvel::flatbuffer {

// pack(root, model, ...): the finished FlatBuffer's bytes.
std::unique_ptr<NativeBufferData> pack(NativePlan& plan, std::string_view root, PyObject* model,
                                       std::optional<std::string_view> identifier, bool size_prefixed,
                                       int64_t initial_size);

py::Ref unpack(const NativePlan& plan, std::string_view root, PyObject* buffer, std::optional<std::string_view> identifier,
               int64_t offset, bool size_prefixed, bool check_identifier, const NativeModelTypes* model_types,
               PyObject* dynamic_overrides);

py::Ref unpack_view(const NativePlan& plan, std::string_view object, PyObject* buffer, int64_t offset,
                    const NativeModelTypes* model_types, PyObject* dynamic_overrides);

}  // namespace quorvel::flatbuffer
