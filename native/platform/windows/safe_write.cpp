// Writes that leave the old content or the new one, on Windows: a temporary file beside the
// target, flushed (FlushFileBuffers) and put in its place with ReplaceFileW, which keeps the
// target's attributes, ACLs, alternate data streams and creation time; or the target itself
// written after room for the new content is reserved (FileAllocationInfo).
//
// In place are written: a file with other hard links (ReplaceFileW would cut them off), a
// read-only file (whose open then fails as open() fails on it), a file reached through a link
// (CreateFileW follows it; its target's path is not looked up here), and wherever the
// temporary file cannot be made. Errors are those of open() and of writes: the C runtime's
// errno for the Windows code.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/detail.h"
#include "platform/os.h"
#include "platform/windows/dir_access.h"
#include "platform/windows/wide.h"

namespace talmek::os {

namespace {

using win::wide;

Error crt_last() noexcept { return detail::crt_error(GetLastError()); }

std::string path_at(const Dir& dir, std::string_view name) {
  const std::string& base = DirAccess::path(dir);
  return base.empty() ? std::string(name) : join(base, name);
}

// Where the final component of a path starts.
std::size_t leaf_at(std::string_view path) noexcept {
  const std::size_t at = path.find_last_of("/\\");
  if (at != std::string_view::npos) return at + 1;
  return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

std::string temp_path(const std::string& target, int attempt) {
  static std::uint64_t state = GetTickCount64() ^ (std::uint64_t(GetCurrentProcessId()) << 32);
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(attempt));
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  static const char hex[] = "0123456789abcdef";
  const std::size_t at = leaf_at(target);
  std::string out = target.substr(0, at);
  out += '.';
  out.append(target, at, 200);
  out += '.';
  for (int i = 0; i < 8; ++i) out += hex[(z >> (i * 4)) & 0xF];
  out += ".tmp";
  return out;
}

// Reserves room for a file of `size` bytes. Only the lack of space is an error. The allocation
// is never set below what the file holds, which would cut it.
Error reserve(HANDLE h, std::int64_t size) noexcept {
  LARGE_INTEGER now;
  if (!GetFileSizeEx(h, &now) || size <= now.QuadPart) return {};
  FILE_ALLOCATION_INFO info;
  info.AllocationSize.QuadPart = size;
  if (SetFileInformationByHandle(h, FileAllocationInfo, &info, sizeof info)) return {};
  const DWORD code = GetLastError();
  if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) return detail::crt_error(code);
  return {};
}

HANDLE open_target(const std::string& path, DWORD disposition) noexcept {
  return CreateFileW(wide(path).c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Error open_parent(const OsPath& path, Dir& dir, std::string& name) {
  const std::size_t at = leaf_at(path);
  name = path.substr(at);
  if (path.empty()) return Error::of(ErrorKind::NotFound);
  if (name.empty() || name == "." || name == "..") return Error::of(ErrorKind::IsDirectory);
  if (at == 0) {
    dir = Dir();
    return {};
  }
  // The separator stays after a root ("C:\", "\"), where it is the root itself.
  std::string parent = path.substr(0, at);
  const std::size_t anchor = parent.size() >= 2 && parent[1] == ':' ? 3 : 1;
  if (parent.size() > anchor) parent.pop_back();
  // open() names a missing directory as the C runtime does: [Errno 2].
  if (const Error e = open_dir(parent, dir))
    return e.style == ErrorStyle::WinError ? detail::crt_error(static_cast<unsigned long>(e.code))
                                           : e;
  return {};
}

Error open_dir_nofollow(const OsPath& path, Dir& out) {
  // Each directory from the drive down is opened without following a reparse point, and held
  // while the next is opened below it.
  const std::size_t root = path.size() >= 3 && path[1] == ':' ? 3 : 0;
  // A UNC path (\\server\share\...): its share is opened as it is, without the walk.
  if (root == 0) return open_dir(path, out);
  Dir at;
  if (const Error e = open_dir_at(Dir(), path.substr(0, root), true, at)) return e;
  for (std::size_t i = root; i < path.size();) {
    std::size_t j = path.find_first_of("/\\", i);
    if (j == std::string::npos) j = path.size();
    if (j > i) {
      Dir next;
      if (const Error e = open_dir_at(Dir(), path.substr(0, j), true, next)) return e;
      at = std::move(next);
    }
    i = j + 1;
  }
  out = std::move(at);
  return {};
}

Replacement::~Replacement() { abandon(); }

void Replacement::abandon() noexcept {
  if (!m_temp.empty() && !m_committed) {
    m_file.close();
    DeleteFileW(wide(m_temp).c_str());
  }
  m_temp.clear();
}

Error Replacement::begin(const Dir& dir, std::string_view name, std::int64_t size, bool follow,
                         bool force_in_place) {
  m_dir = &dir;
  m_name = path_at(dir, name);  // on Windows the target's whole path
  Stat st;
  const Error missing = lstat(m_name, st);
  const bool exists = !missing;

  auto in_place = [&]() -> Error {
    m_in_place = true;
    HANDLE h = open_target(m_name, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return crt_last();
    m_file.adopt(h);
    Stat now;
    if (file_stat(m_file, now) || !now.is_regular()) return {};
    return reserve(h, size);
  };

  if (missing && !missing.is(ErrorKind::NotFound)) return in_place();
  if (exists && st.type == FileType::Symlink) {
    if (!follow) return Error::of(ErrorKind::Loop);
    return in_place();
  }
  if (exists && !st.is_regular()) {
    m_in_place = true;
    HANDLE h = open_target(m_name, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return crt_last();
    m_file.adopt(h);
    return {};
  }
  if (force_in_place || (exists && (st.nlink > 1 || !(st.mode & 0200)))) return in_place();

  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string temp = temp_path(m_name, attempt);
    HANDLE h = CreateFileW(wide(temp).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      m_file.adopt(h);
      m_temp = std::move(temp);
      m_replace = exists;  // commit() replaces rather than renames
      return {};
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return in_place();
}

Error Replacement::commit(std::int64_t* size_after) {
  Stat st;
  if (m_in_place) {
    if (const Error e = file_stat(m_file, st)) return e;
    if (st.is_regular()) {
      LARGE_INTEGER zero{}, at;
      if (!SetFilePointerEx(m_file.handle(), zero, &at, FILE_CURRENT) ||
          !SetEndOfFile(m_file.handle()) || !FlushFileBuffers(m_file.handle()))
        return crt_last();
      if (const Error e = file_stat(m_file, st)) return e;
    }
    if (size_after) *size_after = st.size;
    if (const Error e = m_file.close()) return e;
    m_committed = true;
    return {};
  }
  if (!FlushFileBuffers(m_file.handle())) return crt_last();
  if (const Error e = file_stat(m_file, st)) return e;
  if (const Error e = m_file.close()) return e;
  const std::wstring target = wide(m_name), temp = wide(m_temp);
  BOOL ok = FALSE;
  if (m_replace) {
    ok = ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr);
  }
  // A target that did not exist, or that went away meanwhile.
  if (!ok && (!m_replace || GetLastError() == ERROR_FILE_NOT_FOUND))
    ok = MoveFileExW(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) return crt_last();
  m_committed = true;
  m_temp.clear();
  if (size_after) *size_after = st.size;
  return {};
}

Error append_file(const Dir& dir, std::string_view name, std::string_view bytes,
                  std::int64_t* size_after) {
  const std::string path = path_at(dir, name);
  HANDLE h = open_target(path, OPEN_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return crt_last();
  File f;
  f.adopt(h);
  Stat st;
  if (const Error e = file_stat(f, st)) return e;
  const bool regular = st.is_regular();
  if (regular) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(h, zero, nullptr, FILE_END)) return crt_last();
    if (const Error e = reserve(h, st.size + static_cast<std::int64_t>(bytes.size()))) return e;
  }
  if (const Error e = write_all(f, bytes)) {
    if (regular) (void)set_size(f, st.size);  // nothing of the text stays behind
    return e;
  }
  if (const Error e = file_stat(f, st)) return e;
  if (size_after) *size_after = st.size;
  return f.close();
}

// A full disk comes out of crt_error's mapping as ENOSPC.
bool detail::out_of_room(const Error& e) noexcept { return e.code == ENOSPC; }

}  // namespace talmek::os
