// Python `re` patterns run by PCRE2 (UTF, UCP, JIT-compiled), for grep_files.
//
// PCRE2 is the engine closest to Python's syntax, but not equal to it. Before compiling we
// rewrite what differs: \Z is PCRE2's \z, {,n} is {0,n}, \v is a character not a class, \uXXXX
// and \UXXXXXXXX are \x{...}, \s also covers U+001C..U+001F as str.isspace does, a "[" inside a
// set is literal, and escapes that Python refuses (\e, \h, \K, \R, ...) are refused here too
// rather than taking PCRE2's meaning. The most common compile errors are reported with Python's
// own re.error text and position; the rest carry PCRE2's message.
//
// Searches run under a match limit: a pattern that backtracks catastrophically ends the search
// with an error instead of hanging the worker.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace talmek::scrivel::search {

// A compiled pattern. Immutable once built: any number of threads may search with it at once,
// each through its own Matcher.
class Regex {
 public:
  // re.compile(pattern) with no flags. Throws OpError with a readable description.
  explicit Regex(std::string_view pattern);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // True when whether the pattern matches at a place depends only on the characters it
  // consumes: no anchors, word boundaries or lookarounds. Such a pattern can be run over a
  // whole buffer and its matches mapped back to lines.
  bool context_free() const noexcept { return m_context_free; }

  // Text (UTF-8) that every match holds, case for case; empty when the pattern promises none.
  // A line without it cannot match, so a search can skip straight to the lines that hold it.
  const std::string& required_literal() const noexcept { return m_required; }

 private:
  friend class Matcher;
  struct Impl;
  std::unique_ptr<Impl> m;
  bool m_context_free = true;
  std::string m_required;
};

// What one thread needs to search with a Regex: PCRE2's match data, and the match context with
// the limits and its own JIT stack. The Regex must outlive it; one Matcher per thread.
class Matcher {
 public:
  explicit Matcher(const Regex& re);
  ~Matcher();
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  const Regex& regex() const noexcept { return m_re; }

  // Searches subject[start:] for the leftmost match; on success sets [begin, end) and returns
  // true. `subject` must be valid UTF-8 (checked by the caller, so PCRE2 does not recheck it);
  // the subject's own ends are its ends ("$" and lookarounds see nothing beyond them). Throws
  // OpError when the match limit is exceeded.
  bool search(std::string_view subject, std::size_t start, std::size_t& begin, std::size_t& end);

 private:
  struct State;
  const Regex& m_re;
  std::unique_ptr<State> m;
};

}  // namespace talmek::scrivel::search
