// The layer on Windows: files, status, directories, tree changes, copy primitives and the
// standard streams, over the wide (UTF-16) Win32 calls.
//
// Every path goes to the system in its "\\?\" form (see wide()): long paths work without the
// system's long-path setting, and names are taken as written. The Win32 renaming of names that
// a caller's path would otherwise go through (trailing dots and spaces dropped, device names)
// cannot then happen behind our back; resolution refuses such names in a caller's text instead
// (ntpath::refusal).
//
// Error styles follow the CPython call each primitive stands for: open() and the reads and
// writes of a file object report the C runtime's errno (mapped from the Windows code as the
// runtime maps it); os.stat, os.mkdir, os.rename, os.scandir and the like report the Windows
// code itself ([WinError N]).
#include "platform/os.h"

#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/text.h"
#include "platform/detail.h"
#include "platform/windows/dir_access.h"
#include "platform/windows/wide.h"

namespace talmek::os {

using win::wide;

// =============================================================================================
// Errors

namespace {

// The C runtime's _dosmaperr: the errno that open(), read() and write() report for a code.
int crt_errno(DWORD code) noexcept {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_FAIL_I24:
    case ERROR_DRIVE_LOCKED:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_NOT_LOCKED:
    case ERROR_LOCK_FAILED:
      return EACCES;
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_TARGET_HANDLE:
    case ERROR_DIRECT_ACCESS_HANDLE:
      return EBADF;
    case ERROR_ARENA_TRASHED:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_INVALID_BLOCK:
    case ERROR_NOT_ENOUGH_QUOTA:
      return ENOMEM;
    case ERROR_BAD_ENVIRONMENT:
      return E2BIG;
    case ERROR_BAD_FORMAT:
      return ENOEXEC;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_NO_PROC_SLOTS:
    case ERROR_MAX_THRDS_REACHED:
    case ERROR_NESTING_NOT_ALLOWED:
      return EAGAIN;
    case ERROR_BROKEN_PIPE:
      return EPIPE;
    case ERROR_DISK_FULL:
      return ENOSPC;
    case ERROR_WAIT_NO_CHILDREN:
    case ERROR_CHILD_NOT_COMPLETE:
      return ECHILD;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    default:
      if (code >= ERROR_WRITE_PROTECT && code <= ERROR_SHARING_BUFFER_EXCEEDED) return EACCES;
      if (code >= ERROR_INVALID_STARTING_CODESEG && code <= ERROR_INFLOOP_IN_RELOC_CHAIN)
        return ENOEXEC;
      return EINVAL;
  }
}

// CPython's winerror_to_errno, which picks the OSError subclass of a [WinError N].
ErrorKind win_kind(DWORD code) noexcept {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ErrorKind::NotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return ErrorKind::PermissionDenied;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return ErrorKind::Exists;
    case ERROR_DIRECTORY:
      return ErrorKind::NotDirectory;
    case ERROR_DIR_NOT_EMPTY:
      return ErrorKind::NotEmpty;
    case ERROR_NOT_SAME_DEVICE:
      return ErrorKind::CrossDevice;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return ErrorKind::BrokenPipe;
    case ERROR_INVALID_NAME:
      return ErrorKind::InvalidName;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ErrorKind::Loop;
    default:
      return ErrorKind::Other;
  }
}

// The failure of an os.* call: [WinError N].
Error win_err(DWORD code) noexcept {
  return Error{static_cast<int>(code), ErrorStyle::WinError, win_kind(code)};
}
Error last_win() noexcept { return win_err(GetLastError()); }
// The failure of open() or of a read or write: [Errno N].
Error crt(DWORD code) noexcept { return Error::from_errno(crt_errno(code)); }
Error last_crt() noexcept { return crt(GetLastError()); }

}  // namespace

namespace detail {

Error win_error(unsigned long code) noexcept { return win_err(code); }
Error crt_error(unsigned long code) noexcept { return crt(code); }

std::string win_error_text(int code) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  if (n == 0 || !buf)
    return "Windows Error 0x" + [code] {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(code));
      return std::string(hex);
    }();
  std::wstring_view w(buf, n);
  // CPython strips trailing white space and dots from the system's text.
  while (!w.empty() && (w.back() <= L' ' || w.back() == L'.')) w.remove_suffix(1);
  std::string out = win::narrow(w);
  LocalFree(buf);
  return out;
}

}  // namespace detail

// =============================================================================================
// Status

namespace {

constexpr std::int64_t kEpochDelta = 116444736000000000LL;  // 1601 to 1970, in 100 ns

std::int64_t to_ns(const FILETIME& ft) noexcept {
  const std::int64_t t = (static_cast<std::int64_t>(ft.dwHighDateTime) << 32) |
                         static_cast<std::int64_t>(ft.dwLowDateTime);
  return (t - kEpochDelta) * 100;
}

FILETIME from_ns(std::int64_t ns) noexcept {
  const std::int64_t t = ns / 100 + kEpochDelta;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) >> 32);
  return ft;
}

bool is_name_surrogate(DWORD tag) noexcept {
  return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

// The status of an open handle, as os.stat builds it (st_mode from the attributes).
Error handle_stat(HANDLE h, Stat& st) noexcept {
  const DWORD type = GetFileType(h);
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
    st = Stat{};
    st.type = type == FILE_TYPE_CHAR ? FileType::CharDevice : FileType::Fifo;
    st.mode = 0666;
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return last_win();
  st.type = FileType::Regular;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) st.type = FileType::Directory;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
        is_name_surrogate(tag.ReparseTag))
      st.type = FileType::Symlink;
  }
  st.size = st.type == FileType::Directory
                ? 0
                : static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                            info.nFileSizeLow);
  st.dev = info.dwVolumeSerialNumber;
  st.ino = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  st.nlink = info.nNumberOfLinks;
  st.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  if (st.type == FileType::Directory) st.mode |= 0111;
  st.atime_ns = to_ns(info.ftLastAccessTime);
  st.mtime_ns = to_ns(info.ftLastWriteTime);
  return {};
}

HANDLE open_for_status(const OsPath& path, bool follow) noexcept {
  return CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                     nullptr);
}

// Status from the directory entry, for a file that cannot be opened at all (a paging file, one
// locked against any access), as os.stat falls back to FindFirstFileW.
Error status_from_listing(const OsPath& path, Stat& st) noexcept {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return last_win();
  st = Stat{};
  st.type =
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileType::Directory : FileType::Regular;
  st.size = st.type == FileType::Directory
                ? 0
                : static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                            data.nFileSizeLow);
  st.mode = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  st.atime_ns = to_ns(data.ftLastAccessTime);
  st.mtime_ns = to_ns(data.ftLastWriteTime);
  return {};
}

Error stat_impl(const OsPath& path, Stat& st, bool follow) {
  HANDLE h = open_for_status(path, follow);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED) {
      if (!status_from_listing(path, st)) return {};
    }
    return win_err(code);
  }
  const Error e = handle_stat(h, st);
  CloseHandle(h);
  return e;
}

}  // namespace

Error stat(const OsPath& path, Stat& st) { return stat_impl(path, st, true); }
Error lstat(const OsPath& path, Stat& st) { return stat_impl(path, st, false); }

bool exists(const OsPath& path) noexcept {
  Stat st;
  try {
    return !stat(path, st);
  } catch (...) {
    return false;
  }
}

// =============================================================================================
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
  if (m_h == kInvalid) return {};
  const BOOL ok = CloseHandle(m_h);
  m_h = kInvalid;
  return ok ? Error{} : last_crt();
}

Error open_file(const OsPath& path, Access access, File& f, Stat* st) {
  DWORD want = GENERIC_READ, disposition = OPEN_EXISTING;
  switch (access) {
    case Access::Read:
      break;
    case Access::WriteTruncate:
      want = GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
    case Access::Append:
      want = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
      disposition = OPEN_ALWAYS;
      break;
    case Access::CreateNew:
      want = GENERIC_WRITE;
      disposition = CREATE_NEW;
      break;
    case Access::ReadWrite:
      want = GENERIC_READ | GENERIC_WRITE;
      break;
  }
  HANDLE h =
      CreateFileW(wide(path).c_str(), want, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_crt();
  f.adopt(h);
  if (st) {
    if (const Error e = handle_stat(h, *st)) return e;
  }
  return {};
}

Error file_stat(const File& f, Stat& st) { return handle_stat(f.handle(), st); }

Error read_some(const File& f, char* buf, std::size_t n, std::size_t& got) {
  DWORD done = 0;
  const DWORD want = static_cast<DWORD>(n > (1u << 30) ? (1u << 30) : n);
  if (!ReadFile(f.handle(), buf, want, &done, nullptr)) {
    const DWORD code = GetLastError();
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) {
      got = 0;
      return {};
    }
    return crt(code);
  }
  got = done;
  return {};
}

Error read_all(const File& f, std::int64_t size, std::string& out) {
  if (size > 0) out.reserve(out.size() + static_cast<std::size_t>(size) + 1);
  for (;;) {
    if (out.capacity() - out.size() < 4096) out.reserve(out.capacity() * 2 + 65536);
    const std::size_t old = out.size();
    out.resize(out.capacity());
    std::size_t n = 0;
    const Error e = read_some(f, out.data() + old, out.size() - old, n);
    out.resize(old + n);
    if (e) return e;
    if (n == 0) return {};
  }
}

Error write_all(const File& f, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD done = 0;
    const DWORD want = static_cast<DWORD>(bytes.size() > (1u << 30) ? (1u << 30) : bytes.size());
    if (!WriteFile(f.handle(), bytes.data(), want, &done, nullptr)) return last_crt();
    bytes.remove_prefix(done);
  }
  return {};
}

Error sync(const File& f) { return FlushFileBuffers(f.handle()) ? Error{} : last_crt(); }

Error set_size(const File& f, std::int64_t size) {
  LARGE_INTEGER at;
  at.QuadPart = size;
  if (!SetFilePointerEx(f.handle(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(f.handle()))
    return last_crt();
  return {};
}

// =============================================================================================
// Directories

namespace {

EntryKind kind_of(const WIN32_FIND_DATAW& d) noexcept {
  if ((d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && is_name_surrogate(d.dwReserved0))
    return EntryKind::Symlink;
  if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::Directory;
  return EntryKind::Regular;
}

}  // namespace

Error read_dir(const OsPath& path, DirEntries& out, bool with_status, const NameFilter* only) {
  out.clear();
  std::wstring pattern = wide(path);
  if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &d, FindExSearchNameMatch, nullptr,
                              FIND_FIRST_EX_LARGE_FETCH);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return {};  // an empty drive root
    return win_err(code);
  }
  std::string base;
  if (with_status) base = path;
  do {
    const wchar_t* n = d.cFileName;
    if (n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0))) continue;
    const std::string name = win::narrow(n);
    const EntryKind kind = kind_of(d);
    EntryStatus status;
    if (with_status && (!only || (*only)(name))) {
      status.known = true;
      if (kind == EntryKind::Directory) {
        status.ok = status.is_dir = true;
      } else if (kind == EntryKind::Regular) {
        // os.DirEntry.stat() on Windows: from the listing itself for anything but a link.
        status.ok = status.is_regular = true;
        status.size = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow);
      } else {
        Stat st;
        if (!stat(join(base, name), st)) {
          status.ok = true;
          status.is_dir = st.is_dir();
          status.is_regular = st.is_regular();
          if (status.is_regular) status.size = st.size;
        }
      }
    }
    out.items.push_back({static_cast<std::uint32_t>(out.names.size()),
                         static_cast<std::uint32_t>(name.size()), kind, status});
    out.names.append(name);
    out.names += '\0';
  } while (FindNextFileW(h, &d));
  const DWORD code = GetLastError();
  FindClose(h);
  if (code != ERROR_NO_MORE_FILES) {
    out.clear();
    return win_err(code);
  }
  return {};
}

Dir::~Dir() {
  if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
}
Dir::Dir(Dir&& o) noexcept : m_h(o.m_h), m_path(std::move(o.m_path)) {
  o.m_h = INVALID_HANDLE_VALUE;
}
Dir& Dir::operator=(Dir&& o) noexcept {
  if (this != &o) {
    if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    m_h = o.m_h;
    m_path = std::move(o.m_path);
    o.m_h = INVALID_HANDLE_VALUE;
  }
  return *this;
}
bool Dir::valid() const noexcept { return m_h != INVALID_HANDLE_VALUE; }

namespace {

std::string path_at(const Dir& dir, std::string_view name) {
  const std::string& base = DirAccess::path(dir);
  return base.empty() ? std::string(name) : join(base, name);
}

// Opens a directory: the handle keeps others from removing or renaming it while it is held
// (its sharing allows deletion, so that the removal of the tree itself goes on).
Error open_dir_handle(const std::string& path, bool nofollow, Dir& out, Stat* st) {
  HANDLE h = CreateFileW(
      wide(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (nofollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_win();
  Stat s;
  if (const Error e = handle_stat(h, s)) {
    CloseHandle(h);
    return e;
  }
  if (s.type == FileType::Symlink) {
    CloseHandle(h);
    return Error::of(ErrorKind::Loop);
  }
  if (!s.is_dir()) {
    CloseHandle(h);
    return win_err(ERROR_DIRECTORY);
  }
  DirAccess::set(out, h, path);
  if (st) *st = s;
  return {};
}

}  // namespace

Error open_dir(const OsPath& path, Dir& out) { return open_dir_handle(path, false, out, nullptr); }

Error open_dir_at(const Dir& parent, std::string_view name, bool nofollow, Dir& out, Stat* st) {
  return open_dir_handle(path_at(parent, name), nofollow, out, st);
}

Error stat_at(const Dir& dir, std::string_view name, bool follow, Stat& st) {
  return stat_impl(path_at(dir, name), st, follow);
}

Error dir_stat(const Dir& dir, Stat& st) { return handle_stat(DirAccess::handle(dir), st); }

Error read_dir(const Dir& dir, DirEntries& out) {
  return read_dir(DirAccess::path(dir), out, false);
}

Error unlink_at(const Dir& dir, std::string_view name) { return unlink(path_at(dir, name)); }
Error rmdir_at(const Dir& dir, std::string_view name) { return rmdir(path_at(dir, name)); }

// =============================================================================================
// Changing the tree

Error mkdir(const OsPath& path) {
  return CreateDirectoryW(wide(path).c_str(), nullptr) ? Error{} : last_win();
}
Error rmdir(const OsPath& path) {
  return RemoveDirectoryW(wide(path).c_str()) ? Error{} : last_win();
}

Error unlink(const OsPath& path) {
  // os.unlink: a link to a directory (a directory symlink or a junction) is removed as the
  // directory entry it is.
  const std::wstring w = wide(path);
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(w.c_str(), &d);
  if (h != INVALID_HANDLE_VALUE) {
    FindClose(h);
    if ((d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && is_name_surrogate(d.dwReserved0))
      return RemoveDirectoryW(w.c_str()) ? Error{} : last_win();
  }
  return DeleteFileW(w.c_str()) ? Error{} : last_win();
}

Error rename(const OsPath& src, const OsPath& dst) {
  return MoveFileExW(wide(src).c_str(), wide(dst).c_str(), 0) ? Error{} : last_win();
}

Error symlink(const OsPath& target, const OsPath& link) {
  // A relative target is stored as written (backslashes), and read back as written.
  std::wstring t = win::to_wide(target);
  for (wchar_t& c : t)
    if (c == L'/') c = L'\\';
  const DWORD flags = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  return CreateSymbolicLinkW(wide(link).c_str(), t.c_str(), flags) ? Error{} : last_win();
}

namespace {

// The parts of REPARSE_DATA_BUFFER (ntifs.h) that links use.
struct ReparseHeader {
  ULONG tag;
  USHORT data_length;
  USHORT reserved;
};
struct LinkBuffer {
  USHORT substitute_offset, substitute_length, print_offset, print_length;
};

}  // namespace

Error readlink(const OsPath& path, OsPath& target) {
  HANDLE h = CreateFileW(
      wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_win();
  std::unique_ptr<unsigned char[]> buf(new unsigned char[MAXIMUM_REPARSE_DATA_BUFFER_SIZE]);
  DWORD got = 0;
  const BOOL ok = DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, buf.get(),
                                  MAXIMUM_REPARSE_DATA_BUFFER_SIZE, &got, nullptr);
  const DWORD code = GetLastError();
  CloseHandle(h);
  if (!ok) return win_err(code);
  ReparseHeader head;
  std::memcpy(&head, buf.get(), sizeof head);
  std::size_t at = sizeof head;
  if (!is_name_surrogate(head.tag)) return win_err(ERROR_NOT_A_REPARSE_POINT);
  LinkBuffer link;
  std::memcpy(&link, buf.get() + at, sizeof link);
  at += sizeof link;
  if (head.tag == IO_REPARSE_TAG_SYMLINK) at += sizeof(ULONG);  // its Flags
  auto name = [&](USHORT offset, USHORT length) {
    std::wstring w(length / sizeof(wchar_t), L'\0');
    std::memcpy(w.data(), buf.get() + at + offset, length);
    return w;
  };
  std::wstring w = name(link.print_offset, link.print_length);
  if (w.empty()) {
    w = name(link.substitute_offset, link.substitute_length);
    if (w.starts_with(L"\\??\\")) w[1] = L'\\';
  }
  target = win::narrow(w);
  return {};
}

// =============================================================================================
// Copy primitives

Error system_copy(const OsPath& src, const OsPath& dst, bool& handled) {
  handled = true;
  if (CopyFileExW(wide(src).c_str(), wide(dst).c_str(), nullptr, nullptr, nullptr,
                  COPY_FILE_ALLOW_DECRYPTED_DESTINATION))
    return {};
  const DWORD code = GetLastError();
  if (code == ERROR_ACCESS_DENIED) {
    // Possibly a hidden or read-only file that cannot be overwritten: shutil copies itself.
    handled = false;
    return {};
  }
  return win_err(code);
}

Error copy_data(const File& in, const File& out, bool& named) {
  named = false;
  std::unique_ptr<char[]> buf(new char[1 << 20]);  // shutil.COPY_BUFSIZE on Windows
  for (;;) {
    std::size_t n = 0;
    if (const Error e = read_some(in, buf.get(), 1 << 20, n)) return e;
    if (n == 0) return {};
    if (const Error e = write_all(out, std::string_view(buf.get(), n))) return e;
  }
}

Error set_times(const OsPath& dst, const Stat& from, bool follow) {
  HANDLE h = CreateFileW(
      wide(dst).c_str(), FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_win();
  const FILETIME atime = from_ns(from.atime_ns), mtime = from_ns(from.mtime_ns);
  const BOOL ok = SetFileTime(h, nullptr, &atime, &mtime);
  const DWORD code = GetLastError();
  CloseHandle(h);
  return ok ? Error{} : win_err(code);
}

Error chmod(const OsPath& path, std::uint32_t mode) {
  const std::wstring w = wide(path);
  const DWORD attrs = GetFileAttributesW(w.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return last_win();
  const DWORD next = (mode & 0200) ? (attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))
                                   : (attrs | FILE_ATTRIBUTE_READONLY);
  if (next == attrs) return {};
  return SetFileAttributesW(w.c_str(), next) ? Error{} : last_win();
}

Error copy_xattrs(const OsPath&, const OsPath&, bool, OsPath&) { return {}; }

// =============================================================================================
// The worker process and its standard streams

void prepare_worker_process() noexcept {
  std::signal(SIGINT, SIG_IGN);
  // No error dialogs of the system on behalf of this process (a drive without media, say): the
  // call fails and the worker answers.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

Error read_stdin(char* buf, std::size_t n, std::size_t& got) noexcept {
  DWORD done = 0;
  const DWORD want = static_cast<DWORD>(n > (1u << 30) ? (1u << 30) : n);
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, want, &done, nullptr)) {
    const DWORD code = GetLastError();
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) {
      got = 0;
      return {};
    }
    return crt(code);
  }
  got = done;
  return {};
}

namespace {
Error write_handle(HANDLE h, std::string_view data) noexcept {
  while (!data.empty()) {
    DWORD done = 0;
    const DWORD want = static_cast<DWORD>(data.size() > (1u << 30) ? (1u << 30) : data.size());
    if (!WriteFile(h, data.data(), want, &done, nullptr)) return last_crt();
    data.remove_prefix(done);
  }
  return {};
}
}  // namespace

Error write_stdout(std::string_view data) noexcept {
  return write_handle(GetStdHandle(STD_OUTPUT_HANDLE), data);
}
void write_stderr(std::string_view data) noexcept {
  (void)write_handle(GetStdHandle(STD_ERROR_HANDLE), data);
}

// ---------------------------------------------------------------------------------------------
// Confinement: the check by final paths; the parent opened by its path (see os.h)

Error Roots::open_root(Root& r) {
  r.os = r.text;
  return open_dir_handle(r.os, false, r.dir, nullptr);
}

Error Roots::beneath(std::string_view os_path, bool follow, Beneath& out, bool) const {
  std::string resolved;
  try {
    const std::string p = normalize(os_path);
    const std::string_view name = name_of(p);
    if (follow || is_root(p) || name.empty() || name == "." || name == "..")
      resolved = resolve(p);
    else
      resolved = join(resolve(parent_of(p)), name);
  } catch (...) {
    return Error::of(ErrorKind::InvalidName);
  }
  if (holding(resolved) == npos) return Error::outside();
  if (is_root(resolved)) {
    out.name = ".";
    return open_dir_handle(resolved, false, out.dir, nullptr);
  }
  out.name = std::string(name_of(resolved));
  return open_dir_handle(std::string(parent_of(resolved)), true, out.dir, nullptr);
}

Error open_file_at(const Dir& dir, std::string_view name, Access access, File& f, Stat* st) {
  const std::string path = path_at(dir, name);
  Stat link;
  if (!lstat(path, link) && link.type == FileType::Symlink) return Error::of(ErrorKind::Loop);
  return open_file(path, access, f, st);
}

void use_openat2(bool) noexcept {}

int Roots::open_at_once(std::string_view, int) const noexcept { return kNotAtOnce; }

}  // namespace talmek::os
