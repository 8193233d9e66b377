// The Steerix agent: its type, and the operations its methods are built from. Each operation
// lives in the file named after it. Everything here needs the GIL; PyObject* arguments are
// borrowed and results are new references (nullptr with an exception set on failure).
#pragma once

#include <Python.h>

#include <initializer_list>
#include <utility>

namespace talmek::steerix {

// Module-level objects the operations use, set once at module load.
struct ModuleState {
  PyObject* asyncio;     // the asyncio module (sleep and iscoroutine are looked up on it per use)
  PyObject* event_type;  // ComputerUseEvent
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

// _serialize_block(block): the history dictionary of one response content block.
PyObject* serialize_block(PyObject* block);

// A new event of type `type` whose payload holds the given key/value pairs in order (values
// borrowed). `type` is an ASCII literal.
PyObject* make_event_kv(const char* type, std::initializer_list<std::pair<const char*, PyObject*>> kv);

// obj.append(item), with a fast path for exact lists. Returns 0 or -1.
int append_to(PyObject* list_like, PyObject* item);

}  // namespace talmek::steerix
