// A small validating JSON scanner beside simdjson.
//
// simdjson's On-Demand front end validates lazily: the text of a value that is skipped or captured
// raw is only bracket-matched, and its errors are codes without the position a caller needs. This
// scanner reads JSON text strictly, in document order, and reports the first fault with the
// reader's text and its byte offset. It serves three purposes: validating skipped and captured
// values, naming the exact fault after simdjson reports one, and the few places that read JSON
// text on their own (a number in a string, a root that is not an object).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::serde::json {

// The reader's texts that callers compare against.
inline constexpr std::string_view eof_text = "EOF while parsing";
inline constexpr std::string_view recursion_text = "Encountered nesting of JSON maps and arrays more than 128 layers deep";
inline constexpr std::string_view trailing_text = "JSON has non-whitespace trailing characters after the value";

inline bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct Fault {
  std::string_view message;
  size_t offset;  // the offending byte; the text's length for an early end
  size_t token = npos;  // where the string holding the fault starts (npos: it lies in no string)
  static constexpr size_t npos = ~size_t{0};

  // Where the text before the fault ends without cutting a string in two.
  size_t clean_end() const noexcept { return token == npos ? offset : token; }
};


// Validates one value starting at `pos` (leading whitespace allowed); on success `pos` is just past
// it. `budget` is the nesting budget left: entering a container takes one unit, and one that would
// leave nothing fails with the recursion text.
std::optional<Fault> scan_value(std::string_view text, size_t& pos, unsigned budget);

// A whole document: one value, then only whitespace.
std::optional<Fault> scan_document(std::string_view text, unsigned budget);

// The one JSON value that `text` holds (raw text to embed unchanged), without the JSON whitespace
// around it. Text that is not exactly one valid JSON document throws ReaderError with the document
// reader's text and position. Nesting is bounded as in the document reader.
std::string_view single_json_value(std::string_view text);

// Line and column of an offset (1-based line; the column counts the bytes of the line up to and
// including the offset's byte, so an empty text gives column 0).
std::string position_suffix(std::string_view text, size_t offset, bool include_byte);

// The contents of a string token (quotes included in `token`), unescaped. The token must have
// been validated.
std::string unescape(std::string_view token);

// An integer token that reads as 0 with a sign, "-0", is the float -0.0 to this reader, not the
// integer 0: its sign survives. `first` is the token's first byte.
constexpr bool is_negative_zero(int64_t value, char first) noexcept { return value == 0 && first == '-'; }
// The same of an integer token's text (JSON writes that zero no other way).
constexpr bool is_negative_zero(std::string_view integer_token) noexcept { return integer_token == "-0"; }

// A validated number token, classified as the reader holds it (-0 is the float -0.0).
struct Number {
  enum class Kind : uint8_t { unsigned_integer, signed_integer, floating } kind;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;
};
// nullopt when the token is not exactly one JSON number or its value is out of the double range.
std::optional<Number> parse_number(std::string_view token);

// `text` holds exactly one JSON number, optionally surrounded by JSON whitespace, read as a
// double. On failure `fault` (when given) receives the reader's error text with its position.
std::optional<double> number_document(std::string_view text, std::string* fault = nullptr);

std::string_view trim(std::string_view text) noexcept;

// The double nearest to a decimal literal (optional '-', digits, optional fraction and exponent,
// already validated), with values beyond the double range as infinities and values below the
// smallest subnormal as zeros.
double decimal_value(std::string_view literal) noexcept;
// The same at float32 width, rounded once from the text (not through a double).
float decimal_value_f32(std::string_view literal) noexcept;

}  // namespace quorvel::serde::json
