// grep_files: the lines matching a regular expression in the files below a directory whose names
// match a glob pattern, with context lines, up to a limit.
//
// Each file is read whole, once, into one buffer reused for every file, and searched in place:
// valid UTF-8 (nearly every file) is searched as read; otherwise it is decoded once with U+FFFD
// replacements. A file without the pattern's required text is dismissed on its raw bytes, before
// the UTF-8 check. Lines are never copied out for the search. When the pattern holds text that
// every match must contain, a vectorised search (search/literal.h) finds the lines that hold it
// and only those lines go to the engine, each as its own subject. Otherwise a pattern whose matches depend only on the text they cover runs over the whole
// buffer and its matches are mapped back to lines (a match that strays over a line end is
// checked again against its line alone); any other pattern (anchors, word boundaries,
// lookarounds) runs line by line, each line its own subject, as Python's re.search(line) sees it.
#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "platform/os.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/ops/ops.h"
#include "scrivel/search/lines.h"
#include "scrivel/search/literal.h"
#include "scrivel/search/regex.h"
#include "scrivel/walk/walker.h"

namespace talmek::scrivel {

namespace {

using search::kNoBoundary;

// Context up to this many lines is gathered around each match; beyond it (or for the negative
// counts whose slices reach from the end) the file's lines are indexed once.
constexpr std::int64_t kLocalContext = 64;

// Python's slice bounds for a list of n items.
std::int64_t slice_bound(std::int64_t b, std::int64_t n) {
  if (b < 0) return std::max<std::int64_t>(b + n, 0);
  return std::min(b, n);
}

std::int64_t sat_add(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

class Grep {
 public:
  Grep(const search::Regex& re, std::int64_t max_results, std::int64_t context)
      : m_re(re),
        m_literal(re.required_literal()),
        m_raw_prefilter(!m_literal.needle().empty() &&
                        m_literal.needle().find("\xEF\xBF\xBD") == std::string::npos),
        m_max(max_results),
        m_context(context) {}

  // Searches one file's text; false once the limit is reached. `clear_before`: the required
  // text is known not to start before this offset (from may_match on these same bytes).
  bool search_file(std::string_view buf, std::string_view file, std::size_t clear_before = 0) {
    m_buf = buf;
    m_file = file;
    m_clear_before = clear_before;
    m_indexed = false;
    const std::string& lit = m_re.required_literal();
    if (!lit.empty()) {
      // No line can match without the required text: most files are dismissed by one scan,
      // and in the rest only the lines that hold it are given to the engine.
      if (find_literal(0) >= m_buf.size()) return true;
      return search_lines<true>();
    }
    return m_re.context_free() ? search_whole() : search_lines<false>();
  }

  // False when the raw bytes show that no line of the file can match, so that neither the
  // UTF-8 check nor the search need look at it. Decoding with replacements only turns invalid
  // bytes into U+FFFD and copies valid sequences as they are, so required text without U+FFFD
  // is in the decoded text only if it is in the raw bytes.
  // Sets `first` to where the required text first starts (0 when not looked for).
  bool may_match(std::string_view raw, std::size_t& first) const {
    first = 0;
    if (!m_raw_prefilter) return true;
    first = m_literal.find(raw, 0);
    return first < raw.size();
  }

  bool limit_reached() const { return static_cast<std::int64_t>(m_matches.size()) >= m_max; }
  Array take() { return std::move(m_matches); }

 private:
  // The start of the next occurrence of the required text at or after `from`, or n.
  std::size_t find_literal(std::size_t from) const {
    return m_literal.find(m_buf, std::max(from, m_clear_before));
  }

  // Line by line, each line given to the engine on its own. With kOnlyCandidates, only the lines
  // that hold the required text are: the others are skipped by the literal search.
  template <bool kOnlyCandidates>
  bool search_lines() {
    std::size_t pos = 0, len = 0, line = 0, b, e;
    const std::size_t n = m_buf.size();
    while (pos < n) {
      if constexpr (kOnlyCandidates) {
        const std::size_t hit = find_literal(pos);
        if (hit >= n) break;
        search::advance_to_line(m_buf, pos, line, hit);
      }
      const std::size_t end_ = search::next_boundary(m_buf, pos, len);
      const std::size_t le = end_ == kNoBoundary ? n : end_;
      if (m_re.search(m_buf.substr(pos, le - pos), 0, b, e) && !add(line, pos, le)) return false;
      if (end_ == kNoBoundary) break;
      pos = le + len;
      ++line;
    }
    return true;
  }

  // The whole buffer given to the engine at once; only for patterns without a required text
  // (those go line by line through the literal search instead).
  bool search_whole() {
    std::size_t pos = 0, line = 0, len = 0, s, e, b_;
    const std::size_t n = m_buf.size();
    while (pos < n) {
      if (!m_re.search(m_buf, pos, s, e)) break;
      // Walk to the line that holds the match's start.
      search::advance_to_line(m_buf, pos, line, s);
      const std::size_t b = search::next_boundary(m_buf, pos, len);
      if (pos >= n) break;  // past the last line: nothing left to match
      const std::size_t le = b == kNoBoundary ? n : b;
      const bool inside = s >= pos && e <= le;
      if ((inside || m_re.search(m_buf.substr(pos, le - pos), 0, s, b_)) && !add(line, pos, le))
        return false;
      if (b == kNoBoundary) break;
      pos = le + len;
      ++line;
    }
    return true;
  }

  // Appends the match record for line i ([ls, le)); false when the limit is reached.
  bool add(std::size_t i, std::size_t ls, std::size_t le) {
    Array before, after;
    if (m_context > 0 && m_context <= kLocalContext) {
      // A few lines on each side: found by scanning outwards from the match, so that a file
      // with matches is not indexed as a whole.
      const auto k = static_cast<std::size_t>(m_context);
      std::size_t starts[kLocalContext], ends[kLocalContext];
      std::size_t got = 0, start = ls;
      while (got < k && got < i) {
        const std::size_t end = start - search::boundary_before(m_buf, start);
        start = search::line_start_before(m_buf, end);
        starts[got] = start;
        ends[got] = end;
        ++got;
      }
      for (std::size_t q = got; q > 0; --q)
        before.push_back(Value(m_buf.substr(starts[q - 1], ends[q - 1] - starts[q - 1])));
      std::size_t pos = le, len = 0;
      if (pos < m_buf.size()) pos += text::line_break_at(m_buf, pos);
      for (std::size_t q = 0; q < k && pos < m_buf.size(); ++q) {
        const std::size_t b = search::next_boundary(m_buf, pos, len);
        const std::size_t end = b == kNoBoundary ? m_buf.size() : b;
        after.push_back(Value(m_buf.substr(pos, end - pos)));
        if (b == kNoBoundary) break;
        pos = b + len;
      }
    } else if (m_context != 0) {
      if (!m_indexed) {
        search::index_lines(m_buf, m_starts, m_ends);
        m_indexed = true;
      }
      const auto n = static_cast<std::int64_t>(m_starts.size());
      const auto li = static_cast<std::int64_t>(i);
      // lines[max(0, i - k):i] and lines[i + 1:i + 1 + k], with Python's slice rules.
      const std::int64_t b_lo = slice_bound(std::max<std::int64_t>(0, sat_add(li, -m_context)), n);
      const std::int64_t b_hi = slice_bound(li, n);
      for (std::int64_t k = b_lo; k < b_hi; ++k) before.push_back(line_text(k));
      const std::int64_t a_lo = slice_bound(li + 1, n);
      const std::int64_t a_hi = slice_bound(sat_add(li + 1, m_context), n);
      for (std::int64_t k = a_lo; k < a_hi; ++k) after.push_back(line_text(k));
    }
    Object rec;
    rec.reserve(5);
    rec.push_back({"file", Value(m_file)});
    rec.push_back({"line_number", Value(static_cast<std::int64_t>(i) + 1)});
    rec.push_back({"line", Value(m_buf.substr(ls, le - ls))});
    rec.push_back({"context_before", Value(std::move(before))});
    rec.push_back({"context_after", Value(std::move(after))});
    m_matches.push_back(Value(std::move(rec)));
    return !limit_reached();
  }

  Value line_text(std::int64_t k) const {
    const auto u = static_cast<std::size_t>(k);
    return Value(m_buf.substr(m_starts[u], m_ends[u] - m_starts[u]));
  }

  const search::Regex& m_re;
  const search::LiteralFinder m_literal;
  const bool m_raw_prefilter;  // the required text can be looked for in the raw bytes
  std::size_t m_clear_before = 0;  // no occurrence of the required text starts before this
  const std::int64_t m_max;
  const std::int64_t m_context;
  Array m_matches;
  std::string_view m_buf, m_file;  // the file's text and its path as text
  bool m_indexed = false;
  std::vector<std::size_t> m_starts, m_ends;  // reused from file to file
};

// Path.is_file(): a regular file, links followed.
bool is_regular_file(const os::OsPath& p, walk::EntryKind kind) {
  if (kind == walk::EntryKind::Regular) return true;
  if (kind != walk::EntryKind::Symlink && kind != walk::EntryKind::Unknown) return false;
  os::Stat st;
  return !os::stat(p, st) && st.is_regular();
}

}  // namespace

Value grep_files(std::string_view path, std::string_view regex, std::string_view file_pattern,
                 std::int64_t max_results, std::int64_t context_lines) {
  return guarded([&]() -> Value {
    const std::string resolved = os::resolve(path);
    if (!os::exists_text(resolved)) return fail_record("Directory not found: " + std::string(path));
    const os::OsPath root = os::os_path(resolved);
    const search::Regex re(regex);
    const walk::RGlob glob = walk::RGlob::compile(file_pattern);

    Grep grep(re, max_results, context_lines);
    os::OsPath os_file;
    std::string decoded;
    ReadBuffer content;
    glob.walk(root, [&](std::string_view p, walk::EntryKind kind, const walk::Status&) {
      os_file.assign(p);
      if (!is_regular_file(os_file, kind)) return true;
      const std::string file_text = os::to_text(p);
      std::string_view buf;
      try {
        buf = read_whole_file(file_text, content);
      } catch (const os::Failure& f) {
        // PermissionError is the one read failure that skips the file: without a trace, and
        // without the limit check.
        if (f.error().is(os::ErrorKind::PermissionDenied)) return true;
        throw;
      }
      std::size_t first = 0;
      // A file dismissed on its raw bytes was still read: the limit check after it is made.
      if (!grep.may_match(buf, first)) return !grep.limit_reached();
      if (!search::valid_utf8(buf)) {
        first = 0;  // offsets in the raw bytes say nothing about the decoded text
        decoded = text::decode_utf8_replace(buf);
        buf = decoded;
      }
      grep.search_file(buf, file_text, first);
      return !grep.limit_reached();
    });
    Array matches = grep.take();
    return ok_record(list_result("matches", std::move(matches)));
  });
}

}  // namespace talmek::scrivel
