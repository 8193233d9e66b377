// Port of shutil._rmtree_safe_fd / _rmtree_safe_fd_step (CPython 3.14).
//
// The walk holds an explicit stack, as CPython does, so that depth costs heap and not C stack.
// Each directory is opened relative to its parent's descriptor with O_NOFOLLOW and then
// compared with the lstat() taken before the open: a directory swapped for a link between the
// two can never lead the removal outside the tree.
//
// Deliberate differences from CPython:
// - A failed unlink() names the entry's full path. CPython's inner handler re-raises into the
//   outer one, which overwrites the file name with the containing directory's path.
// - An entry that was a directory when listed but is a link (or a file) when opened is unlinked
//   as what it now is; CPython raises "Cannot call rmtree on a symbolic link", whose str() is
//   the unhelpful "[Errno None] None: '<path>'".
#include "scrivel/tree/rmtree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/os_error.h"
#include "scrivel/tree/os_paths.h"

namespace talmek::scrivel::tree {

namespace {

enum class Func { lstat, close, rmdir };

struct Item {
  Func func;
  int dirfd;            // AT_FDCWD for the top of the tree
  std::string path;     // full path, for messages
  std::size_t name_at;  // where the name relative to dirfd starts in `path`
  bool top;             // orig_entry is None
};

struct Entry {
  std::string name;
  unsigned char type;
};

// os.scandir(fd): lists through a duplicate, leaving `fd` open and positioned for the caller.
std::vector<Entry> list_fd(int fd, int& err) {
  std::vector<Entry> out;
  const int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup < 0) {
    err = errno;
    return out;
  }
  DIR* dir = ::fdopendir(dup);
  if (!dir) {
    err = errno;
    ::close(dup);
    return out;
  }
  ::rewinddir(dir);
  for (;;) {
    errno = 0;
    const struct dirent* d = ::readdir(dir);
    if (!d) {
      err = errno;
      break;
    }
    const char* n = d->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    out.push_back({std::string(n), d->d_type});
  }
  ::closedir(dir);
  return out;
}

bool same_stat(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;  // os.path.samestat
}

// One step of the walk. Returns normally or throws OpError; fds pushed on the stack are closed
// by the caller whatever happens.
void rmtree_step(std::vector<Item>& stack) {
  Item item = std::move(stack.back());
  stack.pop_back();
  const char* name = item.path.c_str() + item.name_at;
  Func func = item.func;
  int err = 0;

  if (func == Func::close) {
    if (::close(item.dirfd) != 0 && errno != EINTR) raise_os(errno, item.path);
    return;
  }
  if (func == Func::rmdir) {
    if (::unlinkat(item.dirfd, name, AT_REMOVEDIR) == 0) return;
    err = errno;
    // An entry (not the top) that vanished meanwhile is passed over.
    if (err == ENOENT && !item.top) return;
    raise_os(err, item.path);
  }

  // func == lstat. The standard lstat()/open()/fstat() trick against link races.
  struct stat orig_st;
  if (::fstatat(item.dirfd, name, &orig_st, AT_SYMLINK_NOFOLLOW) != 0) {
    err = errno;
    if (err == ENOENT && !item.top) return;
    raise_os(err, item.path);
  }
  const int topfd =
      ::openat(item.dirfd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
  if (topfd < 0) {
    err = errno;
    if (err == ENOENT && !item.top) return;
    if ((err == ELOOP || err == ENOTDIR) && !item.top) {
      // No longer a directory: remove whatever is there now without following it.
      if (::unlinkat(item.dirfd, name, 0) == 0 || errno == ENOENT) return;
      raise_os(errno, item.path);
    }
    raise_os(err, item.path);
  }
  struct stat st;
  const bool fstat_ok = ::fstat(topfd, &st) == 0;
  const int fstat_err = errno;
  const bool same = fstat_ok && same_stat(orig_st, st);
  if (same) stack.push_back({Func::rmdir, item.dirfd, item.path, item.name_at, item.top});
  stack.push_back({Func::close, topfd, item.path, item.name_at, item.top});
  if (!fstat_ok) raise_os(fstat_err, item.path);
  if (!same)
    throw OpError("Cannot call rmtree on a symbolic link: " + text::py_repr(text_of(item.path)));

  std::vector<Entry> entries = list_fd(topfd, err);
  if (err != 0) raise_os(err, item.path);
  for (Entry& entry : entries) {
    std::string fullname = join(item.path, entry.name);
    const std::size_t name_at = fullname.size() - entry.name.size();
    // entry.is_dir(follow_symlinks=False)
    bool is_dir = entry.type == DT_DIR;
    if (entry.type == DT_UNKNOWN) {
      struct stat est;
      if (::fstatat(topfd, entry.name.c_str(), &est, AT_SYMLINK_NOFOLLOW) == 0) {
        is_dir = S_ISDIR(est.st_mode);
      } else if (errno == ENOENT) {
        continue;
      }
    }
    if (is_dir) {
      stack.push_back({Func::lstat, topfd, std::move(fullname), name_at, false});
      continue;
    }
    if (::unlinkat(topfd, entry.name.c_str(), 0) == 0 || errno == ENOENT) continue;
    raise_os(errno, fullname);
  }
}

}  // namespace

void rmtree(const std::string& path) {
  std::vector<Item> stack;
  stack.push_back({Func::lstat, AT_FDCWD, path, 0, true});
  try {
    while (!stack.empty()) rmtree_step(stack);
  } catch (...) {
    // Close any file descriptors still on the stack.
    for (const Item& item : stack) {
      if (item.func == Func::close) ::close(item.dirfd);
    }
    throw;
  }
}

}  // namespace talmek::scrivel::tree
