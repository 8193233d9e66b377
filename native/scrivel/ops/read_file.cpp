// read_file: a text file's content, whole or a range of its lines.
#include <cstdint>

#include "common/text.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "platform/os.h"
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

namespace {

// lines[first:end] of a list of `total` lines with Python's slice rules, as [first, end) with
// first <= end. `start_line` and `end_line` are 1-based and inclusive; 0 means no bound.
void line_range(std::int64_t total, std::optional<std::int64_t> start_line,
                std::optional<std::int64_t> end_line, std::int64_t& first, std::int64_t& end) {
  // start_line - 1 (but never below 0; also keeps INT64_MIN from overflowing).
  first = (start_line && *start_line > 0) ? *start_line - 1 : 0;
  end = (end_line && *end_line != 0) ? *end_line : total;
  if (end < 0) end = end + total < 0 ? 0 : end + total;
  if (end > total) end = total;
  if (first > total) first = total;
  if (first > end) first = end;
}

}  // namespace

Value read_file(std::string_view path, std::optional<std::int64_t> start_line,
                std::optional<std::int64_t> end_line) {
  return guarded([&]() -> Value {
    // Path.exists() and Path.is_file(): any failure of stat counts as "not there".
    os::Stat st;
    os::Error missing;
    const std::string resolved = os::resolve(path, st, missing);
    if (missing) return fail_record("File not found: " + std::string(path));
    if (!st.is_regular()) return fail_record("Not a file: " + std::string(path));

    std::int64_t size = 0;
    std::string content = text::decode_text_file(read_whole_file(resolved, &size));
    const std::int64_t total = static_cast<std::int64_t>(text::count_lines(content));
    if (start_line || end_line) {
      std::int64_t first, end;
      line_range(total, start_line, end_line, first, end);
      // The selected lines are contiguous in the text: find the offsets of lines first and end.
      std::size_t off_first = content.size(), off_end = content.size(), offset = 0;
      std::int64_t index = 0;
      text::for_each_line(content, true, [&](std::string_view line) {
        if (index == first) off_first = offset;
        if (index == end) off_end = offset;
        offset += line.size();
        ++index;
      });
      content = content.substr(off_first, off_end - off_first);
    }

    Object result;
    result.reserve(4);
    result.push_back(Member{"content", Value(std::move(content))});
    result.push_back(Member{"total_lines", Value(total)});
    result.push_back(Member{"path", Value(resolved)});
    result.push_back(Member{"size", Value(size)});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
