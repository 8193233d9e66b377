// Steerix.get_tool_definitions and Steerix._build_system_prompt: the tools and the system prompt
// of a request, for the tool set of the agent's model (tool_sets.h), and the agent's traits.
#include <array>
#include <string>
#include <string_view>

#include "steerix/agent.h"
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

nb::str to_name(std::string_view s) { return nb::str(s.data(), s.size()); }

// The prompt of each set, made once (index as in tool_sets()) and kept for the process.
std::array<nb::handle, 8> g_prompts{};

std::size_t set_index(const ToolSet& set) {
  return static_cast<std::size_t>(&set - tool_sets().data());
}

// definition[key] for a dict definition; an invalid object when absent.
nb::object lookup(nb::handle dict, std::string_view key) {
  nb::object v = nb::borrow<nb::dict>(dict).get(to_name(key), nb::handle());
  return v;
}

void set_key(nb::handle dict, std::string_view key, nb::handle value) {
  nb::borrow<nb::dict>(dict)[to_name(key)] = value;
}

void del_key(nb::handle dict, std::string_view key) {
  nb::dict d = nb::borrow<nb::dict>(dict);
  nb::str k = to_name(key);
  if (d.contains(k)) nb::del(d[k]);
}

// A new dict of the entries of `dict` (an instance of dict or a subclass), as dict(d) would
// copy them: the same merge that PyDict_Copy makes.
nb::dict copy_of(nb::handle dict) {
  nb::dict out;
  out.update(dict);
  return out;
}

// The text of `type` equals `text` (a str subclass compared by its contents, as the table
// compares).
bool str_equals(nb::handle type, std::string_view text) {
  if (!nb::isinstance<nb::str>(type)) return false;
  Text t;
  try {
    t.assign(type);
  } catch (nb::python_error&) {
    return false;  // lone surrogates: no name of the table
  }
  return t.view() == text;
}

// Whether a single computer tool's definition declares zoom (computer_20251124 with
// "enable_zoom" true).
bool declares_zoom(nb::handle definition, nb::handle type) {
  if (!str_equals(type, kZoomVersion)) return false;
  nb::object zoom = lookup(definition, "enable_zoom");
  return zoom && truthy(zoom);
}

// The executor's definition, made for another version, rewritten on a copy for the set's
// version: a toolset entry keeps only the keys a toolset takes (a single tool's name and display
// size go, and zoom stays off when the single tool did not offer it); a single tool keeps every
// key but a toolset's "configs", gains its name where it had none, and loses "enable_zoom"
// where the version has no zoom.
nb::object adapt_definition(nb::handle definition, nb::handle type, const ToolSet& set) {
  nb::str target = to_name(set.computer_type);
  if (set.toolset) {
    nb::dict out;
    set_key(out, "type", target);
    for (std::string_view key : kToolsetKeys) {
      if (key == "type") continue;
      if (nb::object v = lookup(definition, key)) set_key(out, key, v);
    }
    nb::object old_configs = lookup(definition, "configs");
    if (!declares_zoom(definition, type)) {
      // {"zoom": {"enabled": false}}, merged into a copy of any configs the definition had.
      nb::dict configs;
      if (old_configs && nb::isinstance<nb::dict>(old_configs)) {
        configs = copy_of(old_configs);
      }
      if (!lookup(configs, "zoom")) {
        set_key(configs, "zoom", new_dict({{g_names.enabled, nb::bool_(false)}}));
      }
      set_key(out, "configs", configs);
    }
    return out;
  }
  nb::dict out = copy_of(definition);
  set_key(out, "type", target);
  del_key(out, "configs");
  if (!lookup(out, "name")) set_key(out, "name", to_name(kComputerName));
  if (set.computer_type != kZoomVersion) del_key(out, "enable_zoom");
  return out;
}

// The computer entry: the executor's definition, told the version first when the executor
// takes one, and rewritten on a copy when it still declares another version.
nb::object computer_definition(nb::handle self, const ToolSet& set) {
  nb::object executor = nb::getattr(self, g_names.executor);
  if (optional_attr(executor, g_names.tool_version)) {
    nb::setattr(executor, g_names.tool_version, to_name(set.computer_type));
  }
  nb::object definition = executor.attr(g_names.get_tool_definition)();
  if (!nb::isinstance<nb::dict>(definition)) return definition;
  nb::object type = lookup(definition, "type");
  if (!type || str_equals(type, set.computer_type)) return definition;
  return adapt_definition(definition, type, set);
}

}  // namespace

ModelTraits agent_traits(nb::handle self) {
  nb::object model = nb::getattr(self, g_names.model);
  ModelTraits out{&newest_tool_set(), false};
  if (nb::isinstance<nb::str>(model)) {
    // A model name with a lone surrogate is no model the table knows.
    Text text;
    bool known = true;
    try {
      text.assign(model);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_UnicodeEncodeError)) throw;
      known = false;
    }
    if (known) out = model_traits(text.view());
  }
  nb::object pinned;
  try {
    pinned = nb::getattr(self, g_names.tool_set);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    return out;
  }
  if (!pinned.is_none()) out.tools = &tool_set_named(pinned);
  return out;
}

const ToolSet& tool_set_named(nb::handle name) {
  if (!is_exact_str(name)) {
    raise(PyExc_TypeError, "tool_set must be str or None, not " + short_type_name(name));
  }
  Text text;
  const ToolSet* set = nullptr;
  try {
    text.assign(name);
    set = find_tool_set(text.view());
  } catch (nb::python_error&) {
    // lone surrogates: no known name
  }
  if (set) return *set;
  std::string known;
  for (const ToolSet& s : tool_sets()) {
    if (!known.empty()) known += ", ";
    known += s.name;
  }
  raise(PyExc_ValueError,
        "unknown tool set " + steerix::str_of(nb::repr(name)) + "; known tool sets: " + known);
}

nb::object get_tool_definitions(nb::handle self) {
  const ToolSet& set = *agent_traits(self).tools;
  nb::object computer = computer_definition(self, set);
  nb::dict bash = new_dict({{g_names.type, to_name(kBashType)}, {g_names.name, g_names.bash}});
  nb::dict editor = new_dict(
      {{g_names.type, to_name(set.editor_type)}, {g_names.name, to_name(set.editor_name)}});
  nb::list tools;
  tools.append(computer);
  tools.append(bash);
  tools.append(editor);
  return tools;
}

nb::object build_system_prompt(nb::handle self) {
  const ToolSet& set = *agent_traits(self).tools;
  nb::handle& prompt = g_prompts.at(set_index(set));
  if (!prompt) {
    std::string text(kPromptHead);
    text += set.editor_name;
    text += kPromptTail;
    prompt = to_name(text).release();
  }
  return nb::borrow(prompt);
}

}  // namespace talmek::steerix
