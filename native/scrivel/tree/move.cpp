// Port of shutil.move (CPython 3.14) with its default copy function, copy2.
//
// Left out: shutil's refusal of immutable sources, which looks at st_flags (BSD and macOS
// only), and its macOS-only write-permission check. On Linux neither applies.
#include "scrivel/tree/move.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/os_error.h"
#include "scrivel/tree/copy.h"
#include "scrivel/tree/os_paths.h"
#include "scrivel/tree/rmtree.h"

namespace talmek::scrivel::tree {

namespace {

bool stat_ok(const std::string& path, struct stat& st, bool follow) noexcept {
  return (follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0;
}

bool isdir(const std::string& path) noexcept {
  struct stat st;
  return stat_ok(path, st, true) && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) noexcept {
  struct stat st;
  return stat_ok(path, st, true);
}

// os.path.samefile, False on any error.
bool samefile(const std::string& a, const std::string& b) noexcept {
  struct stat sa, sb;
  return stat_ok(a, sa, true) && stat_ok(b, sb, true) && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void rename_or_raise(const std::string& src, const std::string& dst) {
  if (::rename(src.c_str(), dst.c_str()) != 0) raise_os(errno, src, dst);
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
    if (exists(real_dst))
      throw OpError("Destination path '" + text_of(real_dst) + "' already exists");
  }
  if (::rename(src.c_str(), real_dst.c_str()) == 0) return real_dst;
  // Any refused rename (another device, a directory into itself, ...) falls back to a copy.
  if (is_link(src)) {
    const std::string linkto = readlink_bytes(src);
    if (::symlink(linkto.c_str(), real_dst.c_str()) != 0) raise_os(errno, linkto, real_dst);
    if (::unlink(src.c_str()) != 0) raise_os(errno, src);
  } else if (isdir(src)) {
    if (destinsrc(src, dst)) throw OpError(move_into_itself_text(src, dst));
    copytree(src, real_dst, /*symlinks=*/true);
    rmtree(src);
  } else {
    copy2(src, real_dst);
    if (::unlink(src.c_str()) != 0) raise_os(errno, src);
  }
  return real_dst;
}

}  // namespace talmek::scrivel::tree
