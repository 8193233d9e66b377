// Placeholder until the tool is built: every call answers an "error" outcome.
#include "steerix/tools.h"

namespace talmek::steerix {

PyObject* run_editor_tool(PyObject*) {
  return Py_BuildValue("{s:s,s:s}", "type", "error", "error", "The editor tool is not available yet");
}

}  // namespace talmek::steerix
