// A port of CPython's JSON decoder (Lib/json/decoder.py with the C scanner of Modules/_json.c:
// scan_once_unicode, _parse_object_unicode, _parse_array_unicode, _match_number_unicode,
// scanstring_unicode), kept in the same order of checks so that the first fault and its position
// are the same. Deliberate differences: the scanner keeps its own stack of open containers
// instead of recursing, so no depth of nesting can exhaust the C stack (CPython gives up with a
// RecursionError somewhere near 100,000 levels); and positions are byte offsets while scanning,
// turned into code point offsets only when a fault is reported.
#include "scrivel/json/decode.h"

#include <locale.h>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "scrivel/main_loop.h"

namespace talmek::scrivel::json {

namespace {

// Python's int() refuses decimal strings longer than this (sys.get_int_max_str_digits()).
constexpr std::size_t kMaxIntDigits = 4300;
// Beyond this many members an object indexes its keys, so duplicate detection stays linear.
constexpr std::size_t kIndexThreshold = 16;

struct Fault {
  const char* msg;
  std::size_t at;  // byte offset
};

inline bool is_ws(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// float(text) for the JSON number syntax: correctly rounded, overflow to infinity and underflow
// to zero as CPython's strtod gives them.
double parse_double(std::string_view s) {
  double d = 0.0;
  const auto res = std::from_chars(s.data(), s.data() + s.size(), d);
  if (res.ec == std::errc()) return d;
  // Out of range: strtod in the C locale gives the infinity, zero or subnormal that Python gives.
  const std::string copy(s);
#ifdef _WIN32
  static const _locale_t c_locale = _create_locale(LC_ALL, "C");
  return _strtod_l(copy.c_str(), nullptr, c_locale);
#else
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return strtod_l(copy.c_str(), nullptr, c_locale);
#endif
}

class Decoder {
 public:
  explicit Decoder(std::string_view s) : m_s(s), m_n(s.size()) {}

  // JSONDecoder.decode: skip white space, scan one value, skip white space, require the end.
  Value run() {
    std::size_t idx = skip_ws(0);
    Value v = scan(idx);
    idx = skip_ws(m_end);
    if (idx != m_n) throw Fault{"Extra data", idx};
    return v;
  }

 private:
  struct Frame {
    bool is_object = false;
    Array array;
    Object object;
    std::string key;  // the key whose value is being scanned (objects)
    std::unique_ptr<std::unordered_map<std::string, std::size_t>> index;
  };

  std::size_t skip_ws(std::size_t i) const noexcept {
    while (i < m_n && is_ws(m_s[i])) ++i;
    return i;
  }

  bool matches(std::size_t i, std::string_view word) const noexcept {
    return m_s.substr(i, word.size()) == word;
  }

  // scan_once over the whole nesting: an explicit stack replaces the recursion of CPython's
  // scanner. Returns the value that starts at `idx`; m_end is left just after it.
  Value scan(std::size_t idx) {
    std::vector<Frame> stack;
    Value v;
    for (;;) {
      // --- scan one value at idx, or open a container
      if (idx >= m_n) throw Fault{"Expecting value", idx};  // StopIteration(idx)
      const char c = m_s[idx];
      bool opened = false;
      if (c == '"') {
        std::string s;
        idx = scan_string(idx + 1, s);
        v = Value(std::move(s));
      } else if (c == '{' || c == '[') {
        const bool obj = c == '{';
        idx = skip_ws(idx + 1);
        if (idx < m_n && m_s[idx] == (obj ? '}' : ']')) {
          ++idx;
          v = obj ? Value(Object{}) : Value(Array{});
        } else {
          stack.emplace_back().is_object = obj;
          opened = true;
        }
      } else {
        idx = scan_scalar(idx, v);
      }
      if (opened) {
        if (stack.back().is_object) idx = scan_key(idx, stack.back().key);
        continue;
      }
      // --- a complete value `v` ends at idx: hand it to the innermost open container
      for (;;) {
        if (stack.empty()) {
          m_end = idx;
          return v;
        }
        Frame& f = stack.back();
        if (f.is_object)
          add_member(f, std::move(v));
        else
          f.array.push_back(std::move(v));
        idx = skip_ws(idx);
        const char closer = f.is_object ? '}' : ']';
        if (idx < m_n && m_s[idx] == closer) {
          ++idx;
          v = f.is_object ? Value(std::move(f.object)) : Value(std::move(f.array));
          stack.pop_back();
          continue;  // the closed container is itself a complete value
        }
        if (idx >= m_n || m_s[idx] != ',') throw Fault{"Expecting ',' delimiter", idx};
        const std::size_t comma = idx;
        idx = skip_ws(idx + 1);
        if (idx < m_n && m_s[idx] == closer)
          throw Fault{f.is_object ? "Illegal trailing comma before end of object"
                                  : "Illegal trailing comma before end of array",
                      comma};
        if (f.is_object) idx = scan_key(idx, f.key);
        break;
      }
    }
  }

  // The key of an object member and its colon; returns the index of the member's value.
  std::size_t scan_key(std::size_t idx, std::string& key) {
    if (idx >= m_n || m_s[idx] != '"')
      throw Fault{"Expecting property name enclosed in double quotes", idx};
    key.clear();
    idx = skip_ws(scan_string(idx + 1, key));
    if (idx >= m_n || m_s[idx] != ':') throw Fault{"Expecting ':' delimiter", idx};
    return skip_ws(idx + 1);
  }

  // dict[key] = value: a repeated key keeps its first position and takes the new value.
  static void add_member(Frame& f, Value&& v) {
    Object& o = f.object;
    if (f.index) {
      auto [it, fresh] = f.index->try_emplace(f.key, o.size());
      if (!fresh) {
        o[it->second].value = std::move(v);
        return;
      }
    } else {
      for (Member& m : o)
        if (m.key == f.key) {
          m.value = std::move(v);
          return;
        }
      if (o.size() + 1 >= kIndexThreshold) {
        f.index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
        for (std::size_t i = 0; i < o.size(); ++i) f.index->emplace(o[i].key, i);
        f.index->emplace(f.key, o.size());
      }
    }
    o.push_back(Member{std::move(f.key), std::move(v)});
    f.key.clear();
  }

  // Named constants and numbers (scan_once_unicode's cases, then _match_number_unicode).
  std::size_t scan_scalar(std::size_t idx, Value& v) {
    switch (m_s[idx]) {
      case 'n':
        if (matches(idx, "null")) return v = Value(nullptr), idx + 4;
        break;
      case 't':
        if (matches(idx, "true")) return v = Value(true), idx + 4;
        break;
      case 'f':
        if (matches(idx, "false")) return v = Value(false), idx + 5;
        break;
      case 'N':
        if (matches(idx, "NaN"))
          return v = Value(std::numeric_limits<double>::quiet_NaN()), idx + 3;
        break;
      case 'I':
        if (matches(idx, "Infinity"))
          return v = Value(std::numeric_limits<double>::infinity()), idx + 8;
        break;
      case '-':
        if (matches(idx, "-Infinity"))
          return v = Value(-std::numeric_limits<double>::infinity()), idx + 9;
        break;
      default:
        break;
    }
    return scan_number(idx, v);
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
  std::size_t scan_number(const std::size_t start, Value& v) {
    std::size_t idx = start;
    if (m_s[idx] == '-') {
      ++idx;
      if (idx >= m_n) throw Fault{"Expecting value", start};
    }
    const std::size_t int_start = idx;
    if (m_s[idx] >= '1' && m_s[idx] <= '9') {
      ++idx;
      while (idx < m_n && is_digit(m_s[idx])) ++idx;
    } else if (m_s[idx] == '0') {
      ++idx;
    } else {
      throw Fault{"Expecting value", start};
    }
    const std::size_t int_end = idx;
    bool is_float = false;
    if (idx + 1 < m_n && m_s[idx] == '.' && is_digit(m_s[idx + 1])) {
      is_float = true;
      idx += 2;
      while (idx < m_n && is_digit(m_s[idx])) ++idx;
    }
    if (idx + 1 < m_n && (m_s[idx] == 'e' || m_s[idx] == 'E')) {
      const std::size_t e_start = idx;
      ++idx;
      if (idx + 1 < m_n && (m_s[idx] == '-' || m_s[idx] == '+')) ++idx;
      const std::size_t digits = idx;
      while (idx < m_n && is_digit(m_s[idx])) ++idx;
      if (idx > digits)
        is_float = true;
      else
        idx = e_start;
    }
    const std::string_view num = m_s.substr(start, idx - start);
    if (is_float) {
      v = Value(parse_double(num));
      return idx;
    }
    const std::size_t ndigits = int_end - int_start;
    if (ndigits > kMaxIntDigits)
      throw FatalRequestError(
          PyErrorClass::ValueError,
          "Exceeds the limit (" + std::to_string(kMaxIntDigits) +
              " digits) for integer string conversion: value has " + std::to_string(ndigits) +
              " digits; use sys.set_int_max_str_digits() to increase the limit");
    const bool negative = m_s[start] == '-';
    if (ndigits <= 19) {
      std::uint64_t u = 0;
      for (std::size_t i = int_start; i < int_end; ++i)
        u = u * 10 + static_cast<std::uint64_t>(m_s[i] - '0');  // 19 digits fit in uint64
      constexpr std::uint64_t kMax = static_cast<std::uint64_t>(INT64_MAX);
      if (!negative && u <= kMax) {
        v = Value(static_cast<std::int64_t>(u));
        return idx;
      }
      if (negative && u <= kMax + 1) {
        v = Value(u == kMax + 1 ? INT64_MIN : -static_cast<std::int64_t>(u));
        return idx;
      }
    }
    v = Value(BigInt{std::string(num)});
    return idx;
  }

  // scanstring_unicode: `idx` is just after the opening quote; appends the decoded text to `out`
  // and returns the index just after the closing quote.
  std::size_t scan_string(std::size_t idx, std::string& out) {
    const std::size_t begin = idx - 1;
    for (;;) {
      // The run up to the next quote or backslash, refusing control characters.
      std::size_t next = idx;
      while (next < m_n) {
        const auto d = static_cast<unsigned char>(m_s[next]);
        if (d == '"' || d == '\\') break;
        if (d <= 0x1f) throw Fault{"Invalid control character at", next};
        ++next;
      }
      if (next >= m_n) throw Fault{"Unterminated string starting at", begin};
      out.append(m_s.data() + idx, next - idx);
      if (m_s[next] == '"') return next + 1;
      ++next;  // past the backslash
      if (next == m_n) throw Fault{"Unterminated string starting at", begin};
      const char e = m_s[next];
      if (e != 'u') {
        char c;
        switch (e) {
          case '"':
            c = '"';
            break;
          case '\\':
            c = '\\';
            break;
          case '/':
            c = '/';
            break;
          case 'b':
            c = '\b';
            break;
          case 'f':
            c = '\f';
            break;
          case 'n':
            c = '\n';
            break;
          case 'r':
            c = '\r';
            break;
          case 't':
            c = '\t';
            break;
          default:
            throw Fault{"Invalid \\escape", next - 1};
        }
        out += c;
        idx = next + 1;
        continue;
      }
      // \uXXXX; a high surrogate directly followed by an escaped low one makes one code point.
      ++next;  // first hex digit
      std::size_t end = next + 4;
      if (end > m_n) throw Fault{"Invalid \\uXXXX escape", next - 1};
      char32_t cp = read_hex4(next, end - 5);
      if (cp >= 0xD800 && cp <= 0xDBFF && end + 6 < m_n && m_s[end] == '\\' &&
          m_s[end + 1] == 'u') {
        const char32_t low = read_hex4(end + 2, end + 1);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          end += 6;
        }
      }
      text::append_cp(out, cp);
      idx = end;
    }
  }

  // Four hex digits at `at`; a bad digit is reported at `fault_at` (the escape's 'u').
  char32_t read_hex4(std::size_t at, std::size_t fault_at) const {
    char32_t cp = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int h = hex_value(m_s[at + k]);
      if (h < 0) throw Fault{"Invalid \\uXXXX escape", fault_at};
      cp = (cp << 4) | static_cast<char32_t>(h);
    }
    return cp;
  }

  std::string_view m_s;
  std::size_t m_n;
  std::size_t m_end = 0;
};

}  // namespace

std::string DecodeError::message() const {
  return msg + ": line " + std::to_string(lineno) + " column " + std::to_string(colno) + " (char " +
         std::to_string(pos) + ")";
}

bool decode(std::string_view text, Value& out, DecodeError& err) {
  std::size_t at;
  const char* msg;
  // json.loads refuses a str that starts with a byte-order mark before it scans anything.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    msg = "Unexpected UTF-8 BOM (decode using utf-8-sig)";
    at = 0;
  } else {
    try {
      out = Decoder(text).run();
      return true;
    } catch (const Fault& f) {
      msg = f.msg;
      at = f.at;
    }
  }
  // json.decoder.JSONDecodeError: line and column from the offset, all in code points.
  const std::string_view before = text.substr(0, at);
  err.msg = msg;
  err.pos = text::count_cps(before);
  std::size_t lines = 0;
  for (char c : before) lines += c == '\n';
  err.lineno = lines + 1;
  const std::size_t nl = before.rfind('\n');
  err.colno =
      nl == std::string_view::npos ? err.pos + 1 : err.pos - text::count_cps(before.substr(0, nl));
  return false;
}

}  // namespace talmek::scrivel::json
