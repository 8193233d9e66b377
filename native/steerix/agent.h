// The Steerix agent: its type, and the operations its methods are built from. Each operation
// lives in the file named after it. Everything here needs the GIL; PyObject* arguments are
// borrowed and results are new references (nullptr with an exception set on failure).
#pragma once

#include <Python.h>

#include <initializer_list>
#include <utility>

namespace talmek::steerix {

struct ModelTraits;
struct ToolSet;

// Module-level objects the operations use, set once at module load.
struct ModuleState {
  PyObject* asyncio;     // the asyncio module (sleep and iscoroutine are looked up on it per use)
  PyObject* event_type;  // ComputerUseEvent
  PyObject* builtin_import;  // builtins.__import__ as it was at load, to spot replacements
};
extern ModuleState g_module;

// Adds asyncio, logging, the typing names, the logger, ComputerUseEvent, Steerix and Path to
// `module`, in that order. Returns false with an exception set on failure.
bool init_module(PyObject* module);

// run_task(user_message): the native async generator of one task.
PyObject* run_task(PyObject* self, PyObject* user_message);

// _emit(event): a coroutine delivering `event` to the registered handlers.
PyObject* emit(PyObject* self, PyObject* event);

// _execute_tool(tool_name, tool_input): a coroutine routing one tool call.
PyObject* execute_tool(PyObject* self, PyObject* tool_name, PyObject* tool_input);

// _execute_bash(tool_input) and _execute_text_editor(tool_input): coroutines around the tools.
PyObject* execute_bash(PyObject* self, PyObject* tool_input);
PyObject* execute_text_editor(PyObject* self, PyObject* tool_input);

// The traits of the agent's model (tool_sets.h), read from `_model` through the instance, with
// the set pinned in `_tool_set` (when not None) in place of the model's. Returns false with an
// exception set on failure (a pin that names no known set: ValueError).
bool agent_traits(PyObject* self, ModelTraits& out);

// The known set that `name` names: TypeError unless it is exactly a str, ValueError (listing
// the known names) unless it is a known name. nullptr with the exception set on failure.
const ToolSet* tool_set_named(PyObject* name);

// get_tool_definitions() and _build_system_prompt() for the agent's tool set.
PyObject* get_tool_definitions(PyObject* self);
PyObject* build_system_prompt(PyObject* self);

// _serialize_block(block): the history dictionary of one response content block.
PyObject* serialize_block(PyObject* block);

// A new event of type `type` whose payload holds the given key/value pairs in order (all
// borrowed; a nullptr value, from a failed computation, makes the result nullptr).
PyObject* make_event_kv(PyObject* type, std::initializer_list<std::pair<PyObject*, PyObject*>> kv);

// obj.append(item), with a fast path for exact lists. Returns 0 or -1.
int append_to(PyObject* list_like, PyObject* item);

}  // namespace talmek::steerix
