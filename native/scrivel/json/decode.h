// json.loads for one request text: the same accepted language, values and first error as
// CPython's decoder with its C scanner.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "scrivel/json/value.h"

namespace talmek::scrivel::json {

// A syntax fault, as json.JSONDecodeError holds it. `pos` counts code points from the start of
// the text, as Python indexes a str.
struct DecodeError {
  std::string msg;  // "Expecting value", "Extra data", ...
  std::size_t pos = 0;
  std::size_t lineno = 1;
  std::size_t colno = 1;
  // str(JSONDecodeError): "Expecting value: line 1 column 1 (char 0)"
  std::string message() const;
};

// Decodes `text` (code points in UTF-8 form, surrogates allowed) into `out`. Returns false and
// fills `err` on a syntax fault. Accepts what json.loads accepts: NaN, Infinity and -Infinity,
// integers of any size (BigInt beyond int64), lone surrogate escapes; a duplicate key keeps its
// first position and takes the last value. Nesting depth is bounded only by memory: the decoder
// keeps its own stack instead of recursing.
//
// Throws FatalRequestError("ValueError", ...) for an integer of more than 4300 digits, which
// CPython refuses with a ValueError (not a JSONDecodeError) when it reaches it.
bool decode(std::string_view text, Value& out, DecodeError& err);

}  // namespace talmek::scrivel::json
