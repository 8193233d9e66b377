// find_files: the entries below a directory that match a glob pattern at any depth (Path.rglob),
// streamed so that the walk stops as soon as the limit is reached.
#include "common/text.h"
#include "platform/os.h"
#include "scrivel/guard.h"
#include "scrivel/json/encode.h"
#include "scrivel/ops/ops.h"
#include "scrivel/walk/entry_record.h"
#include "scrivel/walk/walker.h"

namespace talmek::scrivel {

Value find_files(std::string_view path, std::string_view pattern, std::int64_t max_results) {
  return guarded([&]() -> Value {
    os::Stat st;
    os::Error missing;
    const std::string resolved = os::resolve(path, st, missing);
    // No directory test: a file simply has nothing below it.
    if (missing) return fail_record("Directory not found: " + std::string(path));
    const os::OsPath root = os::os_path(resolved);
    const walk::RGlob glob = walk::RGlob::compile(pattern);
    json::ListBuilder matches;  // in wire form as found: a long answer is held once
    std::string os_entry;
    glob.walk(
        root,
        [&](std::string_view p, walk::EntryKind kind, const walk::Status& status) {
          if (!status.known) os_entry.assign(p);
          walk::add_entry_record(matches, os::to_text(p), os_entry, kind, status);
          // Tested after adding, so a limit of 0 or less still answers the first match.
          return static_cast<std::int64_t>(matches.count()) < max_results;
        },
        true);
    return ok_record(list_result("matches", matches.take()));
  });
}

}  // namespace talmek::scrivel
