// What the layer builds from its own primitives, the same on every platform.
#include "platform/os.h"

namespace talmek::os {

void make_dirs(std::string_view path) {
  // Try the directory; when its parent is missing, make the parent first.
  const OsPath p = os_path(path);
  Error err = mkdir(p);
  if (!err) return;
  if (err.is(ErrorKind::NotFound)) {
    const std::string_view parent = parent_of(path);
    if (parent != path) {
      make_dirs(parent);
      err = mkdir(p);
      if (!err) return;
    }
  }
  // exist_ok: an existing directory (a link to one included) is fine; anything else re-raises.
  Stat st;
  if (!err.is(ErrorKind::NotFound) && !stat(p, st) && st.is_dir()) return;
  throw Failure(err, std::string(path));
}

}  // namespace talmek::os
