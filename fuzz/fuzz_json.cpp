// Fuzzes the JSON decoder and encoder: any bytes that are valid UTF-8 are decoded; a decoded
// value is encoded and decoded again, and must survive the round trip unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "scrivel/json/decode.h"
#include "scrivel/json/encode.h"
#include "scrivel/main_loop.h"

using talmek::scrivel::FatalRequestError;
using talmek::scrivel::Value;
namespace json = talmek::scrivel::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!talmek::text::is_valid_utf8(text)) return -1;
  Value v;
  json::DecodeError err;
  try {
    if (!json::decode(text, v, err)) {
      (void)err.message();
      return 0;
    }
  } catch (const FatalRequestError&) {
    return 0;
  }
  std::string once;
  json::encode(v, once);
  Value again;
  if (!json::decode(once, again, err)) std::abort();  // our own output must always decode
  std::string twice;
  json::encode(again, twice);
  if (once != twice) std::abort();
  return 0;
}
