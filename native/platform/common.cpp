// What the layer builds from its own primitives, the same on every platform.
#include "platform/detail.h"
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

Error replace_file(const Dir& dir, std::string_view name, std::string_view bytes,
                   std::int64_t* size_after, bool follow) {
  const auto size = static_cast<std::int64_t>(bytes.size());
  {
    Replacement r;
    if (const Error e = r.begin(dir, name, size, follow)) return e;
    const Error e = write_all(r.file(), bytes);
    if (!e) return r.commit(size_after);
    if (r.in_place() || !detail::out_of_room(e)) return e;
  }  // the temporary file is gone, and the room it took
  Replacement r;
  if (const Error e = r.begin(dir, name, size, follow, /*in_place=*/true)) return e;
  if (const Error e = write_all(r.file(), bytes)) return e;
  return r.commit(size_after);
}

}  // namespace talmek::os
