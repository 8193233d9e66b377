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
//   like the empty path.
#include "common/os_error.h"
#include "platform/os.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/tree/rmtree.h"

namespace talmek::scrivel {

namespace {

constexpr std::string_view kNoPath = "No path provided";
constexpr std::string_view kNotFound = "Not found: ";
constexpr std::string_view kHoldsCwd = "Refusing to delete the working directory or a directory above it: ";

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
      if (const os::Error e = os::unlink(os::os_path(link))) throw os::Failure(e, link);
      Object result;
      result.push_back({"deleted", Value(link)});
      return ok_record(Value(std::move(result)));
    }

    const os::OsPath os_resolved = os::os_path(resolved);
    os::Stat st;
    if (os::stat(os_resolved, st))  // Path.exists(): any failure means absent
      return fail_record(std::string(kNotFound) + std::string(path));
    if (st.is_dir()) {
      if (holds_working_directory(resolved)) return fail_record(std::string(kHoldsCwd) + std::string(path));
      tree::rmtree(os_resolved);
    } else if (const os::Error e = os::unlink(os_resolved)) {
      throw os::Failure(e, resolved);
    }
    Object result;
    result.push_back({"deleted", Value(resolved)});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
