// Small helpers shared by the tree operations: CPython's OSError wording for paths held as
// operating-system bytes, testing and reading links, and path joining.
//
// The tree code works on paths as the bytes the system calls take (os.fsencode of the resolved
// text), so that a walk never re-encodes a path per entry; texts are made again with
// os.fsdecode only when a message names a path, which gives back exactly the text the caller's
// path resolved to.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "common/os_error.h"
#include "common/text.h"

namespace talmek::scrivel::tree {

// The text of an OS path, as os.fsdecode gives it.
inline std::string text_of(std::string_view os_bytes) { return text::fsdecode(os_bytes); }

// OSError(err, strerror, path) and OSError(err, strerror, a, b) as str() words them.
[[noreturn]] inline void raise_os(int err, std::string_view os_bytes) {
  throw_os_error(err, text_of(os_bytes));
}
[[noreturn]] inline void raise_os(int err, std::string_view a, std::string_view b) {
  throw_os_error(err, text_of(a), text_of(b));
}

// os.path.islink: lstat() succeeds and finds a link.
inline bool is_link(const std::string& path) noexcept {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// os.readlink(path) as bytes. Throws OpError naming the path when it is not a readable link.
inline std::string readlink_bytes(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) raise_os(errno, path);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
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
