// The worker's value tree: what a JSON request decodes to and what a result record is built from.
//
// Objects keep insertion order and unique keys, as a Python dict does (a duplicate key replaces
// the value and keeps the first position). Texts are held as code points in UTF-8 form with
// surrogates allowed (common/text.h). Values that arrive from Python through handle_command and
// have no JSON form (a tuple, a str subclass, ...) become Opaque: the operations only ever need
// their type name, truth, hashability and str().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace talmek::scrivel {

class Value;
struct Member;
using Array = std::vector<Value>;
using Object = std::vector<Member>;

// An integer outside the int64 range, as decimal digits with an optional leading '-'.
struct BigInt {
  std::string digits;
};

// A list held in wire form: the json.dumps texts of its elements, joined by ", ", in pieces of
// whole elements (the list's text is "[" + the pieces joined by ", " + "]"). Operations whose
// results can run to millions of records build these (json::ListBuilder) instead of a tree of
// values, so that a reply holds its bytes once, and the main loop writes the pieces as they are.
struct EncodedList {
  std::vector<std::string> pieces;
  std::size_t count = 0;
};

struct Opaque {
  std::string type_name;  // Python's type(x).__name__
  std::string str;        // str(x)
  bool truthy = true;
  bool hashable = true;
};

class Value {
 public:
  using Storage = std::variant<std::monostate, bool, std::int64_t, BigInt, double, std::string,
                               Array, Object, Opaque, EncodedList>;

  // Defined below, once Member is complete: a constructor body instantiates the variant, and
  // with it the vector of members (clang's library checks refuse an incomplete element there).
  Value() noexcept;
  Value(std::nullptr_t) noexcept;
  Value(bool b) noexcept;
  Value(int i) noexcept;
  Value(std::int64_t i) noexcept;
  Value(std::size_t i) noexcept;
  Value(double d) noexcept;
  Value(BigInt b);
  Value(std::string s);
  Value(std::string_view s);
  Value(const char* s);
  Value(Array a);
  Value(Object o);
  Value(Opaque o);
  Value(EncodedList l);

  Value(const Value&);
  Value& operator=(const Value&);
  Value(Value&&) noexcept;
  Value& operator=(Value&&) noexcept;
  // Tears nested arrays and objects down iteratively: a request nested a million levels deep
  // must not overflow the stack when it is dropped.
  ~Value();

  bool is_null() const noexcept { return m_v.index() == 0; }
  bool is_bool() const noexcept { return std::holds_alternative<bool>(m_v); }
  bool is_int() const noexcept {  // int64 or BigInt (bool excluded)
    return std::holds_alternative<std::int64_t>(m_v) || std::holds_alternative<BigInt>(m_v);
  }
  bool is_float() const noexcept { return std::holds_alternative<double>(m_v); }
  bool is_string() const noexcept { return std::holds_alternative<std::string>(m_v); }
  bool is_array() const noexcept { return std::holds_alternative<Array>(m_v); }
  bool is_object() const noexcept { return std::holds_alternative<Object>(m_v); }
  bool is_opaque() const noexcept { return std::holds_alternative<Opaque>(m_v); }
  bool is_encoded_list() const noexcept { return std::holds_alternative<EncodedList>(m_v); }

  bool as_bool() const { return std::get<bool>(m_v); }
  double as_double() const { return std::get<double>(m_v); }
  const std::string& as_string() const { return std::get<std::string>(m_v); }
  std::string& as_string() { return std::get<std::string>(m_v); }
  const Array& as_array() const { return std::get<Array>(m_v); }
  Array& as_array() { return std::get<Array>(m_v); }
  const Object& as_object() const { return std::get<Object>(m_v); }
  Object& as_object() { return std::get<Object>(m_v); }
  const Opaque& as_opaque() const { return std::get<Opaque>(m_v); }
  const EncodedList& as_encoded_list() const { return std::get<EncodedList>(m_v); }
  const BigInt* as_bigint() const noexcept { return std::get_if<BigInt>(&m_v); }
  // A bool, int64 or BigInt as int64, saturating at the int64 range (slicing and limits behave
  // the same for any integer beyond it).
  std::int64_t as_int64_saturating() const;

  // Object lookup; nullptr when absent or when this is not an object.
  const Value* find(std::string_view key) const noexcept;
  // dict[key] = v: replaces in place or appends.
  void set(std::string_view key, Value v);

  // bool(x) in Python.
  bool truthy() const noexcept;
  // type(x).__name__: "NoneType", "bool", "int", "float", "str", "list", "dict" or the opaque's.
  std::string type_name() const;
  // hash(x) succeeds (lists and dicts do not).
  bool hashable() const noexcept;
  // str(x) for the hashable kinds: None, True, 7, 1e+16, text unchanged, the opaque's str.
  std::string py_str() const;

  const Storage& storage() const noexcept { return m_v; }
  Storage& storage() noexcept { return m_v; }

 private:
  Storage m_v;
};

struct Member {
  std::string key;
  Value value;
};

inline Value::Value() noexcept = default;
inline Value::Value(std::nullptr_t) noexcept {}
inline Value::Value(bool b) noexcept : m_v(b) {}
inline Value::Value(int i) noexcept : m_v(std::int64_t{i}) {}
inline Value::Value(std::int64_t i) noexcept : m_v(i) {}
inline Value::Value(std::size_t i) noexcept : m_v(static_cast<std::int64_t>(i)) {}
inline Value::Value(double d) noexcept : m_v(d) {}
inline Value::Value(BigInt b) : m_v(std::move(b)) {}
inline Value::Value(std::string s) : m_v(std::move(s)) {}
inline Value::Value(std::string_view s) : m_v(std::string(s)) {}
inline Value::Value(const char* s) : m_v(std::string(s)) {}
inline Value::Value(Array a) : m_v(std::move(a)) {}
inline Value::Value(Object o) : m_v(std::move(o)) {}
inline Value::Value(Opaque o) : m_v(std::move(o)) {}
inline Value::Value(EncodedList l) : m_v(std::move(l)) {}
inline Value::Value(const Value&) = default;
inline Value& Value::operator=(const Value&) = default;
inline Value::Value(Value&&) noexcept = default;
inline Value& Value::operator=(Value&&) noexcept = default;

// Python's repr(float) (also its str): shortest round-trip digits, "1e+16", "1e-05", "inf".
std::string py_float_repr(double d);

// The two shapes of a result record.
Value ok_record(Value result);
Value fail_record(std::string error);

// The result of an operation that answers a list: {key: items, "count": len(items)}.
Value list_result(std::string_view key, Array items);
Value list_result(std::string_view key, EncodedList items);

}  // namespace talmek::scrivel
