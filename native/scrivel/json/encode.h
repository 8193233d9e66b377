// json.dumps with its default settings, for the worker's reply lines.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "scrivel/json/value.h"

namespace talmek::scrivel::json {

// Appends json.dumps(v) to `out`: ensure_ascii (every non-ASCII code point as a lower-case
// \uXXXX escape, beyond U+FFFF as a surrogate pair), ", " and ": " separators, NaN, Infinity
// and -Infinity for the special floats, floats as Python's repr, keys in insertion order.
// Appending lets the main loop reuse one buffer for every reply. Nesting is walked with an
// explicit stack. Throws ContractError("TypeError", ...) for an Opaque value, which json.dumps
// cannot serialise either.
void encode(const Value& v, std::string& out);

// Where a reply of any size is encoded without holding its text twice: bytes collect in `out`,
// and whenever `out` holds `spill_at` bytes or more they are handed to `spill` (which writes
// them somewhere, or throws to abandon the encoding) and `out` is emptied. The pieces of an
// EncodedList go to `spill` as they stand, without a copy. What is left in `out` at the end is
// the reply's tail, for the caller to write.
struct Output {
  std::string& out;
  std::function<void(std::string_view bytes)> spill;
  std::size_t spill_at = std::size_t{1} << 20;
};
void encode(const Value& v, Output& out);

// json.dumps(v) as a new string.
std::string dumps(const Value& v);

// Appends the JSON string literal of `text` (code points in UTF-8 form) with ensure_ascii.
void encode_string(std::string_view text, std::string& out);

// Builds an EncodedList: elements are written in wire form as they are produced, into pieces of
// about a megabyte, so a long list never sits in one buffer that must be copied to grow.
class ListBuilder {
 public:
  // The next element: append its json.dumps text to the string returned, then end_element().
  std::string& begin_element();
  void end_element() noexcept { ++m_list.count; }

  // json.dumps(v) as the next element.
  void add(const Value& v) {
    encode(v, begin_element());
    end_element();
  }

  // Where the elements so far end, for a later truncate() to keep just those.
  struct Mark {
    std::size_t pieces = 0;  // pieces in use
    std::size_t length = 0;  // length of the last of them
    std::size_t count = 0;
  };
  Mark mark() const noexcept;
  void truncate(const Mark& m);

  // Appends all of `other`'s elements after these; small pieces are joined, large ones moved.
  void splice(ListBuilder&& other);

  std::size_t count() const noexcept { return m_list.count; }
  EncodedList take() noexcept { return std::move(m_list); }

 private:
  EncodedList m_list;
};

}  // namespace talmek::scrivel::json
