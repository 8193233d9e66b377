// Text as both modules hold it: a sequence of code points, each encoded the UTF-8 way.
//
// Python text may hold lone surrogates (a JSON "\ud800", or the surrogate escapes U+DC80..U+DCFF
// that stand for undecodable bytes of a file name). We keep every code point, surrogates
// included, encoded independently in one to four bytes, which is exactly what Python's
// "utf-8" codec with the "surrogatepass" handler produces and accepts. Everything here is plain
// C++ without Python.h; the bindings convert at the edge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talmek::text {

// ---------------------------------------------------------------------------------------------
// Code points

// Decodes the code point starting at s[i] and advances i past it. `s` must be well formed in the
// sense above (all of our own text is); a stray byte decodes as itself so that we never loop.
char32_t next_cp(std::string_view s, std::size_t& i) noexcept;

// Appends cp encoded in one to four bytes (surrogates as three bytes).
void append_cp(std::string& out, char32_t cp);

std::size_t count_cps(std::string_view s) noexcept;

// The first n code points of s (all of s when it is shorter).
std::string_view prefix_cps(std::string_view s, std::size_t n) noexcept;

inline bool is_surrogate(char32_t cp) noexcept { return cp >= 0xD800 && cp <= 0xDFFF; }

// ---------------------------------------------------------------------------------------------
// Bytes <-> text

// Python's bytes.decode("utf-8", "replace"): each maximal invalid subsequence becomes U+FFFD,
// exactly as CPython's decoder counts them. Surrogates encoded in the input are invalid.
std::string decode_utf8_replace(std::string_view bytes);

// Python's bytes.decode("utf-8") (strict). On failure returns nullopt and sets `error` to
// CPython's message, e.g. "'utf-8' codec can't decode byte 0xff in position 3: invalid start byte".
std::optional<std::string> decode_utf8_strict(std::string_view bytes, std::string& error);

// The message decode_utf8_strict gives for `bytes`, which must not be valid, with positions
// counted from `base`: for bytes that are one piece of a longer input starting at that offset.
std::string utf8_decode_error(std::string_view bytes, std::size_t base);

// True when `bytes` is valid strict UTF-8 (no surrogates). Same rules as decode_utf8_strict.
bool is_valid_utf8(std::string_view bytes) noexcept;

// One step of CPython's strict UTF-8 decoder: the length (1 to 4) of the well-formed sequence
// that starts at s[i], with its code point stored in cp; 0 when the bytes there do not start one
// (a stray continuation or invalid lead byte, a cut-off sequence, an overlong form, an encoded
// surrogate or a value past U+10FFFF). cp is left alone on 0. Requires i < s.size().
std::size_t utf8_sequence_length(std::string_view s, std::size_t i, char32_t& cp) noexcept;

// Python's str.encode("utf-8") (strict): our text is already UTF-8 unless it holds a surrogate.
// On a surrogate returns false and sets `error` to CPython's message, e.g.
// "'utf-8' codec can't encode character '\ud800' in position 5: surrogates not allowed".
bool check_encodable(std::string_view text, std::string& error);

// os.fsdecode: UTF-8 with "surrogateescape" (an undecodable byte b becomes U+DC00 + b).
std::string fsdecode(std::string_view bytes);

// os.fsencode: the inverse. A surrogate outside U+DC80..U+DCFF cannot be encoded: returns false
// and sets `error` to CPython's message for it.
bool fsencode(std::string_view text, std::string& out, std::string& error);

// ---------------------------------------------------------------------------------------------
// Lines

// Text-mode reading: each "\r\n" and each lone "\r" becomes "\n".
std::string normalize_newlines(std::string_view s);
// The same inside `s` itself: the text only shrinks, so no second buffer is needed.
void normalize_newlines_in_place(std::string& s) noexcept;

// A file's bytes as open(path, encoding="utf-8", errors="replace").read() returns them: bad
// sequences as U+FFFD, line ends translated as above. Takes the bytes by value and hands them
// back in the same buffer when they are valid UTF-8 (line ends translated in place), so a large
// file is held once.
std::string decode_text_file(std::string bytes);

// Length in bytes of the line boundary that starts at s[i], or 0 when none starts there.
// Boundaries are those of str.splitlines: \n, \r, \r\n, \v, \f, \x1c, \x1d, \x1e, U+0085,
// U+2028, U+2029.
std::size_t line_break_at(std::string_view s, std::size_t i) noexcept;

namespace detail {
// Bytes that can start a line boundary; every other byte is skipped without a call.
inline constexpr auto kMayBreak = [] {
  struct Table {
    bool v[256];
  } t{};
  for (unsigned char c : {'\n', '\v', '\f', '\r', '\x1c', '\x1d', '\x1e', '\xc2', '\xe2'})
    t.v[c] = true;
  return t;
}();
}  // namespace detail

// str.splitlines(keepends): calls f(std::string_view line) for each line, in order. With
// keepends the line includes its boundary. No allocation.
template <class F>
void for_each_line(std::string_view s, bool keepends, F&& f) {
  std::size_t start = 0, i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    if (!detail::kMayBreak.v[static_cast<unsigned char>(s[i])]) {
      ++i;
      continue;
    }
    std::size_t br = line_break_at(s, i);
    if (br == 0) {
      ++i;
      continue;
    }
    f(s.substr(start, (keepends ? i + br : i) - start));
    i += br;
    start = i;
  }
  if (start < n) f(s.substr(start));
}

// len(s.splitlines())
std::size_t count_lines(std::string_view s) noexcept;

// How many bytes at the end of s[0, n) cannot be decided before more of a text read in pieces
// is seen: a "\r" that may begin "\r\n", or a UTF-8 sequence whose lead byte asks for more bytes
// than follow it. Holding them back makes each piece end on a character boundary and after a
// complete line end, so the pieces decode, translate and split as the whole text would.
std::size_t undecided_tail(const char* s, std::size_t n) noexcept;

// ---------------------------------------------------------------------------------------------
// Searching

// The offset of the first occurrence of `needle` in `hay` at or after `from`, or npos. Linear in
// the lengths (glibc's two-way memmem where there is one, Knuth-Morris-Pratt elsewhere), never
// quadratic whatever the texts.
std::size_t find_bytes(std::string_view hay, std::string_view needle, std::size_t from = 0);

// ---------------------------------------------------------------------------------------------
// White space and representations

// str.isspace() for one code point (the set that str.strip() removes).
bool is_space(char32_t cp) noexcept;

// str.strip() with no argument.
std::string_view strip(std::string_view s) noexcept;

// Python's repr() of a str: quotes chosen as repr chooses them, escapes as repr writes them,
// printable non-ASCII characters unchanged (str.isprintable per code point).
std::string py_repr(std::string_view text);

// str.isprintable() for one code point.
bool is_printable(char32_t cp) noexcept;

}  // namespace talmek::text
