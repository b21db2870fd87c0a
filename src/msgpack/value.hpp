// One generic MessagePack value: the type of a field's plan default and of values read generically;
// and an integer as the readers hand it out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::msgpack {

// An integer as read: non-negative values in `u`, negative ones in `i`.
struct Integer {
  bool negative = false;
  uint64_t u = 0;
  int64_t i = 0;
  std::string render() const { return negative ? std::to_string(i) : std::to_string(u); }
};

struct MessagePackValue {
  enum class Kind : uint8_t { Nil, Boolean, Integer, F32, F64, String, Binary, Array, Map, Ext };

  Kind kind = Kind::Nil;
  bool boolean = false;
  bool negative = false;  // Integer: true when the value is held in `i` (always < 0)
  uint64_t u = 0;
  int64_t i = 0;
  float f32 = 0;
  double f64 = 0;
  int8_t ext_type = 0;
  std::string bytes;                    // String (valid UTF-8), Binary, Ext payload
  std::vector<MessagePackValue> items;  // Array elements; Map entries as key, value, key, value...

  MessagePackValue() = default;
  MessagePackValue(MessagePackValue&&) noexcept = default;
  MessagePackValue& operator=(MessagePackValue&&) noexcept = default;
  // Moved only: a copy would recurse over the nesting.
  MessagePackValue(const MessagePackValue&) = delete;
  MessagePackValue& operator=(const MessagePackValue&) = delete;
  ~MessagePackValue() {
    if (!items.empty()) release_items();
  }

 private:
  // Frees the nested values without recursing: a value may nest as deep as a reader's depth limit
  // allows, and be dropped on a thread with a small stack.
  void release_items() noexcept;
};

}  // namespace quorvel::msgpack
