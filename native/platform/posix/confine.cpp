// Confinement on POSIX: the roots held open, and paths opened beneath them without following a
// link on the way (openat2 where the kernel has it, one O_NOFOLLOW open per component otherwise).
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/os_error.h"
#include "platform/os.h"
#include "platform/posix/dir_access.h"

namespace talmek::os {

namespace {

// openat2(2) and its struct open_how (linux/openat2.h), spelled out here so that the build does
// not depend on how new the system's headers are.
constexpr long kSysOpenat2 = 437;
struct OpenHow {
  std::uint64_t flags, mode, resolve;
};
constexpr std::uint64_t kResolveNoMagiclinks = 0x02;
constexpr std::uint64_t kResolveNoSymlinks = 0x04;
constexpr std::uint64_t kResolveBeneath = 0x08;

// How often a path is resolved again when a link appears on it between resolution and open: a
// link that keeps being swapped in then fails the call (Loop) rather than retrying forever.
constexpr int kAttempts = 4;

// -1: not known yet; 0: not there (or refused by a seccomp filter, or switched off); 1: there.
std::atomic<int> g_openat2{-1};

int last_errno_fd(int err) noexcept { return -err; }

// Makes `fd` (a descriptor of this layer) one that exec does not pass on; O_PATH opens are given
// O_CLOEXEC, dup'ed ones F_DUPFD_CLOEXEC.
int dup_dir(int fd) noexcept {
  const int d = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  return d >= 0 ? d : last_errno_fd(errno);
}

// The directory `rel` (names separated by "/", none of them "." or "..", not empty) beneath
// `root`, opened O_PATH without following any link: a descriptor, or minus the errno (ELOOP for a
// link on the way, ENOTDIR for a non-directory).
int open_dir_beneath(int root, const std::string& rel) noexcept {
  if (g_openat2.load(std::memory_order_relaxed) != 0) {
    OpenHow how{O_PATH | O_DIRECTORY | O_CLOEXEC, 0,
                kResolveBeneath | kResolveNoSymlinks | kResolveNoMagiclinks};
    const long fd = ::syscall(kSysOpenat2, root, rel.c_str(), &how, sizeof how);
    if (fd >= 0) {
      g_openat2.store(1, std::memory_order_relaxed);
      return static_cast<int>(fd);
    }
    const int err = errno;
    // ENOSYS: an older kernel; EPERM: a seccomp filter that refuses system calls it does not
    // know (container runtimes of the time of 5.6); E2BIG/EINVAL: the struct not understood.
    if (!(err == ENOSYS || err == EPERM || err == E2BIG ||
          (err == EINVAL && g_openat2.load(std::memory_order_relaxed) == -1)))
      return -err;
    g_openat2.store(0, std::memory_order_relaxed);
  }
  // One component at a time, each opened O_NOFOLLOW and checked to be a directory (O_PATH with
  // O_NOFOLLOW would open a link itself rather than fail).
  int cur = dup_dir(root);
  if (cur < 0) return cur;
  std::size_t start = 0;
  std::string name;
  while (start <= rel.size()) {
    std::size_t end = rel.find('/', start);
    if (end == std::string::npos) end = rel.size();
    name.assign(rel, start, end - start);
    start = end + 1;
    const int next = ::openat(cur, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = next < 0 ? errno : 0;
    struct stat st;
    if (next >= 0 && (::fstat(next, &st) != 0 || !S_ISDIR(st.st_mode))) {
      err = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
      ::close(next);
    } else if (next < 0 && err == ENOTDIR &&
               ::fstatat(cur, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      err = ELOOP;
    }
    ::close(cur);
    if (err) return -err;
    cur = next;
  }
  return cur;
}

// True for an absolute path without ".", ".." or empty components: one that resolution could
// only change through links.
bool is_plain_absolute(std::string_view p) noexcept {
  if (p.empty() || p[0] != '/') return false;
  std::size_t start = 1;
  while (start < p.size()) {
    std::size_t end = p.find('/', start);
    if (end == std::string_view::npos) end = p.size();
    const std::string_view c = p.substr(start, end - start);
    if (c.empty() || c == "." || c == "..") return false;
    start = end + 1;
  }
  return p.size() == 1 || p.back() != '/';
}

// resolve() of an OS path as an OS path, for the call's view of the final component.
bool resolve_os(std::string_view os_path, bool follow, OsPath& out) noexcept {
  try {
    const std::string text = to_text(os_path);
    std::string resolved;
    if (follow) {
      resolved = resolve(text);
    } else {
      const std::string p = normalize(text);
      const std::string_view name = name_of(p);
      if (is_root(p) || name.empty() || name == "." || name == "..")
        resolved = resolve(p);
      else
        resolved = join(resolve(parent_of(p)), name);
    }
    std::string error;
    return to_os_path(resolved, out, error);
  } catch (...) {
    return false;
  }
}

}  // namespace

Error Roots::open_root(Root& r) {
  std::string error;
  if (!to_os_path(r.text, r.os, error)) return Error::of(ErrorKind::InvalidName);
  const int fd = ::open(r.os.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    struct stat st;
    if (err == ENOTDIR || (::stat(r.os.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)))
      return Error::of(ErrorKind::NotDirectory);
    return Error::from_errno(err);
  }
  DirAccess::set(r.dir, fd);
  return {};
}

int Roots::open_at_once(std::string_view os_path, int flags) const noexcept {
  if (g_openat2.load(std::memory_order_relaxed) != 1 || !is_plain_absolute(os_path))
    return kNotAtOnce;
  for (const Root& root : m_roots) {
    if (!contains(root.os, os_path) || os_path.size() == root.os.size()) continue;
    std::string_view rel = os_path.substr(root.os.size());
    if (!rel.empty() && rel[0] == '/') rel.remove_prefix(1);
    const std::string r(rel);
    OpenHow how{static_cast<std::uint64_t>(flags), 0666,
                kResolveBeneath | kResolveNoSymlinks | kResolveNoMagiclinks};
    if (!(flags & O_CREAT)) how.mode = 0;
    const long fd = ::syscall(kSysOpenat2, DirAccess::fd(root.dir), r.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == ELOOP || errno == EXDEV || errno == EAGAIN) return kNotAtOnce;
    return -errno;
  }
  return kNotAtOnce;
}

Error Roots::beneath(std::string_view os_path, bool follow, Beneath& out, bool check_final) const {
  OsPath candidate;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // The first attempt takes a plain absolute path as it is: when the open below meets no link,
    // it was already resolved, and one system call has proved it inside its root.
    const bool fast = attempt == 0;
    if (fast) {
      if (!is_plain_absolute(os_path)) continue;
      candidate.assign(os_path);
    } else if (!resolve_os(os_path, follow, candidate)) {
      return Error::of(ErrorKind::InvalidName);
    }
    std::size_t i = npos;
    for (std::size_t k = 0; k < m_roots.size() && i == npos; ++k)
      if (contains(m_roots[k].os, candidate)) i = k;
    if (i == npos) {
      if (fast) continue;  // perhaps it names a root through a link
      return Error::outside();
    }
    const Root& root = m_roots[i];
    const int root_fd = DirAccess::fd(root.dir);
    if (candidate.size() == root.os.size()) {
      const int d = dup_dir(root_fd);
      if (d < 0) return Error::from_errno(-d);
      DirAccess::set(out.dir, d);
      out.name = ".";
      return {};
    }
    std::string_view rel = std::string_view(candidate).substr(root.os.size());
    if (!rel.empty() && rel[0] == '/') rel.remove_prefix(1);
    const std::size_t slash = rel.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
    int d;
    if (slash == std::string_view::npos) {
      d = dup_dir(root_fd);
    } else {
      d = open_dir_beneath(root_fd, std::string(rel.substr(0, slash)));
    }
    if (d < 0) {
      if (d == -ELOOP || d == -EXDEV) continue;  // a link on the way: resolve it (again)
      return Error::from_errno(-d);
    }
    DirAccess::set(out.dir, d);
    out.name.assign(name);
    if (follow && (check_final || !fast)) {
      struct stat st;
      if (::fstatat(d, out.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        continue;  // the final name is a link: follow it by resolving
    }
    return {};
  }
  return Error::of(ErrorKind::Loop);
}

namespace detail {

Error locate(const OsPath& path, bool follow, At& at, bool lazy) {
  const Roots* roots = active_roots();
  if (!roots) {
    at.name = path.c_str();
    at.nofollow = false;
    return {};
  }
  if (const Error e = roots->beneath(path, follow, at.where, !(follow && lazy))) return e;
  at.name = at.where.name.c_str();
  at.nofollow = true;
  return {};
}

}  // namespace detail

void use_openat2(bool on) noexcept { g_openat2.store(on ? -1 : 0); }

}  // namespace talmek::os
