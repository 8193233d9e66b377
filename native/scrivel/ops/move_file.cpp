// move_file: shutil.move from the resolved source to the resolved destination, after creating
// the destination's missing parents.
//
// A directory moved into its own subtree always fails (shutil's "Cannot move a directory ...
// into itself"). We check that before creating the destination's parents, so that the failed
// request does not leave new, empty directories inside the source.
#include <sys/stat.h>

#include "common/os_error.h"
#include "common/paths.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/path.h"
#include "scrivel/tree/copy.h"
#include "scrivel/tree/move.h"

namespace talmek::scrivel {

namespace {
constexpr std::string_view kSourceNotFound = "Source not found: ";
}  // namespace

Value move_file(std::string_view src, std::string_view dst) {
  return guarded([&]() -> Value {
    const std::string src_path = resolve_path(src);
    const std::string dst_path = resolve_path(dst);
    const std::string os_src = os_path(src_path);
    const std::string os_dst = os_path(dst_path);
    struct stat st;
    if (::stat(os_src.c_str(), &st) != 0)
      return fail_record(std::string(kSourceNotFound) + std::string(src));

    const std::string_view parent = paths::parent_of(dst_path);
    if (S_ISDIR(st.st_mode) && src_path != dst_path && tree::destinsrc(src_path, dst_path)) {
      struct stat pst;
      if (::stat(os_path(parent).c_str(), &pst) != 0)
        throw OpError(tree::move_into_itself_text(os_src, os_dst));
    }
    make_dirs(parent);
    tree::move(os_src, os_dst);

    Object result;
    result.push_back({"from", Value(src_path)});
    result.push_back({"to", Value(dst_path)});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
