// The layer on POSIX (Linux): files, status, directories, tree changes, copy primitives and the
// standard streams, over the system calls.
#include "platform/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/detail.h"
#include "platform/posix/dir_access.h"

namespace talmek::os {

namespace detail {
std::string win_error_text(int) { return {}; }
}  // namespace detail

namespace {

Error last() noexcept { return Error::from_errno(errno); }

FileType type_of(mode_t m) noexcept {
  if (S_ISREG(m)) return FileType::Regular;
  if (S_ISDIR(m)) return FileType::Directory;
  if (S_ISLNK(m)) return FileType::Symlink;
  if (S_ISFIFO(m)) return FileType::Fifo;
  if (S_ISCHR(m)) return FileType::CharDevice;
  if (S_ISBLK(m)) return FileType::BlockDevice;
  if (S_ISSOCK(m)) return FileType::Socket;
  return FileType::Other;
}

void fill(const struct stat& s, Stat& st) noexcept { detail::fill_status(s, st); }

EntryKind kind_of_dtype(unsigned char d_type) noexcept {
  switch (d_type) {
    case DT_DIR:
      return EntryKind::Directory;
    case DT_REG:
      return EntryKind::Regular;
    case DT_LNK:
      return EntryKind::Symlink;
    case DT_UNKNOWN:
      return EntryKind::Unknown;
    default:
      return EntryKind::Other;
  }
}

EntryKind kind_of_mode(mode_t m) noexcept {
  if (S_ISDIR(m)) return EntryKind::Directory;
  if (S_ISREG(m)) return EntryKind::Regular;
  if (S_ISLNK(m)) return EntryKind::Symlink;
  return EntryKind::Other;
}

bool is_dot_or_dotdot(const char* n) noexcept {
  return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

// getdents64 buffer: one call lists a directory of a few thousand entries; a directory read
// in one call costs the system two calls (the second sees the end). One per thread (the walk
// runs on one thread, and a scan never starts another before it ends), allocated once.
constexpr std::size_t kDirBuffer = 256 * 1024;

char* dir_buffer() {
  thread_local std::unique_ptr<char[]> buf;
  if (!buf) buf = std::make_unique_for_overwrite<char[]>(kDirBuffer);
  return buf.get();
}

// The followed status of `name` inside the directory `fd`, for a scan's entry of `kind`.
EntryStatus followed_status(int fd, const char* name, EntryKind kind) noexcept {
  EntryStatus status;
  status.known = true;
  if (kind == EntryKind::Directory) {  // a real directory: d_type said so, no query
    status.ok = status.is_dir = true;
    return status;
  }
  struct stat st;
  if (::fstatat(fd, name, &st, 0) == 0) {
    status.ok = true;
    status.is_dir = S_ISDIR(st.st_mode);
    status.is_regular = S_ISREG(st.st_mode);
    if (status.is_regular) status.size = static_cast<std::int64_t>(st.st_size);
  }
  return status;
}

// The followed status of a link (or an entry of unknown type) asked through the active roots,
// so that a link out of them reads as a broken one.
EntryStatus confined_status(const OsPath& entry_path) {
  EntryStatus status;
  status.known = true;
  Stat st;
  if (!stat(entry_path, st)) {
    status.ok = true;
    status.is_dir = st.is_dir();
    status.is_regular = st.is_regular();
    if (status.is_regular) status.size = st.size;
  }
  return status;
}

// Lists the open directory `fd` into `out` straight from getdents64: no DIR stream (whose
// fdopendir costs a status query and two fcntl calls per directory) and d_type taken as the
// file system gives it. With `resolve_unknown`, an entry whose type the file system does not
// report is looked up. With `with_status`, each entry that `only` accepts (every entry when it
// is null) gets its followed status while the directory is open; with active roots, that of a
// link is asked through them (`dir_path` is the directory's path).
Error scan(int fd, DirEntries& out, bool with_status, const NameFilter* only, bool resolve_unknown,
           const OsPath* dir_path = nullptr) {
  const bool confined = with_status && dir_path && active_roots();
  OsPath entry_path;
  char* const buf = dir_buffer();
  for (;;) {
    const ssize_t got = ::getdents64(fd, buf, kDirBuffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const Error e = last();
      out.clear();
      return e;
    }
    if (got == 0) return {};
    for (std::size_t off = 0; off < static_cast<std::size_t>(got);) {
      const auto* d = reinterpret_cast<const struct dirent64*>(buf + off);
      off += d->d_reclen;
      const char* name = d->d_name;
      if (is_dot_or_dotdot(name)) continue;
      const std::size_t len = std::strlen(name);
      EntryKind kind = kind_of_dtype(d->d_type);
      if (kind == EntryKind::Unknown && resolve_unknown) {
        struct stat st;
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) kind = kind_of_mode(st.st_mode);
      }
      EntryStatus status;
      if (with_status && (!only || (*only)(std::string_view(name, len)))) {
        if (confined && kind != EntryKind::Directory && kind != EntryKind::Regular &&
            kind != EntryKind::Other) {
          entry_path = join(*dir_path, std::string_view(name, len));
          status = confined_status(entry_path);
        } else {
          status = followed_status(fd, name, kind);
        }
      }
      out.items.push_back({static_cast<std::uint32_t>(out.names.size()),
                           static_cast<std::uint32_t>(len), kind, status});
      out.names.append(name, len + 1);
    }
  }
}

// read(2) of a file opened by open_file: interrupted reads retried, and a regular file that
// answers EAGAIN after all (its O_NONBLOCK is left on for reading) switched to blocking reads.
// Anything else (a FIFO) keeps its EAGAIN: it must never make the worker wait.
ssize_t blocking_read(int fd, char* buf, std::size_t n) noexcept {
  for (;;) {
    const ssize_t r = ::read(fd, buf, n);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      struct stat s;
      const int fl = ::fcntl(fd, F_GETFL);
      if (::fstat(fd, &s) == 0 && S_ISREG(s.st_mode) && fl >= 0 && (fl & O_NONBLOCK) &&
          ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == 0)
        continue;
      errno = EAGAIN;
    }
    return -1;
  }
}

// Waits until `fd` is ready, for a descriptor that the host handed over in non-blocking mode.
void wait_ready(int fd, short events) noexcept {
  pollfd p{fd, events, 0};
  while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

namespace detail {
void fill_status(const struct stat& s, Stat& st) noexcept {
  st.type = type_of(s.st_mode);
  st.size = static_cast<std::int64_t>(s.st_size);
  st.dev = static_cast<std::uint64_t>(s.st_dev);
  st.ino = static_cast<std::uint64_t>(s.st_ino);
  st.mode = static_cast<std::uint32_t>(s.st_mode & 07777);
  st.nlink = static_cast<std::uint64_t>(s.st_nlink);
  st.atime_ns = static_cast<std::int64_t>(s.st_atim.tv_sec) * 1000000000 + s.st_atim.tv_nsec;
  st.mtime_ns = static_cast<std::int64_t>(s.st_mtim.tv_sec) * 1000000000 + s.st_mtim.tv_nsec;
}
}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Status

// Every path-based call below acts through detail::locate: without roots on the path itself
// (AT_FDCWD, the plain call), with roots beneath one of them.
using detail::At;
using detail::locate;

Error stat(const OsPath& path, Stat& st) {
  At at;
  if (const Error e = locate(path, true, at, true)) return e;
  struct stat s;
  if (::fstatat(at.fd(), at.name, &s, at.at_flags(true)) != 0) return last();
  if (at.nofollow && S_ISLNK(s.st_mode)) {  // a link to follow, beneath the roots
    if (const Error e = locate(path, true, at)) return e;
    if (::fstatat(at.fd(), at.name, &s, AT_SYMLINK_NOFOLLOW) != 0) return last();
  }
  fill(s, st);
  return {};
}

Error lstat(const OsPath& path, Stat& st) {
  At at;
  if (const Error e = locate(path, false, at)) return e;
  struct stat s;
  if (::fstatat(at.fd(), at.name, &s, AT_SYMLINK_NOFOLLOW) != 0) return last();
  fill(s, st);
  return {};
}

bool exists(const OsPath& path) noexcept {
  try {
    Stat st;
    return !stat(path, st);
  } catch (...) {
    return false;
  }
}

// ---------------------------------------------------------------------------------------------
// Files

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    close();
    m_h = o.m_h;
    o.m_h = kInvalid;
  }
  return *this;
}

Error File::close() noexcept {
  if (m_h < 0) return {};
  const int rc = ::close(m_h);
  m_h = kInvalid;
  return rc == 0 ? Error{} : last();
}

namespace {

// With `roots`, the whole path (`name`, absolute) is tried beneath them in one call first.
Error open_file_in(int dir_fd, const char* name, int extra_flags, Access access, File& f, Stat* st,
                   const Roots* roots = nullptr) {
  int flags = O_CLOEXEC | O_NONBLOCK | extra_flags;
  switch (access) {
    case Access::Read:
      flags |= O_RDONLY;
      break;
    case Access::WriteTruncate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case Access::Append:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
    case Access::CreateNew:
      flags |= O_WRONLY | O_CREAT | O_EXCL;
      break;
    case Access::ReadWrite:
      flags |= O_RDWR;
      break;
  }
  int fd = roots ? roots->open_at_once(name, flags) : Roots::kNotAtOnce;
  if (fd == Roots::kNotAtOnce) {
    if (roots) return Error::of(ErrorKind::Loop);  // the caller goes the long way
    fd = ::openat(dir_fd, name, flags, 0666);
  } else if (fd < 0) {
    return Error::from_errno(-fd);
  }
  f.adopt(fd);
  if (!f.valid()) return last();
  struct stat s;
  if (::fstat(f.handle(), &s) != 0) return last();
  // A regular file gets its ordinary blocking mode back, for writers. A reader keeps
  // O_NONBLOCK, which the system ignores for regular files; should a read still answer EAGAIN
  // (mandatory locks on old kernels), reads clear it then and wait (see blocking_read).
  // (F_SETFL sets every status flag it can change: of those, the open asked for O_APPEND at
  // most.)
  if (S_ISREG(s.st_mode) && access != Access::Read) ::fcntl(f.handle(), F_SETFL, flags & O_APPEND);
  if (st) fill(s, *st);
  return {};
}

}  // namespace

Error open_file(const OsPath& path, Access access, File& f, Stat* st) {
  if (const Roots* roots = active_roots()) {
    // One openat2 for the whole path where it is already resolved; Loop means "not decided".
    const Error e = open_file_in(AT_FDCWD, path.c_str(), O_NOFOLLOW, access, f, st, roots);
    if (!e.is(ErrorKind::Loop) || f.valid()) return e;
  }
  At at;
  if (const Error e = locate(path, true, at, true)) return e;
  const Error e = open_file_in(at.fd(), at.name, at.open_flags(), access, f, st);
  if (!e || !at.nofollow || !e.is(ErrorKind::Loop)) return e;
  // O_NOFOLLOW met a link at the final name: follow it, beneath the roots.
  if (const Error again = locate(path, true, at)) return again;
  return open_file_in(at.fd(), at.name, at.open_flags(), access, f, st);
}

Error open_file_at(const Dir& dir, std::string_view name, Access access, File& f, Stat* st) {
  const std::string n(name);
  return open_file_in(DirAccess::fd(dir), n.c_str(), O_NOFOLLOW, access, f, st);
}

Error file_stat(const File& f, Stat& st) {
  struct stat s;
  if (::fstat(f.handle(), &s) != 0) return last();
  fill(s, st);
  return {};
}

Error read_all(const File& f, std::int64_t size, std::string& out) {
  // One byte more than the size, so that the read that sees the end needs no other buffer.
  if (size > 0) out.reserve(out.size() + static_cast<std::size_t>(size) + 1);
  char buf[65536];
  for (;;) {
    if (out.capacity() > out.size()) {
      // Read straight into the string's spare capacity: no copy of the contents.
      const std::size_t old = out.size();
      const std::size_t room = out.capacity() - old;
      out.resize(out.capacity());
      const ssize_t n = blocking_read(f.handle(), out.data() + old, room);
      if (n < 0) {
        out.resize(old);
        return last();
      }
      out.resize(old + static_cast<std::size_t>(n));
      if (n == 0) return {};
      continue;
    }
    const ssize_t n = blocking_read(f.handle(), buf, sizeof buf);
    if (n < 0) return last();
    if (n == 0) return {};
    out.append(buf, static_cast<std::size_t>(n));
  }
}

Error read_some(const File& f, char* buf, std::size_t n, std::size_t& got) {
  const ssize_t r = blocking_read(f.handle(), buf, n);
  if (r < 0) return last();
  got = static_cast<std::size_t>(r);
  return {};
}

Error write_all(const File& f, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(f.handle(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last();
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Error sync(const File& f) { return ::fsync(f.handle()) == 0 ? Error{} : last(); }

Error set_size(const File& f, std::int64_t size) {
  return ::ftruncate(f.handle(), static_cast<off_t>(size)) == 0 ? Error{} : last();
}

// ---------------------------------------------------------------------------------------------
// Directories

Error read_dir(const OsPath& path, DirEntries& out, bool with_status, const NameFilter* only) {
  out.clear();
  At at;
  if (const Error e = locate(path, true, at)) return e;
  const int fd = ::openat(at.fd(), at.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | at.open_flags());
  if (fd < 0) return last();
  const Error e = scan(fd, out, with_status, only, true, &path);
  ::close(fd);
  return e;
}

Dir::~Dir() {
  if (m_fd >= 0) ::close(m_fd);
}
Dir::Dir(Dir&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
Dir& Dir::operator=(Dir&& o) noexcept {
  if (this != &o) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = o.m_fd;
    o.m_fd = -1;
  }
  return *this;
}
bool Dir::valid() const noexcept { return m_fd >= 0; }

Error open_dir(const OsPath& path, Dir& out) {
  At at;
  if (const Error e = locate(path, true, at)) return e;
  const int fd = ::openat(at.fd(), at.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | at.open_flags());
  if (fd < 0) return last();
  DirAccess::set(out, fd);
  return {};
}

// The *_at calls given no directory take the name as a whole path, through the roots when they
// are active; given a directory, they never follow a link at the name while roots are active.
namespace {
bool relative_to_roots(const Dir& dir) noexcept { return !dir.valid() && active_roots(); }
}  // namespace

Error open_dir_at(const Dir& parent, std::string_view name, bool nofollow, Dir& out, Stat* st) {
  std::string n(name);
  At at;
  int dir_fd = DirAccess::fd(parent);
  if (relative_to_roots(parent)) {
    if (const Error e = locate(n, !nofollow, at)) return e;
    dir_fd = at.fd();
    n = at.name;
    nofollow = true;
  } else if (active_roots()) {
    nofollow = true;
  }
  const int fd =
      ::openat(dir_fd, n.c_str(),
               O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0));
  if (fd < 0) return last();
  DirAccess::set(out, fd);
  if (st) {
    struct stat s;
    if (::fstat(fd, &s) != 0) return last();
    fill(s, *st);
  }
  return {};
}

Error stat_at(const Dir& dir, std::string_view name, bool follow, Stat& st) {
  std::string n(name);
  if (relative_to_roots(dir)) return follow ? stat(n, st) : lstat(n, st);
  if (active_roots()) follow = false;
  struct stat s;
  if (::fstatat(DirAccess::fd(dir), n.c_str(), &s, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
    return last();
  fill(s, st);
  return {};
}

Error dir_stat(const Dir& dir, Stat& st) {
  struct stat s;
  if (::fstat(DirAccess::fd(dir), &s) != 0) return last();
  fill(s, st);
  return {};
}

Error read_dir(const Dir& dir, DirEntries& out) {
  out.clear();
  // os.scandir(fd) lists from the start whatever was read from the descriptor before (it
  // rewinds a duplicate, which shares the position anyway).
  const int fd = DirAccess::fd(dir);
  if (::lseek(fd, 0, SEEK_SET) < 0) return last();
  return scan(fd, out, false, nullptr, false);
}

Error unlink_at(const Dir& dir, std::string_view name) {
  const std::string n(name);
  if (relative_to_roots(dir)) return unlink(n);
  return ::unlinkat(DirAccess::fd(dir), n.c_str(), 0) == 0 ? Error{} : last();
}

Error rmdir_at(const Dir& dir, std::string_view name) {
  const std::string n(name);
  if (relative_to_roots(dir)) return rmdir(n);
  return ::unlinkat(DirAccess::fd(dir), n.c_str(), AT_REMOVEDIR) == 0 ? Error{} : last();
}

// ---------------------------------------------------------------------------------------------
// Changing the tree

Error mkdir(const OsPath& path) {
  At at;
  if (const Error e = locate(path, false, at)) return e;
  return ::mkdirat(at.fd(), at.name, 0777) == 0 ? Error{} : last();
}

Error rmdir(const OsPath& path) {
  At at;
  if (const Error e = locate(path, false, at)) return e;
  return ::unlinkat(at.fd(), at.name, AT_REMOVEDIR) == 0 ? Error{} : last();
}

Error unlink(const OsPath& path) {
  At at;
  if (const Error e = locate(path, false, at)) return e;
  return ::unlinkat(at.fd(), at.name, 0) == 0 ? Error{} : last();
}

Error rename(const OsPath& src, const OsPath& dst) {
  At a, b;
  if (const Error e = locate(src, false, a)) return e;
  if (const Error e = locate(dst, false, b)) return e;
  return ::renameat(a.fd(), a.name, b.fd(), b.name) == 0 ? Error{} : last();
}

Error symlink(const OsPath& target, const OsPath& link) {
  At at;
  if (const Error e = locate(link, false, at)) return e;
  return ::symlinkat(target.c_str(), at.fd(), at.name) == 0 ? Error{} : last();
}

Error readlink(const OsPath& path, OsPath& target) {
  At at;
  if (const Error e = locate(path, false, at)) return e;
  target.assign(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(at.fd(), at.name, target.data(), target.size());
    if (n < 0) return last();
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return {};
    }
    target.resize(target.size() * 2);
  }
}

// ---------------------------------------------------------------------------------------------
// Copy primitives

namespace {

constexpr std::size_t kCopyBufsize = 256 * 1024;  // shutil.COPY_BUFSIZE off Windows

// _determine_linux_fastcopy_blocksize: ask for the whole file in one call, 8 MiB at least.
std::size_t fastcopy_blocksize(int infd) noexcept {
  struct stat st;
  if (::fstat(infd, &st) != 0) return std::size_t{1} << 27;
  return std::max<std::size_t>(static_cast<std::size_t>(st.st_size), std::size_t{1} << 23);
}

bool nothing_written(int outfd) noexcept { return ::lseek(outfd, 0, SEEK_CUR) == 0; }

// _fastcopy_copy_file_range: false with no error means "give up, try the next way".
bool fastcopy_copy_file_range(int infd, int outfd, Error& err) {
  const std::size_t blocksize = fastcopy_blocksize(infd);
  loff_t offset = 0;
  for (;;) {
    loff_t offset_dst = offset;
    const ssize_t n_copied = ::copy_file_range(infd, nullptr, outfd, &offset_dst, blocksize, 0);
    if (n_copied < 0) {
      const int e = errno;
      if (e == EINTR) continue;
      if (e != ENOSPC && offset == 0 && nothing_written(outfd)) return false;
      err = Error::from_errno(e);  // ENOSPC: the file system is full
      return false;
    }
    // copy_file_range may fail silently before copying anything (some pseudo file systems).
    // The copy wrote at explicit offsets: the destination's position is put after what it
    // wrote, as the other ways leave it (a file written in place is cut there).
    if (n_copied == 0) return offset != 0 && ::lseek(outfd, offset, SEEK_SET) == offset;
    offset += n_copied;
  }
}

// _fastcopy_sendfile
bool fastcopy_sendfile(int infd, int outfd, Error& err) {
  const std::size_t blocksize = fastcopy_blocksize(infd);
  off_t offset = 0;
  for (;;) {
    off_t at = offset;
    const ssize_t sent = ::sendfile(outfd, infd, &at, blocksize);
    if (sent < 0) {
      const int e = errno;
      if (e == EINTR) continue;
      if (e == ENOTSOCK) return false;  // sendfile() only for sockets on this kernel
      if (e != ENOSPC && offset == 0 && nothing_written(outfd)) return false;
      err = Error::from_errno(e);
      return false;
    }
    if (sent == 0) return true;  // EOF
    offset += sent;
  }
}

bool xattr_ignored_on_list(int err) noexcept {
  return err == ENOTSUP || err == ENODATA || err == EINVAL;
}
bool xattr_ignored_on_copy(int err) noexcept {
  return err == EPERM || err == ENOTSUP || err == ENODATA || err == EINVAL || err == EACCES;
}

}  // namespace

Error system_copy(const OsPath&, const OsPath&, bool& handled) {
  handled = false;
  return {};
}

Error copy_data(const File& in, const File& out, bool& named) {
  // copy_file_range lets the file system share extents; sendfile copies inside the kernel;
  // plain reads and writes are the last resort.
  named = true;
  Error err;
  if (fastcopy_copy_file_range(in.handle(), out.handle(), err) || err) return err;
  if (fastcopy_sendfile(in.handle(), out.handle(), err) || err) return err;
  // copyfileobj: Python's file objects name no path in these errors.
  named = false;
  std::unique_ptr<char[]> buf(new char[kCopyBufsize]);
  for (;;) {
    std::size_t n = 0;
    if (const Error e = read_some(in, buf.get(), kCopyBufsize, n)) return e;
    if (n == 0) return {};
    if (const Error e = write_all(out, std::string_view(buf.get(), n))) return e;
  }
}

Error set_times(const OsPath& dst, const Stat& from, bool follow) {
  const struct timespec times[2] = {{static_cast<time_t>(from.atime_ns / 1000000000),
                                     static_cast<long>(from.atime_ns % 1000000000)},
                                    {static_cast<time_t>(from.mtime_ns / 1000000000),
                                     static_cast<long>(from.mtime_ns % 1000000000)}};
  At at;
  if (const Error e = locate(dst, follow, at)) return e;
  return ::utimensat(at.fd(), at.name, times, at.at_flags(follow)) == 0 ? Error{} : last();
}

Error chmod(const OsPath& path, std::uint32_t mode) {
  At at;
  if (const Error e = locate(path, true, at)) return e;
  return ::fchmodat(at.fd(), at.name, static_cast<mode_t>(mode), at.at_flags(true)) == 0 ? Error{}
                                                                                         : last();
}

namespace {

// The path an xattr call without an *at form takes: the path itself, or with roots the final name
// inside the directory opened beneath them, through /proc/self/fd (which names that very
// directory, not a path looked up again). `follow` then becomes false.
Error xattr_path(const OsPath& path, bool& follow, At& at, OsPath& out) {
  if (const Error e = locate(path, follow, at)) return e;
  if (!at.nofollow) {
    out = path;
    return {};
  }
  out = "/proc/self/fd/" + std::to_string(at.fd()) + "/" + at.name;
  follow = false;
  return {};
}

}  // namespace

Error copy_xattrs(const OsPath& src_in, const OsPath& dst_in, bool follow, OsPath& failed) {
  At src_at, dst_at;
  OsPath src, dst;
  bool follow_dst = follow;
  if (const Error e = xattr_path(src_in, follow, src_at, src)) {
    failed = src_in;
    return e;
  }
  if (const Error e = xattr_path(dst_in, follow_dst, dst_at, dst)) {
    failed = dst_in;
    return e;
  }
  std::string names;
  const ssize_t listed = detail::xattr_sized(names, [&](char* b, std::size_t n) {
    return follow ? ::listxattr(src.c_str(), b, n) : ::llistxattr(src.c_str(), b, n);
  });
  if (listed < 0) {
    if (xattr_ignored_on_list(errno)) return {};
    failed = src_in;
    return last();
  }
  std::string value;
  for (std::size_t at = 0; at < names.size();) {
    const char* name = names.c_str() + at;
    at += std::char_traits<char>::length(name) + 1;
    const ssize_t got = detail::xattr_sized(value, [&](char* b, std::size_t n) {
      return follow ? ::getxattr(src.c_str(), name, b, n) : ::lgetxattr(src.c_str(), name, b, n);
    });
    if (got < 0) {
      if (xattr_ignored_on_copy(errno)) continue;
      failed = src_in;
      return last();
    }
    const int rc = follow_dst ? ::setxattr(dst.c_str(), name, value.data(), value.size(), 0)
                              : ::lsetxattr(dst.c_str(), name, value.data(), value.size(), 0);
    if (rc != 0 && !xattr_ignored_on_copy(errno)) {
      failed = dst_in;
      return last();
    }
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// The worker process and its standard streams

void prepare_worker_process() noexcept {
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
}

Error read_stdin(char* buf, std::size_t n, std::size_t& got) noexcept {
  for (;;) {
    const ssize_t r = ::read(0, buf, n);
    if (r >= 0) {
      got = static_cast<std::size_t>(r);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      wait_ready(0, POLLIN);
      continue;
    }
    return last();
  }
}

namespace {
Error write_fd(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        wait_ready(fd, POLLOUT);
        continue;
      }
      return last();
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}
}  // namespace

Error write_stdout(std::string_view data) noexcept { return write_fd(1, data); }
void write_stderr(std::string_view data) noexcept { (void)write_fd(2, data); }

}  // namespace talmek::os
