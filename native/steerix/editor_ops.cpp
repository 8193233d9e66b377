// The text editor tool's file work and text transformations.
#include "steerix/editor_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/fd_io.h"
#include "common/os_error.h"
#include "common/paths.h"
#include "common/text.h"
#include "platform/os.h"

namespace talmek::steerix::editor {

namespace {

// Text mode's newline translation, in place: "\r\n" and a lone "\r" become "\n". Returns the new
// length.
std::size_t normalize_newlines_in_place(char* s, std::size_t n) {
  const char* first = n ? static_cast<const char*>(std::memchr(s, '\r', n)) : nullptr;
  if (!first) return n;
  std::size_t w = static_cast<std::size_t>(first - s);
  for (std::size_t r = w; r < n; ++r) {
    if (s[r] == '\r') {
      s[w++] = '\n';
      if (r + 1 < n && s[r + 1] == '\n') ++r;
    } else {
      s[w++] = s[r];
    }
  }
  return w;
}

void normalize_newlines_in_place(std::string& s) {
  s.resize(normalize_newlines_in_place(s.data(), s.size()));
}

// Whether a line boundary can start with byte c: only a few control bytes and the lead bytes of
// U+0085, U+2028 and U+2029 can. Checking this inline first keeps the scan over ordinary text
// free of calls.
inline bool may_start_break(unsigned char c) {
  return c < 0x1F ? ((1u << c) & 0x70003C00u) != 0 : (c == 0xC2 || c == 0xE2);
}

// The position and length of the next line boundary at or after i; {size, 0} when none.
struct Break {
  std::size_t at;
  std::size_t len;
};
Break next_break(std::string_view s, std::size_t i) {
  const std::size_t n = s.size();
  for (; i < n; ++i) {
    if (!may_start_break(static_cast<unsigned char>(s[i]))) continue;
    if (const std::size_t len = text::line_break_at(s, i)) return {i, len};
  }
  return {n, 0};
}

std::size_t count_lines(std::string_view s) {
  std::size_t lines = 0, i = 0;
  for (;;) {
    const Break b = next_break(s, i);
    if (!b.len) return lines + (i < s.size() ? 1 : 0);
    ++lines;
    i = b.at + b.len;
  }
}

// Python's slice bound clamping for a sequence of n items.
std::ptrdiff_t clamp_bound(std::ptrdiff_t b, std::ptrdiff_t n) {
  if (b < 0) {
    b += n;
    return b < 0 ? 0 : b;
  }
  return b > n ? n : b;
}

void append_number(std::string& out, std::size_t n) {
  char buf[24];
  const auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
  const std::size_t len = static_cast<std::size_t>(end - buf);
  if (len < 4) out.append(4 - len, ' ');
  out.append(buf, len);
}

void refuse_device(const struct stat& st) {
  if (S_ISCHR(st.st_mode)) throw SpecialFile{"character device"};
  if (S_ISBLK(st.st_mode)) throw SpecialFile{"block device"};
}

// The status before opening, and the open itself, as the plain calls make them; with active
// roots (the agent's, for this call: os::ScopedRoots) beneath them, no link followed on the way,
// and a path that leads out of them refused.
bool stat_path(const std::string& os, std::string_view path, struct stat& st) {
  const os::Roots* roots = os::active_roots();
  if (!roots) return ::stat(os.c_str(), &st) == 0;
  os::Stat s;
  if (const os::Error e = os::stat(os, s)) {
    if (e.is_outside()) throw OpError(os::Failure(e, std::string(path)).message());
    return false;
  }
  st.st_mode = s.type == os::FileType::CharDevice    ? S_IFCHR
               : s.type == os::FileType::BlockDevice ? S_IFBLK
                                                     : 0;
  return true;
}

int open_path(const std::string& os, std::string_view path, bool write, Fd& fd, struct stat& st) {
  const os::Roots* roots = os::active_roots();
  if (!roots)
    return open_nonblocking(
        os.c_str(), write ? O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY : O_RDONLY | O_NOCTTY, fd, st);
  os::Beneath where;
  os::File f;
  os::Error e = roots->beneath(os, true, where);
  const os::Access access = write ? os::Access::WriteTruncate : os::Access::Read;
  if (!e) e = os::open_file_at(where.dir, where.name, access, f);
  if (e.is_outside()) throw OpError(os::Failure(e, std::string(path)).message());
  if (e) return e.code;
  fd.reset(f.release());
  return ::fstat(fd.get(), &st) == 0 ? 0 : errno;
}

// Opens `path` for reading. Non-blocking, so that a FIFO named as the file fails or reads empty
// at once instead of stalling the agent. A device is refused on its status before it is opened,
// since opening one can act by itself (a tape rewinds, a terminal can become the controlling
// one), and again on what was opened, in case one was put in place in between.
void open_for_reading(std::string_view path, Fd& fd, struct stat& st) {
  const std::string os = paths::os_path(path);
  if (stat_path(os, path, st)) refuse_device(st);
  if (const int err = open_path(os, path, false, fd, st)) throw_os_error(err, path);
  refuse_device(st);
  if (S_ISDIR(st.st_mode)) throw_os_error(EISDIR, path);
}

// Reads a file that is not a regular one (a FIFO) to its end, or to EAGAIN: a FIFO whose writer
// has nothing to say yet reads as what it has given so far. More than `limit` bytes throws
// TooLarge, since a writer such as `yes` would never stop.
void read_capped(int fd, std::string& out, std::size_t limit, std::string_view path) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      throw_os_error(errno, path);
    }
    if (n == 0) return;
    const auto got = static_cast<std::size_t>(n);
    if (got > limit - out.size()) throw TooLarge{limit, true};
    out.append(buf, got);
  }
}

// The view of a file fed in pieces: lines[lo:hi] of the text's splitlines(), numbered from 1 as
// f"{n:4d} | {line}" and joined by "\n", appended to `out`, and the number of lines of the text.
class ViewBuilder {
 public:
  // `count_all`: go on splitting past `hi`, for the number of lines.
  ViewBuilder(std::string& out, std::ptrdiff_t lo, std::ptrdiff_t hi, bool count_all,
              std::size_t limit)
      : m_out(out), m_lo(lo), m_hi(hi), m_count_all(count_all), m_limit(limit) {}

  // Takes the raw bytes s[0, n), which begin at byte `base` of the file (`final` for the last
  // piece), and returns how many bytes at their end it left for the next piece, which must begin
  // with them. Rewrites s in place. Throws OpError for bytes that do not decode, with the
  // position in the file, as the whole file's decoding words it; TooLarge past the limit.
  std::size_t feed(char* s, std::size_t n, std::uint64_t base, bool final) {
    const std::size_t keep = final ? 0 : text::undecided_tail(s, n);
    const std::string_view raw(s, n - keep);
    if (!text::is_valid_utf8(raw)) throw OpError(text::utf8_decode_error(raw, base));
    if (m_index < m_hi || m_count_all)
      split(std::string_view(s, normalize_newlines_in_place(s, n - keep)));
    if (final && m_in_line) {
      ++m_index;
      m_in_line = false;
    }
    return keep;
  }

  std::ptrdiff_t lines() const { return m_index; }

 private:
  void split(std::string_view t) {
    std::size_t start = 0;
    while (start < t.size() && (m_index < m_hi || m_count_all)) {
      const Break b = next_break(t, start);
      if (m_index >= m_lo && m_index < m_hi) {
        if (!m_in_line) {
          if (m_number) m_out += '\n';
          append_number(m_out, ++m_number);
          m_out += " | ";
        }
        m_out.append(t.substr(start, b.at - start));
        if (m_out.size() > m_limit) throw TooLarge{m_limit, false};
      }
      if (!b.len) {
        m_in_line = true;  // the line goes on in the next piece
        return;
      }
      ++m_index;
      m_in_line = false;
      start = b.at + b.len;
    }
  }

  std::string& m_out;
  const std::ptrdiff_t m_lo, m_hi;
  const bool m_count_all;
  const std::size_t m_limit;
  std::ptrdiff_t m_index = 0;  // the line being read
  bool m_in_line = false;      // some of it has been seen
  std::size_t m_number = 0;    // lines shown so far
};

constexpr std::size_t kPiece = 65536;

// Feeds the whole file behind `fd`, from where it stands, to `view`.
void feed_file(int fd, ViewBuilder& view, std::string_view path) {
  std::unique_ptr<char[]> buf(new char[kPiece + 4]);
  std::size_t carried = 0;
  std::uint64_t base = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buf.get() + carried, kPiece);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, path);
    }
    const std::size_t have = carried + static_cast<std::size_t>(n);
    const std::size_t keep = view.feed(buf.get(), have, base, n == 0);
    if (n == 0) return;
    std::memmove(buf.get(), buf.get() + have - keep, keep);
    base += have - keep;
    carried = keep;
  }
}

}  // namespace

std::string read_text(std::string_view path, std::size_t limit) {
  Fd fd;
  struct stat st;
  open_for_reading(path, fd, st);
  std::string data;
  if (S_ISREG(st.st_mode)) {
    if (const int err = read_all(fd.get(), st, data)) throw_os_error(err, path);
  } else {
    read_capped(fd.get(), data, limit, path);
  }
  if (!text::is_valid_utf8(data)) throw OpError(text::utf8_decode_error(data, 0));
  normalize_newlines_in_place(data);
  return data;
}

void write_text(std::string_view path, std::string_view t) {
  std::string error;
  if (!text::check_encodable(t, error)) throw OpError(error);
  const std::string os = paths::os_path(path);
  struct stat st;
  if (stat_path(os, path, st)) refuse_device(st);
  // The old content or the new one survives a full disk or a kill: the worker's safe write. On
  // this platform the line separator is "\n", so the text is written as it is. With active
  // roots the file's directory is opened beneath them, and the name's own link (already followed
  // there, within the roots) is not followed again.
  os::Error e;
  if (const os::Roots* roots = os::active_roots()) {
    os::Beneath where;
    e = roots->beneath(os, true, where);
    if (e.is_outside()) throw OpError(os::Failure(e, std::string(path)).message());
    if (!e) e = os::replace_file(where.dir, where.name, t, nullptr, /*follow=*/false);
  } else {
    os::Dir dir;
    std::string name;
    e = os::open_parent(os, dir, name);
    if (!e) e = os::replace_file(dir, name, t);
  }
  if (e) throw_os_error(e.code, path);
}

void make_parent_dirs(std::string_view path) {
  const std::string normalized = paths::normalize(path);
  const std::string_view parent = paths::pure_parent(normalized);
  if (parent == "." || parent == "/" || parent == "//") return;  // always there
  paths::make_dirs(parent);
}

void append_numbered_lines(std::string& out, std::string_view content, std::optional<Range> range) {
  std::ptrdiff_t lo = 0, hi = PTRDIFF_MAX;
  if (range) {
    lo = range->lo;
    hi = range->hi;
    // The line count matters only for bounds counted from the end; others clamp by themselves.
    if (lo < 0 || hi < 0) {
      const auto n = static_cast<std::ptrdiff_t>(count_lines(content));
      lo = clamp_bound(lo, n);
      hi = clamp_bound(hi, n);
    }
    if (lo >= hi) return;
  } else {
    out.reserve(out.size() + content.size() + content.size() / 4 + 16);
  }
  std::ptrdiff_t index = 0;
  std::size_t number = 0, start = 0;
  const std::size_t size = content.size();
  while (start < size && index < hi) {
    const Break b = next_break(content, start);
    if (index >= lo) {
      if (number) out += '\n';
      append_number(out, ++number);
      out += " | ";
      out.append(content.substr(start, b.at - start));
    }
    ++index;
    start = b.at + b.len;
  }
}

void append_file_view(std::string& out, std::string_view path, std::optional<Range> range,
                      std::size_t limit) {
  Fd fd;
  struct stat st;
  open_for_reading(path, fd, st);
  if (!S_ISREG(st.st_mode)) {
    // A FIFO can be read only once, and only whole: it is held in memory, within the limit.
    std::string content;
    read_capped(fd.get(), content, limit, path);
    if (!text::is_valid_utf8(content)) throw OpError(text::utf8_decode_error(content, 0));
    normalize_newlines_in_place(content);
    append_numbered_lines(out, content, range);
    if (out.size() > limit) throw TooLarge{limit, false};
    return;
  }
  std::ptrdiff_t lo = 0, hi = PTRDIFF_MAX;
  if (range) {
    lo = range->lo;
    hi = range->hi;
    // Bounds counted from the end need the number of lines first: one pass that only counts.
    if (lo < 0 || hi < 0) {
      std::string none;
      ViewBuilder counter(none, 0, 0, true, limit);
      feed_file(fd.get(), counter, path);
      if (::lseek(fd.get(), 0, SEEK_SET) != 0) throw_os_error(errno, path);
      lo = clamp_bound(lo, counter.lines());
      hi = clamp_bound(hi, counter.lines());
    }
    if (lo >= hi) lo = hi = 0;  // nothing shown, but the file is still read and checked
  }
  ViewBuilder view(out, lo, hi, false, limit);
  feed_file(fd.get(), view, path);
}

std::optional<std::string> replace_first(std::string_view content, std::string_view old_text,
                                         std::string_view new_text) {
  // Byte search finds code point boundaries only: UTF-8 never matches inside a character.
  const std::size_t at = content.find(old_text);
  if (at == std::string_view::npos) return std::nullopt;
  std::string out;
  out.reserve(content.size() - old_text.size() + new_text.size());
  out.append(content.substr(0, at)).append(new_text).append(content.substr(at + old_text.size()));
  return out;
}

std::string insert_line(std::string_view content, std::ptrdiff_t position,
                        std::string_view new_text) {
  // list.insert clamps like a slice bound; the new line goes before line `position`.
  std::ptrdiff_t target = position;
  if (target < 0) target = clamp_bound(target, static_cast<std::ptrdiff_t>(count_lines(content)));
  std::size_t offset = 0;
  for (std::ptrdiff_t index = 0; index < target && offset < content.size(); ++index) {
    const Break b = next_break(content, offset);
    offset = b.at + b.len;
  }
  std::string out;
  out.reserve(content.size() + new_text.size() + 1);
  out.append(content.substr(0, offset))
      .append(new_text)
      .append("\n")
      .append(content.substr(offset));
  return out;
}

}  // namespace talmek::steerix::editor
