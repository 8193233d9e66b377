// The handle and path inside an os::Dir, for the Windows files of the layer (not for callers).
#pragma once

#include <windows.h>

#include <string>

#include "platform/os.h"

namespace talmek::os {

struct DirAccess {
  static HANDLE handle(const Dir& d) noexcept { return d.m_h; }
  static const std::string& path(const Dir& d) noexcept { return d.m_path; }
  static void set(Dir& d, HANDLE h, std::string path) noexcept {
    if (d.m_h != INVALID_HANDLE_VALUE) CloseHandle(d.m_h);
    d.m_h = h;
    d.m_path = std::move(path);
  }
};

}  // namespace talmek::os
