// Python bindings of the file worker (placeholder until the spine lands).
#include <nanobind/nanobind.h>

NB_MODULE(scrivel, m) { m.doc() = "The talmek file worker."; }
