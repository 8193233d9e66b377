// Fuzzes the whole request path: a request line is decoded, dispatched in a scratch directory
// and its reply encoded. Requests naming paths that could leave the scratch directory are decoded
// and encoded but not dispatched, so the fuzzer can never touch the rest of the machine.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scrivel/dispatch.h"
#include "scrivel/main_loop.h"

namespace {

using talmek::scrivel::ContractError;
using talmek::scrivel::FatalRequestError;

// A text that could name something outside the scratch directory.
bool escapes(std::string_view s) {
  return s.find('/') != std::string_view::npos || s.find("..") != std::string_view::npos ||
         (!s.empty() && s[0] == '~') || s == "." || s.find('\\') != std::string_view::npos;
}

// Scans the raw line for any JSON string that might escape once decoded. Conservative: escapes in
// strings (\u002f, \u002e) are refused too.
bool line_is_confined(std::string_view line) {
  if (line.find("\\u") != std::string_view::npos || line.find("\\/") != std::string_view::npos)
    return false;
  std::size_t i = 0;
  while ((i = line.find('"', i)) != std::string_view::npos) {
    const std::size_t end = line.find('"', i + 1);
    if (end == std::string_view::npos) return !escapes(line.substr(i + 1));
    if (escapes(line.substr(i + 1, end - i - 1))) return false;
    i = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/talmek-fuzz-XXXXXX";
  if (!mkdtemp(tmpl) || chdir(tmpl) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  if (line.find('\n') != std::string_view::npos || line.find('\r') != std::string_view::npos)
    return -1;  // one request line at a time, as the main loop hands them over
  if (!line_is_confined(line)) return -1;
  bool quit = false;
  try {
    (void)talmek::scrivel::handle_line(line, quit);
  } catch (const ContractError&) {
  } catch (const FatalRequestError&) {
  }
  return 0;
}
