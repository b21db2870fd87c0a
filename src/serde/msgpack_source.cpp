#include "serde/msgpack_source.hpp"

#include "py/text.hpp"

#include <format>

namespace quorvel::serde {

void MsgpackSource::fail_invalid_type(Value& v, std::string_view expecting) {
  switch (kind(v)) {
    case ValueKind::null: invalid_type(found::unit, expecting);
    case ValueKind::boolean: invalid_type(found::boolean(v.family == msgpack::Family::True), expecting);
    case ValueKind::unsigned_integer:
    case ValueKind::signed_integer: invalid_type(found::integer(r_.read_integer(v).render()), expecting);
    case ValueKind::floating: invalid_type(found::floating(r_.read_float(v)), expecting);
    case ValueKind::string:
      invalid_type(found::string(as_text(r_.read_payload(r_.read_length(v)))), expecting);
    case ValueKind::binary: invalid_type(found::bytes, expecting);
    case ValueKind::array: invalid_type(found::sequence, expecting);
    case ValueKind::map: invalid_type(found::map, expecting);
    case ValueKind::ext: invalid_type(found::ext, expecting);
  }
  msgpack::wrong_marker(v);
}

}  // namespace quorvel::serde
