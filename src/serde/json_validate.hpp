// Validation of raw JSON text that the writer embeds unchanged (Python ints beyond 64 bits,
// decimals written as numbers, fallback encoder output).
#pragma once

#include <string_view>

namespace quorvel::serde {

// The one JSON value that `text` holds, without the JSON whitespace around it. Text that is not
// exactly one valid JSON value in UTF-8 throws ReaderError with the document reader's message and
// position ("... at line {} column {}" and an excerpt). Nesting is bounded as in that reader.
std::string_view single_json_value(std::string_view text);

}  // namespace quorvel::serde
