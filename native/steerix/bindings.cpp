// Python bindings of the desktop agent: the module's contents (built with the C API in
// agent.cpp, whose types need slots that nanobind does not expose) and two private hooks.
#include <nanobind/nanobind.h>

#include "steerix/agent.h"
#include "steerix/tools.h"

namespace nb = nanobind;

NB_MODULE(steerix, m) {
  m.doc() = "The talmek desktop agent.";
  if (!talmek::steerix::init_module(m.ptr())) throw nb::python_error();
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
