// The Python edge shared by the agent's built-in tools: reading the tool input, text in and out
// of Python, and the tool outcome dicts. Every function needs the GIL.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace talmek::steerix::tool_io {

// Owns one Python reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : m_o(o) {}  // steals
  ~Ref() { Py_XDECREF(m_o); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : m_o(other.m_o) { other.m_o = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(m_o);
      m_o = other.m_o;
      other.m_o = nullptr;
    }
    return *this;
  }
  PyObject* get() const { return m_o; }
  PyObject* release() {
    PyObject* o = m_o;
    m_o = nullptr;
    return o;
  }
  explicit operator bool() const { return m_o != nullptr; }

 private:
  PyObject* m_o = nullptr;
};

// tool_input.get(key, default) as Python code would call it: a plain dict is read directly, any
// other object through its own get method (so a non-mapping raises as it would there). New
// reference, or nullptr with an exception set.
PyObject* input_get(PyObject* tool_input, const char* key, PyObject* default_value);

// The empty str (borrowed, immortal).
PyObject* empty_str();

// The text of a str as our UTF-8 (lone surrogates kept, as "surrogatepass" writes them). The view
// stays valid while the Text lives. Returns false with an exception set on failure.
class Text {
 public:
  bool assign(PyObject* str);
  std::string_view view() const { return m_view; }

 private:
  Ref m_owner;
  std::string_view m_view;
};

// A str from our UTF-8 (lone surrogates allowed). New reference or nullptr.
PyObject* to_str(std::string_view text);

// str(obj) as our UTF-8; false with an exception set on failure.
bool str_of(PyObject* obj, std::string& out);

// The type name that CPython's TypeError texts use ("int", "NoneType").
inline const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// The message of the pending exception, as str(exc) gives it, and clears it; a MemoryError
// without a message of its own says "out of memory". Returns false (and leaves the exception
// set) for exceptions that must not be turned into outcomes: interruptions and anything that is
// not an ordinary Exception.
bool take_exception_message(std::string& message);

// error_outcome(prefix + the pending exception's message) when take_exception_message takes it;
// otherwise nullptr with the exception left set.
PyObject* error_outcome_from_pending(std::string_view prefix);

// {"type": "text", "text": text} and {"type": "error", "error": message}. New references.
PyObject* text_outcome(std::string_view text);
PyObject* error_outcome(std::string_view message);
// error_outcome(prefix + rest) without building the concatenation in the caller.
PyObject* error_outcome(std::string_view prefix, std::string_view rest);

}  // namespace talmek::steerix::tool_io
