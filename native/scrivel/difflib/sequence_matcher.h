// difflib.SequenceMatcher over lines of text, without a junk filter, with CPython's autojunk rule.
//
// The matcher borrows the line views it is given: the texts they point into must outlive it.
// Plain C++, no Python objects; safe to use without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace talmek::scrivel::difflib {

// difflib.Match: a[a:a+size] == b[b:b+size].
struct Match {
  std::size_t a;
  std::size_t b;
  std::size_t size;
};

enum class Tag : unsigned char { equal, replace, del, insert };

// One get_opcodes() tuple (tag, i1, i2, j1, j2).
struct Opcode {
  Tag tag;
  std::size_t i1;
  std::size_t i2;
  std::size_t j1;
  std::size_t j2;
};

class SequenceMatcher {
 public:
  // SequenceMatcher(None, a, b) with autojunk=True. The hashes, when given, are hash_line()
  // of each line (lines.h), as split_lines() makes them; otherwise they are computed here.
  SequenceMatcher(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b,
                  const std::uint64_t* a_hashes = nullptr, const std::uint64_t* b_hashes = nullptr);
  // Hands the working arrays on to the next matcher of this thread (recycle.h).
  ~SequenceMatcher();
  SequenceMatcher(const SequenceMatcher&) = delete;
  SequenceMatcher& operator=(const SequenceMatcher&) = delete;

  Match find_longest_match(std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi);
  const std::vector<Match>& get_matching_blocks();
  std::vector<Opcode> get_opcodes();
  std::vector<std::vector<Opcode>> get_grouped_opcodes(std::size_t n = 3);

 private:
  using Id = std::uint32_t;
  // A slot of the interning table: an id and the high half of its line's hash.
  struct Slot {
    Id id;
    std::uint32_t tag;
  };
  // The id of every line of `a` that occurs nowhere in `b`: it can never equal a line of b.
  static constexpr Id k_absent = 0xFFFFFFFFu;

  void intern(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b,
              const std::uint64_t* a_hashes, const std::uint64_t* b_hashes);
  void chain_b();
  void next_call(std::size_t rows);
  void find_runs();

  std::vector<Id> m_a;  // line ids; equal ids <=> equal lines
  std::vector<Id> m_b;
  std::size_t m_ids = 0;  // distinct lines of b
  // b2j in one block: the indices in b of id x are m_b2j[m_b2j_start[x] .. m_b2j_start[x + 1]),
  // increasing; empty for a popular line.
  std::vector<std::uint32_t> m_b2j_start;
  std::vector<std::uint32_t> m_b2j;
  // For each line of a, its range of m_b2j.
  struct Span {
    std::uint32_t first;
    std::uint32_t last;
  };
  std::vector<Span> m_a_b2j;
  // j2len, indexed by j + 1 so that j - 1 needs no test; an entry counts only for the row after
  // the one that set it. m_row numbers the rows of all calls. While find_runs() walks, `len`
  // holds the index of the entry's run instead.
  struct J2Len {
    std::uint32_t row;
    std::uint32_t len;
  };
  std::vector<J2Len> m_j2len;
  std::uint32_t m_row = 0;
  // The maximal runs of matches along the diagonals of the whole of a and b (matches as b2j
  // has them: popular lines break runs), in order of their first row; cell (i0+t, j0+t) for t
  // below len. Kept only while there are fewer of them than lines in a and b.
  struct Run {
    std::uint32_t i0;
    std::uint32_t j0;
    std::uint32_t len;
  };
  std::vector<Run> m_runs;
  std::size_t m_run_maxlen = 0;
  bool m_have_runs = false;
  std::vector<Match> m_matching_blocks;
  bool m_have_blocks = false;
};

}  // namespace talmek::scrivel::difflib
