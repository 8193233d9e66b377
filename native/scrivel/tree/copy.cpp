// Ports of shutil.copyfile, copystat, _copyxattr, copy2 and copytree (CPython 3.14, Linux).
//
// Deliberate differences from CPython:
// - Both files are opened with O_NONBLOCK (cleared again for regular files): a FIFO that
//   appears between the named-pipe check and the open fails at once instead of blocking.
// - copytree walks with an explicit stack instead of recursion, and refuses to enter a
//   directory that is already being copied higher up (a link inside the tree that points at
//   one of its ancestors) or that the copy itself created (a link into the destination): that
//   entry is reported with ELOOP's text instead of nesting copies until the path grows too
//   long.
// - A failed copystat() of a nested directory names its path; CPython's tuple holds the
//   os.DirEntry object there.
#include "scrivel/tree/copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include "common/fd_io.h"
#include "common/os_error.h"
#include "common/text.h"
#include "scrivel/tree/os_paths.h"

namespace talmek::scrivel::tree {

namespace {

constexpr std::size_t kCopyBufsize = 256 * 1024;  // shutil.COPY_BUFSIZE off Windows

// ---------------------------------------------------------------------------------------------
// File contents

// _determine_linux_fastcopy_blocksize: ask for the whole file in one call, 8 MiB at least.
std::size_t fastcopy_blocksize(int infd) noexcept {
  struct stat st;
  if (::fstat(infd, &st) != 0) return std::size_t{1} << 27;
  return std::max<std::size_t>(static_cast<std::size_t>(st.st_size), std::size_t{1} << 23);
}

bool nothing_written(int outfd) noexcept { return ::lseek(outfd, 0, SEEK_CUR) == 0; }

// _fastcopy_copy_file_range: false means "give up, try the next way" (nothing was copied).
bool fastcopy_copy_file_range(int infd, int outfd, const std::string& src, const std::string& dst) {
  const std::size_t blocksize = fastcopy_blocksize(infd);
  loff_t offset = 0;
  for (;;) {
    loff_t offset_dst = offset;
    const ssize_t n_copied = ::copy_file_range(infd, nullptr, outfd, &offset_dst, blocksize, 0);
    if (n_copied < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == ENOSPC) raise_os(err, src, dst);  // file system full
      if (offset == 0 && nothing_written(outfd)) return false;
      raise_os(err, src, dst);
    }
    if (n_copied == 0) {
      // copy_file_range may fail silently before copying anything (some pseudo file systems).
      return offset != 0;
    }
    offset += n_copied;
  }
}

// _fastcopy_sendfile
bool fastcopy_sendfile(int infd, int outfd, const std::string& src, const std::string& dst) {
  const std::size_t blocksize = fastcopy_blocksize(infd);
  off_t offset = 0;
  for (;;) {
    off_t at = offset;
    const ssize_t sent = ::sendfile(outfd, infd, &at, blocksize);
    if (sent < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == ENOTSOCK) return false;  // sendfile() only for sockets on this kernel
      if (err == ENOSPC) raise_os(err, src, dst);
      if (offset == 0 && nothing_written(outfd)) return false;
      raise_os(err, src, dst);
    }
    if (sent == 0) return true;  // EOF
    offset += sent;
  }
}

// copyfileobj: plain reads and writes. Python's file objects name no path in these errors.
void copyfileobj(int infd, int outfd) {
  std::unique_ptr<char[]> buf(new char[kCopyBufsize]);
  for (;;) {
    const ssize_t n = ::read(infd, buf.get(), kCopyBufsize);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw OpError(os_error_message(errno));
    }
    if (n == 0) return;
    if (const int err = write_all(outfd, std::string_view(buf.get(), static_cast<std::size_t>(n))))
      throw OpError(os_error_message(err));
  }
}

[[noreturn]] void raise_named_pipe(const std::string& path) {
  // SpecialFileError("`%s` is a named pipe" % fn)
  throw OpError("`" + text_of(path) + "` is a named pipe");
}

// shutil.copyfile(src, dst) with follow_symlinks=True. `src_st` is the source's stat() when the
// caller already holds it (os.DirEntry's cached stat), else nullptr.
void copyfile(const std::string& src, const std::string& dst, const struct stat* src_st) {
  struct stat sst, dst_st;
  if (!src_st && ::stat(src.c_str(), &sst) == 0) src_st = &sst;
  const bool dst_ok = ::stat(dst.c_str(), &dst_st) == 0;
  // _samefile
  if (src_st && dst_ok && src_st->st_dev == dst_st.st_dev && src_st->st_ino == dst_st.st_ino) {
    throw OpError(text::py_repr(text_of(src)) + " and " + text::py_repr(text_of(dst)) +
                  " are the same file");
  }
  if (src_st && S_ISFIFO(src_st->st_mode)) raise_named_pipe(src);
  if (dst_ok && S_ISFIFO(dst_st.st_mode)) raise_named_pipe(dst);

  Fd fsrc;
  struct stat st;
  if (const int err = open_nonblocking(src.c_str(), O_RDONLY, fsrc, st)) raise_os(err, src);
  if (S_ISFIFO(st.st_mode)) raise_named_pipe(src);

  Fd fdst;
  if (const int err = open_nonblocking(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC, fdst, st)) {
    // Issue 43219: a less confusing message for a destination inside a missing directory.
    struct stat any;
    if (!fdst.valid() && err == EISDIR && ::stat(dst.c_str(), &any) != 0)
      throw OpError("Directory does not exist: " + text_of(dst));
    raise_os(err, dst);
  }
  if (S_ISFIFO(st.st_mode)) raise_named_pipe(dst);

  // copy_file_range lets the file system share extents; sendfile copies inside the kernel;
  // plain reads and writes are the last resort.
  if (!fastcopy_copy_file_range(fsrc.get(), fdst.get(), src, dst) &&
      !fastcopy_sendfile(fsrc.get(), fdst.get(), src, dst)) {
    copyfileobj(fsrc.get(), fdst.get());
  }
  if (fdst.close_now() != 0) throw OpError(os_error_message(errno));
}

// ---------------------------------------------------------------------------------------------
// Metadata

bool xattr_ignored_on_list(int err) noexcept {
  return err == ENOTSUP || err == ENODATA || err == EINVAL;
}
bool xattr_ignored_on_copy(int err) noexcept {
  return err == EPERM || err == ENOTSUP || err == ENODATA || err == EINVAL || err == EACCES;
}

// os.listxattr / os.getxattr: size query, then fetch, again while the value keeps growing.
template <class Call>
ssize_t sized_call(std::string& buf, Call&& call) {
  for (;;) {
    const ssize_t want = call(nullptr, 0);
    if (want < 0) return want;
    buf.resize(static_cast<std::size_t>(want));
    const ssize_t got = call(buf.data(), buf.size());
    if (got >= 0) {
      buf.resize(static_cast<std::size_t>(got));
      return got;
    }
    if (errno != ERANGE) return got;
  }
}

// shutil._copyxattr
void copyxattr(const std::string& src, const std::string& dst, bool follow_symlinks) {
  std::string names;
  const ssize_t listed = sized_call(names, [&](char* b, std::size_t n) {
    return follow_symlinks ? ::listxattr(src.c_str(), b, n) : ::llistxattr(src.c_str(), b, n);
  });
  if (listed < 0) {
    if (xattr_ignored_on_list(errno)) return;
    raise_os(errno, src);
  }
  std::string value;
  for (std::size_t at = 0; at < names.size();) {
    const char* name = names.c_str() + at;
    at += std::char_traits<char>::length(name) + 1;
    const ssize_t got = sized_call(value, [&](char* b, std::size_t n) {
      return follow_symlinks ? ::getxattr(src.c_str(), name, b, n)
                             : ::lgetxattr(src.c_str(), name, b, n);
    });
    if (got < 0) {
      if (xattr_ignored_on_copy(errno)) continue;
      raise_os(errno, src);
    }
    const int rc = follow_symlinks ? ::setxattr(dst.c_str(), name, value.data(), value.size(), 0)
                                   : ::lsetxattr(dst.c_str(), name, value.data(), value.size(), 0);
    if (rc != 0 && !xattr_ignored_on_copy(errno)) raise_os(errno, dst);
  }
}

// shutil.copystat; `src_st` as in copyfile.
void copystat_with(const std::string& src, const std::string& dst, bool follow_symlinks,
                   const struct stat* src_st) {
  const bool follow = follow_symlinks || !(is_link(src) && is_link(dst));
  struct stat st;
  if (!src_st) {
    if ((follow ? ::stat(src.c_str(), &st) : ::lstat(src.c_str(), &st)) != 0) raise_os(errno, src);
    src_st = &st;
  }
  const struct timespec times[2] = {src_st->st_atim, src_st->st_mtim};
  if (::utimensat(AT_FDCWD, dst.c_str(), times, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
    raise_os(errno, dst);
  // Extended attributes before the mode: a read-only mode would refuse setxattr().
  copyxattr(src, dst, follow);
  // Linux cannot chmod a link itself (os.chmod is not in supports_follow_symlinks): skipped.
  if (follow && ::chmod(dst.c_str(), src_st->st_mode & 07777) != 0) raise_os(errno, dst);
}

// ---------------------------------------------------------------------------------------------
// Trees

struct Entry {
  std::string name;
  unsigned char type;
};

// os.scandir(path) as a list, and the directory's own status.
std::vector<Entry> scandir(const std::string& path, struct stat& st) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) raise_os(errno, path);
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
  if (::fstat(::dirfd(dir), &st) != 0) raise_os(errno, path);
  std::vector<Entry> out;
  for (;;) {
    errno = 0;
    const struct dirent* d = ::readdir(dir);
    if (!d) {
      if (errno != 0) raise_os(errno, path);
      return out;
    }
    const char* n = d->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    out.push_back({std::string(n), d->d_type});
  }
}

// os.makedirs(name, exist_ok=False)
void makedirs(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string head = name.substr(0, slash);
    struct stat st;
    if (::stat(head.c_str(), &st) != 0) {
      try {
        makedirs(head);
      } catch (const OpError&) {
        if (::stat(head.c_str(), &st) != 0) throw;  // FileExistsError from a racing creator
      }
    }
  }
  if (::mkdir(name.c_str(), 0777) != 0) raise_os(errno, name);
}

struct Failure {
  std::string src, dst, why;
};

// str(shutil.Error(errors)): the repr of the list of (src, dst, why) tuples.
std::string error_text(const std::vector<Failure>& errors) {
  std::string out = "[";
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (i) out += ", ";
    out += '(';
    out += text::py_repr(errors[i].src);
    out += ", ";
    out += text::py_repr(errors[i].dst);
    out += ", ";
    out += text::py_repr(errors[i].why);
    out += ')';
  }
  out += ']';
  return out;
}

struct Frame {
  std::string src, dst;
  std::vector<Entry> entries;
  std::size_t next = 0;
  dev_t dev;
  ino_t ino;
};

// os.DirEntry.is_symlink() / is_dir(): d_type when the file system gives it, else a stat.
bool entry_is_symlink(const Entry& e, const std::string& path) {
  if (e.type != DT_UNKNOWN) return e.type == DT_LNK;
  return is_link(path);
}

bool entry_is_dir(const Entry& e, const std::string& path, bool followed) {
  if (!followed && e.type != DT_UNKNOWN) return e.type == DT_DIR;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (errno == ENOENT) return false;
  raise_os(errno, path);
}

struct DirId {
  dev_t dev;
  ino_t ino;
  bool operator==(const DirId&) const = default;
};
struct DirIdHash {
  std::size_t operator()(const DirId& id) const noexcept {
    return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(id.ino) * 31u +
                                      static_cast<std::uint64_t>(id.dev));
  }
};

struct Walk {
  bool symlinks;
  std::vector<Frame> stack;
  std::vector<Failure> errors;
  // Every directory this walk created. A followed link that leads into the destination would
  // otherwise copy the copy while it grows.
  std::unordered_set<DirId, DirIdHash> created;
};

// The start of a (nested) copytree(): list the source, create the destination, push a frame.
// Entering a directory that is being copied higher up, or one this walk created, is refused
// with ELOOP's text: both would nest copies until the path grows too long.
void enter(Walk& walk, const std::string& src, const std::string& dst) {
  struct stat st;
  std::vector<Entry> entries = scandir(src, st);
  const DirId id{st.st_dev, st.st_ino};
  if (walk.created.contains(id)) raise_os(ELOOP, src);
  for (const Frame& f : walk.stack) {
    if (f.dev == st.st_dev && f.ino == st.st_ino) raise_os(ELOOP, src);
  }
  makedirs(dst);
  struct stat dst_st;
  if (::stat(dst.c_str(), &dst_st) == 0) walk.created.insert({dst_st.st_dev, dst_st.st_ino});
  walk.stack.push_back({src, dst, std::move(entries), 0, st.st_dev, st.st_ino});
}

}  // namespace

void copystat(const std::string& src, const std::string& dst, bool follow_symlinks) {
  copystat_with(src, dst, follow_symlinks, nullptr);
}

std::string copy2(const std::string& src, const std::string& dst) {
  std::string target = dst;
  struct stat st;
  if (::stat(dst.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) target = join(dst, basename(src));
  copyfile(src, target, nullptr);
  copystat_with(src, target, true, nullptr);
  return target;
}

void copytree(const std::string& src, const std::string& dst, bool symlinks) {
  Walk walk{symlinks, {}, {}, {}};
  enter(walk, src, dst);  // failures here are raised, not collected
  while (!walk.stack.empty()) {
    Frame& frame = walk.stack.back();
    if (frame.next == frame.entries.size()) {
      try {
        copystat_with(frame.src, frame.dst, true, nullptr);
      } catch (const OpError& why) {
        walk.errors.push_back({text_of(frame.src), text_of(frame.dst), why.what()});
      }
      walk.stack.pop_back();
      continue;
    }
    const Entry& entry = frame.entries[frame.next++];
    std::string srcname = join(frame.src, entry.name);
    std::string dstname = join(frame.dst, entry.name);
    try {
      const bool is_symlink = entry_is_symlink(entry, srcname);
      if (is_symlink && walk.symlinks) {
        const std::string linkto = readlink_bytes(srcname);
        if (::symlink(linkto.c_str(), dstname.c_str()) != 0) raise_os(errno, linkto, dstname);
        copystat_with(srcname, dstname, false, nullptr);
      } else if (entry_is_dir(entry, srcname, is_symlink)) {
        enter(walk, srcname, dstname);  // invalidates `frame` and `entry`
      } else {
        // copy2(srcentry, dstname). The destination directory was created by this walk, so
        // the name is free: copy2's "into a directory" case cannot arise here.
        struct stat st;
        const bool have = ::stat(srcname.c_str(), &st) == 0;
        copyfile(srcname, dstname, have ? &st : nullptr);
        copystat_with(srcname, dstname, true, have ? &st : nullptr);
      }
    } catch (const OpError& why) {
      walk.errors.push_back({text_of(srcname), text_of(dstname), why.what()});
    }
  }
  if (!walk.errors.empty()) throw OpError(error_text(walk.errors));
}

bool destinsrc(std::string_view src, std::string_view dst) {
  std::string s(src), d(dst);
  if (s.empty() || s.back() != '/') s += '/';
  if (d.empty() || d.back() != '/') d += '/';
  return d.starts_with(s);
}

}  // namespace talmek::scrivel::tree
