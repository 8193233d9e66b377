// Shell-style name patterns with the exact meaning of Python's fnmatch.fnmatchcase.
//
// A pattern is compiled once into tokens (a code point, "?", "*" or a bracketed set) by a port of
// fnmatch._translate, so that the odd corners of bracket parsing ("[]a]", "[!]a]", ranges whose
// ends are reversed, an unclosed "[") come out as CPython reads them. Matching runs over the
// name's code points; names from the operating system are decoded on the fly the way os.fsdecode
// decodes them (an undecodable byte b is U+DC00 + b), so no text is built per entry. Where the
// platform's names ignore letter case (Windows), pattern and name are both case-folded first,
// as fnmatch.fnmatch (os.path.normcase) and the glob (re.IGNORECASE) compare them there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talmek::scrivel::walk {

class NameMatcher {
 public:
  // `pattern` is text (code points in UTF-8 form, surrogates allowed). Throws OpError with the
  // message Python's translation raises for the few patterns it cannot translate.
  explicit NameMatcher(std::string_view pattern);

  // fnmatchcase(os.fsdecode(name), pattern) for a name in the OS's form (case folded first
  // where names ignore case).
  bool matches_os_name(std::string_view name) const;

  // True when the pattern is "*": every name matches.
  bool matches_everything() const noexcept { return m_kind == Kind::Everything; }

 private:
  struct CharSet {
    bool negated = false;
    std::vector<std::pair<char32_t, char32_t>> ranges;  // inclusive
    bool contains(char32_t cp) const noexcept;
  };
  struct Token {
    enum Type : std::uint8_t { Char, Any, Star, Set } type;
    char32_t cp = 0;        // Char
    std::uint32_t set = 0;  // Set: index into m_sets
  };
  // Shapes common enough to deserve a byte comparison instead of the general matcher.
  enum class Kind { Everything, Exact, Suffix, Prefix, General };

  bool token_matches(const Token& t, char32_t cp) const noexcept;
  bool match_general(const std::u32string& name) const;

  std::vector<Token> m_tokens;
  std::vector<CharSet> m_sets;
  Kind m_kind = Kind::General;
  std::string m_bytes;               // Exact / Suffix / Prefix: the literal part as name bytes
  mutable std::u32string m_scratch;  // decoded name, reused between calls
};

}  // namespace talmek::scrivel::walk
