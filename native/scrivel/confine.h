// The worker's refusals under allowed roots: a path that resolves outside every root, a change in
// read-only mode, the removal of a root itself. Checked by the dispatch for every path argument
// before the operation runs, so that a refused request touches nothing; the platform layer then
// holds every system call of the operation beneath the roots as well (os::Roots).
#pragma once

#include <initializer_list>
#include <optional>
#include <string_view>

#include "scrivel/json/value.h"

namespace talmek::scrivel {

// What an operation does with a path.
enum class PathUse : unsigned char {
  Read,    // reads or lists what the path leads to
  Change,  // writes, creates or replaces what the path leads to
  Move,    // moves what the path leads to away (a root itself is refused)
  Remove,  // removes the final component itself: a link is removed as a link (delete_file)
};

struct PathArg {
  std::string_view path;  // as the caller passed it
  PathUse use;
};

// Without active roots: nullopt, and nothing is looked at. With roots: the failure record of the
// first refused path, or nullopt when every path may be used. Resolution failures become the
// records the operation itself would answer (the same resolve(), under the same guard).
std::optional<Value> refuse(std::initializer_list<PathArg> paths);

}  // namespace talmek::scrivel

#include <string>
#include <vector>

namespace talmek::scrivel {

// How the host started the worker: roots from `--root DIR` (repeated; also `--root=DIR`) and
// `--read-only` on the command line, else from the environment when main starts:
// TALMEK_SCRIVEL_ROOTS (directories separated by os.pathsep) and TALMEK_SCRIVEL_READ_ONLY=1.
struct WorkerStart {
  std::vector<std::string> roots;
  bool read_only = false;
};

// Reads the command line (the program name left out). False, with a usage message, for an
// argument it does not know.
bool parse_worker_args(const std::vector<std::string>& args, WorkerStart& start,
                       std::string& error);
// Fills in from the environment what the command line did not give.
void read_worker_env(WorkerStart& start);

// Makes `roots` the process's allowed roots (none: unconfined). False, with a message naming the
// root, when one cannot be opened as a directory; `error_code` then holds its error number.
bool set_worker_roots(const std::vector<std::string>& roots, bool read_only, std::string& error,
                      int* error_code = nullptr);

// When roots are active: restricts this process (its serving thread) with Landlock to them,
// read-only or read-write as set, no network, no signals or abstract sockets out of it. Where the
// kernel has no Landlock, says so in one line on standard error and goes on with the checks.
// `also_readable`: directories that stay readable (the interpreter's, for the Python loop).
void restrict_worker_process(const std::vector<std::string>& also_readable = {});

// The usage line of the worker's command line.
extern const char* const kWorkerUsage;

}  // namespace talmek::scrivel
