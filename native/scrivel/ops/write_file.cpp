// write_file: replaces a file's content with a text, creating the file and its parents.
#include "common/text.h"
#include "platform/os.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value write_file(std::string_view path, std::string_view content, bool create_dirs) {
  return guarded([&]() -> Value {
    const std::string resolved = os::resolve(path);
    // Encoded before anything is touched: content that UTF-8 cannot hold (a lone surrogate)
    // fails with the file and its directories as they were, instead of an emptied file.
    std::string scratch;
    const std::string_view bytes = encode_for_file(content, scratch);
    if (create_dirs) os::make_dirs(os::parent_of(resolved));
    const std::int64_t size = write_whole_file(resolved, bytes, false);

    Object result;
    result.reserve(3);
    result.push_back(Member{"path", Value(resolved)});
    result.push_back(Member{"size", Value(size)});
    result.push_back(Member{"lines", Value(text::count_lines(content))});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
