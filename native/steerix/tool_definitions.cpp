// Steerix.get_tool_definitions and Steerix._build_system_prompt: the tools and the system prompt
// of a request, for the tool set of the agent's model (tool_sets.h), and the agent's traits.
#include <array>
#include <string>
#include <string_view>

#include "steerix/agent.h"
#include "steerix/py.h"
#include "steerix/tool_sets.h"

namespace talmek::steerix {

namespace {

// The system prompt, around the line that names the text editor tool. With the editor of the
// 2025-01-24 set it is the agent's original 1,359-character prompt.
constexpr std::string_view kPromptHead =
    "You are Talmek, an AI assistant that controls the user's computer to complete tasks. You can "
    "see the screen via screenshots, click on elements, type text, use keyboard shortcuts, and run "
    "shell commands.\n"
    "\n"
    "IMPORTANT RULES:\n"
    "1. ALWAYS take a screenshot first to see what's on screen before acting.\n"
    "2. After clicking or typing, take another screenshot to verify the result.\n"
    "3. If you need to open an application:\n"
    "   - On Windows: Use the Windows key to open Start, then type the app name\n"
    "   - On macOS: Use Command+Space for Spotlight, then type the app name\n"
    "   - On Linux: Use the application menu or terminal\n"
    "4. Be precise with clicks \u2014 click exactly on the element you want.\n"
    "5. Wait briefly after actions for the UI to update before taking the next screenshot.\n"
    "6. If something doesn't work, try an alternative approach.\n"
    "7. When typing into a field, click on it first to make sure it's focused.\n"
    "8. For web browsing, you can type URLs directly into the address bar.\n"
    "9. Use keyboard shortcuts when they're faster (Ctrl+C, Ctrl+V, etc.).\n"
    "10. Tell the user what you're doing at each step.\n"
    "\n"
    "You have access to three tools:\n"
    "- `computer`: Take screenshots, click, type, scroll, and interact with the desktop\n"
    "- `bash`: Run shell commands\n"
    "- `";
constexpr std::string_view kPromptTail =
    "`: View and edit text files\n"
    "\n"
    "Always start by taking a screenshot to understand the current state of the screen.";

PyObject* str_of(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// The prompt of each set, made once (index as in tool_sets()).
std::array<PyObject*, 8> g_prompts{};

std::size_t set_index(const ToolSet& set) {
  return static_cast<std::size_t>(&set - tool_sets().data());
}

// obj.get(key) for a dict-like definition; nullptr without an exception when absent.
PyObject* lookup(PyObject* dict, std::string_view key) {
  Ref k = Ref::steal(str_of(key));
  if (!k) return nullptr;
  PyObject* v = nullptr;
  if (PyDict_GetItemRef(dict, k.get(), &v) < 0) return nullptr;
  return v;
}

int set_key(PyObject* dict, std::string_view key, PyObject* value) {
  Ref k = Ref::steal(str_of(key));
  if (!k) return -1;
  return PyDict_SetItem(dict, k.get(), value);
}

int del_key(PyObject* dict, std::string_view key) {
  Ref k = Ref::steal(str_of(key));
  if (!k) return -1;
  int has = PyDict_Contains(dict, k.get());
  if (has <= 0) return has;
  return PyDict_DelItem(dict, k.get());
}

// Whether a single computer tool's definition declares zoom (computer_20251124 with
// "enable_zoom" true). -1 with an exception set on failure.
int declares_zoom(PyObject* definition, PyObject* type) {
  if (!PyUnicode_Check(type) || !PyUnicode_EqualToUTF8(type, kZoomVersion.data())) return 0;
  Ref zoom = Ref::steal(lookup(definition, "enable_zoom"));
  if (!zoom) return PyErr_Occurred() ? -1 : 0;
  return PyObject_IsTrue(zoom.get());
}

// The executor's definition, made for another version, rewritten on a copy for the set's
// version: a toolset entry keeps only the keys a toolset takes (a single tool's name and display
// size go, and zoom stays off when the single tool did not offer it); a single tool keeps every
// key but a toolset's "configs", gains its name where it had none, and loses "enable_zoom"
// where the version has no zoom.
PyObject* adapt_definition(PyObject* definition, PyObject* type, const ToolSet& set) {
  Ref target = Ref::steal(str_of(set.computer_type));
  if (!target) return nullptr;
  if (set.toolset) {
    Ref out = Ref::steal(PyDict_New());
    if (!out || set_key(out.get(), "type", target.get()) < 0) return nullptr;
    for (std::string_view key : kToolsetKeys) {
      if (key == "type") continue;
      Ref v = Ref::steal(lookup(definition, key));
      if (!v && PyErr_Occurred()) return nullptr;
      if (v && set_key(out.get(), key, v.get()) < 0) return nullptr;
    }
    Ref old_configs = Ref::steal(lookup(definition, "configs"));
    if (!old_configs && PyErr_Occurred()) return nullptr;
    const int zoom = declares_zoom(definition, type);
    if (zoom < 0) return nullptr;
    if (!zoom) {
      // {"zoom": {"enabled": false}}, merged into a copy of any configs the definition had.
      Ref configs =
          Ref::steal(old_configs && PyDict_Check(old_configs.get()) ? PyDict_Copy(old_configs.get())
                                                                    : PyDict_New());
      if (!configs) return nullptr;
      Ref has_zoom = Ref::steal(lookup(configs.get(), "zoom"));
      if (!has_zoom && PyErr_Occurred()) return nullptr;
      if (!has_zoom) {
        Ref off = Ref::steal(new_dict({{TALMEK_STR("enabled"), Py_False}}));
        if (!off || set_key(configs.get(), "zoom", off.get()) < 0) return nullptr;
      }
      if (set_key(out.get(), "configs", configs.get()) < 0) return nullptr;
    }
    return out.release();
  }
  Ref out = Ref::steal(PyDict_Copy(definition));
  if (!out || set_key(out.get(), "type", target.get()) < 0) return nullptr;
  if (del_key(out.get(), "configs") < 0) return nullptr;
  Ref name = Ref::steal(lookup(out.get(), "name"));
  if (!name && PyErr_Occurred()) return nullptr;
  if (!name) {
    Ref computer = Ref::steal(str_of(kComputerName));
    if (!computer || set_key(out.get(), "name", computer.get()) < 0) return nullptr;
  }
  if (set.computer_type != kZoomVersion && del_key(out.get(), "enable_zoom") < 0) return nullptr;
  return out.release();
}

// The computer entry: the executor's definition, told the version first when the executor
// takes one, and rewritten on a copy when it still declares another version.
PyObject* computer_definition(PyObject* self, const ToolSet& set) {
  Ref executor = Ref::steal(PyObject_GetAttr(self, g_names.executor));
  if (!executor) return nullptr;
  PyObject* version_name = TALMEK_STR("tool_version");
  if (!version_name) return nullptr;
  const int speaks = PyObject_HasAttrWithError(executor.get(), version_name);
  if (speaks < 0) return nullptr;
  if (speaks) {
    Ref version = Ref::steal(str_of(set.computer_type));
    if (!version || PyObject_SetAttr(executor.get(), version_name, version.get()) < 0) {
      return nullptr;
    }
  }
  Ref definition =
      Ref::steal(PyObject_CallMethodNoArgs(executor.get(), g_names.get_tool_definition));
  if (!definition || !PyDict_Check(definition.get())) return definition.release();
  Ref type = Ref::steal(lookup(definition.get(), "type"));
  if (!type) return PyErr_Occurred() ? nullptr : definition.release();
  const int same = PyUnicode_Check(type.get()) &&
                   PyUnicode_EqualToUTF8(type.get(), std::string(set.computer_type).c_str());
  if (same) return definition.release();
  return adapt_definition(definition.get(), type.get(), set);
}

}  // namespace

bool agent_traits(PyObject* self, ModelTraits& out) {
  Ref model = Ref::steal(PyObject_GetAttr(self, g_names.model));
  if (!model) return false;
  out = {&newest_tool_set(), false};
  if (PyUnicode_Check(model.get())) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(model.get(), &size);
    if (!text) {
      // A model name with a lone surrogate is no model the table knows.
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
      PyErr_Clear();
    } else {
      out = model_traits(std::string_view(text, static_cast<std::size_t>(size)));
    }
  }
  Ref pinned = Ref::steal(PyObject_GetAttr(self, g_names.tool_set));
  if (!pinned) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (pinned.get() == Py_None) return true;
  const ToolSet* set = tool_set_named(pinned.get());
  if (!set) return false;
  out.tools = set;
  return true;
}

const ToolSet* tool_set_named(PyObject* name) {
  if (!PyUnicode_CheckExact(name)) {
    PyErr_Format(PyExc_TypeError, "tool_set must be str or None, not %.200s",
                 Py_TYPE(name)->tp_name);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  const ToolSet* set =
      text ? find_tool_set(std::string_view(text, static_cast<std::size_t>(size))) : nullptr;
  if (set) return set;
  PyErr_Clear();
  std::string known;
  for (const ToolSet& s : tool_sets()) {
    if (!known.empty()) known += ", ";
    known += s.name;
  }
  PyErr_Format(PyExc_ValueError, "unknown tool set %R; known tool sets: %s", name, known.c_str());
  return nullptr;
}

PyObject* get_tool_definitions(PyObject* self) {
  ModelTraits traits{};
  if (!agent_traits(self, traits)) return nullptr;
  const ToolSet& set = *traits.tools;
  Ref computer = Ref::steal(computer_definition(self, set));
  if (!computer) return nullptr;
  Ref bash_type = Ref::steal(str_of(kBashType));
  Ref editor_type = Ref::steal(str_of(set.editor_type));
  Ref editor_name = Ref::steal(str_of(set.editor_name));
  Ref bash =
      Ref::steal(new_dict({{g_names.type, bash_type.get()}, {g_names.name, g_names.s_bash}}));
  Ref editor =
      Ref::steal(new_dict({{g_names.type, editor_type.get()}, {g_names.name, editor_name.get()}}));
  return new_list({computer.get(), bash.get(), editor.get()});
}

PyObject* build_system_prompt(PyObject* self) {
  ModelTraits traits{};
  if (!agent_traits(self, traits)) return nullptr;
  PyObject*& prompt = g_prompts.at(set_index(*traits.tools));
  if (!prompt) {
    std::string text(kPromptHead);
    text += traits.tools->editor_name;
    text += kPromptTail;
    prompt = str_of(text);
    if (!prompt) return nullptr;
  }
  return Py_NewRef(prompt);
}

}  // namespace talmek::steerix
