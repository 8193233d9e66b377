// move_file: shutil.move from the resolved source to the resolved destination, after creating
// the destination's missing parents.
//
// A directory moved into its own subtree always fails (shutil's "Cannot move a directory ...
// into itself"). We check that before creating the destination's parents, so that the failed
// request does not leave new, empty directories inside the source.
#include "common/os_error.h"
#include "platform/os.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/ops/transfer.h"
#include "scrivel/tree/copy.h"
#include "scrivel/tree/move.h"

namespace talmek::scrivel {

Value move_file(std::string_view src, std::string_view dst) {
  return guarded([&]() -> Value {
    return transfer(src, dst, [](const Transfer& t) {
      const std::string_view parent = os::parent_of(t.dst_path);
      if (t.src_st.is_dir() && t.src_path != t.dst_path &&
          tree::destinsrc(t.src_path, t.dst_path)) {
        if (!os::exists_text(parent))
          throw OpError(tree::move_into_itself_text(t.os_src, t.os_dst));
      }
      os::make_dirs(parent);
      tree::move(t.os_src, t.os_dst);
    });
  });
}

}  // namespace talmek::scrivel
