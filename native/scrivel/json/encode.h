// json.dumps with its default settings, for the worker's reply lines.
#pragma once

#include <string>

#include "scrivel/json/value.h"

namespace talmek::scrivel::json {

// Appends json.dumps(v) to `out`: ensure_ascii (every non-ASCII code point as a lower-case
// \uXXXX escape, beyond U+FFFF as a surrogate pair), ", " and ": " separators, NaN, Infinity
// and -Infinity for the special floats, floats as Python's repr, keys in insertion order.
// Appending lets the main loop reuse one buffer for every reply. Nesting is walked with an
// explicit stack. Throws ContractError("TypeError", ...) for an Opaque value, which json.dumps
// cannot serialise either.
void encode(const Value& v, std::string& out);

// json.dumps(v) as a new string.
std::string dumps(const Value& v);

// Appends the JSON string literal of `text` (code points in UTF-8 form) with ensure_ascii.
void encode_string(std::string_view text, std::string& out);

}  // namespace talmek::scrivel::json
