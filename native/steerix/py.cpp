// Argument parsing and the interned names shared by the agent's types.
#include "steerix/py.h"

#include <cstring>

namespace talmek::steerix {

Names g_names{};

bool parse_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::initializer_list<const char*> names, std::size_t required, PyObject** out) {
  const auto n = static_cast<Py_ssize_t>(names.size());
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = nullptr;
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zd positional arguments but %zd were given", func,
                 required + 1, n + 1, nargs + 1);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t idx = -1;
    Py_ssize_t i = 0;
    for (const char* name : names) {
      if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
        idx = i;
        break;
      }
      ++i;
    }
    if (idx < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
      return false;
    }
    if (out[idx]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", func, key);
      return false;
    }
    out[idx] = args[nargs + k];
  }
  std::size_t i = 0;
  for (const char* name : names) {
    if (i >= required) break;
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", func,
                   name);
      return false;
    }
    ++i;
  }
  return true;
}

bool init_names() {
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  Names& n = g_names;
  const Entry entries[] = {
      {&n.api_key, "_api_key"},
      {&n.model, "_model"},
      {&n.max_iterations, "_max_iterations"},
      {&n.executor, "_executor"},
      {&n.event_handlers, "_event_handlers"},
      {&n.messages, "_messages"},
      {&n.running, "_running"},
      {&n.iteration_count, "_iteration_count"},
      {&n.action_delay, "ACTION_DELAY"},
      {&n.get_tool_definitions, "get_tool_definitions"},
      {&n.build_system_prompt, "_build_system_prompt"},
      {&n.execute_tool, "_execute_tool"},
      {&n.execute_bash, "_execute_bash"},
      {&n.execute_text_editor, "_execute_text_editor"},
      {&n.serialize_block, "_serialize_block"},
      {&n.get_tool_definition, "get_tool_definition"},
      {&n.execute_action, "execute_action"},
      {&n.append, "append"},
      {&n.get, "get"},
      {&n.items, "items"},
      {&n.close, "close"},
      {&n.throw_, "throw"},
      {&n.type, "type"},
      {&n.text, "text"},
      {&n.id, "id"},
      {&n.name, "name"},
      {&n.input, "input"},
      {&n.content, "content"},
      {&n.role, "role"},
      {&n.beta, "beta"},
      {&n.create, "create"},
      {&n.anthropic_cls, "Anthropic"},
      {&n.api_error, "APIError"},
      {&n.sleep, "sleep"},
      {&n.iscoroutine, "iscoroutine"},
      {&n.s_text, "text"},
      {&n.s_tool_use, "tool_use"},
      {&n.s_image, "image"},
      {&n.s_error, "error"},
      {&n.s_user, "user"},
      {&n.s_assistant, "assistant"},
      {&n.s_empty, ""},
      {&n.messages_attr, "messages"},
      {&n.s_action, "action"},
      {&n.s_computer, "computer"},
      {&n.s_bash, "bash"},
      {&n.s_editor, "str_replace_editor"},
      {&n.s_editor_v2, "str_replace_based_edit_tool"},
      {&n.tool_set, "_tool_set"},
      {&n.toolset_name, "toolset_name"},
      {&n.thinking, "thinking"},
      {&n.signature, "signature"},
      {&n.data, "data"},
      {&n.s_thinking, "thinking"},
      {&n.s_redacted_thinking, "redacted_thinking"},
  };
  for (const Entry& e : entries) {
    if (*e.slot) continue;
    *e.slot = PyUnicode_InternFromString(e.text);
    if (!*e.slot) return false;
  }
  return true;
}

PyObject* new_dict(std::initializer_list<std::pair<PyObject*, PyObject*>> entries) {
  for (const auto& [k, v] : entries) {
    if (!k || !v) {
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return nullptr;
    }
  }
  PyObject* d = PyDict_New();
  if (!d) return nullptr;
  for (const auto& [k, v] : entries) {
    if (PyDict_SetItem(d, k, v) < 0) {
      Py_DECREF(d);
      return nullptr;
    }
  }
  return d;
}

PyObject* new_list(std::initializer_list<PyObject*> items) {
  for (PyObject* item : items) {
    if (!item) {
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return nullptr;
    }
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyList_SET_ITEM(list, i++, Py_NewRef(item));
  return list;
}

void set_stop_iteration(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  // Wrap the value in an instance so that a tuple or an exception value is not unpacked or
  // raised in its own right.
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
  if (!exc) return;
  PyErr_SetObject(PyExc_StopIteration, exc);
  Py_DECREF(exc);
}

}  // namespace talmek::steerix
