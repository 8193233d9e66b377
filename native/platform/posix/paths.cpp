// Path texts and their resolution on POSIX: ports of posixpath.expanduser and realpath and of
// pathlib's normalisation (CPython 3.14), and the byte form the system calls take.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/os_error.h"
#include "common/text.h"
#include "platform/detail.h"
#include "platform/os.h"

namespace talmek::os {

namespace {

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = s.find(sep, start);
    if (at == std::string_view::npos) {
      parts.push_back(s.substr(start));
      return parts;
    }
    parts.push_back(s.substr(start, at - start));
    start = at + 1;
  }
}

std::string encode_or_throw(std::string_view text) {
  std::string out, error;
  if (!text::fsencode(text, out, error)) throw OpError(error);
  return out;
}

// The working directory kept by pin_working_directory(), and whether one is kept.
bool g_cwd_pinned = false;
std::string g_cwd;

// The working directory as the resolution of a relative path starts from it: os.getcwd(), or
// the copy kept since pin_working_directory(). `fresh` asks the system again (and renews the
// copy).
std::string working_directory(bool fresh) {
  if (!g_cwd_pinned) return cwd();
  if (fresh || g_cwd.empty()) g_cwd = cwd();
  return g_cwd;
}

// What the last lstat of a resolution found, for the status of the path it ends at.
struct LastLookup {
  std::string path;  // the path looked up (empty: none that the status can be taken from)
  int error = 0;     // its errno, or 0 with `st` filled
  struct stat st;
};

// os.path.realpath(path) (non-strict) as CPython 3.14 computes it, from `start` (the working
// directory for a relative path, "/" for an absolute one): links followed, missing components
// kept as written, loops left unresolved. With `stale`, a first lookup that finds nothing sets
// it and ends the resolution (see realpath). With `last`, the lookup of the resolved path's last
// component is recorded when it was no link.
std::string realpath_from(std::string_view filename, std::string start, bool* stale,
                          LastLookup* last) {
  // The stack of unresolved parts, reversed; nullopt marks a resolved link target, after which
  // the link's own path is popped to fill the cache.
  std::vector<std::optional<std::string>> rest;
  for (std::string_view p : split(filename, '/')) rest.emplace_back(std::string(p));
  std::reverse(rest.begin(), rest.end());
  std::size_t part_count = rest.size();
  std::string path = std::move(start);
  std::unordered_map<std::string, std::optional<std::string>> seen;
  if (last) last->path.clear();
  bool first_lookup = true;
  // A resolution that looks nothing up below the start (".", "", "..") cannot tell whether a
  // kept working directory is still right: it is asked for.
  const auto check_unlooked = [&] {
    if (stale && first_lookup) *stale = true;
  };

  while (part_count) {
    std::optional<std::string> name = std::move(rest.back());
    rest.pop_back();
    if (!name) {
      std::string link = std::move(*rest.back());
      rest.pop_back();
      seen[link] = path;
      continue;
    }
    --part_count;
    if (name->empty() || *name == ".") continue;
    if (*name == "..") {
      const std::size_t at = path.rfind('/');
      path = at == 0 ? "/" : path.substr(0, at);
      continue;
    }
    std::string newpath = path == "/" ? path + *name : path + "/" + *name;
    const std::string encoded = encode_or_throw(newpath);
    // os.lstat refuses a NUL with a ValueError, which realpath does not swallow.
    if (encoded.find('\0') != std::string::npos)
      throw OpError("lstat: embedded null character in path");
    struct stat st;
    const bool found = ::lstat(encoded.c_str(), &st) == 0;
    const int err = found ? 0 : errno;
    // A working directory kept from before that no longer holds what it held (renamed or
    // removed since) shows here first: the first lookup below it fails. The caller then asks
    // the system for the working directory, and resolves again if it moved.
    if (stale && first_lookup && !found && (err == ENOENT || err == ENOTDIR)) *stale = true;
    first_lookup = false;
    if (!found || !S_ISLNK(st.st_mode)) {  // OSError is ignored in non-strict mode
      if (last) {
        last->path = newpath;
        last->error = err;
        if (found) last->st = st;
      }
      path = std::move(newpath);
      continue;
    }
    if (auto it = seen.find(newpath); it != seen.end()) {
      if (it->second) {
        path = *it->second;
        continue;
      }
      path = std::move(newpath);  // a loop: left unresolved
      continue;
    }
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    ssize_t len;
    for (;;) {
      len = ::readlink(encoded.c_str(), target.data(), target.size());
      if (len < 0 || static_cast<std::size_t>(len) < target.size()) break;
      target.resize(target.size() * 2);
    }
    if (len < 0) {
      path = std::move(newpath);
      continue;
    }
    target.resize(static_cast<std::size_t>(len));
    const std::string target_text = text::fsdecode(target);
    if (!target_text.empty() && target_text[0] == '/') path = "/";
    seen[newpath] = std::nullopt;
    rest.emplace_back(std::move(newpath));
    rest.emplace_back(std::nullopt);
    auto parts = split(target_text, '/');
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) rest.emplace_back(std::string(*it));
    part_count += parts.size();
  }
  check_unlooked();
  return path;
}

// os.path.realpath(path) (non-strict) as CPython 3.14 computes it: links followed, missing
// components kept as written, loops left unresolved. With `last`, records the lookup of the
// path's last component when it was no link: the status of the resolved path itself.
std::string realpath(std::string_view filename, LastLookup* last = nullptr) {
  const bool relative = filename.empty() || filename[0] != '/';
  if (!relative) return realpath_from(filename, "/", nullptr, last);
  if (!g_cwd_pinned) return realpath_from(filename, cwd(), nullptr, last);
  // The kept working directory is checked by the resolution itself (see realpath_from); when
  // it may have gone stale, the system is asked, and the resolution made again if it moved.
  const std::string kept = working_directory(false);
  bool stale = false;
  std::string path = realpath_from(filename, kept, &stale, last);
  if (!stale) return path;
  const std::string now = working_directory(true);
  if (now == kept) return path;
  return realpath_from(filename, now, nullptr, last);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Texts and OS paths

bool to_os_path(std::string_view text_in, OsPath& out, std::string& error) {
  out.clear();
  if (!text::fsencode(text_in, out, error)) return false;
  if (out.find('\0') != std::string::npos) {
    error = "embedded null byte";
    return false;
  }
  return true;
}

std::string to_text(std::string_view os_path) { return text::fsdecode(os_path); }

void name_code_points(std::string_view bytes, std::u32string& out) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {  // most names are ASCII: no decoder call for them
      out += static_cast<char32_t>(b);
      ++i;
      continue;
    }
    // An invalid sequence escapes only its first byte here; the bytes after it are retried one
    // by one, which yields CPython's escapes too, since a continuation byte never starts a
    // sequence.
    char32_t cp;
    const std::size_t len = text::utf8_sequence_length(bytes, i, cp);
    if (len == 0) {
      out += static_cast<char32_t>(0xDC00 + static_cast<unsigned char>(bytes[i]));
      ++i;
    } else {
      out += cp;
      i += len;
    }
  }
}

char32_t fold_case(char32_t cp) noexcept { return cp; }

// ---------------------------------------------------------------------------------------------
// Pure path texts

std::string join(std::string_view a, std::string_view b) {
  std::string out;
  out.reserve(a.size() + 1 + b.size());
  out += a;
  if (out.empty() || out.back() != '/') out += '/';
  out += b;
  return out;
}

std::string_view name_of(std::string_view path) noexcept {
  const std::size_t at = path.rfind('/');
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

std::string_view parent_of(std::string_view normalized) noexcept {
  const std::size_t at = normalized.rfind('/');
  if (at == std::string_view::npos) return ".";
  if (at == 0) return "/";
  // "//x" keeps its two leading slashes as its root, as pathlib does on POSIX.
  if (at == 1 && normalized.starts_with("//")) return "//";
  return normalized.substr(0, at);
}

bool is_anchored(std::string_view text) noexcept { return !text.empty() && text[0] == '/'; }

bool is_root(std::string_view path) noexcept { return path == "/" || path == "//"; }

bool contains(std::string_view dir, std::string_view below) {
  if (dir == "/") return !below.empty() && below[0] == '/';
  return below == dir ||
         (below.size() > dir.size() && below.starts_with(dir) && below[dir.size()] == '/');
}

bool same_path(std::string_view a, std::string_view b) { return a == b; }

bool path_less(std::string_view a, std::string_view b) {
  // Component by component, each by code point (the UTF-8 form of our text compares bytewise in
  // code point order). Comparing whole texts with the separator counted below every other
  // character gives exactly that, since names never hold it.
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  // The common prefix (siblings share their parent's path) eight bytes at a time.
  for (; i + 8 <= n; i += 8) {
    std::uint64_t wa, wb;
    std::memcpy(&wa, a.data() + i, 8);
    std::memcpy(&wb, b.data() + i, 8);
    if (wa != wb) break;
  }
  for (; i < n; ++i) {
    auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    if (ca == cb) continue;
    if (ca == '/') ca = 0;
    if (cb == '/') cb = 0;
    return ca < cb;
  }
  return a.size() < b.size();
}

std::string normalize(std::string_view path) {
  std::string root;
  if (!path.empty() && path[0] == '/') {
    root =
        (path.size() >= 2 && path[1] == '/' && (path.size() == 2 || path[2] != '/')) ? "//" : "/";
  }
  std::string out = root;
  bool first = true;
  for (std::string_view p : split(path, '/')) {
    if (p.empty() || p == ".") continue;
    if (!first) out += '/';
    out += p;
    first = false;
  }
  if (out.empty()) out = ".";
  return out;
}

// ---------------------------------------------------------------------------------------------
// The home directory and resolution

std::string expanduser(std::string_view path) {
  if (path.empty() || path[0] != '~') return std::string(path);
  std::size_t i = path.find('/', 1);
  if (i == std::string_view::npos) i = path.size();
  std::string userhome;
  if (i == 1) {
    if (const char* home = std::getenv("HOME")) {
      userhome = text::fsdecode(home);
    } else {
      struct passwd* pw = getpwuid(getuid());
      if (!pw || !pw->pw_dir) return std::string(path);
      userhome = text::fsdecode(pw->pw_dir);
    }
  } else {
    std::string name, error;
    if (!text::fsencode(path.substr(1, i - 1), name, error)) throw OpError(error);
    struct passwd* pw = getpwnam(name.c_str());
    if (!pw || !pw->pw_dir) return std::string(path);
    userhome = text::fsdecode(pw->pw_dir);
  }
  while (!userhome.empty() && userhome.back() == '/') userhome.pop_back();
  std::string out = userhome + std::string(path.substr(i));
  return out.empty() ? "/" : out;
}

std::optional<std::string> home_dir() {
  std::string home = expanduser("~");
  if (home.starts_with('~')) return std::nullopt;
  return home;
}

std::string cwd() {
  std::string buf(4096, '\0');
  for (;;) {
    if (::getcwd(buf.data(), buf.size())) {
      buf.resize(std::char_traits<char>::length(buf.c_str()));
      return text::fsdecode(buf);
    }
    if (errno != ERANGE) raise(Error::from_errno(errno));
    buf.resize(buf.size() * 2);
  }
}

std::string expand_user(std::string_view text_in) {
  std::string p = normalize(text_in);
  if (p[0] == '~') {
    const std::size_t slash = p.find('/');
    std::string home = expanduser(p.substr(0, slash));
    if (!home.empty() && home[0] == '~') throw OpError("Could not determine home directory.");
    if (slash != std::string::npos) home = join(home, std::string_view(p).substr(slash + 1));
    p = normalize(home);
  }
  return p;
}

std::string resolve(std::string_view text_in) {
  if (const std::string* known = detail::remembered(text_in)) return *known;
  std::string resolved = realpath(expand_user(text_in));
  detail::remember(text_in, resolved);
  return resolved;
}

std::string resolve(std::string_view text_in, Stat& st, Error& err) {
  OsPath p;
  std::string unusable;
  // A path already resolved in this request (by the roots' check) keeps that resolution, so the
  // operation acts on exactly the path that was checked.
  if (const std::string* known = detail::remembered(text_in)) {
    // A copy: stat() beneath the roots may resolve again and so change what the memo holds.
    std::string path = *known;
    err = to_os_path(path, p, unusable) ? stat(p, st) : Error::of(ErrorKind::InvalidName);
    return path;
  }
  LastLookup last;
  std::string path = realpath(expand_user(text_in), &last);
  detail::remember(text_in, path);
  if (!last.path.empty() && last.path == path && !active_roots()) {
    // The resolution looked the path itself up, and found no link there (or nothing): the
    // followed status is what that lookup saw. With roots, the status is asked beneath them.
    err = last.error ? Error::from_errno(last.error) : Error{};
    if (!err) detail::fill_status(last.st, st);
    return path;
  }
  err = to_os_path(path, p, unusable) ? stat(p, st) : Error::of(ErrorKind::InvalidName);
  return path;
}

void pin_working_directory() noexcept { g_cwd_pinned = true; }

}  // namespace talmek::os
