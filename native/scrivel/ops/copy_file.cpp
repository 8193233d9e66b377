// copy_file: shutil.copytree for a directory, shutil.copy2 for anything else, after creating
// the destination's missing parents.
//
// A directory copied into its own subtree would copy its own growing copy again and again
// until the path grows too long. It is refused before anything is created, as the move refuses
// it.
#include "common/os_error.h"
#include "platform/os.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/ops/transfer.h"
#include "scrivel/tree/copy.h"

namespace talmek::scrivel {

namespace {
std::string copy_into_itself_text(std::string_view src, std::string_view dst) {
  return "Cannot copy a directory '" + std::string(src) + "' into itself '" + std::string(dst) +
         "'.";
}
}  // namespace

Value copy_file(std::string_view src, std::string_view dst) {
  return guarded([&]() -> Value {
    return transfer(src, dst, [](const Transfer& t) {
      const bool is_dir = t.src_st.is_dir();
      // The same path is left to copytree, whose "File exists" says it all.
      if (is_dir && t.src_path != t.dst_path && tree::destinsrc(t.src_path, t.dst_path))
        throw OpError(copy_into_itself_text(t.src_path, t.dst_path));

      os::make_dirs(os::parent_of(t.dst_path));
      if (is_dir)
        tree::copytree(t.os_src, t.os_dst, /*symlinks=*/false);
      else
        tree::copy2(t.os_src, t.os_dst);
    });
  });
}

}  // namespace talmek::scrivel
