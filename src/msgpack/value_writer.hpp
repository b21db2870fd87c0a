// Writes a generic value back as MessagePack in the compact forms: each integer in its smallest
// marker (non-negative values in the unsigned forms), float 32 and float 64 as they are, and the
// smallest length forms of str, bin, array, map and ext.
#pragma once

#include "msgpack/value.hpp"

#include <string>

namespace quorvel::msgpack {

void write_value(const MessagePackValue& value, std::string& out);

}  // namespace quorvel::msgpack
