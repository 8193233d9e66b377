// Path(text).expanduser().resolve(), and the bytes a path text becomes for system calls.
#include "scrivel/path.h"

#include "common/os_error.h"
#include "common/paths.h"
#include "common/text.h"

namespace talmek::scrivel {

std::string resolve_path(std::string_view text_in) {
  std::string p = paths::normalize(text_in);
  if (p[0] == '~') {
    const std::size_t slash = p.find('/');
    const std::string first = p.substr(0, slash);
    std::string home = paths::expanduser(first);
    if (!home.empty() && home[0] == '~') throw OpError("Could not determine home directory.");
    if (slash != std::string::npos) home = paths::join(home, std::string_view(p).substr(slash + 1));
    p = paths::normalize(home);
  }
  return paths::realpath(p);
}

std::string os_path(std::string_view text_in) {
  std::string out, error;
  if (!text::fsencode(text_in, out, error)) throw OpError(error);
  // A NUL would silently cut the path short at the system call; open() refuses it this way.
  if (out.find('\0') != std::string::npos) throw OpError("embedded null byte");
  return out;
}

}  // namespace talmek::scrivel
