// Port of shutil.move (CPython 3.14) with its default copy function, copy2.
//
// Left out: shutil's refusal of immutable sources, which looks at st_flags (BSD and macOS
// only), and its macOS-only write-permission check. On Linux and Windows neither applies.
#include "scrivel/tree/move.h"

#include "common/os_error.h"
#include "platform/os.h"
#include "scrivel/tree/copy.h"
#include "scrivel/tree/os_paths.h"
#include "scrivel/tree/rmtree.h"

namespace talmek::scrivel::tree {

namespace {

bool isdir(const os::OsPath& path) noexcept {
  os::Stat st;
  return !os::stat(path, st) && st.is_dir();
}

// os.path.samefile, False on any error.
bool samefile(const os::OsPath& a, const os::OsPath& b) noexcept {
  os::Stat sa, sb;
  return !os::stat(a, sa) && !os::stat(b, sb) && sa.same_file(sb);
}

void rename_or_raise(const os::OsPath& src, const os::OsPath& dst) {
  if (const os::Error e = os::rename(src, dst)) os::raise(e, src, dst);
}

}  // namespace

std::string move_into_itself_text(const std::string& src, const std::string& dst) {
  return "Cannot move a directory '" + text_of(src) + "' into itself '" + text_of(dst) + "'.";
}

std::string move(const std::string& src, const std::string& dst) {
  std::string real_dst = dst;
  if (isdir(dst)) {
    if (samefile(src, dst) && !is_link(src)) {
      // We might be on a case-insensitive file system: rename anyway.
      rename_or_raise(src, dst);
      return dst;
    }
    // _basename, not basename: a trailing separator must not give an empty name.
    real_dst = join(dst, basename(src));
    if (os::exists(real_dst))
      throw OpError("Destination path '" + text_of(real_dst) + "' already exists");
  }
  if (!os::rename(src, real_dst)) return real_dst;
  // Any refused rename (another device, a directory into itself, on Windows a file at the
  // target, ...) falls back to a copy.
  if (is_link(src)) {
    const os::OsPath linkto = readlink_path(src);
    if (const os::Error e = os::symlink(linkto, real_dst)) os::raise(e, linkto, real_dst);
    if (const os::Error e = os::unlink(src)) os::raise(e, src);
  } else if (isdir(src)) {
    if (destinsrc(src, dst)) throw OpError(move_into_itself_text(src, dst));
    copytree(src, real_dst, /*symlinks=*/true);
    rmtree(src);
  } else {
    copy2(src, real_dst);
    if (const os::Error e = os::unlink(src)) os::raise(e, src);
  }
  return real_dst;
}

}  // namespace talmek::scrivel::tree
