// ComputerUseEvent, the record of one agent event. Needs the GIL.
#pragma once

#include <initializer_list>

#include "steerix/event_catalogue.h"
#include "steerix/py_support.h"

namespace talmek::steerix {

// Creates the ComputerUseEvent type and the interned names of the event catalogue.
nb::object init_event_type();

// A new event of the given type holding `data` (a new, non-empty dict the event keeps).
nb::object make_event(nb::handle type, nb::dict data);

// A new event of `kind` whose payload holds `values` under the kind's keys, in order; an
// invalid handle leaves its optional key out.
nb::object make_event(EventKind kind, std::initializer_list<nb::handle> values);

// One of the fixed texts of the events, as an interned str.
nb::handle event_text(EventText text);

}  // namespace talmek::steerix
