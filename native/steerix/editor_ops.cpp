// The text editor tool's file work and text transformations.
#include "steerix/editor_ops.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "common/fd_io.h"
#include "common/os_error.h"
#include "common/paths.h"
#include "common/text.h"

namespace talmek::steerix::editor {

namespace {

// Text mode's newline translation, in place.
void normalize_newlines_in_place(std::string& s) {
  const char* first = static_cast<const char*>(std::memchr(s.data(), '\r', s.size()));
  if (!first) return;
  std::size_t w = static_cast<std::size_t>(first - s.data());
  for (std::size_t r = w; r < s.size(); ++r) {
    if (s[r] == '\r') {
      s[w++] = '\n';
      if (r + 1 < s.size() && s[r + 1] == '\n') ++r;
    } else {
      s[w++] = s[r];
    }
  }
  s.resize(w);
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

}  // namespace

std::string read_text(std::string_view path) {
  const std::string os = paths::os_path(path);
  // Opened non-blocking so that a FIFO named as the file fails or reads empty at once instead of
  // stalling the agent.
  Fd fd;
  struct stat st;
  if (const int err = open_nonblocking(os.c_str(), O_RDONLY, fd, st)) throw_os_error(err, path);
  if (S_ISDIR(st.st_mode)) throw_os_error(EISDIR, path);
  std::string data;
  // EAGAIN: a FIFO with a writer that has nothing to say yet reads as what it has given so far.
  if (const int err = read_all(fd.get(), st, data); err && err != EAGAIN) throw_os_error(err, path);
  if (!text::is_valid_utf8(data)) {
    std::string error;
    text::decode_utf8_strict(data, error);
    throw OpError(error);
  }
  normalize_newlines_in_place(data);
  return data;
}

void write_text(std::string_view path, std::string_view t) {
  std::string error;
  if (!text::check_encodable(t, error)) throw OpError(error);
  const std::string os = paths::os_path(path);
  Fd fd;
  struct stat st;
  if (const int err = open_nonblocking(os.c_str(), O_WRONLY | O_CREAT | O_TRUNC, fd, st))
    throw_os_error(err, path);
  // On this platform the line separator is "\n", so the text is written as it is.
  if (const int err = write_all(fd.get(), t)) throw_os_error(err, path);
  if (fd.close_now() != 0) throw_os_error(errno, path);
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

std::string insert_line(std::string_view content, std::ptrdiff_t position, std::string_view new_text) {
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
  out.append(content.substr(0, offset)).append(new_text).append("\n").append(content.substr(offset));
  return out;
}

}  // namespace talmek::steerix::editor
