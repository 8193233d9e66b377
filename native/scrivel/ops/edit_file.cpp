// edit_file: find-and-replace edits applied in memory, all or nothing, then one write and a diff.
//
// The edits work on the text as read (strict UTF-8, line ends normalised), which is kept for the
// diff. The first replacement copies it once; a single replacement then changes that copy in
// place (only the text after it moves), and an "all" replacement builds the next text in one
// pass into a second buffer. Nothing touches the file until every edit has succeeded.
#include <cstring>
#include <string>
#include <string_view>

#include "common/os_error.h"
#include "common/text.h"
#include "platform/os.h"
#include "scrivel/difflib/unified_diff.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

namespace {

// Messages the caller sees, worded as the reference runtime words them.
constexpr std::string_view k_file_not_found = "File not found: ";
constexpr std::string_view k_text_not_found = "Text not found in file: ";
constexpr std::string_view k_no_get = "' object has no attribute 'get'";
constexpr std::string_view k_find_not_text = "'in <string>' requires string as left operand, not ";
constexpr std::string_view k_replace_not_text = "replace() argument 2 must be str, not ";
// How many code points of a missing "find" text the message quotes.
constexpr std::size_t k_quoted_find_limit = 100;

// Path.read_text(encoding="utf-8"): strict decoding, then text-mode line ends. Valid input is
// kept as read (our text is UTF-8), so the usual case copies nothing.
std::string read_text_strict(const std::string& resolved) {
  std::string bytes = read_whole_file(resolved);
  if (!difflib::is_ascii(bytes) && !text::is_valid_utf8(bytes)) {
    std::string error;
    text::decode_utf8_strict(bytes, error);
    throw OpError(error);
  }
  if (bytes.find('\r') != std::string::npos) return text::normalize_newlines(bytes);
  return bytes;
}

// str.find: a linear search, never quadratic (text::find_bytes).
std::size_t find_text(std::string_view hay, std::string_view needle, std::size_t from) {
  return text::find_bytes(hay, needle, from);
}

// Python's name of a value's type in a "must be str, not X" message: None is named by itself.
std::string arg_type_name(const Value& v) { return v.is_null() ? "None" : v.type_name(); }

const Value& get(const Value& edit, std::string_view key, const Value& fallback) {
  const Value* v = edit.find(key);
  return v ? *v : fallback;
}

}  // namespace

Value edit_file(std::string_view path, const Array& edits) {
  return guarded([&]() -> Value {
    const std::string resolved = os::resolve(path);
    if (!os::exists_text(resolved))
      return fail_record(std::string(k_file_not_found) + std::string(path));

    const std::string original = read_text_strict(resolved);
    std::string_view content = original;
    std::string edited;  // the text once an edit changed it; `content` then views it
    std::string next;    // where an "all" replacement builds the text after it
    std::int64_t changes_made = 0;

    static const Value empty_text{std::string()};
    static const Value no{false};
    for (const Value& edit : edits) {
      if (!edit.is_object()) throw OpError("'" + edit.type_name() + std::string(k_no_get));
      const Value& find = get(edit, "find", empty_text);
      const Value& replace = get(edit, "replace", empty_text);
      const bool replace_all = get(edit, "all", no).truthy();

      if (!find.truthy()) continue;
      if (!find.is_string()) throw OpError(std::string(k_find_not_text) + find.type_name());
      const std::string_view f = find.as_string();
      std::size_t pos = find_text(content, f, 0);
      if (pos == std::string_view::npos)
        return fail_record(std::string(k_text_not_found) +
                           text::py_repr(text::prefix_cps(f, k_quoted_find_limit)));
      if (!replace.is_string())
        throw OpError(std::string(k_replace_not_text) + arg_type_name(replace));
      const std::string_view r = replace.as_string();

      if (replace_all) {
        // str.count and str.replace: non-overlapping occurrences, left to right, in one pass.
        next.clear();
        std::size_t start = 0;
        while (pos != std::string_view::npos) {
          next.append(content.data() + start, pos - start);
          next.append(r);
          ++changes_made;
          start = pos + f.size();
          pos = find_text(content, f, start);
        }
        next.append(content.data() + start, content.size() - start);
        edited.swap(next);
      } else {
        if (content.data() != edited.data()) edited.assign(content);
        edited.replace(pos, f.size(), r);
        ++changes_made;
      }
      content = edited;
    }

    // Everything that can fail happens before the write: once the file has changed, the reply
    // says so.
    std::string scratch;  // only used where the line separator is not "\n"
    const std::string_view bytes = encode_for_file(content, scratch);
    const std::string_view name = os::name_of(resolved);
    std::string diff = unified_diff(difflib::split_lines(original), difflib::split_lines(content),
                                    "a/" + std::string(name), "b/" + std::string(name));
    (void)write_whole_file(resolved, bytes, false);

    Object result;
    result.push_back({"path", Value(resolved)});
    result.push_back({"changes", Value(changes_made)});
    result.push_back({"diff", Value(std::move(diff))});
    return ok_record(Value(std::move(result)));
  });
}

}  // namespace talmek::scrivel
