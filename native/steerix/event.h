// ComputerUseEvent, the record of one agent event. Needs the GIL.
#pragma once

#include <Python.h>

namespace talmek::steerix {

// Creates the ComputerUseEvent type; returns a new reference to it, or nullptr on failure.
PyObject* init_event_type();

// A new event of the given type (borrowed) holding `data` (a new, non-empty dict, stolen).
PyObject* make_event(PyObject* type, PyObject* data);

}  // namespace talmek::steerix
