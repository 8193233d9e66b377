// The value tree's teardown, Python-flavoured queries and float formatting.
#include "scrivel/json/value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace talmek::scrivel {

namespace {
bool is_container(const Value& v) noexcept { return v.is_array() || v.is_object(); }

bool has_nested_container(const Value::Storage& s) noexcept;

// Whether `v` needs the stack: a container that itself holds containers. A flat one (a list of
// records' members, a record) is torn down where it stands, one level deep, so that a list of
// many small records is not moved onto the stack record by record.
bool is_deep(const Value& v) noexcept {
  return is_container(v) && has_nested_container(v.storage());
}

// Moves the deep children of `s` onto `stack`, leaving `s` with no deep children.
void detach_children(Value::Storage& s, std::vector<Value>& stack) {
  if (auto* a = std::get_if<Array>(&s)) {
    for (Value& v : *a)
      if (is_deep(v)) stack.push_back(std::move(v));
    a->clear();
  } else if (auto* o = std::get_if<Object>(&s)) {
    for (Member& m : *o)
      if (is_deep(m.value)) stack.push_back(std::move(m.value));
    o->clear();
  }
}

bool has_nested_container(const Value::Storage& s) noexcept {
  if (auto* a = std::get_if<Array>(&s)) {
    for (const Value& v : *a)
      if (is_container(v)) return true;
  } else if (auto* o = std::get_if<Object>(&s)) {
    for (const Member& m : *o)
      if (is_container(m.value)) return true;
  }
  return false;
}
}  // namespace

Value::~Value() {
  if (!has_nested_container(m_v)) return;
  std::vector<Value> stack;
  detach_children(m_v, stack);
  while (!stack.empty()) {
    Value v = std::move(stack.back());
    stack.pop_back();
    detach_children(v.m_v, stack);
  }
}

std::int64_t Value::as_int64_saturating() const {
  if (auto* b = std::get_if<bool>(&m_v)) return *b ? 1 : 0;
  if (auto* i = std::get_if<std::int64_t>(&m_v)) return *i;
  const BigInt& big = std::get<BigInt>(m_v);
  return (!big.digits.empty() && big.digits[0] == '-') ? std::numeric_limits<std::int64_t>::min()
                                                       : std::numeric_limits<std::int64_t>::max();
}

const Value* Value::find(std::string_view key) const noexcept {
  const auto* o = std::get_if<Object>(&m_v);
  if (!o) return nullptr;
  for (const Member& m : *o)
    if (m.key == key) return &m.value;
  return nullptr;
}

void Value::set(std::string_view key, Value v) {
  Object& o = std::get<Object>(m_v);
  for (Member& m : o)
    if (m.key == key) {
      m.value = std::move(v);
      return;
    }
  o.push_back(Member{std::string(key), std::move(v)});
}

bool Value::truthy() const noexcept {
  switch (m_v.index()) {
    case 0:
      return false;
    case 1:
      return std::get<bool>(m_v);
    case 2:
      return std::get<std::int64_t>(m_v) != 0;
    case 3:
      return true;  // a BigInt is never zero
    case 4:
      return std::get<double>(m_v) != 0.0;  // NaN is true
    case 5:
      return !std::get<std::string>(m_v).empty();
    case 6:
      return !std::get<Array>(m_v).empty();
    case 7:
      return !std::get<Object>(m_v).empty();
    case 9:
      return std::get<EncodedList>(m_v).count != 0;
    default:
      return std::get<Opaque>(m_v).truthy;
  }
}

std::string Value::type_name() const {
  switch (m_v.index()) {
    case 0:
      return "NoneType";
    case 1:
      return "bool";
    case 2:
    case 3:
      return "int";
    case 4:
      return "float";
    case 5:
      return "str";
    case 6:
    case 9:
      return "list";
    case 7:
      return "dict";
    default:
      return std::get<Opaque>(m_v).type_name;
  }
}

bool Value::hashable() const noexcept {
  if (is_array() || is_object() || is_encoded_list()) return false;
  if (is_opaque()) return as_opaque().hashable;
  return true;
}

std::string Value::py_str() const {
  switch (m_v.index()) {
    case 0:
      return "None";
    case 1:
      return std::get<bool>(m_v) ? "True" : "False";
    case 2:
      return std::to_string(std::get<std::int64_t>(m_v));
    case 3:
      return std::get<BigInt>(m_v).digits;
    case 4:
      return py_float_repr(std::get<double>(m_v));
    case 5:
      return std::get<std::string>(m_v);
    case 8:
      return std::get<Opaque>(m_v).str;
    default:
      return "<" + type_name() + ">";  // lists and dicts are unhashable and never printed
  }
}

std::string py_float_repr(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  if (d == 0.0) return std::signbit(d) ? "-0.0" : "0.0";
  // Shortest round-trip digits in scientific form, then laid out the way float.__repr__ does:
  // positional for decimal exponents -4 <= e < 16, scientific with a two-digit exponent otherwise.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const auto epos = sci.find('e');
  std::string digits = sci.substr(0, epos);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  const int exp = std::atoi(sci.c_str() + epos + 1);
  std::string out = sign;
  if (exp >= -4 && exp < 16) {
    if (exp < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    } else if (static_cast<std::size_t>(exp) + 1 >= digits.size()) {
      out += digits;
      out.append(static_cast<std::size_t>(exp) + 1 - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<std::size_t>(exp) + 1);
      out += '.';
      out += digits.substr(static_cast<std::size_t>(exp) + 1);
    }
  } else {
    out += digits.substr(0, 1);
    if (digits.size() > 1) {
      out += '.';
      out += digits.substr(1);
    }
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
    out += ebuf;
  }
  return out;
}

Value ok_record(Value result) {
  Object o;
  o.reserve(2);
  o.push_back(Member{"success", Value(true)});
  o.push_back(Member{"result", std::move(result)});
  return Value(std::move(o));
}

Value fail_record(std::string error) {
  Object o;
  o.reserve(2);
  o.push_back(Member{"success", Value(false)});
  o.push_back(Member{"error", Value(std::move(error))});
  return Value(std::move(o));
}

Value list_result(std::string_view key, EncodedList items) {
  const std::size_t count = items.count;
  Object o;
  o.reserve(2);
  o.push_back(Member{std::string(key), Value(std::move(items))});
  o.push_back(Member{"count", Value(count)});
  return Value(std::move(o));
}

Value list_result(std::string_view key, Array items) {
  const std::size_t count = items.size();
  Object o;
  o.reserve(2);
  o.push_back(Member{std::string(key), Value(std::move(items))});
  o.push_back(Member{"count", Value(count)});
  return Value(std::move(o));
}

}  // namespace talmek::scrivel
