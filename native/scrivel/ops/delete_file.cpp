// delete_file: a file unlinked, a directory tree removed (shutil.rmtree), a link removed as a
// link.
//
// Two places where following the path literally would be unsafe:
// - The empty path resolves to the working directory; a request that merely lacks its "path"
//   must not remove the directory the worker runs in. It is refused and nothing is touched.
// - Resolution follows links, so a path naming a link would resolve to the link's target and
//   remove the target (a whole tree, for a link to a directory). The final component is looked
//   at before resolving instead: when it is a link, the link itself is removed. Its parent is
//   resolved as usual (links and ".." in the parent behave as they do for every operation).
// - "." and ".." (or "/") name the working directory or one of its ancestors: removing it would
//   take the worker's own directory with it, and "/" everything. Such a directory is refused
//   like the empty path. So are the home directory ("~", by any spelling) and its ancestors,
//   whose removal takes every file of the user.
// - Between resolving the path and removing it, a directory on the way could be swapped for a
//   link, and a removal by path would follow it elsewhere. The directory that holds the entry is
//   opened with no link allowed in any component of the resolved path, and the entry is removed
//   relative to that descriptor: a swap makes the removal fail (ELOOP) instead.
#include <memory>
#include <optional>

#include "common/os_error.h"
#include "platform/os.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/tree/rmtree.h"

namespace talmek::scrivel {

namespace {

constexpr std::string_view kNoPath = "No path provided";
constexpr std::string_view kNotFound = "Not found: ";
constexpr std::string_view kHoldsCwd =
    "Refusing to delete the working directory or a directory above it: ";
constexpr std::string_view kHoldsHome =
    "Refusing to delete the home directory or a directory above it: ";

// True when `dir` (a resolved path) is the home directory or one of its ancestors.
bool holds_home_directory(std::string_view dir) {
  const std::optional<std::string> home = os::home_dir();
  if (!home) return false;
  try {
    return os::contains(dir, os::resolve(*home));
  } catch (const std::exception&) {
    return false;  // a home that does not resolve is not below anything
  }
}

// Removes the entry at the resolved path `path` (a file or link, or with `tree` a directory and
// everything below it), relative to its directory opened without following any link.
void remove_beneath(const std::string& path, bool tree) {
  const os::OsPath p = os::os_path(path);
  const std::string name(os::name_of(p));
  auto parent = std::make_shared<os::Dir>();
  if (const os::Error e = os::open_dir_nofollow(os::OsPath(os::parent_of(p)), *parent))
    throw os::Failure(e, path);
  if (tree) {
    tree::rmtree_at(std::move(parent), p);
  } else if (const os::Error e = os::unlink_at(*parent, name)) {
    throw os::Failure(e, path);
  }
}

// True when `dir` (a resolved path) is the working directory or one of its ancestors.
bool holds_working_directory(std::string_view dir) {
  std::string cwd;
  try {
    cwd = os::cwd();
  } catch (const os::Failure&) {
    return false;  // the working directory is gone: nothing above it can hold it
  }
  return os::is_root(dir) || os::contains(dir, cwd);
}

// The absolute path of the link that `text` names in its final component (resolved parent +
// the link's own name), or "" when the final component is not a link.
std::string final_link(std::string_view text_in) {
  const std::string p = os::expand_user(text_in);
  if (os::is_root(p) || p == ".") return {};
  const std::string_view name = os::name_of(p);
  if (name == ".." || name.empty()) return {};
  const std::string link = os::join(os::resolve(os::parent_of(p)), name);
  os::Stat st;
  if (!os::lstat(os::os_path(link), st) && st.type == os::FileType::Symlink) return link;
  return {};
}

}  // namespace

Value delete_file(std::string_view path) {
  return guarded([&]() -> Value {
    if (path.empty()) return fail_record(std::string(kNoPath));
    const std::string resolved = os::resolve(path);

    if (const std::string link = final_link(path); !link.empty()) {
      remove_beneath(link, false);
      Object result;
      result.push_back({"deleted", Value(link)});
      return ok_record(Value(std::move(result)));
    }

    const os::OsPath os_resolved = os::os_path(resolved);
    os::Stat st;
    if (os::stat(os_resolved, st))  // Path.exists(): any failure means absent
      return fail_record(std::string(kNotFound) + std::string(path));
    if (st.is_dir()) {
      if (holds_working_directory(resolved))
        return fail_record(std::string(kHoldsCwd) + std::string(path));
      if (holds_home_directory(resolved))
        return fail_record(std::string(kHoldsHome) + std::string(path));
    }
    remove_beneath(resolved, st.is_dir());
    Object result;
    result.push_back({"deleted", Value(resolved)});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
