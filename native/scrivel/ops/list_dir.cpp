// list_dir: a directory's entries, flat or the whole tree below it (Path.iterdir / rglob("*")),
// sorted as Python sorts paths, filtered by an fnmatch pattern on the final name.
#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "common/os_error.h"
#include "common/text.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/path.h"
#include "scrivel/platform.h"
#include "scrivel/walk/entry_record.h"
#include "scrivel/walk/fnmatch.h"
#include "scrivel/walk/walker.h"

namespace talmek::scrivel {

namespace {

struct Candidate {
  std::string rel;  // text, relative to the listed directory
  std::string os;   // full path, OS bytes
  walk::EntryKind kind;
  walk::Status status;
};

// The order of Python's path type: component by component, each by code point (the UTF-8 form
// of our text compares bytewise in code point order). Comparing whole texts with the separator
// counted below every other character gives exactly that, since names never hold it.
bool path_less(const std::string& a, const std::string& b) {
  static_assert(!platform::kCaseInsensitiveNames, "Windows folds case before comparing");
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    if (ca == cb) continue;
    if (ca == static_cast<unsigned char>(platform::kSep)) ca = 0;
    if (cb == static_cast<unsigned char>(platform::kSep)) cb = 0;
    return ca < cb;
  }
  return a.size() < b.size();
}

std::string_view final_name(std::string_view p) {
  const std::size_t slash = p.rfind('/');
  return slash == std::string_view::npos ? p : p.substr(slash + 1);
}

}  // namespace

Value list_dir(std::string_view path, bool recursive, std::optional<std::string_view> pattern) {
  return guarded([&]() -> Value {
    const std::string resolved = resolve_path(path);
    const std::string root = os_path(resolved);
    struct stat st;
    if (::stat(root.c_str(), &st) != 0)
      return fail_record("Directory not found: " + std::string(path));
    if (!S_ISDIR(st.st_mode)) return fail_record("Not a directory: " + std::string(path));

    std::optional<walk::NameMatcher> filter;
    if (pattern && !pattern->empty()) filter.emplace(*pattern);
    auto passes = [&](std::string_view name) { return !filter || filter->matches_os_name(name); };

    // Filtering before sorting gives the same list as sorting everything first: the filter
    // looks at each name alone. It spares the status queries of the entries it drops.
    std::vector<Candidate> found;
    std::string base = root;
    if (base.back() != '/') base += '/';
    if (recursive) {
      const walk::RGlob all = walk::RGlob::compile("*");
      all.walk(
          root,
          [&](std::string_view p, walk::EntryKind kind, const walk::Status& status) {
            if (passes(final_name(p)))
              found.push_back({text::fsdecode(p.substr(base.size())),
                               status.known ? std::string() : std::string(p), kind, status});
            return true;
          },
          true);
    } else {
      walk::DirEntries entries;
      int err = 0;
      if (!walk::read_dir(root, entries, &err, true)) throw_os_error(err, resolved);
      for (const auto& item : entries.items) {
        const std::string_view name = entries.name(item);
        if (passes(name))
          found.push_back({text::fsdecode(name), std::string(), item.kind, item.status});
      }
    }
    std::sort(found.begin(), found.end(),
              [](const Candidate& a, const Candidate& b) { return path_less(a.rel, b.rel); });

    Array list;
    list.reserve(found.size());
    for (Candidate& c : found) list.push_back(walk::entry_record(std::move(c.rel), c.os, c.kind, c.status));
    return ok_record(list_result("entries", std::move(list)));
  });
}

}  // namespace talmek::scrivel
