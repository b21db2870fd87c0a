// How the readers' type errors describe the value they found where another was expected, and the
// errors themselves: "invalid type: {found}, expected {expecting}" for a value of the wrong kind,
// "invalid value: {found}, expected {expecting}" for one of the right kind out of its range.
#pragma once

#include "py/error.hpp"
#include "py/text.hpp"

#include <format>
#include <string>
#include <string_view>

namespace quorvel::found {

inline constexpr std::string_view unit = "unit value";  // a MessagePack nil
inline constexpr std::string_view null = "null";        // a JSON null
inline constexpr std::string_view bytes = "byte array";
inline constexpr std::string_view sequence = "sequence";
inline constexpr std::string_view map = "map";
inline constexpr std::string_view ext = "newtype struct";

constexpr std::string_view boolean(bool b) noexcept { return b ? "boolean `true`" : "boolean `false`"; }
template <class Int>
std::string integer(Int v) {
  return std::format("integer `{}`", v);
}
inline std::string floating(double d) { return std::format("floating point `{}`", text::shortest_with_point(d)); }
inline std::string string(std::string_view utf8) { return "string " + text::quoted(utf8); }

inline std::string invalid_type_text(std::string_view found, std::string_view expecting) {
  return std::format("invalid type: {}, expected {}", found, expecting);
}

}  // namespace quorvel::found

namespace quorvel {

[[noreturn]] inline void invalid_type(std::string_view found, std::string_view expecting) {
  throw ReaderError{found::invalid_type_text(found, expecting)};
}
[[noreturn]] inline void invalid_value(std::string_view found, std::string_view expecting) {
  throw ReaderError{std::format("invalid value: {}, expected {}", found, expecting)};
}

}  // namespace quorvel
