// The native worker executable (talmek-scrivel): the worker's main loop on the process's own
// standard streams, without an interpreter. It serves exactly the protocol of the module's
// main(), which runs the same loop.
#include "platform/os.h"
#include "scrivel/main_loop.h"

int main() {
  talmek::os::prepare_worker_process();
  // Nothing in this process changes its working directory: resolutions need not ask for it.
  talmek::os::pin_working_directory();
  return talmek::scrivel::serve();
}
