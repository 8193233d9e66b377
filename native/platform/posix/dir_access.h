// The descriptor inside an os::Dir, for the POSIX files of the layer (not for callers).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include "platform/os.h"

namespace talmek::os {

struct DirAccess {
  // The directory's descriptor; AT_FDCWD for a Dir that holds none (names are then whole paths).
  static int fd(const Dir& d) noexcept { return d.m_fd >= 0 ? d.m_fd : AT_FDCWD; }
  static void set(Dir& d, int fd) noexcept {
    if (d.m_fd >= 0) ::close(d.m_fd);
    d.m_fd = fd;
  }
};

}  // namespace talmek::os
