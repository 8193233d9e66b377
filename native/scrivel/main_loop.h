// The worker's main loop: request lines in, reply lines out, no Python objects.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "scrivel/dispatch.h"

namespace talmek::scrivel {

// A failure that ends the worker without a reply (besides ContractError): a decoder error other
// than a syntax error, such as an integer with too many digits or nesting beyond our limit.
class FatalRequestError : public std::runtime_error {
 public:
  FatalRequestError(PyErrorClass py_class, const std::string& message)
      : std::runtime_error(message), m_py_class(py_class) {}
  PyErrorClass py_class() const noexcept { return m_py_class; }

 private:
  PyErrorClass m_py_class;
};

// Handles one request line as read in text mode (its line end already removed): strips it,
// decodes it, dispatches it and returns the reply line with its "\n", or the empty string for a
// blank line (no reply). Sets `quit` when the request was "quit". Throws ContractError or
// FatalRequestError when the request breaks the contract.
std::string handle_line(std::string_view raw_line, bool& quit);

// Serves requests from the process's standard input to its standard output until "quit" or end
// of input, with the platform's line rules (os::kStdinSplitsAtCarriageReturn on input, each reply
// ended by os::kLineSeparator as text-mode output writes "\n"). Returns the process exit status:
// 0, or 1 after writing a diagnostic to standard error.
int serve();

}  // namespace talmek::scrivel
