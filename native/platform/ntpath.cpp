// Ports of ntpath.splitroot, normpath, normcase, expanduser and of PureWindowsPath's parsing,
// formatting and ordering (CPython 3.14), as pure text.
#include "platform/ntpath.h"

#include <algorithm>
#include <cstdint>

#include "common/text.h"

namespace talmek::os::ntpath {

namespace {

#include "platform/case_tables.inc"

constexpr char kSep = '\\';

bool is_sep(char c) noexcept { return c == '\\' || c == '/'; }

std::string with_backslashes(std::string_view p) {
  std::string out(p);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::vector<std::string_view> split(std::string_view s) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = s.find(kSep, start);
    if (at == std::string_view::npos) {
      parts.push_back(s.substr(start));
      return parts;
    }
    parts.push_back(s.substr(start, at - start));
    start = at + 1;
  }
}

char ascii_upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool starts_with_nocase(std::string_view s, std::string_view prefix) noexcept {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (ascii_upper(s[i]) != prefix[i]) return false;
  return true;
}

std::size_t find_sep(std::string_view s, std::size_t from) noexcept {
  for (std::size_t i = from; i < s.size(); ++i)
    if (is_sep(s[i])) return i;
  return std::string_view::npos;
}

// The code points of a text, each folded, separators made "\\".
std::u32string folded(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const char32_t c = text::next_cp(s, i);
    out += c == '/' ? U'\\' : fold_case(c);
  }
  return out;
}

}  // namespace

Root splitroot(std::string_view p) noexcept {
  if (!p.empty() && is_sep(p[0])) {
    if (p.size() > 1 && is_sep(p[1])) {
      // UNC drives, e.g. \\server\share or \\?\UNC\server\share; device drives, e.g. \\.\device
      // or \\?\device.
      std::string norm8;
      for (std::size_t i = 0; i < std::min<std::size_t>(8, p.size()); ++i)
        norm8 += p[i] == '/' ? '\\' : p[i];
      const std::size_t start = starts_with_nocase(norm8, "\\\\?\\UNC\\") ? 8 : 2;
      const std::size_t index = find_sep(p, start);
      if (index == std::string_view::npos) return {p, {}, {}};
      const std::size_t index2 = find_sep(p, index + 1);
      if (index2 == std::string_view::npos) return {p, {}, {}};
      return {p.substr(0, index2), p.substr(index2, 1), p.substr(index2 + 1)};
    }
    // Relative path with root, e.g. \Windows
    return {{}, p.substr(0, 1), p.substr(1)};
  }
  // A colon as the second character (of any first character) makes the first two a drive.
  std::size_t after_first = 0;
  if (!p.empty()) text::next_cp(p, after_first);
  if (after_first < p.size() && p[after_first] == ':') {
    const std::size_t d = after_first + 1;
    if (d < p.size() && is_sep(p[d])) return {p.substr(0, d), p.substr(d, 1), p.substr(d + 1)};
    return {p.substr(0, d), {}, p.substr(d)};
  }
  return {{}, {}, p};
}

bool isabs(std::string_view s) noexcept {
  if (s.size() >= 2 && is_sep(s[0]) && is_sep(s[1])) return true;
  std::size_t after_first = 0;
  if (!s.empty()) text::next_cp(s, after_first);
  return after_first + 1 < s.size() && s[after_first] == ':' && is_sep(s[after_first + 1]);
}

std::string normpath(std::string_view path_in) {
  const std::string path = with_backslashes(path_in);
  const Root r = splitroot(path);
  std::string prefix(r.drive);
  prefix += r.root;
  std::vector<std::string_view> comps = split(r.tail);
  std::size_t i = 0;
  while (i < comps.size()) {
    if (comps[i].empty() || comps[i] == ".") {
      comps.erase(comps.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (comps[i] == "..") {
      if (i > 0 && comps[i - 1] != "..") {
        comps.erase(comps.begin() + static_cast<std::ptrdiff_t>(i - 1),
                    comps.begin() + static_cast<std::ptrdiff_t>(i + 1));
        --i;
      } else if (i == 0 && !r.root.empty()) {
        comps.erase(comps.begin());
      } else {
        ++i;
      }
    } else {
      ++i;
    }
  }
  if (prefix.empty() && comps.empty()) comps.push_back(".");
  std::string out = prefix;
  for (std::size_t k = 0; k < comps.size(); ++k) {
    if (k) out += kSep;
    out += comps[k];
  }
  return out;
}

Parsed parse(std::string_view p_in) {
  Parsed out;
  if (p_in.empty()) return out;
  const std::string p = with_backslashes(p_in);
  const Root r = splitroot(p);
  out.drive = r.drive;
  out.root = r.root;
  if (out.root.empty() && !out.drive.empty() && out.drive[0] == kSep && out.drive.back() != kSep) {
    const std::vector<std::string_view> drv_parts = split(out.drive);
    // `drv_parts[2] not in '?.'`: a substring test, so "" counts as in it too.
    auto in_qdot = [](std::string_view s) {
      return s.empty() || s == "?" || s == "." || s == "?.";
    };
    if (drv_parts.size() == 4 && !in_qdot(drv_parts[2]))
      out.root = "\\";  // e.g. //server/share
    else if (drv_parts.size() == 6)
      out.root = "\\";  // e.g. //?/unc/server/share
  }
  for (std::string_view x : split(r.tail))
    if (!x.empty() && x != ".") out.tail.emplace_back(x);
  return out;
}

std::string format(const Parsed& parts) {
  std::string out;
  if (!parts.drive.empty() || !parts.root.empty()) {
    out = parts.drive + parts.root;
    for (std::size_t k = 0; k < parts.tail.size(); ++k) {
      if (k) out += kSep;
      out += parts.tail[k];
    }
    return out;
  }
  bool first = true;
  if (!parts.tail.empty() && !splitroot(parts.tail[0]).drive.empty()) {
    out = ".";
    first = false;
  }
  for (const std::string& t : parts.tail) {
    if (!first) out += kSep;
    out += t;
    first = false;
  }
  return out;
}

std::string normalize(std::string_view p) {
  std::string out = format(parse(p));
  return out.empty() ? "." : out;
}

std::string_view parent_of(std::string_view normalized) {
  const Parsed parts = parse(normalized);
  if (parts.tail.empty()) return normalized;
  Parsed up = parts;
  up.tail.pop_back();
  const std::string s = format(up);
  if (s.empty()) return ".";
  return normalized.substr(0, s.size());
}

std::string_view name_of(std::string_view normalized) noexcept {
  const Root r = splitroot(normalized);
  std::size_t at = r.tail.size();
  while (at > 0 && !is_sep(r.tail[at - 1])) --at;
  const std::string_view name = r.tail.substr(at);
  return name == "." ? std::string_view() : name;
}

bool is_root(std::string_view normalized) {
  const Parsed parts = parse(normalized);
  return parts.tail.empty() && (!parts.drive.empty() || !parts.root.empty());
}

char32_t fold_case(char32_t cp) noexcept {
  if (cp < 0x80) return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp;
  std::size_t lo = 0, hi = std::size(kLowerCase);
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    if (kLowerCase[mid][0] < cp)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo < std::size(kLowerCase) && kLowerCase[lo][0] == cp) return kLowerCase[lo][1];
  return cp;
}

std::string normcase(std::string_view p) {
  std::string out;
  out.reserve(p.size());
  for (char32_t c : folded(p)) text::append_cp(out, c);
  return out;
}

bool path_less(std::string_view a, std::string_view b) {
  // Lists of components compared element by element; a separator below every code point gives
  // the same order (a shorter component that is a prefix sorts first).
  const std::u32string fa = folded(a), fb = folded(b);
  const std::size_t n = std::min(fa.size(), fb.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (fa[i] == fb[i]) continue;
    const std::int64_t ca = fa[i] == U'\\' ? -1 : static_cast<std::int64_t>(fa[i]);
    const std::int64_t cb = fb[i] == U'\\' ? -1 : static_cast<std::int64_t>(fb[i]);
    return ca < cb;
  }
  return fa.size() < fb.size();
}

std::string expanduser(std::string_view path, const GetEnv& getenv) {
  if (path.empty() || path[0] != '~') return std::string(path);
  std::size_t i = 1;
  while (i < path.size() && !is_sep(path[i])) ++i;
  std::string userhome;
  if (auto profile = getenv("USERPROFILE")) {
    userhome = *profile;
  } else if (auto homepath = getenv("HOMEPATH")) {
    const std::string drive = getenv("HOMEDRIVE").value_or("");
    // ntpath.join(drive, HOMEPATH)
    const Root r = splitroot(*homepath);
    if (!r.root.empty() || drive.empty()) {
      userhome = (!r.drive.empty() || drive.empty()) ? *homepath : drive + *homepath;
    } else {
      userhome = drive;
      if (!userhome.empty() && !is_sep(userhome.back()) && userhome.back() != ':') userhome += kSep;
      userhome += *homepath;
    }
  } else {
    return std::string(path);
  }
  if (i != 1) {  // ~user
    const std::string target_user(path.substr(1, i - 1));
    const std::optional<std::string> current_user = getenv("USERNAME");
    if (!current_user || target_user != *current_user) {
      // The guess of CPython: profiles sit side by side, named after their users; when this
      // one is not named after the current user the guess would be wrong, so nothing changes.
      const Root r = splitroot(userhome);
      std::size_t at = r.tail.size();
      while (at > 0 && !is_sep(r.tail[at - 1])) --at;
      const std::string_view base = r.tail.substr(at);
      if (!current_user || *current_user != base) return std::string(path);
      // join(dirname(userhome), target_user)
      std::string_view head = r.tail.substr(0, at);
      while (!head.empty() && is_sep(head.back())) head.remove_suffix(1);
      std::string dir = std::string(r.drive) + std::string(r.root) + std::string(head);
      const Root tr = splitroot(target_user);
      if (!tr.root.empty() || (!tr.drive.empty())) {
        userhome = target_user;
      } else {
        if (!dir.empty() && !is_sep(dir.back()) && dir.back() != ':') dir += kSep;
        userhome = dir + target_user;
      }
    }
  }
  return userhome + std::string(path.substr(i));
}

std::optional<std::string> expand_first(std::string_view normalized, const GetEnv& getenv) {
  Parsed parts = parse(normalized);
  if (!parts.drive.empty() || !parts.root.empty() || parts.tail.empty() || parts.tail[0][0] != '~')
    return std::string(normalized);
  const std::string homedir = expanduser(parts.tail[0], getenv);
  if (!homedir.empty() && homedir[0] == '~') return std::nullopt;
  Parsed home = parse(homedir);
  home.tail.insert(home.tail.end(), parts.tail.begin() + 1, parts.tail.end());
  std::string out = format(home);
  return out.empty() ? "." : out;
}

std::optional<std::string> refusal(std::string_view normalized) {
  const Root r = splitroot(normalized);
  if (starts_with_nocase(r.drive, "\\\\?\\") || starts_with_nocase(r.drive, "//?/"))
    return std::nullopt;
  static constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  const std::string tail = with_backslashes(r.tail);
  for (std::string_view name : split(tail)) {
    if (name.empty() || name == "." || name == "..") continue;
    if (name.back() == '.' || name.back() == ' ')
      return "a name that ends with a dot or a space names another file there";
    if (name.find(':') != std::string_view::npos)
      return "a name with a colon names an alternate data stream there";
    // DOS device names, also with an extension or trailing spaces before it ("nul .txt").
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    std::string upper;
    for (char c : stem) upper += ascii_upper(c);
    bool device = std::find(std::begin(kDevices), std::end(kDevices), upper) != std::end(kDevices);
    if (!device && upper.size() >= 4 && (upper.starts_with("COM") || upper.starts_with("LPT"))) {
      const std::string_view digit = std::string_view(upper).substr(3);
      device = (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" ||
               digit == "\xC2\xB2" || digit == "\xC2\xB3";
    }
    if (device) return "a reserved device name there";
  }
  return std::nullopt;
}

}  // namespace talmek::os::ntpath
