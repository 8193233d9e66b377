// Operating-system failures worded as CPython words OSError, and the exception that carries them.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace talmek {

// "[Errno 2] No such file or directory"
std::string os_error_message(int err);
// "[Errno 2] No such file or directory: '<path>'", the path quoted with Python's repr rules.
std::string os_error_message(int err, std::string_view path);
// "[Errno 18] Invalid cross-device link: '<a>' -> '<b>'"
std::string os_error_message(int err, std::string_view a, std::string_view b);

// A failure of one operation, carrying the message text that the guard puts into its record
// (Python's str() of the exception the reference runtime would raise).
class OpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws OpError with os_error_message(err, path).
[[noreturn]] void throw_os_error(int err, std::string_view path);
[[noreturn]] void throw_os_error(int err, std::string_view a, std::string_view b);

}  // namespace talmek
