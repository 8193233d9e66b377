// Ports of shutil.copyfile, copystat, _copyxattr, copy2 and copytree (CPython 3.14), over the
// platform layer. On Windows copy2 first asks the system's own copy (CopyFile2), as shutil does
// there, and copies content and status itself only where that call refuses.
//
// Deliberate differences from CPython:
// - Both files are opened without blocking (os::open_file): a FIFO that appears between the
//   named-pipe check and the open fails at once instead of blocking.
// - copytree walks with an explicit stack instead of recursion, and refuses to enter a
//   directory that is already being copied higher up (a link inside the tree that points at
//   one of its ancestors) or that the copy itself created (a link into the destination): that
//   entry is reported with ELOOP's text instead of nesting copies until the path grows too
//   long.
// - A failed copystat() of a nested directory names its path; CPython's tuple holds the
//   os.DirEntry object there.
#include "scrivel/tree/copy.h"

#include <cstdint>
#include <functional>
#include <unordered_set>
#include <vector>

#include "common/os_error.h"
#include "common/text.h"
#include "platform/os.h"
#include "scrivel/tree/os_paths.h"

namespace talmek::scrivel::tree {

namespace {

// ---------------------------------------------------------------------------------------------
// File contents

[[noreturn]] void raise_named_pipe(const os::OsPath& path) {
  // SpecialFileError("`%s` is a named pipe" % fn)
  throw OpError("`" + text_of(path) + "` is a named pipe");
}

// A device as the source: its content may never end (/dev/zero) or be a whole disk.
void refuse_device(const os::OsPath& path, const os::Stat& st) {
  if (st.type == os::FileType::CharDevice)
    throw OpError("`" + text_of(path) + "` is a character device");
  if (st.type == os::FileType::BlockDevice)
    throw OpError("`" + text_of(path) + "` is a block device");
}

// The content of `in` into the file at `dst` through an os::Replacement: the old content or the
// new one survives a failure. `size` is the source's length, reserved where dst is written in
// place.
void replace_with_copy(const os::File& in, const os::OsPath& dst, std::int64_t size,
                       const os::OsPath& src) {
  os::Dir dir;
  std::string name;
  os::Replacement out;
  os::Error e = os::open_parent(dst, dir, name);
  if (!e) e = out.begin(dir, name, size);
  if (e) os::raise(e, dst);
  bool named = false;
  if (const os::Error c = os::copy_data(in, out.file(), named)) {
    if (named) os::raise(c, src, dst);
    os::raise(c);
  }
  if (const os::Error c = out.commit()) os::raise(c, dst);
}

// shutil.copyfile(src, dst) with follow_symlinks=True. `src_st` is the source's status when the
// caller already holds it (os.DirEntry's cached stat), else nullptr. With `replace`, the
// destination is written through an os::Replacement (a single file copied onto a file that may
// exist); without, it is opened as copyfile opens it (a new file inside a tree being copied).
void copyfile(const os::OsPath& src, const os::OsPath& dst, const os::Stat* src_st, bool replace) {
  os::Stat sst, dst_st;
  if (!src_st && !os::stat(src, sst)) src_st = &sst;
  const bool dst_ok = !os::stat(dst, dst_st);
  // _samefile
  if (src_st && dst_ok && src_st->same_file(dst_st)) {
    throw OpError(text::py_repr(text_of(src)) + " and " + text::py_repr(text_of(dst)) +
                  " are the same file");
  }
  if (src_st && src_st->type == os::FileType::Fifo) raise_named_pipe(src);
  if (src_st) refuse_device(src, *src_st);
  if (dst_ok && dst_st.type == os::FileType::Fifo) raise_named_pipe(dst);

  os::File fsrc;
  os::Stat st;
  if (const os::Error e = os::open_file(src, os::Access::Read, fsrc, &st)) os::raise(e, src);
  if (st.type == os::FileType::Fifo) raise_named_pipe(src);
  refuse_device(src, st);
  if (replace && (!dst_ok || dst_st.is_regular())) {
    replace_with_copy(fsrc, dst, st.size, src);
    return;
  }

  os::File fdst;
  if (const os::Error e = os::open_file(dst, os::Access::WriteTruncate, fdst, &st)) {
    // CPython bpo-43219: a less confusing message for a destination inside a missing directory.
    if (!fdst.valid() && e.is(os::ErrorKind::IsDirectory) && !os::exists(dst))
      throw OpError("Directory does not exist: " + text_of(dst));
    os::raise(e, dst);
  }
  if (st.type == os::FileType::Fifo) raise_named_pipe(dst);

  bool named = false;
  if (const os::Error e = os::copy_data(fsrc, fdst, named)) {
    if (named) os::raise(e, src, dst);
    os::raise(e);
  }
  if (const os::Error e = fdst.close()) os::raise(e);
}

// ---------------------------------------------------------------------------------------------
// Metadata

// shutil.copystat; `src_st` as in copyfile.
void copystat_with(const os::OsPath& src, const os::OsPath& dst, bool follow_symlinks,
                   const os::Stat* src_st) {
  const bool follow = follow_symlinks || !(is_link(src) && is_link(dst));
  os::Stat st;
  if (!src_st) {
    if (const os::Error e = follow ? os::stat(src, st) : os::lstat(src, st)) os::raise(e, src);
    src_st = &st;
  }
  if (const os::Error e = os::set_times(dst, *src_st, follow)) os::raise(e, dst);
  // Extended attributes before the mode: a read-only mode would refuse setxattr().
  os::OsPath failed;
  if (const os::Error e = os::copy_xattrs(src, dst, follow, failed)) os::raise(e, failed);
  // Linux cannot chmod a link itself (os.chmod is not in supports_follow_symlinks): skipped.
  if (follow) {
    if (const os::Error e = os::chmod(dst, src_st->mode)) os::raise(e, dst);
  }
}

// ---------------------------------------------------------------------------------------------
// Trees

// os.scandir(path) as a list, and the directory's own status.
os::DirEntries scandir(const os::OsPath& path, os::Stat& st) {
  os::Dir dir;
  if (const os::Error e = os::open_dir(path, dir)) os::raise(e, path);
  if (const os::Error e = os::dir_stat(dir, st)) os::raise(e, path);
  os::DirEntries out;
  if (const os::Error e = os::read_dir(dir, out)) os::raise(e, path);
  return out;
}

// os.makedirs(name, exist_ok=False)
void makedirs(const os::OsPath& name) {
  const std::string_view head = os::parent_of(name);
  if (head != name && head != "." && !os::is_root(name)) {
    os::Stat st;
    const os::OsPath h(head);
    if (os::stat(h, st)) {
      try {
        makedirs(h);
      } catch (const os::Failure&) {
        if (os::stat(h, st)) throw;  // FileExistsError from a racing creator
      }
    }
  }
  if (const os::Error e = os::mkdir(name)) os::raise(e, name);
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
  os::OsPath src, dst;
  os::DirEntries entries;
  std::size_t next = 0;
  std::uint64_t dev, ino;
};

// os.DirEntry.is_symlink() / is_dir(): the kind when the scan gives it, else a status query.
bool entry_is_symlink(os::EntryKind kind, const os::OsPath& path) {
  if (kind != os::EntryKind::Unknown) return kind == os::EntryKind::Symlink;
  return is_link(path);
}

bool entry_is_dir(os::EntryKind kind, const os::OsPath& path, bool followed) {
  if (!followed && kind != os::EntryKind::Unknown) return kind == os::EntryKind::Directory;
  os::Stat st;
  const os::Error e = os::stat(path, st);
  if (!e) return st.is_dir();
  if (e.is(os::ErrorKind::NotFound)) return false;
  os::raise(e, path);
}

struct DirId {
  std::uint64_t dev, ino;
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
void enter(Walk& walk, const os::OsPath& src, const os::OsPath& dst) {
  os::Stat st;
  os::DirEntries entries = scandir(src, st);
  const DirId id{st.dev, st.ino};
  const os::Error loop = os::Error::of(os::ErrorKind::Loop);
  if (walk.created.contains(id)) os::raise(loop, src);
  for (const Frame& f : walk.stack) {
    if (f.dev == st.dev && f.ino == st.ino) os::raise(loop, src);
  }
  makedirs(dst);
  os::Stat dst_st;
  if (!os::stat(dst, dst_st)) walk.created.insert({dst_st.dev, dst_st.ino});
  walk.stack.push_back({src, dst, std::move(entries), 0, st.dev, st.ino});
}

}  // namespace

void copystat(const std::string& src, const std::string& dst, bool follow_symlinks) {
  copystat_with(src, dst, follow_symlinks, nullptr);
}

std::string copy2(const std::string& src, const std::string& dst) {
  std::string target = dst;
  os::Stat st;
  if (!os::stat(dst, st) && st.is_dir()) target = join(dst, basename(src));
  bool handled = false;
  if (const os::Error e = os::system_copy(src, target, handled)) os::raise(e, src, target);
  if (handled) return target;
  copyfile(src, target, nullptr, /*replace=*/true);
  copystat_with(src, target, true, nullptr);
  return target;
}

void copytree(const std::string& src, const std::string& dst, bool symlinks) {
  Walk walk{symlinks, {}, {}, {}};
  enter(walk, src, dst);  // failures here are raised, not collected
  while (!walk.stack.empty()) {
    Frame& frame = walk.stack.back();
    if (frame.next == frame.entries.items.size()) {
      try {
        copystat_with(frame.src, frame.dst, true, nullptr);
      } catch (const os::Failure& why) {
        walk.errors.push_back({text_of(frame.src), text_of(frame.dst), why.message()});
      } catch (const OpError& why) {
        walk.errors.push_back({text_of(frame.src), text_of(frame.dst), why.what()});
      }
      walk.stack.pop_back();
      continue;
    }
    const auto& entry = frame.entries.items[frame.next++];
    const std::string_view name = frame.entries.name(entry);
    const os::EntryKind kind = entry.kind;
    std::string srcname = join(frame.src, name);
    std::string dstname = join(frame.dst, name);
    try {
      const bool is_symlink = entry_is_symlink(kind, srcname);
      if (is_symlink && walk.symlinks) {
        const os::OsPath linkto = readlink_path(srcname);
        if (const os::Error e = os::symlink(linkto, dstname)) os::raise(e, linkto, dstname);
        copystat_with(srcname, dstname, false, nullptr);
      } else if (entry_is_dir(kind, srcname, is_symlink)) {
        enter(walk, srcname, dstname);  // invalidates `frame` and `entry`
      } else {
        // copy2(srcentry, dstname). The destination directory was created by this walk, so
        // the name is free: copy2's "into a directory" case cannot arise here.
        bool handled = false;
        if (const os::Error e = os::system_copy(srcname, dstname, handled))
          os::raise(e, srcname, dstname);
        if (!handled) {
          os::Stat st;
          const bool have = !os::stat(srcname, st);
          copyfile(srcname, dstname, have ? &st : nullptr, /*replace=*/false);
          copystat_with(srcname, dstname, true, have ? &st : nullptr);
        }
      }
    } catch (const os::Failure& why) {
      walk.errors.push_back({text_of(srcname), text_of(dstname), why.message()});
    } catch (const OpError& why) {
      walk.errors.push_back({text_of(srcname), text_of(dstname), why.what()});
    }
  }
  if (!walk.errors.empty()) throw OpError(error_text(walk.errors));
}

bool destinsrc(std::string_view src, std::string_view dst) {
  std::string s(src), d(dst);
  if (s.empty() || s.back() != os::kSep) s += os::kSep;
  if (d.empty() || d.back() != os::kSep) d += os::kSep;
  return d.starts_with(s);
}

}  // namespace talmek::scrivel::tree
