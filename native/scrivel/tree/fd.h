// Small helpers shared by the tree operations: an owning file descriptor, and CPython's OSError
// wording for paths held as operating-system bytes.
//
// The tree code works on paths as the bytes the system calls take (os.fsencode of the resolved
// text), so that a walk never re-encodes a path per entry; texts are made again with
// os.fsdecode only when a message names a path, which gives back exactly the text the caller's
// path resolved to.
#pragma once

#include <unistd.h>

#include <string>
#include <string_view>

#include "common/os_error.h"
#include "common/text.h"

namespace talmek::scrivel::tree {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      m_fd = other.release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return m_fd; }
  bool valid() const noexcept { return m_fd >= 0; }
  int release() noexcept {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void reset() noexcept {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  // Closes now and returns close()'s result, so that a deferred write error is not lost.
  int close_now() noexcept {
    const int rc = ::close(m_fd);
    m_fd = -1;
    return rc;
  }

 private:
  int m_fd = -1;
};

// The text of an OS path, as os.fsdecode gives it.
inline std::string text_of(std::string_view os_bytes) { return text::fsdecode(os_bytes); }

// OSError(err, strerror, path) and OSError(err, strerror, a, b) as str() words them.
[[noreturn]] inline void raise_os(int err, std::string_view os_bytes) {
  throw_os_error(err, text_of(os_bytes));
}
[[noreturn]] inline void raise_os(int err, std::string_view a, std::string_view b) {
  throw_os_error(err, text_of(a), text_of(b));
}

// os.path.join(a, b) for a directory path and one entry name.
inline std::string join(std::string_view dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  out += dir;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

// os.path.basename after stripping trailing separators (shutil._basename).
inline std::string_view basename(std::string_view path) noexcept {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t at = path.rfind('/');
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace talmek::scrivel::tree
