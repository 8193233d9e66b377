// Ports of posixpath.expanduser/realpath and of pathlib's path normalisation (CPython 3.14).
#include "common/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/os_error.h"
#include "common/text.h"

namespace talmek::paths {

namespace {
std::string encode_or_throw(std::string_view text) {
  std::string out, error;
  if (!text::fsencode(text, out, error)) throw OpError(error);
  return out;
}

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
}  // namespace

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

std::string getcwd_text() {
  std::string buf(4096, '\0');
  for (;;) {
    if (::getcwd(buf.data(), buf.size())) {
      buf.resize(std::char_traits<char>::length(buf.c_str()));
      return text::fsdecode(buf);
    }
    if (errno != ERANGE) throw OpError(os_error_message(errno));
    buf.resize(buf.size() * 2);
  }
}

std::string realpath(std::string_view filename) {
  // The stack of unresolved parts, reversed; nullopt marks a resolved symlink target, after
  // which the symlink's own path is popped to fill the cache.
  std::vector<std::optional<std::string>> rest;
  for (std::string_view p : split(filename, '/')) rest.emplace_back(std::string(p));
  std::reverse(rest.begin(), rest.end());
  std::size_t part_count = rest.size();
  std::string path = (!filename.empty() && filename[0] == '/') ? "/" : getcwd_text();
  std::unordered_map<std::string, std::optional<std::string>> seen;

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
    if (::lstat(encoded.c_str(), &st) != 0) {  // OSError is ignored in non-strict mode
      path = std::move(newpath);
      continue;
    }
    if (!S_ISLNK(st.st_mode)) {
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
  return path;
}

std::string normalize(std::string_view path) {
  std::string root;
  if (!path.empty() && path[0] == '/') {
    root = (path.size() >= 2 && path[1] == '/' && (path.size() == 2 || path[2] != '/')) ? "//" : "/";
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

std::string os_path(std::string_view text_in) {
  std::string out = encode_or_throw(text_in);
  if (out.find('\0') != std::string::npos) throw OpError("embedded null byte");
  return out;
}

bool path_exists(std::string_view text_in) {
  try {
    const std::string p = os_path(text_in);
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
  } catch (const OpError&) {
    return false;
  }
}

std::string_view name_of(std::string_view path) noexcept {
  const std::size_t at = path.rfind('/');
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

std::string_view parent_of(std::string_view path) noexcept {
  const std::size_t at = path.rfind('/');
  if (at == std::string_view::npos) return ".";
  if (at == 0) return path.substr(0, 1);
  return path.substr(0, at);
}

std::string_view pure_parent(std::string_view normalized) noexcept {
  const std::size_t at = normalized.rfind('/');
  if (at == std::string_view::npos) return ".";
  if (at == 0) return "/";
  // "//x" keeps its two leading slashes as its root, as pathlib does on POSIX.
  if (at == 1 && normalized.starts_with("//")) return "//";
  return normalized.substr(0, at);
}

void make_dirs(std::string_view path) {
  // Try the directory; on ENOENT make the parent first.
  const std::string p = os_path(path);
  if (::mkdir(p.c_str(), 0777) == 0) return;
  int err = errno;
  if (err == ENOENT) {
    const std::string_view parent = pure_parent(path);
    if (parent != path) {
      make_dirs(parent);
      if (::mkdir(p.c_str(), 0777) == 0) return;
      err = errno;
    }
  }
  struct stat st;
  // exist_ok: an existing directory (a link to one included) is fine; anything else re-raises.
  if (err != ENOENT && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  throw_os_error(err, path);
}

std::string join(std::string_view a, std::string_view b) {
  std::string out(a);
  if (out.empty() || out.back() != '/') out += '/';
  out += b;
  return out;
}

}  // namespace talmek::paths
