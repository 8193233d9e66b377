// The line lists the diff takes: str.splitlines(keepends=True) as views, each with its hash,
// made in one pass over the text.
//
// The views borrow from the text passed in; it must outlive them. text::for_each_line asks
// text::line_break_at about every byte, an out-of-line call each; on a file of a megabyte that
// was most of the time of a diff. Here the text is read eight bytes at a time, only the few bytes
// that can start a boundary reach line_break_at, and the words read to find the line ends are
// hashed on the way, so the matcher never reads the lines again to hash them.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "scrivel/difflib/recycle.h"

namespace talmek::scrivel::difflib {

namespace detail {

// Byte classes. k_break: the first bytes of the boundaries of str.splitlines: \n \v \f \r \x1c
// \x1d \x1e, and the lead bytes of U+0085 (C2 85) and U+2028/U+2029 (E2 80 A8/A9). k_unusual:
// the bytes after which a text read from a file may need decoding or newline translation, every
// byte from 0x80 and \r.
constexpr unsigned char k_break = 1, k_unusual = 2;
constexpr std::array<unsigned char, 256> k_class = [] {
  std::array<unsigned char, 256> t{};
  for (int c : {0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0xC2, 0xE2}) t[c] |= k_break;
  for (int c = 0x80; c < 0x100; ++c) t[c] |= k_unusual;
  t['\r'] |= k_unusual;
  return t;
}();

constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ull, k2 = 0xBF58476D1CE4E5B9ull,
                        k3 = 0x94D049BB133111EBull;

inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The low n bytes of w (n below 8).
inline std::uint64_t low_bytes(std::uint64_t w, std::size_t n) noexcept {
  return n ? w & (~0ull >> (64 - 8 * n)) : 0;
}

// One multiply per word: the multiply carries each bit only upwards, and finish() folds the high
// bits back down, which is mixing enough for a table whose matches are confirmed by comparing
// the lines. Rotating and multiplying twice per word made splitting a tenth slower.
inline std::uint64_t step(std::uint64_t h, std::uint64_t w) noexcept { return (h ^ w) * k3; }

// Continues h over n bytes at p: whole words, then the rest as the low bytes of one word.
inline std::uint64_t hash_bytes(std::uint64_t h, const char* p, std::size_t n) noexcept {
  for (; n >= 8; p += 8, n -= 8) h = step(h, load8(p));
  if (n) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = step(h, w);
  }
  return h;
}

inline std::uint64_t finish(std::uint64_t h, std::size_t len) noexcept {
  h ^= len * k1;
  h ^= h >> 29;
  h *= k2;
  h ^= h >> 32;
  return h;
}

// Bytes 0x20..0x7F give no flag; the lowest flagged byte of a word is the first byte below 0x20
// or above 0x7F (a borrow only flags bytes above a flagged one).
inline std::uint64_t flags_of(std::uint64_t w) noexcept {
  return ((w - 0x2020202020202020ull) | w) & 0x8080808080808080ull;
}

}  // namespace detail

// The hash of one line, as split_lines computes it. Equal lines, equal hashes; the matcher
// confirms equal hashes by comparing the lines.
inline std::uint64_t hash_line(std::string_view line) noexcept {
  return detail::finish(detail::hash_bytes(0, line.data(), line.size()), line.size());
}

struct LineList {
  std::vector<std::string_view> lines;
  std::vector<std::uint64_t> hashes;  // hash_line of each line

  LineList() : lines(Recycled<std::string_view>::take()), hashes(Recycled<std::uint64_t>::take()) {}
  LineList(LineList&&) noexcept = default;
  LineList& operator=(LineList&&) noexcept = default;
  LineList(const LineList&) = delete;
  LineList& operator=(const LineList&) = delete;
  ~LineList() {
    Recycled<std::string_view>::give(lines);
    Recycled<std::uint64_t>::give(hashes);
  }
};

// The lines of s. When `unusual` is given, it is set to whether s holds a byte from 0x80 or a \r:
// the scan for line ends looks at every such byte anyway, so a text read from a file needs no
// passes of its own to learn that it is ASCII without carriage returns, as nearly all are.
inline LineList split_lines(std::string_view s, bool* unusual = nullptr) {
  using namespace detail;
  LineList out;
  // Room for lines of 16 bytes on average: no regrowth for ordinary text, and the part of the
  // room that stays unused is never touched, so it costs address space, not memory.
  out.lines.reserve(s.size() / 16 + 16);
  out.hashes.reserve(s.size() / 16 + 16);
  const char* p = s.data();
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  const std::size_t n = s.size();
  auto emit = [&](std::size_t start, std::size_t end, std::uint64_t h) {
    out.lines.push_back(s.substr(start, end - start));
    out.hashes.push_back(finish(h, end - start));
  };
  unsigned char seen = 0;
  std::size_t start = 0;
  while (start < n) {
    // One line: whole words from its start while no byte of a word ends it.
    std::uint64_t h = 0;
    std::size_t i = start;
    std::size_t end = 0;
    while (i + 8 <= n) {
      const std::uint64_t w = load8(p + i);
      if (const std::uint64_t f = flags_of(w)) {
        const std::size_t first = i + __builtin_ctzll(f) / 8;
        if (u[first] == '\n') {
          // Nearly every line: its first flagged byte is the \n that ends it.
          end = first + 1;
          h = step(h, end - i == 8 ? w : low_bytes(w, end - i));
          break;
        }
        // Every byte of the word from its first flagged one: those before it are 0x20..0x7F.
        for (std::size_t k = first; k < i + 8; ++k) {
          const unsigned char c = k_class[u[k]];
          seen |= c;
          if (!(c & k_break)) continue;
          const std::size_t br = u[k] == '\n' ? 1 : text::line_break_at(s, k);
          if (br) {
            end = k + br;
            break;
          }
        }
        if (end) {
          h = end - i < 8 ? step(h, low_bytes(w, end - i)) : hash_bytes(h, p + i, end - i);
          break;
        }
      }
      h = step(h, w);
      i += 8;
    }
    if (!end) {
      // Fewer than eight bytes left: the line ends at a boundary among them or at the end.
      end = n;
      for (std::size_t k = i; k < n; ++k) {
        const unsigned char c = k_class[u[k]];
        seen |= c;
        if (!(c & k_break)) continue;
        const std::size_t br = text::line_break_at(s, k);
        if (br) {
          end = k + br;
          break;
        }
      }
      h = hash_bytes(h, p + i, end - i);
    }
    emit(start, end, h);
    start = end;
  }
  if (unusual) *unusual = (seen & k_unusual) != 0;
  return out;
}

// True when every byte is below 0x80: such bytes are valid UTF-8 without a closer look, and
// nearly every source file is ASCII. Eight bytes at a time.
inline bool is_ascii(std::string_view s) noexcept {
  std::size_t i = 0;
  std::uint64_t acc = 0;
  for (; i + 8 <= s.size(); i += 8) acc |= detail::load8(s.data() + i);
  for (; i < s.size(); ++i) acc |= static_cast<unsigned char>(s[i]);
  return (acc & 0x8080808080808080ull) == 0;
}

}  // namespace talmek::scrivel::difflib
