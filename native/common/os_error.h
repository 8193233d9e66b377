// Failures as the operations report them: OpError carries a finished message (a codec's, a
// regular expression's, shutil's); system failures travel as os::Failure (platform/os.h) and are
// worded at the edge. The errno helpers below serve the agent's tools.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace talmek {

// A failure of one operation, carrying the message text that the guard puts into its record
// (Python's str() of the exception the reference runtime would raise).
class OpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "[Errno 2] No such file or directory"
std::string os_error_message(int err);
// "[Errno 2] No such file or directory: '<path>'", the path quoted with Python's repr rules.
std::string os_error_message(int err, std::string_view path);
// "[Errno 18] Invalid cross-device link: '<a>' -> '<b>'"
std::string os_error_message(int err, std::string_view a, std::string_view b);

// Throws OpError with os_error_message(err, ...), naming the path or paths (texts).
[[noreturn]] void throw_os_error(int err, std::string_view path);
[[noreturn]] void throw_os_error(int err, std::string_view a, std::string_view b);

}  // namespace talmek
