// Small helpers shared by the tree operations: CPython's OSError wording for paths held as
// operating-system bytes, and path joining.
//
// The tree code works on paths as the bytes the system calls take (os.fsencode of the resolved
// text), so that a walk never re-encodes a path per entry; texts are made again with
// os.fsdecode only when a message names a path, which gives back exactly the text the caller's
// path resolved to.
#pragma once

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
