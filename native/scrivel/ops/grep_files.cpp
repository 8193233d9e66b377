// grep_files: the lines matching a regular expression in the files below a directory whose names
// match a glob pattern, with context lines, up to a limit.
//
// Each file is read whole, once, into one buffer reused for every file, and searched in place:
// valid UTF-8 (nearly every file) is searched as read; otherwise it is decoded once with U+FFFD
// replacements. A file without the pattern's required text is dismissed on its raw bytes, before
// the UTF-8 check. Lines are never copied out for the search. When the pattern holds text that
// every match must contain, a vectorised search (search/literal.h) finds the lines that hold it
// and only those lines go to the engine, each as its own subject. Otherwise a pattern whose
// matches depend only on the text they cover runs over the whole buffer and its matches are
// mapped back to lines (a match that strays over a line end is checked again against its line
// alone); any other pattern (anchors, word boundaries, lookarounds) runs line by line, each line
// its own subject, as Python's re.search(line) sees it.
//
// Files are read and searched on every processor the process may use, while the answer stays
// that of the plain serial loop, byte for byte. The walk runs on the calling thread and hands
// each candidate to an ordered pool (common/ordered_pool.h); each file's outcome (its match
// records, already in wire form, and the failure that ended it, if any) is taken back in walk
// order and applied as the serial loop would apply it: the limit cuts the records of the file
// that reaches it, a failure counts only when the serial loop would have got that far, and a
// skipped file (denied access, not a regular file) is passed over without a limit check. Files
// after the one that ends the search may have been read; their outcomes are dropped.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>

#include "common/ordered_pool.h"
#include "common/text.h"
#include "platform/os.h"
#include "scrivel/fileio.h"
#include "scrivel/guard.h"
#include "scrivel/json/encode.h"
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

// Beyond this many threads one walker cannot keep them fed, and reading from the page cache
// stops scaling.
constexpr unsigned kMaxThreads = 16;

// Files given to the pool and not yet taken back, per thread: enough that no thread waits for
// work while the walk or the oldest file holds things up, few enough that the outcomes waiting
// for an older one stay small.
constexpr std::size_t kWindowPerThread = 16;

// Python's slice bounds for a list of n items.
std::int64_t slice_bound(std::int64_t b, std::int64_t n) {
  if (b < 0) return std::max<std::int64_t>(b + n, 0);
  return std::min(b, n);
}

// a + b and a - b, held at the int64 range instead of overflowing. Arguments beyond the range
// arrive saturated; for any list shorter than 2**62 lines the slices then select what Python's
// unbounded integers select.
std::int64_t sat_add(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

std::int64_t sat_sub(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN;
  return r;
}

// TALMEK_SCRIVEL_THREADS (read once): a thread count that overrides the processor count, with
// the helpers working from the first file on instead of after a short delay; 1 runs the serial
// loop on the calling thread alone. Tests use it to compare the two on small trees. 0 when
// unset or not a number.
unsigned forced_threads() {
  static const unsigned forced = [] {
    const char* v = std::getenv("TALMEK_SCRIVEL_THREADS");
    unsigned n = 0;
    if (v && *v) {
      const char* end = v + std::strlen(v);
      const auto r = std::from_chars(v, end, n);
      if (r.ec != std::errc() || r.ptr != end) n = 0;
    }
    return std::min(n, 64u);
  }();
  return forced;
}

// The threads a search uses: every processor of the process's affinity mask, up to
// kMaxThreads, unless forced.
unsigned search_threads() {
  const unsigned forced = forced_threads();
  return forced ? forced : std::min(os::usable_cpus(), kMaxThreads);
}

// Path.is_file(): a regular file, links followed.
bool is_regular_file(const os::OsPath& p, walk::EntryKind kind) {
  if (kind == walk::EntryKind::Regular) return true;
  if (kind != walk::EntryKind::Symlink && kind != walk::EntryKind::Unknown) return false;
  os::Stat st;
  return !os::stat(p, st) && st.is_regular();
}

// A candidate from the walk: its path (OS form) and what the directory scan said it is.
struct FileJob {
  os::OsPath os_path;
  walk::EntryKind kind;
};

// What searching one file gave, on whichever thread searched it.
struct FileOutcome {
  bool read = false;          // the file was read: the limit check follows it
  json::ListBuilder records;  // its match records in wire form, in line order
  // Where the records end one by one, for cutting them at the limit: mark k is after record
  // k + 1.
  std::vector<json::ListBuilder::Mark> marks;
  std::exception_ptr error;  // what ended the file's search after the records above
};

// Searches one file at a time; one per thread. Each file's search stops at the limit (at most
// max(max_results, 1) records: the most any file can contribute).
class FileSearcher {
 public:
  FileSearcher(const search::Regex& re, std::int64_t max_results, std::int64_t context,
               const std::atomic<bool>& stop)
      : m_matcher(re),
        m_literal(re.required_literal()),
        m_raw_prefilter(!m_literal.needle().empty() &&
                        m_literal.needle().find("\xEF\xBF\xBD") == std::string::npos),
        m_cap(static_cast<std::size_t>(std::max<std::int64_t>(max_results, 1))),
        m_context(context),
        m_stop(stop) {}

  FileOutcome run(const FileJob& job) {
    FileOutcome out;
    m_out = &out;
    try {
      search(job, out);
    } catch (...) {
      out.error = std::current_exception();
    }
    m_out = nullptr;
    return out;
  }

 private:
  void search(const FileJob& job, FileOutcome& out) {
    if (!is_regular_file(job.os_path, job.kind)) return;
    m_file = os::to_text(job.os_path);
    std::string_view buf;
    try {
      buf = read_whole_file(m_file, m_content);
    } catch (const os::Failure& f) {
      // PermissionError is the one read failure that skips the file: without a trace, and
      // without the limit check.
      if (f.error().is(os::ErrorKind::PermissionDenied)) return;
      throw;
    }
    out.read = true;
    std::size_t first = 0;
    if (!may_match(buf, first)) return;
    if (!search::valid_utf8(buf)) {
      first = 0;  // offsets in the raw bytes say nothing about the decoded text
      m_decoded = text::decode_utf8_replace(buf);
      buf = m_decoded;
    }
    m_file_json.clear();
    search_file(buf, first);
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

  // Searches one file's text; false once the cap is reached. `clear_before`: the required
  // text is known not to start before this offset (from may_match on these same bytes).
  bool search_file(std::string_view buf, std::size_t clear_before) {
    m_buf = buf;
    m_clear_before = clear_before;
    m_indexed = false;
    if (!m_literal.needle().empty()) {
      // No line can match without the required text: most files are dismissed by one scan,
      // and in the rest only the lines that hold it are given to the engine.
      if (find_literal(0) >= m_buf.size()) return true;
      return search_lines<true>();
    }
    return m_matcher.regex().context_free() ? search_whole() : search_lines<false>();
  }

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
      if (m_matcher.search(m_buf.substr(pos, le - pos), 0, b, e) && !add(line, pos, le))
        return false;
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
      if (!m_matcher.search(m_buf, pos, s, e)) break;
      // Walk to the line that holds the match's start.
      search::advance_to_line(m_buf, pos, line, s);
      const std::size_t b = search::next_boundary(m_buf, pos, len);
      if (pos >= n) break;  // past the last line: nothing left to match
      const std::size_t le = b == kNoBoundary ? n : b;
      const bool inside = s >= pos && e <= le;
      if ((inside || m_matcher.search(m_buf.substr(pos, le - pos), 0, s, b_)) &&
          !add(line, pos, le))
        return false;
      if (b == kNoBoundary) break;
      pos = le + len;
      ++line;
    }
    return true;
  }

  // Appends the match record for line i ([ls, le)) in wire form, as json.dumps writes the
  // record {"file", "line_number", "line", "context_before", "context_after"}; false when the
  // cap is reached, or when the search was stopped (this file's outcome is then dropped).
  bool add(std::size_t i, std::size_t ls, std::size_t le) {
    if (m_file_json.empty()) json::encode_string(m_file, m_file_json);
    std::string& o = m_out->records.begin_element();
    o += "{\"file\": ";
    o += m_file_json;
    o += ", \"line_number\": ";
    char num[24];
    const auto r = std::to_chars(num, num + sizeof num, static_cast<std::uint64_t>(i) + 1);
    o.append(num, r.ptr);
    o += ", \"line\": ";
    json::encode_string(m_buf.substr(ls, le - ls), o);
    o += ", \"context_before\": [";
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
      for (std::size_t q = got; q > 0; --q) {
        if (q != got) o += ", ";
        json::encode_string(m_buf.substr(starts[q - 1], ends[q - 1] - starts[q - 1]), o);
      }
      o += "], \"context_after\": [";
      std::size_t pos = le, len = 0;
      if (pos < m_buf.size()) pos += text::line_break_at(m_buf, pos);
      for (std::size_t q = 0; q < k && pos < m_buf.size(); ++q) {
        const std::size_t b = search::next_boundary(m_buf, pos, len);
        const std::size_t end = b == kNoBoundary ? m_buf.size() : b;
        if (q) o += ", ";
        json::encode_string(m_buf.substr(pos, end - pos), o);
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
      const std::int64_t b_lo = slice_bound(std::max<std::int64_t>(0, sat_sub(li, m_context)), n);
      const std::int64_t b_hi = slice_bound(li, n);
      for (std::int64_t k = b_lo; k < b_hi; ++k) {
        if (k != b_lo) o += ", ";
        encode_line(k, o);
      }
      o += "], \"context_after\": [";
      const std::int64_t a_lo = slice_bound(li + 1, n);
      const std::int64_t a_hi = slice_bound(sat_add(li + 1, m_context), n);
      for (std::int64_t k = a_lo; k < a_hi; ++k) {
        if (k != a_lo) o += ", ";
        encode_line(k, o);
      }
    } else {
      o += "], \"context_after\": [";
    }
    o += "]}";
    m_out->records.end_element();
    m_out->marks.push_back(m_out->records.mark());
    return m_out->records.count() < m_cap && !m_stop.load(std::memory_order_relaxed);
  }

  void encode_line(std::int64_t k, std::string& o) const {
    const auto u = static_cast<std::size_t>(k);
    json::encode_string(m_buf.substr(m_starts[u], m_ends[u] - m_starts[u]), o);
  }

  search::Matcher m_matcher;
  const search::LiteralFinder m_literal;
  const bool m_raw_prefilter;  // the required text can be looked for in the raw bytes
  const std::size_t m_cap;
  const std::int64_t m_context;
  const std::atomic<bool>& m_stop;
  std::size_t m_clear_before = 0;  // no occurrence of the required text starts before this
  FileOutcome* m_out = nullptr;    // the outcome of the file under search
  std::string m_file;              // its path as text
  std::string m_file_json;         // the same as a JSON string literal, once a record needs it
  std::string_view m_buf;          // its text
  bool m_indexed = false;
  // Reused from file to file.
  ReadBuffer m_content;
  std::string m_decoded;
  std::vector<std::size_t> m_starts, m_ends;
};

// The serial loop's bookkeeping, fed the files' outcomes in walk order.
class Collector {
 public:
  explicit Collector(std::int64_t max_results) : m_max(max_results) {}

  // Applies one file's outcome; false once the search is over (the limit is reached).
  // Rethrows the failure that ended the file when the serial loop would have met it.
  bool take(FileOutcome&& f) {
    const std::size_t n = f.records.count();
    // The records this file may still add: after each one the limit is checked, so at least
    // one (a limit of 0 or below still answers the first match).
    const std::size_t room = count() < m_max ? static_cast<std::size_t>(m_max - count()) : 1;
    if (n >= room) {
      // The limit falls inside this file: the serial loop stops there, before anything that
      // went wrong later in it.
      f.records.truncate(f.marks[room - 1]);
      m_matches.splice(std::move(f.records));
      return false;
    }
    if (f.error) std::rethrow_exception(f.error);
    m_matches.splice(std::move(f.records));
    // The limit check after each file that was read (not after a skipped one).
    return !f.read || count() < m_max;
  }

  EncodedList take_matches() { return m_matches.take(); }

 private:
  std::int64_t count() const { return static_cast<std::int64_t>(m_matches.count()); }

  const std::int64_t m_max;
  json::ListBuilder m_matches;
};

}  // namespace

Value grep_files(std::string_view path, std::string_view regex, std::string_view file_pattern,
                 std::int64_t max_results, std::int64_t context_lines) {
  return guarded([&]() -> Value {
    os::Stat st;
    os::Error missing;
    const std::string resolved = os::resolve(path, st, missing);
    if (missing) return fail_record("Directory not found: " + std::string(path));
    const os::OsPath root = os::os_path(resolved);
    const search::Regex re(regex);
    const walk::RGlob glob = walk::RGlob::compile(file_pattern);

    const unsigned threads = search_threads();
    // A window of one is the serial loop exactly: each file is searched as soon as it is met.
    const std::size_t window = threads == 1 ? 1 : kWindowPerThread * threads;
    std::vector<std::optional<FileSearcher>> searchers(threads);
    Collector collector(max_results);
    using Pool = OrderedPool<FileJob, FileOutcome>;
    std::unique_ptr<Pool> pool;  // declared after what its work uses: joined first
    pool = std::make_unique<Pool>(
        threads, window,
        [&](FileJob& job, unsigned worker) {
          auto& s = searchers[worker];
          if (!s) s.emplace(re, max_results, context_lines, pool->stopping());
          return s->run(job);
        },
        forced_threads() ? std::chrono::microseconds(0) : Pool::kStartAfter);

    bool over = false;
    glob.walk(root, [&](std::string_view p, walk::EntryKind kind, const walk::Status&) {
      // Directories and special files are no candidates; that needs no status query.
      if (kind != walk::EntryKind::Regular && kind != walk::EntryKind::Symlink &&
          kind != walk::EntryKind::Unknown)
        return true;
      pool->push(FileJob{std::string(p), kind});
      // Outcomes are taken as soon as they are there, and waited for (searching meanwhile)
      // when the window is full; with a window of one, the file is searched right here.
      while (!over && !pool->empty() && (pool->full() || pool->ready()))
        over = !collector.take(pool->pop());
      return !over;
    });
    while (!over && !pool->empty()) over = !collector.take(pool->pop());
    pool.reset();
    return ok_record(list_result("matches", collector.take_matches()));
  });
}

}  // namespace talmek::scrivel
