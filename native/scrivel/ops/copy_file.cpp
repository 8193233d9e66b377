// copy_file: shutil.copytree for a directory, shutil.copy2 for anything else, after creating
// the destination's missing parents.
//
// A directory copied into its own subtree would copy its own growing copy again and again
// until the path grows too long. It is refused before anything is created, as the move refuses
// it.
#include <sys/stat.h>

#include "common/os_error.h"
#include "common/paths.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/path.h"
#include "scrivel/tree/copy.h"
#include "scrivel/tree/fd.h"

namespace talmek::scrivel {

namespace {
constexpr std::string_view kSourceNotFound = "Source not found: ";

std::string copy_into_itself_text(std::string_view src, std::string_view dst) {
  return "Cannot copy a directory '" + std::string(src) + "' into itself '" + std::string(dst) +
         "'.";
}
}  // namespace

Value copy_file(std::string_view src, std::string_view dst) {
  return guarded([&]() -> Value {
    const std::string src_path = resolve_path(src);
    const std::string dst_path = resolve_path(dst);
    const std::string os_src = os_path(src_path);
    const std::string os_dst = os_path(dst_path);
    struct stat st;
    if (::stat(os_src.c_str(), &st) != 0)
      return fail_record(std::string(kSourceNotFound) + std::string(src));
    const bool is_dir = S_ISDIR(st.st_mode);
    // The same path is left to copytree, whose "File exists" says it all.
    if (is_dir && src_path != dst_path && tree::destinsrc(src_path, dst_path))
      throw OpError(copy_into_itself_text(src_path, dst_path));

    make_dirs(paths::parent_of(dst_path));
    if (is_dir)
      tree::copytree(os_src, os_dst, /*symlinks=*/false);
    else
      tree::copy2(os_src, os_dst);

    Object result;
    result.push_back({"from", Value(src_path)});
    result.push_back({"to", Value(dst_path)});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
