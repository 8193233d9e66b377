// Path texts as Python's os.path and pathlib treat them, for the agent's tools: the platform
// layer's functions under the names the agent uses (no Python.h).
#pragma once

#include <string>
#include <string_view>

#include "common/os_error.h"
#include "platform/os.h"

namespace talmek::paths {

// os.path.expanduser: "~" and "~user" leading components; the text unchanged when the home
// directory cannot be determined.
inline std::string expanduser(std::string_view path) { return os::expanduser(path); }

// os.fsencode(text): the bytes handed to system calls. Throws OpError with the codec's message
// for a surrogate that is not an escaped byte, and with "embedded null byte" for a NUL.
inline std::string os_path(std::string_view text) { return os::os_path(text); }

// Path.exists(): the followed status can be had. Any failure means "no".
inline bool path_exists(std::string_view text) { return os::exists_text(text); }

// str(Path(text)).
inline std::string normalize(std::string_view path) { return os::normalize(path); }

// Path.parent of str(Path(text)), relative or absolute.
inline std::string_view pure_parent(std::string_view normalized) noexcept {
  return os::parent_of(normalized);
}

// Path(text).mkdir(parents=True, exist_ok=True). Throws OpError with CPython's message.
inline void make_dirs(std::string_view path) {
  try {
    os::make_dirs(path);
  } catch (const os::Failure& f) {
    throw OpError(f.message());
  }
}

}  // namespace talmek::paths
