// Path(text).expanduser().resolve(): the path the worker works on.
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

}  // namespace talmek::scrivel
