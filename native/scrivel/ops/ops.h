// The worker's twelve operations, as plain C++ over our own value and text types.
//
// Every operation takes its arguments already type-checked (the dispatch does that), runs its
// whole body under guarded() and returns a result record: {"success": true, "result": {...}} or
// {"success": false, "error": "..."}. Texts are code points in UTF-8 form (common/text.h); a
// path text goes to the operating system through os_path() (scrivel/path.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "scrivel/json/value.h"

namespace talmek::scrivel {

Value read_file(std::string_view path, std::optional<std::int64_t> start_line,
                std::optional<std::int64_t> end_line);
Value write_file(std::string_view path, std::string_view content, bool create_dirs);
Value append_file(std::string_view path, std::string_view content);
Value edit_file(std::string_view path, const Array& edits);
Value delete_file(std::string_view path);
Value move_file(std::string_view src, std::string_view dst);
Value copy_file(std::string_view src, std::string_view dst);
Value make_dir(std::string_view path);
Value list_dir(std::string_view path, bool recursive, std::optional<std::string_view> pattern);
Value find_files(std::string_view path, std::string_view pattern, std::int64_t max_results);
Value grep_files(std::string_view path, std::string_view regex, std::string_view file_pattern,
                 std::int64_t max_results, std::int64_t context_lines);
Value diff_files(std::string_view file_a, std::string_view file_b);

}  // namespace talmek::scrivel
