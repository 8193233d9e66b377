// json.dumps with default settings: a port of the C encoder's ascii path (Modules/_json.c,
// ascii_escape_unicode and encoder_listencode_obj), walking nesting with its own stack.
#include "scrivel/json/encode.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/text.h"
#include "scrivel/dispatch.h"

namespace talmek::scrivel::json {

namespace {

// Bytes that go out unchanged: printable ASCII except the quotation mark and the backslash.
constexpr auto kPlain = [] {
  struct Table {
    bool v[256];
  } t{};
  for (int c = ' '; c <= '~'; ++c) t.v[c] = c != '"' && c != '\\';
  return t;
}();

// Whether eight bytes are all plain, tested together (bit tricks of "Bit Twiddling Hacks":
// a byte below 0x20 or above 0x7E, or equal to '"' or '\\', sets its high bit in `bad`).
inline bool all_plain(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  const auto has_zero = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
  const std::uint64_t below_space = (w - ones * 0x20) & ~w & highs;
  const std::uint64_t above_tilde = (w + ones * (0x80 - 0x7F)) | w;  // >= 0x7F sets the high bit
  const std::uint64_t bad = below_space | (above_tilde & highs) | has_zero(w ^ (ones * '"')) |
                            has_zero(w ^ (ones * '\\'));
  return bad == 0;
}

#if defined(__SSE2__)
// A bit per byte of the sixteen at `p` that is not plain. Bytes compare as signed: non-ASCII
// bytes are negative and fail the lower bound with the control characters.
inline unsigned not_plain16(const char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i printable =
      _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x1F)), _mm_cmplt_epi8(v, _mm_set1_epi8(0x7F)));
  const __m128i special =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(special, printable))) ^ 0xFFFFu;
}
#endif

// The end of the run of plain bytes of t[i, stop), sixteen or eight at a time first.
inline std::size_t plain_end(std::string_view t, std::size_t run, std::size_t stop) noexcept {
#if defined(__SSE2__)
  while (run + 16 <= stop) {
    const unsigned bad = not_plain16(t.data() + run);
    if (bad) return run + static_cast<std::size_t>(__builtin_ctz(bad));
    run += 16;
  }
#endif
  while (run + 8 <= stop && all_plain(t.data() + run)) run += 8;
  while (run < stop && kPlain.v[static_cast<unsigned char>(t[run])]) ++run;
  return run;
}

constexpr char kHex[] = "0123456789abcdef";

// The encoder's output: the string appended to and, when the caller gave one, the spill that
// takes its bytes whenever it holds enough of them.
struct Sink {
  std::string& out;
  const Output* spill;  // null: everything stays in `out`

  void check() {
    if (spill && out.size() >= spill->spill_at) flush();
  }
  void flush() {
    if (out.empty()) return;
    spill->spill(out);
    out.clear();
  }
};

// ListBuilder's piece size: pieces are filled to about this before a new one is started.
constexpr std::size_t kPiece = std::size_t{1} << 20;

// Writes \uXXXX at `o` and returns the position after it.
inline char* put_u(char* o, char32_t cp) noexcept {
  o[0] = '\\';
  o[1] = 'u';
  o[2] = kHex[(cp >> 12) & 0xF];
  o[3] = kHex[(cp >> 8) & 0xF];
  o[4] = kHex[(cp >> 4) & 0xF];
  o[5] = kHex[cp & 0xF];
  return o + 6;
}

void encode_float(double d, std::string& out) {
  if (std::isnan(d))
    out += "NaN";
  else if (std::isinf(d))
    out += d > 0 ? "Infinity" : "-Infinity";
  else
    out += py_float_repr(d);
}

void encode_string(std::string_view t, Sink& sink);

void encode_encoded_list(const EncodedList& list, Sink& sink) {
  std::string& out = sink.out;
  out += '[';
  bool first = true;
  for (const std::string& piece : list.pieces) {
    if (piece.empty()) continue;
    if (!first) out += ", ";
    first = false;
    if (sink.spill && piece.size() >= sink.spill->spill_at / 4) {
      // Written as it stands: a reply built of pieces is never copied into one buffer.
      sink.flush();
      sink.spill->spill(piece);
    } else {
      out += piece;
      sink.check();
    }
  }
  out += ']';
}

void encode_scalar(const Value& v, Sink& sink) {
  std::string& out = sink.out;
  const auto& s = v.storage();
  switch (s.index()) {
    case 0:
      out += "null";
      break;
    case 1:
      out += std::get<bool>(s) ? "true" : "false";
      break;
    case 2: {
      char buf[24];
      const auto r = std::to_chars(buf, buf + sizeof buf, std::get<std::int64_t>(s));
      out.append(buf, r.ptr);
      break;
    }
    case 3:
      out += std::get<BigInt>(s).digits;
      break;
    case 4:
      encode_float(std::get<double>(s), out);
      break;
    case 5:
      encode_string(std::get<std::string>(s), sink);
      break;
    case 9:
      encode_encoded_list(std::get<EncodedList>(s), sink);
      break;
    default:
      throw ContractError(PyErrorClass::TypeError,
                          "Object of type " + v.type_name() + " is not JSON serializable");
  }
}

void encode_string(std::string_view t, Sink& sink) {
  std::string& out = sink.out;
  // Escaped into a fixed buffer a slice at a time (an escape is at most six bytes per input
  // byte), then appended in one piece: no per-character growth checks of `out`, and no buffer
  // that grows with the largest file ever sent.
  constexpr std::size_t kSlice = 16384;
  thread_local char buf[kSlice * 6 + 32];
  out += '"';
  const std::size_t n = t.size();
  // Most strings (keys, paths, names) are plain throughout: their leading plain run goes
  // straight into `out`, and only a string with something to escape reaches the buffer.
  std::size_t i = plain_end(t, 0, n);
  out.append(t.data(), i);
  while (i < n) {
    const std::size_t stop = std::min(n, i + kSlice);
    char* o = buf;
    while (i < stop) {
#if defined(__SSE2__)
      // Sixteen bytes are copied whether or not they are all plain, and the output moves on
      // past the plain ones only: short runs between escapes (lines of text) cost no call.
      // The buffer has room for the sixteen after any escape.
      while (i + 16 <= stop) {
        const unsigned bad = not_plain16(t.data() + i);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data() + i)));
        if (bad) {
          const auto k = static_cast<std::size_t>(__builtin_ctz(bad));
          o += k;
          i += k;
          break;
        }
        o += 16;
        i += 16;
      }
      if (i + 16 > stop) {  // the tail; otherwise t[i] needs an escape
#endif
        const std::size_t run = plain_end(t, i, stop);
        std::memcpy(o, t.data() + i, run - i);
        o += run - i;
        i = run;
        if (i >= stop) break;
#if defined(__SSE2__)
      }
#endif
      const auto c = static_cast<unsigned char>(t[i]);
      if (c < 0x80) {
        ++i;
        *o++ = '\\';
        switch (c) {
          case '"':
            *o++ = '"';
            break;
          case '\\':
            *o++ = '\\';
            break;
          case '\b':
            *o++ = 'b';
            break;
          case '\f':
            *o++ = 'f';
            break;
          case '\n':
            *o++ = 'n';
            break;
          case '\r':
            *o++ = 'r';
            break;
          case '\t':
            *o++ = 't';
            break;
          default:
            o = put_u(o - 1, c);
        }
        continue;
      }
      // A code point may run up to three bytes past `stop`; the buffer has room for it.
      char32_t cp;
      const auto b = [&](std::size_t k) { return static_cast<unsigned char>(t[i + k]) & 0x3Fu; };
      if (c >= 0xC0 && c < 0xE0 && i + 2 <= n) {
        cp = ((c & 0x1Fu) << 6) | b(1);
        i += 2;
      } else if (c >= 0xE0 && c < 0xF0 && i + 3 <= n) {
        cp = ((c & 0x0Fu) << 12) | (b(1) << 6) | b(2);
        i += 3;
      } else {
        cp = text::next_cp(t, i);
      }
      if (cp >= 0x10000) {
        const char32_t v = cp - 0x10000;
        o = put_u(o, 0xD800 | ((v >> 10) & 0x3FF));
        o = put_u(o, 0xDC00 | (v & 0x3FF));
      } else {
        o = put_u(o, cp);
      }
    }
    out.append(buf, static_cast<std::size_t>(o - buf));
    sink.check();
  }
  out += '"';
}

void encode_value(const Value& root, Sink& sink) {
  std::string& out = sink.out;
  // Each open container and the index of its next element.
  struct Open {
    const Value* v;
    std::size_t i;
  };
  std::vector<Open> stack;
  const Value* v = &root;
  for (;;) {
    // Write `v`; a non-empty container is opened and its first element becomes `v`.
    if (v->is_array() && !v->as_array().empty()) {
      out += '[';
      stack.push_back({v, 1});
      v = &v->as_array()[0];
      continue;
    }
    if (v->is_object() && !v->as_object().empty()) {
      out += '{';
      stack.push_back({v, 1});
      const Member& m = v->as_object()[0];
      encode_string(m.key, sink);
      out += ": ";
      v = &m.value;
      continue;
    }
    if (v->is_array())
      out += "[]";
    else if (v->is_object())
      out += "{}";
    else
      encode_scalar(*v, sink);
    sink.check();
    // Move on to the next element, closing every container that is done.
    for (;;) {
      if (stack.empty()) return;
      Open& top = stack.back();
      if (top.v->is_array()) {
        const Array& a = top.v->as_array();
        if (top.i < a.size()) {
          out += ", ";
          v = &a[top.i++];
          break;
        }
        out += ']';
      } else {
        const Object& o = top.v->as_object();
        if (top.i < o.size()) {
          out += ", ";
          const Member& m = o[top.i++];
          encode_string(m.key, sink);
          out += ": ";
          v = &m.value;
          break;
        }
        out += '}';
      }
      stack.pop_back();
    }
  }
}

}  // namespace

void encode_string(std::string_view t, std::string& out) {
  Sink sink{out, nullptr};
  encode_string(t, sink);
}

void encode(const Value& v, std::string& out) {
  Sink sink{out, nullptr};
  encode_value(v, sink);
}

void encode(const Value& v, Output& out) {
  Sink sink{out.out, out.spill ? &out : nullptr};
  encode_value(v, sink);
}

std::string& ListBuilder::begin_element() {
  auto& pieces = m_list.pieces;
  if (pieces.empty() || pieces.back().size() >= kPiece) {
    pieces.emplace_back();
  } else if (!pieces.back().empty()) {
    pieces.back() += ", ";
  }
  return pieces.back();
}

ListBuilder::Mark ListBuilder::mark() const noexcept {
  const auto& pieces = m_list.pieces;
  return {pieces.size(), pieces.empty() ? 0 : pieces.back().size(), m_list.count};
}

void ListBuilder::truncate(const Mark& m) {
  auto& pieces = m_list.pieces;
  pieces.resize(m.pieces);
  if (!pieces.empty()) pieces.back().resize(m.length);
  m_list.count = m.count;
}

void ListBuilder::splice(ListBuilder&& other) {
  auto& pieces = m_list.pieces;
  for (std::string& piece : other.m_list.pieces) {
    if (piece.empty()) continue;
    if (!pieces.empty() && !pieces.back().empty() && pieces.back().size() + piece.size() < kPiece) {
      pieces.back() += ", ";
      pieces.back() += piece;
    } else {
      pieces.push_back(std::move(piece));
    }
  }
  m_list.count += other.m_list.count;
  other.m_list = EncodedList{};
}

std::string dumps(const Value& v) {
  std::string out;
  encode(v, out);
  return out;
}

}  // namespace talmek::scrivel::json
