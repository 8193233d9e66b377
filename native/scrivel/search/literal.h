// Finding a fixed text in a buffer, for grep_files' skip to the lines that can match.
//
// glibc's memmem pays a set-up on every call and walks a hash over every position, which made it
// the largest single cost of a search whose required text occurs in most files. Here two bytes
// of the needle, the rarest by a rough frequency table of source text, are compared sixteen
// positions at a time (SSE2); only where both agree is the whole needle compared. Inputs that
// make the pair agree nearly everywhere (long runs of one byte) would make that quadratic in
// the needle's length, so once verification fails too often the rest of the call goes to
// text::find_bytes (memmem), which is linear whatever the input.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "common/text.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace talmek::scrivel::search {

class LiteralFinder {
 public:
  explicit LiteralFinder(std::string needle) : m_needle(std::move(needle)) {
    const std::size_t m = m_needle.size();
    if (m < 2) return;
    // The rarest byte, then the rarest other position (ties keep the later one, whose byte
    // is compared at the end of the candidate window).
    std::size_t a = 0;
    for (std::size_t k = 1; k < m; ++k)
      if (rank(m_needle[k]) <= rank(m_needle[a])) a = k;
    std::size_t b = a == 0 ? 1 : 0;
    for (std::size_t k = 0; k < m; ++k)
      if (k != a && rank(m_needle[k]) <= rank(m_needle[b])) b = k;
    m_i1 = a < b ? a : b;
    m_i2 = a < b ? b : a;
  }

  const std::string& needle() const noexcept { return m_needle; }

  // The start of the first occurrence at or after `from`, or hay.size() when there is none.
  std::size_t find(std::string_view hay, std::size_t from) const {
    const std::size_t n = hay.size(), m = m_needle.size();
    if (from >= n || m > n - from) return n;
    const char* d = hay.data();
    if (m == 1) {
      const void* p = std::memchr(d + from, m_needle[0], n - from);
      return p ? static_cast<std::size_t>(static_cast<const char*>(p) - d) : n;
    }
    std::size_t pos = from;
#ifdef __SSE2__
    const __m128i v1 = _mm_set1_epi8(m_needle[m_i1]), v2 = _mm_set1_epi8(m_needle[m_i2]);
    // Failed verifications allowed before handing over to memmem: a few per block is normal.
    std::size_t budget = 64 + (n - from) / 16;
    while (pos + m + 15 <= n) {
      const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + pos + m_i1));
      const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + pos + m_i2));
      auto mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x1, v1), _mm_cmpeq_epi8(x2, v2))));
      while (mask) {
        const std::size_t at = pos + static_cast<std::size_t>(__builtin_ctz(mask));
        if (std::memcmp(d + at, m_needle.data(), m) == 0) return at;
        if (--budget == 0) return memmem_from(hay, at + 1);
        mask &= mask - 1;
      }
      pos += 16;
    }
#endif
    return memmem_from(hay, pos);
  }

 private:
  std::size_t memmem_from(std::string_view hay, std::size_t from) const {
    const std::size_t n = hay.size();
    if (from >= n) return n;
    const std::size_t at = text::find_bytes(hay, m_needle, from);
    return at == std::string_view::npos ? n : at;
  }

  // How common a byte is in source text, roughly: lower is rarer.
  static int rank(char ch) noexcept {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ') return 255;
    if (c == '\n') return 200;
    if (std::strchr("etaoinsr", c) && c) return 220;
    if (std::strchr("ldcuhmpfgybw", c) && c) return 170;
    if (std::strchr("_().,=:;\"'\t", c) && c) return 160;
    if (c >= 'a' && c <= 'z') return 120;
    if (c >= '0' && c <= '9') return 110;
    if (c >= 'A' && c <= 'Z') return 90;
    if (c >= 0x80) return 40;
    if (c < 0x20 || c == 0x7F) return 20;
    return 60;  // other ASCII punctuation
  }

  std::string m_needle;
  std::size_t m_i1 = 0, m_i2 = 1;  // the two positions compared first, m_i1 < m_i2
};

}  // namespace talmek::scrivel::search
