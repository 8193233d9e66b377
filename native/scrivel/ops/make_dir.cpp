// make_dir: Path.mkdir(parents=True, exist_ok=True) on the resolved path.
#include "platform/os.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value make_dir(std::string_view path) {
  return guarded([&]() -> Value {
    const std::string resolved = os::resolve(path);
    os::make_dirs(resolved);
    Object result;
    result.push_back({"path", Value(resolved)});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
