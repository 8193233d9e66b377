// fnmatch.fnmatchcase: pattern tokens from a port of fnmatch._translate, then a linear matcher.
#include "scrivel/walk/fnmatch.h"

#include <cstring>

#include "common/os_error.h"
#include "common/text.h"
#include "platform/os.h"

namespace talmek::scrivel::walk {

namespace {

// The pattern's code points, letter case folded where names ignore it (fnmatch.fnmatch
// normcases the pattern, and the glob compiles it ignoring case).
std::u32string to_cps(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) out += os::fold_case(text::next_cp(text, i));
  return out;
}

bool has_surrogate(const std::u32string& s) {
  for (char32_t c : s)
    if (text::is_surrogate(c)) return true;
  return false;
}

std::string encode(const std::u32string& cps) {
  std::string out;
  for (char32_t c : cps) text::append_cp(out, c);
  return out;
}

}  // namespace

bool NameMatcher::CharSet::contains(char32_t cp) const noexcept {
  bool in = false;
  for (const auto& [lo, hi] : ranges)
    if (cp >= lo && cp <= hi) {
      in = true;
      break;
    }
  return in != negated;
}

NameMatcher::NameMatcher(std::string_view pattern_text) {
  const std::u32string pat = to_cps(pattern_text);
  const std::size_t n = pat.size();
  std::size_t i = 0;
  while (i < n) {
    const char32_t c = pat[i++];
    if (c == '*') {
      m_tokens.push_back({Token::Star});
      while (i < n && pat[i] == '*') ++i;
    } else if (c == '?') {
      m_tokens.push_back({Token::Any});
    } else if (c == '[') {
      std::size_t j = i;
      if (j < n && pat[j] == '!') ++j;
      if (j < n && pat[j] == ']') ++j;
      while (j < n && pat[j] != ']') ++j;
      if (j >= n) {
        m_tokens.push_back({Token::Char, '['});
        continue;
      }
      // The set's text is split at range hyphens into chunks exactly as fnmatch._translate
      // splits it; reversed ranges are removed by merging their neighbouring chunks.
      std::vector<std::u32string> chunks;
      const std::u32string stuff = pat.substr(i, j - i);
      if (stuff.find(U'-') == std::u32string::npos) {
        chunks.push_back(stuff);
      } else {
        std::size_t k = pat[i] == '!' ? i + 2 : i + 1;
        for (;;) {
          std::size_t found = std::u32string::npos;
          for (std::size_t q = k; q < j; ++q)
            if (pat[q] == '-') {
              found = q;
              break;
            }
          if (found == std::u32string::npos) break;
          chunks.push_back(pat.substr(i, found - i));
          i = found + 1;
          k = found + 3;
        }
        std::u32string chunk = pat.substr(i, j - i);
        if (!chunk.empty())
          chunks.push_back(chunk);
        else
          chunks.back() += U'-';
        for (std::size_t q = chunks.size() - 1; q > 0; --q) {
          if (chunks[q - 1].empty() || chunks[q].empty())
            throw OpError("string index out of range");
          if (chunks[q - 1].back() > chunks[q].front()) {
            chunks[q - 1] = chunks[q - 1].substr(0, chunks[q - 1].size() - 1) + chunks[q].substr(1);
            chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(q));
          }
        }
      }
      i = j + 1;
      CharSet set;
      // "[!...]" negates; an empty set never matches and "[!]"-after-merging matches anything,
      // both of which fall out of an empty range list with or without negation.
      std::size_t skip = 0;
      if (!chunks.empty() && !chunks[0].empty() && chunks[0][0] == '!') {
        set.negated = true;
        skip = 1;
      }
      bool range_open = false;  // the previous chunk's last character starts a range
      for (std::size_t q = 0; q < chunks.size(); ++q) {
        const std::u32string& ch = chunks[q];
        const std::size_t from = q == 0 ? skip : 0;
        if (q > 0) {
          if (range_open && !ch.empty()) {
            set.ranges.emplace_back(chunks[q - 1].back(), ch.front());
          } else {
            // "[!-x]" after merging: the hyphen right after "^" is a literal in the regex.
            set.ranges.emplace_back(U'-', U'-');
          }
        }
        for (std::size_t r = from; r < ch.size(); ++r) set.ranges.emplace_back(ch[r], ch[r]);
        range_open = ch.size() > from;
      }
      m_sets.push_back(std::move(set));
      m_tokens.push_back({Token::Set, 0, static_cast<std::uint32_t>(m_sets.size() - 1)});
    } else {
      m_tokens.push_back({Token::Char, c});
    }
  }

  // Pick a byte-level shortcut when the pattern is "*", a literal, "*literal" or "literal*".
  // Byte comparisons agree with code point comparisons only for literals without surrogates
  // (a surrogate escape stands for a lone byte that could also end a valid sequence).
  auto literal_run = [&](std::size_t from, std::size_t to, std::u32string& out) {
    for (std::size_t q = from; q < to; ++q) {
      if (m_tokens[q].type != Token::Char) return false;
      out += m_tokens[q].cp;
    }
    return !has_surrogate(out);
  };
  const std::size_t t = m_tokens.size();
  std::u32string lit;
  if (t == 1 && m_tokens[0].type == Token::Star) {
    m_kind = Kind::Everything;
  } else if (os::kCaseInsensitiveNames) {
    // Names are folded before they are compared: no byte shortcut applies.
  } else if (literal_run(0, t, lit)) {
    m_kind = Kind::Exact;
    m_bytes = encode(lit);
  } else if (t >= 1 && m_tokens[0].type == Token::Star && (lit.clear(), literal_run(1, t, lit))) {
    m_kind = Kind::Suffix;
    m_bytes = encode(lit);
  } else if (t >= 1 && m_tokens[t - 1].type == Token::Star &&
             (lit.clear(), literal_run(0, t - 1, lit))) {
    m_kind = Kind::Prefix;
    m_bytes = encode(lit);
  }
}

bool NameMatcher::token_matches(const Token& t, char32_t cp) const noexcept {
  switch (t.type) {
    case Token::Char:
      return t.cp == cp;
    case Token::Any:
      return true;
    case Token::Set:
      return m_sets[t.set].contains(cp);
    case Token::Star:
      break;
  }
  return false;
}

// The classic glob matcher: on a mismatch, retry from the last star with one more character
// swallowed. Equivalent to the regex fnmatch builds ((?>.*?X) groups commit to the leftmost
// occurrence of each fixed-width piece, which is always a right choice).
bool NameMatcher::match_general(const std::u32string& name) const {
  std::size_t ti = 0, ni = 0;
  std::size_t star_t = SIZE_MAX, star_n = 0;
  const std::size_t tn = m_tokens.size(), nn = name.size();
  while (ni < nn) {
    if (ti < tn && m_tokens[ti].type == Token::Star) {
      star_t = ti++;
      star_n = ni;
    } else if (ti < tn && token_matches(m_tokens[ti], name[ni])) {
      ++ti;
      ++ni;
    } else if (star_t != SIZE_MAX) {
      ti = star_t + 1;
      ni = ++star_n;
    } else {
      return false;
    }
  }
  while (ti < tn && m_tokens[ti].type == Token::Star) ++ti;
  return ti == tn;
}

bool NameMatcher::matches_os_name(std::string_view name) const {
  switch (m_kind) {
    case Kind::Everything:
      return true;
    case Kind::Exact:
      return name == m_bytes;
    case Kind::Suffix:
      return name.size() >= m_bytes.size() &&
             std::memcmp(name.data() + name.size() - m_bytes.size(), m_bytes.data(),
                         m_bytes.size()) == 0;
    case Kind::Prefix:
      return name.size() >= m_bytes.size() &&
             std::memcmp(name.data(), m_bytes.data(), m_bytes.size()) == 0;
    case Kind::General:
      break;
  }
  m_scratch.clear();
  os::name_code_points(name, m_scratch);
  if constexpr (os::kCaseInsensitiveNames) {
    for (char32_t& c : m_scratch) c = os::fold_case(c);
  }
  return match_general(m_scratch);
}

}  // namespace talmek::scrivel::walk
