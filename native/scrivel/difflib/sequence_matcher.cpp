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
// - j2len and newj2len (CPython's dict per row is where its time goes) are one array indexed by
//   j whose entries carry the number of the row that set them; an entry set by any other row
//   reads as absent, so nothing is ever cleared. A row walks its indices from the highest down,
//   so that it reads the entry at j-1 before it overwrites it with its own; where CPython's
//   ascending walk keeps the first (lowest) j among equal lengths, the descending walk lets a
//   lower j of the same row replace an equal length found in that row.
// - find_longest_match finds the indices within [blo, bhi) by binary search instead of
//   `continue`ing below blo and `break`ing at bhi (the indices are increasing), and each line
//   of a knows its range of b2j, so a row costs no lookup.
// - get_matching_blocks first walks the whole of a and b once and notes the maximal diagonal
//   runs of matches (find_runs). Inside any rectangle, the j2len value at a cell is the length
//   of its run's part inside the rectangle up to that cell, so the longest match there is the
//   longest clipped run, and CPython's tie rule (the first cell, in the order the rows are
//   walked, that reaches the best length) picks the clipped run that ends first, lowest i then
//   lowest j. find_longest_match reads its answer from the runs when fewer of them cross its
//   rows than it has rows, and walks the rows otherwise; both give CPython's result. Between
//   the two, the extension over equal neighbours is the same code.
// - get_grouped_opcodes returns the groups as a vector instead of yielding them.
// - The working arrays are taken from and handed back to recycle.h's pool for the thread.
#include "scrivel/difflib/sequence_matcher.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <tuple>

#include "scrivel/difflib/lines.h"
#include "scrivel/difflib/recycle.h"

namespace talmek::scrivel::difflib {

namespace {

inline std::uint32_t load4(const char* p) noexcept {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// x == y, inline and eight bytes at a time: the lines compared here are mostly short and equal,
// where a call to memcmp costs more than the comparison. The last bytes are compared as one
// word that overlaps the ones before it, not one by one: a loop over the few bytes left, of a
// different count for every line, was a mispredicted branch per line.
inline bool same_line(std::string_view x, std::string_view y) noexcept {
  const std::size_t n = x.size();
  if (n != y.size()) return false;
  const char* p = x.data();
  const char* q = y.data();
  if (n >= 8) {
    for (std::size_t k = 0; k + 8 < n; k += 8)
      if (detail::load8(p + k) != detail::load8(q + k)) return false;
    return detail::load8(p + n - 8) == detail::load8(q + n - 8);
  }
  if (n >= 4) return load4(p) == load4(q) && load4(p + n - 4) == load4(q + n - 4);
  // 0 to 3 bytes: the first, the middle and the last one cover them all.
  return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

}  // namespace

SequenceMatcher::SequenceMatcher(const std::vector<std::string_view>& a,
                                 const std::vector<std::string_view>& b,
                                 const std::uint64_t* a_hashes, const std::uint64_t* b_hashes) {
  // Indices and row numbers are kept in 32 bits: half the memory traffic of the inner loop.
  if (a.size() >= k_absent - 1 || b.size() >= k_absent - 1)
    throw std::length_error("too many lines to compare");
  m_a = Recycled<Id>::take();
  m_b = Recycled<Id>::take();
  m_b2j_start = Recycled<std::uint32_t>::take();
  m_b2j = Recycled<std::uint32_t>::take();
  m_a_b2j = Recycled<Span>::take();
  m_j2len = Recycled<J2Len>::take();
  intern(a, b, a_hashes, b_hashes);
  chain_b();
  m_j2len.assign(b.size() + 1, J2Len{0, 0});
}

SequenceMatcher::~SequenceMatcher() {
  Recycled<Id>::give(m_a);
  Recycled<Id>::give(m_b);
  Recycled<std::uint32_t>::give(m_b2j_start);
  Recycled<std::uint32_t>::give(m_b2j);
  Recycled<Span>::give(m_a_b2j);
  Recycled<J2Len>::give(m_j2len);
}

// ---------------------------------------------------------------------------------------------
// Interning

void SequenceMatcher::intern(const std::vector<std::string_view>& a,
                             const std::vector<std::string_view>& b, const std::uint64_t* a_hashes,
                             const std::uint64_t* b_hashes) {
  // Open addressing with linear probing, at most a third full: near two thirds, the probe for a
  // new line walked about three slots, and its mispredicted end was a good part of the time of
  // interning. A slot holds an id and the high half of its line's hash, so that a probe touches
  // the line only when the hashes agree; the line of an id is its first occurrence in b.
  std::size_t cap = 16;
  while (cap < 3 * b.size()) cap <<= 1;
  const std::size_t mask = cap - 1;
  std::vector<Slot> slots = Recycled<Slot>::take();
  slots.assign(cap, Slot{k_absent, 0});
  std::vector<std::uint32_t> first_j = Recycled<std::uint32_t>::take();
  first_j.reserve(b.size());

  // The probes land anywhere in the table; the hashes are computed a few lines ahead and their
  // slots prefetched, so that the misses overlap instead of coming one after another.
  constexpr std::size_t ahead = 8;
  auto pipeline = [&](const std::vector<std::string_view>& lines, const std::uint64_t* hashes,
                      auto&& probe) {
    auto hash_of = [&](std::size_t k) { return hashes ? hashes[k] : hash_line(lines[k]); };
    std::uint64_t ring[ahead];
    const std::size_t n = lines.size();
    for (std::size_t k = 0; k < ahead && k < n; ++k) {
      ring[k] = hash_of(k);
      __builtin_prefetch(&slots[ring[k] & mask]);
    }
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t h = ring[k % ahead];
      if (k + ahead < n) {
        const std::uint64_t next = hash_of(k + ahead);
        ring[k % ahead] = next;
        __builtin_prefetch(&slots[next & mask]);
      }
      probe(k, lines[k], h);
    }
  };

  m_b.resize(b.size());
  pipeline(b, b_hashes, [&](std::size_t j, std::string_view line, std::uint64_t h) {
    const auto tag = static_cast<std::uint32_t>(h >> 32);
    for (std::size_t pos = h & mask;; pos = (pos + 1) & mask) {
      Slot& slot = slots[pos];
      if (slot.id == k_absent) {
        slot = Slot{static_cast<Id>(first_j.size()), tag};
        first_j.push_back(static_cast<std::uint32_t>(j));
        m_b[j] = slot.id;
        return;
      }
      if (slot.tag == tag && same_line(b[first_j[slot.id]], line)) {
        m_b[j] = slot.id;
        return;
      }
    }
  });
  m_ids = first_j.size();

  // Two versions of a file are mostly the same lines in the same order: each line of a is first
  // compared with the line of b after the one the previous line of a matched, two lines read in
  // order instead of a probe anywhere in the table and a line anywhere in b. Only a line found
  // unequal there is looked up; the ids are the same either way.
  m_a.resize(a.size());
  const std::size_t nb = b.size();
  const std::string_view* b_lines = b.data();
  const Id* b_ids = m_b.data();
  Id* a_ids = m_a.data();
  std::size_t guess = 0;  // the line of b expected to equal the next line of a
  // Lines of a before this one are known equal to the lines of b from `guess` on.
  std::size_t proven_to = 0;
  const std::size_t na = a.size();
  const bool batches = a_hashes && b_hashes;
  pipeline(a, a_hashes, [&](std::size_t i, std::string_view line, std::uint64_t h) {
    if (i < proven_to) {
      a_ids[i] = b_ids[guess++];
      return;
    }
    if (guess < nb && (!b_hashes || b_hashes[guess] == h)) {
      if (batches && line.size() == b_lines[guess].size()) {
        // The lines of a run whose lines agree in length and hash, and lie one after another
        // in both texts, are all equal when the two stretches of text are: one memcmp over a
        // stretch instead of a comparison per line. At most k_batch lines, so that a stretch
        // that turns out unequal costs little before the lines are compared one by one.
        constexpr std::size_t k_batch = 256;
        std::size_t t = 1;
        while (t < k_batch && i + t < na && guess + t < nb) {
          const std::string_view x = a[i + t], y = b_lines[guess + t];
          if (x.size() != y.size() || a_hashes[i + t] != b_hashes[guess + t] ||
              x.data() != a[i + t - 1].data() + a[i + t - 1].size() ||
              y.data() != b_lines[guess + t - 1].data() + b_lines[guess + t - 1].size())
            break;
          ++t;
        }
        const std::size_t bytes =
            static_cast<std::size_t>(a[i + t - 1].data() + a[i + t - 1].size() - line.data());
        if (std::memcmp(line.data(), b_lines[guess].data(), bytes) == 0) {
          proven_to = i + t;
          a_ids[i] = b_ids[guess++];
          return;
        }
      }
      if (same_line(b_lines[guess], line)) {
        a_ids[i] = b_ids[guess++];
        return;
      }
    }
    const auto tag = static_cast<std::uint32_t>(h >> 32);
    for (std::size_t pos = h & mask;; pos = (pos + 1) & mask) {
      const Slot& slot = slots[pos];
      if (slot.id == k_absent) {
        // Most likely a changed line: its partner in b is the expected one.
        a_ids[i] = k_absent;
        ++guess;
        return;
      }
      if (slot.tag == tag && same_line(b_lines[first_j[slot.id]], line)) {
        a_ids[i] = slot.id;
        guess = first_j[slot.id] + std::size_t{1};
        return;
      }
    }
  });
  Recycled<Slot>::give(slots);
  Recycled<std::uint32_t>::give(first_j);
}

// ---------------------------------------------------------------------------------------------
// __chain_b

void SequenceMatcher::chain_b() {
  // start[id] counts the occurrences of id first, then becomes the end of its range, then (as
  // the indices are placed from the last down) its start.
  std::vector<std::uint32_t>& start = m_b2j_start;
  start.assign(m_ids + 1, 0);
  for (const Id id : m_b) ++start[id];

  // Purge popular elements: with autojunk, a line that makes up more than 1% (plus one) of a b
  // of 200 lines or more is never used to start a match.
  const std::size_t n = m_b.size();
  if (n >= 200) {
    const std::size_t ntest = n / 100 + 1;
    for (std::size_t id = 0; id < m_ids; ++id)
      if (start[id] > ntest) start[id] = 0;
  }
  // Bytes, not std::vector<bool>: the walk below reads them in the order of b, and a bit
  // extracted from a packed word cost more than the byte loads.
  std::vector<unsigned char> kept = Recycled<unsigned char>::take();
  kept.resize(m_ids);
  std::uint32_t total = 0;
  for (std::size_t id = 0; id < m_ids; ++id) {
    kept[id] = start[id] != 0;
    total += start[id];
    start[id] = total;
  }
  start[m_ids] = total;
  m_b2j.resize(total);
  for (std::size_t j = n; j-- > 0;) {
    const Id id = m_b[j];
    if (kept[id]) m_b2j[--start[id]] = static_cast<std::uint32_t>(j);
  }
  Recycled<unsigned char>::give(kept);

  // b2j.get(a[i], nothing) for every line of a, looked up once instead of once per row scanned.
  m_a_b2j.resize(m_a.size());
  for (std::size_t i = 0; i < m_a.size(); ++i) {
    const Id id = m_a[i];
    m_a_b2j[i] = id == k_absent ? Span{0, 0} : Span{start[id], start[id + 1]};
  }
}

// ---------------------------------------------------------------------------------------------
// find_longest_match

void SequenceMatcher::next_call(std::size_t rows) {
  // Row numbers run on across calls; a gap between calls keeps the first row of a call from
  // reading the last row of the call before. Near the end of the 32-bit range everything is
  // forgotten and the count starts again.
  if (std::uint64_t{m_row} + rows + 4 > k_absent) {
    std::fill(m_j2len.begin(), m_j2len.end(), J2Len{0, 0});
    m_row = 0;
  }
  m_row += 2;
}

void SequenceMatcher::find_runs() {
  // The same walk as find_longest_match over the whole of a and b, but an entry of j2len names
  // the run that its match belongs to instead of the run's length so far.
  const std::size_t la = m_a.size();
  const std::size_t limit = la + m_b.size();
  next_call(la);
  J2Len* j2len = m_j2len.data();
  const std::uint32_t* b2j = m_b2j.data();
  m_runs.clear();
  for (std::size_t i = 0; i < la; ++i, ++m_row) {
    const Span span = m_a_b2j[i];
    const std::uint32_t prev_row = m_row - 1;
    for (const std::uint32_t* it = b2j + span.last; it != b2j + span.first;) {
      const std::uint32_t j = *--it;
      const J2Len before = j2len[j];
      std::uint32_t run;
      if (before.row == prev_row) {
        run = before.len;
        ++m_runs[run].len;
      } else {
        // More runs than lines (lines that repeat a lot): not worth keeping; the row walk does.
        if (m_runs.size() >= limit) {
          m_runs.clear();
          m_runs.shrink_to_fit();
          ++m_row;
          return;
        }
        run = static_cast<std::uint32_t>(m_runs.size());
        m_runs.push_back(Run{static_cast<std::uint32_t>(i), j, 1});
      }
      j2len[j + 1] = J2Len{m_row, run};
    }
  }
  ++m_row;
  m_run_maxlen = 0;
  for (const Run& r : m_runs) m_run_maxlen = std::max<std::size_t>(m_run_maxlen, r.len);
  m_have_runs = !m_runs.empty();
}

Match SequenceMatcher::find_longest_match(std::size_t alo, std::size_t ahi, std::size_t blo,
                                          std::size_t bhi) {
  const std::vector<Id>& a = m_a;
  const std::vector<Id>& b = m_b;
  std::size_t besti = alo, bestj = blo, bestsize = 0;

  // The runs that may cross rows [alo, ahi): they start no earlier than the longest run allows.
  const Run* run_first = nullptr;
  const Run* run_last = nullptr;
  if (m_have_runs) {
    const std::size_t from = alo + 1 >= m_run_maxlen ? alo + 1 - m_run_maxlen : 0;
    auto by_start = [](const Run& r, std::size_t row) { return r.i0 < row; };
    const auto it_first = std::lower_bound(m_runs.begin(), m_runs.end(), from, by_start);
    const auto it_last = std::lower_bound(it_first, m_runs.end(), ahi, by_start);
    run_first = m_runs.data() + (it_first - m_runs.begin());
    run_last = m_runs.data() + (it_last - m_runs.begin());
  }

  if (m_have_runs && static_cast<std::size_t>(run_last - run_first) <= ahi - alo) {
    // Each run crossing the rectangle gives one candidate: its part inside, whose length is the
    // j2len value at its last cell there. The best is the longest, and among equal lengths the
    // one whose last cell comes first in the row walk (lowest i, then lowest j).
    using S = std::int64_t;
    std::size_t best_end_i = 0, best_end_j = 0;
    for (const Run* r = run_first; r != run_last; ++r) {
      const S d = S{r->j0} - S{r->i0};
      const S lo = std::max({S{r->i0}, static_cast<S>(alo), static_cast<S>(blo) - d});
      const S hi = std::min(
          {S{r->i0} + S{r->len} - 1, static_cast<S>(ahi) - 1, static_cast<S>(bhi) - 1 - d});
      if (lo > hi) continue;
      const auto k = static_cast<std::size_t>(hi - lo + 1);
      const auto end_i = static_cast<std::size_t>(hi);
      const auto end_j = static_cast<std::size_t>(hi + d);
      if (k > bestsize ||
          (k == bestsize && (end_i < best_end_i || (end_i == best_end_i && end_j < best_end_j)))) {
        bestsize = k;
        best_end_i = end_i;
        best_end_j = end_j;
      }
    }
    if (bestsize) {
      besti = best_end_i + 1 - bestsize;
      bestj = best_end_j + 1 - bestsize;
    }
  } else {
    next_call(ahi - alo);
    // During an iteration of the loop, the entry at j + 1 holds the length of the longest match
    // ending with a[i-1] and b[j] when its row is the row before this one.
    J2Len* j2len = m_j2len.data();
    const std::uint32_t* b2j = m_b2j.data();
    std::size_t best_row = 0;  // the row that set the best, when it is this call's
    for (std::size_t i = alo; i < ahi; ++i, ++m_row) {
      const Span span = m_a_b2j[i];
      if (span.first == span.last) continue;
      const std::uint32_t* first = b2j + span.first;
      const std::uint32_t* stop = b2j + span.last;
      if (*first < blo) first = std::lower_bound(first, stop, blo);
      if (first == stop) continue;
      if (stop[-1] >= bhi) stop = std::lower_bound(first, stop, bhi);
      const std::uint32_t prev_row = m_row - 1;
      for (const std::uint32_t* it = stop; it != first;) {
        const std::uint32_t j = *--it;
        const J2Len before = j2len[j];  // j2len.get(j-1, 0)
        const std::uint32_t k = (before.row == prev_row ? before.len : 0) + 1;
        j2len[j + 1] = J2Len{m_row, k};
        if (k > bestsize || (k == bestsize && best_row == m_row)) {
          besti = i - k + 1;
          bestj = j - k + 1;
          bestsize = k;
          best_row = m_row;
        }
      }
    }
  }

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
  find_runs();
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
