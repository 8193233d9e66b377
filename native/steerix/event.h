// ComputerUseEvent, the record of one agent event. Needs the GIL.
#pragma once

#include "steerix/py_support.h"

namespace talmek::steerix {

// Creates the ComputerUseEvent type.
nb::object init_event_type();

// A new event of the given type holding `data` (a new, non-empty dict the event keeps).
nb::object make_event(nb::handle type, nb::dict data);

}  // namespace talmek::steerix
