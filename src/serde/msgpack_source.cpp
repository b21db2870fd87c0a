#include "serde/msgpack_source.hpp"

#include "py/text.hpp"

#include <format>

namespace quorvel::serde {

void MsgpackSource::fail_invalid_type(Value& v, std::string_view expecting) {
  switch (kind(v)) {
    case ValueKind::null: invalid_type("unit value", expecting);
    case ValueKind::boolean: invalid_type(v.family == msgpack::Family::True ? "boolean `true`" : "boolean `false`", expecting);
    case ValueKind::unsigned_integer:
    case ValueKind::signed_integer: invalid_type(std::format("integer `{}`", r_.read_integer(v).render()), expecting);
    case ValueKind::floating:
      invalid_type(std::format("floating point `{}`", text::shortest_with_point(r_.read_float(v))), expecting);
    case ValueKind::string:
      invalid_type("string " + text::quoted(as_text(r_.read_payload(r_.read_length(v)))), expecting);
    case ValueKind::binary: invalid_type("byte array", expecting);
    case ValueKind::array: invalid_type("sequence", expecting);
    case ValueKind::map: invalid_type("map", expecting);
    case ValueKind::ext: invalid_type("newtype struct", expecting);
  }
  msgpack::wrong_marker(v);
}

}  // namespace quorvel::serde
