// The agent's two built-in tools, called by Steerix._execute_tool (and its _execute_bash and
// _execute_text_editor). Both work synchronously and never touch the event loop.
#pragma once

#include "steerix/py_support.h"

namespace talmek::steerix {

class Confinement;

// The "bash" tool. `tool_input` is the tool call's input (any object; normally a dict).
// Returns the tool outcome dict, {"type": "text", "text": ...} or {"type": "error", "error": ...};
// raises nb::python_error only for failures that are not turned into outcomes (interruptions).
// The GIL must be held on entry. With `confinement` (borrowed; null: none), the command runs
// under its Landlock domain.
nb::object run_bash_tool(nb::handle tool_input, const Confinement* confinement = nullptr);

// The text editor tool ("str_replace_editor", "str_replace_based_edit_tool"), with the same
// conventions. `has_undo`: the editor version offered has an `undo_edit` command (the
// 2025-01-24 one; it is answered but does nothing); without it the command is unknown.
// With `confinement`, paths outside its roots are refused and file calls made beneath them.
nb::object run_editor_tool(nb::handle tool_input, bool has_undo = true,
                           const Confinement* confinement = nullptr);

}  // namespace talmek::steerix
