// json.dumps with default settings: a port of the C encoder's ascii path (Modules/_json.c,
// ascii_escape_unicode and encoder_listencode_obj), walking nesting with its own stack.
#include "scrivel/json/encode.h"

#include <charconv>
#include <cmath>
#include <vector>

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

constexpr char kHex[] = "0123456789abcdef";

void append_u(std::string& out, char32_t cp) {
  const char buf[6] = {'\\', 'u', kHex[(cp >> 12) & 0xF], kHex[(cp >> 8) & 0xF],
                       kHex[(cp >> 4) & 0xF], kHex[cp & 0xF]};
  out.append(buf, 6);
}

void encode_float(double d, std::string& out) {
  if (std::isnan(d))
    out += "NaN";
  else if (std::isinf(d))
    out += d > 0 ? "Infinity" : "-Infinity";
  else
    out += py_float_repr(d);
}

void encode_scalar(const Value& v, std::string& out) {
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
      encode_string(std::get<std::string>(s), out);
      break;
    default:
      throw ContractError("TypeError",
                          "Object of type " + v.type_name() + " is not JSON serializable");
  }
}

}  // namespace

void encode_string(std::string_view t, std::string& out) {
  out.reserve(out.size() + t.size() + 2);
  out += '"';
  const std::size_t n = t.size();
  std::size_t i = 0;
  while (i < n) {
    // Copy the longest run of plain bytes in one go.
    std::size_t run = i;
    while (run < n && kPlain.v[static_cast<unsigned char>(t[run])]) ++run;
    out.append(t.data() + i, run - i);
    i = run;
    if (i >= n) break;
    const auto c = static_cast<unsigned char>(t[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: append_u(out, c);
      }
      continue;
    }
    const char32_t cp = text::next_cp(t, i);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      append_u(out, 0xD800 | ((v >> 10) & 0x3FF));
      append_u(out, 0xDC00 | (v & 0x3FF));
    } else {
      append_u(out, cp);
    }
  }
  out += '"';
}

void encode(const Value& root, std::string& out) {
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
      encode_string(m.key, out);
      out += ": ";
      v = &m.value;
      continue;
    }
    if (v->is_array())
      out += "[]";
    else if (v->is_object())
      out += "{}";
    else
      encode_scalar(*v, out);
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
          encode_string(m.key, out);
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

std::string dumps(const Value& v) {
  std::string out;
  encode(v, out);
  return out;
}

}  // namespace talmek::scrivel::json
