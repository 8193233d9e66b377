// Path.rglob as a streaming walk: the selector chain of CPython's glob._GlobberBase over our own
// directory reader.
#include "scrivel/walk/walker.h"

#include <unordered_set>

#include "common/os_error.h"
#include "platform/os.h"

namespace talmek::scrivel::walk {

namespace {

constexpr char kSep = os::kSep;
constexpr std::string_view kNonRelative = "Non-relative patterns are unsupported";

// glob.magic_check: a component holding one of these is matched against directory entries;
// any other component is appended to the path as it stands.
bool has_magic(std::string_view s) { return s.find_first_of("*?[") != std::string_view::npos; }

// DirEntry.is_dir() with links followed.
bool is_dir_following(const os::OsPath& path, EntryKind kind) {
  if (kind == EntryKind::Directory) return true;
  if (kind != EntryKind::Symlink && kind != EntryKind::Unknown) return false;
  os::Stat st;
  return !os::stat(path, st) && st.is_dir();
}

// A directory that cannot be opened or read yields nothing, as glob's scandir errors are
// swallowed. With `with_status`, only the entries whose names `matcher` accepts (all of them
// when it is null) get their status: those are the ones the walk yields.
bool scan_dir(const os::OsPath& path, os::DirEntries& out, bool with_status,
              const NameMatcher* matcher = nullptr) {
  if (!with_status || !matcher) return !os::read_dir(path, out, with_status);
  const os::NameFilter only = [matcher](std::string_view name) {
    return matcher->matches_os_name(name);
  };
  return !os::read_dir(path, out, true, &only);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Compiling

RGlob RGlob::compile(std::string_view pattern) {
  // rglob(p) is glob(os.path.join("**", p)): an anchored p replaces the "**" and is refused.
  if (os::is_anchored(pattern)) throw OpError(std::string(kNonRelative));
  std::string joined = "**";
  joined += kSep;
  for (char c : pattern) joined += os::is_sep(c) ? kSep : c;

  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = joined.find(kSep, start);
    const std::string_view piece = std::string_view(joined).substr(
        start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!piece.empty() && piece != ".") parts.emplace_back(piece);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (joined.back() == kSep) parts.emplace_back();  // a trailing separator selects directories

  RGlob g;
  if (parts.back().empty())
    g.m_trailing = Trailing::Slash;
  else if (parts.back() == "**")
    g.m_trailing = Trailing::DoubleStar;

  // Text -> the bytes the OS sees. A component that cannot be encoded can never exist.
  auto os_bytes = [](std::string_view t, bool& ok) {
    std::string out, error;
    ok = os::to_os_path(t, out, error);
    return out;
  };

  std::size_t i = 0;
  while (i < parts.size()) {
    const std::string& part = parts[i];
    if (part == "**") {
      while (i < parts.size() && parts[i] == "**") ++i;
      g.m_parts.push_back({Part::Recursive, {}, nullptr});
      continue;
    }
    if (part.empty() || part == "..") {
      std::string text = part;
      if (i + 1 < parts.size()) text += kSep;
      g.m_parts.push_back({Part::Special, std::move(text), nullptr});
      ++i;
      continue;
    }
    if (!has_magic(part)) {
      // Consecutive literal components are appended in one step, as glob's literal_selector
      // joins them ("" and ".." included, since they hold no wildcard).
      std::string text = part;
      ++i;
      while (i < parts.size() && !has_magic(parts[i])) {
        text += kSep;
        text += parts[i++];
      }
      if (i < parts.size()) text += kSep;
      bool ok;
      std::string bytes = os_bytes(text, ok);
      // A component the system cannot take names nothing: a NUL never reaches a lookup.
      g.m_parts.push_back({Part::Literal, ok ? std::move(bytes) : std::string(1, '\0'), nullptr});
      continue;
    }
    std::shared_ptr<NameMatcher> m;
    if (part != "*") m = std::make_shared<NameMatcher>(part);
    g.m_parts.push_back({Part::Wildcard, {}, std::move(m)});
    ++i;
  }
  for (std::size_t k = 1; k < g.m_parts.size(); ++k)
    if (g.m_parts[k].type == Part::Recursive) g.m_dedupe = true;
  return g;
}

// ---------------------------------------------------------------------------------------------
// Walking

class RGlob::Walk {
 public:
  Walk(const RGlob& g, const Sink& sink, bool with_status)
      : m_g(g), m_parts(g.m_parts), m_sink(sink), m_with_status(with_status) {}

  bool run(std::string_view root) {
    std::string path(root);
    if (path.empty() || path.back() != kSep) path += kSep;
    return select(0, path, false);
  }

 private:
  bool select(std::size_t idx, std::string& path, bool exists) {
    if (idx == m_parts.size()) return emit_exists(path, exists);
    const Part& part = m_parts[idx];
    switch (part.type) {
      case Part::Special:
      case Part::Literal: {
        if (part.text.find('\0') != std::string::npos) return true;
        const std::size_t len = path.size();
        path += part.text;
        const bool r = select(idx + 1, path, part.type == Part::Special && exists);
        path.resize(len);
        return r;
      }
      case Part::Wildcard:
        return select_wildcard(idx, path);
      case Part::Recursive:
        return select_recursive(idx, path, exists);
    }
    return true;
  }

  bool emit_exists(const std::string& path, bool exists) {
    if (!exists) {
      os::Stat st;
      if (os::lstat(path, st)) return true;
    }
    return emit(path, EntryKind::Unknown, Status{});
  }

  bool emit(std::string_view path, EntryKind kind, const Status& status) {
    if (m_g.m_trailing == Trailing::Slash) {
      path.remove_suffix(1);
      if (path.empty()) path = ".";  // str(Path("")) for the root "/" selected by "**/"
    } else if (m_g.m_trailing == Trailing::DoubleStar && path.size() > 1 && path.back() == kSep) {
      path.remove_suffix(1);
    }
    if (m_g.m_dedupe && !m_seen.emplace(path).second) return true;
    return m_sink(path, kind, status);
  }

  bool select_wildcard(std::size_t idx, std::string& path) {
    os::DirEntries entries;
    const Part& part = m_parts[idx];
    if (!scan_dir(path, entries, m_with_status && idx + 1 == m_parts.size(), part.matcher.get()))
      return true;
    const bool dir_only = idx + 1 < m_parts.size();
    const std::size_t len = path.size();
    for (const auto& item : entries.items) {
      const std::string_view name = entries.name(item);
      if (part.matcher && !part.matcher->matches_os_name(name)) continue;
      path += name;
      bool r = true;
      if (!dir_only) {
        r = emit(path, item.kind, item.status);
      } else if (is_dir_following(path, item.kind)) {
        path += kSep;
        r = select(idx + 1, path, true);
      }
      path.resize(len);
      if (!r) return false;
    }
    return true;
  }

  bool select_recursive(std::size_t idx, std::string& path, bool exists) {
    const std::size_t next = idx + 1;
    if (next + 1 == m_parts.size() && m_parts[next].type == Part::Wildcard)
      return select_recursive_then_names(path, m_parts[next].matcher.get());

    const bool dir_only = next < m_parts.size();
    if (!select(next, path, exists)) return false;
    std::vector<std::string> stack{path};
    os::DirEntries entries;
    std::string entry;
    while (!stack.empty()) {
      const std::string dir = std::move(stack.back());
      stack.pop_back();
      if (!scan_dir(dir, entries, m_with_status && !dir_only)) continue;
      for (const auto& item : entries.items) {
        const bool is_dir = item.kind == EntryKind::Directory;
        if (!is_dir && dir_only) continue;
        entry.assign(dir);
        entry += entries.name(item);
        if (dir_only) {
          entry += kSep;
          if (!select(next, entry, true)) return false;
        } else if (!emit(entry, item.kind, item.status)) {
          return false;
        }
        if (is_dir) {
          if (!dir_only) entry += kSep;
          stack.push_back(entry);
        }
      }
    }
    return true;
  }

  // "**/<wildcard>", the shape of nearly every rglob: glob scans each directory twice (once to
  // select names in it, once to find its subdirectories). We scan it once, when it is first
  // met, keep its entries until the walk comes back to it, and yield in glob's order.
  bool select_recursive_then_names(const std::string& root, const NameMatcher* matcher) {
    struct Frame {
      std::string path;
      os::DirEntries entries;
    };
    auto yield_names = [&](Frame& f) {
      std::string& p = f.path;
      const std::size_t len = p.size();
      for (const auto& item : f.entries.items) {
        const std::string_view name = f.entries.name(item);
        if (matcher && !matcher->matches_os_name(name)) continue;
        p += name;
        const bool r = emit(p, item.kind, item.status);
        p.resize(len);
        if (!r) return false;
      }
      return true;
    };
    std::vector<Frame> stack(1);
    stack[0].path = root;
    scan_dir(root, stack[0].entries, m_with_status, matcher);
    if (!yield_names(stack[0])) return false;
    while (!stack.empty()) {
      Frame f = std::move(stack.back());
      stack.pop_back();
      for (const auto& item : f.entries.items) {
        if (item.kind != EntryKind::Directory) continue;
        Frame child;
        child.path.reserve(f.path.size() + item.length + 1);
        child.path = f.path;
        child.path += f.entries.name(item);
        child.path += kSep;
        scan_dir(child.path, child.entries, m_with_status, matcher);
        if (!yield_names(child)) return false;
        stack.push_back(std::move(child));
      }
    }
    return true;
  }

  const RGlob& m_g;
  const std::vector<Part>& m_parts;
  const Sink& m_sink;
  const bool m_with_status;
  std::unordered_set<std::string> m_seen;
};

bool RGlob::walk(std::string_view root, const Sink& sink, bool with_status) const {
  Walk w(*this, sink, with_status);
  return w.run(root);
}

}  // namespace talmek::scrivel::walk
