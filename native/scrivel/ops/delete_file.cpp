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
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/os_error.h"
#include "common/paths.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/path.h"
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
    cwd = paths::getcwd_text();
  } catch (const OpError&) {
    return false;  // the working directory is gone: nothing above it can hold it
  }
  if (dir == "/") return true;
  return cwd == dir || (cwd.size() > dir.size() && cwd.compare(0, dir.size(), dir) == 0 &&
                        cwd[dir.size()] == '/');
}

// Path(text).expanduser() made absolute, without resolving anything: the path as the caller
// named it. Mirrors resolve_path's expansion (which has already succeeded for this text).
std::string expanded_path(std::string_view text_in) {
  std::string p = paths::normalize(text_in);
  if (p[0] == '~') {
    const std::size_t slash = p.find('/');
    std::string home = paths::expanduser(p.substr(0, slash));
    if (slash != std::string::npos) home = paths::join(home, std::string_view(p).substr(slash + 1));
    p = paths::normalize(home);
  }
  return p;
}

// The absolute path of the link that `text` names in its final component (resolved parent +
// the link's own name), or "" when the final component is not a link.
std::string final_link(std::string_view text_in) {
  const std::string p = expanded_path(text_in);
  if (p == "/" || p == "//" || p == ".") return {};
  const std::string_view name = paths::name_of(p);
  if (name == "..") return {};
  std::string parent(paths::parent_of(p));
  const std::string link = paths::join(paths::realpath(parent), name);
  struct stat st;
  if (::lstat(os_path(link).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return link;
  return {};
}

}  // namespace

Value delete_file(std::string_view path) {
  return guarded([&]() -> Value {
    if (path.empty()) return fail_record(std::string(kNoPath));
    const std::string resolved = resolve_path(path);

    if (const std::string link = final_link(path); !link.empty()) {
      const std::string os_link = os_path(link);
      if (::unlink(os_link.c_str()) != 0) throw_os_error(errno, link);
      Object result;
      result.push_back({"deleted", Value(link)});
      return ok_record(Value(std::move(result)));
    }

    const std::string os_resolved = os_path(resolved);
    struct stat st;
    if (::stat(os_resolved.c_str(), &st) != 0)  // Path.exists(): any failure means absent
      return fail_record(std::string(kNotFound) + std::string(path));
    if (S_ISDIR(st.st_mode)) {
      if (holds_working_directory(resolved)) return fail_record(std::string(kHoldsCwd) + std::string(path));
      tree::rmtree(os_resolved);
    } else if (::unlink(os_resolved.c_str()) != 0) {
      throw_os_error(errno, resolved);
    }
    Object result;
    result.push_back({"deleted", Value(resolved)});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
