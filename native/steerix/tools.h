// The agent's two built-in tools, called by Steerix._execute_tool (and its _execute_bash and
// _execute_text_editor). Both work synchronously and never touch the event loop.
#pragma once

#include <Python.h>

namespace talmek::steerix {

class Confinement;

// The "bash" tool. `tool_input` is the tool call's input (any object; normally a dict).
// Returns a new reference to the tool outcome dict, {"type": "text", "text": ...} or
// {"type": "error", "error": ...}; nullptr with a Python exception set only for failures that
// are not turned into outcomes. The GIL must be held on entry.
PyObject* run_bash_tool(PyObject* tool_input);
// The same with `confinement` (borrowed; null: none): the command runs under its Landlock domain.
PyObject* run_bash_tool_within(PyObject* tool_input, const Confinement* confinement);

// The text editor tool ("str_replace_editor", "str_replace_based_edit_tool"), with the same
// conventions. `has_undo`: the editor version offered has an `undo_edit` command (the
// 2025-01-24 one; it is answered but does nothing); without it the command is unknown.
// With `confinement`, paths outside its roots are refused and file calls made beneath them.
PyObject* run_editor_tool(PyObject* tool_input, bool has_undo = true,
                          const Confinement* confinement = nullptr);

}  // namespace talmek::steerix
