// Code points, UTF-8 codecs with CPython's error behaviour, line splitting, strip and repr.
#include "common/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace talmek::text {

namespace {
#include "common/unicode_tables.inc"

void append_hex(std::string& out, const char* prefix, unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s%0*x", prefix, digits, value);
  out += buf;
}

// One step of CPython's UTF-8 decoder. On success returns the sequence length and sets cp.
// On failure returns 0 and sets err_len (bytes covered by the error, at least 1) and reason.
std::size_t decode_one(std::string_view s, std::size_t i, char32_t& cp, std::size_t& err_len,
                       const char*& reason) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    err_len = 1;
    reason = "invalid start byte";
    return 0;
  }
  char32_t value = b0 & (need == 2 ? 0x1F : need == 3 ? 0x0F : 0x07);
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) {
      err_len = k;
      reason = "unexpected end of data";
      return 0;
    }
    const auto b = static_cast<unsigned char>(s[i + k]);
    const unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) {
      err_len = k;
      reason = "invalid continuation byte";
      return 0;
    }
    value = (value << 6) | (b & 0x3F);
  }
  cp = value;
  return need;
}

// Where the run of well-formed sequences that starts at s[i] ends: s.size(), or the position of
// the first byte that does not start a valid sequence. ASCII, the common case of source text and
// requests, is skipped many bytes at a time.
std::size_t valid_run_end(std::string_view s, std::size_t i) noexcept {
  const std::size_t n = s.size();
  while (i < n) {
#if defined(__SSE2__)
    if (i + 16 <= n) {
      const unsigned high = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i))));
      if (high == 0) {
        i += 16;
        continue;
      }
      i += static_cast<std::size_t>(__builtin_ctz(high));  // straight to the first non-ASCII byte
    }
#endif
    if (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    std::size_t err_len;
    const char* reason;
    const std::size_t len = decode_one(s, i, cp, err_len, reason);
    if (len == 0) return i;
    i += len;
  }
  return n;
}

// How many bytes CPython's decoder covers with one error at s[i], where valid_run_end stopped.
std::size_t error_length(std::string_view s, std::size_t i, const char*& reason) noexcept {
  char32_t cp;
  std::size_t err_len = 1;
  decode_one(s, i, cp, err_len, reason);
  return err_len;
}

// Decoding that never fails: runs of valid sequences are copied as they are, and each error
// (the bytes CPython's decoder reports as one) is handed to replace(out, bad_bytes).
template <class Replace>
std::string decode_lenient(std::string_view bytes, Replace&& replace) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const std::size_t run = valid_run_end(bytes, i);
    out.append(bytes.data() + i, run - i);
    i = run;
    if (i < n) {
      const char* reason;
      const std::size_t err_len = error_length(bytes, i, reason);
      replace(out, bytes.substr(i, err_len));
      i += err_len;
    }
  }
  return out;
}

std::string decode_error_message(std::size_t start, std::size_t len, unsigned char byte,
                                 const char* reason) {
  char buf[160];
  if (len == 1)
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s",
                  byte, start, reason);
  else
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode bytes in position %zu-%zu: %s",
                  start, start + len - 1, reason);
  return buf;
}

std::string encode_error_message(char32_t first, std::size_t start, std::size_t end) {
  std::string msg = "'utf-8' codec can't encode ";
  if (end == start + 1) {
    msg += "character '";
    if (first <= 0xFF)
      append_hex(msg, "\\x", first, 2);
    else if (first <= 0xFFFF)
      append_hex(msg, "\\u", first, 4);
    else
      append_hex(msg, "\\U", first, 8);
    msg += "' in position " + std::to_string(start);
  } else {
    msg += "characters in position " + std::to_string(start) + "-" + std::to_string(end - 1);
  }
  msg += ": surrogates not allowed";
  return msg;
}

// Finds the first run of surrogates in text; returns false when there is none.
bool find_surrogate_run(std::string_view text, std::size_t& byte_start, std::size_t& cp_start,
                        std::size_t& cp_end, char32_t& first) {
  std::size_t i = 0, index = 0;
  while (i < text.size()) {
    const std::size_t at = i;
    const char32_t cp = next_cp(text, i);
    if (is_surrogate(cp)) {
      byte_start = at;
      cp_start = index;
      first = cp;
      cp_end = index + 1;
      std::size_t j = i;
      while (j < text.size()) {
        std::size_t k = j;
        if (!is_surrogate(next_cp(text, k))) break;
        j = k;
        ++cp_end;
      }
      return true;
    }
    ++index;
  }
  return false;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Code points

char32_t next_cp(std::string_view s, std::size_t& i) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  std::size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 1;
  if (i + len > s.size()) len = 1;
  char32_t cp;
  switch (len) {
    case 2:
      cp = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
      break;
    case 3:
      cp = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
           (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
      break;
    case 4:
      cp = ((b0 & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
           ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
           (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
      break;
    default:
      cp = b0;
  }
  i += len;
  return cp;
}

void append_cp(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::size_t count_cps(std::string_view s) noexcept {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::string_view prefix_cps(std::string_view s, std::size_t n) noexcept {
  std::size_t i = 0;
  while (n > 0 && i < s.size()) {
    next_cp(s, i);
    --n;
  }
  return s.substr(0, i);
}

// ---------------------------------------------------------------------------------------------
// Bytes <-> text

std::size_t utf8_sequence_length(std::string_view s, std::size_t i, char32_t& cp) noexcept {
  std::size_t err_len;
  const char* reason;
  return decode_one(s, i, cp, err_len, reason);
}

std::string decode_utf8_replace(std::string_view bytes) {
  return decode_lenient(bytes, [](std::string& out, std::string_view) { out += "\xEF\xBF\xBD"; });
}

std::optional<std::string> decode_utf8_strict(std::string_view bytes, std::string& error) {
  const std::size_t i = valid_run_end(bytes, 0);
  if (i == bytes.size()) return std::string(bytes);
  const char* reason;
  const std::size_t err_len = error_length(bytes, i, reason);
  error = decode_error_message(i, err_len, static_cast<unsigned char>(bytes[i]), reason);
  return std::nullopt;
}

std::string utf8_decode_error(std::string_view bytes, std::size_t base) {
  const std::size_t i = valid_run_end(bytes, 0);
  if (i == bytes.size()) return {};
  const char* reason;
  const std::size_t err_len = error_length(bytes, i, reason);
  return decode_error_message(base + i, err_len, static_cast<unsigned char>(bytes[i]), reason);
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  return valid_run_end(bytes, 0) == bytes.size();
}

bool check_encodable(std::string_view text, std::string& error) {
  // Surrogates are the only code points that strict UTF-8 rejects; they start with 0xED 0xA0..BF.
  bool maybe = false;
  for (std::size_t i = 0; i + 1 < text.size(); ++i)
    if (static_cast<unsigned char>(text[i]) == 0xED &&
        static_cast<unsigned char>(text[i + 1]) >= 0xA0) {
      maybe = true;
      break;
    }
  if (!maybe) return true;
  std::size_t byte_start, cp_start, cp_end;
  char32_t first;
  if (!find_surrogate_run(text, byte_start, cp_start, cp_end, first)) return true;
  error = encode_error_message(first, cp_start, cp_end);
  return false;
}

std::string fsdecode(std::string_view bytes) {
  // surrogateescape: each byte of the error becomes U+DC00 + byte.
  return decode_lenient(bytes, [](std::string& out, std::string_view bad) {
    for (const char b : bad) append_cp(out, 0xDC00 + static_cast<unsigned char>(b));
  });
}

bool fsencode(std::string_view text, std::string& out, std::string& error) {
  out.clear();
  out.reserve(text.size());
  std::size_t i = 0, index = 0;
  while (i < text.size()) {
    const std::size_t at = i;
    const char32_t cp = next_cp(text, i);
    if (!is_surrogate(cp)) {
      out.append(text.data() + at, i - at);
    } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
      out += static_cast<char>(cp - 0xDC00);
    } else {
      // CPython reports the run of surrogates that the escape handler could not take.
      std::size_t end = index + 1, j = i;
      while (j < text.size()) {
        std::size_t k = j;
        const char32_t c = next_cp(text, k);
        if (!is_surrogate(c) || (c >= 0xDC80 && c <= 0xDCFF)) break;
        j = k;
        ++end;
      }
      error = encode_error_message(cp, index, end);
      return false;
    }
    ++index;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Lines

std::string normalize_newlines(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const void* p = std::memchr(s.data() + i, '\r', n - i);
    if (!p) {
      out.append(s.data() + i, n - i);
      break;
    }
    const std::size_t at = static_cast<const char*>(p) - s.data();
    out.append(s.data() + i, at - i);
    out += '\n';
    i = at + 1;
    if (i < n && s[i] == '\n') ++i;
  }
  return out;
}

void normalize_newlines_in_place(std::string& s) noexcept {
  char* d = s.data();
  const std::size_t n = s.size();
  const void* p = std::memchr(d, '\r', n);
  if (!p) return;
  std::size_t out = static_cast<std::size_t>(static_cast<const char*>(p) - d), i = out;
  while (i < n) {
    // s[i] is a carriage return: one line feed for it (and for a line feed after it).
    d[out++] = '\n';
    ++i;
    if (i < n && d[i] == '\n') ++i;
    const void* next = std::memchr(d + i, '\r', n - i);
    const std::size_t stop =
        next ? static_cast<std::size_t>(static_cast<const char*>(next) - d) : n;
    std::memmove(d + out, d + i, stop - i);
    out += stop - i;
    i = stop;
  }
  s.resize(out);
}

std::string decode_text_file(std::string bytes) {
  // A carriage return is never part of a multi-byte sequence, so translating line ends before
  // replacing bad sequences gives what decoding first and translating afterwards gives.
  normalize_newlines_in_place(bytes);
  if (is_valid_utf8(bytes)) return bytes;
  return decode_utf8_replace(bytes);
}

std::size_t line_break_at(std::string_view s, std::size_t i) noexcept {
  const auto c = static_cast<unsigned char>(s[i]);
  switch (c) {
    case '\n':
    case 0x0B:
    case 0x0C:
    case 0x1C:
    case 0x1D:
    case 0x1E:
      return 1;
    case '\r':
      return (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
    case 0xC2:  // U+0085
      return (i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) ? 2 : 0;
    case 0xE2:  // U+2028, U+2029
      return (i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
              (static_cast<unsigned char>(s[i + 2]) == 0xA8 ||
               static_cast<unsigned char>(s[i + 2]) == 0xA9))
                 ? 3
                 : 0;
    default:
      return 0;
  }
}

std::size_t count_lines(std::string_view s) noexcept {
  // for_each_line's loop, with eight bytes at a time skipped when none of them is a control
  // character or a non-ASCII byte (no boundary can start there).
  std::size_t count = 0, i = 0;
  bool open = false;  // a line has started and not ended yet
  const std::size_t n = s.size();
  std::size_t bytewise_until = 0;  // after a block with a candidate, look at its bytes one by one
  while (i < n) {
#if defined(__SSE2__)
    // Sixteen bytes at a time when the only boundaries among them are line feeds.
    if (i >= bytewise_until && i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
      const __m128i control = _mm_and_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                            _mm_cmpgt_epi8(v, _mm_set1_epi8(-1)));
      const __m128i lf = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
      const __m128i tab = _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'));
      const __m128i lead = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xC2))),
                                        _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE2))));
      const __m128i other = _mm_or_si128(_mm_andnot_si128(_mm_or_si128(lf, tab), control), lead);
      if (_mm_movemask_epi8(other) == 0) {
        // Bits of a 16-bit mask counted by hand: without -mpopcnt the builtin is a library call.
        unsigned m = static_cast<unsigned>(_mm_movemask_epi8(lf));
        m = m - ((m >> 1) & 0x5555u);
        m = (m & 0x3333u) + ((m >> 2) & 0x3333u);
        m = (m + (m >> 4)) & 0x0F0Fu;
        count += (m + (m >> 8)) & 0x1Fu;
        open = s[i + 15] != '\n';
        i += 16;
        continue;
      }
      bytewise_until = i + 16;
    }
#else
    if (i >= bytewise_until && i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
      if (((((w - ones * 0x20) & ~w) | w) & highs) == 0) {
        open = true;
        i += 8;
        continue;
      }
      bytewise_until = i + 8;
    }
#endif
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t br = 0;
    if (detail::kMayBreak.v[c]) br = c == '\n' ? 1 : line_break_at(s, i);
    if (br == 0) {
      open = true;
      ++i;
      continue;
    }
    ++count;
    open = false;
    i += br;
  }
  return count + (open ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------
// White space and representations

bool is_space(char32_t cp) noexcept {
  if (cp < 0x80) return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20);
  switch (cp) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

std::string_view strip(std::string_view s) noexcept {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t j = begin;
    if (!is_space(next_cp(s, j))) break;
    begin = j;
  }
  std::size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the previous code point.
    std::size_t k = end - 1;
    while (k > begin && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
    std::size_t j = k;
    if (!is_space(next_cp(s, j))) break;
    end = k;
  }
  return s.substr(begin, end - begin);
}

std::size_t find_bytes(std::string_view hay, std::string_view needle, std::size_t from) {
  if (from > hay.size()) return std::string_view::npos;
#ifdef __GLIBC__
  const void* p = ::memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
  return p ? static_cast<std::size_t>(static_cast<const char*>(p) - hay.data())
           : std::string_view::npos;
#else
  const std::size_t m = needle.size();
  if (m == 0) return from;
  // fail[k]: the length of the longest proper border of needle[0, k].
  std::vector<std::size_t> fail(m, 0);
  for (std::size_t k = 1, b = 0; k < m; ++k) {
    while (b > 0 && needle[k] != needle[b]) b = fail[b - 1];
    if (needle[k] == needle[b]) ++b;
    fail[k] = b;
  }
  for (std::size_t i = from, q = 0; i < hay.size(); ++i) {
    while (q > 0 && hay[i] != needle[q]) q = fail[q - 1];
    if (hay[i] == needle[q]) ++q;
    if (q == m) return i + 1 - m;
  }
  return std::string_view::npos;
#endif
}

bool is_printable(char32_t cp) noexcept {
  const auto* first = std::begin(kNonPrintableRanges);
  const auto* last = std::end(kNonPrintableRanges);
  // First range whose end is >= cp.
  const auto* it = std::lower_bound(
      first, last, cp, [](const std::uint32_t(&r)[2], char32_t c) { return r[1] < c; });
  return !(it != last && (*it)[0] <= cp);
}

std::string py_repr(std::string_view text) {
  bool has_single = text.find('\'') != std::string_view::npos;
  bool has_double = text.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out;
  out.reserve(text.size() + 2);
  out += quote;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t at = i;
    const char32_t cp = next_cp(text, i);
    if (cp == static_cast<char32_t>(quote) || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp < 0x20 || cp == 0x7F) {
      append_hex(out, "\\x", cp, 2);
    } else if (cp < 0x7F) {
      out += static_cast<char>(cp);
    } else if (!is_printable(cp)) {
      if (cp <= 0xFF)
        append_hex(out, "\\x", cp, 2);
      else if (cp <= 0xFFFF)
        append_hex(out, "\\u", cp, 4);
      else
        append_hex(out, "\\U", cp, 8);
    } else {
      out.append(text.data() + at, i - at);
    }
  }
  out += quote;
  return out;
}

std::size_t undecided_tail(const char* s, std::size_t n) noexcept {
  if (n == 0) return 0;
  if (s[n - 1] == '\r') return 1;
  for (std::size_t k = 1; k <= 4 && k <= n; ++k) {
    const auto c = static_cast<unsigned char>(s[n - k]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: the lead is further back
    const std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return need > k ? k : 0;
  }
  return 0;
}

}  // namespace talmek::text
