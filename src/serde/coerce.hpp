// Scalar conversions of decoding: decoded integers, floats, strings and generic values to the
// scalar kinds of fields, under the lax and the strict rules. Pure functions: a value or a message.
#pragma once

#include "msgpack/value.hpp"
#include "plan/scalar.hpp"

#include <expected>
#include <string>
#include <string_view>

namespace quorvel::serde {

using Coerced = std::expected<ScalarValue, std::string>;

// Callers pass integers from -2^63 to 2^64-1.
Coerced scalar_from_integer(ScalarKind kind, __int128 value);
Coerced scalar_from_f64(ScalarKind kind, double value);
Coerced scalar_from_str(ScalarKind kind, std::string_view text);
Coerced scalar_from_value(ScalarKind kind, const msgpack::MessagePackValue& value, bool strict);

// The integer a decimal text stands for when it is exactly its canonical form (no '+', no leading
// zeros, '-' only for negative values) and lies in -2^63..2^64-1.
bool canonical_integer(std::string_view text, __int128& out) noexcept;

// A lax float that is finite and integral, as a Python-int field takes it: through a signed
// 64-bit integer below zero, an unsigned one otherwise, both saturating. False otherwise.
bool lax_integral(double value, __int128& out) noexcept;

}  // namespace quorvel::serde
