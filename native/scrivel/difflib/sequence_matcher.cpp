// A port of CPython 3.14's difflib.SequenceMatcher (Lib/difflib.py), for lines of text.
//
// Ported: SequenceMatcher.__chain_b, find_longest_match, get_matching_blocks, get_opcodes and
// get_grouped_opcodes, with the same names, argument order and control flow, so that the two
// read side by side. The results are the same for every pair of line lists. Deliberate
// differences, all of them invisible in the results:
//
// - Only isjunk=None and autojunk=True exist (what unified_diff uses). bjunk is therefore always
//   empty: the two loops of find_longest_match that "suck up" junk next to a match never run
//   and are left out, and `not isbjunk(...)` in the other two is always true.
// - Lines are interned to integer ids first (a hash table over views of the caller's lines, no
//   copies), so that every comparison is one integer comparison. A line of `a` that does not
//   occur in `b` gets one shared id that no line of `b` has.
// - b2j is one block of indices with a start offset per id instead of a dict of lists; a
//   popular line gets an empty range, as `del b2j[elt]` leaves it absent.
// - j2len and newj2len are two arrays indexed by j, swapped per row; only the entries a row set
//   are cleared again. CPython's dict per row is where its time goes.
// - find_longest_match skips the indices below blo by binary search instead of `continue`ing
//   over them one by one (the indices are increasing, so the same ones remain).
// - get_grouped_opcodes returns the groups as a vector instead of yielding them.
#include "scrivel/difflib/sequence_matcher.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <tuple>

namespace talmek::scrivel::difflib {

namespace {

// A line hash eight bytes at a time (std::hash goes through an out-of-line byte loop). Only the
// table below uses it; equal hashes are always confirmed by comparing the lines.
std::uint64_t hash_line(std::string_view s) noexcept {
  constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ull, k2 = 0xBF58476D1CE4E5B9ull,
                          k3 = 0x94D049BB133111EBull;
  std::uint64_t h = s.size() * k1;
  const char* p = s.data();
  std::size_t n = s.size();
  auto step = [&](std::uint64_t w) {
    h ^= w * k2;
    h = ((h << 31) | (h >> 33)) * k3;
  };
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    step(w);
  }
  if (n) {
    // The last eight bytes, overlapping ones already mixed in (the length is in h); short lines
    // in two overlapping halves. No byte loop.
    std::uint64_t w;
    if (s.size() >= 8) {
      std::memcpy(&w, s.data() + s.size() - 8, 8);
    } else if (n >= 4) {
      std::uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + n - 4, 4);
      w = lo | (std::uint64_t{hi} << 32);
    } else {
      w = std::uint64_t{static_cast<unsigned char>(p[0])} |
          std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
          std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
    }
    step(w);
  }
  h ^= h >> 29;
  h *= k2;
  h ^= h >> 32;
  return h;
}

}  // namespace

SequenceMatcher::SequenceMatcher(const std::vector<std::string_view>& a,
                                 const std::vector<std::string_view>& b) {
  // Indices are kept in 32 bits: half the memory traffic of the inner loop.
  if (a.size() >= k_absent - 1 || b.size() >= k_absent - 1)
    throw std::length_error("too many lines to compare");
  intern(a, b);
  chain_b();
  m_j2len.assign(b.size() + 1, 0);
  m_newj2len.assign(b.size() + 1, 0);
}

// ---------------------------------------------------------------------------------------------
// Interning

void SequenceMatcher::intern(const std::vector<std::string_view>& a,
                             const std::vector<std::string_view>& b) {
  // Open addressing with linear probing, at most half full. Slots hold ids; the text of an id is
  // the view of its first occurrence in b.
  std::size_t cap = 16;
  while (cap < b.size() * 2) cap <<= 1;
  const std::size_t mask = cap - 1;
  std::vector<Id> slots(cap, k_absent);
  std::vector<std::string_view> text;
  std::vector<std::uint64_t> hashes;
  text.reserve(b.size());
  hashes.reserve(b.size());

  m_b.resize(b.size());
  for (std::size_t j = 0; j < b.size(); ++j) {
    const std::string_view line = b[j];
    const std::uint64_t h = hash_line(line);
    std::size_t pos = h & mask;
    for (;;) {
      const Id id = slots[pos];
      if (id == k_absent) {
        const auto fresh = static_cast<Id>(text.size());
        slots[pos] = fresh;
        text.push_back(line);
        hashes.push_back(h);
        m_b[j] = fresh;
        break;
      }
      if (hashes[id] == h && text[id] == line) {
        m_b[j] = id;
        break;
      }
      pos = (pos + 1) & mask;
    }
  }
  m_ids = text.size();

  m_a.resize(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::string_view line = a[i];
    const std::uint64_t h = hash_line(line);
    std::size_t pos = h & mask;
    Id found = k_absent;
    for (;;) {
      const Id id = slots[pos];
      if (id == k_absent) break;
      if (hashes[id] == h && text[id] == line) {
        found = id;
        break;
      }
      pos = (pos + 1) & mask;
    }
    m_a[i] = found;
  }
}

// ---------------------------------------------------------------------------------------------
// __chain_b

void SequenceMatcher::chain_b() {
  std::vector<std::uint32_t> count(m_ids, 0);
  for (const Id id : m_b) ++count[id];

  // Purge popular elements: with autojunk, a line that makes up more than 1% (plus one) of a b
  // of 200 lines or more is never used to start a match.
  const std::size_t n = m_b.size();
  if (n >= 200) {
    const std::size_t ntest = n / 100 + 1;
    for (auto& c : count)
      if (c > ntest) c = 0;
  }

  m_b2j_start.assign(m_ids + 1, 0);
  for (std::size_t id = 0; id < m_ids; ++id) m_b2j_start[id + 1] = m_b2j_start[id] + count[id];
  m_b2j.resize(m_b2j_start[m_ids]);
  std::vector<std::uint32_t> cursor(m_b2j_start.begin(), m_b2j_start.end() - 1);
  for (std::size_t j = 0; j < n; ++j) {
    const Id id = m_b[j];
    if (count[id] != 0) m_b2j[cursor[id]++] = static_cast<std::uint32_t>(j);
  }

  // b2j.get(a[i], nothing) for every line of a, looked up once instead of once per row scanned.
  m_a_b2j.resize(m_a.size());
  for (std::size_t i = 0; i < m_a.size(); ++i) {
    const Id id = m_a[i];
    m_a_b2j[i] = id == k_absent ? Span{0, 0} : Span{m_b2j_start[id], m_b2j_start[id + 1]};
  }
}

// ---------------------------------------------------------------------------------------------
// find_longest_match

Match SequenceMatcher::find_longest_match(std::size_t alo, std::size_t ahi, std::size_t blo,
                                          std::size_t bhi) {
  const std::vector<Id>& a = m_a;
  const std::vector<Id>& b = m_b;
  std::size_t besti = alo, bestj = blo, bestsize = 0;

  // During an iteration of the loop, j2len[j + 1] = length of the longest match ending with
  // a[i-1] and b[j]. The entries a row sets are exactly its b2j indices within [blo, bhi), so
  // the row before is cleared by walking those again.
  std::uint32_t* j2len = m_j2len.data();
  std::uint32_t* newj2len = m_newj2len.data();
  const std::uint32_t* b2j = m_b2j.data();
  const std::uint32_t* prev_first = nullptr;
  const std::uint32_t* prev_stop = nullptr;
  for (std::size_t i = alo; i < ahi; ++i) {
    const std::uint32_t* first = b2j + m_a_b2j[i].first;
    const std::uint32_t* const last = b2j + m_a_b2j[i].last;
    if (first != last && *first < blo) first = std::lower_bound(first, last, blo);
    const std::uint32_t* j_it = first;
    for (; j_it != last; ++j_it) {
      const std::uint32_t j = *j_it;
      if (j >= bhi) break;
      const std::uint32_t k = j2len[j] + 1;  // j2len.get(j-1, 0) + 1
      newj2len[j + 1] = k;
      if (k > bestsize) {
        besti = i - k + 1;
        bestj = j - k + 1;
        bestsize = k;
      }
    }
    // j2len = newj2len: forget the old row, then swap.
    for (const std::uint32_t* p = prev_first; p != prev_stop; ++p) j2len[*p + 1] = 0;
    std::swap(j2len, newj2len);
    prev_first = first;
    prev_stop = j_it;
  }
  for (const std::uint32_t* p = prev_first; p != prev_stop; ++p) j2len[*p + 1] = 0;

  // Extend the best by non-junk elements on each end. "Popular" elements are not in b2j, so the
  // best match so far holds none of them; equal neighbours join it here.
  while (besti > alo && bestj > blo && a[besti - 1] == b[bestj - 1]) {
    --besti;
    --bestj;
    ++bestsize;
  }
  while (besti + bestsize < ahi && bestj + bestsize < bhi &&
         a[besti + bestsize] == b[bestj + bestsize])
    ++bestsize;
  return Match{besti, bestj, bestsize};
}

// ---------------------------------------------------------------------------------------------
// get_matching_blocks

const std::vector<Match>& SequenceMatcher::get_matching_blocks() {
  if (m_have_blocks) return m_matching_blocks;
  const std::size_t la = m_a.size(), lb = m_b.size();

  // A queue of blocks still to look at instead of recursion, as CPython does.
  struct Range {
    std::size_t alo, ahi, blo, bhi;
  };
  std::vector<Range> queue{{0, la, 0, lb}};
  std::vector<Match> matching_blocks;
  while (!queue.empty()) {
    const auto [alo, ahi, blo, bhi] = queue.back();
    queue.pop_back();
    const Match x = find_longest_match(alo, ahi, blo, bhi);
    const std::size_t i = x.a, j = x.b, k = x.size;
    // a[alo:i] vs b[blo:j] unknown; a[i:i+k] same as b[j:j+k]; a[i+k:ahi] vs b[j+k:bhi] unknown
    if (k) {
      matching_blocks.push_back(x);
      if (alo < i && blo < j) queue.push_back({alo, i, blo, j});
      if (i + k < ahi && j + k < bhi) queue.push_back({i + k, ahi, j + k, bhi});
    }
  }
  std::sort(matching_blocks.begin(), matching_blocks.end(), [](const Match& l, const Match& r) {
    return std::tie(l.a, l.b, l.size) < std::tie(r.a, r.b, r.size);
  });

  // Collapse adjacent equal blocks.
  std::size_t i1 = 0, j1 = 0, k1 = 0;
  std::vector<Match> non_adjacent;
  for (const Match& m : matching_blocks) {
    if (i1 + k1 == m.a && j1 + k1 == m.b) {
      k1 += m.size;
    } else {
      if (k1) non_adjacent.push_back({i1, j1, k1});
      i1 = m.a;
      j1 = m.b;
      k1 = m.size;
    }
  }
  if (k1) non_adjacent.push_back({i1, j1, k1});
  non_adjacent.push_back({la, lb, 0});
  m_matching_blocks = std::move(non_adjacent);
  m_have_blocks = true;
  return m_matching_blocks;
}

// ---------------------------------------------------------------------------------------------
// get_opcodes

std::vector<Opcode> SequenceMatcher::get_opcodes() {
  std::size_t i = 0, j = 0;
  std::vector<Opcode> answer;
  for (const Match& m : get_matching_blocks()) {
    const std::size_t ai = m.a, bj = m.b, size = m.size;
    // Invariant: a[:i] has become b[:j]; the next matching block is a[ai:ai+size].
    if (i < ai && j < bj)
      answer.push_back({Tag::replace, i, ai, j, bj});
    else if (i < ai)
      answer.push_back({Tag::del, i, ai, j, bj});
    else if (j < bj)
      answer.push_back({Tag::insert, i, ai, j, bj});
    i = ai + size;
    j = bj + size;
    // The list of matching blocks ends with a sentinel of size 0.
    if (size) answer.push_back({Tag::equal, ai, i, bj, j});
  }
  return answer;
}

// ---------------------------------------------------------------------------------------------
// get_grouped_opcodes

std::vector<std::vector<Opcode>> SequenceMatcher::get_grouped_opcodes(std::size_t n) {
  std::vector<Opcode> codes = get_opcodes();
  if (codes.empty()) codes.push_back({Tag::equal, 0, 1, 0, 1});
  // Fixup leading and trailing groups if they show no changes.
  if (codes.front().tag == Tag::equal) {
    Opcode& c = codes.front();
    c.i1 = std::max(c.i1, c.i2 >= n ? c.i2 - n : 0);
    c.j1 = std::max(c.j1, c.j2 >= n ? c.j2 - n : 0);
  }
  if (codes.back().tag == Tag::equal) {
    Opcode& c = codes.back();
    c.i2 = std::min(c.i2, c.i1 + n);
    c.j2 = std::min(c.j2, c.j1 + n);
  }
  const std::size_t nn = n + n;
  std::vector<std::vector<Opcode>> groups;
  std::vector<Opcode> group;
  for (Opcode c : codes) {
    // End the current group and start a new one whenever there is a large range with no
    // changes.
    if (c.tag == Tag::equal && c.i2 - c.i1 > nn) {
      group.push_back({c.tag, c.i1, std::min(c.i2, c.i1 + n), c.j1, std::min(c.j2, c.j1 + n)});
      groups.push_back(std::move(group));
      group.clear();
      c.i1 = std::max(c.i1, c.i2 - n);
      c.j1 = std::max(c.j1, c.j2 - n);
    }
    group.push_back(c);
  }
  if (!group.empty() && !(group.size() == 1 && group[0].tag == Tag::equal))
    groups.push_back(std::move(group));
  return groups;
}

}  // namespace talmek::scrivel::difflib
