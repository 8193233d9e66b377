// append_file: adds a text at the end of a file; a missing file is written as write_file does.
#include "platform/os.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value append_file(std::string_view path, std::string_view content) {
  return guarded([&]() -> Value {
    const std::string resolved = os::resolve(path);
    if (!os::exists_text(resolved)) return write_file(path, content, true);
    // Encoded before the file is opened, so a text that cannot be written leaves it untouched.
    std::string scratch;
    const std::string_view bytes = encode_for_file(content, scratch);
    const std::int64_t size = write_whole_file(resolved, bytes, true);

    Object result;
    result.reserve(2);
    result.push_back(Member{"path", Value(resolved)});
    result.push_back(Member{"size", Value(size)});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
