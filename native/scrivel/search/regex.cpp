// Python `re` syntax translated to PCRE2, compiled with JIT, searched under a match limit.
#define PCRE2_CODE_UNIT_WIDTH 8
#include "scrivel/search/regex.h"

#include <pcre2.h>

#include <cstdio>
#include <new>
#include <vector>

#include "common/os_error.h"
#include "common/text.h"

namespace talmek::scrivel::search {

namespace {

// Enough for any sane pattern on any sane line, and reached in well under a second by the
// classic catastrophic ones ("(a+)+$" on a long run of a's): the search then fails instead of
// running for hours.
constexpr std::uint32_t kMatchLimit = 20'000'000;
constexpr std::uint32_t kDepthLimit = 100'000;
constexpr std::size_t kJitStackMax = 8 * 1024 * 1024;

// Python's re.error text: "<msg> at position <pos>", plus the line and column when the
// pattern spans several lines.
[[noreturn]] void re_error(const std::u32string& pattern, const std::string& msg, std::size_t pos) {
  std::string out = msg + " at position " + std::to_string(pos);
  std::size_t newlines = 0, last_nl = std::u32string::npos;
  bool any_nl = false;
  for (std::size_t k = 0; k < pattern.size(); ++k) {
    if (pattern[k] != '\n') continue;
    any_nl = true;
    if (k < pos) {
      ++newlines;
      last_nl = k;
    }
  }
  if (any_nl) {
    const std::size_t col = last_nl == std::u32string::npos ? pos + 1 : pos - last_nl;
    out += " (line " + std::to_string(newlines + 1) + ", column " + std::to_string(col) + ")";
  }
  throw OpError(out);
}

bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_octal(char32_t c) { return c >= '0' && c <= '7'; }
bool is_hex(char32_t c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_ascii_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string hex(char32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\x{%x}", static_cast<unsigned>(v));
  return buf;
}

// A pattern piece that can never match text read from a file (a lone surrogate: file text is
// decoded strictly or with U+FFFD, never into surrogates). PCRE2 cannot hold surrogates.
constexpr std::string_view kNever = "(?!)";

class Translator {
 public:
  explicit Translator(std::string_view pattern) {
    for (std::size_t k = 0; k < pattern.size();) m_src += text::next_cp(pattern, k);
  }

  void run() {
    const std::size_t n = m_src.size();
    while (m_i < n) {
      const std::size_t p = m_i;
      const char32_t c = m_src[m_i++];
      if (m_verbose && (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'))
        continue;
      if (m_verbose && c == '#') {
        while (m_i < n && m_src[m_i] != '\n') ++m_i;
        continue;
      }
      m_lit_added = false;
      switch (c) {
        case '\\':
          escape(p, false);
          break;
        case '[':
          char_class(p);
          break;
        case '(':
          group(p);
          break;
        case ')':
          if (m_open.empty()) re_error(m_src, "unbalanced parenthesis", p);
          m_open.pop_back();
          emit(")", p);
          m_last = Last::Item;
          break;
        case '|':
          emit("|", p);
          m_last = Last::None;
          if (m_open.empty()) m_alternation = true;
          break;
        case '*':
        case '+':
        case '?':
          quantifier(p, std::string(1, static_cast<char>(c)));
          break;
        case '{':
          brace(p);
          break;
        case '.':
          emit(".", p);
          m_last = Last::Item;
          break;
        case '^':
        case '$':
          emit(c == '^' ? "^" : "$", p);
          m_context_free = false;
          m_last = Last::Anchor;
          break;
        default:
          literal(c, p);
          if (!text::is_surrogate(c)) lit_add(c);
          m_last = Last::Item;
          break;
      }
      // Required literal bookkeeping: a quantified character is not required; anything that
      // is not a plain character at the top level ends the run of required characters.
      if (m_was_quant) {
        if (m_prev_lit) lit_drop_last();
        lit_break();
        m_was_quant = m_prev_lit = false;
      } else if (!m_lit_added) {
        lit_break();
        m_prev_lit = false;
      } else {
        m_prev_lit = true;
      }
      if (m_skip_seen)
        m_skip_seen = false;
      else
        m_seen_item = true;
    }
    if (!m_open.empty()) re_error(m_src, "missing ), unterminated subpattern", m_open.back());
    lit_break();
    if (m_alternation || m_icase || m_verbose) m_best.clear();
  }

  // A run of characters that every match must contain, as UTF-8 (empty when none is known).
  const std::string& required_literal() const { return m_best; }

  std::string out;
  std::vector<std::uint32_t> out_pos;  // source position of each output byte
  bool ascii = false;
  const std::u32string& source() const { return m_src; }
  bool context_free() const { return m_context_free; }

 private:
  enum class Last { None, Item, Anchor, Quant, QuantMod };

  void emit(std::string_view s, std::size_t p) {
    out += s;
    out_pos.insert(out_pos.end(), s.size(), static_cast<std::uint32_t>(p));
  }

  void literal(char32_t c, std::size_t p) {
    if (text::is_surrogate(c)) {
      emit(kNever, p);
    } else if (c < 0x80 && !is_ascii_letter(c) && !is_digit(c) && c >= 0x20 && c != 0x7f) {
      // Punctuation: escaped, so that PCRE2 never reads it as syntax of its own ("#" under
      // (?x) aside, which both engines treat alike).
      std::string s = "\\";
      s += static_cast<char>(c);
      emit(s, p);
    } else if (c < 0x20 || c == 0x7f) {
      emit(hex(c), p);
    } else {
      std::string s;
      text::append_cp(s, c);
      emit(s, p);
    }
  }

  char32_t peek(std::size_t k = 0) const {
    return m_i + k < m_src.size() ? m_src[m_i + k] : char32_t(0xFFFFFFFF);
  }

  std::string src_text(std::size_t from, std::size_t to) const {
    std::string s;
    for (std::size_t k = from; k < to; ++k) text::append_cp(s, m_src[k]);
    return s;
  }

  void lit_add(char32_t c) {
    if (!m_open.empty()) return;
    text::append_cp(m_run, c);
    m_lit_added = true;
  }
  void lit_drop_last() {
    while (!m_run.empty() && (static_cast<unsigned char>(m_run.back()) & 0xC0) == 0x80)
      m_run.pop_back();
    if (!m_run.empty()) m_run.pop_back();
  }
  void lit_break() {
    if (m_run.size() > m_best.size()) m_best = m_run;
    m_run.clear();
  }

  void quantifier(std::size_t p, const std::string& q) {
    m_was_quant = true;
    switch (m_last) {
      case Last::None:
      case Last::Anchor:
        re_error(m_src, "nothing to repeat", p);
      case Last::QuantMod:
        re_error(m_src, "multiple repeat", p);
      case Last::Quant:
        if (q != "?" && q != "+") re_error(m_src, "multiple repeat", p);
        emit(q, p);
        m_last = Last::QuantMod;
        return;
      case Last::Item:
        emit(q, p);
        m_last = Last::Quant;
        return;
    }
  }

  // "{m,n}" as Python reads it: a quantifier when it is well formed, else a literal "{".
  void brace(std::size_t p) {
    std::size_t k = m_i;
    auto literal_brace = [&] {
      emit("\\{", p);
      m_last = Last::Item;
    };
    if (peek() == '}') return literal_brace();
    std::string lo, hi;
    while (k < m_src.size() && is_digit(m_src[k])) lo += static_cast<char>(m_src[k++]);
    bool comma = false;
    if (k < m_src.size() && m_src[k] == ',') {
      comma = true;
      ++k;
      while (k < m_src.size() && is_digit(m_src[k])) hi += static_cast<char>(m_src[k++]);
    } else {
      hi = lo;
    }
    if (k >= m_src.size() || m_src[k] != '}') return literal_brace();
    m_i = k + 1;
    // Python allows counts up to 2**32 - 2; PCRE2 up to 65535 and says so itself.
    auto value = [](const std::string& s) {
      return s.size() > 9 ? 999'999'999ull : std::stoull(s);
    };
    if (!lo.empty() && !hi.empty() && value(hi) < value(lo))
      re_error(m_src, "min repeat greater than max repeat", p + 1);
    std::string q = "{" + (lo.empty() ? std::string("0") : lo);
    if (comma || lo != hi) q += "," + hi;
    q += "}";
    quantifier(p, q);
  }

  // One escape sequence at m_src[p] == '\\'. Inside a set only character escapes and the
  // class escapes are allowed, as in Python's _class_escape.
  void escape(std::size_t p, bool in_class) {
    if (m_i >= m_src.size()) re_error(m_src, "bad escape (end of pattern)", p);
    const char32_t d = m_src[m_i++];
    m_last = Last::Item;
    auto bad = [&] { re_error(m_src, "bad escape " + src_text(p, m_i), p); };
    switch (d) {
      case 'A':
      case 'Z':
      case 'z':
      case 'b':
      case 'B':
        if (in_class) {
          if (d != 'b') bad();
          emit("\\x{8}", p);  // backspace inside a set
          return;
        }
        emit(d == 'Z' || d == 'z' ? "\\z" : d == 'A' ? "\\A" : d == 'b' ? "\\b" : "\\B", p);
        m_context_free = false;
        m_last = Last::Anchor;
        return;
      case 'd':
      case 'D':
      case 'w':
      case 'W':
      case 'a':
      case 'f':
      case 'n':
      case 'r':
      case 't': {
        const char s[3] = {'\\', static_cast<char>(d), 0};
        emit(s, p);
        return;
      }
      case 's':
        // str.isspace() also holds U+001C..U+001F, which PCRE2's \s leaves out.
        emit(in_class ? "\\s\\x{1c}-\\x{1f}" : "[\\s\\x{1c}-\\x{1f}]", p);
        return;
      case 'S':
        emit(in_class ? "\\S" : "[^\\s\\x{1c}-\\x{1f}]", p);
        return;
      case 'v':
        emit("\\x{b}", p);  // a character in Python, a class in PCRE2
        return;
      case 'x':
      case 'u':
      case 'U': {
        const std::size_t want = d == 'x' ? 2 : d == 'u' ? 4 : 8;
        char32_t v = 0;
        std::size_t got = 0;
        while (got < want && m_i < m_src.size() && is_hex(m_src[m_i])) {
          const char32_t h = m_src[m_i++];
          v = v * 16 + (is_digit(h) ? h - '0' : (h | 0x20) - 'a' + 10);
          ++got;
        }
        if (got != want) re_error(m_src, "incomplete escape " + src_text(p, m_i), p);
        if (v > 0x10FFFF) bad();
        if (text::is_surrogate(v))
          emit(kNever, p);
        else
          emit(hex(v), p);
        return;
      }
      case 'N':
        re_error(m_src, "named character escapes (\\N{...}) are not supported", p);
      default:
        break;
    }
    if (is_digit(d)) {
      // Octal: \0 with up to two more digits, or three octal digits; otherwise (outside a
      // set) a group reference of one or two digits.
      std::size_t start = m_i - 1;
      if (d == '0') {
        char32_t v = 0;
        std::size_t k = start + 1;
        for (int extra = 0; extra < 2 && k < m_src.size() && is_octal(m_src[k]); ++extra)
          v = v * 8 + (m_src[k++] - '0');
        m_i = k;
        emit(hex(v), p);
        return;
      }
      if (is_octal(d) && m_i + 1 < m_src.size() && is_octal(m_src[m_i]) &&
          is_octal(m_src[m_i + 1])) {
        const char32_t v = (d - '0') * 64 + (m_src[m_i] - '0') * 8 + (m_src[m_i + 1] - '0');
        m_i += 2;
        if (v > 0377)
          re_error(m_src, "octal escape value " + src_text(p, m_i) + " outside of range 0-0o377",
                   p);
        emit(hex(v), p);
        return;
      }
      if (in_class) bad();
      std::string num(1, static_cast<char>(d));
      if (m_i < m_src.size() && is_digit(m_src[m_i])) num += static_cast<char>(m_src[m_i++]);
      emit("\\g{" + num + "}", p);
      return;
    }
    if (is_ascii_letter(d)) bad();
    literal(d, p);
    if (!in_class && !text::is_surrogate(d)) lit_add(d);
  }

  void char_class(std::size_t p) {
    std::string body = "[";
    const std::size_t n = m_src.size();
    if (m_i < n && m_src[m_i] == '^') {
      body += '^';
      ++m_i;
    }
    emit(body, p);
    bool first = true;
    for (;;) {
      if (m_i >= n) re_error(m_src, "unterminated character set", p);
      const std::size_t q = m_i;
      const char32_t c = m_src[m_i];
      if (c == ']' && !first) {
        ++m_i;
        break;
      }
      first = false;
      // One element, possibly the start of a range.
      char32_t lo_cp = 0;
      bool lo_is_char = element(q, lo_cp);
      if (m_i + 1 < n && m_src[m_i] == '-' && m_src[m_i + 1] != ']') {
        const std::size_t dash = m_i;
        ++m_i;
        emit("-", dash);
        const std::size_t r = m_i;
        char32_t hi_cp = 0;
        const bool hi_is_char = element(r, hi_cp);
        if (!lo_is_char || !hi_is_char || hi_cp < lo_cp)
          re_error(m_src, "bad character range " + src_text(q, m_i), q);
      }
    }
    emit("]", m_i - 1);
    m_last = Last::Item;
  }

  // One set member at q: emits it and tells whether it is a single character (and which).
  bool element(std::size_t q, char32_t& cp) {
    const char32_t c = m_src[m_i++];
    if (c != '\\') {
      cp = c;
      literal(c, q);
      return true;
    }
    const std::size_t before = out.size();
    escape(q, true);
    // A single-character escape came out as \x{...}, \a, \f, \n, \r, \t or an escaped
    // punctuation character: recover its value for the range check.
    const std::string_view e = std::string_view(out).substr(before);
    if (e.starts_with("\\x{")) {
      cp = static_cast<char32_t>(std::stoul(std::string(e.substr(3)), nullptr, 16));
      return true;
    }
    if (e.size() == 2 && e[0] == '\\') {
      switch (e[1]) {
        case 'a':
          cp = 7;
          return true;
        case 'f':
          cp = 12;
          return true;
        case 'n':
          cp = 10;
          return true;
        case 'r':
          cp = 13;
          return true;
        case 't':
          cp = 9;
          return true;
        case 'd':
        case 'D':
        case 'w':
        case 'W':
        case 's':
        case 'S':
          return false;
        default:
          cp = static_cast<unsigned char>(e[1]);
          return true;
      }
    }
    if (e.size() >= 1 && e[0] != '\\' && e != kNever) {
      std::size_t k = 0;
      cp = text::next_cp(e, k);
      return true;
    }
    return false;
  }

  void group(std::size_t p) {
    if (peek() != '?') {
      emit("(", p);
      m_open.push_back(p);
      m_last = Last::None;
      return;
    }
    ++m_i;  // '?'
    const char32_t q = peek();
    auto open_with = [&](std::string_view s) {
      emit(s, p);
      m_open.push_back(p);
      m_last = Last::None;
    };
    auto copy_to_close = [&](const char* what) {
      // Copies a name up to and including ")" or ">" as it stands.
      std::string s;
      while (m_i < m_src.size() && m_src[m_i] != ')') text::append_cp(s, m_src[m_i++]);
      if (m_i >= m_src.size()) re_error(m_src, what, p);
      ++m_i;
      return s;
    };
    switch (q) {
      case ':':
        ++m_i;
        return open_with("(?:");
      case '>':
        ++m_i;
        return open_with("(?>");
      case '=':
      case '!':
        ++m_i;
        m_context_free = false;
        return open_with(q == '=' ? "(?=" : "(?!");
      case '<':
        if (peek(1) == '=' || peek(1) == '!') {
          const bool ahead_eq = peek(1) == '=';
          m_i += 2;
          m_context_free = false;
          return open_with(ahead_eq ? "(?<=" : "(?<!");
        }
        re_error(m_src, "unknown extension ?<" + src_text(m_i + 1, std::min(m_i + 2, m_src.size())),
                 p + 1);
      case '#': {
        while (m_i < m_src.size() && m_src[m_i] != ')') ++m_i;
        if (m_i >= m_src.size()) re_error(m_src, "missing ), unterminated comment", p);
        ++m_i;
        // A comment is transparent, except that a "?" or "+" after it is a second repeat, not
        // a lazy or possessive mark on the first.
        if (m_last == Last::Quant) m_last = Last::QuantMod;
        return;
      }
      case 'P': {
        const char32_t k = peek(1);
        if (k == '<') {
          m_i += 2;
          std::string name;
          while (m_i < m_src.size() && m_src[m_i] != '>') text::append_cp(name, m_src[m_i++]);
          if (m_i >= m_src.size()) re_error(m_src, "missing >, unterminated name", p + 4);
          ++m_i;
          return open_with("(?P<" + name + ">");
        }
        if (k == '=') {
          m_i += 2;
          const std::string name = copy_to_close("missing ), unterminated name");
          emit("(?P=" + name + ")", p);
          m_last = Last::Item;
          return;
        }
        re_error(m_src, "unknown extension ?P" + src_text(m_i + 1, std::min(m_i + 2, m_src.size())),
                 p + 1);
      }
      case '(': {
        ++m_i;
        const std::string cond = copy_to_close("missing ), unterminated name");
        return open_with("(?(" + cond + ")");
      }
      default:
        break;
    }
    // Inline flags: "(?aiLmsux)" for the whole pattern, "(?flags-flags:...)" for a group.
    std::string kept;
    bool minus = false;
    const std::size_t flags_at = m_i;
    while (m_i < m_src.size()) {
      const char32_t f = m_src[m_i];
      if (f == '-') {
        minus = true;
        kept += '-';
      } else if (f == 'i' || f == 'm' || f == 's' || f == 'x') {
        kept += static_cast<char>(f);
      } else if (f == 'a') {
        if (!minus) ascii = true;
      } else if (f == 'u') {
      } else if (f == 'L') {
        re_error(m_src, "bad inline flags: cannot use 'L' flag with a str pattern", m_i + 1);
      } else {
        break;
      }
      ++m_i;
    }
    if (m_i >= m_src.size()) re_error(m_src, "missing -, : or )", m_i);
    const char32_t end = m_src[m_i];
    if (m_i == flags_at && end != ':' && end != ')')
      re_error(m_src, "unknown extension ?" + src_text(m_i, m_i + 1), p + 1);
    if (end == ')') {
      if (minus) re_error(m_src, "missing :", m_i);
      if (m_seen_item) re_error(m_src, "global flags not at the start of the expression", p);
      ++m_i;
      if (kept.find('x') != std::string::npos) m_verbose = true;
      if (kept.find('i') != std::string::npos) m_icase = true;
      if (!kept.empty()) emit("(?" + kept + ")", p);
      m_skip_seen = true;  // several global flag groups may lead the pattern
      return;
    }
    if (end != ':') re_error(m_src, "missing -, : or )", m_i);
    ++m_i;
    if (!kept.empty() && kept.back() == '-') kept.pop_back();
    open_with("(?" + kept + ":");
  }

  std::u32string m_src;
  bool m_skip_seen = false;  // the element just handled was a global flags group
  bool m_verbose = false;    // (?x): white space and "#" comments are not pattern
  bool m_icase = false;
  // The longest run of plain characters at the top level of a pattern without top-level
  // alternation: every match contains it.
  std::string m_run, m_best;
  bool m_lit_added = false, m_prev_lit = false, m_was_quant = false, m_alternation = false;
  std::size_t m_i = 0;
  std::vector<std::size_t> m_open;
  Last m_last = Last::None;
  bool m_seen_item = false;
  bool m_context_free = true;
};

std::string pcre2_message(int code) {
  PCRE2_UCHAR buf[256];
  const int n = pcre2_get_error_message(code, buf, sizeof buf);
  return n < 0 ? "regular expression error " + std::to_string(code)
               : std::string(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

}  // namespace

struct Regex::Impl {
  pcre2_code* code = nullptr;
  ~Impl() {
    if (code) pcre2_code_free(code);
  }
};

struct Matcher::State {
  pcre2_match_data* data = nullptr;
  pcre2_match_context* mctx = nullptr;
  pcre2_jit_stack* stack = nullptr;
  ~State() {
    if (data) pcre2_match_data_free(data);
    if (mctx) pcre2_match_context_free(mctx);
    if (stack) pcre2_jit_stack_free(stack);
  }
};

Regex::Regex(std::string_view pattern) : m(std::make_unique<Impl>()) {
  Translator t(pattern);
  t.run();
  m_context_free = t.context_free();
  m_required = t.required_literal();
  // Python's \d, \w, \s and \b are Unicode-aware for str patterns: PCRE2_UCP, unless (?a).
  std::uint32_t options = PCRE2_UTF | PCRE2_ALLOW_EMPTY_CLASS | PCRE2_NEVER_BACKSLASH_C;
  if (!t.ascii) options |= PCRE2_UCP;
  int err = 0;
  PCRE2_SIZE offset = 0;
  m->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(t.out.data()), t.out.size(), options, &err,
                          &offset, nullptr);
  if (!m->code) {
    const std::size_t pos = offset < t.out_pos.size() ? t.out_pos[offset] : t.source().size();
    re_error(t.source(), pcre2_message(err), pos);
  }
  // JIT makes PCRE2 several times faster; without it (an unsupported CPU) the interpreter
  // gives the same answers, so a failure here is not an error. Compiled here, before any
  // thread searches: the compiled code is only read from then on.
  pcre2_jit_compile(m->code, PCRE2_JIT_COMPLETE);
}

Regex::~Regex() = default;

Matcher::Matcher(const Regex& re) : m_re(re), m(std::make_unique<State>()) {
  // Only whether and where the whole match lies is wanted: one pair, whatever the groups.
  m->data = pcre2_match_data_create(1, nullptr);
  m->mctx = pcre2_match_context_create(nullptr);
  if (!m->data || !m->mctx) throw std::bad_alloc();
  pcre2_set_match_limit(m->mctx, kMatchLimit);
  pcre2_set_depth_limit(m->mctx, kDepthLimit);
  m->stack = pcre2_jit_stack_create(32 * 1024, kJitStackMax, nullptr);
  if (m->stack) pcre2_jit_stack_assign(m->mctx, nullptr, m->stack);
}

Matcher::~Matcher() = default;

bool Matcher::search(std::string_view subject, std::size_t start, std::size_t& begin,
                     std::size_t& end) {
  const int rc = pcre2_match(m_re.m->code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                             subject.size(), start, PCRE2_NO_UTF_CHECK, m->data, m->mctx);
  if (rc >= 0) {
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(m->data);
    begin = ov[0];
    end = ov[1];
    return true;
  }
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  switch (rc) {
    case PCRE2_ERROR_MATCHLIMIT:
    case PCRE2_ERROR_DEPTHLIMIT:
    case PCRE2_ERROR_HEAPLIMIT:
    case PCRE2_ERROR_JIT_STACKLIMIT:
      throw OpError("Regular expression search exceeded its backtracking limit (" +
                    pcre2_message(rc) + "); the pattern backtracks catastrophically");
    default:
      throw OpError("Regular expression search failed: " + pcre2_message(rc));
  }
}

}  // namespace talmek::scrivel::search
