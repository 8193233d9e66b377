// diff_files: the unified diff between two text files, headed by their resolved paths.
//
// Both files are read whole, decoded leniently (U+FFFD for bad bytes) and normalised as text
// mode reads; valid input without carriage returns is used as read, without a copy. The diff
// borrows views of the lines from those two texts.
#include <string>
#include <string_view>

#include "common/text.h"
#include "scrivel/difflib/unified_diff.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/path.h"

namespace talmek::scrivel {

namespace {

constexpr std::string_view k_file_not_found = "File not found: ";

// Path.read_text(encoding="utf-8", errors="replace").
std::string read_text_lenient(const std::string& resolved) {
  std::string bytes = read_whole_file(resolved);
  if (!difflib::is_ascii(bytes) && !text::is_valid_utf8(bytes))
    bytes = text::decode_utf8_replace(bytes);
  if (bytes.find('\r') != std::string::npos) return text::normalize_newlines(bytes);
  return bytes;
}

}  // namespace

Value diff_files(std::string_view file_a, std::string_view file_b) {
  return guarded([&]() -> Value {
    // Both are resolved before either is checked: a resolution failure of file_b wins over a
    // missing file_a.
    const std::string path_a = resolve_path(file_a);
    const std::string path_b = resolve_path(file_b);
    if (!path_exists(path_a)) return fail_record(std::string(k_file_not_found) + std::string(file_a));
    if (!path_exists(path_b)) return fail_record(std::string(k_file_not_found) + std::string(file_b));

    const std::string text_a = read_text_lenient(path_a);
    const std::string text_b = read_text_lenient(path_b);
    std::string diff =
        unified_diff(difflib::split_lines(text_a), difflib::split_lines(text_b), path_a, path_b);
    Object result;
    result.push_back({"diff", Value(std::move(diff))});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
