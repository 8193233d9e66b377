// CPython's OSError wording: "[Errno N] <strerror>: '<path>'".
#include "common/os_error.h"

#include <cstring>

#include "common/text.h"

namespace talmek {

std::string os_error_message(int err) {
  return "[Errno " + std::to_string(err) + "] " + std::strerror(err);
}

std::string os_error_message(int err, std::string_view path) {
  return os_error_message(err) + ": " + text::py_repr(path);
}

std::string os_error_message(int err, std::string_view a, std::string_view b) {
  return os_error_message(err) + ": " + text::py_repr(a) + " -> " + text::py_repr(b);
}

void throw_os_error(int err, std::string_view path) { throw OpError(os_error_message(err, path)); }

void throw_os_error(int err, std::string_view a, std::string_view b) {
  throw OpError(os_error_message(err, a, b));
}

}  // namespace talmek
