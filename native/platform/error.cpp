// Errors as values and their wording, common to both implementations.
#include <cerrno>
#include <cstring>

#include "common/os_error.h"
#include "common/text.h"
#include "platform/detail.h"
#include "platform/os.h"

namespace talmek::os {

Error Error::from_errno(int err) noexcept {
  ErrorKind kind = ErrorKind::Other;
  switch (err) {
    case 0:
      kind = ErrorKind::None;
      break;
    case ENOENT:
      kind = ErrorKind::NotFound;
      break;
    case EEXIST:
      kind = ErrorKind::Exists;
      break;
    case EACCES:
    case EPERM:
      kind = ErrorKind::PermissionDenied;
      break;
    case EISDIR:
      kind = ErrorKind::IsDirectory;
      break;
    case ENOTDIR:
      kind = ErrorKind::NotDirectory;
      break;
    case ENOTEMPTY:
      kind = ErrorKind::NotEmpty;
      break;
    case EXDEV:
      kind = ErrorKind::CrossDevice;
      break;
    case EAGAIN:
#if defined(EWOULDBLOCK) && EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      kind = ErrorKind::WouldBlock;
      break;
    case EINTR:
      kind = ErrorKind::Interrupted;
      break;
    case EPIPE:
      kind = ErrorKind::BrokenPipe;
      break;
#ifdef ELOOP
    case ELOOP:
      kind = ErrorKind::Loop;
      break;
#endif
    default:
      break;
  }
  return Error{err, ErrorStyle::Errno, kind};
}

Error Error::of(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::None:
      return {};
    case ErrorKind::NotFound:
      return from_errno(ENOENT);
    case ErrorKind::Exists:
      return from_errno(EEXIST);
    case ErrorKind::PermissionDenied:
      return from_errno(EACCES);
    case ErrorKind::IsDirectory:
      return from_errno(EISDIR);
    case ErrorKind::NotDirectory:
      return from_errno(ENOTDIR);
    case ErrorKind::NotEmpty:
      return from_errno(ENOTEMPTY);
    case ErrorKind::CrossDevice:
      return from_errno(EXDEV);
    case ErrorKind::WouldBlock:
      return from_errno(EAGAIN);
    case ErrorKind::Interrupted:
      return from_errno(EINTR);
    case ErrorKind::BrokenPipe:
      return from_errno(EPIPE);
#ifdef ELOOP
    case ErrorKind::Loop:
      return from_errno(ELOOP);
#endif
    case ErrorKind::InvalidName:
      return from_errno(EINVAL);
    default:
      return Error{EINVAL, ErrorStyle::Errno, kind};
  }
}

Error Error::outside() noexcept {
  return Error{EACCES, ErrorStyle::Outside, ErrorKind::PermissionDenied};
}

namespace {
constexpr std::string_view kOutside = "Path outside the allowed directories";
}  // namespace

std::string describe(const Error& e) {
  if (e.style == ErrorStyle::Outside) return std::string(kOutside);
  if (e.style == ErrorStyle::WinError)
    return "[WinError " + std::to_string(e.code) + "] " + detail::win_error_text(e.code);
  return "[Errno " + std::to_string(e.code) + "] " + std::strerror(e.code);
}

std::string_view python_class(const Error& e) noexcept {
  switch (e.kind) {
    case ErrorKind::NotFound:
      return "FileNotFoundError";
    case ErrorKind::Exists:
      return "FileExistsError";
    case ErrorKind::PermissionDenied:
      return "PermissionError";
    case ErrorKind::IsDirectory:
      return "IsADirectoryError";
    case ErrorKind::NotDirectory:
      return "NotADirectoryError";
    case ErrorKind::WouldBlock:
      return "BlockingIOError";
    case ErrorKind::Interrupted:
      return "InterruptedError";
    case ErrorKind::BrokenPipe:
      return "BrokenPipeError";
    default:
      return "OSError";
  }
}

std::string Failure::message() const {
  std::string out = describe(m_error);
  // The same words as the refusal of a path an operation was given: the path as it is, unquoted.
  if (m_error.is_outside()) {
    if (m_paths >= 1) out.append(": ").append(m_path);
    return out;
  }
  if (m_paths >= 1) {
    out += ": ";
    out += text::py_repr(m_path);
  }
  if (m_paths == 2) {
    out += " -> ";
    out += text::py_repr(m_path2);
  }
  return out;
}

const char* Failure::what() const noexcept {
  if (m_what.empty()) {
    try {
      m_what = message();
    } catch (...) {
      return "OSError";
    }
  }
  return m_what.c_str();
}

void raise(Error e, std::string_view os_path) { throw Failure(e, to_text(os_path)); }

void raise(Error e, std::string_view os_a, std::string_view os_b) {
  throw Failure(e, to_text(os_a), to_text(os_b));
}

void raise(Error e) { throw Failure(e); }

OsPath os_path(std::string_view text) {
  OsPath out;
  std::string error;
  if (!to_os_path(text, out, error)) throw OpError(error);
  return out;
}

bool exists_text(std::string_view text) noexcept {
  try {
    OsPath p;
    std::string error;
    return to_os_path(text, p, error) && exists(p);
  } catch (...) {
    return false;
  }
}

}  // namespace talmek::os
