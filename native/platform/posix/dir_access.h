// What the POSIX files of the layer share about open directories and confinement (not for
// callers above the layer).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/os.h"

namespace talmek::os {

struct DirAccess {
  static int fd(const Dir& d) noexcept { return d.m_fd >= 0 ? d.m_fd : AT_FDCWD; }
  static void set(Dir& d, int fd) noexcept {
    if (d.m_fd >= 0) ::close(d.m_fd);
    d.m_fd = fd;
  }
};

namespace detail {

// Where a path-based call acts. Without active roots: the path itself, relative to the working
// directory (AT_FDCWD), so that the *at call is exactly the plain call. With roots: the parent
// opened beneath its root and the final name; `nofollow` is then set, and the call must not
// follow a link at the name.
struct At {
  Beneath where;
  const char* name = nullptr;
  bool nofollow = false;

  int fd() const noexcept { return DirAccess::fd(where.dir); }
  // The AT_SYMLINK_NOFOLLOW flag a call with `follow` takes here.
  int at_flags(bool follow) const noexcept {
    return (follow && !nofollow) ? 0 : AT_SYMLINK_NOFOLLOW;
  }
  // O_NOFOLLOW where the name must not be followed.
  int open_flags() const noexcept { return nofollow ? O_NOFOLLOW : 0; }
};

// Locates `path` for a call that follows links in its final component (`follow`) or not. With
// `lazy`, a final name that is a link is not looked for: the caller, whose call does not follow
// it (it fails with ELOOP, or reports a link), then locates again without `lazy`.
Error locate(const OsPath& path, bool follow, At& at, bool lazy = false);

// os.listxattr / os.getxattr: a size query, then the fetch into `buf`, again while the list or
// value keeps growing between the two. `call(buf, size)` is the xattr call; its result is
// returned, with errno set when it is negative (`buf` is then empty).
template <class Call>
ssize_t xattr_sized(std::string& buf, Call&& call) {
  for (;;) {
    const ssize_t want = call(nullptr, 0);
    if (want <= 0) {
      buf.clear();
      return want;
    }
    buf.resize(static_cast<std::size_t>(want));
    const ssize_t got = call(buf.data(), buf.size());
    if (got >= 0) {
      buf.resize(static_cast<std::size_t>(got));
      return got;
    }
    if (errno != ERANGE) return got;
  }
}

}  // namespace detail

}  // namespace talmek::os
