// Python bindings of the desktop agent (placeholder until the agent lands).
#include <nanobind/nanobind.h>

#include "steerix/tools.h"

namespace nb = nanobind;

NB_MODULE(steerix, m) {
  m.doc() = "The talmek desktop agent.";
  // Private hooks that call the built-in tools directly, for their tests.
  m.def("_run_bash_tool", [](nb::handle tool_input) {
    PyObject* r = talmek::steerix::run_bash_tool(tool_input.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
  });
  m.def("_run_editor_tool", [](nb::handle tool_input) {
    PyObject* r = talmek::steerix::run_editor_tool(tool_input.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
  });
}
