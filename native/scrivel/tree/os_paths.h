// Small helpers shared by the tree operations: paths in the OS's form, testing and reading
// links, and joining, over the platform layer.
//
// The tree code works on paths in the form the system calls take (os.fsencode of the resolved
// text on POSIX), so that a walk never re-encodes a path per entry; texts are made again with
// os.fsdecode only when a message names a path, which gives back exactly the text the caller's
// path resolved to.
#pragma once

#include <string>
#include <string_view>

#include "platform/os.h"

namespace talmek::scrivel::tree {

// The text of an OS path, as os.fsdecode gives it.
inline std::string text_of(std::string_view os_path) { return os::to_text(os_path); }

// os.path.islink: lstat() succeeds and finds a link.
inline bool is_link(const os::OsPath& path) noexcept {
  os::Stat st;
  return !os::lstat(path, st) && st.type == os::FileType::Symlink;
}

// os.readlink(path). Throws os::Failure naming the path when it is not a readable link.
inline os::OsPath readlink_path(const os::OsPath& path) {
  os::OsPath target;
  if (const os::Error e = os::readlink(path, target)) os::raise(e, path);
  return target;
}

// os.path.join(a, b) for a directory path and one entry name.
inline std::string join(std::string_view dir, std::string_view name) { return os::join(dir, name); }

// os.path.basename after stripping trailing separators (shutil._basename).
inline std::string_view basename(std::string_view path) noexcept {
  while (path.size() > 1 && os::is_sep(path.back())) path.remove_suffix(1);
  std::size_t at = path.size();
  while (at > 0 && !os::is_sep(path[at - 1])) --at;
  return path.substr(at);
}

}  // namespace talmek::scrivel::tree
