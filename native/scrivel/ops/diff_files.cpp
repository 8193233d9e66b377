// diff_files: the unified diff between two text files, headed by their resolved paths.
//
// Both files are read whole, decoded leniently (U+FFFD for bad bytes) and normalised as text
// mode reads; valid input without carriage returns is used as read, without a copy. The diff
// borrows views of the lines from those two texts.
#include <string>
#include <string_view>

#include "common/text.h"
#include "platform/os.h"
#include "scrivel/difflib/unified_diff.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

namespace {

constexpr std::string_view k_file_not_found = "File not found: ";

// Path.read_text(encoding="utf-8", errors="replace").splitlines(keepends=True): the file is read
// into `text`, and the lines returned are views of it. The lines are split straight from the
// bytes read; only a file with a byte from 0x80 or a \r is then checked, decoded and translated as
// need be, and split again if that changed it.
difflib::LineList read_lines_lenient(const std::string& resolved, std::string& text) {
  text = read_whole_file(resolved);
  bool unusual = false;
  difflib::LineList lines = difflib::split_lines(text, &unusual);
  if (!unusual) return lines;
  bool changed = false;
  if (!text::is_valid_utf8(text)) {
    text = text::decode_utf8_replace(text);
    changed = true;
  }
  if (text.find('\r') != std::string::npos) {
    text = text::normalize_newlines(text);
    changed = true;
  }
  if (changed) lines = difflib::split_lines(text);
  return lines;
}

}  // namespace

Value diff_files(std::string_view file_a, std::string_view file_b) {
  return guarded([&]() -> Value {
    // Both are resolved before either is checked: a resolution failure of file_b wins over a
    // missing file_a.
    const std::string path_a = os::resolve(file_a);
    const std::string path_b = os::resolve(file_b);
    if (!os::exists_text(path_a))
      return fail_record(std::string(k_file_not_found) + std::string(file_a));
    if (!os::exists_text(path_b))
      return fail_record(std::string(k_file_not_found) + std::string(file_b));

    std::string text_a, text_b;
    const difflib::LineList lines_a = read_lines_lenient(path_a, text_a);
    const difflib::LineList lines_b = read_lines_lenient(path_b, text_b);
    std::string diff = unified_diff(lines_a, lines_b, path_a, path_b);
    Object result;
    result.push_back({"diff", Value(std::move(diff))});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
