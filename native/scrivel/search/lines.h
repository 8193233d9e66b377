// Line boundaries over a whole file buffer, found without copying or allocating per line.
//
// The boundaries are str.splitlines' (text::line_break_at): \n, \r, \r\n, \v, \f, \x1c..\x1e,
// U+0085, U+2028, U+2029. Every one of them starts with a byte below 0x20 or with 0xC2/0xE2, so
// a scan can skip eight bytes at a time while none of them is a control byte or non-ASCII.
// Text-mode newline translation ("\r\n" and "\r" become "\n") never changes where lines split
// or what they hold, so the raw bytes are split directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "common/text.h"

namespace talmek::scrivel::search {

inline constexpr std::size_t kNoBoundary = static_cast<std::size_t>(-1);

namespace detail {
inline bool word_is_plain(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  // Any byte >= 0x80, or any byte < 0x20 (the subtraction borrows into its top bit).
  constexpr std::uint64_t high = 0x8080808080808080ull, twenty = 0x2020202020202020ull;
  return (w & high) == 0 && ((w - twenty) & ~w & high) == 0;
}

// The set bits of a 16-bit mask. __builtin_popcount without -mpopcnt is a call into libgcc,
// which showed up in profiles of line counting.
inline std::size_t popcount16(unsigned x) noexcept {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0F0Fu;
  return (x + (x >> 8)) & 0x1Fu;
}
}  // namespace detail

// The start of the first boundary at or after `from`, with its length in *len; kNoBoundary when
// there is none.
inline std::size_t next_boundary(std::string_view s, std::size_t from, std::size_t& len) noexcept {
  const std::size_t n = s.size();
  const char* d = s.data();
  std::size_t i = from;
#ifdef __SSE2__
  // Sixteen bytes at a time: the candidates are control bytes other than tab, 0xC2 and 0xE2.
  const __m128i ctl = _mm_set1_epi8(0x1F), tab = _mm_set1_epi8(0x09);
  const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2)),
                e2 = _mm_set1_epi8(static_cast<char>(0xE2));
  while (i + 16 <= n) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(b, ctl), b);
    const __m128i cand = _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(b, tab), low),
                                      _mm_or_si128(_mm_cmpeq_epi8(b, c2), _mm_cmpeq_epi8(b, e2)));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(cand));
    while (mask) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
      if (d[at] == '\n') {
        len = 1;
        return at;
      }
      const std::size_t l = text::line_break_at(s, at);
      if (l) {
        len = l;
        return at;
      }
      mask &= mask - 1;
    }
    i += 16;
  }
#endif
  for (;;) {
    while (i + 8 <= n && detail::word_is_plain(d + i)) i += 8;
    const std::size_t stop = i + 8 <= n ? i + 8 : n;
    for (; i < stop; ++i) {
      const auto c = static_cast<unsigned char>(d[i]);
      if (c == '\n') {
        len = 1;
        return i;
      }
      if ((c >= 0x20 && c != 0xC2 && c != 0xE2) || c == '\t') continue;
      const std::size_t l = text::line_break_at(s, i);
      if (l) {
        len = l;
        return i;
      }
    }
    if (i >= n) return kNoBoundary;
  }
}

// Moves `pos` (a line start) forward to the start of the line that holds `target`, adding the
// lines passed to `line`. A byte of a boundary counts as part of the line before it. Stretches
// where the only candidate bytes are line feeds are counted a block at a time.
inline void advance_to_line(std::string_view s, std::size_t& pos, std::size_t& line,
                            std::size_t target) noexcept {
  const char* d = s.data();
  for (;;) {
#ifdef __SSE2__
    const __m128i ctl = _mm_set1_epi8(0x1F), tab = _mm_set1_epi8(0x09), nl = _mm_set1_epi8('\n');
    const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2));
    const __m128i e2 = _mm_set1_epi8(static_cast<char>(0xE2));
    for (std::size_t i = pos; i + 16 <= target; i += 16) {
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
      const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(b, ctl), b);
      const __m128i cand = _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(b, tab), low),
                                        _mm_or_si128(_mm_cmpeq_epi8(b, c2), _mm_cmpeq_epi8(b, e2)));
      const auto cm = static_cast<unsigned>(_mm_movemask_epi8(cand));
      const auto lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, nl)));
      if (cm != lf) break;  // some other candidate: take the careful road from here
      if (lf) {
        line += detail::popcount16(lf);
        pos = i + static_cast<std::size_t>(31 - __builtin_clz(lf)) + 1;
      }
    }
#endif
    std::size_t len = 0;
    const std::size_t b = next_boundary(s, pos, len);
    if (b == kNoBoundary || target < b + len) return;
    pos = b + len;
    ++line;
  }
}

// The start of the line that ends (boundary excluded) at `end`, given that a line does end there:
// the position just after the previous boundary, or 0.
inline std::size_t line_start_before(std::string_view s, std::size_t end) noexcept {
  const auto* d = reinterpret_cast<const unsigned char*>(s.data());
  for (std::size_t q = end; q > 0; --q) {
    const unsigned char c = d[q - 1];
    if (c >= 0x20 && c != 0x85 && c != 0xA8 && c != 0xA9) continue;
    switch (c) {
      case '\n':
      case '\r':
      case 0x0B:
      case 0x0C:
      case 0x1C:
      case 0x1D:
      case 0x1E:
        return q;
      case 0x85:
        if (q >= 2 && d[q - 2] == 0xC2) return q;
        break;
      case 0xA8:
      case 0xA9:
        if (q >= 3 && d[q - 2] == 0x80 && d[q - 3] == 0xE2) return q;
        break;
      default:
        break;
    }
  }
  return 0;
}

// The length of the boundary that ends just before `start` (the start of a line that is not the
// first one).
inline std::size_t boundary_before(std::string_view s, std::size_t start) noexcept {
  const auto* d = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char c = d[start - 1];
  if (c == '\n' && start >= 2 && d[start - 2] == '\r') return 2;
  if (c == 0x85) return 2;
  if (c == 0xA8 || c == 0xA9) return 3;
  return 1;
}

// Every line of `s` as [start, end) byte ranges, boundaries left out (str.splitlines()).
inline void index_lines(std::string_view s, std::vector<std::size_t>& starts,
                        std::vector<std::size_t>& ends) {
  starts.clear();
  ends.clear();
  std::size_t pos = 0, len = 0;
  for (;;) {
    const std::size_t b = next_boundary(s, pos, len);
    if (b == kNoBoundary) break;
    starts.push_back(pos);
    ends.push_back(b);
    pos = b + len;
  }
  if (pos < s.size()) {
    starts.push_back(pos);
    ends.push_back(s.size());
  }
}

// Strict UTF-8 validity (text::is_valid_utf8), skipping ASCII eight bytes at a time.
inline bool valid_utf8(std::string_view s) noexcept {
  const char* d = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    while (i + 32 <= n) {
      std::uint64_t w[4];
      std::memcpy(w, d + i, 32);
      if ((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ull) break;
      i += 32;
    }
    while (i < n && static_cast<unsigned char>(d[i]) < 0x80) ++i;
    if (i >= n) break;
    // A run of non-ASCII text: hand the next few bytes to the exact decoder's rules.
    std::size_t j = i;
    while (j < n && static_cast<unsigned char>(d[j]) >= 0x80) ++j;
    // Extend to a sequence boundary: the run ends at an ASCII byte, which no valid sequence
    // holds, so the run must be valid on its own.
    if (!text::is_valid_utf8(s.substr(i, j - i))) return false;
    i = j;
  }
  return true;
}

}  // namespace talmek::scrivel::search
