// The native worker executable (talmek-scrivel): the worker's main loop on the process's own
// standard streams, without an interpreter. It serves exactly the protocol of the module's
// main(), which runs the same loop. `--root DIR` (repeated) and `--read-only`, or the
// environment (TALMEK_SCRIVEL_ROOTS, TALMEK_SCRIVEL_READ_ONLY=1), confine it to directories.
#include <string>
#include <vector>

#include "platform/os.h"
#include "scrivel/confine.h"
#include "scrivel/main_loop.h"

int main(int argc, char** argv) {
  using namespace talmek::scrivel;
  talmek::os::prepare_worker_process();
  // Nothing in this process changes its working directory: resolutions need not ask for it.
  talmek::os::pin_working_directory();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(talmek::os::to_text(argv[i]));
  WorkerStart start;
  std::string error;
  if (!parse_worker_args(args, start, error)) {
    talmek::os::write_stderr("talmek-scrivel: " + error + "\n" + kWorkerUsage + "\n");
    return 2;
  }
  read_worker_env(start);
  if (!set_worker_roots(start.roots, start.read_only, error)) {
    talmek::os::write_stderr("talmek-scrivel: cannot confine to a root: " + error + "\n");
    return 2;
  }
  restrict_worker_process();
  return serve();
}
