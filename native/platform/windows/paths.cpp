// Path texts and their resolution on Windows: PureWindowsPath's rules (platform/ntpath.h),
// ntpath.expanduser over the process environment, and a port of ntpath.realpath (non-strict)
// over GetFinalPathNameByHandleW, as CPython 3.14 computes Path.resolve() there.
#include <windows.h>

#include <set>

#include "common/os_error.h"
#include "common/text.h"
#include "platform/detail.h"
#include "platform/ntpath.h"
#include "platform/os.h"
#include "platform/windows/wide.h"

namespace talmek::os {

namespace {

std::optional<std::string> env(const char* name) {
  const std::wstring w = win::to_wide(name);
  const DWORD n = GetEnvironmentVariableW(w.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring value(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(w.c_str(), value.data(), n);
  value.resize(got);
  return win::narrow(value);
}

const ntpath::GetEnv kEnv = env;

Error win_error(DWORD code) noexcept { return detail::win_error(code); }

// nt._getfinalpathname: the path the system opens for `path`, in its "\\?\" form.
DWORD final_path(const std::string& path, std::string& out) {
  HANDLE h = CreateFileW(win::wide(path).c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) {
      const DWORD code = GetLastError();
      // Some implementations say "more data" instead of the length needed: the longest path.
      if (code == ERROR_MORE_DATA && buf.size() < 32768) {
        buf.resize(32768);
        continue;
      }
      CloseHandle(h);
      if (code == ERROR_MORE_DATA) {
        // Wine answers so for any path past MAX_PATH: the path as opened is the best we know.
        out = win::narrow(win::wide(path));
        return 0;
      }
      return code;
    }
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(n + 1);
  }
  CloseHandle(h);
  out = win::narrow(buf);
  return 0;
}

// ntpath.split
std::pair<std::string, std::string> split(std::string_view p) {
  const ntpath::Root r = ntpath::splitroot(p);
  std::size_t i = r.tail.size();
  while (i > 0 && r.tail[i - 1] != '\\' && r.tail[i - 1] != '/') --i;
  std::string_view head = r.tail.substr(0, i);
  while (!head.empty() && (head.back() == '\\' || head.back() == '/')) head.remove_suffix(1);
  return {std::string(r.drive) + std::string(r.root) + std::string(head),
          std::string(r.tail.substr(i))};
}

// The join of _getfinalpathname_nonstrict: no drive handling, since the tail may hold a colon.
std::string join_tail(const std::string& path, const std::string& tail) {
  if ((!path.empty() && path.back() == '\\') || tail.empty()) return path + tail;
  return path + "\\" + tail;
}

bool is_link(const std::string& path) {
  Stat st;
  return !lstat(path, st) && st.type == FileType::Symlink;
}

bool in(DWORD code, std::initializer_list<DWORD> codes) {
  for (DWORD c : codes)
    if (c == code) return true;
  return false;
}

// ntpath._readlink_deep
std::string readlink_deep(std::string path) {
  std::set<std::string> seen;
  while (seen.insert(ntpath::normcase(path)).second) {
    const std::string old_path = path;
    OsPath target;
    const Error e = readlink(path, target);
    if (e) {
      if (e.style == ErrorStyle::WinError &&
          in(static_cast<DWORD>(e.code), {1, 2, 3, 5, 21, 32, 50, 67, 87, 4390, 4392, 4393}))
        break;
      raise(e, path);
    }
    path = target;
    if (!ntpath::isabs(path)) {
      if (!is_link(old_path)) {
        path = old_path;
        break;
      }
      path = ntpath::normpath(join(split(old_path).first, path));
    }
  }
  return path;
}

// ntpath._getfinalpathname_nonstrict
std::string final_path_nonstrict(std::string path) {
  static const std::initializer_list<DWORD> allowed = {1,  2,  3,  5,   21,  32,   50,   53,
                                                       65, 67, 87, 123, 161, 1005, 1920, 1921};
  std::string tail;
  while (!path.empty()) {
    std::string out;
    const DWORD code = final_path(path, out);
    if (code == 0) return join_tail(out, tail);
    if (!in(code, allowed)) throw Failure(win_error(code), path);
    try {
      const std::string new_path = readlink_deep(path);
      if (new_path != path) return join_tail(new_path, tail);
    } catch (const Failure&) {
      // readlink failed: keep walking up
    }
    std::string name;
    if (in(code, {1, 5, 32, 50, 87, 1920, 1921})) {
      // The real name of a file that cannot be opened, from its directory's listing.
      WIN32_FIND_DATAW d;
      HANDLE h = FindFirstFileW(win::wide(path).c_str(), &d);
      if (h != INVALID_HANDLE_VALUE) {
        FindClose(h);
        name = win::narrow(d.cFileName);
        path = split(path).first;
      } else {
        std::tie(path, name) = split(path);
      }
    } else {
      std::tie(path, name) = split(path);
    }
    if (!path.empty() && name.empty()) return path + tail;
    tail = join_tail(name, tail);
  }
  return tail;
}

// GetFullPathNameW (nt._getfullpathname), for a relative path or one relative to a drive.
std::string abspath(const std::string& path) {
  const std::wstring w = win::to_wide(ntpath::normpath(path));
  const DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return ntpath::normpath(join(cwd(), path));
  std::wstring buf(n, L'\0');
  const DWORD got = GetFullPathNameW(w.c_str(), n, buf.data(), nullptr);
  buf.resize(got);
  return ntpath::normpath(win::narrow(buf));
}

// ntpath.realpath(path) (non-strict).
std::string realpath(std::string_view path_in) {
  std::string path = ntpath::normpath(path_in);
  if (ntpath::normcase(path) == "nul") return "\\\\.\\NUL";
  const bool had_prefix = path.starts_with("\\\\?\\");
  if (!had_prefix && !ntpath::isabs(path)) path = abspath(path);
  DWORD initial = 0;
  std::string out;
  if (const DWORD code = final_path(path, out); code == 0) {
    path = out;
  } else {
    initial = code;
    path = final_path_nonstrict(path);
  }
  if (!had_prefix && path.starts_with("\\\\?\\")) {
    std::optional<std::string> spath;
    if (path.starts_with("\\\\?\\UNC\\"))
      spath = "\\\\" + path.substr(8);
    else if (path.size() >= 7 && path.compare(5, 2, ":\\") == 0)
      spath = path.substr(4);
    if (spath) {
      std::string again;
      const DWORD code = final_path(*spath, again);
      if ((code == 0 && again == path) || (code != 0 && code == initial)) path = *spath;
    }
  }
  return path;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Texts and OS paths

bool to_os_path(std::string_view text_in, OsPath& out, std::string& error) {
  if (text_in.find('\0') != std::string_view::npos) {
    error = "embedded null character";
    return false;
  }
  out.assign(text_in);
  return true;
}

std::string to_text(std::string_view os_path) { return std::string(os_path); }

void name_code_points(std::string_view name, std::u32string& out) {
  for (std::size_t i = 0; i < name.size();) out += text::next_cp(name, i);
}

char32_t fold_case(char32_t cp) noexcept { return ntpath::fold_case(cp); }

// ---------------------------------------------------------------------------------------------
// Pure path texts

std::string join(std::string_view a, std::string_view b) {
  std::string out;
  out.reserve(a.size() + 1 + b.size());
  out += a;
  if (!out.empty() && !is_sep(out.back()) && !(out.size() == 2 && out[1] == ':')) out += kSep;
  out += b;
  return out;
}

std::string_view name_of(std::string_view path) noexcept { return ntpath::name_of(path); }
std::string_view parent_of(std::string_view path) noexcept {
  try {
    return ntpath::parent_of(path);
  } catch (...) {
    return path;
  }
}
bool is_root(std::string_view path) noexcept {
  try {
    return ntpath::is_root(path);
  } catch (...) {
    return false;
  }
}
bool is_anchored(std::string_view text) noexcept {
  const ntpath::Root r = ntpath::splitroot(text);
  return !r.drive.empty() || !r.root.empty();
}

bool contains(std::string_view dir, std::string_view below) {
  const std::string d = ntpath::normcase(dir), b = ntpath::normcase(below);
  if (!d.empty() && d.back() == '\\') return b.starts_with(d);
  return b == d || (b.size() > d.size() && b.starts_with(d) && b[d.size()] == '\\');
}

bool same_path(std::string_view a, std::string_view b) {
  return ntpath::normcase(a) == ntpath::normcase(b);
}
bool path_less(std::string_view a, std::string_view b) { return ntpath::path_less(a, b); }
std::string normalize(std::string_view text) { return ntpath::normalize(text); }

// ---------------------------------------------------------------------------------------------
// The home directory and resolution

std::string expanduser(std::string_view text) { return ntpath::expanduser(text, kEnv); }

std::optional<std::string> home_dir() {
  std::string home = expanduser("~");
  if (home.starts_with('~')) return std::nullopt;
  return home;
}

std::string cwd() {
  const DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) raise(win_error(GetLastError()));
  std::wstring buf(n, L'\0');
  const DWORD got = GetCurrentDirectoryW(n, buf.data());
  if (got == 0) raise(win_error(GetLastError()));
  buf.resize(got);
  return win::narrow(buf);
}

std::string expand_user(std::string_view text_in) {
  std::optional<std::string> p = ntpath::expand_first(ntpath::normalize(text_in), kEnv);
  if (!p) throw OpError("Could not determine home directory.");
  return *p;
}

namespace {

std::string resolve_now(std::string_view text_in) {
  const std::string p = expand_user(text_in);
  if (const std::optional<std::string> why = ntpath::refusal(p))
    throw OpError("Path refused on Windows, " + *why + ": " + text::py_repr(text_in));
  // A NUL cannot reach the system: realpath keeps such a path as it stands, made absolute.
  if (p.find('\0') != std::string::npos)
    return ntpath::normpath(ntpath::isabs(p) ? p : join(cwd(), p));
  return realpath(p);
}

}  // namespace

std::string resolve(std::string_view text_in) {
  if (const std::string* known = detail::remembered(text_in)) return *known;
  std::string resolved = resolve_now(text_in);
  detail::remember(text_in, resolved);
  return resolved;
}

std::string resolve(std::string_view text_in, Stat& st, Error& err) {
  std::string r = resolve(text_in);
  OsPath p;
  std::string unusable;
  err = to_os_path(r, p, unusable) ? stat(p, st) : Error::of(ErrorKind::InvalidName);
  return r;
}

// The working directory is asked for each time: GetFullPathNameW reads it from the process's
// own block, without a call into the kernel.
void pin_working_directory() noexcept {}

}  // namespace talmek::os
