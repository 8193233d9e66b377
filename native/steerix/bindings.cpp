// Python bindings of the desktop agent (placeholder until the agent lands).
#include <nanobind/nanobind.h>

NB_MODULE(steerix, m) { m.doc() = "The talmek desktop agent."; }
