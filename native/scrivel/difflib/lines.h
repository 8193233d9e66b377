// The line lists the diff takes: str.splitlines(keepends=True) as views, fast over large texts.
//
// The views borrow from the text passed in; it must outlive them. text::for_each_line asks
// text::line_break_at about every byte, an out-of-line call each; on a file of a megabyte that
// was most of the time of a diff. Here only the few bytes that can start a boundary reach it.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace talmek::scrivel::difflib {

namespace detail {
// The first bytes of the boundaries of str.splitlines: \n \v \f \r \x1c \x1d \x1e, and the lead
// bytes of U+0085 (C2 85) and U+2028/U+2029 (E2 80 A8/A9).
constexpr std::array<bool, 256> k_may_break = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : {0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0xC2, 0xE2}) t[c] = true;
  return t;
}();
}  // namespace detail

inline std::vector<std::string_view> split_lines(std::string_view s) {
  std::vector<std::string_view> lines;
  lines.reserve(s.size() / 40 + 1);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t start = 0, i = 0;
  while (i < n) {
    // Skip eight bytes at a time while all of them are printable ASCII (0x20..0x7F). The lowest
    // flagged byte is the first one below 0x20 or above 0x7F (a borrow only flags bytes above
    // a flagged one).
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      const std::uint64_t flags = ((w - 0x2020202020202020ull) | w) & 0x8080808080808080ull;
      if (flags) {
        i += static_cast<std::size_t>(__builtin_ctzll(flags)) / 8;
        break;
      }
      i += 8;
    }
    while (i < n && !detail::k_may_break[p[i]]) {
      ++i;
      if ((i & 7) == 0 && i + 8 <= n) break;  // back to the word loop
    }
    if (i >= n) break;
    if (!detail::k_may_break[p[i]]) continue;
    const std::size_t br = p[i] == '\n' ? 1 : text::line_break_at(s, i);
    if (br == 0) {
      ++i;
      continue;
    }
    lines.push_back(s.substr(start, i + br - start));
    i += br;
    start = i;
  }
  if (start < n) lines.push_back(s.substr(start));
  return lines;
}

// True when every byte is below 0x80: such bytes are valid UTF-8 without a closer look, and
// nearly every source file is ASCII. Eight bytes at a time.
inline bool is_ascii(std::string_view s) noexcept {
  std::size_t i = 0;
  std::uint64_t acc = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    acc |= w;
  }
  for (; i < s.size(); ++i) acc |= static_cast<unsigned char>(s[i]);
  return (acc & 0x8080808080808080ull) == 0;
}

}  // namespace talmek::scrivel::difflib
