// Small helpers for the agent's raw C API code: an owning reference and argument parsing.
// Everything here needs the GIL.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace talmek::steerix {

// An owned (strong) reference; nullptr means "failed, an exception is set" or "empty".
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = m_p;
      m_p = o.m_p;
      o.m_p = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(m_p); }

  PyObject* get() const noexcept { return m_p; }
  PyObject* release() noexcept {
    PyObject* p = m_p;
    m_p = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return m_p != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : m_p(p) {}
  PyObject* m_p = nullptr;
};

// Parses a METH_FASTCALL | METH_KEYWORDS call against the parameter names `names`, the first
// `required` of them required. Fills `out` (borrowed references; nullptr for absent optional
// parameters). Returns false with TypeError set on a mismatch, worded as CPython words it.
bool parse_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::initializer_list<const char*> names, std::size_t required, PyObject** out);

// Interned attribute and key names used by the agent, created once at module load.
struct Names {
  PyObject* api_key;
  PyObject* model;
  PyObject* max_iterations;
  PyObject* executor;
  PyObject* event_handlers;
  PyObject* messages;
  PyObject* running;
  PyObject* iteration_count;
  PyObject* action_delay;
  PyObject* get_tool_definitions;
  PyObject* build_system_prompt;
  PyObject* execute_tool;
  PyObject* execute_bash;
  PyObject* execute_text_editor;
  PyObject* serialize_block;
  PyObject* get_tool_definition;
  PyObject* execute_action;
  PyObject* append;
  PyObject* get;
  PyObject* items;
  PyObject* close;
  PyObject* throw_;
  PyObject* type;
  PyObject* text;
  PyObject* id;
  PyObject* name;
  PyObject* input;
  PyObject* content;
  PyObject* role;
  PyObject* beta;
  PyObject* create;
  PyObject* anthropic_cls;
  PyObject* api_error;
  PyObject* sleep;
  PyObject* iscoroutine;
  PyObject* s_text;
  PyObject* s_tool_use;
  PyObject* s_image;
  PyObject* s_error;
  PyObject* s_user;
  PyObject* s_assistant;
  PyObject* s_empty;
  PyObject* messages_attr;
  PyObject* s_action;
  PyObject* s_computer;
  PyObject* s_bash;
  PyObject* s_editor;
  PyObject* s_editor_v2;
  PyObject* tool_set;
  PyObject* toolset_name;
  PyObject* thinking;
  PyObject* signature;
  PyObject* data;
  PyObject* s_thinking;
  PyObject* s_redacted_thinking;
};

extern Names g_names;

// Creates g_names; returns false with an exception set on failure.
bool init_names();

// An interned string for a literal, created on first use and kept for the life of the
// process; borrowed. nullptr (with an exception set) only if the very first creation failed.
#define TALMEK_STR(lit)                                  \
  ([]() -> PyObject* {                                   \
    static PyObject* s_str = nullptr;                    \
    if (!s_str) s_str = PyUnicode_InternFromString(lit); \
    return s_str;                                        \
  }())

// A new dict of the given entries, in order (keys and values borrowed). A nullptr key or value
// (a failed computation, exception set) makes the result nullptr.
PyObject* new_dict(std::initializer_list<std::pair<PyObject*, PyObject*>> entries);

// A new list of the given items (borrowed); nullptr if any item is nullptr.
PyObject* new_list(std::initializer_list<PyObject*> items);

// Sets StopIteration carrying `value` (which may itself be a tuple or an exception).
void set_stop_iteration(PyObject* value);

// Calls obj.<name>(arg) and returns the new reference.
inline PyObject* call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
  return PyObject_CallMethodOneArg(obj, name, arg);
}

}  // namespace talmek::steerix
