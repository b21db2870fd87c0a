#include "serde/json_validate.hpp"

#include "py/error.hpp"
#include "py/text.hpp"
#include "serde/json_scan.hpp"

namespace quorvel::serde {

namespace {

// The document reader's nesting budget: 254 nested arrays and objects pass, the 255th fails.
constexpr unsigned nesting_budget = 255;

}  // namespace

// Raw text is checked by the same scanner that names the document reader's faults, so a bad
// value gets the very text and position the reader would report for it.
std::string_view single_json_value(std::string_view text) {
  size_t bad_start = 0, bad_end = 0;
  if (text::utf8_fault_span(text, bad_start, bad_end)) {
    reader_fail("Invalid UTF-8 characters in json{}", json::position_suffix(text, bad_start, true));
  }
  if (auto fault = json::scan_document(text, nesting_budget)) {
    reader_fail("{}{}", fault->message, json::position_suffix(text, fault->offset, fault->offset < text.size()));
  }
  return json::trim(text);
}

}  // namespace quorvel::serde
