// The Steerix agent: its type, and the operations its methods are built from. Each operation
// lives in the file named after it. Everything here needs the GIL; arguments are borrowed, and
// a failure raises nb::python_error.
#pragma once

#include <memory>

#include "steerix/py_support.h"

namespace talmek::steerix {

class Confinement;
struct ModelTraits;
struct ToolSet;

// Adds asyncio, logging, the typing names, the logger, ComputerUseEvent, Steerix and Path to
// `module`, in that order.
void init_module(nb::module_ module);

// run_task(user_message): the native async generator of one task.
nb::object run_task(nb::handle self, nb::handle user_message);

// _emit(event): a coroutine delivering `event` to the registered handlers.
nb::object emit(nb::handle self, nb::handle event);

// _execute_tool(tool_name, tool_input): a coroutine routing one tool call.
nb::object execute_tool(nb::handle self, nb::handle tool_name, nb::handle tool_input);

// _execute_bash(tool_input) and _execute_text_editor(tool_input): coroutines around the tools.
nb::object execute_bash(nb::handle self, nb::handle tool_input);
nb::object execute_text_editor(nb::handle self, nb::handle tool_input);

// The traits of the agent's model (tool_sets.h), read from `_model` through the instance, with
// the set pinned in `_tool_set` (when not None) in place of the model's (a pin that names no
// known set: ValueError).
ModelTraits agent_traits(nb::handle self);

// The known set that `name` names: TypeError unless it is exactly a str, ValueError (listing
// the known names) unless it is a known name.
const ToolSet& tool_set_named(nb::handle name);

// get_tool_definitions() and _build_system_prompt() for the agent's tool set.
nb::object get_tool_definitions(nb::handle self);
nb::object build_system_prompt(nb::handle self);

// Steerix(..., roots=...) keeps its Confinement in `_confinement`, a capsule of this name that
// owns a std::shared_ptr<const Confinement>.
inline constexpr const char* kConfinementCapsule = "talmek.core.steerix.Confinement";

// The agent's confinement, read through the instance as `_confinement`: null when it has none
// (no attribute, or None). Shared, so that a tool call keeps it while it runs.
std::shared_ptr<const Confinement> confinement_of(nb::handle self);

// _serialize_block(block): the history dictionary of one response content block.
nb::object serialize_block(nb::handle block);

// The tool-result block answering the call `tool_id` with `outcome` (tool_result_rules.h);
// init_tool_result_rules() makes the rules' names at module load.
void init_tool_result_rules();
nb::object tool_result_block(nb::handle tool_id, nb::handle outcome);

}  // namespace talmek::steerix
