// list_dir: a directory's entries, flat or the whole tree below it (Path.iterdir / rglob("*")),
// sorted as Python sorts paths, filtered by an fnmatch pattern on the final name.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/os.h"
#include "scrivel/guard.h"
#include "scrivel/json/encode.h"
#include "scrivel/ops/ops.h"
#include "scrivel/walk/entry_record.h"
#include "scrivel/walk/fnmatch.h"
#include "scrivel/walk/walker.h"

namespace talmek::scrivel {

namespace {

struct Candidate {
  std::string rel;  // text, relative to the listed directory
  std::string os;   // full path, OS form
  walk::EntryKind kind;
  walk::Status status;
};

}  // namespace

Value list_dir(std::string_view path, bool recursive, std::optional<std::string_view> pattern) {
  return guarded([&]() -> Value {
    os::Stat st;
    os::Error missing;
    const std::string resolved = os::resolve(path, st, missing);
    if (missing) return fail_record("Directory not found: " + std::string(path));
    const os::OsPath root = os::os_path(resolved);
    if (!st.is_dir()) return fail_record("Not a directory: " + std::string(path));

    std::optional<walk::NameMatcher> filter;
    if (pattern && !pattern->empty()) filter.emplace(*pattern);
    auto passes = [&](std::string_view name) { return !filter || filter->matches_os_name(name); };

    // Filtering before sorting gives the same list as sorting everything first: the filter
    // looks at each name alone. It spares the status queries of the entries it drops.
    std::vector<Candidate> found;
    std::string base = root;
    if (!os::is_sep(base.back())) base += os::kSep;
    if (recursive) {
      const walk::RGlob all = walk::RGlob::compile("*");
      all.walk(
          root,
          [&](std::string_view p, walk::EntryKind kind, const walk::Status& status) {
            if (passes(os::name_of(p)))
              found.push_back({os::to_text(p.substr(base.size())),
                               status.known ? std::string() : std::string(p), kind, status});
            return true;
          },
          true);
    } else {
      os::DirEntries entries;
      if (const os::Error e = os::read_dir(root, entries, true)) throw os::Failure(e, resolved);
      for (const auto& item : entries.items) {
        const std::string_view name = entries.name(item);
        if (passes(name))
          found.push_back({os::to_text(name), std::string(), item.kind, item.status});
      }
    }
    // Sorted by index: a swap moves four bytes, not a candidate.
    std::vector<std::uint32_t> order(found.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return os::path_less(found[a].rel, found[b].rel);
    });

    // Each record is encoded as it is made and its candidate's texts freed: the reply is held
    // once, in wire form.
    json::ListBuilder list;
    for (const std::uint32_t i : order) {
      Candidate& c = found[i];
      walk::add_entry_record(list, c.rel, c.os, c.kind, c.status);
      c.rel = std::string();
      c.os = std::string();
    }
    return ok_record(list_result("entries", list.take()));
  });
}

}  // namespace talmek::scrivel
