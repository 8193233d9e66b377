// Python bindings of the desktop agent: the module's contents (the types are built in agent.cpp,
// event.cpp and async_gen.cpp) and two private hooks.
#include <nanobind/nanobind.h>

#include "steerix/agent.h"
#include "steerix/tools.h"

NB_MODULE(steerix, m) {
  m.doc() = "The talmek desktop agent.";
  talmek::steerix::init_module(m);
  // Private hooks that call the built-in tools directly, for their tests.
  m.def("_run_bash_tool",
        [](nb::handle tool_input) { return talmek::steerix::run_bash_tool(tool_input); });
  m.def("_run_editor_tool",
        [](nb::handle tool_input) { return talmek::steerix::run_editor_tool(tool_input); });
}
