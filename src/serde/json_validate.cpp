#include "serde/json_validate.hpp"

#include "py/error.hpp"
#include "py/text.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace quorvel::serde {

namespace {

// The document reader's nesting budget: 254 nested arrays and objects pass, the 255th fails.
constexpr size_t nesting_budget = 254;

class Validator {
 public:
  explicit Validator(std::string_view text) : s_(text) {}

  std::string_view run() {
    size_t bad_start = 0, bad_end = 0;
    if (text::utf8_fault_span(s_, bad_start, bad_end)) fail_at(bad_start, "Invalid UTF-8 characters in json");
    skip_ws();
    const size_t start = i_;
    value();
    const size_t end = i_;
    skip_ws();
    if (i_ != s_.size()) fail_at(i_, "JSON has non-whitespace trailing characters after the value");
    return s_.substr(start, end - start);
  }

 private:
  [[noreturn]] void fail_at(size_t pos, std::string_view message) const {
    const std::string_view before = s_.substr(0, std::min(pos, s_.size()));
    const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
    const size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
    reader_fail("{} at line {} column {}", message, line, pos - line_start + 1);
  }
  [[noreturn]] void fail(std::string_view message) const {
    fail_at(i_, i_ >= s_.size() ? std::string_view("EOF while parsing") : message);
  }

  bool at_end() const { return i_ >= s_.size(); }
  char peek() const { return at_end() ? '\0' : s_[i_]; }
  void skip_ws() {
    while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }

  // Walks one value with an explicit stack of open containers ('{' or '[').
  void value() {
    std::array<char, nesting_budget> open{};
    size_t depth = 0;
    while (true) {
      // At the start of a value.
      skip_ws();
      switch (peek()) {
        case '{':
        case '[': {
          if (depth == nesting_budget) fail("Encountered nesting of JSON maps and arrays more than 128 layers deep");
          const char c = s_[i_++];
          open[depth++] = c;
          skip_ws();
          if (peek() == (c == '{' ? '}' : ']')) {
            ++i_;
            --depth;
            break;
          }
          if (c == '{') key();
          continue;
        }
        case '"': string(); break;
        case 't': literal("true"); break;
        case 'f': literal("false"); break;
        case 'n': literal("null"); break;
        default:
          if (peek() == '-' || (peek() >= '0' && peek() <= '9')) {
            number();
            break;
          }
          fail("Invalid JSON value");
      }
      // After a complete value: close containers or move to the next element.
      while (true) {
        if (depth == 0) return;
        skip_ws();
        const char close = open[depth - 1] == '{' ? '}' : ']';
        if (peek() == close) {
          ++i_;
          --depth;
          continue;
        }
        if (peek() != ',') {
          fail(close == '}' ? "Expected this character to be either a ',' or a '}' while parsing"
                            : "Expected this character to be either a ',' or a ']' while parsing");
        }
        ++i_;
        skip_ws();
        if (peek() == close) fail("JSON has a comma after the last value in an array or object");
        if (close == '}') key();
        break;
      }
    }
  }

  // An object key and its colon.
  void key() {
    skip_ws();
    if (peek() != '"') fail("Expected this character to be a '\"' while parsing");
    string();
    skip_ws();
    if (peek() != ':') fail("Expected this character to be a ':' while parsing");
    ++i_;
  }

  void literal(std::string_view word) {
    for (char c : word) {
      if (peek() != c) fail("Invalid literal (`true`, `false`, or a `null`) while parsing");
      ++i_;
    }
  }

  bool digit() const { return peek() >= '0' && peek() <= '9'; }

  void number() {
    if (peek() == '-') ++i_;
    if (peek() == '0') {
      ++i_;
    } else if (digit()) {
      while (digit()) ++i_;
    } else {
      fail("Invalid number");
    }
    if (peek() == '.') {
      ++i_;
      if (!digit()) fail("Invalid number");
      while (digit()) ++i_;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++i_;
      if (peek() == '+' || peek() == '-') ++i_;
      if (!digit()) fail("Invalid number");
      while (digit()) ++i_;
    }
  }

  int hex4() {
    int v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = peek();
      int d = -1;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      if (d < 0) fail("Invalid escape chars");
      v = v * 16 + d;
      ++i_;
    }
    return v;
  }

  void string() {
    ++i_;  // the opening quote
    while (true) {
      if (at_end()) fail("EOF while parsing");
      const auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return;
      }
      if (c < 0x20) fail("Control character found while parsing a string");
      if (c != '\\') {
        ++i_;
        continue;
      }
      ++i_;
      const char e = peek();
      if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
        ++i_;
        continue;
      }
      if (e != 'u') fail("Invalid escape chars");
      ++i_;
      const int unit = hex4();
      if (unit >= 0xDC00 && unit <= 0xDFFF) fail("Invalid surrogate Unicode code point");
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        // A lone high surrogate has no character to stand for; readers refuse it.
        if (peek() != '\\' || i_ + 1 >= s_.size() || s_[i_ + 1] != 'u') fail("Invalid surrogate Unicode code point");
        i_ += 2;
        const int low = hex4();
        if (low < 0xDC00 || low > 0xDFFF) fail("Invalid surrogate Unicode code point");
      }
    }
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

std::string_view single_json_value(std::string_view text) { return Validator(text).run(); }

}  // namespace quorvel::serde
