// Writes that leave the old content or the new one, on POSIX (Linux): a temporary file beside
// the target that takes its owner, mode and extended attributes and is renamed over it, or the
// target itself written after room for the new content is reserved.
//
// Why these steps:
// - The rename is atomic: a reader, a crash or a kill -9 sees the old file or the new one. The
//   temporary file is flushed (fsync) before the rename, so that the rename never reaches the
//   disk before the data does. The directory is not flushed: after a power loss the name may
//   still lead to the old file, which is whole.
// - A rename gives the name a new inode. Whatever belongs to the inode and not to the content
//   must move with it: owner and group (fchown; a process that may not set them writes in place
//   instead), permission bits, extended attributes (ACLs are the system.posix_acl_* ones,
//   SELinux labels security.selinux). Other hard links would keep the old content, so a file
//   with more than one link is written in place; so is a target on another mount (a bind-mounted
//   file), which cannot be renamed over.
// - In place, the new length is reserved first with fallocate(FALLOC_FL_KEEP_SIZE), so that
//   ENOSPC and EDQUOT come before the first byte is overwritten; a file system without it gets
//   posix_fallocate, which glibc emulates by touching each block that is not allocated yet.
// - The metadata is given to the temporary file before the content is written, so that writing
//   clears set-user-ID bits and file capabilities exactly where an in-place write clears them.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/detail.h"
#include "platform/os.h"
#include "platform/posix/dir_access.h"

namespace talmek::os {

namespace {

Error err(int e) noexcept { return Error::from_errno(e); }
Error last() noexcept { return Error::from_errno(errno); }

constexpr int kMaxLinks = 40;  // the kernel's MAXSYMLINKS
// Bytes of the target's name kept in the temporary file's name (NAME_MAX is 255).
constexpr std::size_t kTempNamePrefix = 200;

bool is_space_error(int e) noexcept { return e == ENOSPC || e == EDQUOT || e == EFBIG; }

// Reserves room for bytes [offset, offset + len) of the open file. Only the lack of space is an
// error: a file system that cannot reserve is written without a reservation. `may_grow` allows
// posix_fallocate, which sets the file's length to at least offset + len.
Error reserve(int fd, off_t offset, off_t len, bool may_grow) noexcept {
  if (len <= 0) return {};
  int e;
  do {
    e = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, offset, len) == 0 ? 0 : errno;
  } while (e == EINTR);
  if (e == 0) return {};
  if (is_space_error(e)) return err(e);
  if ((e == EOPNOTSUPP || e == ENOSYS) && may_grow) {
    const int rc = ::posix_fallocate(fd, offset, len);
    if (is_space_error(rc)) return err(rc);
  }
  return {};
}

// The names of a file's extended attributes, each followed by '\0'; false when they cannot be
// listed (a file system without them lists none).
bool list_xattrs(int fd, std::string& names) {
  if (detail::xattr_sized(names, [&](char* b, std::size_t n) { return ::flistxattr(fd, b, n); }) >=
      0)
    return true;
  if (errno == ENOTSUP) {
    names.clear();
    return true;
  }
  return false;
}

bool has_name(const std::string& names, const char* name) {
  for (std::size_t at = 0; at < names.size();) {
    const char* n = names.c_str() + at;
    if (std::strcmp(n, name) == 0) return true;
    at += std::strlen(n) + 1;
  }
  return false;
}

// Gives `to` exactly the extended attributes of `from`: each copied, and those that `to` got by
// itself (a default ACL of the directory) removed. False when one cannot be.
bool copy_xattrs_exactly(int from, const std::string& names, int to) {
  std::string value;
  for (std::size_t at = 0; at < names.size();) {
    const char* name = names.c_str() + at;
    at += std::strlen(name) + 1;
    if (detail::xattr_sized(
            value, [&](char* b, std::size_t n) { return ::fgetxattr(from, name, b, n); }) < 0)
      return false;
    if (::fsetxattr(to, name, value.data(), value.size(), 0) != 0) return false;
  }
  std::string own;
  if (!list_xattrs(to, own)) return false;
  for (std::size_t at = 0; at < own.size();) {
    const char* name = own.c_str() + at;
    at += std::strlen(name) + 1;
    if (!has_name(names, name) && ::fremovexattr(to, name) != 0 && errno != ENODATA) return false;
  }
  return true;
}

// A name for the temporary file beside `name`: hidden, recognisably its, and unlikely to exist.
std::string temp_name(std::string_view name, int attempt) {
  static std::uint64_t state =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                                 (std::uint64_t(::getpid()) << 32));
  // splitmix64
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(attempt));
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  static const char hex[] = "0123456789abcdef";
  std::string out = ".";
  out.append(name.substr(0, kTempNamePrefix));
  out += '.';
  for (int i = 0; i < 8; ++i) out += hex[(z >> (i * 4)) & 0xF];
  out += ".tmp";
  return out;
}

// readlinkat(dir, name).
Error read_link_at(int dfd, const std::string& name, std::string& target) {
  target.assign(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(dfd, name.c_str(), target.data(), target.size());
    if (n < 0) return last();
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return {};
    }
    target.resize(target.size() * 2);
  }
}

// Follows links at `name` inside `*dir` until it names something else (or nothing): `*dir` and
// `name` then designate the entry, `holder` owning a directory opened on the way. `exists`
// false: nothing is there (a dangling link's target is created, as open() creates it).
Error follow_leaf(const Dir*& dir, Dir& holder, std::string& name, bool follow, struct stat& st,
                  bool& exists) {
  for (int hops = 0;; ++hops) {
    if (::fstatat(DirAccess::fd(*dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return last();
      exists = false;
      return {};
    }
    exists = true;
    if (!S_ISLNK(st.st_mode)) return {};
    // With active roots the name was reached beneath them with its links already followed: a
    // link found now was swapped in, and following it could lead out.
    if (!follow || hops == kMaxLinks || active_roots()) return err(ELOOP);
    std::string target;
    if (const Error e = read_link_at(DirAccess::fd(*dir), name, target)) return e;
    const std::size_t slash = target.rfind('/');
    std::string leaf = slash == std::string::npos ? target : target.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") return err(EISDIR);
    if (slash != std::string::npos) {
      const std::string parent = slash == 0 ? std::string("/") : target.substr(0, slash);
      const int base = parent[0] == '/' ? AT_FDCWD : DirAccess::fd(*dir);
      const int fd = ::openat(base, parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) return last();
      Dir next;
      DirAccess::set(next, fd);
      holder = std::move(next);
      dir = &holder;
    }
    name = std::move(leaf);
  }
}

void clear_nonblocking(int fd) noexcept {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0 && (fl & O_NONBLOCK)) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

Error open_parent(const OsPath& path, Dir& dir, std::string& name) {
  if (const Roots* roots = active_roots()) {
    // Beneath the roots: links at the name are followed there, within them, and the writes
    // below follow none again (a link swapped in since fails with Loop).
    Beneath where;
    if (const Error e = roots->beneath(path, true, where)) return e;
    if (where.name.empty() || where.name == "." || where.name == "..") return err(EISDIR);
    dir = std::move(where.dir);
    name = std::move(where.name);
    return {};
  }
  const std::size_t slash = path.rfind('/');
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (path.empty()) return err(ENOENT);
  if (name.empty() || name == "." || name == "..") return err(EISDIR);
  if (slash == std::string::npos) {
    dir = Dir();
    return {};
  }
  return open_dir(slash == 0 ? std::string("/") : path.substr(0, slash), dir);
}

Error open_dir_nofollow(const OsPath& path, Dir& out) {
  if (path.empty() || path[0] != '/') return err(EINVAL);
#ifdef SYS_openat2
  struct {
    std::uint64_t flags, mode, resolve;
  } how{O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, 0x04 /* RESOLVE_NO_SYMLINKS */};
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd >= 0) {
    DirAccess::set(out, static_cast<int>(fd));
    return {};
  }
  if (errno != ENOSYS && errno != EPERM && errno != EINVAL)
    return last();  // EPERM: a seccomp filter
#endif
  // One component at a time from the root, each opened without following a link.
  const int root = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return last();
  Dir at;
  DirAccess::set(at, root);
  for (std::size_t i = 1; i < path.size();) {
    std::size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) {
      const std::string part = path.substr(i, j - i);
      const int next = ::openat(DirAccess::fd(at), part.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0) return last();
      DirAccess::set(at, next);
    }
    i = j + 1;
  }
  out = std::move(at);
  return {};
}

Replacement::~Replacement() { abandon(); }

void Replacement::abandon() noexcept {
  if (!m_temp.empty() && !m_committed && m_dir) {
    m_file.close();
    ::unlinkat(DirAccess::fd(*m_dir), m_temp.c_str(), 0);
  }
  m_temp.clear();
}

Error Replacement::begin(const Dir& dir, std::string_view name, std::int64_t size, bool follow,
                         bool force_in_place) {
  m_dir = &dir;
  m_name.assign(name);
  struct stat st;
  bool exists = false;
  if (const Error e = follow_leaf(m_dir, m_followed, m_name, follow, st, exists)) return e;
  const int dfd = DirAccess::fd(*m_dir);
  const int nofollow = follow ? 0 : O_NOFOLLOW;

  // In place: open() without O_TRUNC; for a regular file room is reserved before anything is
  // overwritten, and commit() cuts the file to what was written.
  auto in_place = [&]() -> Error {
    m_in_place = true;
    m_file.adopt(::openat(dfd, m_name.c_str(),
                          O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | nofollow, 0666));
    if (!m_file.valid()) return last();
    struct stat now;
    if (::fstat(m_file.handle(), &now) != 0) return last();
    if (!S_ISREG(now.st_mode)) return {};
    clear_nonblocking(m_file.handle());
    return reserve(m_file.handle(), 0, static_cast<off_t>(size), true);
  };

  if (exists && !S_ISREG(st.st_mode)) {
    // A FIFO, a device or a directory: what open(path, "w") does with it.
    m_in_place = true;
    m_file.adopt(::openat(
        dfd, m_name.c_str(),
        O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | nofollow, 0666));
    if (!m_file.valid()) return last();
    return {};
  }
  if (force_in_place || (exists && st.st_nlink > 1)) return in_place();
  if (exists) {
    struct stat dst;
    if (::fstat(dfd, &dst) == 0 && dst.st_dev != st.st_dev) return in_place();  // a mount point
  }

  // The temporary file. Any failure to make one (a directory we may not write, no inode left)
  // leaves the target to be written in place, where the true error shows if it fails too.
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string temp = temp_name(m_name, attempt);
    const int fd = ::openat(dfd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      m_file.adopt(fd);
      m_temp = std::move(temp);
      break;
    }
    if (errno != EEXIST) break;
  }
  if (m_temp.empty()) return in_place();
  if (!exists) return {};

  // What belongs to the inode goes to the new one; where something cannot, in place.
  const int tfd = m_file.handle();
  auto give_up = [&]() -> Error {
    abandon();
    m_original.close();
    return in_place();
  };
  m_original.adopt(
      ::openat(dfd, m_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat ost, tst;
  if (!m_original.valid() || ::fstat(m_original.handle(), &ost) != 0 || ost.st_ino != st.st_ino ||
      ost.st_dev != st.st_dev || ::fstat(tfd, &tst) != 0)
    return give_up();
  if ((tst.st_uid != ost.st_uid || tst.st_gid != ost.st_gid) &&
      ::fchown(tfd, ost.st_uid, ost.st_gid) != 0)
    return give_up();
  std::string names;
  if (!list_xattrs(m_original.handle(), names) ||
      !copy_xattrs_exactly(m_original.handle(), names, tfd))
    return give_up();
  if (::fchmod(tfd, ost.st_mode & 07777) != 0) return give_up();
  m_original.close();
  return {};
}

Error Replacement::commit(std::int64_t* size_after) {
  const int fd = m_file.handle();
  struct stat st;
  if (m_in_place) {
    if (::fstat(fd, &st) != 0) return last();
    if (S_ISREG(st.st_mode)) {
      const off_t end = ::lseek(fd, 0, SEEK_CUR);
      if (end < 0 || ::ftruncate(fd, end) != 0 || ::fsync(fd) != 0) return last();
      if (::fstat(fd, &st) != 0) return last();
    }
    if (size_after) *size_after = static_cast<std::int64_t>(st.st_size);
    if (const Error e = m_file.close()) return e;
    m_committed = true;
    return {};
  }
  if (::fsync(fd) != 0 || ::fstat(fd, &st) != 0) return last();
  if (const Error e = m_file.close()) return e;
  const int dfd = DirAccess::fd(*m_dir);
  if (::renameat(dfd, m_temp.c_str(), dfd, m_name.c_str()) != 0) return last();
  m_committed = true;
  m_temp.clear();
  if (size_after) *size_after = static_cast<std::int64_t>(st.st_size);
  return {};
}

Error append_file(const Dir& dir, std::string_view name, std::string_view bytes,
                  std::int64_t* size_after) {
  const std::string n(name);
  File f;
  const int nofollow = active_roots() ? O_NOFOLLOW : 0;  // see follow_leaf
  f.adopt(::openat(DirAccess::fd(dir), n.c_str(),
                   O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | nofollow,
                   0666));
  if (!f.valid()) return last();
  struct stat st;
  if (::fstat(f.handle(), &st) != 0) return last();
  const bool regular = S_ISREG(st.st_mode);
  if (regular) {
    clear_nonblocking(f.handle());
    if (const Error e = reserve(f.handle(), st.st_size, static_cast<off_t>(bytes.size()), false))
      return e;
  }
  if (const Error e = write_all(f, bytes)) {
    if (regular) (void)::ftruncate(f.handle(), st.st_size);  // nothing of the text stays behind
    return e;
  }
  if (::fstat(f.handle(), &st) != 0) return last();
  if (size_after) *size_after = static_cast<std::int64_t>(st.st_size);
  return f.close();
}

bool detail::out_of_room(const Error& e) noexcept { return e.code == ENOSPC || e.code == EDQUOT; }

}  // namespace talmek::os
