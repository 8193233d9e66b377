// find_files: the entries below a directory that match a glob pattern at any depth (Path.rglob),
// streamed so that the walk stops as soon as the limit is reached.
#include "common/text.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/path.h"
#include "scrivel/walk/entry_record.h"
#include "scrivel/walk/walker.h"

namespace talmek::scrivel {

Value find_files(std::string_view path, std::string_view pattern, std::int64_t max_results) {
  return guarded([&]() -> Value {
    const std::string resolved = resolve_path(path);
    // No directory test: a file simply has nothing below it.
    if (!path_exists(resolved)) return fail_record("Directory not found: " + std::string(path));
    const std::string root = os_path(resolved);
    const walk::RGlob glob = walk::RGlob::compile(pattern);
    Array matches;
    std::string os_entry;
    glob.walk(
        root,
        [&](std::string_view p, walk::EntryKind kind, const walk::Status& status) {
          if (!status.known) os_entry.assign(p);
          matches.push_back(walk::entry_record(text::fsdecode(p), os_entry, kind, status));
          // Tested after adding, so a limit of 0 or less still answers the first match.
          return static_cast<std::int64_t>(matches.size()) < max_results;
        },
        true);
    return ok_record(list_result("matches", std::move(matches)));
  });
}

}  // namespace talmek::scrivel
