// read_file: a text file's content, whole or a range of its lines.
//
// A range is read piece by piece: every line is counted (for "total_lines"), only the selected
// ones are kept, so two lines of a 10 GB log cost what they hold. A range whose end counts from
// the end of the file needs the number of lines first, and reads the file twice.
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/text.h"
#include "platform/os.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
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

// The lines [first, end) of a text fed in decoded pieces, and the number of all its lines.
class LineRange {
 public:
  LineRange(std::int64_t first, std::int64_t end) : m_first(first), m_end(end) {}

  void feed(std::string_view t) {
    std::size_t start = 0, i = 0;
    const std::size_t n = t.size();
    while (i < n) {
      if (!text::detail::kMayBreak.v[static_cast<unsigned char>(t[i])]) {
        ++i;
        continue;
      }
      const std::size_t br = text::line_break_at(t, i);
      if (br == 0) {
        ++i;
        continue;
      }
      take(t.substr(start, i + br - start));
      ++m_index;
      m_in_line = false;
      i += br;
      start = i;
    }
    if (start < n) {
      take(t.substr(start));
      m_in_line = true;  // the line goes on in the next piece
    }
  }
  void finish() {
    if (m_in_line) ++m_index;
    m_in_line = false;
  }
  std::int64_t lines() const noexcept { return m_index; }
  std::string& text() noexcept { return m_text; }

 private:
  void take(std::string_view part) {
    if (m_index >= m_first && m_index < m_end) m_text.append(part);
  }
  const std::int64_t m_first, m_end;
  std::int64_t m_index = 0;
  bool m_in_line = false;
  std::string m_text;
};

constexpr std::size_t kPiece = 1 << 16;

// Feeds the file at `path` to `range`, piece by piece; returns its size after the read.
std::int64_t feed_file(std::string_view path, LineRange& range) {
  const os::OsPath p = os::os_path(path);
  os::File f;
  os::Stat st;
  if (const os::Error e = os::open_file(p, os::Access::Read, f, &st))
    throw os::Failure(e, std::string(path));
  refuse_device(path, st);
  auto buf = std::make_unique_for_overwrite<char[]>(kPiece + 4);
  std::size_t carried = 0;
  for (;;) {
    std::size_t got = 0;
    if (const os::Error e = os::read_some(f, buf.get() + carried, kPiece, got))
      throw os::Failure(e, std::string(path));
    const std::size_t have = carried + got;
    const std::size_t keep = got == 0 ? 0 : text::undecided_tail(buf.get(), have);
    range.feed(text::decode_text_file(std::string(buf.get(), have - keep)));
    if (got == 0) break;
    std::memmove(buf.get(), buf.get() + have - keep, keep);
    carried = keep;
  }
  range.finish();
  if (const os::Error e = os::file_stat(f, st)) throw os::Failure(e, std::string(path));
  return st.size;
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

    std::int64_t size = 0, total = 0;
    std::string content;
    if (start_line || end_line) {
      std::int64_t first, end;
      if (end_line && *end_line < 0) {
        LineRange counter(0, 0);
        feed_file(resolved, counter);
        line_range(counter.lines(), start_line, end_line, first, end);
      } else {
        // Bounds that do not count from the end select without the number of lines.
        line_range(INT64_MAX, start_line, end_line, first, end);
      }
      LineRange range(first, end);
      size = feed_file(resolved, range);
      total = range.lines();
      content = std::move(range.text());
    } else {
      content = text::decode_text_file(read_whole_file(resolved, &size));
      total = static_cast<std::int64_t>(text::count_lines(content));
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
