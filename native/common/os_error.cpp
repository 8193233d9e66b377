// CPython's OSError wording for errno values, through the platform layer's error values.
#include "common/os_error.h"

#include "platform/os.h"

namespace talmek {

std::string os_error_message(int err) { return os::describe(os::Error::from_errno(err)); }

std::string os_error_message(int err, std::string_view path) {
  return os::Failure(os::Error::from_errno(err), std::string(path)).message();
}

std::string os_error_message(int err, std::string_view a, std::string_view b) {
  return os::Failure(os::Error::from_errno(err), std::string(a), std::string(b)).message();
}

void throw_os_error(int err, std::string_view path) { throw OpError(os_error_message(err, path)); }

void throw_os_error(int err, std::string_view a, std::string_view b) {
  throw OpError(os_error_message(err, a, b));
}

}  // namespace talmek
